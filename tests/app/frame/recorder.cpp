// Recording stand-ins for every operation the process frame calls in the subsystems. The frame
// (start-up, shutdown, raster bodies) runs unchanged on the real raster scheduler, OS layer
// and log; each stand-in appends its name and arguments to the calling task's record.
#include "recorder.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/awm/awm_man.h"
#include "acquisition/awm/fuelcons.h"
#include "acquisition/awm/ledctrl.h"
#include "acquisition/awm/lapfunc.h"
#include "acquisition/board/board.h"
#include "acquisition/gps/gps.h"
#include "acquisition/lap/laptrigger.h"
#include "acquisition/led/led.h"
#include "acquisition/location/location.h"
#include "acquisition/selfmon/selfmon.h"
#include "acquisition/vyndata/vyndata.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "calibration/variables/variables.h"
#include "calibration/virtchan/virtchan.h"
#include "calibration/xcp/xcp.h"
#include "comm/bc2/bc2.h"
#include "comm/can/can.h"
#include "comm/canio/canio.h"
#include "comm/canin/canin.h"
#include "comm/canout/canout.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/msdcomdbg/msdcom_dbg.h"
#include "comm/routing/routing.h"
#include "comm/sernet/sernet.h"
#include "comm/tele/tele.h"
#include "comm/xcpmr/xcpmr.h"
#include "display/app/display.h"
#include "logging/eventlog/eventlog.h"
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/measapp/measapp.h"
#include "logging/sblk/sblk.h"
#include "model/model.h"
#include "platform/os/os.h"
#include "services/applcomm/applcomm.h"
#include "services/errmgr/errmgr.h"
#include "services/nvram/nvram.h"
#include "services/nvramst/nvramst.h"
#include "services/raster/raster.h"
#include "services/rtpman/rtpman.h"
#include "services/shell/shell.h"
#include "services/syslog/syslog.h"
#include "services/sysrole/sysrole.h"
#include "services/time/time_util.h"
#include "services/timemod/timemod.h"
#include "services/timeserv/timeserv.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>

namespace frame {

namespace {
std::mutex m;
std::map<std::string, std::vector<std::string>> byTask;
} // namespace

std::atomic<int> displayRefusals{0};
std::atomic<uint64_t> firstDisplayTick{0}, lastDisplayTick{0};
SEM_ID postrun = nullptr;
std::vector<std::string> shellCommands;

void rec(const char* name, long a, long b) {
    char text[96];
    if (a == NONE)
        std::snprintf(text, sizeof text, "%s", name);
    else if (b == NONE)
        std::snprintf(text, sizeof text, "%s(%ld)", name, a);
    else
        std::snprintf(text, sizeof text, "%s(%ld,%ld)", name, a, b);
    const char* task = taskName(taskIdSelf());
    std::lock_guard<std::mutex> g(m);
    byTask[task ? task : "?"].push_back(text);
}

namespace {
std::map<uint16_t, std::pair<ComintHandler, ComintReplyHandler>> handlers;
} // namespace

size_t commandCodes() {
    return handlers.size();
}

// Serves a header-only message of the code from PID 1 and tells what the handler called.
std::string serveCommand(uint16_t code) {
    uint8_t message[CI_HEADER] = {0, 0, 0, 0, 0, 1, 0, 0x25};
    message[16] = static_cast<uint8_t>(code >> 8);
    message[17] = static_cast<uint8_t>(code);
    const auto it = handlers.find(code);
    if (it == handlers.end()) return "none";
    uint8_t reply[64];
    if (it->second.first)
        it->second.first(message, sizeof message);
    else
        it->second.second(message, sizeof message, reply, sizeof reply);
    const char* task = taskName(taskIdSelf());
    const auto mine = calls(task ? task : "?");
    return mine.empty() ? "nothing" : mine.back();
}

std::vector<std::string> calls(const std::string& task) {
    std::lock_guard<std::mutex> g(m);
    return byTask[task];
}

} // namespace frame

using frame::rec;

#define V(name)                                                                                              \
    void name() {                                                                                            \
        rec(#name);                                                                                          \
    }
#define R(type, name, value)                                                                                 \
    type name() {                                                                                            \
        rec(#name);                                                                                          \
        return value;                                                                                        \
    }
// Getters are not steps: they answer without recording.
#define G(type, name, value)                                                                                 \
    type name() {                                                                                            \
        return value;                                                                                        \
    }
#define V1(name)                                                                                             \
    void name(int a) {                                                                                       \
        rec(#name, a);                                                                                       \
    }

// The stand-ins are macro rows without semicolons, which the formatter cannot lay out stably.
// clang-format off
// Manager client and post-run semaphore.
R(uint8_t, AppMan_init, 1)
R(uint8_t, RtpMan_ForwardEPK, 1)
G(uint8_t, AppMan_getPID, 0x25)
G(uint32_t, AppMan_getIPv4Addr, 0xC0A80025)
int RtpManUsr_setIndex(uint32_t index) {
    rec("RtpManUsr_setIndex", index);
    return 1;
}
void rtp_openPostrun(uint32_t index) {
    rec("rtp_openPostrun", index);
}
void rtp_waitPostrun() {
    rec("rtp_waitPostrun");
    semTake(frame::postrun, WAIT_FOREVER);
}
V(rtp_setShutdownStarted)
intptr_t wdogapp_Feed(uint32_t*) {
    return 0; // every 10 ms: not recorded
}
intptr_t wdogapp_EnterShutDown(uint32_t*) {
    rec("wdogapp_EnterShutDown");
    return 0;
}
G(const char*, discover_location, "")

// Services.
R(int, nvram_dbs_init, 1)
R(int, nvram_dbs_repair_begin, 1)
R(int, nvram_dbs_repair_end, 1)
R(uint32_t, boot_count_ini, 1)
G(uint32_t, boot_count_get, 7)
R(int, nvramst_init, 0)
int nvramst_get_partNumber(char*) {
    return -1;
}
int nvramst_get_serialNumber(char*) {
    return -1;
}
R(uint8_t, applComm_ini, 1)
V(applComm_10ms)
void applComm_setCanStateSink(void (*)(int, uint8_t)) {
    rec("applComm_setCanStateSink");
}
void RtpManUsrCan_ReportNodeStatus(int, uint8_t) {}
void applComm_setBlink(uint8_t app, uint32_t pattern) {
    rec("applComm_setBlink", app, static_cast<long>(pattern));
}
R(uint8_t, time_init, 1)
V(timedistr_measdata_10ms)
void error_mgr_setEventSink(ErrorMgrEventSink) {
    rec("error_mgr_setEventSink");
}
void adc_setPowerGoodSource(uint8_t (*)()) {
    rec("adc_setPowerGoodSource");
}
void adc_diagnostic_setRestore(void (*)()) {
    rec("adc_diagnostic_setRestore");
}
void softSched_setCallees(const SoftSchedCallees&) {
    rec("softSched_setCallees");
}
void softSchedSyncTo100ms(uint32_t) {}
void timeserv_setSoftSchedSync(void (*)(uint32_t)) {
    rec("timeserv_setSoftSchedSync");
}
void error_mgr_setPowerGoodSource(uint8_t (*)()) {
    rec("error_mgr_setPowerGoodSource");
}
R(uint8_t, error_mgr_init, 1)
R(int, error_mgr_shutdown, 0)
cfg_system_t cfg_system;
V(cfg_system_ini)
V(mem_usage_1s)
R(int, msd_shell_initialize, 1)
void msd_shell_setCommonCmds(const MsdShellCommon* list, size_t count) {
    rec("msd_shell_setCommonCmds");
    frame::shellCommands.clear();
    for (size_t i = 0; i < count; ++i)
        frame::shellCommands.push_back(list[i].name ? list[i].name : "lof_*");
    if (count > 3) rec(list[3].registerAll() == 0 ? "lof registered" : "lof refused");
}
#define SHELL(name)                                                                                          \
    int name(int, char**) {                                                                                  \
        return 0;                                                                                            \
    }
SHELL(measCommandFunc)
SHELL(displayCommandFunc)
SHELL(resetCommandFunc) SHELL(writeVariableFunc) SHELL(readVariableFunc)
    R(int, LapOutFra_cmds_init, 0) int timeserv_init(int enable, int master) {
    rec("timeserv_init", enable, master);
    return 1;
}
V(timeserv_MeasTime_ini)
V(timeserv_MeasTime_1ms)

// Board, self-monitoring and acquisition.
R(uint8_t, gpio_ini, 1)
R(uint8_t, ecfv_init, 1)
R(uint8_t, adc_init, 1)
R(uint8_t, spi_IOInit, 1)
R(uint8_t, max7301_Init, 1)
R(uint8_t, adc_pullup_init, 1)
R(uint8_t, pwmout_init, 1)
R(uint8_t, ledArray_init, 1)
R(uint8_t, RotationalSpeed_Init, 1)
G(uint8_t, power_getPwrGood, 1)
V(power_vyn_1ms)
V(uecu_meas_1ms) V(iecu_meas_10ms) V(iusb_meas_10ms) V(sensor_pwr_10ms) V(xadc_meas_100ms) V(tecu_meas_1s)
    V(ltecu_meas_1s) V(adc_fifo_ini) V(adc_fifo_1ms) V(adc_filter_stop) V(start_softSched)
        V(adc_rangemon_100ms) V(adc_diagnostic_100ms) V(ana_100ms) V(led_init) V(led_display) V(gps_init)
            V(awm_man_ini) V(awm_man_stop) V(vyn_data_1ms) V(vyn_data_10ms) V(vyn_data_100ms)
                V(rev_in_vyn_100ms) V(pwmdiag_100ms) V(pwmout_shutdown) V(awm_man_hwt_ini)
                    V(awm_man_adjust) void awm_sched_call(uint16_t, uint32_t) {}
R(uint32_t, laptrigger_getLapTimeStamp, 4711)
// The lap function reads logging's counters through what start-up hands in.
void lapfunc_setHooks(const LapfuncHooks* hooks) {
    LapfuncCounters c{};
    hooks->getCounters(&c);
    rec("lapfunc_setHooks", c.lap, c.outing);
}
void laptrigger_setHooks(const LaptriggerHooks* hooks) {
    rec("laptrigger_setHooks");
    hooks->lap(7, 3); // a lap counted: logging's counters and the lap's fuel
}
// Fuel consumption and LED control: the LED type scales by the display's curves (stand-ins 1, 2, 3).
float awm_0x0A_fuelcons_setLaptrigger() {
    rec("awm_0x0A_fuelcons_setLaptrigger");
    return 0.0f;
}
void awm_0x0B_led_setBrightnessCurves(const LedBrightnessCurves* c) {
    rec("awm_0x0B_led_setBrightnessCurves",
        std::lround(c->red(0, 0) * 100 + c->green(0, 0) * 10 + c->blue(0, 0)));
}
float display_brightness_led_red(float, float) {
    return 1.0f;
}
float display_brightness_led_green(float, float) {
    return 2.0f;
}
float display_brightness_led_blue(float, float) {
    return 3.0f;
}
void laptrigger_init(uint16_t, uint16_t, float) {}
void laptrigger_update(uint16_t, uint16_t, float) {}
R(uint8_t, simulink_initialize, 1)
void callSimulinkFunc(int rate, int call) {
    rec("callSimulinkFunc", rate, call);
}

// Calibration.
R(int, seramInitialize, 1)
V(seram_1s)
R(int, meascalinfo_init, 1)
V(meascalinfo_virtchan_ini)
V(variables_ini)
R(int, xcpInitialize, 0)
void xcpSetAppHooks(const xcpAppHooks* hooks) {
    rec("xcpSetAppHooks");
    hooks->stopChannelFunctions(), hooks->lockRemoteInit(); // the store request's calls, as wired
}
V(xcp_shutdown_now)
V(xcp_100ms) V1(xcpSendDAQ)

    // CAN and the device network.
    R(int, RtpManUsrCan_Init, 1) V(canPoll_1ms) V(can_vyn_ini) V(CanOut_event_message) V(CanOut_stop)
        V(CanIn_supervisor_1ms) V1(CanOut_send_message) R(int, can_CtrlInit, 1) V(ccpmr_ini) V(ccpmr_10ms)
            V(xcpmr_ini) V(xcpmr_10ms) V(routing_ini) V(comint_ini) V(meas_man_ini) V(meas_man_10ms)
                V(gw_meas_ini) V(gw_meas_monitoring) V(gw_request_timeout) V(gw_meas_1s) V(gw_stop)
                    V(SerNet_man_ini) V(SerNet_man_1s) V(SerNet_man_flush_online) V(SerNet_man_flush_offline)
                        V(dynkomm_1s) R(int, dynkomm_ini, 1) V(BC2_init) V(BC2_stop) V(msdcom_dbg_10ms)
                            V(msdcom_dbg) V(tele_app_ini) V1(gw_raster) V1(SerNet_man_sender_online)
                                V1(SerNet_man_sender_offline) void meas_man_copy(int raster, uint32_t stamp) {
    rec("meas_man_copy", raster, static_cast<long>(stamp));
}

// Display.
V(displayCtrl_ini) V(displayInit) V(displayJoin) int displayStart() {
    rec("displayStart");
    static std::atomic<int> n{0};
    if (n++ == 0) frame::firstDisplayTick = tick64Get();
    frame::lastDisplayTick = tick64Get();
    return frame::displayRefusals-- > 0 ? -1 : 0;
}

// Logging.
uint32_t meas_maxFileCnt_part1, meas_maxFileCnt_part2, meas_maxFileCnt_usb;
V(meas_app_ini)
V(meas_app_main) V(meas_app_set_remotectrl_remoteinit_lock) V(meas_app_remotefaststop)
    V(MeasAppStore_checkForFlush) V(meas_app_calc_recording_rates) V(meas_fifo_data_syslog)
        V(meas_app_check_datatimeout) V(meas_app_checkFragmentTrigOnUSBEvent) V(meas_app_check_measconditions)
            V(meas_fifo_data_update_load_vars) V(cfg_meas_formatInfos_1s) V1(meas_app_saveblock)
                V1(meas_app_timeout_close) G(uint16_t, meas_app_get_flags, 0)
                    G(int, meas_app_PreTrigIsOfflineDataFlushed, 1) int meas_app_BootPrepareDisks(int mode,
                                                                                                  int ticks) {
    rec("meas_app_BootPrepareDisks", mode, ticks);
    return 0;
}
void sblk_task_init(const char* name, int priority, int stack, int) {
    rec(name, priority, stack);
}
V(sblk_power_down)
V(sblk_task_trigger_fast) V(sblk_task_trigger_slow) V(eventChannelsInit) V(eventChannels_10ms)
    R(int, eventlogging_service_init, 1) void eventlogging_send(const uint8_t*, const char*, const char*) {}
R(int, LapOutFra_init, 0)
V(LapOutFra_checkExtLaptrgInit) V(LapOutFra_queryLapOutCntTask) void LapOutFra_getState(LapOutFraState* st) {
    rec("LapOutFra_getState");
    *st = LapOutFraState{};
    st->lap = 12;
    st->outing = 3;
}
void LapOutFra_lapTrigger(uint16_t lap, uint16_t outing) {
    rec("LapOutFra_lapTrigger", lap, outing);
}
void LapOutFra_laptriggerAnswer(uint16_t, uint16_t) {}
void LapOutFra_initLapOutCnt(uint16_t lap, uint16_t outing) {
    rec("LapOutFra_initLapOutCnt", lap, outing);
}

// Command handlers: handed in at start-up, served by the command interface.
void comint_setHandler(uint16_t code, ComintHandler h) {
    frame::handlers[code] = {h, nullptr};
}
void comint_setReplyHandler(uint16_t code, ComintReplyHandler h) {
    frame::handlers[code] = {nullptr, h};
}
#define H(name)                                                                                              \
    void name(const uint8_t*, size_t) {                                                                      \
        rec(#name);                                                                                          \
    }
H(meas_man_create)
H(meas_man_break) H(meas_man_speed) H(meas_man_kill_my_measurements) H(meas_man_get_measurement_state)
    H(meas_man_create2_cmd) H(meas_man_meas2_create_reply) H(meas_man_break2) H(meas_man_break2_reply)
        H(meas_man_speed2) H(meas_man_speed2_reply) H(meas_man_get_measurement_state2)
            H(meas_man_get_measurement_state2_reply) H(gw_meascreate_reply) H(gw_meas_timestamp_err)
                H(gw_meas2_timestamp_err) H(ci_get_version_info_reply) H(ci_get_lapstack_info)
                    H(laptrigger_signal_cmd) H(laptrigger_get_info_cmd) H(laptrigger_get_info_reply_cmd)
                        H(laptrigger_meas) H(laptrigger_check_outctr_cmd) H(laptrigger_reset_lap_cmd)
                            H(laptrigger_reset_out_cmd) H(laptrigger_reset_lapdist_cmd)
                                H(laptrigger_reset_best_laptime_cmd) H(laptrigger_incr_outing_cmd)
                                    H(laptrigger_incr_lap_cmd) H(laptrigger_reset_segments_cmd)
                                        H(display_pageset_cmd) size_t
    ci_get_version_info_req(const uint8_t*, size_t, uint8_t*, size_t) {
    rec("ci_get_version_info_req");
    return 0;
}
void eventlogging_cmd(const uint8_t*) {
    rec("eventlogging_cmd");
}
// clang-format on
