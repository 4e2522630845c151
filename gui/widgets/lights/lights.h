// Indicator lights of several states, shown as colours or bitmaps.
//
// Indicator lights: GuiLight has a number of states and a current one that is set, stepped forward
// or back with wrap-around; GuiColorLight shows each state as a colour (a filled rectangle or a
// round lamp), GuiBitmapLight as a bitmap.
#pragma once

#include "gui/core/thing.h"

enum : uint8_t { TYPE_COLOR_LIGHT = 52, TYPE_BITMAP_LIGHT = 53 };

// Colour light style bits.
constexpr uint16_t LS_RECTANGLE = 0x0100;
constexpr uint16_t LS_CIRCLE = 0x0200;
constexpr uint16_t LS_CLEAR_BACKGROUND = 0x4000;

class GuiLight : public GuiThing {
  public:
    GuiLight(const GuiRect& rect, unsigned int numStates, unsigned int style);
    GuiLight(int x, int y, unsigned int numStates, unsigned int style);

    // Each returns the current state and redraws a shown light when redraw is set.
    virtual unsigned int IncrementState(int redraw);
    virtual unsigned int DecrementState(int redraw);
    // Takes the state only when it is below the number of states.
    virtual unsigned int SetState(unsigned int state, int redraw);
    virtual unsigned int SetNumStates(unsigned int n);

    unsigned int NumStates() const { return mNumStates; }
    unsigned int State() const { return mState; }

  protected:
    uint32_t mNumStates;
    uint32_t mState = 0;

  private:
    unsigned int Show(int redraw);
};

class GuiColorLight : public GuiLight {
  public:
    GuiColorLight(const GuiRect& rect, unsigned int numStates, unsigned int style);
    GuiColorLight(int x, int y, unsigned int numStates, unsigned int style);
    ~GuiColorLight() override;

    void Draw() override;
    unsigned int SetNumStates(unsigned int n) override;
    // 0 for a state beyond the number of states.
    int SetStateColor(unsigned int state, unsigned long colour);

  private:
    uint32_t* mpColors = nullptr;
};

class GuiBitmapLight : public GuiLight {
  public:
    GuiBitmapLight(const GuiRect& rect, unsigned int numStates);
    GuiBitmapLight(int x, int y, unsigned int numStates);
    ~GuiBitmapLight() override;

    void Draw() override;
    unsigned int SetNumStates(unsigned int n) override;
    // The first bitmap given sizes the light. 0 for a state beyond the number of states or a
    // null bitmap (a light draws the bitmap of its state; there must be one to draw).
    int SetStateBitmap(unsigned int state, GuiBitmap* bitmap);

  private:
    GuiBitmap** mpBitmaps = nullptr;
};
