// Link stubs of signal acquisition until it is built. The board initialisation steps check
// that their device is present on the bus, so a missing device fails its step.
#include "app/subsystems.h"

#include "platform/hw/hw.h"

namespace {
uint8_t present(uintptr_t base) {
    return hw_map(base, 4) != nullptr ? 1 : 0;
}
} // namespace

uint8_t adc_init() {
    return present(0x43C20000);
}
uint8_t spi_IOInit() {
    return present(0x41E00000);
}
uint8_t max7301_Init() {
    return present(0x41E00000);
}
uint8_t adc_pullup_init() {
    return present(0x41E00000);
}
uint8_t pwmout_init() {
    return present(0x43C30000);
}
uint8_t ledArray_init() {
    return present(0x43C40000);
}
uint8_t RotationalSpeed_Init() {
    return present(0x43C50000);
}
// The analog-input core's result registers as volts (5 V = 4096 counts), until its driver
// and the sample FIFO are built.
namespace {
float adcVolts(uintptr_t reg, uint16_t channel) {
    if (channel >= 32) return 0.0f;
    const auto raw = static_cast<int16_t>(hw_read32(0x43C20000 + reg + 4u * channel) & 0xFFFF);
    return static_cast<float>(raw) * (5.0f / 4096.0f);
}
} // namespace
float adc_getVoltageTS(uint16_t channel) {
    return adcVolts(0x100, channel);
}
float adc_get_adc_unfil_newest(uint16_t channel) {
    return adcVolts(0x200, channel) * 1000.0f;
}
uint8_t adc_reInit() {
    const uint32_t control = hw_read32(0x43C20000 + 8);
    hw_write32(0x43C20000 + 8, control & ~1u);
    hw_write32(0x43C20000 + 8, control | 1u);
    return 1;
}
uint8_t adc_pullup_reInit() {
    return 1;
}
void adc_fifo_ini() {}
void adc_fifo_1ms() {}
void adc_filter_stop() {}
void adc_rangemon_100ms() {}
void adc_diagnostic_100ms() {}
void ana_100ms() {}
void start_softSched() {}
void led_init() {}
void led_display() {}
void gps_init() {}
void awm_man_ini() {}
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
uint8_t simulink_initialize() {
    return 1;
}
void callSimulinkFunc(int, int) {}
void vyn_data_1ms() {}
void vyn_data_10ms() {}
void vyn_data_100ms() {}
void rev_in_vyn_100ms() {}
void pwmdiag_100ms() {}
void pwmout_shutdown() {}
uint32_t laptrigger_getLapTimeStamp() {
    return 0;
}
