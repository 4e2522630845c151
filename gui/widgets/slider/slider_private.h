// Inside the slider: the arithmetic of the knob's travel, its position for a value, the value for
// a position, snapping and the scale's ticks. Products in 64 bits; a range of 0 divides nothing.
#pragma once

#include "gui/widgets/slider/slider.h"

// The knob's travel along the track of client area `c`: its leading edge runs from low to high - 7.
void GuiSliderTravel(const GuiRect& c, bool vertical, int* low, int* high);
// Leading edge of the knob for a value (low for an empty range).
int GuiSliderPosition(int low, int high, int min, int max, int value);
// Value of a leading edge (min for an empty range or travel).
int GuiSliderValueAt(int lead, int low, int high, int min, int max);
// The value `v` (offset from min along the track) snapped to the scale and kept in the range.
int GuiSliderSnap(int64_t v, int min, int max, int scale);
// Number of ticks of the scale (0 without ticks).
int GuiSliderTicks(int min, int max, int scale);
// Position of tick i in eighths of a pixel, for a track `length` long starting at `start`.
int GuiSliderTickAt(int start, int length, int count, int i);
