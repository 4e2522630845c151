// What the gallery's scene files share with its main file.
#pragma once

#include "gui/window/window.h"

// A fresh desk over the whole display, in the colour; the scene builds on it.
GuiWindow* galleryDesk(uint32_t colour);
// Draws everything and flushes the frame.
void galleryShow();

// Charts and strip charts.
void galleryCharts();
// Dials, scales, polygons and animations.
void galleryDials();
