// AXI SPI core and the MAX7301 port expander on its slave 0, which switches the pull-ups of
// the analog inputs.
#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"

namespace {

constexpr uint32_t MAX7301_DEVICES = 1;
constexpr uint32_t SPI_ON = zynq::SPI_CONTROL_ENABLE | zynq::SPI_CONTROL_MASTER;

// A transfer is three register accesses: one at a time on the bus, whichever task asks.
SEM_ID busLock() {
    static SEM_ID lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return lock;
}

void spiReg(uintptr_t off, uint32_t v) {
    hw_write32(zynq::AXI_SPI_BASE + off, v);
}

// One 16-bit transfer to the expander; its answer.
uint8_t transfer(uint32_t word) {
    semTake(busLock(), WAIT_FOREVER);
    spiReg(zynq::SPI_REG_SELECT, ~1u);
    spiReg(zynq::SPI_REG_TX, word);
    const uint32_t answer = hw_read32(zynq::AXI_SPI_BASE + zynq::SPI_REG_RX);
    spiReg(zynq::SPI_REG_SELECT, ~0u);
    semGive(busLock());
    return static_cast<uint8_t>(answer);
}

// Writes an expander register and reads it back: false when it did not take the value.
bool writeReg(uint8_t reg, uint8_t value) {
    transfer(static_cast<uint32_t>(reg) << 8 | value);
    return transfer(zynq::MAX7301_READ | static_cast<uint32_t>(reg) << 8) == value;
}

} // namespace

uint8_t spi_IOInit() {
    if (!hw_map(zynq::AXI_SPI_BASE, zynq::CORE_SIZE)) return 0;
    spiReg(zynq::SPI_REG_RESET, zynq::SPI_RESET_KEY);
    spiReg(zynq::SPI_REG_CONTROL, SPI_ON);
    return hw_read32(zynq::AXI_SPI_BASE + zynq::SPI_REG_CONTROL) == SPI_ON ? 1 : 0;
}

uint8_t max7301_Init() {
    // Normal operation, every port an output driven high (the pull-ups off).
    bool ok = writeReg(zynq::MAX7301_REG_CONFIG, 0x01);
    for (int p = 0; ok && p < zynq::MAX7301_PINS; ++p)
        ok = writeReg(static_cast<uint8_t>(zynq::MAX7301_REG_PORT_FIRST + p), 1);
    for (uint8_t r = zynq::MAX7301_REG_PORTCFG_FIRST; ok && r <= zynq::MAX7301_REG_PORTCFG_LAST; ++r)
        ok = writeReg(r, 0x55);
    return ok ? 1 : 0;
}

uint8_t max7301_Digital_Write(uint32_t device, uint8_t pin, uint8_t level) {
    if (device >= MAX7301_DEVICES) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "max7301_Digital_Write (Device = %u): MAX7301 device index invalid (%u >= %u)",
                        device, device, MAX7301_DEVICES);
        return 0;
    }
    // Pins 28 to 31 are not wired on this board: a write there cannot succeed.
    if (pin >= zynq::MAX7301_PINS ||
        !writeReg(static_cast<uint8_t>(zynq::MAX7301_REG_PORT_FIRST + pin), level ? 1 : 0)) {
        SYSLOGX_GUARDED(LOG_ERR, "max7301_Digital_Write (Device = %u): write access failed", device);
        return 0;
    }
    return 1;
}
