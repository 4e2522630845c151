// Stands in for the module until it is built: succeeds and does nothing.
#include "acquisition/adc/adc.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"

// The core's result registers read as volts (5 V = 4096 counts); nothing else yet.
namespace {
uint8_t present(uintptr_t base) {
    return hw_map(base, 4) != nullptr ? 1 : 0;
}
float adcVolts(uintptr_t reg, uint16_t channel) {
    if (channel >= zynq::ADC_CHANNELS) return 0.0f;
    const auto raw = static_cast<int16_t>(hw_read32(zynq::ADC_BASE + reg + 4u * channel) & 0xFFFF);
    return static_cast<float>(raw * zynq::ADC_VOLTS_PER_COUNT);
}
} // namespace

uint8_t adc_init() {
    return present(zynq::ADC_BASE);
}
float adc_getVoltageTS(uint16_t channel) {
    return adcVolts(zynq::ADC_REG_FILTERED, channel);
}
float adc_get_adc_unfil_newest(uint16_t channel) {
    return adcVolts(zynq::ADC_REG_UNFILTERED, channel) * 1000.0f;
}
uint8_t adc_reInit() {
    const uint32_t control = hw_read32(zynq::ADC_BASE + zynq::ADC_REG_CONTROL);
    hw_write32(zynq::ADC_BASE + zynq::ADC_REG_CONTROL, control & ~1u);
    hw_write32(zynq::ADC_BASE + zynq::ADC_REG_CONTROL, control | 1u);
    return 1;
}
uint8_t adc_pullup_init() {
    return present(zynq::AXI_SPI_BASE);
}
uint8_t adc_pullup_reInit() {
    return 1;
}
void ana_100ms() {}
void adc_rangemon_100ms() {}
void adc_diagnostic_100ms() {}
