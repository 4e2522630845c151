// Charts and strip charts.
#include "gui/widgets/chart/chart_private.h"
#include "gui/widgets/stripchart/stripchart_private.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/widget_fixture.h"

#include <algorithm>
#include <climits>
#include <new>
#include <set>

namespace {

bool gFailNothrowNew = false;

} // namespace

// Lets a test make every nothrow allocation fail.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    if (gFailNothrowNew) return nullptr;
    try {
        return ::operator new(n);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using Charts = widgettest::WidgetTest;

TEST_F(Charts, DataMapsToTheRegionWithEightFractionalBits) {
    const GuiRect region(10, 20, 110, 120); // 99 steps across and down
    const struct {
        GuiChartRange range;
        int64_t x, y;
        GuiPoint expected;
    } cases[] = {
        {{0, 100, 0, 100}, 0, 0, GuiPoint(10, 120)},
        {{0, 100, 0, 100}, 100, 100, GuiPoint(109, 21)},
        {{0, 100, 0, 100}, 50, 25, GuiPoint(59, 96)},               // 49.5 and 24.75 truncated
        {{5, 5, 9, 3}, 70, 70, GuiPoint(10, 120)},                  // empty ranges: left and bottom edge
        {{INT_MIN, INT_MAX, 0, 1}, INT_MAX, 0, GuiPoint(109, 120)}, // no 32-bit overflow
        {{0, 1, 0, 1}, INT_MAX, INT_MAX, GuiPoint(32767, -32768)},  // held within 16 bits
    };
    for (const auto& c : cases)
        EXPECT_EQ(GuiChartDataToPoint(region, c.range, c.x, c.y), c.expected) << c.x << ", " << c.y;
    // Back from the screen: offsets from the minima, so the left edge is 0, not the minimum.
    int32_t x = -1, y = -1;
    GuiChartPointToData(region, {1000, 1100, 0, 100}, GuiPoint(10, 120), &x, &y);
    EXPECT_EQ(std::tuple(x, y), std::tuple(0, 0));
    GuiChartPointToData(region, {1000, 1100, 0, 100}, GuiPoint(110, 20), &x, &y);
    EXPECT_EQ(std::tuple(x, y), std::tuple(98, 98)); // 25600 / 101 = 253; 100 x 253 >> 8
}

TEST_F(Charts, LineIdsAreTheLowestFreeAndAFailedLineTakesNone) {
    GuiMultiLineChart chart(GuiRect(0, 0, 99, 99), 0, 10, 0, 10, 1, 1);
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(chart.AddLine(0xFF), id);
    EXPECT_EQ(chart.RemoveLine(2), 1);
    EXPECT_EQ(std::tuple(chart.RemoveLine(2), chart.RemoveLine(0)), std::tuple(0, 0));
    gFailNothrowNew = true;
    const int failed = chart.AddLine(4);
    gFailNothrowNew = false;
    EXPECT_EQ(failed, 0) << "no line was made";
    EXPECT_EQ(chart.AddLine(5), 2);
    int taken = 3;
    while (chart.AddLine(6))
        ++taken;
    EXPECT_EQ(taken, 255) << "ids 1 to 255, then 0";
    EXPECT_EQ(chart.AddPoint(0, 1, 1, 1), nullptr) << "a point for an id that no line has";
}

TEST_F(Charts, PointsInsertAfterTheirPredecessorAndRemoveKeepsTheRest) {
    GuiLineChart chart(GuiRect(0, 0, 100, 100), 0, 100, 0, 100, 10, 10);
    GuiChartPoint* first = chart.InsertPoint(nullptr, 0, 0); // into an empty line: the first
    EXPECT_EQ(std::tuple(chart.mpFirst, first->pos), std::tuple(first, GuiPoint(0, 100)));
    GuiChartPoint* last = chart.AddPoint(100, 100);
    GuiChartPoint* mid = chart.InsertPoint(first, 50, 50);
    EXPECT_EQ(std::tuple(first->pNext, mid->pNext), std::tuple(mid, last));
    chart.RemovePoint(first);
    EXPECT_EQ(chart.mpFirst, mid);
    GuiChartPoint stranger(1, 1, nullptr);
    chart.RemovePoint(&stranger); // not in the line: nothing
    EXPECT_EQ(std::tuple(chart.mpFirst, mid->pNext, last->pNext), std::tuple(mid, last, nullptr));
}

// The chart region is the client less: the major tic length below for X tics, left (and right with
// 0x0400) for Y tics; for Y labels half the text height (rounded up) at the top and, without X
// labels, at the bottom, and the wider text of the Y range + 2 at the left (and right with 0x0800),
// or a given label width at the left only; for X labels half the maximum's text (rounded up) at the
// right, half the minimum's at the left without Y labels, and the label height (0: the text height)
// at the bottom unless the axis stands at zero.
TEST_F(Charts, TicsAndLabelsTakeTheirRoomFromTheRegion) {
    GuiLineChart chart(GuiRect(100, 50, 500, 350), -5, 1000, -1000, 50, 10, 10);
    const GuiRect c = chart.mClient;
    auto tw = [&](const char* t) { return screen->TextWidth(t, chart.mpFont); };
    const int th = screen->TextHeight("0", chart.mpFont), h = (th + 1) / 2,
              wy = std::max(tw("-1000"), tw("50"));
    const int hx = (tw("1000") + 1) / 2, lx = (tw("-5") + 1) / 2;
    const struct {
        uint16_t style;
        int yLabelWidth, xLabelHeight;
        GuiRect region;
    } cases[] = {
        {CS_Y_LABELS, 0, 0, GuiRect(c.left + wy + 2, c.top + h, c.right, c.bottom - h)},
        {CS_Y_LABELS | CS_RIGHT_Y_LABELS, 0, 0,
         GuiRect(c.left + wy + 2, c.top + h, c.right - wy - 2, c.bottom - h)},
        {CS_Y_LABELS | CS_RIGHT_Y_LABELS | CS_Y_TICS | CS_RIGHT_Y_TICS, 0, 0,
         GuiRect(c.left + 12 + wy + 2, c.top + h, c.right - 12 - wy - 2, c.bottom - h)},
        {CS_Y_LABELS | CS_RIGHT_Y_LABELS, 30, 0, GuiRect(c.left + 30, c.top + h, c.right, c.bottom - h)},
        {CS_X_LABELS, 0, 0, GuiRect(c.left + lx, c.top, c.right - hx, c.bottom - th)},
        {CS_X_LABELS, 0, 5, GuiRect(c.left + lx, c.top, c.right - hx, c.bottom - 5)},
        {CS_X_LABELS | CS_X_AXIS_AT_ZERO, 0, 5, GuiRect(c.left + lx, c.top, c.right - hx, c.bottom)},
        {CS_X_LABELS | CS_Y_LABELS | CS_X_TICS, 0, 0,
         GuiRect(c.left + wy + 2, c.top + h, c.right - hx, c.bottom - 12 - th)},
    };
    for (const auto& k : cases) {
        chart.mChartStyle = k.style;
        chart.mYLabelWidth = k.yLabelWidth;
        chart.mXLabelHeight = k.xLabelHeight;
        chart.RecalcLayout(0);
        EXPECT_EQ(chart.ChartRegion(), k.region) << "style " << std::hex << k.style;
    }
}

TEST_F(Charts, AnXTicStepOf0DrawsNoXTicsWhateverTheStyle) {
    for (unsigned step : {0u, 10u}) {
        auto* chart = new GuiLineChart(GuiRect(100, 100, 400, 300), 0, 100, 0, 100, step, 10);
        chart->mChartStyle = CS_X_GRID | CS_X_TICS | CS_X_LABELS;
        chart->RecalcLayout(0);
        desk->Add(chart, 1);
        flush();
        const GuiRect r = chart->ChartRegion();
        EXPECT_EQ(shownAt(r.left, r.bottom + 5), step ? GUI_WHITE : GUI_BLACK) << "step " << step;
        desk->Destroy(chart);
    }
}

// Tics stand where the mapping puts their values: x = L + ((R - L - 1) f >> 8) with
// f = ((v - min) << 8) / (max - min), y likewise up from the bottom; one line for each pixel, however
// many values fall on it.
TEST_F(Charts, TicsStandWhereTheirValuesMapOnePerPixel) {
    const struct {
        long min, max;
        unsigned step;
    } cases[] = {{0, 1000, 7}, {0, 2000000, 1}, {INT_MIN + 1, INT_MAX, 1}};
    for (const auto& c : cases) {
        auto* chart =
            new GuiLineChart(GuiRect(100, 50, 700, 450), c.min, c.max, c.min, c.max, c.step, c.step);
        chart->mChartStyle = CS_X_TICS | CS_Y_TICS;
        chart->RecalcLayout(0);
        desk->Add(chart, 1);
        flush();
        const GuiRect r = chart->ChartRegion();
        std::set<int> xs, ys, shownX, shownY;
        auto mark = [&](int64_t f) {
            xs.insert(static_cast<int>(r.left + (((r.right - r.left - 1) * f) >> 8)));
            ys.insert(static_cast<int>(r.bottom - (((r.bottom - r.top - 1) * f) >> 8)));
        };
        const int64_t range = int64_t{c.max} - c.min;
        if (range / c.step < 10000000)
            for (int64_t v = c.min; v <= c.max; v += c.step)
                mark(((v - c.min) << 8) / range);
        else
            for (int64_t f = 0; f <= 256; ++f) // steps far below range / 256 meet every f
                mark(f);
        for (int x = r.left; x <= r.right; ++x)
            if (shownAt(x, r.bottom + 1) == GUI_WHITE) shownX.insert(x);
        for (int y = r.top; y <= r.bottom; ++y)
            if (shownAt(r.left - 1, y) == GUI_WHITE) shownY.insert(y);
        EXPECT_EQ(std::tuple(shownX, shownY), std::tuple(xs, ys))
            << c.min << ".." << c.max << " by " << c.step;
        desk->Destroy(chart);
    }
}

TEST_F(Charts, OneSegmentPerPairOfPointsAndLinesFollowAMovedWindow) {
    auto* box = new GuiWindow(GuiRect(50, 50, 350, 250), FF_NONE);
    desk->Add(box, 1);
    auto* chart = new GuiLineChart(GuiRect(60, 60, 260, 160), 0, 200, 0, 100, 0, 0);
    box->Add(chart, 1);
    chart->AddPoint(0, 50);
    GuiRedraw(chart);
    flush();
    const GuiPoint a = chart->mpFirst->pos;
    EXPECT_EQ(shownAt(a.x + 20, a.y), GUI_BLACK) << "a single point draws nothing";
    chart->AddPoint(200, 50);
    GuiRedraw(chart);
    flush();
    EXPECT_EQ(shownAt(a.x + 20, a.y), 0x00FF00u);
    box->Resize(GuiRect(150, 100, 450, 300));
    EXPECT_EQ(chart->mpFirst->pos, GuiPoint(a.x + 100, a.y + 50));
}

TEST_F(Charts, RangesAtTheLimitsAndReversedOnesDrawInBoundedTime) {
    const struct {
        long minX, maxX, minY, maxY;
    } cases[] = {
        {100, 0, 0, 10}, {INT_MAX - 20, INT_MAX, INT_MAX - 20, INT_MAX}, {INT_MIN, INT_MIN + 9, -5, 5}};
    for (const auto& c : cases) {
        auto* chart = new GuiMultiLineChart(GuiRect(10, 10, 600, 400), c.minX, c.maxX, c.minY, c.maxY, 7, 7);
        chart->mMinorXStep = chart->mMinorYStep = 3;
        chart->mChartStyle = 0xFC0F; // every grid, tic, label and fill bit
        chart->RecalcLayout(0);
        desk->Add(chart, 1);
        chart->AddPoint(chart->AddLine(0xFF), c.maxX, c.maxY, 1);
        desk->Destroy(chart);
    }
}

// ---- strip chart ----------------------------------------------------------------------------

TEST_F(Charts, TheRingWrapsAfterNSamples) {
    GuiStripChart chart(GuiRect(0, 0, 200, 100), 5, -10, 10, 1, 5);
    const uint8_t id = chart.AddLine(1, 2, 3);
    const struct {
        int samples;
        uint32_t head, tail;
        int wrapped;
    } cases[] = {{1, 1, 2, 0}, {4, 4, 0, 0}, {5, 0, 1, 1}, {6, 1, 2, 1}};
    int added = 0;
    for (const auto& c : cases) {
        for (; added < c.samples; ++added)
            chart.AddData(id, added + 1, 0);
        const GuiStripChartLine* l = chart.GetLineByID(id);
        EXPECT_EQ(std::tuple(l->mHead, l->mTail, l->mWrapped), std::tuple(c.head, c.tail, c.wrapped))
            << c.samples << " samples";
    }
    EXPECT_EQ(std::tuple(chart.AddData(9, 1, 1), chart.GetLineColor(9), chart.GetLineLeaderColor(id)),
              std::tuple(0, 0xFFFFFFFFu, 1u));
    GuiStripChart empty(GuiRect(0, 0, 200, 100), 0, -10, 10, 1, 5); // no samples: nothing to hold
    EXPECT_EQ(empty.AddData(empty.AddLine(1, 2, 3), 5, 1), 0);
}

TEST_F(Charts, TheRepaintAtTheLastIndexReachesTheRightEnd) {
    GuiStripChart chart(GuiRect(0, 0, 300, 100), 5, -10, 10, 1, 5);
    const uint8_t id = chart.AddLine(1, 2, 3);
    for (int k = 0; k < 4; ++k)
        chart.AddData(id, k, 0);
    const GuiRect area = GuiStripSweepArea(chart, *chart.GetLineByID(id)); // head 4 = N - 1, tail 0
    EXPECT_EQ(std::tuple(area.left, area.right), std::tuple(chart.IndexToPointX(3), chart.IndexToPointX(5)));
    EXPECT_LT(area.left, area.right);
}

TEST_F(Charts, ASweepShowsNewTraceLeaderGapAndAgedTraceAxesAndLabelsStay) {
    const uint32_t fresh = 0x00FF00, aged = 0x006000;
    auto* chart = new GuiStripChart(GuiRect(100, 100, 500, 300), 10, -100, 100, 1, 50);
    desk->Add(chart, 1);
    const uint8_t id = chart->AddLine(fresh, aged, 0);
    for (int k = 0; k < 13; ++k) // wrapped, then three more: head 3
        chart->AddData(id, 0, 1);
    const GuiRect r = chart->ChartRegion();
    auto x = [&](int k) { return chart->IndexToPointX(k); };
    const int y = chart->ValToPointY(0);
    for (int full = 0; full < 2; ++full) {
        if (full) GuiRedraw(chart);
        flush();
        EXPECT_EQ(std::tuple(shownAt(x(1), y), shownAt(x(3), y - 20), shownAt(x(4), y), shownAt(x(7), y)),
                  std::tuple(fresh, fresh, GUI_BLACK, aged))
            << (full ? "drawn whole" : "repainted sample by sample");
        EXPECT_EQ(shownAt(r.left, y - 20), GUI_WHITE) << "the Y axis";
        int labelPixels = 0;
        for (int px = chart->mReal.left; px < r.left - 12; ++px)
            for (int py = r.top - 7; py <= r.bottom + 7; ++py)
                labelPixels += shownAt(px, py) == GUI_WHITE;
        EXPECT_GT(labelPixels, 20) << "the Y labels";
    }
}

} // namespace
