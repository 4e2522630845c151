// Value controls: the slider and the spin button.
//
// Value controls: GuiSlider, a track with an optional scale and a draggable knob
// (GuiSlideButton) for a value between a minimum and a maximum; and GuiSpinButton, two arrow
// buttons that step the number shown by a text object within limits.
#pragma once

#include "gui/text/text_thing.h"

constexpr uint8_t TYPE_SLIDER = 23;
constexpr uint8_t TYPE_SPIN_BUTTON = 24;

// Slider style bits.
constexpr uint16_t SLS_SNAP = 0x0100;              // the knob snaps to the scale
constexpr uint16_t SLS_PARENT_BACKGROUND = 0x4000; // the parent is drawn behind a moved knob
// Spin button style bit: up and down buttons (else left and right).
constexpr uint16_t SPS_VERTICAL = 0x1000;
constexpr uint16_t SPS_ENABLED = 0x8000; // the arrow buttons take clicks

// From the knob to its slider: the value changed (payload: the value).
constexpr uint16_t GM_SLIDER_VALUE = 35;

// The spin button's arrow buttons.
enum : uint16_t { SPIN_ID_UP = 1010, SPIN_ID_DOWN = 1011, SPIN_ID_LEFT = 1012, SPIN_ID_RIGHT = 1013 };

class GuiSlider;

class GuiSlideButton : public GuiThing {
  public:
    GuiSlideButton(int min, int max, int scale, unsigned int style);

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void ParentShift(int dx, int dy) override;

    virtual void SetSize();
    virtual void UpdatePosition(GuiPoint p);
    virtual void RecalcCurrentPos(int redraw);
    virtual void UpdateHorzPos(int d, int redraw);
    virtual void UpdateVertPos(int d, int redraw);
    virtual void SetDragLimits();

    void SetMinValue(int v);
    void SetMaxValue(int v);
    void SetCurrentValue(int value, int redraw);
    void Reset(int min, int max, int current);
    void CheckSnap(GuiPoint p, bool vertical);

    int32_t mDragging = 0;
    int32_t mMinValue;
    int32_t mMaxValue;
    int32_t mScale;
    int32_t mCurrentValue;
    int32_t mLowLimit = 0;
    int32_t mHighLimit = 0;
    GuiPoint mLastPoint;

  private:
    bool Vertical() const;
    int Lead() const;
    void Move(int d, int redraw, bool vertical);
};

class GuiSlider : public GuiThing {
  public:
    GuiSlider(const GuiRect& rect, int min, int max, unsigned int id, unsigned int style, int scale);

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;

    void SetMinValue(int v);
    void SetMaxValue(int v);
    void Reset(int min, int max, int current);
    void SetScale(int scale) { mScale = scale; }
    int GetMinValue() const { return mMinValue; }
    int GetMaxValue() const { return mMaxValue; }
    int GetScale() const { return mScale; }
    void SetCurrentValue(int value, int redraw);
    int GetCurrentValue();
    bool Vertical() const { return mClient.Width() < mClient.Height(); }
    GuiSlideButton* Knob() const { return mpSlideButton; }

    GuiSlideButton* mpSlideButton = nullptr;
    int32_t mMinValue;
    int32_t mMaxValue;
    int32_t mScale;

  private:
    void MakeKnob();
    void Changed();
    void DrawScale();
};

class GuiSpinButton : public GuiThing {
  public:
    GuiSpinButton(int x, int y, unsigned int id, unsigned int style);
    GuiSpinButton(int x, int y, GuiTextThing* slave, long min, long max, int step, unsigned int id,
                  unsigned int style);
    GuiSpinButton(const GuiRect& rect, unsigned int id, unsigned int style);
    GuiSpinButton(const GuiRect& rect, GuiTextThing* slave, long min, long max, int step, unsigned int id,
                  unsigned int style);

    int Message(const GuiMessage& msg) override;

    void SetLimits(long min, long max, int step);
    // Minimum number of digits shown (leading zeros), 0 to 15.
    void SetDigits(int digits);
    void UpdateSlave(int direction);

    GuiTextThing* mpSlave = nullptr;
    int32_t mMinValue = 0;
    int32_t mMaxValue = 0;
    int32_t mStep = 0;
    int32_t mDigits = 0;

  private:
    void AddSpinButtons();
};
