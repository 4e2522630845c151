// Inside the title bar: its height for a font.
#pragma once

#include "gui/widgets/title/title.h"

// Font height + 2, at least 18 pixels.
int GuiTitleHeightFor(const GuiFont* font);
