// PWM output (0x09): the configuration of one PWM output channel (command signal, curve,
// frequency, board channel) and the offset adjustment of its channel. None of its operations
// computes its outputs or drives the PWM driver: the outputs read 0.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <cmath>
#include <new>

namespace {

constexpr uint16_t RASTER_10MS = 3;
constexpr uint16_t CURVE_MAX = 16;

struct PwmOut {
    const uint8_t* ds;
    awm_input_buf in;
    float frequency;
    uint16_t channel; // from 0
    uint16_t index;
    uint16_t out[3];
};

uint16_t curveLength(const uint8_t* ds) {
    return awm_rd<uint16_t>(ds, 76);
}

void* pwmIni(const uint8_t* ds, uint16_t index, uint16_t* raster) {
    if (!awm_ref_set(ds + 40)) return nullptr;
    // The dataset has room for 16 breakpoints: the adjustment refuses a longer curve (or none),
    // the outputs are there all the same.
    const uint16_t n = curveLength(ds);
    if (n > CURVE_MAX)
        syslogx(LOG_ERR, "awm_0x09_pwmout_ini: excessive data table size 'curve.len': %d, MAX: %d", n,
                CURVE_MAX);
    auto* p = new (std::nothrow) PwmOut{};
    if (!p) return nullptr;
    p->ds = ds;
    p->index = index;
    awm_input_start(ds + 40, &p->in, RASTER_10MS);
    const uint16_t bc = awm_man_get_adc_chan(index);
    p->channel = bc & 0x0400u ? static_cast<uint16_t>((bc & 0xFF) - 1) : 0;
    const float f = awm_rd<float>(ds, 208);
    p->frequency = f == 0.0f ? 100.0f : f;
    *raster = RASTER_10MS;
    return p;
}

void pwmCyclic(void*, uint32_t) {}
void pwmMeas(void*, uint32_t) {}

void* pwmSetup(uint32_t vcId, uint16_t, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    auto* p = e ? static_cast<PwmOut*>(e->instance) : nullptr;
    if (!p) return nullptr;
    static constexpr int field[3] = {1, 2, 0};
    const uint8_t o = awm_vc_output(vcId);
    if (o < 3)
        *out = awm_object(&p->out[field[o]]);
    else
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x09_pwmout_setupmeas: invalid subchannel measurement request");
    return nullptr;
}

uint16_t pwmLatency(void*) {
    return 0;
}
uint8_t pwmShutdownMeasure(void*) {
    return 0;
}

uint8_t pwmAdjust(vc_data_t* e, uint16_t index, float mean, uint16_t request) {
    if (request != 1) return 0;
    float* adj = awm_man_get_adj_data(awm_man_get_adj_idx(index));
    if (!adj) {
        syslogx(LOG_ERR, "awm_0x09_pwmout_adjustment: adjData NULL");
        return 0;
    }
    const uint8_t* ds = e->dataset;
    const uint16_t n = curveLength(ds);
    if (n < 1 || n > CURVE_MAX) return 0;
    float xs[CURVE_MAX], ys[CURVE_MAX], y;
    std::memcpy(xs, ds + 80, 4u * n);
    std::memcpy(ys, ds + 80 + 4u * n, 4u * n);
    awm_0x02_lookup(&y, ys, mean, xs, static_cast<uint16_t>(n - 1));
    const float offset = awm_rd_active<float>(ds, 12) - y;
    if (!std::isfinite(offset)) {
        syslogx(LOG_ERR, "awm_0x09_pwmout_adjustment: offset adjustment value %f refused",
                static_cast<double>(offset));
        return 0;
    }
    adj[0] = offset;
    return 1;
}

// Nothing of the running unit ends an instance; the tests free it.
uint8_t pwmShutdown(void* inst) {
    auto* p = static_cast<PwmOut*>(inst);
    if (p) awm_man_stop_gw_meas(&p->in);
    delete p;
    return 1;
}

uint16_t pwmLen() {
    return 216;
}

} // namespace

const awm_entry_t entry_0x09_pwmout{
    pwmIni,  pwmLen,    pwmCyclic,   pwmSetup, pwmMeas, pwmLatency, pwmShutdownMeasure,
    nullptr, pwmAdjust, pwmShutdown, nullptr};
