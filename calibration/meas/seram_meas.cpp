#include "calibration/meas/seram_meas.h"

#include "calibration/conv/conv.h"
#include "calibration/memory/seram.h"
#include "services/errmgr/errmgr.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstring>

namespace {

// Error path "RECORD", error type "Invalid external request".
constexpr int ERR_PATH_RECORD = 481;
constexpr int ERR_TYPE_INVALID_REQUEST = 34;
constexpr uint32_t MASTER_SLOT_BYTES = 4;
constexpr uint32_t CONV_RESULT_BYTES = 8;

std::atomic<uint8_t> logOutside;
// The sources above the calibration memory, handed in by the start-up.
std::atomic<const seramMeasChannelSource*> channelSource{nullptr};
std::atomic<void* (*)(uint32_t)> masterSource[2]{{nullptr}, {nullptr}}; // XCP, CCP master

void* masterSlot(uint32_t cls, uint32_t low) {
    auto get = masterSource[cls == MEAS_CLASS_XCPMR ? 0 : 1].load(std::memory_order_acquire);
    return get ? get(low) : nullptr;
}
std::atomic<uint8_t> logOutsideRange;

uintptr_t errorPattern() {
    return reinterpret_cast<uintptr_t>(seramErrorToggle);
}

void onErrorPattern(seramMeasHandle* h) {
    h->kind = SERAM_MEAS_MEMORY;
    h->source = errorPattern();
    h->size = SERAM_ERROR_BYTES;
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
        void* slot = masterSlot(cls, low);
        h->kind = SERAM_MEAS_MEMORY;
        h->source = reinterpret_cast<uintptr_t>(slot);
        h->size = MASTER_SLOT_BYTES;
        if (!slot) { // no such master channel
            onErrorPattern(h);
            report(measAddress);
        }
        return;
    }
    if (cls == MEAS_CLASS_CHANNEL) {
        void* value = nullptr;
        uint32_t size = 0;
        const seramMeasChannelSource* src = channelSource.load(std::memory_order_acquire);
        void* channel = src ? src->setup(low, raster, &value, &size) : nullptr;
        if (channel && value) {
            h->kind = SERAM_MEAS_CHANNEL;
            h->source = reinterpret_cast<uintptr_t>(value);
            h->size = size;
            h->channel = channel;
        } else {
            if (channel) src->shutdown(channel);
            onErrorPattern(h);
            report(measAddress);
        }
        return;
    }
    if (low < CONV_ADDR_FLAG) {
        h->kind = SERAM_MEAS_MEMORY;
        if (low > SERAM_BLOCK_SIZE) {
            h->source = errorPattern();
            h->size = SERAM_ERROR_BYTES;
            if (syslogx_floodcheck(&logOutsideRange))
                syslogx(LOG_ERR, "seramMeasSetupMeas(): Address: 0x%x outside seram range %X...%X",
                        measAddress, static_cast<unsigned>(reinterpret_cast<uintptr_t>(seram_memory)),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(seram_memory + SERAM_BLOCK_SIZE)));
            error_mgr_set(ERR_PATH_RECORD, ERR_TYPE_INVALID_REQUEST, 1);
        } else {
            // The block is the object: a value ends at its end (which itself holds none).
            h->source = reinterpret_cast<uintptr_t>(seram_memory + low);
            h->size = SERAM_BLOCK_SIZE - low;
        }
        return;
    }
    if (convCheckAdr(low)) {
        h->kind = SERAM_MEAS_CONV;
        h->source = low;
        h->size = CONV_RESULT_BYTES;
        return;
    }
    onErrorPattern(h);
    report(measAddress);
}

bool seramMeasFits(const seramMeasHandle* h, uint32_t size) {
    return h && size <= h->size;
}

void seramMeasCopy(void* dst, uint32_t size, const seramMeasHandle* h) {
    if (h->kind == SERAM_MEAS_CONV) { // the conversion fills what lies beyond its result with 0
        convMeasCopy(static_cast<uint32_t>(h->source), dst, size);
        return;
    }
    const uint32_t n = size <= h->size ? size : h->size;
    if (n) seramMeasLoadValue(dst, reinterpret_cast<const void*>(h->source), n);
    if (n < size) std::memset(static_cast<uint8_t*>(dst) + n, 0, size - n);
}

void seramMeasCopy_bigEndian(void* dst, uint32_t size, const seramMeasHandle* h) {
    seramMeasCopy(dst, size, h);
    if (size == 2 || size == 4 || size == 8) reverse(static_cast<uint8_t*>(dst), size);
}

uint16_t seramMeasGetLatency(const seramMeasHandle* h) {
    if (!h || h->kind != SERAM_MEAS_CHANNEL) return 0;
    const seramMeasChannelSource* src = channelSource.load(std::memory_order_acquire);
    return src ? src->latency(h->channel) : 0;
}

void seramMeasFreeMeas(seramMeasHandle* h) {
    if (!h || h->kind != SERAM_MEAS_CHANNEL) return;
    if (const seramMeasChannelSource* src = channelSource.load(std::memory_order_acquire))
        src->shutdown(h->channel);
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

void seramMeasSetChannelSource(const seramMeasChannelSource* src) {
    channelSource.store(src, std::memory_order_release);
}

void seramMeasSetMasterSource(uint32_t cls, void* (*getAddr)(uint32_t address)) {
    if (cls == MEAS_CLASS_XCPMR || cls == MEAS_CLASS_CCPMR)
        masterSource[cls == MEAS_CLASS_XCPMR ? 0 : 1].store(getAddr, std::memory_order_release);
}

void seramMeas_reset() {
    logOutside = 0;
    logOutsideRange = 0;
}
