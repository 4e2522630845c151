// Scales: a value shown as the position of a needle along a straight track, vertical or horizontal.
//
// GuiScale is the base (value, range, travel points, mapping, drawn needles, flicker-reduced
// update); GuiLinearScale draws a grooved track with tics; GuiLinearBitmapScale draws a picture as
// the track and a bitmap as the needle, composed off-screen.
#pragma once

#include "gui/core/thing.h"

enum : uint8_t { TYPE_LINEAR_SCALE = 54, TYPE_LINEAR_BITMAP_SCALE = 55 };

// Scale style bits (beside the frame bits).
constexpr uint16_t SS_NEAR_SIDE = 0x0020;    // needle and tics on the left (vertical) or top side
constexpr uint16_t SS_MIN_AT_START = 0x0040; // the minimum at the bottom or left end
constexpr uint16_t SS_VERTICAL = 0x0080;
constexpr uint16_t SS_TICS = 0x0100;
constexpr uint16_t SS_OFFSET_TRAVEL = 0x0400; // bitmap scale: travel points from its offsets
constexpr uint16_t SS_LINE_NEEDLE = 0x0800;
constexpr uint16_t SS_THICK_NEEDLE = 0x1000;
constexpr uint16_t SS_ARROW_NEEDLE = 0x2000;
constexpr uint16_t SS_PARENT_BACKGROUND = 0x4000;

class GuiScale : public GuiThing {
  public:
    GuiScale(const GuiRect& rect, long min, long max, unsigned int style);
    GuiScale(int left, int top, long min, long max, unsigned int style);

    virtual void SetValue(long value, int redraw);
    virtual long IncrementValue(long delta, int redraw);
    virtual void DrawNeedle();
    // Fills the needle point of the value; returns its coordinate along the track.
    virtual int ValToPoint(long value, GuiPoint& point);
    virtual void SetTravelPoints();
    virtual void CalcClipAndDraw();
    // The area the needle covers at the point; left as it is without a needle.
    virtual void CalcNeedleRect(const GuiPoint& point, GuiRect& rect);
    // The value is not moved into the new range.
    void SetMinValue(long value, int redraw);
    void SetMaxValue(long value, int redraw);

    long Value() const { return mValue; }

    int32_t mValue;
    int32_t mMinimum;
    int32_t mMaximum;
    int32_t mTravelStart = 0;
    int32_t mTravelEnd = 0;
    uint32_t mNeedleColor = 0xBF0000;
    GuiPoint mNeedlePoint;
    int32_t mUseStoredPoint = 0;

  protected:
    // Where the needle is drawn now (and kept as the point the next update starts from).
    GuiPoint NeedleAt();
    uint32_t BackgroundColour();
};

class GuiLinearScale : public GuiScale {
  public:
    GuiLinearScale(const GuiRect& rect, long min, long max, long ticStep, unsigned int style);
    GuiLinearScale(int left, int top, long min, long max, long ticStep, unsigned int style);

    void Draw() override;
    virtual void DrawScale();
    virtual void DrawTicMarks();

    int32_t mTicStep;
};

class GuiLinearBitmapScale : public GuiScale {
  public:
    GuiLinearBitmapScale(const GuiRect& rect, long min, long max, int travelStart, int travelEnd,
                         GuiBitmap* background, GuiBitmap* needle, unsigned int style);
    GuiLinearBitmapScale(int left, int top, long min, long max, int travelStart, int travelEnd,
                         GuiBitmap* background, GuiBitmap* needle, unsigned int style);
    ~GuiLinearBitmapScale() override;

    void Draw() override;
    void SetTravelPoints() override;
    void CalcNeedleRect(const GuiPoint& point, GuiRect& rect) override;
    void DrawBitmapNeedle();
    void DrawToComposite();
    void SetBkgBitmap(GuiBitmap* bitmap);

    GuiBitmap* mpBackground;
    GuiBitmap* mpNeedle;
    GuiBitmap* mpComposite = nullptr;
    int32_t mNeedleOffset = 0;
    int32_t mTravelStartOffset;
    int32_t mTravelEndOffset;
};
