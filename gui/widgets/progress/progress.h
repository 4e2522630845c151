// GuiProgressBar: a value within its range as a filled bar, plain or segmented.
//
// GuiProgressBar: a value within a range shown as a filled bar (one block, or a row of segments),
// horizontal or vertical, optionally with the value or the percentage written across it.
#pragma once

#include "gui/text/text_thing.h"

class GuiButton;

constexpr uint8_t TYPE_PROGRESS_BAR = 19;

// Progress bar style bits (with a frame in the low five bits).
constexpr uint16_t PBS_SHOW_VALUE = 0x0100;
constexpr uint16_t PBS_RAISED_BAR = 0x0200;
constexpr uint16_t PBS_SEGMENTED = 0x0400;
constexpr uint16_t PBS_VERTICAL = 0x0800;
constexpr uint16_t PBS_PERCENT = 0x1000;
constexpr uint16_t PBS_NO_BORDER = 0x4000;

class GuiProgressBar : public GuiTextThing {
  public:
    GuiProgressBar(const GuiRect& rect, uint16_t style, int minimum, int maximum, int current);

    void Draw() override;
    void Resize(GuiRect rect) override;

    // Takes the value as it is (a value beyond the range draws beyond it).
    void Update(int value, int redraw);
    void Reconfig(uint16_t style, int minimum, int maximum);

    const GuiRect& BarRect() const { return mBarRect; }
    int Value() const { return mCurrent; }
    GuiButton* Bar() const { return mpBar; }

  private:
    GuiButton* mpBar = nullptr;
    GuiRect mBarRect;
    int32_t mMinimum = 0;
    int32_t mMaximum = 0;
    int32_t mCurrent = 0;

    void MakeBar(int draw);
    void DrawLabel();
};
