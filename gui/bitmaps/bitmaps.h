// The toolkit's built-in bitmaps.
#pragma once

#include <cstdint>

#include "gui/core/palette.h"
#include "gui/core/types.h"

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
