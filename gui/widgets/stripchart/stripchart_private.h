// Inside the strip chart: the area a new sample repaints.
#pragma once

#include "gui/widgets/stripchart/stripchart.h"

// Sweep mode, after a sample at head > 0: from the previous sample to the sample after the head,
// over the chart's height (at the last index the right end of the axis, not the oldest sample).
GuiRect GuiStripSweepArea(const GuiStripChart& chart, const GuiStripChartLine& line);
