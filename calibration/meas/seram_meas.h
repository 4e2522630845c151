// Measurement handles: a measurement address resolved once, so that cyclic copies only copy.
//
// Measurement handles: a meas_address turned once into where its bytes come from, so that
// the cyclic copies of the measurement server and the XCP DAQ engine only copy. An address
// that does not resolve gives a handle on the error pattern, never a failure.
#pragma once

#include "calibration/block/word.h"

#include <cstdint>

enum seramMeasKind : uint32_t {
    SERAM_MEAS_MEMORY = 1,  // plain bytes in this process
    SERAM_MEAS_CONV = 2,    // entry of a virtual conversion table
    SERAM_MEAS_CHANNEL = 3, // channel-function output (plain bytes, held by the function)
};

// Values that other tasks write (calibration/block/word.h): each in one relaxed atomic access.
inline void seramMeasLoadValue(void* dst, const void* src, uint32_t size) {
    seram_word::value(dst, src, size, false);
}
inline void seramMeasStoreValue(void* dst, const void* src, uint32_t size) {
    seram_word::value(dst, src, size, true);
}

// Source classes in bits 18 to 23 of a meas_address.
constexpr uint32_t MEAS_CLASS_XCPMR = 28;
constexpr uint32_t MEAS_CLASS_CCPMR = 29;
constexpr uint32_t MEAS_CLASS_CHANNEL = 31;

struct seramMeasHandle {
    uintptr_t source; // value address (kinds 1 and 3), virtual conversion-table address (kind 2)
    uint32_t kind;
    // Bytes of the object from source on (kind 2: the 8 bytes a conversion result is held in).
    uint32_t size;
    void* channel; // the channel function's measurement (kind 3)
};

void seramMeasClearHandle(seramMeasHandle* h);
// raster: the raster index of the copies (channel-function outputs are computed for it).
void seramMeasSetupMeas(uint32_t measAddress, uint16_t raster, seramMeasHandle* h);
// Whether a value of `size` bytes lies within the object the handle names. Callers refuse at
// set-up what does not fit: an address names an object, not the memory behind it.
bool seramMeasFits(const seramMeasHandle* h, uint32_t size);
// Copies `size` bytes of the current value; bytes beyond the object read as 0, none is read.
void seramMeasCopy(void* dst, uint32_t size, const seramMeasHandle* h);
// The same, with a value of 2, 4 or 8 bytes reversed into big-endian order.
void seramMeasCopy_bigEndian(void* dst, uint32_t size, const seramMeasHandle* h);
uint16_t seramMeasGetLatency(const seramMeasHandle* h);
// Ends a channel-function measurement; the handle is cleared, so a second free does nothing.
void seramMeasFreeMeas(seramMeasHandle* h);
uintptr_t seramMeasGetAddr(const seramMeasHandle* h);
// meas_address of a byte of the calibration block (own PID in bits 24 to 31), 0 outside it.
uint32_t seramConvertAddr2SeramAddr(const void* physAddr);

// The sources of classes 28, 29 and 31 live above the calibration memory; the start-up hands
// them in. Without them their addresses resolve to the error pattern.
struct seramMeasChannelSource {
    // A nonzero measurement of output vcId with the value's address in *valueAddr and its
    // width in bytes in *valueSize, or null.
    void* (*setup)(uint32_t vcId, uint16_t raster, void** valueAddr, uint32_t* valueSize);
    uint16_t (*latency)(void* measurement);
    int (*shutdown)(void* measurement);
};
void seramMeasSetChannelSource(const seramMeasChannelSource* source);
// getAddr: the value slot, one 32-bit word, of a master channel (slot number in bits 0 to 11),
// null when none.
void seramMeasSetMasterSource(uint32_t measClass, void* (*getAddr)(uint32_t address));

// Tests: log counters afresh (the sources stay).
void seramMeas_reset();
