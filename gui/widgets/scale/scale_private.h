// Inside the scales: the value-to-position mapping.
#pragma once

#include "gui/widgets/scale/scale.h"

// The coordinate along the track of a value: over maximum - minimum - 1 units from the minimum's
// end (start with SS_MIN_AT_START, else end) towards the other; a range with maximum - minimum - 1
// = 0 keeps the needle at the minimum's end.
int GuiScaleTravel(int start, int end, long minimum, long maximum, long value, uint16_t style);
