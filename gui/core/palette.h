// The screen's default palette and the indexes of its standard colours.
#pragma once

#include <cstdint>

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
