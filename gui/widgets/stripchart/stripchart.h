// GuiStripChart: a chart of live value streams.
//
// Each line keeps a ring of the last N samples; the chart scrolls the whole trace, or sweeps a
// write position over the old trace, which stays in an aged colour. New samples repaint only the
// part that changed.
#pragma once

#include "gui/widgets/chart/chart.h"

class GuiStripChart;

class GuiStripChartLine {
  public:
    GuiStripChartLine(GuiStripChart* chart, unsigned char id, unsigned long colour, unsigned long agedColour,
                      unsigned long fillColour, unsigned long leaderColour);
    virtual ~GuiStripChartLine();
    GuiStripChartLine(const GuiStripChartLine&) = delete;
    GuiStripChartLine& operator=(const GuiStripChartLine&) = delete;

    // 1; 0 for a line without samples.
    int AddData(long value);
    long GetData(unsigned int index) const { return index < mCount ? mpSamples[index] : 0; }

    uint8_t mId;
    uint32_t mHead = 0;
    uint32_t mTail = 0;
    uint32_t mCount; // N, from the chart's maximum X when the line is made
    int32_t* mpSamples;
    uint32_t mColor;
    uint32_t mAgedColor;
    uint32_t mFillColor;
    uint32_t mLeaderColor; // the colour when 0 is given
    int32_t mWrapped = 0;
    GuiStripChartLine* mpNext = nullptr;
    GuiStripChart* mpChart;
};

class GuiStripChart : public GuiChart {
  public:
    // X runs over the sample index 0 ... samples; style: Y labels, leader, history, sweep, Y tics.
    GuiStripChart(const GuiRect& rect, unsigned int samples, long minY, long maxY, unsigned int xTicStep,
                  unsigned int yTicStep);
    ~GuiStripChart() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void RecalcSize(const GuiRect& rect, int redraw) override;

    virtual void DrawLine(GuiStripChartLine* line);
    virtual void DrawLineHistory(GuiStripChartLine* line);
    virtual void DrawNewLineData(GuiStripChartLine* line);
    virtual void DrawInvalidChartRegion();

    // The new line's id; 0 when no id is free or the line could not be made.
    uint8_t AddLine(unsigned long colour, unsigned long agedColour, unsigned long fillColour);
    int RemoveLine(unsigned char id);
    // 1 when the line took the value; 0 when no line has the id.
    int AddData(unsigned char id, long value, int redraw);
    GuiStripChartLine* GetLineByID(unsigned char id);
    // All ones for an id that no line has.
    uint32_t GetLineColor(unsigned char id);
    uint32_t GetLineAgedColor(unsigned char id);
    uint32_t GetLineFillColor(unsigned char id);
    uint32_t GetLineLeaderColor(unsigned char id);
    void SetLineColor(unsigned char id, unsigned long colour);
    void SetLineAgedColor(unsigned char id, unsigned long colour);
    void SetLineFillColor(unsigned char id, unsigned long colour);
    void SetLineLeaderColor(unsigned char id, unsigned long colour);

    int ValToPointY(long value) const { return DataToPoint(mMinX, value).y; }
    int IndexToPointX(unsigned int index) const { return DataToPoint(static_cast<long>(index), 0).x; }

    GuiStripChartLine* mpFirstLine = nullptr;
    GuiChartIds mIds;

  private:
    void Segment(const GuiStripChartLine* line, uint32_t a, uint32_t b, int xa, int xb, uint32_t colour);
    void RepaintRegion(const GuiRect& area);
};
