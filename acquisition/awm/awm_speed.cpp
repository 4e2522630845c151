// System speed (0x07): the vehicle speed and the distance travelled from up to four wheel
// speeds, by the two-wheel-drive rule (one axle pair, implausible wheels left out), the
// four-wheel-drive rule (second-fastest plausible wheel) or from one speed signal alone.
// Cyclic on the 10 ms raster.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <utility>

namespace {

constexpr uint16_t RASTER_10MS = 3;
constexpr double CYCLE_S = 0.01;

struct Speed {
    const uint8_t* ds;
    awm_input_buf in[4];
    float wheel[4];                 // m/s
    uint32_t implausible;           // bits 0 to 3 wheel 1 to 4; bit 4 wheels 1 and 2, bit 5 wheels 3 and 4
    seramWord<int16_t> distanceOut; // m
    seramWord<uint16_t> speedOut;   // 0.1 km/h
    seramWord<float> distanceF;
    seramWord<float> speedF;
    // Summed in double: in float32 the 10 ms increments of a slow car are lost past about
    // 1,000 km, and everything below 25 m/s past about 4,200 km.
    double distance;
};

const uint8_t* ref(const uint8_t* ds, int i) {
    return ds + 40 + AWM_REF_SIZE * static_cast<uint32_t>(i);
}

void* speedIni(const uint8_t* ds, uint16_t, uint16_t* raster) {
    auto* s = new (std::nothrow) Speed{};
    if (!s) return nullptr;
    s->ds = ds;
    for (int i = 0; i < 4; ++i)
        if (awm_ref_set(ref(ds, i))) awm_man_setup_gw_meas(ref(ds, i), &s->in[i], RASTER_10MS);
    *raster = RASTER_10MS;
    return s;
}

void setSpeed(Speed* s, double v) {
    s->speedF = static_cast<float>(v);
    awm_store_int(&s->speedOut, 3, v * 36.0);
}

// The value of the pair of wheels p and q; false when both are implausible.
bool pairValue(const Speed* s, int p, int q, float* v) {
    const bool badP = s->implausible >> p & 1, badQ = s->implausible >> q & 1;
    if (badP && badQ) return false;
    if (badP || badQ) {
        *v = badP ? s->wheel[q] : s->wheel[p];
        return true;
    }
    const float fast = std::max(s->wheel[p], s->wheel[q]), slow = std::min(s->wheel[p], s->wheel[q]);
    *v = fast - slow >= awm_rd<float>(s->ds, 224) * fast * 0.01f ? fast : (fast + slow) / 2;
    return true;
}

void speed2wd(Speed* s, uint16_t selection) {
    if ((s->implausible & 0x30) == 0x30) return setSpeed(s, 0.0);
    float front = 0, rear = 0;
    pairValue(s, 0, 1, &front);
    pairValue(s, 2, 3, &rear);
    if (s->implausible & 0x20)
        setSpeed(s, front);
    else if (s->implausible & 0x10)
        setSpeed(s, rear);
    else
        setSpeed(s, selection == 1 ? front : rear);
}

void speed4wd(Speed* s) {
    if ((s->implausible & 0x30) == 0x30) return setSpeed(s, 0.0);
    float v[4];
    for (int i = 0; i < 4; ++i)
        v[i] = s->implausible >> i & 1 ? 0.0f : s->wheel[i];
    static constexpr int order[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (const auto& o : order)
        if (v[o[0]] > v[o[1]]) std::swap(v[o[0]], v[o[1]]);
    setSpeed(s, v[2] != 0.0f ? v[2] : v[3]);
}

void distanceStep(Speed* s) {
    // A speed that is not a number (or infinite) would end the distance for good.
    if (std::isfinite(s->speedF)) s->distance += static_cast<double>(s->speedF) * CYCLE_S;
    s->distanceF = static_cast<float>(s->distance);
    s->distanceOut = static_cast<int16_t>(static_cast<uint16_t>(awm_to_i32(awm_round(s->distance))));
}

void speedCyclic(void* inst, uint32_t) {
    auto* s = static_cast<Speed*>(inst);
    const uint8_t* ds = s->ds;
    if (awm_rd<uint16_t>(ds, 228) == 1) {
        if (s->in[0].valid != 1) return;
        setSpeed(s, awm_rational(ref(ds, 0) + 8, s->in[0].value));
        return distanceStep(s);
    }
    const uint16_t selection = awm_rd<uint16_t>(ds, 230);
    if (selection > 2) {
        SYSLOGX_GUARDED(LOG_ERR, "Systemspeed AWM called with invalid drive selection (%u)", selection);
        return;
    }
    const int first = selection == 1 ? 0 : selection == 0 ? 2 : 0, last = selection == 1 ? 1 : 3;
    for (int i = first; i <= last; ++i)
        if (s->in[i].valid != 1) return;
    const float limit = awm_rd<float>(ds, 220);
    s->implausible = 0;
    for (int i = 0; i < 4; ++i) {
        s->wheel[i] = static_cast<float>(awm_rational(ref(ds, i) + 8, s->in[i].value));
        // A wheel without a number is no more plausible than one past the limit.
        if (!(s->wheel[i] <= limit)) s->implausible |= 1u << i;
    }
    if ((s->implausible & 0x3) == 0x3) s->implausible |= 0x10;
    if ((s->implausible & 0xC) == 0xC) s->implausible |= 0x20;
    if (selection == 2)
        speed4wd(s);
    else
        speed2wd(s, selection);
    distanceStep(s);
}

void* speedSetup(uint32_t vcId, uint16_t, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    auto* s = e ? static_cast<Speed*>(e->instance) : nullptr;
    if (!s) return nullptr;
    const uint8_t o = awm_vc_output(vcId);
    const uint16_t code = awm_rd<uint16_t>(s->ds, 8);
    if (o > 1)
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x07_systemspeed_setupmeas: invalid subchannel measurement request");
    else if (code == 2)
        *out = o == 0 ? awm_object(&s->speedOut) : awm_object(&s->distanceOut);
    else if (code == 6)
        *out = awm_object(o == 0 ? &s->speedF : &s->distanceF);
    return nullptr;
}

// Nothing of the running unit ends an instance; the tests free it.
uint8_t speedShutdown(void* inst) {
    auto* s = static_cast<Speed*>(inst);
    if (s)
        for (awm_input_buf& b : s->in)
            awm_man_stop_gw_meas(&b);
    delete s;
    return 1;
}

uint16_t speedLen() {
    return 236;
}

} // namespace

const awm_entry_t entry_0x07_systemspeed{
    speedIni, speedLen, speedCyclic,   speedSetup, awm_measNothing, awm_latencyNone, awm_shutdownMeasureNone,
    nullptr,  nullptr,  speedShutdown, nullptr};
