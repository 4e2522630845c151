// The toolkit's built-in bitmaps and its default palette.
#pragma once

#include <cstdint>

#include "gui/core/types.h"

// 256 red-green-blue triplets: 16 standard colours, the 6 x 6 x 6 cube (red fastest, steps
// of 51), 16 greys (steps of 17) and 8 black entries.
extern const uint8_t DefPalette256[768];

// Palette indexes of the standard colours.
enum : uint8_t {
    PAL_BLACK = 0,
    PAL_DARK_RED = 1,
    PAL_DARK_GREEN = 2,
    PAL_DARK_YELLOW = 3,
    PAL_DARK_BLUE = 4,
    PAL_DARK_MAGENTA = 5,
    PAL_DARK_CYAN = 6,
    PAL_LIGHT_GREY = 7,
    PAL_GREY = 8,
    PAL_RED = 9,
    PAL_GREEN = 10,
    PAL_YELLOW = 11,
    PAL_BLUE = 12,
    PAL_MAGENTA = 13,
    PAL_CYAN = 14,
    PAL_WHITE = 15,
    PAL_TRANSPARENT = 255,
};

// Title-bar buttons and the status bar's size grip (8-bit, transparent index 255).
extern GuiBitmap gbCloseButtonBitmap;
extern GuiBitmap gbSysButtonBitmap;
extern GuiBitmap gbMinButtonBitmap;
extern GuiBitmap gbMaxButtonBitmap;
extern GuiBitmap gbRestoreButtonBitmap;
extern GuiBitmap gbDragBitmap;
// Arrows, marks and the scroll-bar trough pattern.
extern GuiBitmap gbUpArrowBitmap;
extern GuiBitmap gbDownArrowBitmap;
extern GuiBitmap gbLeftArrowBitmap;
extern GuiBitmap gbMoreBitmap;  // 4 x 7, also the right arrow
extern GuiBitmap gbCheckBitmap; // 7 x 7
extern GuiBitmap gbDotBitmap;   // 6 x 6
extern GuiBitmap gbMixPatternBitmap;
// 8-bit RLE bitmaps (generated): the window icon and the 640 x 480 boot logo.
extern GuiBitmap gbWinIconBitmap;
extern GuiBitmap gbBootLogoBitmap;
