// Partition 1: the lap timing. A small model of our own over the lap function's parameters and
// inputs (acquisition/awm/lapfunc.h):
// - 1 ms step: the trigger level; an edge to SIG_ACT_LVL is latched with its millisecond. Times
//   are the unit's clock when a step reads its inputs, not a count of steps: steps that make up
//   late releases one after the other all read the level of now, and a count would date an edge
//   up to their backlog before it came, within the lock of the lap before.
// - 10 ms step: command flags and the outing request first, then distance from the speed,
//   segments (by the GPS segment trigger, or by the end distances LAPSEG while a speed input
//   gives the distance; a segment begun before a restart gets no time), then a lap trigger
//   (edge, GPS trigger or MACRO_LAPTRG_SET) that is the outing's first or at least
//   max(MAIN_TRIG_TIME_MIN, MAIN_RETRIG_LOCK) seconds after the last one ends the lap:
//   lap time, deltas to the last, best and predicted lap, best lap when the lap is valid (with a
//   track length and a speed input: its distance between CND_DIST_MIN and CND_DIST_MAX of it),
//   the next lap counted and the lap event handed to the lap trigger.
// - Countdown (CNTDOWNTIME_MODE not 0): runs down from CNTDOWNTIME_INIT, and from
//   CNTDOWNTIME_SET when a new outing begins.
// Intermediate triggers (TRIG_CFG) are not modelled. The command flags are taken (cleared) by the
// step that acts on them.
#include "model/partition.h"

#include "acquisition/awm/lapfunc.h"
#include "acquisition/lap/laptrigger.h"
#include "platform/os/os.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float SEG_DEFAULT = 6000.0f, BEST_DEFAULT = 100000.0f, STEP_S = 0.01f;

struct Model {
    bool started = false;
    uint64_t nowMs = 0;
    uint8_t lastLevel = 0xFF;
    bool edge = false;
    uint64_t edgeMs = 0;
    uint64_t lapStartMs = 0, segStartMs = 0, lastTrigMs = 0;
    bool triggered = false; // a lap trigger was taken in this outing
    bool segTimed = true;   // the current segment's start was seen
    uint16_t lap = 0, out = 0;
};
Model m;

float seconds(uint64_t ms) {
    return static_cast<float>(ms) * 0.001f;
}

void publishCounters() {
    lapcurr = lapcurr_sb = lapctr_lapfunc = m.lap;
    outing = m.out;
    lapctr = m.lap;
    outctr = m.out;
}

void finishSegment(int k, uint64_t at) {
    if (k < 0 || k >= 100) return;
    if (!m.segTimed) { // begun before a restart: no time of it
        lapsegctr = static_cast<uint8_t>(k + 1);
        m.segStartMs = at;
        m.segTimed = true;
        return;
    }
    const float t = seconds(at - m.segStartMs);
    lapseg_curr[k] = t;
    lapseg_dbest = t - lapseg_best[k];
    lapseg_dlast = t - lapseg_last[k];
    lapseg_dpred = LAPSEGPRED[k] > 0 ? seconds(at - m.lapStartMs) - LAPSEGPRED[k] : 0.0f;
    lapseg_last[k] = t;
    lapseg_best[k] = std::min<float>(lapseg_best[k], t);
    lapsegctr = static_cast<uint8_t>(k + 1);
    b_lapseg = 1;
    m.segStartMs = at;
}

void commands() {
    bool set = false;
    if (MACRO_OUT_SET) m.out = static_cast<uint16_t>(OUT_CTR_SET), set = true;
    if (MACRO_LAP_SET) m.lap = static_cast<uint16_t>(LAP_CTR_SET), set = true;
    if (awm_0x08_lapfunc_getOutIncrReq()) {
        ++m.out;
        m.lap = static_cast<uint16_t>(LAP_CTR_SET);
        distlap = 0.0f;
        m.triggered = false;
        if (CNTDOWNTIME_MODE) cntdowntime = CNTDOWNTIME_SET;
        set = true;
    }
    if (MACRO_LAPDIST_SET) distlap = 0.0f;
    if (MACRO_LAPTIBEST_SET && laptimebest) *laptimebest = LAPTIBEST_SET > 0 ? LAPTIBEST_SET : BEST_DEFAULT;
    if (MACRO_SEGTIME_SET)
        for (int k = 0; k < 100; ++k)
            lapseg_best[k] = lapseg_last[k] = SEG_DEFAULT;
    // A lap-and-outing update from the master is the master's own count: not announced again.
    if (set && !MACRO_LAPOUT_FROM_MASTER) laptrigger_set(m.lap, m.out, laptimeold);
}

void endLap(uint64_t at) {
    const float t = seconds(at - m.lapStartMs);
    const bool measured = TRACK_LEN > 0;
    const bool valid =
        m.triggered && (!measured || (distlap >= CND_DIST_MIN * TRACK_LEN &&
                                      (CND_DIST_MAX <= 0 || distlap <= CND_DIST_MAX * TRACK_LEN)));
    lapdiff = laptimeold > 0 ? t - laptimeold : 0.0f;
    const float best = laptimebest ? *laptimebest : BEST_DEFAULT;
    lapdiffb = best < BEST_DEFAULT ? t - best : 0.0f;
    lapdiffpred = LAPTIMEPRED > 0 ? t - LAPTIMEPRED : 0.0f;
    if (valid && laptimebest && t < *laptimebest) {
        *laptimebest = t;
        b_bestlap = 1;
    }
    b_laptimevalid = valid;
    b_lapval_changed = 1;
    laptimeold = t;
    ++m.lap;
    m.lapStartMs = m.segStartMs = m.lastTrigMs = at;
    m.triggered = true;
    m.segTimed = true;
    distlap = 0.0f;
    lapsegctr = 0;
    e_lap = b_laptrg = 1;
    publishCounters();
    laptrigger_event(m.lap, m.out, t);
}

void step1ms(int call) {
    if (call != 0) return;
    m.nowMs = tick64Get() * 1000 / static_cast<uint64_t>(sysClkRateGet());
    const uint8_t level = awm_0x08_lapfunc_getTrigger();
    if (m.lastLevel != 0xFF && level != m.lastLevel && level == SIG_ACT_LVL && !m.edge) {
        m.edge = true;
        m.edgeMs = m.nowMs;
    }
    m.lastLevel = level;
}

void step10ms(int call) {
    if (call != 0 || !awm_0x08_lapfunc_configured()) return;
    if (!m.started) {
        m.started = true;
        m.lap = static_cast<uint16_t>(LAP_CTR_INIT);
        m.out = static_cast<uint16_t>(OUT_CTR_INIT);
        distlap = DISTLAP_INIT;
        cntdowntime = CNTDOWNTIME_MODE ? CNTDOWNTIME_INIT : 0.0f;
        m.lapStartMs = m.segStartMs = m.nowMs;
        m.edge = false;
        // A restart that kept the lap goes on from the restored distance: the segments behind it
        // were timed before it.
        lapsegctr = 0;
        while (lapsegctr < 100 && LAPSEG[lapsegctr] > 0 && distlap >= LAPSEG[lapsegctr])
            ++lapsegctr;
        m.segTimed = !(distlap > 0);
    }
    e_lap = b_laptrg = b_gpslaptrg = b_bestlap = b_lapseg = b_lapval_changed = b_laptrgb = 0;
    commands();

    const float speed = awm_0x08_lapfunc_getSpeed();
    ddistlap = speed * STEP_S;
    distlap += ddistlap;
    dist += ddistlap;
    b_speedlapmn = speed < CND_SPEED_MIN;
    b_llapmn = distlap < CND_DIST_MIN * TRACK_LEN;

    const uint16_t seg = awm_0x08_lapfunc_getGpsSegmentTrigger();
    if (seg) {
        finishSegment(seg - 1, m.nowMs);
    } else if (TRACK_LEN > 0) {
        while (lapsegctr < 100 && LAPSEG[lapsegctr] > 0 && distlap >= LAPSEG[lapsegctr])
            finishSegment(lapsegctr, m.nowMs);
    }

    const uint8_t gps = awm_0x08_lapfunc_getGpsTrigger();
    b_gpslaptrg = gps;
    const bool edge = m.edge;
    const uint64_t at = edge ? m.edgeMs : m.nowMs;
    m.edge = false;
    if (edge || gps || MACRO_LAPTRG_SET) {
        const float lock = std::max(MAIN_TRIG_TIME_MIN, MAIN_RETRIG_LOCK);
        if (!m.triggered || seconds(at - m.lastTrigMs) >= lock)
            endLap(at);
        else
            b_laptrgb = 1;
    }

    laptime = laptime_sb = seconds(m.nowMs - m.lapStartMs);
    laptimeseg = seconds(m.nowMs - m.segStartMs);
    b_lapin = m.triggered;
    const float frac = TRACK_LEN > 0 ? distlap / TRACK_LEN : 0.0f;
    const float best = laptimebest ? *laptimebest : BEST_DEFAULT;
    lapcurrpred = frac > 0.05f ? laptime / frac : 0.0f;
    lapcurrpred_intrpl = lapcurrpred;
    lapintrpl_dbest = frac > 0 && best < BEST_DEFAULT ? laptime - best * frac : 0.0f;
    lapintrpl_dlast = frac > 0 && laptimeold > 0 ? laptime - laptimeold * frac : 0.0f;
    lapintrpl_dpred = frac > 0 && LAPTIMEPRED > 0 ? laptime - LAPTIMEPRED * frac : 0.0f;
    if (CNTDOWNTIME_MODE && cntdowntime > 0) cntdowntime = std::max(0.0f, cntdowntime - STEP_S);
    publishCounters();
    // Taken: the lap function sets them again in its next cycle.
    MACRO_LAP_SET = MACRO_OUT_SET = MACRO_LAPDIST_SET = MACRO_LAPTRG_SET = MACRO_LAPTIBEST_SET =
        MACRO_SEGTIME_SET = MACRO_LAPOUT_FROM_MASTER = 0;
}

// Internal signals for tools: the model's lap time, last lap time, lap distance and distance.
const convRule_t rules[] = {{1.0f, 0.0f}};
convEntry_t entries[4];
const uint32_t entryCount = 4;
convTable_t table{entries, &entryCount, rules};

convTable_t* vmeas() {
    // Registration rewrites the rule numbers: a fresh table each time.
    const convEntry_t fresh[] = {{&laptime, 0, CONV_F32, CONV_F32},
                                 {&laptimeold, 0, CONV_F32, CONV_F32},
                                 {&distlap, 0, CONV_F32, CONV_F32},
                                 {&dist, 0, CONV_F32, CONV_F32}};
    for (uint32_t i = 0; i < entryCount; ++i)
        entries[i] = fresh[i];
    return &table;
}

uint8_t init() {
    m = Model{};
    return 1;
}

} // namespace

const codegen_hook_t codegen_hookPartition_P1{
    init,
    awm_0x08_lapfunc_ini_lof,
    {step1ms, nullptr, nullptr, step10ms, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    vmeas};

void lapmodel_reset() {
    m = Model{};
}
