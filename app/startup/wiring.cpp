// Every upward hand-in of the process, by the floor of the module that keeps it, lowest first.
// Two are made where what is handed in comes to exist: the presentation manager hands itself
// to the object tree when the GUI task builds it (gui/presentation/task.cpp), and a scroll bar
// reaches its owner as the window it is a child of (GuiScrollSource).
#include "app/startup/wiring.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/awm/awm_man.h"
#include "acquisition/awm/fuelcons.h"
#include "acquisition/awm/lapfunc.h"
#include "acquisition/awm/ledctrl.h"
#include "acquisition/lap/laptrigger.h"
#include "acquisition/location/location.h"
#include "acquisition/selfmon/selfmon.h"
#include "calibration/memory/seram.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/variables/variables.h"
#include "calibration/virtchan/virtchan.h"
#include "calibration/xcp/xcp.h"
#include "comm/bc2/bc2.h"
#include "comm/can/can.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/comint/comint.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/sernet/sernet.h"
#include "comm/xcpmr/xcpmr.h"
#include "display/app/display.h"
#include "gui/presentation/presentation.h"
#include "logging/eventlog/eventlog.h"
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/measapp/measapp.h"
#include "logging/sblk/sblk.h"
#include "services/applcomm/applcomm.h"
#include "services/errmgr/errmgr.h"
#include "services/shell/shell.h"
#include "services/syslog/syslog.h"
#include "services/timeserv/timeserv.h"

#include <iterator>

namespace {

// The common shell commands belong to modules above the shell, which registers them in this
// order (it stops at the first that fails).
void shellCommands() {
    static const MsdShellCommon commands[] = {
        {"meas", measCommandFunc, nullptr},       {"display", displayCommandFunc, nullptr},
        {"reset_vyn", resetCommandFunc, nullptr}, {nullptr, nullptr, LapOutFra_cmds_init},
        {"setvar", writeVariableFunc, nullptr},   {"getvar", readVariableFunc, nullptr},
    };
    msd_shell_setCommonCmds(commands, std::size(commands));
}

// The command handlers of the services above the command interface, in place before its task
// serves the first message.
void commandHandlers() {
    static const struct {
        uint16_t code;
        ComintHandler serve;
    } wires[] = {
        {0x0300, SerNet_man_openpath},
        {0x0301, SerNet_man_closepath},
        {0x0F01, ci_get_version_info_reply},
        {0x0F04, ci_get_lapstack_info},
        {0x1200, laptrigger_signal_cmd},
        {0x1201, laptrigger_get_info_cmd},
        {0x1202, laptrigger_get_info_reply_cmd},
        {0x1203, laptrigger_meas},
        {0x1204, laptrigger_check_outctr_cmd},
        {0x1205, laptrigger_reset_lap_cmd},
        {0x1206, laptrigger_reset_out_cmd},
        {0x1207, laptrigger_reset_lapdist_cmd},
        {0x1208, laptrigger_reset_best_laptime_cmd},
        {0x1209, laptrigger_incr_outing_cmd},
        {0x120A, laptrigger_incr_lap_cmd},
        {0x120B, laptrigger_reset_segments_cmd},
        {0x1500, [](const uint8_t* m, size_t) { eventlogging_cmd(m); }},
        {0x1600, display_pageset_cmd},
    };
    gw_meas_setHandlers();
    for (const auto& w : wires)
        comint_setHandler(w.code, w.serve);
    comint_setReplyHandler(0x0F00, ci_get_version_info_req);
}

// A lap counted (this unit's or the laptrigger master's) also closes the fuel of the lap.
void lapCountedWithFuel(uint16_t lap, uint16_t outing) {
    LapOutFra_lapTrigger(lap, outing);
    awm_0x0A_fuelcons_setLaptrigger();
}

} // namespace

void wiring_handIn(uint32_t index) {
    // Services. The log names the process and its location; the status block passes the CAN
    // node states to the CAN client; the error manager reports to event logging and asks
    // self-monitoring whether the supply is good; the time service keeps the soft scheduler
    // in step and sends through the command interface.
    syslog_setOrigin(index, discover_location());
    applComm_setCanStateSink(RtpManUsrCan_ReportNodeStatus);
    error_mgr_setEventSink(eventlogging_send);
    error_mgr_setPowerGoodSource(power_getPwrGood);
    timeserv_setSoftSchedSync(softSchedSyncTo100ms);
    timeserv_setCommandInterface(comint_put_cmd, comint_status);
    shellCommands();

    // Drivers: the analog inputs ask self-monitoring too; the channel functions restore the
    // pull-ups after a wiring test.
    adc_setPowerGoodSource(power_getPwrGood);
    adc_diagnostic_setRestore(awm_man_hwt_ini);

    // Calibration. A download stops the channel functions and tells them of adjustments;
    // measurements of channel functions and of the masters' channels resolve through them; the
    // channel archive tells the measurement server when its channels are named; a store request
    // of the XCP slave stops the channel functions and locks logging's remote start, and its
    // diagnostic services report logging's file counts.
    seramSetDownloadHooks(&awm_man_downloadHooks);
    seramMeasSetChannelSource(&awm_man_channelSource);
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, ccpmr_GetAddr);
    seramMeasSetMasterSource(MEAS_CLASS_XCPMR, xcpmr_GetAddr);
    meascalinfo_virtchan_setLoadedSink(meas_man_virtChan_registered);
    static const xcpAppHooks xcp{awm_man_stop,
                                 meas_app_set_remotectrl_remoteinit_lock,
                                 {&meas_maxFileCnt_part1, &meas_maxFileCnt_part2, &meas_maxFileCnt_usb}};
    xcpSetAppHooks(&xcp);

    // CAN and the device network. The transport hands commands to the command interface, which
    // serves them by the handlers of the services above it, and tells the measurement server of a
    // requester's reset; the measurement server answers through the gateway and ties lists to the
    // DAQs of the CCP (0) and XCP (1) masters.
    BC2_setCommandSink(comint_queue_from, comint_forward_from, comint_wait_room);
    BC2_setResetSink(meas_man_requesterReset);
    commandHandlers();
    meas_man_setGatewaySink(&gw_measGatewaySink);
    meas_man_setMaster(0, &ccpmr_measMaster);
    meas_man_setMaster(1, &xcpmr_measMaster);

    // Acquisition. The soft scheduler runs the channel functions' call lists, the measurement
    // copy and the adjustment cycle; the lap function and the lap trigger reach logging's
    // counters; the LED channel functions scale their colours by the display's LED curves.
    softSched_setCallees({awm_sched_call, meas_man_copy, awm_man_adjust});
    static const LapfuncHooks lapfunc{[](LapfuncCounters* c) {
                                          LapOutFraState s{};
                                          LapOutFra_getState(&s);
                                          *c = {s.lap, s.outing, s.abs_lap, s.fragment, s.valid};
                                      },
                                      LapOutFra_initLapOutCnt, laptrigger_init, laptrigger_update};
    lapfunc_setHooks(&lapfunc);
    static const LaptriggerHooks laptrigger{lapCountedWithFuel, LapOutFra_initLapOutCnt,
                                            LapOutFra_laptriggerAnswer};
    laptrigger_setHooks(&laptrigger);
    awm_0x0B_led_setBrightnessCurves(&display_ledCurves);

    // The toolkit runs the display application's hooks on its task.
    GuiSetAppHooks(display_guiHooks);
}
