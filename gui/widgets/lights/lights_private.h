// Inside the lights: a state table resized with its entries kept.
#pragma once

#include <cstdint>
#include <new>

#include "gui/widgets/lights/lights.h"

// A new zeroed table of n entries holding the first entries of `old` (which is freed).
template <typename T> T* GuiResizeStateTable(T* old, uint32_t oldCount, uint32_t n) {
    T* t = new (std::nothrow) T[n]();
    if (!t) return old;
    for (uint32_t i = 0; old && i < oldCount && i < n; ++i)
        t[i] = old[i];
    delete[] old;
    return t;
}
