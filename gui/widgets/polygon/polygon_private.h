// Inside the polygon: one point turned about a centre with the toolkit's sine table.
#pragma once

#include "gui/widgets/polygon/polygon.h"

// The point p turned by `degrees` (counter-clockwise on the screen) about (cx, cy).
GuiPoint GuiRotatePoint(GuiPoint p, int cx, int cy, int degrees);
