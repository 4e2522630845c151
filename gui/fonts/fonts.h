// The toolkit's built-in fonts (generated at build time from DejaVu by tools/fontgen).
#pragma once

#include "gui/core/types.h"

extern GuiFont SysFont;  // DejaVu Sans Bold, 16-pixel lines
extern GuiFont MenuFont; // DejaVu Sans, 13-pixel lines

bool GuiIsBuiltInFont(const GuiFont* font);
