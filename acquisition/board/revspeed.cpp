// Rotational-speed core: the frequency of each input from the period the core measures.
#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "services/syslog/syslog.h"
#include "services/timemod/fpgacheck.h"

#include <atomic>

namespace {

constexpr uint32_t REV_ID = 0x4D726576; // "Mrev"
constexpr uint32_t REV_VERSION = 0x00010000;

std::atomic<uint8_t> levels{0};

uint32_t reg(uintptr_t off) {
    return hw_read32(zynq::ROT_SPEED_BASE + off);
}

} // namespace

uint8_t RotationalSpeed_Init() {
    if (!fpga_IPCoreCompatibilityCheck(reg(zynq::REV_REG_ID), REV_ID, reg(zynq::REV_REG_VERSION),
                                       REV_VERSION))
        return 0;
    hw_write32(zynq::ROT_SPEED_BASE + zynq::REV_REG_CONTROL, 1);
    return 1;
}

float RotationalSpeed_GetSpeed(uint8_t channel) {
    if (channel >= zynq::REV_CHANNELS) {
        SYSLOGX_GUARDED(LOG_ERR, "RotationalSpeed channel no %i doesn't exist on this target!", channel);
        return 0.0f;
    }
    const uint32_t periodUs = reg(zynq::REV_REG_PERIOD + 4u * channel);
    return periodUs ? static_cast<float>(1e6 / periodUs) : 0.0f;
}

void rev_in_vyn_100ms() {
    levels.store(static_cast<uint8_t>(reg(zynq::REV_REG_LEVELS) & 0xF), std::memory_order_relaxed);
}

uint8_t rev_in_levels() {
    return levels.load(std::memory_order_relaxed);
}
