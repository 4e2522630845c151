#include "calibration/meas/seram_meas.h"

#include "app/rtpman/rtpman.h"
#include "app/subsystems.h"
#include "calibration/conv/conv.h"
#include "calibration/memory/seram.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstring>

namespace {

// Error path "RECORD", error type "Invalid external request".
constexpr int ERR_PATH_RECORD = 481;
constexpr int ERR_TYPE_INVALID_REQUEST = 34;

std::atomic<uint8_t> logOutside;
std::atomic<uint8_t> logOutsideRange;

uintptr_t errorPattern() {
    return reinterpret_cast<uintptr_t>(seramErrorToggle);
}

void onErrorPattern(seramMeasHandle* h) {
    h->kind = SERAM_MEAS_MEMORY;
    h->source = errorPattern();
    h->channel = nullptr;
}

void report(uint32_t measAddress) {
    if (syslogx_floodcheck(&logOutside))
        syslogx(LOG_ERR, "seramMeasSetupMeas(): Address: 0x%x outside seram range", measAddress);
    error_mgr_set(ERR_PATH_RECORD, ERR_TYPE_INVALID_REQUEST, 1);
}

void reverse(uint8_t* p, uint32_t n) {
    for (uint32_t i = 0, j = n - 1; i < j; ++i, --j) {
        const uint8_t t = p[i];
        p[i] = p[j];
        p[j] = t;
    }
}

} // namespace

void seramMeasClearHandle(seramMeasHandle* h) {
    if (h) *h = seramMeasHandle{};
}

void seramMeasSetupMeas(uint32_t measAddress, uint16_t raster, seramMeasHandle* h) {
    if (!h) return;
    const uint32_t low = measAddress & 0xFFFFFF;
    const uint32_t cls = low >> 18;
    h->channel = nullptr;
    if (cls == MEAS_CLASS_XCPMR || cls == MEAS_CLASS_CCPMR) {
        void* slot = cls == MEAS_CLASS_XCPMR ? xcpmr_GetAddr(low) : ccpmr_GetAddr(low);
        h->kind = SERAM_MEAS_MEMORY;
        h->source = reinterpret_cast<uintptr_t>(slot);
        if (!slot) { // no such master channel
            onErrorPattern(h);
            report(measAddress);
        }
        return;
    }
    if (cls == MEAS_CLASS_CHANNEL) {
        void* value = nullptr;
        void* channel = awm_man_AWM_setupMeasure(low, raster, &value);
        if (channel && value) {
            h->kind = SERAM_MEAS_CHANNEL;
            h->source = reinterpret_cast<uintptr_t>(value);
            h->channel = channel;
        } else {
            if (channel) awm_man_AWM_shutdownMeasure(channel);
            onErrorPattern(h);
            report(measAddress);
        }
        return;
    }
    if (low < CONV_ADDR_FLAG) {
        h->kind = SERAM_MEAS_MEMORY;
        if (low > SERAM_BLOCK_SIZE) {
            h->source = errorPattern();
            if (syslogx_floodcheck(&logOutsideRange))
                syslogx(LOG_ERR, "seramMeasSetupMeas(): Address: 0x%x outside seram range %X...%X",
                        measAddress, static_cast<unsigned>(reinterpret_cast<uintptr_t>(seram_memory)),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(seram_memory + SERAM_BLOCK_SIZE)));
            error_mgr_set(ERR_PATH_RECORD, ERR_TYPE_INVALID_REQUEST, 1);
        } else {
            h->source = reinterpret_cast<uintptr_t>(seram_memory + low);
        }
        return;
    }
    if (convCheckAdr(low)) {
        h->kind = SERAM_MEAS_CONV;
        h->source = low;
        return;
    }
    onErrorPattern(h);
    report(measAddress);
}

void seramMeasCopy(void* dst, uint32_t size, const seramMeasHandle* h) {
    if (h->kind == SERAM_MEAS_CONV)
        convMeasCopy(static_cast<uint32_t>(h->source), dst, size);
    else
        std::memcpy(dst, reinterpret_cast<const void*>(h->source), size);
}

void seramMeasCopy_bigEndian(void* dst, uint32_t size, const seramMeasHandle* h) {
    seramMeasCopy(dst, size, h);
    if (size == 2 || size == 4 || size == 8) reverse(static_cast<uint8_t*>(dst), size);
}

uint16_t seramMeasGetLatency(const seramMeasHandle* h) {
    if (!h || h->kind != SERAM_MEAS_CHANNEL) return 0;
    return awm_man_AWM_getLatency(h->channel);
}

void seramMeasFreeMeas(seramMeasHandle* h) {
    if (!h || h->kind != SERAM_MEAS_CHANNEL) return;
    awm_man_AWM_shutdownMeasure(h->channel);
    seramMeasClearHandle(h);
}

uintptr_t seramMeasGetAddr(const seramMeasHandle* h) {
    return h ? h->source : 0;
}

uint32_t seramConvertAddr2SeramAddr(const void* physAddr) {
    const auto p = reinterpret_cast<uintptr_t>(physAddr);
    const auto start = reinterpret_cast<uintptr_t>(seram_memory);
    if (p < start || p >= start + SERAM_BLOCK_SIZE) return 0;
    return (static_cast<uint32_t>(p - start) & 0xFFFFFF) | static_cast<uint32_t>(app_pid & 0xFF) << 24;
}

void seramMeas_reset() {
    logOutside = 0;
    logOutsideRange = 0;
}
