#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "services/syslog/syslog.h"

namespace {

constexpr uint32_t DIN_MASK = (1u << zynq::GPIO_DIN_COUNT) - 1;
constexpr uint32_t DOUT_MASK = (1u << zynq::GPIO_DOUT_COUNT) - 1;

uint32_t reg(uintptr_t off) {
    return hw_read32(zynq::GPIO_BASE + off);
}
void setReg(uintptr_t off, uint32_t v) {
    hw_write32(zynq::GPIO_BASE + off, v);
}

} // namespace

uint8_t gpio_ini() {
    if (!hw_map(zynq::GPIO_BASE, zynq::GPIO_SIZE)) return 0;
    setReg(zynq::GPIO_DIRM(zynq::GPIO_DIN_BANK), reg(zynq::GPIO_DIRM(zynq::GPIO_DIN_BANK)) & ~DIN_MASK);
    // Outputs start low: the sensor supplies stay off until the first cycle switches them.
    setReg(zynq::GPIO_MASK_DATA_LSW(zynq::GPIO_DOUT_BANK), (~DOUT_MASK & 0xFFFF) << 16);
    setReg(zynq::GPIO_DIRM(zynq::GPIO_DOUT_BANK), reg(zynq::GPIO_DIRM(zynq::GPIO_DOUT_BANK)) | DOUT_MASK);
    setReg(zynq::GPIO_OEN(zynq::GPIO_DOUT_BANK), reg(zynq::GPIO_OEN(zynq::GPIO_DOUT_BANK)) | DOUT_MASK);
    return 1;
}

uint8_t digital_ioIn(uint8_t channel) {
    if (channel >= zynq::GPIO_DIN_COUNT) {
        SYSLOGX_GUARDED(LOG_ERR, "digital_ioIn(): call to unknown channel");
        return 0;
    }
    return static_cast<uint8_t>(reg(zynq::GPIO_DATA_RO(zynq::GPIO_DIN_BANK)) >> channel & 1);
}

void digital_ioOut(uint8_t output, uint8_t level) {
    if (output >= zynq::GPIO_DOUT_COUNT) {
        SYSLOGX_GUARDED(LOG_ERR, "digital_ioOut(): call to unknown channel");
        return;
    }
    // A masked write changes this pin alone, whichever task drives the others.
    const uint32_t keep = ~(1u << output) & 0xFFFF;
    setReg(zynq::GPIO_MASK_DATA_LSW(zynq::GPIO_DOUT_BANK), keep << 16 | (level ? 1u : 0u) << output);
}
