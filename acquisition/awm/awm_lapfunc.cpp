// Lap function (type 0x08) and its triggers. It does not time laps itself: the model partition
// does, from the parameters set here and the inputs of the getters below; this type restores
// and persists the lap state and publishes the model's results as its outputs.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/lapfunc.h"

#include "acquisition/gps/gps.h"
#include "acquisition/selfmon/selfmon.h"
#include "services/nvram/nvram.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/sysrole/sysrole.h"
#include "vyn/vartable.h"

#include <cmath>
#include <limits>
#include <type_traits>
#include <new>

// ---- module state shared with the model --------------------------------------------------------
float TRACK_LEN, CND_SPEED_MIN, CND_DIST_MIN, CND_DIST_MAX, MAIN_TRIG_TIME_MIN, IM_TRIG_TIME_MIN,
    MAIN_RETRIG_LOCK, IM_RETRIG_LOCK, LAPTIMEPRED, LAPTIBEST_PL, LAPTIBEST_SET, CNTDOWNTIME_SET,
    CNTDOWNTIME_INIT, LAP_CTR_INIT, OUT_CTR_INIT, DISTLAP_INIT, LAP_CTR_SET, OUT_CTR_SET;
uint8_t TRIG_CFG, SIG_ACT_LVL = 1, SEGTIME_MODE, EM_LAP, CNTDOWNTIME_MODE;
float LAPSEG[100], LAPSEGPRED[100];
float* laptimebest;
uint8_t MACRO_LAP_SET, MACRO_OUT_SET, MACRO_LAPDIST_SET, MACRO_LAPTRG_SET, MACRO_LAPTIBEST_SET,
    MACRO_SEGTIME_SET, MACRO_LAPOUT_FROM_MASTER;
seramWord<float> ddistlap, distlap, dist, lapctr_lapfunc, lapcurr, lapcurr_sb, lapdiff, lapdiffb, lapdiffpred,
    lapseg_dbest, lapseg_dlast, lapseg_dpred, laptime, laptime_sb, laptimeold, laptimeseg, lapcurrpred,
    outing, cntdowntime, lapintrpl_dbest, lapintrpl_dlast, lapintrpl_dpred, lapcurrpred_intrpl;
seramWord<float> lapseg_best[100], lapseg_curr[100], lapseg_last[100];
seramWord<uint8_t> lapsegctr, e_lap, b_bestlap, b_lapin, b_lapseg, b_laptimevalid, b_gpslaptrg, b_laptrg,
    b_laptrgb, b_laptrgi, b_laptrgim, b_laptrgm, b_lapval_changed, b_llapmn, b_speedlapmn;

namespace {

// Dataset offsets.
constexpr uint32_t LEN = 1196, REF_TRIG = 40, REF_SPEED = 76, REF_LAT = 112, REF_LON = 148, REF_GSPEED = 184,
                   REF_DIR = 220, OFF_TRACK = 256, OFF_SEG = 288, OFF_SEGPRED = 688, OFF_PRED = 1088,
                   OFF_THRESH = 1100, OFF_CNTDOWN = 1104, OFF_ACTLVL = 1108, OFF_LAPSTART = 1110,
                   OFF_OUTSTART = 1112, OFF_FLAGS = 1118, OFF_GPSPOINT = 1132, OFF_GPSDIST = 1140,
                   REF_OUTTRIG = 1144, OFF_OUTPOL = 1180, OFF_SEGEQUAL = 1182, OFF_TRACKDET = 1184,
                   OFF_SEGMODE = 1186;
constexpr uint32_t GPS_MODE = 0xFFFFFFFF;
constexpr uint16_t OUT_BLOCK_CYCLES = 400; // 4 s of 10 ms cycles
constexpr int SEGMENTS = 100;
constexpr float SEG_DEFAULT = 6000.0f, BEST_DEFAULT = 100000.0f;

struct NvLap { // element 3
    uint32_t startS, startNs, endS, endNs;
    float best;
};
struct NvSeg { // element 5, one record per segment
    float best, last;
};

struct Input {
    awm_input_buf buf;
    float value;
};

// Sampled by other tasks while the cycle writes them.
struct Outputs {
    seramWord<uint16_t> ddistlap, distlap;
    seramWord<uint8_t> e_lap, lapctr8;
    seramWord<uint16_t> lapctr;
    seramWord<uint8_t> lapcurr_sb;
    seramWord<int16_t> lapdiff, lapdiffb, lapdiffpred;
    seramWord<uint16_t> segBest[16], segCurr[16], segLast[16];
    seramWord<int16_t> segDbest, segDlast, segDpred;
    seramWord<uint8_t> lapsegctr;
    seramWord<uint32_t> laptime, laptime_sb, lapcurrpred, best, laptimeold;
    seramWord<uint16_t> laptimeseg, outctr, speed, cntdown;
    seramWord<uint8_t> flags[12];
    seramWord<uint8_t> gpslaptrg;
    seramWord<int16_t> gpsDist[3];
    seramWord<float> gps[4]; // latitude, longitude, speed, direction
    seramWord<float> trackLat, trackLon, trackLen;
    seramWord<uint32_t> trackId;
    seramWord<int16_t> intrpl[3];
    seramWord<uint32_t> intrplPred;
};

struct Instance {
    const uint8_t* ds;
    Input trig, speed, lat, lon, dir, gspeed, outTrig;
    uint16_t boardChannel;
    Outputs o;
    uint16_t outBlock;
    uint8_t outLast, outSeen;
    seramWord<uint8_t> lapcurr8, outing8; // lapfuncGet_Lap and _Outing
    float gpsDistM;
    uint32_t nvFailing;
};

Instance* local_data;
std::atomic<uint8_t> awm_0x08_init{0};
const LapfuncHooks* hooks;

// Requests of the command task, taken by the 10 ms cycle: an exchange, so that a request set
// between reading and clearing is not lost.
std::atomic<uint8_t> lapReset_req, outingReset_req, lapOutUpdate_req, lapDistReset_req, lapIncr_req,
    lapBestLaptimeReset_req, segmentsReset_req, outIncrReq;
std::atomic<uint32_t> lapOutUpdate_value; // lap in the low half, outing in the high one
std::atomic<uint16_t> gpsSegment_trig;
uint8_t laptriggerMode_gps;
uint8_t lapTrgPage, lapSetPage, outSetPage; // the page's flags in the last cycle
std::atomic<uint8_t> trigger{0xFF};
bool nvNotRun;
float cntdowntime_old;

// What was stored last, so only changed data is written.
NvLap nv, nvShadow;
float distShadow;
NvSeg seg[SEGMENTS], segShadow[SEGMENTS];

bool take(std::atomic<uint8_t>& req) {
    return req.exchange(0) != 0;
}

// Truncated toward zero into a byte: negative or not a number 0, above 255 255.
uint8_t trunc8(float v) {
    if (!(v > 0)) return 0;
    return v >= 255.0f ? 255 : static_cast<uint8_t>(v);
}
template <class T> T rounded(double q) {
    T out{};
    constexpr uint16_t code = std::is_same_v<T, uint8_t>    ? 1
                              : std::is_same_v<T, int16_t>  ? 2
                              : std::is_same_v<T, uint16_t> ? 3
                                                            : 5;
    awm_store_int(&out, code, q);
    return out;
}
// GPS distances in 0.1 m, limited to +-1000 m.
int16_t tenths(float m) {
    double v = static_cast<double>(m) * 10.0;
    if (std::isnan(v) || v < -10000) v = -10000;
    if (v > 10000) v = 10000;
    return static_cast<int16_t>(awm_round(v));
}

void startInput(const uint8_t* ds, uint32_t ref, Input* in, uint16_t raster, float initial) {
    awm_man_init_data(&in->buf.raw, static_cast<uint8_t>(awm_rd<uint16_t>(ds, ref + 32)));
    in->buf.value = initial;
    if (awm_ref_set(ds + ref)) awm_man_setup_gw_meas(ds + ref, &in->buf, raster);
}
// The reference's rational function of the raw value in the signal's type (GPS and outing
// inputs); not a number while nothing was delivered.
double rawValue(const uint8_t* ds, uint32_t ref, const Input& in) {
    if (std::isnan(in.buf.value.load())) return NAN;
    return awm_rational(ds + ref + 8, awm_man_conv2double(in.buf.raw, awm_rd<uint16_t>(ds, ref + 32)));
}
// The same of the delivered float value (trigger and speed inputs).
double floatValue(const uint8_t* ds, uint32_t ref, const Input& in) {
    const double x = in.buf.value;
    const uint8_t* k = ds + ref + 8;
    const double a = awm_rd<float>(k, 0), b = awm_rd<float>(k, 4), c = awm_rd<float>(k, 8),
                 d = awm_rd<float>(k, 12), e = awm_rd<float>(k, 16), f = awm_rd<float>(k, 20);
    return (b * x + a * x * x + c) / (e * x + d * x * x + f);
}

bool nvRead(uint32_t id, uint32_t rec, void* data, uint32_t size) {
    return nvram_dbs_read(id, rec, data, size) == static_cast<int>(size);
}
// Writes when the data differs from its shadow; false on a failed write.
bool nvUpdate(uint32_t id, uint32_t rec, const void* data, void* shadow, uint32_t size) {
    if (!data) {
        SYSLOGX_GUARDED(LOG_ERR, "lapfunc_nvram_update called with invalid pointer");
        return false;
    }
    if (std::memcmp(data, shadow, size) == 0) return true;
    if (nvram_dbs_write(id, rec, data, size) != static_cast<int>(size)) return false;
    std::memcpy(shadow, data, size);
    return true;
}

void loadNv() {
    if (!nvRead(nvram_lapfunc.id, 0, &nv, sizeof nv) || std::isnan(nv.best)) {
        nv = NvLap{0, 0, 0, 0, BEST_DEFAULT};
        nvram_dbs_write(nvram_lapfunc.id, 0, &nv, sizeof nv);
        syslogx(LOG_ERR, "awm_0x08_lapfunc_ini: repaired nv object");
    }
    float d = 0.0f;
    distlap = nvRead(nvram_lapdist.id, 0, &d, sizeof d) && !std::isnan(d) ? d : 0.0f;
    for (int n = 0; n < SEGMENTS; ++n) {
        if (!nvRead(nvram_lapsegments.id, static_cast<uint32_t>(n), &seg[n], sizeof seg[n]) ||
            std::isnan(seg[n].best) || std::isnan(seg[n].last))
            seg[n] = {SEG_DEFAULT, SEG_DEFAULT};
        lapseg_best[n] = seg[n].best;
        lapseg_last[n] = seg[n].last;
    }
    nvShadow = nv;
    distShadow = distlap;
    std::memcpy(segShadow, seg, sizeof seg);
    laptimebest = &nv.best;
}

void equalSegments(const uint8_t* ds) {
    const float pred = awm_rd<float>(ds, OFF_PRED);
    for (int n = 0; n < SEGMENTS; ++n) {
        LAPSEG[n] = static_cast<float>(n + 1) * TRACK_LEN * 0.01f;
        LAPSEGPRED[n] = static_cast<float>(n + 1) * pred * 0.01f;
    }
}

void resetInstanceState() {
    awm_0x08_init = 0;
    laptriggerMode_gps = 0;
    trigger = 0xFF;
    SIG_ACT_LVL = 1;
    for (auto* r : {&lapReset_req, &outingReset_req, &lapOutUpdate_req, &lapDistReset_req, &lapIncr_req,
                    &lapBestLaptimeReset_req, &segmentsReset_req, &outIncrReq})
        *r = 0;
    gpsSegment_trig = 0;
    lapTrgPage = lapSetPage = outSetPage = 0;
    nvNotRun = false;
}

// ---- type slots ----------------------------------------------------------------------------------

void* ini(const uint8_t* ds, uint16_t index, uint16_t* raster) {
    if (awm_0x08_init != 0) {
        syslogx(LOG_ERR, "awm_0x08_lapfunc_ini called more than one time!");
        return nullptr;
    }
    outIncrReq = 0;
    *raster = 3;
    auto* in = new (std::nothrow) Instance{};
    if (!in) return nullptr;
    in->ds = ds;
    in->gpsDistM = awm_rd<float>(ds, OFF_GPSDIST);
    in->o.trackId = 0xFFFFFFFF;

    const uint32_t trig = awm_rd<uint32_t>(ds, REF_TRIG);
    laptriggerMode_gps = 0;
    if (trig == 0) {
        in->boardChannel = awm_man_get_adc_chan(index);
    } else if (trig == GPS_MODE) {
        startInput(ds, REF_LAT, &in->lat, 3, NAN);
        startInput(ds, REF_LON, &in->lon, 3, NAN);
        startInput(ds, REF_DIR, &in->dir, 3, NAN);
        startInput(ds, REF_GSPEED, &in->gspeed, 3, NAN);
        laptriggerMode_gps = 1;
        initGpsTrigger(awm_rd<float>(ds, OFF_GPSPOINT), awm_rd<float>(ds, OFF_GPSPOINT + 4), in->gpsDistM,
                       awm_ref_set(ds + REF_GSPEED), awm_ref_set(ds + REF_DIR));
        if (awm_rd<uint16_t>(ds, OFF_TRACKDET)) gps_trackdet_ini();
        awm_0x17_gpsSetSegmentTriggerMode(awm_rd<uint16_t>(ds, OFF_SEGMODE),
                                          awm_rd<uint16_t>(ds, OFF_SEGMODE + 2));
    } else {
        in->trig.buf.value = -1.0f;
        awm_man_setup_gw_meas(ds + REF_TRIG, &in->trig.buf, 0);
    }

    if (!awm_ref_set(ds + REF_SPEED)) {
        TRACK_LEN = CND_SPEED_MIN = CND_DIST_MIN = CND_DIST_MAX = 0.0f;
    } else {
        in->speed.buf.value = -1.0f;
        awm_man_setup_gw_meas(ds + REF_SPEED, &in->speed.buf, 3);
        TRACK_LEN = awm_rd<float>(ds, OFF_TRACK);
        CND_SPEED_MIN = awm_rd<float>(ds, OFF_TRACK + 4) * 0.2777778f;
        CND_DIST_MIN = awm_rd<float>(ds, OFF_TRACK + 8) * 0.01f;
        CND_DIST_MAX = awm_rd<float>(ds, OFF_TRACK + 12) * 0.01f;
    }

    float oldLen = NAN;
    if (nvRead(nvram_laplength.id, 0, &oldLen, sizeof oldLen) && !std::isnan(oldLen)) {
        if (TRACK_LEN != oldLen) {
            nvram_dbs_write(nvram_laplength.id, 0, &TRACK_LEN, sizeof TRACK_LEN);
            syslogx(LOG_INFO,
                    "awm_0x08_lapfunc_ini: track length has changed: resetting dist, best lap and segments");
            lapDistReset_req = 1;
            lapBestLaptimeReset_req = 1;
            segmentsReset_req = 1;
        }
    } else {
        nvram_dbs_write(nvram_laplength.id, 0, &TRACK_LEN, sizeof TRACK_LEN);
        syslogx(LOG_ERR, "awm_0x08_lapfunc_ini: repaired laplength object");
    }

    startInput(ds, REF_OUTTRIG, &in->outTrig, 3, NAN);
    loadNv();

    MAIN_TRIG_TIME_MIN = awm_rd<float>(ds, 272);
    MAIN_RETRIG_LOCK = awm_rd<float>(ds, 280) * 0.001f;
    const float im = awm_rd<float>(ds, 276);
    if (!(im > 0)) {
        TRIG_CFG = 0;
        IM_TRIG_TIME_MIN = IM_RETRIG_LOCK = 0.0f;
    } else {
        TRIG_CFG = 1;
        IM_TRIG_TIME_MIN = im > MAIN_TRIG_TIME_MIN ? im - MAIN_TRIG_TIME_MIN : 0.0f;
        IM_RETRIG_LOCK = awm_rd<float>(ds, 284) * 0.001f;
    }
    std::memcpy(LAPSEG, ds + OFF_SEG, sizeof LAPSEG);
    std::memcpy(LAPSEGPRED, ds + OFF_SEGPRED, sizeof LAPSEGPRED);
    if (awm_rd<uint16_t>(ds, OFF_SEGEQUAL)) equalSegments(ds);

    LAPTIMEPRED = awm_rd<float>(ds, OFF_PRED);
    LAPTIBEST_PL = awm_rd<float>(ds, OFF_PRED + 4);
    LAPTIBEST_SET = awm_rd<float>(ds, OFF_PRED + 8);
    SIG_ACT_LVL = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_ACTLVL));
    SEGTIME_MODE = static_cast<uint8_t>(awm_rd<uint16_t>(ds, 1114));
    uint8_t* flags[] = {&MACRO_LAP_SET,    &MACRO_OUT_SET,       &MACRO_LAPDIST_SET,
                        &MACRO_LAPTRG_SET, &MACRO_LAPTIBEST_SET, &MACRO_SEGTIME_SET};
    for (int i = 0; i < 6; ++i)
        *flags[i] = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_FLAGS + 2u * i));
    // A flag the page holds at start is no request: a restart would set the counters again.
    lapSetPage = MACRO_LAP_SET;
    outSetPage = MACRO_OUT_SET;
    lapTrgPage = MACRO_LAPTRG_SET;
    MACRO_LAP_SET = MACRO_OUT_SET = MACRO_LAPTRG_SET = MACRO_LAPOUT_FROM_MASTER = 0;
    EM_LAP = 3;
    sb_cntdown_time_vyn = awm_rd<float>(ds, OFF_CNTDOWN);
    sb_llap_vyn = awm_rd<float>(ds, OFF_TRACK);
    local_data = in;
    awm_0x08_init = 1;
    return in;
}

uint16_t cfgLen() {
    return LEN;
}

// A command flag of the active page, or 1 for the cycle in which its request is taken.
uint8_t flag(const uint8_t* ds, int i, std::atomic<uint8_t>* req) {
    if (req && take(*req)) return 1;
    return static_cast<uint8_t>(awm_rd_active<uint16_t>(ds, OFF_FLAGS + 2u * i));
}

// The model runs in a task of its own and clears the flags it took: a flag still set was not
// taken yet and stays (with the counters it goes with), so no request is lost between the two.
void commandFlags(const uint8_t* ds) {
    const bool pending = MACRO_LAP_SET || MACRO_OUT_SET;
    uint8_t lapSet = 0, outSet = 0;
    if (!pending) {
        LAP_CTR_SET = awm_rd<uint16_t>(ds, OFF_LAPSTART);
        OUT_CTR_SET = awm_rd<uint16_t>(ds, OFF_OUTSTART);
    }
    // The page's counter flags count on their rising edge: held, each sets its counter once, not
    // once a cycle (a new fragment and an update to every unit each time).
    const uint8_t lapPage = flag(ds, 0, nullptr), outPage = flag(ds, 1, nullptr);
    const uint8_t lapRise = lapPage && !lapSetPage, outRise = outPage && !outSetPage;
    bool pageTaken = true;
    if (take(outingReset_req)) {
        lapSet = lapRise;
        outSet = 1;
    } else if (take(lapReset_req)) {
        lapSet = 1;
        outSet = outRise;
    } else if (!pending && take(lapOutUpdate_req)) {
        const uint32_t v = lapOutUpdate_value;
        lapSet = outSet = 1;
        MACRO_LAPOUT_FROM_MASTER = 1;
        LAP_CTR_SET = static_cast<float>(v & 0xFFFF);
        OUT_CTR_SET = static_cast<float>(v >> 16);
        pageTaken = false; // a rise now acts in the next cycle, with the start values
    } else {
        lapSet = lapRise;
        outSet = outRise;
    }
    if (pageTaken) lapSetPage = lapPage, outSetPage = outPage;
    MACRO_LAP_SET |= lapSet;
    MACRO_OUT_SET |= outSet;
    MACRO_LAPDIST_SET |= flag(ds, 2, &lapDistReset_req);
    // The page's lap-trigger flag counts on its rising edge: held, it is one lap, not one a cycle.
    const uint8_t lapTrg = flag(ds, 3, nullptr);
    MACRO_LAPTRG_SET |= static_cast<uint8_t>(take(lapIncr_req) || (lapTrg && !lapTrgPage));
    lapTrgPage = lapTrg;
    MACRO_LAPTIBEST_SET |= flag(ds, 4, &lapBestLaptimeReset_req);
    MACRO_SEGTIME_SET |= flag(ds, 5, &segmentsReset_req);
}

void publish(Instance* in) {
    Outputs& o = in->o;
    o.ddistlap = rounded<uint16_t>(ddistlap);
    o.distlap = rounded<uint16_t>(distlap);
    o.e_lap = e_lap;
    o.lapctr8 = trunc8(lapctr_lapfunc);
    o.lapctr = lapctr;
    o.lapcurr_sb = trunc8(lapcurr_sb);
    in->lapcurr8 = trunc8(lapcurr);
    in->outing8 = trunc8(outing);
    o.lapdiff = rounded<int16_t>(lapdiff * 100.0);
    o.lapdiffb = rounded<int16_t>(lapdiffb * 100.0);
    o.lapdiffpred = rounded<int16_t>(lapdiffpred * 100.0);
    for (int n = 0; n < 16; ++n) {
        o.segBest[n] = rounded<uint16_t>(lapseg_best[n] * 100.0);
        o.segCurr[n] = rounded<uint16_t>(lapseg_curr[n] * 100.0);
        o.segLast[n] = rounded<uint16_t>(lapseg_last[n] * 100.0);
    }
    o.segDbest = rounded<int16_t>(lapseg_dbest * 100.0);
    o.segDlast = rounded<int16_t>(lapseg_dlast * 100.0);
    o.segDpred = rounded<int16_t>(lapseg_dpred * 100.0);
    o.lapsegctr = lapsegctr;
    o.laptime = rounded<uint32_t>(laptime * 100.0);
    o.laptime_sb = rounded<uint32_t>(laptime_sb * 100.0);
    o.lapcurrpred = rounded<uint32_t>(lapcurrpred * 100.0);
    o.best = rounded<uint32_t>(*laptimebest * 100.0);
    o.laptimeold = rounded<uint32_t>(laptimeold * 100.0);
    o.laptimeseg = rounded<uint16_t>(laptimeseg * 100.0);
    o.outctr = outctr;
    o.speed = rounded<uint16_t>(in->speed.value * 36.0);
    o.cntdown = rounded<uint16_t>(cntdowntime * 10.0);
    const uint8_t f[12] = {b_bestlap, b_laptrgm,  b_lapseg, b_laptimevalid,   b_laptrg, b_laptrgb,
                           b_laptrgi, b_laptrgim, b_lapin,  b_lapval_changed, b_llapmn, b_speedlapmn};
    for (int i = 0; i < 12; ++i)
        o.flags[i] = f[i];
    o.gpslaptrg = b_gpslaptrg;
}

void countdown() {
    if (!(cntdowntime > 0) || cntdowntime < cntdowntime_old) return;
    cntdowntime_old = cntdowntime;
    timespec now{};
    osClockGettime(CLOCK_REALTIME, &now);
    nv.startS = static_cast<uint32_t>(now.tv_sec);
    nv.startNs = static_cast<uint32_t>(now.tv_nsec);
    // A set value from the calibration may be huge or infinite: the end stops at the clock's last
    // second rather than wrapping to a time long past.
    const double whole = std::floor(cntdowntime);
    const double s = static_cast<double>(now.tv_sec) + whole;
    if (!(s < 4294967295.0)) {
        nv.endS = 0xFFFFFFFF;
        nv.endNs = 0;
        return;
    }
    uint64_t ns = now.tv_nsec + static_cast<uint64_t>((cntdowntime - whole) * 1e9);
    uint64_t secs = static_cast<uint64_t>(s);
    if (ns >= 1000000000u) {
        ns -= 1000000000u;
        ++secs;
    }
    nv.endS = secs > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<uint32_t>(secs);
    nv.endNs = static_cast<uint32_t>(ns);
}

void persist() {
    bool ok = nvUpdate(nvram_lapfunc.id, 0, &nv, &nvShadow, sizeof nv);
    ok = nvUpdate(nvram_lapdist.id, 0, &distlap, &distShadow, sizeof distlap) && ok;
    for (int n = 0; n < SEGMENTS; ++n) {
        seg[n] = {lapseg_best[n], lapseg_last[n]};
        ok =
            nvUpdate(nvram_lapsegments.id, static_cast<uint32_t>(n), &seg[n], &segShadow[n], sizeof seg[n]) &&
            ok;
    }
    if (!ok && local_data->nvFailing++ == 0) syslogx(LOG_ERR, "awm_0x08_lapfunc_cyclicCall: error nv_write");
    if (ok) local_data->nvFailing = 0;
}

void outingTrigger(Instance* in) {
    const double v = rawValue(in->ds, REF_OUTTRIG, in->outTrig);
    if (std::isnan(v)) return;
    const uint8_t active = awm_round(v) != 0;
    const bool rising = awm_rd<uint16_t>(in->ds, OFF_OUTPOL) == 1;
    if (in->outSeen && active != in->outLast && active == (rising ? 1 : 0)) {
        if (in->outBlock == 0) {
            SYSLOGX_RATE_GUARDED(LOG_INFO,
                                 "awm_0x08_lapfunc_cyclicCall(): outing increment requested by trigger");
            outIncrReq = 1;
            in->outBlock = OUT_BLOCK_CYCLES;
        } else {
            SYSLOGX_RATE_GUARDED(
                LOG_INFO, "awm_0x08_lapfunc_cyclicCall(): outing increment blocked within blocktime (4s)");
        }
    }
    if (in->outBlock) --in->outBlock;
    in->outLast = active;
    in->outSeen = 1;
}

void cyclicCall(void* p, uint32_t) {
    if (awm_0x08_init != 2 && !nvNotRun) {
        nvNotRun = true;
        syslogx(LOG_ERR, "awm_0x08_lapfunc_ini_lof not called!");
    }
    auto* in = static_cast<Instance*>(p);
    if (!in || !in->ds) return;
    commandFlags(in->ds);
    publish(in);
    if (laptriggerMode_gps) {
        in->o.gpsDist[0] = tenths(getGpsActDist2trig());
        in->o.gpsDist[1] = tenths(getGpsActLongDist2trig());
        in->o.gpsDist[2] = tenths(getGpsActVertDist2trig());
    }
    countdown();
    persist();
    sb_lapcurr_vyn = in->o.lapcurr_sb;
    sb_distlap_vyn = in->o.distlap;
    sb_laptime_vyn = in->o.laptime_sb;
    sb_bestlaptime_vyn = in->o.best;
    sb_lastlaptime_vyn = in->o.laptimeold;
    outingTrigger(in);
    in->o.intrpl[0] = rounded<int16_t>(lapintrpl_dbest * 100.0);
    in->o.intrpl[1] = rounded<int16_t>(lapintrpl_dlast * 100.0);
    in->o.intrpl[2] = rounded<int16_t>(lapintrpl_dpred * 100.0);
    in->o.intrplPred = rounded<uint32_t>(lapcurrpred_intrpl * 100.0);
}

awm_out output(Instance* in, uint8_t s) {
    Outputs& o = in->o;
    if (s >= 9 && s <= 24) return awm_object(&o.segBest[s - 9]);
    if (s >= 25 && s <= 40) return awm_object(&o.segCurr[s - 25]);
    if (s >= 43 && s <= 58) return awm_object(&o.segLast[s - 43]);
    if (s >= 68 && s <= 79) return awm_object(&o.flags[s - 68]);
    if (s >= 82 && s <= 84) return awm_object(&o.gpsDist[s - 82]);
    if (s >= 87 && s <= 90) return awm_object(&o.gps[s - 87]);
    if (s >= 95 && s <= 97) return awm_object(&o.intrpl[s - 95]);
    switch (s) {
    case 1:
        return awm_object(&o.ddistlap);
    case 2:
        return awm_object(&o.distlap);
    case 3:
        return awm_object(&o.e_lap);
    case 4:
        return awm_object(&o.lapctr8);
    case 5:
        return awm_object(&o.lapctr);
    case 6:
        return awm_object(&o.lapcurr_sb);
    case 7:
        return awm_object(&o.lapdiff);
    case 8:
        return awm_object(&o.lapdiffb);
    case 41:
        return awm_object(&o.segDbest);
    case 42:
        return awm_object(&o.segDlast);
    case 59:
        return awm_object(&o.lapsegctr);
    case 60:
        return awm_object(&o.laptime);
    case 61:
        return awm_object(&o.laptime_sb);
    case 62:
        return awm_object(&o.best);
    case 63:
        return awm_object(&o.laptimeold);
    case 64:
        return awm_object(&o.laptimeseg);
    case 65:
        return awm_object(&o.outctr);
    case 66:
        return awm_object(&o.speed);
    case 67:
        return awm_object(&o.cntdown);
    case 80:
        return awm_object(&o.segDpred);
    case 81:
        return awm_object(&o.lapdiffpred);
    case 85:
        return awm_object(&o.gpslaptrg);
    case 86:
        return awm_object(&o.lapcurrpred);
    case 91:
        return awm_object(&o.trackLat);
    case 92:
        return awm_object(&o.trackLon);
    case 93:
        return awm_object(&o.trackLen);
    case 94:
        return awm_object(&o.trackId);
    case 98:
        return awm_object(&o.intrplPred);
    default:
        return {};
    }
}

void* setupmeas(uint32_t vcId, uint16_t, awm_out* out) {
    const awm_out addr = local_data ? output(local_data, awm_vc_output(vcId)) : awm_out{};
    if (!addr.at) {
        if (local_data)
            syslogx(LOG_ERR, "awm_0x08_lapfunc_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    *out = addr;
    return local_data;
}
uint8_t shutdown(void* p) {
    auto* in = static_cast<Instance*>(p);
    if (!in) return 0;
    for (Input* i : {&in->trig, &in->speed, &in->lat, &in->lon, &in->dir, &in->gspeed, &in->outTrig})
        awm_man_stop_gw_meas(&i->buf);
    if (local_data == in) local_data = nullptr;
    delete in;
    resetInstanceState();
    return 1;
}

bool running() {
    return local_data && !AWM_sched_STOP;
}

} // namespace

const awm_entry_t entry_0x08_lapfunc{
    ini,     cfgLen,  cyclicCall, setupmeas, awm_measNothing, awm_latencyNone, awm_shutdownMeasureNone,
    nullptr, nullptr, shutdown,   nullptr};

void lapfunc_setHooks(const LapfuncHooks* h) {
    hooks = h;
}

uint8_t awm_0x08_lapfunc_configured() {
    return awm_0x08_init == 2;
}

void awm_0x08_lapfunc_ini_lof() {
    const uint8_t state = awm_0x08_init;
    if (state == 0) return;
    if (state == 2) {
        syslogx(LOG_ERR, "awm_0x08_lapfunc_ini_lof called more than one time!");
        return;
    }
    if (state != 1) {
        syslogx(LOG_ERR, "awm_0x08_lapfunc_lof: unknown state %d", state);
        return;
    }
    Instance* in = local_data;
    const uint8_t* ds = in->ds;
    const uint16_t lapStart = awm_rd<uint16_t>(ds, OFF_LAPSTART),
                   outStart = awm_rd<uint16_t>(ds, OFF_OUTSTART);
    LapfuncCounters c{};
    if (hooks && hooks->getCounters) hooks->getCounters(&c);
    bool changed = false;
    const bool speedInput = awm_ref_set(ds + REF_SPEED);
    const float limit = TRACK_LEN * CND_DIST_MIN;
    if (c.valid) {
        syslogx(LOG_INFO,
                "awm_0x08_lapfunc_ini_lof: Out/Lap/AbsLap/Frag: %d/%d/%d/%d or hex %X/%X/%X/%X - Dist: %dm",
                c.outing, c.lap, c.absLap, c.fragment, c.outing, c.lap, c.absLap, c.fragment,
                awm_to_i32(distlap));
        if (!speedInput || !(distlap < limit)) {
            c.outing = static_cast<uint16_t>(c.outing + 1);
            c.lap = lapStart;
            if (!speedInput)
                syslogx(LOG_INFO, "awm_0x08_lapfunc_ini_lof: New outing %d bc invalid speed", c.outing);
            else
                syslogx(LOG_INFO, "awm_0x08_lapfunc_ini_lof: New outing %d bc dist > %dm", c.outing,
                        awm_to_i32(limit));
            changed = true;
        }
    } else {
        syslogx(LOG_ERR, "awm_0x08_lapfunc_ini_lof: Lap and Outing invalid, reset to default");
        c.lap = lapStart;
        c.outing = outStart;
        changed = true;
    }
    if (changed) {
        if (hooks && hooks->setCounters) hooks->setCounters(c.lap, c.outing);
        distlap = 0.0f;
    }
    if (hooks && hooks->laptriggerInit) hooks->laptriggerInit(c.lap, c.outing, 0.0f);
    if (changed && hooks && hooks->laptriggerUpdate) hooks->laptriggerUpdate(c.lap, c.outing, 0.0f);
    LAP_CTR_INIT = c.lap;
    OUT_CTR_INIT = c.outing;
    DISTLAP_INIT = distlap;
    LAP_CTR_SET = lapStart;
    OUT_CTR_SET = outStart;
    CNTDOWNTIME_MODE = static_cast<uint8_t>(awm_rd<uint16_t>(ds, 1116));
    timespec now{};
    osClockGettime(CLOCK_REALTIME, &now);
    const double t = static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
    const double start = nv.startS + nv.startNs * 1e-9, end = nv.endS + nv.endNs * 1e-9;
    CNTDOWNTIME_INIT = t < end && !(t < start) ? static_cast<float>(end - t) : 0.0f;
    cntdowntime_old = CNTDOWNTIME_INIT;
    CNTDOWNTIME_SET = awm_rd<float>(ds, OFF_CNTDOWN);
    awm_0x08_init = 2;
}

// ---- the model's inputs ------------------------------------------------------------------------

uint8_t awm_0x08_lapfunc_getTrigger() {
    const uint8_t inactive = SIG_ACT_LVL == 0 ? 1 : 0;
    Instance* in = local_data;
    if (!running() || laptriggerMode_gps) return inactive;
    uint8_t level;
    if (awm_rd<uint32_t>(in->ds, REF_TRIG) == 0) {
        level = !power_getPwrGood() ? inactive : awm_get_channel(in->boardChannel) > 0.0f ? 1 : 0;
    } else if (in->trig.buf.valid == 1) {
        in->trig.value = static_cast<float>(floatValue(in->ds, REF_TRIG, in->trig));
        level = in->trig.value > awm_rd<float>(in->ds, OFF_THRESH) ? 1 : 0;
    } else {
        level = trigger == 0xFF ? inactive : trigger.load();
    }
    trigger = level;
    return level;
}

float awm_0x08_lapfunc_getSpeed() {
    Instance* in = local_data;
    if (!running() || !awm_ref_set(in->ds + REF_SPEED) || in->speed.buf.valid != 1) return 0.0f;
    in->speed.value = static_cast<float>(floatValue(in->ds, REF_SPEED, in->speed));
    return in->speed.value;
}

uint8_t awm_0x08_lapfunc_getGpsTrigger() {
    Instance* in = local_data;
    if (!running() || !laptriggerMode_gps) return 0;
    const uint8_t* ds = in->ds;
    const uint32_t refs[4] = {REF_LAT, REF_LON, REF_GSPEED, REF_DIR};
    Input* inputs[4] = {&in->lat, &in->lon, &in->gspeed, &in->dir};
    float gps[4];
    for (int i = 0; i < 4; ++i)
        gps[i] = inputs[i]->value = static_cast<float>(rawValue(ds, refs[i], *inputs[i]));
    // A receiver reports 0, 0 until its first fix: no position, not a jump from the Gulf of Guinea
    // across the trigger line.
    if (gps[0] == 0.0f && gps[1] == 0.0f) gps[0] = gps[1] = NAN;
    for (int i = 0; i < 4; ++i)
        in->o.gps[i] = gps[i];
    float lat, lon, len;
    int32_t id;
    const int found = gps_trackdet_get(gps[0], gps[1], dist, &lat, &lon, &len, &id);
    if (found) {
        in->o.trackLat = lat;
        in->o.trackLon = lon;
        in->o.trackLen = len;
        in->o.trackId = static_cast<uint32_t>(id);
        initGpsTrigger(lon, lat, in->gpsDistM, awm_ref_set(ds + REF_GSPEED), awm_ref_set(ds + REF_DIR));
        TRACK_LEN = len;
        sb_llap_vyn = len;
        if (awm_rd<uint16_t>(ds, OFF_SEGEQUAL)) equalSegments(ds);
        if (found == 2) {
            lapfunc_resetBestLapTime();
            SYSLOGX_RATE_GUARDED(LOG_INFO, "Best laptime reset, bc detected track has changed.");
        }
    }
    return getGpsTrigger(gps[1], gps[0], gps[2], gps[3]);
}

uint16_t awm_0x08_lapfunc_getGpsSegmentTrigger() {
    return gpsSegment_trig.exchange(0);
}
void lapfunc_StoreGpsSegmentTrigger(uint16_t n) {
    gpsSegment_trig = static_cast<uint16_t>(n + 1);
}
uint8_t awm_0x08_lapfunc_getOutIncrReq() {
    return outIncrReq.exchange(0);
}

namespace {
// The command task's check reads the model's distance and outing and sets the block counter of
// the 10 ms cycle: under the channel functions' lock, which the model's steps hold too.
void checkOutCtr() {
    Instance* in = local_data;
    if (awm_0x08_init != 2 || !in) {
        SYSLOGX_RATE_GUARDED(LOG2_ERR, "awm_0x08_lapfunc_checkOutCtr(): lapfunc not operational");
        return;
    }
    const bool speedInput = awm_ref_set(in->ds + REF_SPEED);
    const float limit = TRACK_LEN * CND_DIST_MIN;
    if (speedInput && distlap < limit) {
        SYSLOGX_RATE_GUARDED(LOG_INFO,
                             "awm_0x08_lapfunc_checkOutCtr: no increment of outing %d bc dist %fm < %dm",
                             static_cast<int>(outing), static_cast<double>(distlap), awm_to_i32(limit));
        return;
    }
    outIncrReq = 1;
    in->outBlock = OUT_BLOCK_CYCLES;
    if (!speedInput)
        SYSLOGX_RATE_GUARDED(LOG_INFO, "awm_0x08_lapfunc_checkOutCtr: New outing bc invalid speed, outing %d",
                             static_cast<int>(outing));
    else
        SYSLOGX_RATE_GUARDED(LOG_INFO, "awm_0x08_lapfunc_checkOutCtr: New outing %d bc dist %fm > %dm",
                             static_cast<int>(outing), static_cast<double>(distlap), awm_to_i32(limit));
}
} // namespace
void awm_0x08_lapfunc_checkOutCtr() {
    if (cfg_system.ltm_pid == AppMan_getPID() && cfg_system.ltm_remote != 0) return;
    awm_sched_lock();
    checkOutCtr();
    awm_sched_unlock();
}

void lapfunc_resetLap() {
    lapReset_req = 1;
}
void lapfunc_resetOut() {
    outingReset_req = 1;
}
void lapfunc_resetLapDist() {
    lapDistReset_req = 1;
}
void lapfunc_resetBestLapTime() {
    lapBestLaptimeReset_req = 1;
}
void lapfunc_resetSegments() {
    segmentsReset_req = 1;
}
void lapfunc_incrLap() {
    lapIncr_req = 1;
}
void lapfunc_incrOuting() {
    SYSLOGX_RATE_GUARDED(LOG_INFO, "lapfunc_incrOuting(): outing increment requested from extern");
    outIncrReq = 1;
}
void lapfuncUpdate_LapOut(uint16_t lap, uint16_t out) {
    lapOutUpdate_value = static_cast<uint32_t>(out) << 16 | lap;
    lapOutUpdate_req = 1;
}

namespace {
uint8_t get(float* out, float v) {
    if (!local_data) return 0;
    if (out) *out = v;
    return 1;
}
} // namespace
uint8_t lapfuncGet_Lap(float* out) {
    return get(out, local_data ? local_data->lapcurr8 : 0);
}
uint8_t lapfuncGet_Outing(float* out) {
    return get(out, local_data ? local_data->outing8 : 0);
}
uint8_t lapfuncGet_LapDist(float* out) {
    return get(out, local_data ? local_data->o.distlap : 0);
}
uint8_t lapfuncGet_LapTime(float* out) {
    return get(out, local_data ? local_data->o.laptime * 0.01f : 0);
}
uint8_t lapfuncGet_LapTimeOld(float* out) {
    return get(out, local_data ? local_data->o.laptimeold * 0.01f : 0);
}
