// Integer helpers of the controls that map values to pixels or lay out coordinates: values are 32-bit,
// products are taken in 64 bits, and a result that becomes a coordinate is held within the 16-bit range.
#pragma once

#include <cstdint>

#include "gui/core/types.h"

constexpr int16_t GuiClamp16(int64_t v) {
    return static_cast<int16_t>(v < INT16_MIN ? INT16_MIN : v > INT16_MAX ? INT16_MAX : v);
}

// A rectangle whose edges are computed in 64 bits, each held within the 16-bit range.
constexpr GuiRect GuiClampRect(int64_t left, int64_t top, int64_t right, int64_t bottom) {
    return GuiRect(GuiClamp16(left), GuiClamp16(top), GuiClamp16(right), GuiClamp16(bottom));
}

constexpr int32_t GuiClamp32(int64_t v) {
    return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}

// How many of the values first, first + step, first + 2 x step ... do not pass last: 0 for a step
// of 0 or below and for last < first. Loops run on this count, so none runs past the type's end.
constexpr int64_t GuiStepCount(int64_t first, int64_t last, int64_t step) {
    return step <= 0 || last < first ? 0 : (last - first) / step + 1;
}

// A gauge's value set to v within [min, max]; false when nothing changes (v is the value, or v
// lies beyond a bound the value already sits on).
constexpr bool GuiSetWithin(int32_t& value, int64_t v, int32_t min, int32_t max) {
    if (v == value || (v < min && value == min) || (v > max && value == max)) return false;
    value = static_cast<int32_t>(v < min ? min : v > max ? max : v);
    return true;
}

// A gauge's value moved by delta and held within [min, max]; false only when it sits on the
// bound it would pass.
constexpr bool GuiStepWithin(int32_t& value, int64_t delta, int32_t min, int32_t max) {
    const int64_t n = value + delta;
    if (n <= min) {
        if (value == min) return false;
        value = min;
    } else if (n >= max) {
        if (value == max) return false;
        value = max;
    } else {
        value = static_cast<int32_t>(n);
    }
    return true;
}
