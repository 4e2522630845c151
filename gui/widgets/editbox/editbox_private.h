// Inside the edit box: its cursor colour and the order of two text positions.
#pragma once

#include "gui/widgets/editbox/editbox.h"

constexpr uint32_t EDIT_CURSOR_COLOUR = 0x0000FF;

// True when a lies before b in the text (the lower row first, then the lower column).
inline bool GuiCursorBefore(const CURSOR_POS& a, const CURSOR_POS& b) {
    return a.row < b.row || (a.row == b.row && a.col < b.col);
}
