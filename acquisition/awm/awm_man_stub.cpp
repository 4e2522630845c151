// Stands in for the module until it is built: no channel function exists. The board input
// set-up is done from the data page, counting an analog input as used when its range
// monitoring window is set (upper above lower).
#include "acquisition/awm/awm_man.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
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
