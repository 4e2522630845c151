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
#include "app/startup/startup.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "calibration/meas/seram_meas.h"
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
#include "gui/presentation/presentation.h"
#include "logging/eventlog/eventlog.h"
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/measapp/measapp.h"
#include "logging/sblk/sblk.h"
#include "model/model.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
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
#include "support/logcapture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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
std::atomic<const char*> serialText{nullptr};
std::atomic<int> errorMgrRasters{0};

namespace {
std::vector<std::string> failing;
} // namespace

void setFailing(std::vector<std::string> steps) {
    std::lock_guard<std::mutex> g(m);
    failing = std::move(steps);
}

bool fails(const char* step) {
    std::lock_guard<std::mutex> g(m);
    return std::find(failing.begin(), failing.end(), step) != failing.end();
}

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

void startMain(std::atomic<int>* result, std::atomic<bool>* done) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
    sim::addTickHook([base](uint64_t) { semGive(base); });
    testsupport::logStart();
    postrun = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    taskSpawnFn("t_main", 100, 0, 0, [result, done] {
        static char arg0[] = "vyn", arg1[] = "3";
        char* argv[] = {arg0, arg1, nullptr};
        *result = vyn_main(2, argv);
        *done = true;
    });
}

bool waitingForPostrun() {
    const std::vector<std::string> c = calls("t_main");
    return !c.empty() && c.back() == "rtp_waitPostrun";
}

} // namespace frame

using frame::rec;

// EACH(m, a, b, ...) is m(a) m(b) ...
#define EACH(m, ...) __VA_OPT__(EXPAND(EACH_STEP(m, __VA_ARGS__)))
#define EACH_STEP(m, first, ...) m(first) __VA_OPT__(EACH_AGAIN PARENS(m, __VA_ARGS__))
#define EACH_AGAIN() EACH_STEP
#define PARENS ()
#define EXPAND(...) EXPAND4(EXPAND4(EXPAND4(EXPAND4(__VA_ARGS__))))
#define EXPAND4(...) EXPAND3(EXPAND3(EXPAND3(EXPAND3(__VA_ARGS__))))
#define EXPAND3(...) EXPAND2(EXPAND2(EXPAND2(EXPAND2(__VA_ARGS__))))
#define EXPAND2(...) EXPAND1(EXPAND1(EXPAND1(EXPAND1(__VA_ARGS__))))
#define EXPAND1(...) __VA_ARGS__

// Steps that record their name (and, with V2 and R2, one or two arguments).
#define V(name, ...)                                                                                         \
    void name(__VA_ARGS__) {                                                                                 \
        rec(#name);                                                                                          \
    }
#define R2(type, value, name, A, ...)                                                                        \
    type name(A a __VA_OPT__(, __VA_ARGS__ b)) {                                                             \
        rec(#name, static_cast<long>(a) __VA_OPT__(, static_cast<long>(b)));                                 \
        return value;                                                                                        \
    }
#define V2(name, ...) R2(void, void(), name, __VA_ARGS__)
#define V1(name) V2(name, int)
#define H(name) V(name, const uint8_t*, size_t) // command handlers
#define R(type, value, name, ...)                                                                            \
    type name(__VA_ARGS__) {                                                                                 \
        rec(#name);                                                                                          \
        return value;                                                                                        \
    }
// Steps that succeed unless the test makes them fail.
#define STEP(type, ok, bad, name)                                                                            \
    type name() {                                                                                            \
        rec(#name);                                                                                          \
        return frame::fails(#name) ? bad : ok;                                                               \
    }
#define U8_1(name) STEP(uint8_t, 1, 0, name)
#define INT_1(name) STEP(int, 1, 0, name)
#define INT_0(name) STEP(int, 0, 1, name)
// Getters and shell commands are not steps: they answer without recording.
#define G(type, name, value, ...)                                                                            \
    type name(__VA_ARGS__) {                                                                                 \
        return value;                                                                                        \
    }
#define SHELL(name) G(int, name, 0, int, char**)

EACH(V, rtp_setShutdownStarted, applComm_10ms, timedistr_measdata_10ms, cfg_system_ini, mem_usage_1s,
     timeserv_MeasTime_ini, timeserv_MeasTime_1ms, power_vyn_1ms, uecu_meas_1ms, iecu_meas_10ms,
     iusb_meas_10ms, sensor_pwr_10ms, xadc_meas_100ms, tecu_meas_1s, ltecu_meas_1s, adc_fifo_ini,
     adc_fifo_1ms, adc_filter_stop, start_softSched, adc_rangemon_100ms, adc_diagnostic_100ms, ana_100ms,
     led_init, led_display, awm_man_ini, awm_man_stop, vyn_data_1ms, vyn_data_10ms, vyn_data_100ms,
     rev_in_vyn_100ms, pwmdiag_100ms, pwmout_shutdown, awm_man_hwt_ini, awm_man_adjust, seram_1s,
     meascalinfo_virtchan_ini, variables_ini, xcp_shutdown_now, xcp_10ms, canPoll_1ms, can_vyn_ini,
     CanOut_event_message, CanOut_stop, CanIn_supervisor_1ms, ccpmr_ini, ccpmr_10ms, xcpmr_ini, xcpmr_10ms,
     routing_ini, comint_ini, meas_man_ini, meas_man_10ms, gw_meas_ini, gw_meas_monitoring,
     gw_request_timeout, gw_meas_1s, gw_stop, SerNet_man_ini, SerNet_man_1s, SerNet_man_flush_online,
     SerNet_man_flush_offline, dynkomm_1s, BC2_init, BC2_stop, msdcom_dbg_10ms, msdcom_dbg, tele_app_ini,
     displayCtrl_ini, displayInit, displayJoin, meas_app_ini, meas_app_main,
     meas_app_set_remotectrl_remoteinit_lock, meas_app_remotefaststop, MeasAppStore_checkForFlush,
     meas_app_calc_recording_rates, meas_fifo_data_syslog, meas_app_check_datatimeout,
     meas_app_checkFragmentTrigOnUSBEvent, meas_app_check_measconditions, meas_fifo_data_update_load_vars,
     cfg_meas_formatInfos_1s, sblk_power_down, sblk_task_trigger_fast, sblk_task_trigger_slow,
     eventChannelsInit, eventChannels_10ms, LapOutFra_checkExtLaptrgInit, meas_man_virtChan_registered)
EACH(V1, xcpSendDAQ, CanOut_send_message, gw_raster, SerNet_man_sender_online, SerNet_man_sender_offline,
     meas_app_saveblock, meas_app_timeout_close)
EACH(U8_1, AppMan_init, RtpMan_ForwardEPK, applComm_ini, time_init, gpio_ini, ecfv_init, adc_init, spi_IOInit,
     max7301_Init, adc_pullup_init, pwmout_init, ledArray_init, RotationalSpeed_Init, simulink_initialize)
EACH(INT_1, nvram_dbs_init, nvram_dbs_repair_begin, nvram_dbs_repair_end, msd_shell_initialize,
     seramInitialize, meascalinfo_init, RtpManUsrCan_Init, can_CtrlInit, dynkomm_ini,
     eventlogging_service_init)
EACH(INT_0, error_mgr_shutdown, LapOutFra_cmds_init, xcpInitialize, LapOutFra_init, comint_status)
R(uint32_t, 1, boot_count_ini)
R(uint32_t, 4711, laptrigger_getLapTimeStamp)
G(uint8_t, AppMan_getPID, 0x25)
G(uint32_t, AppMan_getIPv4Addr, 0xC0A80025)
G(const char*, discover_location, "@frame")
G(uint32_t, boot_count_get, 7)
G(uint16_t, meas_app_get_flags, 0)
G(int, meas_app_PreTrigIsOfflineDataFlushed, 1)
EACH(H, meas_man_create, meas_man_break, meas_man_speed, meas_man_kill_my_measurements,
     meas_man_get_measurement_state, meas_man_create2_cmd, meas_man_meas2_create_reply, meas_man_break2,
     meas_man_break2_reply, meas_man_speed2, meas_man_speed2_reply, meas_man_get_measurement_state2,
     meas_man_get_measurement_state2_reply, gw_meascreate_reply, gw_meas_timestamp_err,
     gw_meas2_timestamp_err, ci_get_version_info_reply, ci_get_lapstack_info, laptrigger_signal_cmd,
     laptrigger_get_info_cmd, laptrigger_get_info_reply_cmd, laptrigger_meas, laptrigger_check_outctr_cmd,
     laptrigger_reset_lap_cmd, laptrigger_reset_out_cmd, laptrigger_reset_lapdist_cmd,
     laptrigger_reset_best_laptime_cmd, laptrigger_incr_outing_cmd, laptrigger_incr_lap_cmd,
     laptrigger_reset_segments_cmd, display_pageset_cmd, SerNet_man_openpath, SerNet_man_closepath)
EACH(SHELL, measCommandFunc, displayCommandFunc, resetCommandFunc, writeVariableFunc, readVariableFunc)

// Manager client, post-run semaphore and watchdog.
R2(int, 1, RtpManUsr_setIndex, uint32_t)
V2(rtp_openPostrun, uint32_t)
void rtp_waitPostrun() {
    rec("rtp_waitPostrun");
    semTake(frame::postrun, WAIT_FOREVER);
}
G(intptr_t, wdogapp_Feed, 0, uint32_t*) // every 10 ms: not recorded
R(intptr_t, 0, wdogapp_EnterShutDown, uint32_t*)

// Services.
int nvramst_init() {
    rec("nvramst_init");
    return frame::serialText != nullptr;
}
int nvramst_get_partNumber(char* text) {
    std::strcpy(text, "4000-115-021");
    return 0;
}
int nvramst_get_serialNumber(char* text) {
    const char* serial = frame::serialText;
    std::strcpy(text, serial ? serial : "");
    return 0;
}
// The error manager hooks its own rasters before the application's.
uint8_t error_mgr_init() {
    rec("error_mgr_init");
    for (int i = frame::errorMgrRasters; i > 0; --i)
        raster_hookFunction(("em" + std::to_string(i)).c_str(), 200, 1000, [](int) {}, 4096, RASTER_ANY_CPU,
                            RASTER_NO_LIMIT);
    return frame::fails("error_mgr_init") ? 0 : 1;
}
V(RtpManUsrCan_ReportNodeStatus, int, uint8_t)
V2(applComm_setBlink, uint8_t, uint32_t)
V(softSchedSyncTo100ms, uint32_t)
cfg_system_t cfg_system;
// The commands by name ("lof_*" for the lap/outing/fragment set).
void msd_shell_setCommonCmds(const MsdShellCommon* list, size_t count) {
    std::string names = "msd_shell_setCommonCmds=";
    for (size_t i = 0; i < count; ++i)
        names += std::string(i ? "," : "") + (list[i].name ? list[i].name : "lof_*");
    rec(names.c_str());
    if (count > 3) rec(list[3].registerAll() == 0 ? "lof_registered" : "lof_refused");
}
R2(int, 1, timeserv_init, int, int)

// Acquisition.
// GPS reception runs in its task until the shutdown deletes it.
void gps_init() {
    rec("gps_init");
    if (taskNameToId("r_gpsTask") == TASK_ID_NULL)
        taskSpawnFn("r_gpsTask", 90, 0, 0, [] {
            for (;;)
                taskDelay(1000000);
        });
}
V(awm_sched_call, uint16_t, uint32_t)
// The lap function reads logging's counters through what start-up hands in, and a lap counted
// also closes the lap's fuel.
void lapfunc_setHooks(const LapfuncHooks* h) {
    LapfuncCounters c{};
    h->getCounters(&c);
    rec("lapfunc_setHooks", c.lap, c.outing);
    h->setCounters(0, 0), h->laptriggerInit(0, 0, 0), h->laptriggerUpdate(0, 0, 0);
}
void laptrigger_setHooks(const LaptriggerHooks* h) {
    rec("laptrigger_setHooks");
    h->lap(7, 3), h->set(0, 0), h->answer(0, 0);
}
R(float, 0.0f, awm_0x0A_fuelcons_setLaptrigger)
V(laptrigger_init, uint16_t, uint16_t, float)
V(laptrigger_update, uint16_t, uint16_t, float)
V2(callSimulinkFunc, int, int)

// What the start-up hands in: the stand-ins of the functions record their names when called,
// the tables are the modules' own.
R(uint8_t, 1, power_getPwrGood)
R(int, 0, comint_queue_from, const uint8_t*, int)
R(int, 0, comint_forward_from, const uint8_t*, int)
R(bool, false, comint_wait_room, int, int)
R(uint16_t, 0, comint_put_cmd, const uint8_t*, int)
R(void*, nullptr, ccpmr_GetAddr, uint32_t)
R(void*, nullptr, xcpmr_GetAddr, uint32_t)
const MeasManGatewaySink gw_measGatewaySink{};
const MeasManMaster ccpmr_measMaster{}, xcpmr_measMaster{};
const seramDownloadHooks awm_man_downloadHooks{};
const seramMeasChannelSource awm_man_channelSource{};
const LedBrightnessCurves display_ledCurves{};
const GuiAppHooks display_guiHooks{};
// The setters of the hand-ins record their name, then call what they are handed or name the table.
#define KEEP(name, parameters, ...)                                                                          \
    void name parameters {                                                                                   \
        rec(#name), __VA_ARGS__;                                                                             \
    }
#define IS(p, table) rec(p == &table ? #table : "another table")
KEEP(applComm_setCanStateSink, (void (*f)(int, uint8_t)), f(0, 0))
KEEP(error_mgr_setEventSink, (ErrorMgrEventSink f), f(nullptr, nullptr, nullptr))
KEEP(error_mgr_setPowerGoodSource, (uint8_t(*f)()), f())
KEEP(timeserv_setSoftSchedSync, (void (*f)(uint32_t)), f(0))
KEEP(timeserv_setCommandInterface, (uint16_t(*send)(const uint8_t*, int), int (*ready)()), send(nullptr, 0),
     ready())
KEEP(adc_setPowerGoodSource, (uint8_t(*f)()), f())
KEEP(adc_diagnostic_setRestore, (void (*f)()), f())
KEEP(seramSetDownloadHooks, (const seramDownloadHooks* h), IS(h, awm_man_downloadHooks))
KEEP(seramMeasSetChannelSource, (const seramMeasChannelSource* s), IS(s, awm_man_channelSource))
KEEP(seramMeasSetMasterSource, (uint32_t c, void* (*f)(uint32_t)), rec("class", c), f(0))
KEEP(meascalinfo_virtchan_setLoadedSink, (void (*f)()), f())
KEEP(xcpSetAppHooks, (const xcpAppHooks* h), h->stopChannelFunctions(), h->lockRemoteInit(),
     IS(h->maxFileCount[0], meas_maxFileCnt_part1), IS(h->maxFileCount[1], meas_maxFileCnt_part2),
     IS(h->maxFileCount[2], meas_maxFileCnt_usb))
KEEP(BC2_setCommandSink,
     (int (*queue)(const uint8_t*, int), int (*forward)(const uint8_t*, int), bool (*room)(int, int)),
     queue(nullptr, 0), forward(nullptr, 0), room(0, 0))
KEEP(BC2_setResetSink, (void (*f)(uint16_t)), f(0))
KEEP(meas_man_setGatewaySink, (const MeasManGatewaySink* s), IS(s, gw_measGatewaySink))
KEEP(meas_man_setMaster, (int which, const MeasManMaster* m), rec("master", which),
     which ? IS(m, xcpmr_measMaster) : IS(m, ccpmr_measMaster))
KEEP(softSched_setCallees, (const SoftSchedCallees& c), c.schedCall(0, 0), c.measCopy(0, 0), c.adjust())
KEEP(awm_0x0B_led_setBrightnessCurves, (const LedBrightnessCurves* c), IS(c, display_ledCurves))
KEEP(GuiSetAppHooks, (const GuiAppHooks& h), IS(&h, display_guiHooks))

// Communication and display.
V2(meas_man_copy, int, uint32_t)
V(meas_man_requesterReset, uint16_t)
int displayStart() {
    rec("displayStart");
    static std::atomic<int> n{0};
    if (n++ == 0) frame::firstDisplayTick = tick64Get();
    frame::lastDisplayTick = tick64Get();
    return frame::displayRefusals-- > 0 ? -1 : 0;
}

// Logging.
uint32_t meas_maxFileCnt_part1, meas_maxFileCnt_part2, meas_maxFileCnt_usb;
int meas_app_BootPrepareDisks(int mode, int timeoutTicks) {
    rec("meas_app_BootPrepareDisks", mode, timeoutTicks);
    return frame::fails("meas_app_BootPrepareDisks") ? -1 : 0;
}
// Records the priority it runs at.
void LapOutFra_queryLapOutCntTask() {
    int priority = -1;
    taskPriorityGet(taskIdSelf(), &priority);
    rec("LapOutFra_queryLapOutCntTask", priority);
}
void sblk_task_init(const char* name, int priority, int stack, int) {
    rec(name, priority, stack);
}
V(eventlogging_send, const uint8_t*, const char*, const char*)
void LapOutFra_getState(LapOutFraState* st) {
    rec("LapOutFra_getState");
    *st = LapOutFraState{}, st->lap = 12, st->outing = 3;
}
V2(LapOutFra_lapTrigger, uint16_t, uint16_t)
V(LapOutFra_laptriggerAnswer, uint16_t, uint16_t)
V2(LapOutFra_initLapOutCnt, uint16_t, uint16_t)

// Command handlers: handed in at start-up, served by the command interface.
void comint_setHandler(uint16_t code, ComintHandler h) {
    frame::handlers[code] = {h, nullptr};
}
void comint_setReplyHandler(uint16_t code, ComintReplyHandler h) {
    frame::handlers[code] = {nullptr, h};
}
R(size_t, 0, ci_get_version_info_req, const uint8_t*, size_t, uint8_t*, size_t)
V(eventlogging_cmd, const uint8_t*)
