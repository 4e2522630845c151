// Inside the dials: the value-to-angle mappings and the point at an angle.
#pragma once

#include "gui/widgets/dial/dial.h"

// Circular: one revolution spans valuesPerRev - 1 units, clockwise from the reference angle; with
// fewer than 2 values per revolution the needle stays at the reference angle.
int GuiCircularAngle(int refAngle, long valuesPerRev, long minimum, long value);
// Finite: from the start angle towards the end angle over maximum - minimum - 1 units; a range
// with maximum - minimum - 1 = 0 keeps the needle at the start angle.
int GuiFiniteAngle(int startAngle, int endAngle, long minimum, long maximum, long value);
// The point at `angle` and `distance` from the centre, with the toolkit's sine table.
GuiPoint GuiDialPoint(GuiPoint centre, int angle, long distance);
