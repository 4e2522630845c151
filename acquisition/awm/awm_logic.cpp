// What the logic and computed channel-function types share: their input references and the
// full rational output function.
#include "acquisition/awm/awm_private.h"
#include "calibration/meas/seram_meas.h"

#include "services/time/time_util.h"

#include <cmath>
#include <limits>

void awm_input_start(const uint8_t* ref, awm_input_buf* b, uint16_t raster) {
    b->value = std::numeric_limits<float>::quiet_NaN();
    if (awm_ref_set(ref)) awm_man_setup_gw_meas(ref, b, raster);
}

awm_quant awm_ref_quant(const uint8_t* ref) {
    float k[6]; // dataset floats need not be aligned
    std::memcpy(k, ref + 8, sizeof k);
    awm_quant q;
    awm_man_quant2fact_offs(k, &q);
    return q;
}

double awm_input_value(const uint8_t* ref, const awm_input_buf& b, const awm_quant& q) {
    if (!awm_ref_set(ref)) return 0.0;
    const double v = awm_man_conv2double(b.raw, awm_rd<uint16_t>(ref, 32));
    return q.flag ? q.offset + v * q.factor : v;
}

void awm_measNothing(void*, uint32_t) {}
uint16_t awm_latencyNone(void*) {
    return 0;
}
uint8_t awm_shutdownMeasureNone(void*) {
    return 0;
}

uint8_t awm_flag(double v) {
    return awm_to_i32(awm_round(v)) != 0 ? 1 : 0;
}

bool awm_store_rational(void* out, uint16_t code, const uint8_t* abcdef, double p) {
    if (code == 6) {
        const float f = static_cast<float>(p);
        seramMeasStoreValue(out, &f, 4);
        return true;
    }
    if (code > 5) return false;
    awm_store_int(out, code, awm_rational(abcdef, p));
    return true;
}

uint32_t awm_appl_ms() {
    timespec t{};
    clock_appltime(&t);
    return static_cast<uint32_t>(t.tv_sec) * 1000u + static_cast<uint32_t>(t.tv_nsec / 1000000);
}
