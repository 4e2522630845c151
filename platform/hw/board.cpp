#include "platform/hw/hw_sim.h"
#include "platform/hw/board_sim.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

namespace hwsim {

namespace {

// One window per block for the life of the process: mappings handed out before a
// removal or a new boot stay valid.
volatile uint32_t* windows[std::size(zynq::BOARD_BLOCKS)];
// Serialises read-modify-write of the register devices against the setters.
std::mutex windowsMutex;

// Levels the outside world puts on the GPIO pins, per bank.
std::atomic<uint32_t> pinsIn[zynq::GPIO_BANKS];
std::atomic<uint64_t> adcStartCount{0};

// Power-on inputs: power good (2) and 12 V supply status (4) high.
constexpr uint32_t DIN_POWER_ON = 1u << 2 | 1u << 4;

// Power-on levels of the internal analog channels (volts at the converter): 13.8 V supply,
// 0.3 A, 25 degC, small sensor-supply currents, nominal sensor supplies, no USB current.
struct AdcDefault {
    int channel;
    double volts;
};
constexpr AdcDefault ADC_POWER_ON[] = {
    {16, 2.6501},  {17, 1.5},      {18, 2.119},    {20, 0.25},    {21, 0.25}, {22, 0.25},
    {23, 1.80564}, {24, 0.902822}, {25, 0.902822}, {26, 2.30441}, {27, 2.5},
};

// XADC codes (bits 15-4): 45 degC, VCCINT and VCCPINT 1.0 V, VCCAUX and VCCPAUX 1.8 V, DDR 1.5 V.
constexpr uint32_t XADC_POWER_ON[] = {0xA190, 0xA190, 0xA190, 0x5550, 0x5550, 0x5550, 0x5550, 0x5550,
                                      0x5550, 0x9990, 0x9990, 0x9990, 0x9990, 0x9990, 0x9990, 0x8000};
static_assert(std::size(XADC_POWER_ON) == std::size(zynq::XADC_REGS));

volatile uint32_t* windowOf(uintptr_t base) {
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i)
        if (zynq::BOARD_BLOCKS[i].base == base) return windows[i];
    return nullptr;
}

// The windows are the register files; the devices' functions and the setters run in
// different threads, so every access is atomic.
uint32_t load(uintptr_t base, uintptr_t off) {
    auto* w = const_cast<uint32_t*>(windowOf(base));
    return __atomic_load_n(w + off / 4, __ATOMIC_RELAXED);
}
void store(uintptr_t base, uintptr_t off, uint32_t v) {
    auto* w = const_cast<uint32_t*>(windowOf(base));
    __atomic_store_n(w + off / 4, v, __ATOMIC_RELAXED);
}

uint32_t adcCounts(double volts) {
    double c = std::round(volts / zynq::ADC_VOLTS_PER_COUNT);
    c = std::fmax(-32768.0, std::fmin(32767.0, c));
    return static_cast<uint32_t>(static_cast<int32_t>(c)) & 0xFFFF;
}

// ---- GPIO: masked output writes, pin levels from outputs and the outside world ----------
uint32_t gpioRead(uintptr_t off) {
    std::lock_guard<std::mutex> g(windowsMutex);
    for (int bank = 0; bank < zynq::GPIO_BANKS; ++bank) {
        if (off != zynq::GPIO_DATA_RO(bank)) continue;
        uint32_t out = load(zynq::GPIO_BASE, zynq::GPIO_DIRM(bank));
        return (pinsIn[bank].load() & ~out) | (load(zynq::GPIO_BASE, zynq::GPIO_DATA(bank)) & out);
    }
    return load(zynq::GPIO_BASE, off);
}

void gpioWrite(uintptr_t off, uint32_t v) {
    std::lock_guard<std::mutex> g(windowsMutex);
    for (int bank = 0; bank < zynq::GPIO_BANKS; ++bank) {
        if (off == zynq::GPIO_DATA_RO(bank)) return; // read only
        for (int half = 0; half < 2; ++half) {
            if (off != zynq::GPIO_MASK_DATA_LSW(bank) + 4u * static_cast<uintptr_t>(half)) continue;
            const uint32_t write = (~v >> 16 & 0xFFFF) << (16 * half);
            const uint32_t bits = (v & 0xFFFF) << (16 * half);
            const uintptr_t data = zynq::GPIO_DATA(bank);
            store(zynq::GPIO_BASE, data, (load(zynq::GPIO_BASE, data) & ~write) | (bits & write));
            return;
        }
    }
    store(zynq::GPIO_BASE, off, v);
}

// ---- analog-input core: counts the converter's starts --------------------------------------
uint32_t adcRead(uintptr_t off) {
    return load(zynq::ADC_BASE, off);
}

void adcWrite(uintptr_t off, uint32_t v) {
    std::lock_guard<std::mutex> g(windowsMutex);
    if (off == zynq::ADC_REG_ID || off == zynq::ADC_REG_VERSION) return;
    if (off == zynq::ADC_REG_CONTROL && (v & 1) && !(load(zynq::ADC_BASE, off) & 1)) adcStartCount++;
    store(zynq::ADC_BASE, off, v);
}

void powerOnState() {
    for (auto& p : pinsIn)
        p = 0;
    pinsIn[zynq::GPIO_DIN_BANK] = DIN_POWER_ON;
    adcStartCount = 0;
    store(zynq::ADC_BASE, zynq::ADC_REG_ID, BOARD_ADC_ID);
    store(zynq::ADC_BASE, zynq::ADC_REG_VERSION, BOARD_ADC_VERSION);
    for (const AdcDefault& d : ADC_POWER_ON) {
        store(zynq::ADC_BASE, zynq::ADC_REG_FILTERED + 4u * d.channel, adcCounts(d.volts));
        store(zynq::ADC_BASE, zynq::ADC_REG_UNFILTERED + 4u * d.channel, adcCounts(d.volts));
    }
    for (size_t i = 0; i < std::size(zynq::XADC_REGS); ++i)
        store(zynq::XADC_BASE, zynq::XADC_REGS[i].offset, XADC_POWER_ON[i]);
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_ID, BOARD_FPGA_ID);
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_VERSION, BOARD_FPGA_VERSION);
}

} // namespace

void installBoard() {
    std::lock_guard<std::mutex> g(windowsMutex);
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i) {
        const zynq::Block& b = zynq::BOARD_BLOCKS[i];
        if (!windows[i])
            windows[i] = static_cast<volatile uint32_t*>(std::calloc(b.size / 4, 4));
        else
            std::memset(const_cast<uint32_t*>(windows[i]), 0, b.size); // registers come out of reset
    }
    powerOnState();
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i) {
        const zynq::Block& b = zynq::BOARD_BLOCKS[i];
        if (b.base == zynq::GPIO_BASE)
            addDevice(b.base, b.size, gpioRead, gpioWrite, windows[i]);
        else if (b.base == zynq::ADC_BASE)
            addDevice(b.base, b.size, adcRead, adcWrite, windows[i]);
        else
            addDevice(b.base, b.size, nullptr, nullptr, windows[i]);
    }
}

bool removeBoardDevice(uintptr_t base) {
    for (const zynq::Block& b : zynq::BOARD_BLOCKS) {
        if (b.base == base) {
            removeDevice(base);
            return true;
        }
    }
    return false;
}

bool setAdcChannel(int channel, double volts) {
    if (channel < 0 || channel >= zynq::ADC_CHANNELS || !std::isfinite(volts)) return false;
    std::lock_guard<std::mutex> g(windowsMutex);
    if (!windowOf(zynq::ADC_BASE)) return false;
    store(zynq::ADC_BASE, zynq::ADC_REG_FILTERED + 4u * channel, adcCounts(volts));
    store(zynq::ADC_BASE, zynq::ADC_REG_UNFILTERED + 4u * channel, adcCounts(volts));
    return true;
}

bool setDigitalIn(int channel, bool level) {
    if (channel < 0 || channel >= zynq::GPIO_DIN_COUNT) return false;
    const uint32_t bit = 1u << channel;
    if (level)
        pinsIn[zynq::GPIO_DIN_BANK] |= bit;
    else
        pinsIn[zynq::GPIO_DIN_BANK] &= ~bit;
    return true;
}

bool digitalOut(int channel) {
    if (channel < 0 || channel >= zynq::GPIO_DOUT_COUNT) return false;
    std::lock_guard<std::mutex> g(windowsMutex);
    if (!windowOf(zynq::GPIO_BASE)) return false;
    const int bank = zynq::GPIO_DOUT_BANK;
    const uint32_t driven =
        load(zynq::GPIO_BASE, zynq::GPIO_DIRM(bank)) & load(zynq::GPIO_BASE, zynq::GPIO_OEN(bank));
    return (driven & load(zynq::GPIO_BASE, zynq::GPIO_DATA(bank))) >> channel & 1;
}

bool setXadcWord(uintptr_t offset, uint32_t value) {
    for (const zynq::XadcReg& r : zynq::XADC_REGS) {
        if (r.offset != offset) continue;
        std::lock_guard<std::mutex> g(windowsMutex);
        if (!windowOf(zynq::XADC_BASE)) return false;
        store(zynq::XADC_BASE, offset, value);
        return true;
    }
    return false;
}

bool setFpgaIdentity(uint32_t id, uint32_t version) {
    std::lock_guard<std::mutex> g(windowsMutex);
    if (!windowOf(zynq::FPGA_IDENT_BASE)) return false;
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_ID, id);
    store(zynq::FPGA_IDENT_BASE, zynq::FPGA_IDENT_REG_VERSION, version);
    return true;
}

uint64_t adcStarts() {
    return adcStartCount.load();
}

} // namespace hwsim
