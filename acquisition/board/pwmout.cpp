// PWM output core: duty and frequency per output, switched off at shutdown; overloaded
// outputs reach the error manager.
#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"
#include "services/timemod/fpgacheck.h"

#include <atomic>
#include <cmath>

namespace {

constexpr uint32_t PWM_ID = 0x4D70776D; // "Mpwm"
constexpr uint32_t PWM_VERSION = 0x00010000;

// Outputs whose overload is reported (diagnostics task only).
uint32_t reported = 0;

void reg(uintptr_t off, uint32_t v) {
    hw_write32(zynq::PWM_OUT_BASE + off, v);
}

} // namespace

uint8_t pwmout_init() {
    const uint32_t id = hw_read32(zynq::PWM_OUT_BASE + zynq::PWM_REG_ID);
    if (!fpga_IPCoreCompatibilityCheck(id, PWM_ID, hw_read32(zynq::PWM_OUT_BASE + zynq::PWM_REG_VERSION),
                                       PWM_VERSION))
        return 0;
    for (int ch = 0; ch < zynq::PWM_CHANNELS; ++ch)
        reg(zynq::PWM_REG_PERIOD + 8u * ch, 0);
    reg(zynq::PWM_REG_CONTROL, 1);
    reported = 0;
    return 1;
}

void PwmOut_Set(int channel, float duty, float frequency) {
    if (channel < 0 || channel >= zynq::PWM_CHANNELS) {
        SYSLOGX_GUARDED(LOG_ERR, "PwmOut_Set(): no such channel %d", channel);
        return;
    }
    // A frequency the clock cannot divide (or none) switches the output off.
    const double period = frequency > 0.0f ? std::round(zynq::PWM_CLOCK_HZ / frequency) : 0.0;
    const double d = std::isnan(duty) ? 0.0 : std::fmin(100.0, std::fmax(0.0, duty));
    const bool on = period >= 1.0 && period <= UINT32_MAX;
    reg(zynq::PWM_REG_HIGH + 8u * channel, on ? static_cast<uint32_t>(std::round(period * d / 100.0)) : 0);
    reg(zynq::PWM_REG_PERIOD + 8u * channel, on ? static_cast<uint32_t>(period) : 0);
}

void pwmout_shutdown() {
    for (int ch = 0; ch < zynq::PWM_CHANNELS; ++ch)
        reg(zynq::PWM_REG_PERIOD + 8u * ch, 0);
    reg(zynq::PWM_REG_CONTROL, 0);
}

void pwmdiag_100ms() {
    const uint32_t faults = hw_read32(zynq::PWM_OUT_BASE + zynq::PWM_REG_FAULT);
    if (faults == 0xFFFFFFFF) return; // no core on the bus
    for (int ch = 0; ch < zynq::PWM_CHANNELS; ++ch) {
        const uint32_t bit = 1u << ch;
        if (faults & bit) {
            error_mgr_set(ERROR_MGR_PATH_PWM01 + ch, ERROR_MGR_ERR_TYPE_CURRENT_LIMIT, 0);
            reported |= bit;
        } else if (reported & bit) {
            error_mgr_clear(ERROR_MGR_PATH_PWM01 + ch);
            reported &= ~bit;
        }
    }
}
