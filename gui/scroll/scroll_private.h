// Scroll-bar arithmetic, shared by both bars and by their tests. Every product is taken in
// 64 bits: ranges near the 32-bit limits must not wrap.
#pragma once

#include <cstdint>

#include "gui/scroll/scroll.h"

struct GuiThumbSpan {
    int offset; // from the start of the bar's client area
    int length;
};

// Where the thumb lies in a client area of `clientLen` pixels along the bar.
GuiThumbSpan GuiScrollThumbSpan(const GuiScrollInfo& info, int clientLen, bool vertical);
// The value that a thumb of `thumbLen` pixels at `offset` stands for (before the limits).
int64_t GuiScrollValueAt(const GuiScrollInfo& info, int offset, int clientLen, int thumbLen);
// `current` brought into minimum .. maximum - visible + 1 (never below minimum).
int64_t GuiScrollLimit(const GuiScrollInfo& info, int64_t current);
