// What the measurement server's handlers are made of, for its tests.
#pragma once

#include "calibration/meascalinfo/meascalinfo.h"

#include <cstddef>
#include <cstdint>

// The most values a list by names holds: their 20-byte records fill the 0x0511 reply.
constexpr size_t MEAS_NAMES_MAX = 23;

// A requested name that resolved to a value: its address, the name's index in the request.
struct MeasNameValue {
    uint32_t address;
    uint16_t index;
    const meascalinfo_t* info;
    uint32_t size;
};
// The first `count` NUL-ended names of the region that name variables of 1, 2 or 4 bytes (an
// element as "name[i]"), at most MEAS_NAMES_MAX; the others are logged and skipped.
size_t meas_man_resolve_names(const char* names, size_t length, uint16_t count, MeasNameValue* out);
