// Charts: value axes with tics, grid and labels; line and multi-line charts.
//
// Charts: GuiChart owns a value range on two axes, lays out its plot area (the chart region) and
// draws tics, grid lines, axis lines and numeric labels; GuiLineChart draws one point list on it,
// GuiMultiLineChart any number of lines, each with an id and a colour.
#pragma once

#include "gui/core/thing.h"

enum : uint8_t { TYPE_LINE_CHART = 40, TYPE_STRIP_CHART = 41, TYPE_MULTI_LINE_CHART = 42 };

// Chart style bits.
constexpr uint16_t CS_X_GRID = 0x0001;
constexpr uint16_t CS_Y_GRID = 0x0002;
constexpr uint16_t CS_X_TICS = 0x0004;
constexpr uint16_t CS_Y_TICS = 0x0008;
constexpr uint16_t CS_FOLLOW_PARENT = 0x0010;
constexpr uint16_t CS_STRIP_SCROLL = 0x0020;
constexpr uint16_t CS_STRIP_SWEEP = 0x0040;
constexpr uint16_t CS_STRIP_HISTORY = 0x0100;
constexpr uint16_t CS_STRIP_LEADER = 0x0200;
constexpr uint16_t CS_RIGHT_Y_TICS = 0x0400;
constexpr uint16_t CS_RIGHT_Y_LABELS = 0x0800;
constexpr uint16_t CS_X_AXIS_AT_ZERO = 0x1000;
constexpr uint16_t CS_FILL = 0x2000;
constexpr uint16_t CS_X_LABELS = 0x4000;
constexpr uint16_t CS_Y_LABELS = 0x8000;

class GuiChart;

struct GuiChartPoint {
    GuiChartPoint(long x, long y, GuiChartPoint* next)
        : xData(static_cast<int32_t>(x)), yData(static_cast<int32_t>(y)), pNext(next) {}
    GuiPoint pos; // on the screen, once mapped
    int32_t xData;
    int32_t yData;
    GuiChartPoint* pNext;
};

// Line ids 1 to 255 (bit i of word w stands for id 32 w + i; id 0 is never handed out).
struct GuiChartIds {
    uint32_t words[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    // The lowest free id, now taken; 0 when all are taken.
    uint8_t Take();
    void Give(uint8_t id);
};

class GuiChartLine {
  public:
    GuiChartLine(GuiChart* chart, unsigned char id, unsigned long colour);
    virtual ~GuiChartLine();
    GuiChartLine(const GuiChartLine&) = delete;
    GuiChartLine& operator=(const GuiChartLine&) = delete;

    virtual void Draw();
    // Each returns the new point, mapped; null when it could not be made.
    GuiChartPoint* AddPoint(long x, long y);
    // After `after`, or at the end when `after` is not in the line.
    GuiChartPoint* InsertPoint(GuiChartPoint* after, long x, long y);
    void RemovePoint(GuiChartPoint* point);
    void RecalcLine();
    void ResetLine();

    GuiChartPoint* mpFirst = nullptr;
    GuiChart* mpChart;
    uint8_t mId;
    GuiColor mLineColor;
    GuiColor mFillColor;
    GuiChartLine* mpNext = nullptr;
};

class GuiChart : public GuiThing {
  public:
    GuiChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xTicStep,
             unsigned int yTicStep);

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void ParentShift(int dx, int dy) override;

    virtual void RecalcLayout(int redraw);
    virtual void RecalcSize(const GuiRect& rect, int redraw);
    virtual void MapDataToPoint(GuiChartPoint* point);
    // The data of a screen position as offsets from the minima.
    virtual void MapPointToData(GuiChartPoint* point);
    virtual void DrawXTics();
    virtual void DrawYTics();
    virtual void DrawXGrid();
    virtual void DrawYGrid();
    virtual void DrawXLabels();
    virtual void DrawYLabels();

    // The screen position of a data pair.
    GuiPoint DataToPoint(long x, long y) const;
    const GuiRect& ChartRegion() const { return mRegion; }

    // The fields that the constructor does not set are written directly.
    int32_t mMinX, mMaxX, mMinY, mMaxY;
    uint32_t mMajorXStep;
    uint32_t mMinorXStep = 0;
    uint32_t mMajorYStep;
    uint32_t mMinorYStep = 0;
    int32_t mMajorTicLength = 12;
    int32_t mMinorTicLength = 8;
    uint32_t mXLabelStep;
    uint32_t mYLabelStep;
    int32_t mXLabelHeight = 0; // 0: the font's height
    int32_t mYLabelWidth = 0;  // 0: from the texts of the Y range
    uint16_t mChartStyle = 0;
    const GuiFont* mpFont;

  protected:
    GuiRect mRegion;

    // The screen's pending invalid area (the whole screen when nothing is pending).
    GuiRect InvalidArea() const;
    // Where the X axis runs.
    int XBase() const;
    void Line(int x1, int y1, int x2, int y2, uint32_t colour);
};

class GuiLineChart : public GuiChart {
  public:
    GuiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xTicStep,
                 unsigned int yTicStep);
    ~GuiLineChart() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void ParentShift(int dx, int dy) override;
    void RecalcSize(const GuiRect& rect, int redraw) override;

    // As GuiChartLine's, on the chart's own points; none of them redraws.
    GuiChartPoint* AddPoint(long x, long y);
    GuiChartPoint* InsertPoint(GuiChartPoint* after, long x, long y);
    void RemovePoint(GuiChartPoint* point);
    void RecalcLine();
    void ResetLine();

    GuiChartPoint* mpFirst = nullptr;
    uint32_t mLineColor = 0x00FF00;
};

class GuiMultiLineChart : public GuiChart {
  public:
    GuiMultiLineChart(const GuiRect& rect, long minX, long maxX, long minY, long maxY, unsigned int xTicStep,
                      unsigned int yTicStep);
    ~GuiMultiLineChart() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void ParentShift(int dx, int dy) override;
    void RecalcSize(const GuiRect& rect, int redraw) override;

    // The new line's id; 0 when no id is free or the line could not be made.
    virtual uint8_t AddLine(unsigned long colour);
    // 1 when a line had the id (0 never has).
    int RemoveLine(unsigned char id);
    // The new point, or null when no line has the id.
    GuiChartPoint* AddPoint(unsigned char id, long x, long y, int redraw);
    GuiChartPoint* InsertPoint(unsigned char id, GuiChartPoint* after, long x, long y, int redraw);
    void RecalcLine(unsigned char id, int redraw);
    void ResetLine(unsigned char id, int redraw);
    void ResetAllLines(int redraw);
    GuiChartLine* GetLineFromID(unsigned char id);
    // Repaints the area of the point's segments (prev: its predecessor, or null to look it up).
    void DrawNewLineData(GuiChartLine* line, GuiChartPoint* point, GuiChartPoint* prev);

    GuiChartLine* mpFirstLine = nullptr;
    GuiChartIds mIds;

  private:
    void Repaint(const GuiRect& area);
};
