// Math formula (0x10) and conditional function (0x11): reverse-Polish formulas of the manager's
// engine over up to four signal inputs, the result clamped and stored by the full rational
// output function. The math type is cyclic on its dataset's raster with memory for stateful
// operators, or, with raster field 0xFFFF, measured: each measurement evaluates on its own
// without memory. The conditional function chooses every cycle between two formulas by a third.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <cmath>
#include <new>

namespace {

constexpr uint16_t MEASURED = 0xFFFF;
constexpr uint16_t FORMULA_BYTES = 100;
constexpr int INPUTS = 4;

const uint8_t* ref(const uint8_t* ds, int i) {
    return ds + 40 + AWM_REF_SIZE * static_cast<uint32_t>(i);
}

struct Inputs {
    awm_input_buf buf[INPUTS];
    awm_quant scale[INPUTS];

    // Lists started at `raster`; an input without reference reads 0.
    void start(const uint8_t* ds, uint16_t raster) {
        for (int i = 0; i < INPUTS; ++i) {
            if (awm_ref_set(ref(ds, i))) {
                scale[i] = awm_ref_quant(ref(ds, i));
                awm_input_start(ref(ds, i), &buf[i], raster);
            } else {
                buf[i].value = 0.0f;
            }
        }
    }
    void stop() {
        for (awm_input_buf& b : buf)
            awm_man_stop_gw_meas(&b);
    }
    // An input with a reference that has not delivered yet holds the formula back.
    bool waiting() const {
        for (const awm_input_buf& b : buf)
            if (std::isnan(b.value.load())) return true;
        return false;
    }
    void values(const uint8_t* ds, double* v) const {
        for (int i = 0; i < INPUTS; ++i)
            v[i] = awm_input_value(ref(ds, i), buf[i], scale[i]);
    }
    uint16_t latency() const {
        uint16_t l = 0;
        for (const awm_input_buf& b : buf)
            if (b.list && awm_man_gw_get_latency(&b) > l) l = awm_man_gw_get_latency(&b);
        return l;
    }
};

// A formula's memory cells, allocated once.
bool memInit(const uint8_t* tokens, awm_upn_mem* m, double last) {
    m->count = awm_man_upn_memsize(tokens, FORMULA_BYTES);
    m->cells = m->count ? new (std::nothrow) double[m->count] : nullptr;
    if (m->count && !m->cells) return false;
    awm_man_upn_init(tokens, FORMULA_BYTES, m);
    m->last = last;
    return true;
}

double clamp(double r, const uint8_t* ds) {
    const float mn = awm_rd<float>(ds, 184), mx = awm_rd<float>(ds, 188);
    if (r > mx) r = mx;
    if (r < mn) r = mn;
    return r;
}

// Output 0 of both types: the output function of r in the output type; code 7 a flag.
void storeResult(void* out, const uint8_t* ds, double r) {
    const uint16_t code = awm_rd<uint16_t>(ds, 8);
    if (code == 7)
        awm_store_int(out, 7, awm_flag(r));
    else
        awm_store_rational(out, code, ds + 16, r);
}

// ---- 0x10 math formula ---------------------------------------------------------------------------

struct Math {
    const uint8_t* ds;
    uint32_t vcId; // measured mode
    uint16_t raster;
    Inputs in;
    seramWord<uint32_t> out0, out1;
    seramWord<float> scaled[INPUTS];
    awm_upn_mem mem;
    uint32_t prevTs;
    uint8_t first;
};

const uint8_t* mathTokens(const uint8_t* ds) {
    return ds + 192;
}

void* mathIni(const uint8_t* ds, uint16_t index, uint16_t* raster) {
    const uint16_t r = awm_rd<uint16_t>(ds, 292);
    if (r == MEASURED) return nullptr;
    // The field indexes the call lists.
    if (r >= AWM_RASTERS) {
        syslogx(LOG_ERR, "awm_0x10_math_ini: VC %u: raster %u invalid, refused", index, r);
        return nullptr;
    }
    auto* m = new (std::nothrow) Math{};
    if (!m) return nullptr;
    m->ds = ds;
    m->raster = r;
    m->in.start(ds, r);
    m->first = 1;
    if (!memInit(mathTokens(ds), &m->mem, 0.0)) {
        m->in.stop();
        delete m;
        return nullptr;
    }
    *raster = r;
    return m;
}

// One evaluation: the engine's result, the timestamps and the flag moved on.
double mathEval(Math* m, uint32_t ts, const double* v, awm_upn_mem* mem) {
    const double r = awm_man_upn_calc(mathTokens(m->ds), FORMULA_BYTES, awm_rd<uint16_t>(m->ds, 8), mem,
                                      m->prevTs, ts, v[0], v[1], v[2], v[3], m->first);
    m->prevTs = ts;
    m->first = 0;
    return r;
}

void mathCyclic(void* inst, uint32_t ts) {
    auto* m = static_cast<Math*>(inst);
    if (m->in.waiting()) {
        storeResult(&m->out0, m->ds, 0.0);
        m->out1 = 0;
        for (seramWord<float>& f : m->scaled)
            f = 0.0f;
        return;
    }
    double v[INPUTS];
    m->in.values(m->ds, v);
    const double r = clamp(m->mem.last = mathEval(m, ts, v, &m->mem), m->ds);
    storeResult(&m->out0, m->ds, r);
    m->out1 = awm_flag(r);
    for (int i = 0; i < INPUTS; ++i)
        m->scaled[i] = static_cast<float>(v[i]);
}

awm_out outputOf(Math* m, uint8_t o) {
    return o == 0 ? awm_object(&m->out0) : o == 1 ? awm_object(&m->out1) : awm_object(&m->scaled[o - 2]);
}

void* mathSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    const uint8_t o = awm_vc_output(vcId);
    if (o > 5) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x10_math_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    if (e->instance) {
        *out = outputOf(static_cast<Math*>(e->instance), o);
        return nullptr; // the instance computes; nothing to schedule
    }
    if (awm_rd<uint16_t>(e->dataset, 292) != MEASURED) return nullptr; // refused at start
    auto* m = new (std::nothrow) Math{};
    if (!m) return nullptr;
    m->ds = e->dataset;
    m->vcId = vcId;
    m->raster = raster;
    m->in.start(m->ds, raster);
    m->first = 1;
    *out = outputOf(m, o);
    return m;
}

void mathMeas(void* h, uint32_t ts) {
    auto* m = static_cast<Math*>(h);
    if (m->in.waiting()) return;
    double v[INPUTS];
    m->in.values(m->ds, v);
    const uint8_t o = awm_vc_output(m->vcId);
    if (o >= 2) {
        m->scaled[o - 2] = static_cast<float>(v[o - 2]);
        return;
    }
    const double r = mathEval(m, ts, v, nullptr);
    if (o == 0)
        storeResult(&m->out0, m->ds, clamp(r, m->ds));
    else
        m->out1 = awm_flag(r);
}

uint16_t mathLatency(void* h) {
    return h ? static_cast<Math*>(h)->in.latency() : 0;
}

uint8_t mathShutdownMeasure(void* h) {
    auto* m = static_cast<Math*>(h);
    if (!m) return 0;
    m->in.stop();
    delete m;
    return 1;
}

uint8_t mathShutdown(void* inst) {
    auto* m = static_cast<Math*>(inst);
    if (m) {
        m->in.stop();
        delete[] m->mem.cells;
        delete m;
    }
    return 1;
}

// ---- 0x11 conditional function -------------------------------------------------------------

struct CondFunc {
    const uint8_t* ds;
    uint16_t raster;
    Inputs in;
    seramWord<uint32_t> out0, out1;
    awm_upn_mem mem[3]; // condition, then, else
    uint32_t prevTs;
    uint8_t holds;
    uint8_t first;
};

const uint8_t* formula(const uint8_t* ds, int k) {
    return ds + 192 + FORMULA_BYTES * static_cast<uint32_t>(k);
}
double initial(const uint8_t* ds) {
    return awm_rd<float>(ds, 492);
}

uint8_t condfuncShutdown(void* inst) {
    auto* c = static_cast<CondFunc*>(inst);
    if (c) {
        c->in.stop();
        for (awm_upn_mem& m : c->mem)
            delete[] m.cells;
        delete c;
    }
    return 1;
}

void* condfuncIni(const uint8_t* ds, uint16_t index, uint16_t* raster) {
    uint16_t r = awm_rd<uint16_t>(ds, 496);
    if (r == 0xFFFF) r = 0;
    if (r >= AWM_RASTERS) {
        syslogx(LOG_ERR, "awm_0x11_condfunc_ini: VC %u: raster %u invalid, refused", index, r);
        return nullptr;
    }
    auto* c = new (std::nothrow) CondFunc{};
    if (!c) return nullptr;
    c->ds = ds;
    c->raster = r;
    c->in.start(ds, r);
    for (int k = 0; k < 3; ++k)
        if (!memInit(formula(ds, k), &c->mem[k], initial(ds))) {
            condfuncShutdown(c);
            return nullptr;
        }
    c->first = 1;
    *raster = r;
    return c;
}

void condfuncCyclic(void* inst, uint32_t ts) {
    auto* c = static_cast<CondFunc*>(inst);
    const uint8_t* ds = c->ds;
    double r = initial(ds);
    if (c->in.waiting()) {
        for (awm_upn_mem& m : c->mem)
            m.last = r;
    } else {
        double v[INPUTS], res[3];
        c->in.values(ds, v);
        for (int k = 0; k < 3; ++k)
            res[k] = awm_man_upn_calc(formula(ds, k), FORMULA_BYTES, awm_rd<uint16_t>(ds, 8), &c->mem[k],
                                      c->prevTs, ts, v[0], v[1], v[2], v[3], c->first);
        // Rounded to an unsigned integer through the helper: not a number or negative never holds.
        c->holds = awm_to_u32(awm_round(res[0])) != 0;
        r = c->holds ? res[1] : res[2];
        c->prevTs = ts;
        for (awm_upn_mem& m : c->mem)
            m.last = r;
        c->first = 0;
    }
    r = clamp(r, ds);
    storeResult(&c->out0, ds, r);
    c->out1 = awm_flag(r);
}

void* condfuncSetup(uint32_t vcId, uint16_t, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    auto* c = e ? static_cast<CondFunc*>(e->instance) : nullptr;
    if (!c) return nullptr;
    const uint8_t o = awm_vc_output(vcId);
    if (o > 1)
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x11_condfunc_setupmeas: invalid subchannel measurement request");
    else
        *out = awm_object(o == 0 ? &c->out0 : &c->out1);
    return nullptr;
}

uint16_t mathLen() {
    return 300;
}
uint16_t condfuncLen() {
    return 504;
}

} // namespace

const awm_entry_t entry_0x10_math{
    mathIni, mathLen, mathCyclic,   mathSetup, mathMeas, mathLatency, mathShutdownMeasure,
    nullptr, nullptr, mathShutdown, nullptr};
const awm_entry_t entry_0x11_condfunc{condfuncIni,
                                      condfuncLen,
                                      condfuncCyclic,
                                      condfuncSetup,
                                      awm_measNothing,
                                      awm_latencyNone,
                                      awm_shutdownMeasureNone,
                                      nullptr,
                                      nullptr,
                                      condfuncShutdown,
                                      nullptr};
