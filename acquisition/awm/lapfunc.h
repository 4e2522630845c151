// Lap function (channel-function type 0x08): the frame around the model partition's lap
// logic. It turns its dataset into the model's parameters, hands the model its inputs through
// the getters, restores and persists the lap state and publishes the model's results.
#pragma once

#include "calibration/block/word.h"

#include <cstdint>

// Logging's lap, outing, absolute lap and fragment counters.
struct LapfuncCounters {
    uint16_t lap, outing, absLap, fragment;
    uint8_t valid;
};
// What the lap function needs of modules above it, handed in by the start-up: logging's
// counters and the lap trigger between units.
struct LapfuncHooks {
    void (*getCounters)(LapfuncCounters* state);
    void (*setCounters)(uint16_t lap, uint16_t outing);
    void (*laptriggerInit)(uint16_t lap, uint16_t outing, float lapTime);
    void (*laptriggerUpdate)(uint16_t lap, uint16_t outing, float lapTime);
};
void lapfunc_setHooks(const LapfuncHooks* hooks);

// ---- the model's parameters (set by the lap function, read by the model) -------------------
extern float TRACK_LEN, CND_SPEED_MIN, CND_DIST_MIN, CND_DIST_MAX, MAIN_TRIG_TIME_MIN, IM_TRIG_TIME_MIN,
    MAIN_RETRIG_LOCK, IM_RETRIG_LOCK, LAPTIMEPRED, LAPTIBEST_PL, LAPTIBEST_SET, CNTDOWNTIME_SET,
    CNTDOWNTIME_INIT, LAP_CTR_INIT, OUT_CTR_INIT, DISTLAP_INIT, LAP_CTR_SET, OUT_CTR_SET;
extern uint8_t TRIG_CFG, SIG_ACT_LVL, SEGTIME_MODE, EM_LAP, CNTDOWNTIME_MODE;
extern float LAPSEG[100], LAPSEGPRED[100];
extern float* laptimebest;
// Command flags, each 1 for one model step.
extern uint8_t MACRO_LAP_SET, MACRO_OUT_SET, MACRO_LAPDIST_SET, MACRO_LAPTRG_SET, MACRO_LAPTIBEST_SET,
    MACRO_SEGTIME_SET;
// With both counter flags: the counters are the laptrigger master's update, not set on this unit.
extern uint8_t MACRO_LAPOUT_FROM_MASTER;

// ---- the model's results (written by the model, published by the lap function and sampled by
// tools through the model's table of internal signals) ---------------------------------------
extern seramWord<float> ddistlap, distlap, dist, lapctr_lapfunc, lapcurr, lapcurr_sb, lapdiff, lapdiffb,
    lapdiffpred, lapseg_dbest, lapseg_dlast, lapseg_dpred, laptime, laptime_sb, laptimeold, laptimeseg,
    lapcurrpred, outing, cntdowntime, lapintrpl_dbest, lapintrpl_dlast, lapintrpl_dpred, lapcurrpred_intrpl;
extern seramWord<float> lapseg_best[100], lapseg_curr[100], lapseg_last[100];
extern seramWord<uint8_t> lapsegctr, e_lap, b_bestlap, b_lapin, b_lapseg, b_laptimevalid, b_gpslaptrg,
    b_laptrg, b_laptrgb, b_laptrgi, b_laptrgim, b_laptrgm, b_lapval_changed, b_llapmn, b_speedlapmn;

// 1 once the counters are initialised (the lap trigger's commands are served only then).
uint8_t awm_0x08_lapfunc_configured();
// Called once by the model partition's initialisation, after logging's counters are loaded.
void awm_0x08_lapfunc_ini_lof();

// The model's inputs: trigger level (1 ms step), speed m/s, GPS lap trigger, GPS segment
// trigger (segment + 1, 0 none) and the outing request (10 ms step); the last two are taken.
uint8_t awm_0x08_lapfunc_getTrigger();
float awm_0x08_lapfunc_getSpeed();
uint8_t awm_0x08_lapfunc_getGpsTrigger();
uint16_t awm_0x08_lapfunc_getGpsSegmentTrigger();
uint8_t awm_0x08_lapfunc_getOutIncrReq();
// The GPS channel function passed segment point n.
void lapfunc_StoreGpsSegmentTrigger(uint16_t n);
void awm_0x08_lapfunc_checkOutCtr();

// Requests of the lap trigger's commands, each acting for one model step.
void lapfunc_resetLap();
void lapfunc_resetOut();
void lapfunc_resetLapDist();
void lapfunc_resetBestLapTime();
void lapfunc_resetSegments();
void lapfunc_incrLap();
void lapfunc_incrOuting();
// Lap and outing of the laptrigger master, taken over in the next step.
void lapfuncUpdate_LapOut(uint16_t lap, uint16_t outing);

// 0 without lap function; else 1 and the value into *out (when not null).
uint8_t lapfuncGet_Lap(float* out);
uint8_t lapfuncGet_Outing(float* out);
uint8_t lapfuncGet_LapDist(float* out);
uint8_t lapfuncGet_LapTime(float* out);
uint8_t lapfuncGet_LapTimeOld(float* out);

// GPS channel function (type 0x17): segment points of the detected track are reported to the
// lap function in mode 1, the first `count` of them (0: all); mode 0 reports none.
void awm_0x17_gpsSetSegmentTriggerMode(uint16_t mode, uint16_t count);
