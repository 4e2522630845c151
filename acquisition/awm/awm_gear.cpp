// Gear lookup (0x0E, measured: the exact signal value through a table of up to 16 pairs) and
// hysteresis (0x0F, cyclic on the 10 ms raster: a two-state switch with delays and a start-up
// inhibit whose output takes one of two configured values).
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <new>

namespace {

constexpr uint16_t RASTER_10MS = 3;
constexpr uint32_t REF = 40;

// ---- 0x0E gear lookup ------------------------------------------------------------------------

struct Gear {
    const uint8_t* ds;
    uint32_t vcId;
    uint16_t raster;
    uint8_t entries;
    awm_input_buf in;
    float lastX;
    seramWord<uint32_t> out;
};

void* gearSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    if (awm_vc_output(vcId) != 1) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x0E_gearlookup_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    auto* g = new (std::nothrow) Gear{};
    if (!g) return nullptr;
    const uint8_t* ds = e->dataset;
    g->ds = ds;
    g->vcId = vcId;
    g->raster = raster;
    awm_input_start(ds + REF, &g->in, raster);
    g->entries = ds[157] > 16 ? 16 : ds[157];
    g->out = ds[156];
    *out = awm_object(&g->out);
    return g;
}

void gearMeas(void* h, uint32_t) {
    auto* g = static_cast<Gear*>(h);
    if (g->in.valid != 1) return;
    g->lastX = static_cast<float>(awm_rational(g->ds + REF + 8, g->in.value));
    uint8_t gear = g->ds[156];
    for (uint32_t i = 0; i < g->entries; ++i)
        if (awm_rd<float>(g->ds, 76 + 4 * i) == g->lastX) {
            gear = g->ds[140 + i];
            break;
        }
    g->out = gear;
}

uint8_t gearShutdownMeasure(void* h) {
    auto* g = static_cast<Gear*>(h);
    if (!g) return 0;
    awm_man_stop_gw_meas(&g->in);
    delete g;
    return 1;
}

// ---- 0x0F hysteresis --------------------------------------------------------------------------

struct Hyst {
    const uint8_t* ds;
    awm_input_buf in;
    float lastX;
    seramWord<uint32_t> out0, out1;
    uint32_t stored[2]; // the value of state 0 and state 1 in the output type
    uint8_t high[2];
    uint32_t state; // 0, 1, 2 switching to 1, 3 switching to 0
    uint32_t inhibitMs;
    uint16_t delay;
};

enum : uint32_t { TO_1 = 2, TO_0 = 3 };

void* hystIni(const uint8_t* ds, uint16_t, uint16_t* raster) {
    auto* h = new (std::nothrow) Hyst{};
    if (!h) return nullptr;
    h->ds = ds;
    awm_input_start(ds + REF, &h->in, RASTER_10MS);
    const uint16_t code = awm_rd<uint16_t>(ds, 8);
    const float value[2] = {awm_rd<float>(ds, 88), awm_rd<float>(ds, 80)};
    for (int s = 0; s < 2; ++s)
        if (code == 7)
            awm_store_int(&h->stored[s], 7, value[s]);
        else
            awm_store_rational(&h->stored[s], code, ds + 16, value[s]);
    h->high[1] = value[1] > value[0];
    h->high[0] = !h->high[1];
    h->state = ds[98] ? 1 : 0;
    h->out0 = h->stored[h->state];
    h->out1 = h->high[h->state];
    h->inhibitMs = awm_rd<uint16_t>(ds, 92);
    *raster = RASTER_10MS;
    return h;
}

void switchTo(Hyst* h, uint32_t s) {
    h->state = s;
    h->out0 = h->stored[s];
    h->out1 = h->high[s];
}

void hystCyclic(void* inst, uint32_t) {
    auto* h = static_cast<Hyst*>(inst);
    bool allowed = true;
    if (h->inhibitMs != 0) {
        if (awm_appl_ms() >= h->inhibitMs)
            h->inhibitMs = 0;
        else
            allowed = false;
    }
    if (h->in.valid != 1) return;
    const uint8_t* ds = h->ds;
    const double x = awm_rational(ds + REF + 8, h->in.value);
    h->lastX = static_cast<float>(x);
    const float upper = awm_rd<float>(ds, 76), lower = awm_rd<float>(ds, 84);
    switch (h->state) {
    case 0:
        if (!(x > upper)) break;
        if (awm_rd<uint16_t>(ds, 94) == 0) {
            if (allowed) switchTo(h, 1);
        } else {
            h->delay = awm_rd<uint16_t>(ds, 94), h->state = TO_1;
        }
        break;
    case 1:
        if (!(x < lower)) break;
        if (awm_rd<uint16_t>(ds, 96) == 0) {
            if (allowed) switchTo(h, 0);
        } else {
            h->delay = awm_rd<uint16_t>(ds, 96), h->state = TO_0;
        }
        break;
    case TO_1:
        if (x <= upper)
            h->state = 0;
        else if (awm_expired(h->delay) && allowed)
            switchTo(h, 1);
        break;
    case TO_0:
        if (x >= lower)
            h->state = 1;
        else if (awm_expired(h->delay) && allowed)
            switchTo(h, 0);
        break;
    default:
        break;
    }
}

void* hystSetup(uint32_t vcId, uint16_t, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    auto* h = e ? static_cast<Hyst*>(e->instance) : nullptr;
    const uint8_t o = awm_vc_output(vcId);
    if (o > 1) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x0F_hysteresis_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    if (!h) return nullptr;
    *out = awm_object(o == 0 ? &h->out0 : &h->out1);
    return h;
}

uint8_t hystShutdown(void* inst) {
    auto* h = static_cast<Hyst*>(inst);
    if (!h) return 0;
    awm_man_stop_gw_meas(&h->in);
    delete h;
    return 1;
}

uint8_t shutdownDone(void*) {
    return 1;
}
uint16_t gearLen() {
    return 164;
}
uint16_t hystLen() {
    return 104;
}

} // namespace

const awm_entry_t entry_0x0E_gearlookup{
    nullptr, gearLen, nullptr,      gearSetup, gearMeas, awm_latencyNone, gearShutdownMeasure,
    nullptr, nullptr, shutdownDone, nullptr};
const awm_entry_t entry_0x0F_hysteresis{
    hystIni, hystLen, hystCyclic,   hystSetup, awm_measNothing, awm_latencyNone, awm_shutdownMeasureNone,
    nullptr, nullptr, hystShutdown, nullptr};
