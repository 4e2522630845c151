#include "gui/widgets/stripchart/stripchart.h"
#include "gui/core/screen.h"
#include "gui/widgets/stripchart/stripchart_private.h"

#include <new>

GuiRect GuiStripSweepArea(const GuiStripChart& chart, const GuiStripChartLine& line) {
    const GuiRect& region = chart.ChartRegion();
    return GuiRect(chart.IndexToPointX(line.mHead - 1), region.top, chart.IndexToPointX(line.mHead + 1),
                   region.bottom);
}

// ---- line -----------------------------------------------------------------------------------

GuiStripChartLine::GuiStripChartLine(GuiStripChart* chart, unsigned char id, unsigned long colour,
                                     unsigned long agedColour, unsigned long fillColour,
                                     unsigned long leaderColour)
    : mId(id), mCount(chart && chart->mMaxX > 0 ? static_cast<uint32_t>(chart->mMaxX) : 0),
      mpSamples(mCount ? new (std::nothrow) int32_t[mCount]() : nullptr),
      mColor(static_cast<uint32_t>(colour)), mAgedColor(static_cast<uint32_t>(agedColour)),
      mFillColor(static_cast<uint32_t>(fillColour)),
      mLeaderColor(static_cast<uint32_t>(leaderColour ? leaderColour : colour)), mpChart(chart) {
    if (!mpSamples) mCount = 0;
}

GuiStripChartLine::~GuiStripChartLine() {
    delete[] mpSamples;
}

int GuiStripChartLine::AddData(long value) {
    if (!mCount) return 0;
    if (++mHead >= mCount) {
        mHead = 0;
        mWrapped = 1;
    }
    mpSamples[mHead] = static_cast<int32_t>(value);
    mTail = mHead == mCount - 1 ? 0 : mHead + 1;
    return 1;
}

// ---- chart ----------------------------------------------------------------------------------

GuiStripChart::GuiStripChart(const GuiRect& rect, unsigned int samples, long minY, long maxY,
                             unsigned int xTicStep, unsigned int yTicStep)
    : GuiChart(rect, 0, static_cast<long>(samples), minY, maxY, xTicStep, yTicStep) {
    mType = TYPE_STRIP_CHART;
    mColors[0] = GUI_BLACK;
    mChartStyle = 0x83C8;
    RecalcLayout(0);
}

GuiStripChart::~GuiStripChart() {
    while (GuiStripChartLine* l = mpFirstLine) {
        mpFirstLine = l->mpNext;
        delete l;
    }
}

uint8_t GuiStripChart::AddLine(unsigned long colour, unsigned long agedColour, unsigned long fillColour) {
    const uint8_t id = mIds.Take();
    if (!id) return 0;
    auto* line = new (std::nothrow) GuiStripChartLine(this, id, colour, agedColour, fillColour, 0);
    if (!line || (mMaxX > 0 && !line->mpSamples)) {
        delete line;
        mIds.Give(id);
        return 0;
    }
    GuiStripChartLine** link = &mpFirstLine;
    while (*link)
        link = &(*link)->mpNext;
    *link = line;
    return id;
}

int GuiStripChart::RemoveLine(unsigned char id) {
    if (!id) return 0;
    for (GuiStripChartLine** link = &mpFirstLine; *link; link = &(*link)->mpNext)
        if ((*link)->mId == id) {
            GuiStripChartLine* line = *link;
            *link = line->mpNext;
            delete line;
            mIds.Give(id);
            return 1;
        }
    return 0;
}

GuiStripChartLine* GuiStripChart::GetLineByID(unsigned char id) {
    GuiStripChartLine* l = mpFirstLine;
    while (l && l->mId != id)
        l = l->mpNext;
    return l;
}

int GuiStripChart::AddData(unsigned char id, long value, int redraw) {
    GuiStripChartLine* line = GetLineByID(id);
    if (!line) return 0;
    const int taken = line->AddData(value);
    if (taken && Visible() && redraw) DrawNewLineData(line);
    return taken;
}

uint32_t GuiStripChart::GetLineColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mColor : 0xFFFFFFFFu;
}
uint32_t GuiStripChart::GetLineAgedColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mAgedColor : 0xFFFFFFFFu;
}
uint32_t GuiStripChart::GetLineFillColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mFillColor : 0xFFFFFFFFu;
}
uint32_t GuiStripChart::GetLineLeaderColor(unsigned char id) {
    const GuiStripChartLine* l = GetLineByID(id);
    return l ? l->mLeaderColor : 0xFFFFFFFFu;
}
void GuiStripChart::SetLineColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mColor = static_cast<uint32_t>(colour);
}
void GuiStripChart::SetLineAgedColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mAgedColor = static_cast<uint32_t>(colour);
}
void GuiStripChart::SetLineFillColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mFillColor = static_cast<uint32_t>(colour);
}
void GuiStripChart::SetLineLeaderColor(unsigned char id, unsigned long colour) {
    if (GuiStripChartLine* l = GetLineByID(id)) l->mLeaderColor = static_cast<uint32_t>(colour);
}

void GuiStripChart::Segment(const GuiStripChartLine* line, uint32_t a, uint32_t b, int xa, int xb,
                            uint32_t colour) {
    GuiScreen* s = mpScreen;
    const int ya = ValToPointY(line->mpSamples[a]), yb = ValToPointY(line->mpSamples[b]);
    if (mChartStyle & CS_FILL) {
        const int zero = ValToPointY(0);
        const GuiPoint area[5] = {GuiPoint(xa, ya), GuiPoint(xb, yb), GuiPoint(xb, zero), GuiPoint(xa, zero),
                                  GuiPoint(xa, ya)};
        s->Polygon(this, area, 5, GuiColor(line->mFillColor, line->mFillColor, GUI_COLOR_FILL), 0);
    }
    s->Line(this, xa, ya, xb, yb, GuiColor(colour, GUI_FACE), 1);
}

void GuiStripChart::DrawLine(GuiStripChartLine* line) {
    if (!line || !mpScreen) return;
    const GuiRect saved = mClip;
    mClip &= InvalidArea() & mRegion;
    const uint32_t N = line->mCount, head = line->mHead;
    auto x = [&](uint32_t k) { return IndexToPointX(k); };
    if (mChartStyle & CS_STRIP_SWEEP) {
        for (uint32_t j = 0; j < head; ++j)
            Segment(line, j, j + 1, x(j), x(j + 1), line->mColor);
        if (mChartStyle & CS_STRIP_LEADER)
            mpScreen->Line(this, x(head), mRegion.top + 1, x(head), mRegion.bottom - 1,
                           GuiColor(line->mLeaderColor, GUI_FACE), 1);
    } else if (mChartStyle & CS_STRIP_SCROLL) {
        if (!line->mWrapped) {
            for (uint32_t j = 0; j < head; ++j)
                Segment(line, j, j + 1, x(j), x(j + 1), line->mColor);
        } else {
            // Oldest first from the left edge: N - 1 segments.
            uint32_t k = 0;
            for (uint32_t i = line->mTail; i + 1 < N; ++i, ++k)
                Segment(line, i, i + 1, x(k), x(k + 1), line->mColor);
            if (head != N - 1) {
                Segment(line, N - 1, 0, x(k), x(k + 1), line->mColor);
                ++k;
            }
            for (uint32_t j = 0; j < head && k + 1 < N; ++j, ++k)
                Segment(line, j, j + 1, x(k), x(k + 1), line->mColor);
        }
    }
    mClip = saved;
}

void GuiStripChart::DrawLineHistory(GuiStripChartLine* line) {
    if (!line || !mpScreen) return;
    mpScreen->BeginDraw(this);
    const GuiRect area = InvalidArea();
    for (uint32_t j = line->mTail + 1; j + 1 < line->mCount; ++j) {
        const int xa = IndexToPointX(j), xb = IndexToPointX(j + 1);
        if (area.Contains(xa, ValToPointY(line->mpSamples[j])) ||
            area.Contains(xb, ValToPointY(line->mpSamples[j + 1])))
            Segment(line, j, j + 1, xa, xb, line->mAgedColor);
    }
    mpScreen->EndDraw();
}

void GuiStripChart::RepaintRegion(const GuiRect& area) {
    mpScreen->Invalidate(area);
    mpScreen->BeginDraw(this);
    DrawInvalidChartRegion();
    mpScreen->EndDraw();
}

void GuiStripChart::DrawNewLineData(GuiStripChartLine* line) {
    if (!line || !mpScreen || !Visible()) return;
    if (mChartStyle & CS_STRIP_SWEEP) {
        if (line->mHead != 0) {
            RepaintRegion(GuiStripSweepArea(*this, *line));
        } else {
            mpScreen->Invalidate(mRegion);
            DrawLineHistory(line);
            if (mChartStyle & CS_STRIP_LEADER) // the old leader line at the right end goes
                RepaintRegion(GuiRect(IndexToPointX(static_cast<unsigned>(mMaxX - 2)), mRegion.top,
                                      IndexToPointX(static_cast<unsigned>(mMaxX)), mRegion.bottom));
        }
    } else if (mChartStyle & CS_STRIP_SCROLL) {
        if (line->mWrapped) {
            mpScreen->Invalidate(mRegion);
            Draw();
        } else if (line->mHead != 0) {
            mpScreen->Invalidate(GuiRect(IndexToPointX(line->mHead - 1), mRegion.top,
                                         IndexToPointX(line->mHead), mRegion.bottom));
            Draw();
        }
    }
}

void GuiStripChart::DrawInvalidChartRegion() {
    if (!mpScreen) return;
    const GuiRect R = InvalidArea();
    mpScreen->Rectangle(this, R, GuiColor(mColors[0], mColors[0], GUI_COLOR_FILL), 1);
    const bool xStep = mMajorXStep || mMinorXStep, yStep = mMajorYStep || mMinorYStep;
    if (R.left == mRegion.left && (mChartStyle & CS_Y_TICS) && yStep)
        Line(mRegion.left, ValToPointY(mMaxY), mRegion.left, mRegion.bottom, mColors[3]);
    if ((mChartStyle & CS_X_GRID) && xStep) DrawXGrid();
    if ((mChartStyle & CS_Y_GRID) && yStep) DrawYGrid();
    if ((mChartStyle & CS_X_TICS) && xStep) {
        if (mChartStyle & CS_X_AXIS_AT_ZERO) {
            DrawXTics();
            if ((mChartStyle & CS_X_LABELS) && mXLabelStep) DrawXLabels();
        } else {
            Line(R.left, mRegion.bottom, R.right, mRegion.bottom, mColors[3]);
        }
    }
    // The history of every wrapped line, also of a single one.
    if (mChartStyle & CS_STRIP_HISTORY)
        for (GuiStripChartLine* l = mpFirstLine; l; l = l->mpNext)
            if (l->mWrapped) DrawLineHistory(l);
    for (GuiStripChartLine* l = mpFirstLine; l; l = l->mpNext)
        DrawLine(l);
}

void GuiStripChart::Draw() {
    if (!mpScreen || !Visible()) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    if (mChartStyle & CS_X_GRID) DrawXGrid();
    if (mChartStyle & CS_Y_GRID) DrawYGrid();
    for (GuiStripChartLine* l = mpFirstLine; l; l = l->mpNext) {
        DrawLine(l);
        if ((mChartStyle & CS_STRIP_SWEEP) && l->mWrapped) DrawLineHistory(l);
    }
    if (mChartStyle & CS_X_TICS) DrawXTics();
    if (mChartStyle & CS_Y_TICS) DrawYTics();
    if (mChartStyle & CS_X_LABELS) DrawXLabels();
    if (mChartStyle & CS_Y_LABELS) DrawYLabels();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiStripChart::Resize(GuiRect rect) {
    GuiThing::Resize(rect);
    RecalcLayout(0);
}

void GuiStripChart::RecalcSize(const GuiRect& rect, int redraw) {
    Resize(rect);
    if (redraw && Visible() && mpScreen) {
        mpScreen->Invalidate(mReal);
        Draw();
    }
}

int GuiStripChart::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_RESIZE:
    case 5:
        RecalcLayout(1);
        return GuiChart::Message(msg);
    case GM_SHOW:
    case GM_PARENT_SIZED: {
        const int r = GuiThing::Message(msg);
        if ((mChartStyle & CS_FOLLOW_PARENT) && mpParent) RecalcSize(mpParent->mClient, 0);
        return r;
    }
    default:
        return GuiChart::Message(msg);
    }
}
