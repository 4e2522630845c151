// Group adjustment (0x13): starts the offset adjustment of up to sixteen channels on an edge of
// a trigger signal or on its own request. Adjust (0x14): an offset-adjustable copy of a signal,
// whose raw value for the adjustment is the converted signal. Both cyclic on the 10 ms raster.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <cmath>
#include <new>

namespace {

constexpr uint16_t RASTER_10MS = 3;
constexpr uint32_t REF = 40;

// ---- 0x13 group adjustment ------------------------------------------------------------------

struct GrpAdj {
    const uint8_t* ds;
    uint8_t seen, prev;
    seramWord<uint8_t> cur;
    awm_input_buf in;
};
// Edges in the first seconds after start are the unit's own settling, not a request.
bool bootDone;

void* grpadjIni(const uint8_t* ds, uint16_t, uint16_t* raster) {
    auto* g = new (std::nothrow) GrpAdj{};
    if (!g) return nullptr;
    g->ds = ds;
    awm_input_start(ds + REF, &g->in, RASTER_10MS);
    *raster = RASTER_10MS;
    return g;
}

void adjustListed(const uint8_t* ds) {
    for (uint32_t i = 0; i < 16; ++i) {
        const uint16_t idx = awm_rd<uint16_t>(ds, 76 + 2 * i);
        if (idx != 0xFFFF) awm_man_trigger_adjust(idx);
    }
}

void grpadjCyclic(void* inst, uint32_t) {
    auto* g = static_cast<GrpAdj*>(inst);
    if (g->in.valid != 1) {
        g->seen = 0;
        g->cur = 0;
        return;
    }
    const uint8_t s = awm_flag(g->in.value);
    g->cur = s;
    if (g->seen) {
        const uint16_t m = static_cast<uint16_t>(awm_rd<uint16_t>(g->ds, 108) + 1);
        const bool fire = (s && !g->prev && (m & 1)) || (!s && g->prev && (m & 2));
        if (fire && !bootDone) bootDone = awm_appl_ms() / 1000 > 5;
        if (fire && bootDone) adjustListed(g->ds);
    }
    g->seen = 1;
    g->prev = s;
}

uint8_t grpadjAdjust(vc_data_t* e, uint16_t, float, uint16_t) {
    adjustListed(e->dataset);
    return 1;
}

void* grpadjSetup(uint32_t vcId, uint16_t, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    auto* g = e ? static_cast<GrpAdj*>(e->instance) : nullptr;
    if (!g) return nullptr;
    if (awm_vc_output(vcId) == 0)
        *out = awm_object(&g->cur);
    else
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x13_grpadj2_setupmeas: invalid subchannel measurement request");
    return g;
}

uint16_t grpadjLatency(void* inst) {
    auto* g = static_cast<GrpAdj*>(inst);
    return g && awm_ref_set(g->ds + REF) ? awm_man_gw_get_latency(&g->in) : 0;
}

uint8_t grpadjShutdown(void* inst) {
    auto* g = static_cast<GrpAdj*>(inst);
    if (!g) return 0;
    awm_man_stop_gw_meas(&g->in);
    delete g;
    return 1;
}

// ---- 0x14 adjust --------------------------------------------------------------------------------

struct Adjust {
    const uint8_t* ds;
    float current;
    awm_input_buf in;
};
struct AdjustHandle {
    Adjust* inst;
    uint32_t vcId;
    uint16_t raster;
    awm_input_buf in;
    float last;
    const float* adj;
    uint32_t out;
};

void* adjustIni(const uint8_t* ds, uint16_t, uint16_t* raster) {
    auto* a = new (std::nothrow) Adjust{};
    if (!a) return nullptr;
    a->ds = ds;
    if (awm_ref_set(ds + REF)) awm_man_setup_gw_meas(ds + REF, &a->in, RASTER_10MS);
    *raster = RASTER_10MS;
    return a;
}

void adjustCyclic(void* inst, uint32_t) {
    auto* a = static_cast<Adjust*>(inst);
    if (awm_ref_set(a->ds + REF) && a->in.valid == 1)
        a->current = static_cast<float>(awm_rational(a->ds + REF + 8, a->in.value));
}

float adjustRaw(uint16_t index) {
    const vc_data_t* e = awm_man_get_cfg_by_chan(index);
    return e && e->instance ? static_cast<Adjust*>(e->instance)->current : 0.0f;
}

void* adjustSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    auto* h = new (std::nothrow) AdjustHandle{};
    if (!h) return nullptr;
    const uint8_t* ds = e->dataset;
    h->inst = static_cast<Adjust*>(e->instance);
    h->vcId = vcId;
    h->raster = raster;
    h->adj = awm_man_get_adj_data(awm_man_get_adj_idx(awm_vc_index(vcId)));
    if (awm_ref_set(ds + REF)) awm_man_setup_gw_meas(ds + REF, &h->in, raster);
    *out = awm_object(&h->out);
    return h;
}

void adjustMeas(void* hv, uint32_t) {
    auto* h = static_cast<AdjustHandle*>(hv);
    const uint8_t* ds = awm_man_get_cfg(h->vcId)->dataset;
    if (h->in.valid == 1) h->last = static_cast<float>(awm_rational(ds + REF + 8, h->in.value));
    if (awm_vc_output(h->vcId) != 0) return;
    float p = h->last + (h->adj ? h->adj[0] : 0.0f);
    if (!(p <= awm_rd<float>(ds, 80))) p = awm_rd<float>(ds, 80);
    if (p < awm_rd<float>(ds, 76)) p = awm_rd<float>(ds, 76);
    awm_store_rational(&h->out, awm_rd<uint16_t>(ds, 8), ds + 16, p);
}

uint16_t adjustLatency(void* hv) {
    auto* h = static_cast<AdjustHandle*>(hv);
    return h && awm_ref_set(awm_man_get_cfg(h->vcId)->dataset + REF) ? awm_man_gw_get_latency(&h->in) : 0;
}

uint8_t adjustShutdownMeasure(void* hv) {
    auto* h = static_cast<AdjustHandle*>(hv);
    if (!h) return 0;
    awm_man_stop_gw_meas(&h->in);
    delete h;
    return 1;
}

uint8_t adjustAdjust(vc_data_t* e, uint16_t index, float mean, uint16_t request) {
    if (request != 1) return 0;
    float* adj = awm_man_get_adj_data(awm_man_get_adj_idx(index));
    if (!adj) {
        syslogx(LOG_ERR, "awm_0x14_adjust_adjustment: adjData NULL");
        return 0;
    }
    if (!awm_ref_set(e->dataset + REF)) return 0;
    // A signal that is not a number would pin the output at its maximum, also after a restart.
    const float offset = awm_rd_active<float>(e->dataset, 12) - mean;
    if (!std::isfinite(offset)) {
        syslogx(LOG_ERR, "awm_0x14_adjust_adjustment: offset adjustment value %f refused",
                static_cast<double>(offset));
        return 0;
    }
    adj[0] = offset;
    syslogx(LOG_INFO, "awm_0x14_adjust_adjustment: offset adjustment value: %f", static_cast<double>(adj[0]));
    return 1;
}

uint8_t adjustShutdown(void* inst) {
    auto* a = static_cast<Adjust*>(inst);
    if (!a) return 0;
    awm_man_stop_gw_meas(&a->in);
    delete a;
    return 1;
}

uint16_t grpadjLen() {
    return 116;
}
uint16_t adjustLen() {
    return 88;
}

} // namespace

const awm_entry_t entry_0x13_grpadj2{grpadjIni,
                                     grpadjLen,
                                     grpadjCyclic,
                                     grpadjSetup,
                                     awm_measNothing,
                                     grpadjLatency,
                                     awm_shutdownMeasureNone,
                                     nullptr,
                                     grpadjAdjust,
                                     grpadjShutdown,
                                     nullptr};
const awm_entry_t entry_0x14_adjust{
    adjustIni, adjustLen,    adjustCyclic,   adjustSetup, adjustMeas, adjustLatency, adjustShutdownMeasure,
    nullptr,   adjustAdjust, adjustShutdown, adjustRaw};

void awm_grpadj_reset() {
    bootDone = false;
}
