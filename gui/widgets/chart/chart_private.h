// Inside the charts: the mapping between data and the chart region, and the point lists.
#pragma once

#include "gui/widgets/chart/chart.h"

struct GuiChartRange {
    int32_t minX, maxX, minY, maxY;
};

// Data to screen in integers with 8 fractional bits; an empty range maps to the left or bottom edge.
GuiPoint GuiChartDataToPoint(const GuiRect& region, const GuiChartRange& range, int64_t x, int64_t y);
// Screen to data, as offsets from the minima.
void GuiChartPointToData(const GuiRect& region, const GuiChartRange& range, GuiPoint p, int32_t* x,
                         int32_t* y);

// A new point after `after`, or at the end when `after` is not in the list; null when out of memory.
GuiChartPoint* GuiChartInsert(GuiChartPoint*& first, GuiChartPoint* after, long x, long y);
// Unlinks and deletes the point; false when it is not in the list.
bool GuiChartRemove(GuiChartPoint*& first, GuiChartPoint* point);
void GuiChartClear(GuiChartPoint*& first);
GuiChartPoint* GuiChartPredecessor(GuiChartPoint* first, const GuiChartPoint* point);
// A segment from each point to the next; with a fill colour also the area down to Y = 0.
void GuiChartDrawPoints(GuiChart* chart, GuiChartPoint* first, const GuiColor& line, const GuiColor* fill);
