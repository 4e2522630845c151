// The application rasters: each body is a fixed list of calls into the subsystems.
#include "app/raster/bodies.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/board/board.h"
#include "acquisition/lap/laptrigger.h"
#include "acquisition/led/led.h"
#include "acquisition/selfmon/selfmon.h"
#include "acquisition/vyndata/vyndata.h"
#include "calibration/memory/seram.h"
#include "calibration/xcp/xcp.h"
#include "comm/can/can.h"
#include "comm/canin/canin.h"
#include "comm/canout/canout.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/msdcomdbg/msdcom_dbg.h"
#include "comm/sernet/sernet.h"
#include "comm/xcpmr/xcpmr.h"
#include "logging/eventlog/eventlog.h"
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/measapp/measapp.h"
#include "logging/sblk/sblk.h"
#include "model/model.h"
#include "services/applcomm/applcomm.h"
#include "services/sysrole/sysrole.h"
#include "services/raster/raster.h"
#include "services/timemod/timemod.h"
#include "services/timeserv/timeserv.h"

namespace {

constexpr size_t APP_STACK = 0x80000;
constexpr size_t MEAS_STACK = 0x100000;
constexpr int32_t APP_LIMIT = 30;

// A raster index r is served on the runs c with c mod `mod` == `rem`. The offsets spread
// the slower rasters over different runs.
struct Phase {
    uint32_t mod;
    uint32_t rem;
};

// rMeasure runs every 1 ms; index 10 (the second 1 ms slot) is saved every 2 ms.
constexpr Phase measPhase[] = {{1, 0},     {2, 1},     {5, 2},      {10, 3}, {20, 11},  {50, 16}, {100, 33},
                               {200, 111}, {500, 123}, {1000, 187}, {2, 1},  {100, 33}, {100, 33}};
// The Ethernet senders run every 10 ms.
constexpr Phase ethPhase[] = {{1, 0},   {1, 0},   {1, 0},    {1, 0}, {2, 1},  {5, 1}, {10, 3},
                              {20, 11}, {50, 12}, {100, 18}, {1, 0}, {10, 3}, {10, 3}};

bool due(const Phase* table, uint32_t c, int r) {
    if (r < 0 || r > 12) return false;
    return c % table[r].mod == table[r].rem;
}
bool rMeasure_due(uint32_t c, int r) {
    return due(measPhase, c, r);
}
bool rEthSend_due(uint32_t c, int r) {
    return due(ethPhase, c, r);
}

// Phase counters, each touched only by its raster's task.
uint32_t measCounter = 0;
uint32_t ethOnlineCounter = 0;
uint32_t ethOfflineCounter = 0;

void ethSend(uint32_t& c, void (*send)(int), void (*flush)()) {
    static constexpr int order[] = {10, 0, 1, 2, 3, 4, 5, 6, 11, 12, 7, 8, 9};
    for (int r : order)
        if (rEthSend_due(c, r)) send(r);
    flush();
    ++c;
}

// The model, gateway and CAN output calls of the plain periodic rasters.
void modelStep(int raster) {
    callSimulinkFunc(raster, 0);
    callSimulinkFunc(raster, 1);
}

void plainRaster(int raster) {
    modelStep(raster);
    gw_raster(raster);
    CanOut_send_message(raster);
}

} // namespace

const AppRaster APP_RASTERS[APP_RASTER_COUNT] = {
    {"r1ms", 29, 1, r1ms, APP_STACK, APP_LIMIT},
    {"r2ms", 65, 2, r2ms, APP_STACK, APP_LIMIT},
    {"r5ms", 66, 5, r5ms, APP_STACK, APP_LIMIT},
    {"r10ms", 67, 10, r10ms, APP_STACK, APP_LIMIT},
    {"r20ms", 70, 20, r20ms, APP_STACK, APP_LIMIT},
    {"r50ms", 71, 50, r50ms, APP_STACK, APP_LIMIT},
    {"r100ms", 72, 100, r100ms, APP_STACK, APP_LIMIT},
    {"r200ms", 87, 200, r200ms, APP_STACK, APP_LIMIT},
    {"r500ms", 88, 500, r500ms, APP_STACK, APP_LIMIT},
    {"r1000ms", 89, 1000, r1000ms, APP_STACK, APP_LIMIT},
    {"rEthSend_online", 83, 10, rEthSend_online, APP_STACK, 5000},
    {"rEthSend_offline", 84, 10, rEthSend_offline, APP_STACK, 5000},
    {"rMeas", 132, 1, rMeasure, MEAS_STACK, 6000},
    {"sbLapPer", 82, RASTER_EVENT_LAP_SB_PER, rLap_sb_per, APP_STACK, RASTER_NO_LIMIT},
    {"Lap", 85, RASTER_EVENT_LAP, rLap, APP_STACK, RASTER_NO_LIMIT},
};

uint8_t framework_initialize() {
    for (const AppRaster& r : APP_RASTERS)
        if (!raster_hookFunction(r.name, r.priority, r.periodOrEvent, r.body, r.stack, RASTER_ANY_CPU,
                                 r.watchdogLimit))
            return 0;
    return 1;
}

void display_10ms() {}

void r1ms(int) {
    timeserv_MeasTime_1ms();
    power_vyn_1ms();
    adc_fifo_1ms();
    uecu_meas_1ms();
    vyn_data_1ms();
    canPoll_1ms();
    modelStep(0);
    gw_raster(0);
    gw_raster(10);
    xcpSendDAQ(2);
    CanOut_send_message(0);
    CanIn_supervisor_1ms();
}

void r2ms(int) {
    plainRaster(1);
}

void r5ms(int) {
    modelStep(2);
    sblk_task_trigger_fast();
    gw_raster(2);
    CanOut_send_message(2);
}

void r10ms(int) {
    modelStep(3);
    timedistr_measdata_10ms();
    gw_raster(3);
    iecu_meas_10ms();
    iusb_meas_10ms();
    sensor_pwr_10ms();
    msdcom_dbg_10ms();
    vyn_data_10ms();
    display_10ms();
    eventChannels_10ms();
    xcpSendDAQ(1);
    xcp_10ms();
    ccpmr_10ms();
    xcpmr_10ms();
    gw_meas_monitoring();
    gw_request_timeout();
    meas_man_10ms();
    meas_app_check_measconditions();
    CanOut_event_message();
    CanOut_send_message(3);
    applComm_10ms();
}

void r20ms(int) {
    plainRaster(4);
}
void r50ms(int) {
    plainRaster(5);
}

void r100ms(int) {
    led_display();
    vyn_data_100ms();
    rev_in_vyn_100ms();
    modelStep(6);
    msdcom_dbg();
    meas_fifo_data_update_load_vars();
    pwmdiag_100ms();
    adc_rangemon_100ms();
    ana_100ms();
    xadc_meas_100ms();
    gw_raster(6);
    gw_raster(11);
    gw_raster(12);
    CanOut_send_message(6);
    adc_diagnostic_100ms();
    xcpSendDAQ(0);
}

void r200ms(int) {
    plainRaster(7);
}
void r500ms(int) {
    plainRaster(8);
}

void r1000ms(int) {
    plainRaster(9);
    sblk_task_trigger_slow();
    gw_meas_1s();
    SerNet_man_1s();
    dynkomm_1s();
    seram_1s();
    mem_usage_1s();
    tecu_meas_1s();
    ltecu_meas_1s();
    cfg_meas_formatInfos_1s();
}

void rLap(int) {
    const uint32_t stamp = laptrigger_getLapTimeStamp();
    modelStep(16);
    meas_man_copy(11, stamp);
    meas_man_copy(12, stamp);
}

void rLap_sb_per(int) {
    meas_man_copy(12, 0);
}

void rMeasure(int) {
    const uint32_t c = measCounter;
    meas_app_main();
    meas_app_saveblock(0);
    if (rMeasure_due(c, 1)) {
        meas_app_saveblock(1);
        meas_app_saveblock(10);
    }
    if (rMeasure_due(c, 2)) meas_app_saveblock(2);
    if (rMeasure_due(c, 3)) {
        meas_app_saveblock(3);
        LapOutFra_checkExtLaptrgInit();
    }
    if (rMeasure_due(c, 4)) meas_app_saveblock(4);
    if (rMeasure_due(c, 5)) meas_app_saveblock(5);
    if (rMeasure_due(c, 6)) {
        meas_app_saveblock(6);
        meas_app_saveblock(11);
        meas_app_saveblock(12);
        meas_app_timeout_close(11);
        meas_app_timeout_close(12);
    }
    if (rMeasure_due(c, 7)) meas_app_saveblock(7);
    if (rMeasure_due(c, 8)) meas_app_saveblock(8);
    if (rMeasure_due(c, 9)) {
        meas_app_saveblock(9);
        MeasAppStore_checkForFlush();
        meas_app_calc_recording_rates();
        meas_fifo_data_syslog();
        meas_app_check_datatimeout();
        meas_app_checkFragmentTrigOnUSBEvent();
    }
    measCounter = c + 1;
}

void rEthSend_online(int) {
    ethSend(ethOnlineCounter, SerNet_man_sender_online, SerNet_man_flush_online);
}
void rEthSend_offline(int) {
    ethSend(ethOfflineCounter, SerNet_man_sender_offline, SerNet_man_flush_offline);
}
