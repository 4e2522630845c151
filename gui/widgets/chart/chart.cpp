#include "gui/widgets/chart/chart.h"
#include "gui/core/screen.h"
#include "gui/core/util.h"
#include "gui/fonts/fonts.h"
#include "gui/widgets/chart/chart_private.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"

#include <new>

// ---- mapping and point lists ----------------------------------------------------------------

GuiPoint GuiChartDataToPoint(const GuiRect& region, const GuiChartRange& range, int64_t x, int64_t y) {
    const int64_t L = region.left, T = region.top, R = region.right, B = region.bottom;
    const int64_t f =
        range.maxX != range.minX ? (x - range.minX) * 256 / (int64_t{range.maxX} - range.minX) : 0;
    const int64_t g =
        range.maxY > range.minY ? (y - range.minY) * 256 / (int64_t{range.maxY} - range.minY) : 0;
    return GuiPoint(GuiClamp16((((R - L - 1) * f) >> 8) + L), GuiClamp16(B - (((B - T - 1) * g) >> 8)));
}

void GuiChartPointToData(const GuiRect& region, const GuiChartRange& range, GuiPoint p, int32_t* x,
                         int32_t* y) {
    const int64_t L = region.left, T = region.top, R = region.right, B = region.bottom;
    const int64_t f = R > L ? (p.x - L) * 256 / (R - L + 1) : 0;
    const int64_t g = B > T ? (B - p.y) * 256 / (B - T + 1) : 0;
    *x = GuiClamp32(((int64_t{range.maxX} - range.minX) * f) >> 8);
    *y = GuiClamp32(((int64_t{range.maxY} - range.minY) * g) >> 8);
}

GuiChartPoint* GuiChartInsert(GuiChartPoint*& first, GuiChartPoint* after, long x, long y) {
    GuiChartPoint** link = &first;
    while (*link && *link != after)
        link = &(*link)->pNext;
    if (*link) link = &(*link)->pNext; // found: behind it
    auto* p = new (std::nothrow) GuiChartPoint(x, y, *link);
    if (p) *link = p;
    return p;
}

bool GuiChartRemove(GuiChartPoint*& first, GuiChartPoint* point) {
    for (GuiChartPoint** link = &first; *link; link = &(*link)->pNext)
        if (*link == point) {
            *link = point->pNext;
            delete point;
            return true;
        }
    return false;
}

void GuiChartClear(GuiChartPoint*& first) {
    while (GuiChartPoint* p = first) {
        first = p->pNext;
        delete p;
    }
}

GuiChartPoint* GuiChartPredecessor(GuiChartPoint* first, const GuiChartPoint* point) {
    for (GuiChartPoint* p = first; p; p = p->pNext)
        if (p->pNext == point) return p;
    return nullptr;
}

void GuiChartDrawPoints(GuiChart* chart, GuiChartPoint* first, const GuiColor& line, const GuiColor* fill) {
    GuiScreen* s = GuiThing::mpScreen;
    if (!s || !first) return;
    const int zero = chart->DataToPoint(chart->mMinX, 0).y;
    for (GuiChartPoint* a = first; a->pNext; a = a->pNext) {
        const GuiChartPoint* b = a->pNext;
        s->Line(chart, a->pos.x, a->pos.y, b->pos.x, b->pos.y, line, 1);
        if (fill) {
            const GuiPoint area[5] = {a->pos, b->pos, GuiPoint(b->pos.x, zero), GuiPoint(a->pos.x, zero),
                                      a->pos};
            s->Polygon(chart, area, 5, *fill, 1);
        }
    }
}

uint8_t GuiChartIds::Take() {
    for (int id = 1; id < 256; ++id)
        if (!(words[id / 32] & (1u << (id % 32)))) {
            words[id / 32] |= 1u << (id % 32);
            return static_cast<uint8_t>(id);
        }
    return 0;
}

void GuiChartIds::Give(uint8_t id) {
    if (id) words[id / 32] &= ~(1u << (id % 32));
}

// ---- chart line -----------------------------------------------------------------------------

GuiChartLine::GuiChartLine(GuiChart* chart, unsigned char id, unsigned long colour)
    : mpChart(chart), mId(id), mLineColor(static_cast<uint32_t>(colour), 0, 0),
      mFillColor(static_cast<uint32_t>(colour), static_cast<uint32_t>(colour), GUI_COLOR_FILL) {}

GuiChartLine::~GuiChartLine() {
    ResetLine();
}

GuiChartPoint* GuiChartLine::AddPoint(long x, long y) {
    return InsertPoint(nullptr, x, y);
}

GuiChartPoint* GuiChartLine::InsertPoint(GuiChartPoint* after, long x, long y) {
    GuiChartPoint* p = GuiChartInsert(mpFirst, after, x, y);
    if (p && mpChart) mpChart->MapDataToPoint(p);
    return p;
}

void GuiChartLine::RemovePoint(GuiChartPoint* point) {
    GuiChartRemove(mpFirst, point);
}

void GuiChartLine::RecalcLine() {
    for (GuiChartPoint* p = mpFirst; p && mpChart; p = p->pNext)
        mpChart->MapDataToPoint(p);
}

void GuiChartLine::ResetLine() {
    GuiChartClear(mpFirst);
}

void GuiChartLine::Draw() {
    if (mpChart)
        GuiChartDrawPoints(mpChart, mpFirst, mLineColor,
                           (mpChart->mChartStyle & CS_FILL) ? &mFillColor : nullptr);
}

// ---- chart ----------------------------------------------------------------------------------

GuiChart::GuiChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xTicStep,
                   unsigned int yTicStep)
    : GuiThing(rect, 0, FF_NONE), mMinX(static_cast<int32_t>(minX)), mMaxX(static_cast<int32_t>(maxX)),
      mMinY(static_cast<int32_t>(minY)), mMaxY(static_cast<int32_t>(maxY)), mMajorXStep(xTicStep),
      mMajorYStep(yTicStep), mXLabelStep(xTicStep), mYLabelStep(yTicStep), mpFont(&MenuFont) {
    mColors[0] = GUI_BLACK;
    mColors[2] = GUI_SHADOW;
    mColors[3] = GUI_WHITE;
    mStatus |= PSF_VIEWPORT;
    InitClient();
    mRegion = mClient;
}

GuiPoint GuiChart::DataToPoint(long x, long y) const {
    return GuiChartDataToPoint(mRegion, GuiChartRange{mMinX, mMaxX, mMinY, mMaxY}, x, y);
}

void GuiChart::MapDataToPoint(GuiChartPoint* point) {
    if (point) point->pos = DataToPoint(point->xData, point->yData);
}

void GuiChart::MapPointToData(GuiChartPoint* point) {
    if (point)
        GuiChartPointToData(mRegion, GuiChartRange{mMinX, mMaxX, mMinY, mMaxY}, point->pos, &point->xData,
                            &point->yData);
}

void GuiChart::RecalcLayout(int redraw) {
    mRegion = mClient;
    const int textHeight = GuiFontHeight(mpFont);
    char text[72];
    auto width = [&](long v) { return GuiTextWidthOf(gui_ltoa(v, text, 10), mpFont); };
    if (mChartStyle & CS_X_TICS) mRegion.bottom = GuiClamp16(mRegion.bottom - mMajorTicLength);
    if (mChartStyle & CS_Y_TICS) {
        mRegion.left = GuiClamp16(mRegion.left + mMajorTicLength);
        if (mChartStyle & CS_RIGHT_Y_TICS) mRegion.right = GuiClamp16(mRegion.right - mMajorTicLength);
    }
    if (mChartStyle & CS_Y_LABELS) {
        const int h = (textHeight + 1) >> 1;
        mRegion.top = GuiClamp16(mRegion.top + h);
        if (!(mChartStyle & CS_X_LABELS)) mRegion.bottom = GuiClamp16(mRegion.bottom - h);
        if (mYLabelWidth) {
            mRegion.left = GuiClamp16(mRegion.left + mYLabelWidth);
        } else {
            const int a = width(mMinY), b = width(mMaxY), w = a > b ? a : b;
            mRegion.left = GuiClamp16(mRegion.left + w + 2);
            if (mChartStyle & CS_RIGHT_Y_LABELS) mRegion.right = GuiClamp16(mRegion.right - (w + 2));
        }
    }
    if (mChartStyle & CS_X_LABELS) {
        mRegion.right = GuiClamp16(mRegion.right - ((width(mMaxX) + 1) >> 1));
        if (!(mChartStyle & CS_Y_LABELS)) mRegion.left = GuiClamp16(mRegion.left + ((width(mMinX) + 1) >> 1));
        if (!(mChartStyle & CS_X_AXIS_AT_ZERO))
            mRegion.bottom = GuiClamp16(mRegion.bottom - (mXLabelHeight ? mXLabelHeight : textHeight));
    }
    if (redraw && Visible() && mpScreen) {
        mpScreen->Invalidate(mClient);
        Draw();
    }
}

void GuiChart::RecalcSize(const GuiRect& rect, int redraw) {
    GuiThing::Resize(rect);
    RecalcLayout(redraw);
}

void GuiChart::ParentShift(int dx, int dy) {
    mRegion.Shift(dx, dy);
    GuiThing::ParentShift(dx, dy);
}

int GuiChart::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_RESIZE:
    case 5: {
        GuiMessage resize = msg;
        resize.type = GM_RESIZE;
        GuiThing::Message(resize);
        RecalcLayout(1);
        return 0;
    }
    case GM_SHOW:
    case GM_PARENT_SIZED: {
        const int r = GuiThing::Message(msg);
        if ((mChartStyle & CS_FOLLOW_PARENT) && mpParent) RecalcSize(mpParent->mClient, 0);
        return r;
    }
    case GM_VSCROLL:
    case GM_HSCROLL:
        if (!(mChartStyle & CS_FOLLOW_PARENT) && mpParent) RecalcSize(mpParent->mClient, 0);
        return GuiThing::Message(msg);
    default:
        return GuiThing::Message(msg);
    }
}

GuiRect GuiChart::InvalidArea() const {
    if (!mpScreen) return GuiRect(0, 0, -1, -1);
    return mpScreen->InvalidCount() > 0 ? mpScreen->InvalidRect() : mpScreen->ScreenRect();
}

int GuiChart::XBase() const {
    return (mChartStyle & CS_X_AXIS_AT_ZERO) ? DataToPoint(mMinX, 0).y : mRegion.bottom;
}

void GuiChart::Line(int x1, int y1, int x2, int y2, uint32_t colour) {
    if (mpScreen) mpScreen->Line(this, x1, y1, x2, y2, GuiColor(colour, colour), 1);
}

void GuiChart::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    const bool xStep = mMajorXStep || mMinorXStep, yStep = mMajorYStep || mMinorYStep;
    if ((mChartStyle & CS_X_GRID) && xStep) DrawXGrid();
    if ((mChartStyle & CS_Y_GRID) && yStep) DrawYGrid();
    if ((mChartStyle & CS_X_TICS) && xStep) DrawXTics();
    if ((mChartStyle & CS_Y_TICS) && yStep) DrawYTics();
    if ((mChartStyle & CS_X_LABELS) && mXLabelStep) DrawXLabels();
    if ((mChartStyle & CS_Y_LABELS) && mYLabelStep) DrawYLabels();
    DrawChildren();
    mpScreen->EndDraw();
}

namespace {

// The steps 0 .. n - 1 of a tic, grid or label pass, one for each pixel they fall on: where many
// fall on one pixel (a range far wider than the chart) the others are passed over by halving, as
// the pixel moves one way only while the step grows. draw(k, pixel) for the first of each.
template <typename Pixel, typename Draw> void onePerPixel(int64_t n, Pixel pixel, Draw draw) {
    for (int64_t k = 0; k < n;) {
        const int p = pixel(k);
        draw(k, p);
        int64_t same = k, other = n;
        if (k + 1 < n && pixel(k + 1) != p) other = k + 1;
        while (other - same > 1) {
            const int64_t mid = same + (other - same) / 2;
            (pixel(mid) == p ? same : other) = mid;
        }
        k = other;
    }
}

} // namespace

void GuiChart::DrawXTics() {
    const int base = XBase();
    int last = mRegion.right; // where the axis ends when no tic is drawn
    const struct {
        uint32_t step;
        int length;
    } passes[] = {{mMinorXStep, mMinorTicLength}, {mMajorXStep, mMajorTicLength}};
    for (const auto& pass : passes) {
        onePerPixel(
            GuiStepCount(mMinX, mMaxX, pass.step),
            [&](int64_t k) { return int{DataToPoint(static_cast<long>(mMinX + k * pass.step), 0).x}; },
            [&](int64_t, int x) {
                last = x;
                Line(x, base, x, base + pass.length, mColors[3]);
            });
    }
    Line(mRegion.left, base, last, base, mColors[3]);
}

void GuiChart::DrawYTics() {
    int last = mRegion.top;
    const struct {
        uint32_t step;
        int length;
    } passes[] = {{mMinorYStep, mMinorTicLength}, {mMajorYStep, mMajorTicLength}};
    for (const auto& pass : passes) {
        onePerPixel(
            GuiStepCount(mMinY, mMaxY, pass.step),
            [&](int64_t k) { return int{DataToPoint(mMinX, static_cast<long>(mMinY + k * pass.step)).y}; },
            [&](int64_t, int y) {
                last = y;
                Line(mRegion.left, y, mRegion.left - pass.length, y, mColors[3]);
                if (mChartStyle & CS_RIGHT_Y_TICS)
                    Line(mRegion.right, y, mRegion.right + pass.length, y, mColors[3]);
            });
    }
    Line(mRegion.left, last, mRegion.left, mRegion.bottom, mColors[3]);
    if (mChartStyle & CS_RIGHT_Y_TICS) Line(mRegion.right, last, mRegion.right, mRegion.bottom, mColors[3]);
}

void GuiChart::DrawXGrid() {
    const GuiRect area = InvalidArea();
    const int top = DataToPoint(mMinX, mMaxY).y;
    const int skip = (mMajorYStep || mMinorYStep) ? 1 : 0; // the Y axis stands at the minimum
    for (uint32_t step : {mMinorXStep, mMajorXStep}) {
        if (!step) continue;
        const int64_t first = int64_t{mMinX} + skip * int64_t{step};
        onePerPixel(
            GuiStepCount(first, mMaxX, step),
            [&](int64_t k) { return int{DataToPoint(static_cast<long>(first + k * step), 0).x}; },
            [&](int64_t, int x) {
                if (GuiRect(x, top, x, mRegion.bottom).Overlap(area))
                    Line(x, top, x, mRegion.bottom, mColors[2]);
            });
    }
}

void GuiChart::DrawYGrid() {
    const GuiRect area = InvalidArea();
    const int right = DataToPoint(mMaxX, 0).x;
    const int skip = (mMajorXStep || (mMinorXStep && !(mChartStyle & CS_X_AXIS_AT_ZERO))) ? 1 : 0;
    for (uint32_t step : {mMinorYStep, mMajorYStep}) {
        if (!step) continue;
        const int64_t first = int64_t{mMinY} + skip * int64_t{step};
        onePerPixel(
            GuiStepCount(first, mMaxY, step),
            [&](int64_t k) { return int{DataToPoint(mMinX, static_cast<long>(first + k * step)).y}; },
            [&](int64_t, int y) {
                if (GuiRect(mRegion.left, y, right, y).Overlap(area))
                    Line(mRegion.left, y, right, y, mColors[2]);
            });
    }
}

void GuiChart::DrawXLabels() {
    const int64_t n = GuiStepCount(mMinX, mMaxX, mXLabelStep);
    if (n <= 0 || !mpScreen) return;
    const GuiRect area = InvalidArea();
    const int h = GuiFontHeight(mpFont), y = XBase() + 2 + mMajorTicLength;
    if (!GuiRect(mRegion.left + 1, y, mReal.right, y + h).Overlap(area)) return;
    const int64_t spacing = n > 1 ? (int64_t{mRegion.Width()} * 8) / (n - 1) : 0;
    // the Y axis stands at the first one
    const int64_t k0 = (mChartStyle & CS_X_AXIS_AT_ZERO) && (mChartStyle & CS_Y_TICS) ? 1 : 0;
    GuiColor colour(mColors[3], mColors[0], GUI_COLOR_FILL);
    char text[72];
    onePerPixel(
        n - k0,
        [&](int64_t i) { return static_cast<int>((int64_t{mRegion.left} * 8 + (k0 + i) * spacing) >> 3); },
        [&](int64_t i, int at) {
            gui_ltoa(static_cast<long>(mMinX + (k0 + i) * mXLabelStep), text, 10);
            const int w = (GuiTextWidthOf(text, mpFont) + 1) & ~1;
            int x = at - w / 2;
            if (x < mReal.left) x = mReal.left + 1;
            if (x + w > mReal.right) x = mReal.right - w - 1;
            if (GuiRect(x, y, x + w - 1, y + h - 1).Overlap(area))
                mpScreen->DrawText(this, GuiPoint(x, y), text, colour, mpFont);
        });
}

void GuiChart::DrawYLabels() {
    if (!mpScreen) return;
    const GuiRect area = InvalidArea();
    const bool right = mChartStyle & CS_RIGHT_Y_LABELS;
    const GuiRect leftBand(mClient.left, mClient.top, mRegion.left - mMajorTicLength - 1, mRegion.bottom);
    const GuiRect rightBand(mRegion.right + mMajorTicLength + 1, mClient.top, mClient.right, mClient.bottom);
    const GuiColor band(mColors[0], mColors[0], GUI_COLOR_FILL);
    mpScreen->Rectangle(this, leftBand, band, 0);
    if (right) mpScreen->Rectangle(this, rightBand, band, 0);
    if (!leftBand.Overlap(area) && !(right && rightBand.Overlap(area))) return;
    const int64_t n = GuiStepCount(mMinY, mMaxY, mYLabelStep);
    const int64_t spacing = n > 1 ? (int64_t{mRegion.Height()} * 8) / (n - 1) : 0;
    GuiColor colour(mColors[3], mColors[0], GUI_COLOR_FILL);
    const int h = GuiFontHeight(mpFont);
    char text[72];
    onePerPixel(
        n, [&](int64_t k) { return static_cast<int>((int64_t{mRegion.bottom} * 8 - k * spacing) >> 3); },
        [&](int64_t k, int at) {
            gui_ltoa(static_cast<long>(mMinY + k * mYLabelStep), text, 10);
            const int w = GuiTextWidthOf(text, mpFont);
            int y = at - h / 2;
            if (y < mReal.top) y = mReal.top + 1;
            if (y + h > mReal.bottom) y = mReal.bottom - h - 1;
            const int xs[2] = {mRegion.left - mMajorTicLength - w - 2, mRegion.right + mMajorTicLength + 2};
            for (int i = 0; i < (right ? 2 : 1); ++i)
                if (GuiRect(xs[i], y, xs[i] + w - 1, y + h - 1).Overlap(area))
                    mpScreen->DrawText(this, GuiPoint(xs[i], y), text, colour, mpFont);
        });
}

// ---- line chart -----------------------------------------------------------------------------

GuiLineChart::GuiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY,
                           unsigned int xTicStep, unsigned int yTicStep)
    : GuiChart(rect, minX, maxX, minY, maxY, xTicStep, yTicStep) {
    mType = TYPE_LINE_CHART;
}

GuiLineChart::~GuiLineChart() {
    GuiChartClear(mpFirst);
}

GuiChartPoint* GuiLineChart::AddPoint(long x, long y) {
    return InsertPoint(nullptr, x, y);
}

GuiChartPoint* GuiLineChart::InsertPoint(GuiChartPoint* after, long x, long y) {
    GuiChartPoint* p = GuiChartInsert(mpFirst, after, x, y);
    MapDataToPoint(p);
    return p;
}

void GuiLineChart::RemovePoint(GuiChartPoint* point) {
    GuiChartRemove(mpFirst, point);
}

void GuiLineChart::RecalcLine() {
    for (GuiChartPoint* p = mpFirst; p; p = p->pNext)
        MapDataToPoint(p);
}

void GuiLineChart::ResetLine() {
    GuiChartClear(mpFirst);
}

int GuiLineChart::Message(const GuiMessage& msg) {
    if (msg.type == GM_RESIZE || msg.type == 5) {
        RecalcLayout(1);
        return 0;
    }
    return GuiChart::Message(msg);
}

void GuiLineChart::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiChart::Draw();
    GuiChartDrawPoints(this, mpFirst, GuiColor(mLineColor, mLineColor), nullptr);
    mpScreen->EndDraw();
}

void GuiLineChart::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    RecalcLayout(0);
    RecalcLine();
}

// The points' screen positions move with the chart (a window moved by the pointer).
void GuiLineChart::ParentShift(int dx, int dy) {
    GuiChart::ParentShift(dx, dy);
    RecalcLine();
}

void GuiLineChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    if (redraw && Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}

// ---- multi-line chart -----------------------------------------------------------------------

GuiMultiLineChart::GuiMultiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY,
                                     unsigned int xTicStep, unsigned int yTicStep)
    : GuiChart(rect, minX, maxX, minY, maxY, xTicStep, yTicStep) {
    mType = TYPE_MULTI_LINE_CHART;
}

GuiMultiLineChart::~GuiMultiLineChart() {
    while (GuiChartLine* l = mpFirstLine) {
        mpFirstLine = l->mpNext;
        delete l;
    }
}

uint8_t GuiMultiLineChart::AddLine(unsigned long colour) {
    const uint8_t id = mIds.Take();
    if (!id) return 0;
    auto* line = new (std::nothrow) GuiChartLine(this, id, colour);
    if (!line) {
        mIds.Give(id);
        return 0;
    }
    GuiChartLine** link = &mpFirstLine;
    while (*link)
        link = &(*link)->mpNext;
    *link = line;
    return id;
}

int GuiMultiLineChart::RemoveLine(unsigned char id) {
    if (!id) return 0;
    for (GuiChartLine** link = &mpFirstLine; *link; link = &(*link)->mpNext)
        if ((*link)->mId == id) {
            GuiChartLine* line = *link;
            *link = line->mpNext;
            delete line;
            mIds.Give(id);
            return 1;
        }
    return 0;
}

GuiChartLine* GuiMultiLineChart::GetLineFromID(unsigned char id) {
    GuiChartLine* l = mpFirstLine;
    while (l && l->mId != id)
        l = l->mpNext;
    return l;
}

GuiChartPoint* GuiMultiLineChart::AddPoint(unsigned char id, long x, long y, int redraw) {
    return InsertPoint(id, nullptr, x, y, redraw);
}

GuiChartPoint* GuiMultiLineChart::InsertPoint(unsigned char id, GuiChartPoint* after, long x, long y,
                                              int redraw) {
    GuiChartLine* line = GetLineFromID(id);
    GuiChartPoint* p = line ? line->InsertPoint(after, x, y) : nullptr;
    // The predecessor is looked up: `after` may not be in the line.
    if (p && redraw) DrawNewLineData(line, p, nullptr);
    return p;
}

void GuiMultiLineChart::Repaint(const GuiRect& area) {
    if (!Visible() || !mpScreen) return;
    mpScreen->Invalidate(area);
    Draw();
}

void GuiMultiLineChart::RecalcLine(unsigned char id, int redraw) {
    if (GuiChartLine* line = GetLineFromID(id)) {
        line->RecalcLine();
        if (redraw) Repaint(mRegion);
    }
}

void GuiMultiLineChart::ResetLine(unsigned char id, int redraw) {
    if (GuiChartLine* line = GetLineFromID(id)) {
        line->ResetLine();
        if (redraw) Repaint(mRegion);
    }
}

void GuiMultiLineChart::ResetAllLines(int redraw) {
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext)
        l->ResetLine();
    if (redraw) Repaint(mRegion);
}

void GuiMultiLineChart::DrawNewLineData(GuiChartLine* line, GuiChartPoint* point, GuiChartPoint* prev) {
    if (!line || !point) return;
    if (!prev) prev = GuiChartPredecessor(line->mpFirst, point);
    GuiRect area(point->pos.x, point->pos.y, point->pos.x, point->pos.y);
    for (const GuiChartPoint* q : {prev, point->pNext})
        if (q) area |= GuiRect(q->pos.x, q->pos.y, q->pos.x, q->pos.y);
    Repaint(area);
}

int GuiMultiLineChart::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_RESIZE:
    case 5:
        RecalcLayout(1);
        return 0;
    case GM_SHOW:
    case GM_PARENT_SIZED: {
        const int r = GuiChart::Message(msg);
        if (!(mChartStyle & CS_FOLLOW_PARENT))
            for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext)
                l->RecalcLine();
        return r;
    }
    case GM_HSCROLL:
        return 0;
    default:
        return GuiChart::Message(msg);
    }
}

void GuiMultiLineChart::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiChart::Draw();
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext)
        l->Draw();
    mpScreen->EndDraw();
}

void GuiMultiLineChart::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    RecalcLayout(0);
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext)
        l->RecalcLine();
}

void GuiMultiLineChart::ParentShift(int dx, int dy) {
    GuiChart::ParentShift(dx, dy);
    for (GuiChartLine* l = mpFirstLine; l; l = l->mpNext)
        l->RecalcLine();
}

void GuiMultiLineChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    if (redraw && Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}
