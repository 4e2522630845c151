// Inside the spreadsheet: its fonts, its scroll bars' size and the growing and shrinking of its
// per-row and per-column arrays.
#pragma once

#include <new>

#include "gui/widgets/spreadsheet/spreadsheet.h"

constexpr int SHEET_CELL_FONT_SLOT = 11;
constexpr int SHEET_HEADER_FONT_SLOT = 12;
constexpr int SHEET_BAR = GUI_SCROLL_SIZE;

// `array` of `count` entries replaced by one of `wanted`: an entry inserted (zeroed) at `at`, or
// the one at `removeAt` taken out. False, and the array kept, when memory is short.
template <typename T> bool GuiSheetResize(T*& array, int count, int wanted, int at, int removeAt = -1) {
    T* next = wanted > 0 ? new (std::nothrow) T[static_cast<size_t>(wanted)]() : nullptr;
    if (wanted > 0 && !next) return false;
    int j = 0;
    for (int i = 0; i < count; ++i) {
        if (i == removeAt) continue;
        if (j == at && removeAt < 0) ++j;
        if (j < wanted) next[j++] = array[i];
    }
    delete[] array;
    array = next;
    return true;
}
