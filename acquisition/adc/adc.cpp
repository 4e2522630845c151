#include "acquisition/adc/adc.h"

#include "acquisition/board/board.h"
#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "services/syslog/syslog.h"
#include "services/timemod/fpgacheck.h"
#include "vyn/vartable.h"

#include <atomic>

namespace {

constexpr uint32_t MADC_ID = 0x4D616463; // "Madc"
constexpr uint32_t MADC_VERSION = 0x0001030D;
constexpr float VOLTS_PER_COUNT = 5.0f / 4096.0f;

std::atomic<uint8_t> hold{0};
std::atomic<uint8_t (*)()> powerGood{nullptr};

// Last raw value per channel of the filtered, unfiltered and bypass paths. Each word is
// written whole by whichever task reads the core.
struct LastValues {
    std::atomic<int32_t> raw[zynq::ADC_CHANNELS];
};
LastValues last[3];

// Bank 1 and 2; changed by the start-up, the diagnostic task and self-monitoring.
std::atomic<uint32_t> pullups[2];

uint32_t reg(uintptr_t off) {
    return hw_read32(zynq::ADC_BASE + off);
}

bool supplyGood() {
    uint8_t (*source)() = powerGood.load(std::memory_order_relaxed);
    return !source || source();
}

float read(int path, uintptr_t base, uint16_t channel, bool held) {
    if (channel >= zynq::ADC_CHANNELS) return 0.0f;
    std::atomic<int32_t>& slot = last[path].raw[channel];
    if (!held && supplyGood()) slot.store(static_cast<int16_t>(reg(base + 4u * channel) & 0xFFFF));
    return static_cast<float>(slot.load()) * VOLTS_PER_COUNT;
}

} // namespace

uint32_t adc_getID() {
    return reg(zynq::ADC_REG_ID);
}

uint32_t adc_getVersion() {
    return reg(zynq::ADC_REG_VERSION);
}

void adc_enable(uint8_t on) {
    const uint32_t control = reg(zynq::ADC_REG_CONTROL);
    hw_write32(zynq::ADC_BASE + zynq::ADC_REG_CONTROL, on ? control | 1u : control & ~1u);
}

uint8_t adc_reInit() {
    adc_enable(0);
    adc_enable(1);
    return 1;
}

uint8_t adc_init() {
    if (!fpga_IPCoreCompatibilityCheck(adc_getID(), MADC_ID, adc_getVersion(), MADC_VERSION)) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_init: Wrong MADC module");
        return 0;
    }
    return adc_reInit();
}

float adc_getVoltageTS(uint16_t channel) {
    return read(0, zynq::ADC_REG_FILTERED, channel, hold.load());
}

float adc_getVoltageUnfilTS(uint16_t channel) {
    return read(1, zynq::ADC_REG_UNFILTERED, channel, hold.load());
}

float adc_getVoltageBypassUnfilTS(uint16_t channel) {
    return read(2, zynq::ADC_REG_UNFILTERED, channel, false);
}

void adc_setHold(uint8_t h) {
    hold.store(h);
}

void adc_setPowerGoodSource(uint8_t (*source)()) {
    powerGood.store(source);
}

void adc_pullup_set(uint8_t bank, uint8_t channel, uint8_t on) {
    if (bank != 1 && bank != 2) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_pullup_set(): no such bank %d", bank);
        return;
    }
    if (channel >= 16) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_pullup_set(): no such channel %d (bank %d, req %d)!", channel, bank,
                        on);
        return;
    }
    // One atomic change of one bit: another task switching another pull-up at the same time
    // keeps its bit.
    const uint32_t bit = 1u << channel;
    if (on)
        pullups[bank - 1].fetch_or(bit);
    else
        pullups[bank - 1].fetch_and(~bit);
    int failed = 0;
    // The expander's outputs are active low: a low level switches the pull-up on.
    while (failed < 3 && !max7301_Digital_Write(bank - 1u, channel, on ? 0 : 1))
        ++failed;
    if (failed)
        SYSLOGX_GUARDED(
            LOG_ERR, "adc_pullup_set(): repeated setting of pullup %d times (channel %d, bank %d, req %d)!",
            failed, channel, bank, on);
}

uint32_t adc_pullup_get(uint8_t bank) {
    return bank == 1 || bank == 2 ? pullups[bank - 1].load() : 0;
}

uint8_t adc_pullup_reInit() {
    const uint32_t word = pullups[0].load();
    for (uint8_t ch = 0; ch < 16; ++ch)
        adc_pullup_set(1, ch, word >> ch & 1);
    return 1;
}

uint8_t adc_pullup_init() {
    pullups[0].store(0);
    pullups[1].store(0);
    return adc_pullup_reInit();
}

void ana_100ms() {
    ana01 = adc_getVoltageUnfilTS(0);
    ana02 = adc_getVoltageUnfilTS(1);
    ana03 = adc_getVoltageUnfilTS(2);
    ana04 = adc_getVoltageUnfilTS(3);
    ana05 = adc_getVoltageUnfilTS(4);
    ana06 = adc_getVoltageUnfilTS(5);
    ana07 = adc_getVoltageUnfilTS(6);
    ana08 = adc_getVoltageUnfilTS(7);
    ana09 = adc_getVoltageUnfilTS(8);
    ana10 = adc_getVoltageUnfilTS(9);
    ana11 = adc_getVoltageUnfilTS(10);
    ana12 = adc_getVoltageUnfilTS(11);
    ana13 = adc_getVoltageUnfilTS(12);
    ana14 = adc_getVoltageUnfilTS(13);
    ana15 = adc_getVoltageUnfilTS(14);
    ana16 = adc_getVoltageUnfilTS(15);
}

void adc_resetDriver() {
    hold.store(0);
    powerGood.store(nullptr);
    pullups[0].store(0);
    pullups[1].store(0);
    for (LastValues& l : last)
        for (auto& r : l.raw)
            r.store(0);
}
