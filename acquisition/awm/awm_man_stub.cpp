// Stands in for the module until it is built: no channel function exists. The board input
// set-up is done from the data page, counting an analog input as used when its range
// monitoring window is set (upper above lower).
#include "acquisition/awm/awm_man.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

void awm_man_ini() {
    awm_man_hwt_ini();
}
void awm_man_stop() {}
// No channel function exists: every output measurement is refused.
void* awm_man_AWM_setupMeasure(uint32_t, uint16_t, void**) {
    return nullptr;
}
uint16_t awm_man_AWM_getLatency(void*) {
    return 0;
}
int awm_man_AWM_shutdownMeasure(void*) {
    return 0;
}
void awm_man_dwnl_adj_data(const void*, const void*, uint16_t) {}
void awm_sched_call(uint16_t, uint32_t) {}
void awm_man_adjust() {}

void awm_man_hwt_ini() {
    adc_rangemon_disable();
    for (uint8_t ch = 0; ch < 16; ++ch) {
        const uint8_t pullup = CfgMat_HWTindex[ch] & 1;
        adc_pullup_set(1, ch, pullup);
        const float upper = CfgMat_HWTRangeMonUpper[ch], lower = CfgMat_HWTRangeMonLower[ch];
        if (!(upper > lower)) continue;
        adc_rangemon_ini(ch, 0x100, ch, static_cast<int32_t>(upper), static_cast<int32_t>(lower));
        adc_diagnostic_ini(ch, 0x100, ch,
                           1u << 15 | static_cast<uint32_t>(ch) << 23 | static_cast<uint32_t>(pullup) << 31);
    }
    adc_rangemon_enable();
}

void awm_0x02_binarysearch(int* lower, int* upper, float x, const float* xs, int last) {
    const int m = last < 15 ? last : 15;
    *lower = 0;
    *upper = last;
    if (!(x > xs[0])) {
        *upper = 0;
        return;
    }
    if (!(x < xs[m])) {
        *lower = m;
        return;
    }
    while (*upper - *lower > 1) {
        const int mid = (*lower + *upper) / 2;
        if (x < xs[mid])
            *upper = mid;
        else
            *lower = mid;
    }
}

void awm_0x02_lookup(float* out, const float* ys, float x, const float* xs, int last) {
    if (last <= 0) {
        *out = ys[0];
        return;
    }
    int i = 0, j = 0;
    awm_0x02_binarysearch(&i, &j, x, xs, last);
    if (xs[j] > xs[i])
        *out = ys[i] + (ys[j] - ys[i]) / (xs[j] - xs[i]) * (x - xs[i]);
    else if (j == 0)
        *out = ys[0] + (ys[1] - ys[0]) / (xs[1] - xs[0]) * (x - xs[0]);
    else if (i == last)
        *out = ys[last] + (ys[last] - ys[last - 1]) / (xs[last] - xs[last - 1]) * (x - xs[last]);
    else {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x02_lookup() invalid code path");
        *out = ys[i];
    }
}
