// Static text: GuiPrompt (one line) and GuiVPrompt (one character per row).
#pragma once

#include "gui/text/text_thing.h"

// Prompt style bits (the low five bits are the frame).
constexpr uint16_t TJ_RIGHT = 0x0020;
constexpr uint16_t TJ_LEFT = 0x0040;
constexpr uint16_t TJ_CENTER = 0x0080;
constexpr uint16_t PS_PARENT_BACKGROUND = 0x4000;
constexpr uint16_t PS_ENABLED = 0x8000;

class GuiPrompt : public GuiTextThing {
  public:
    GuiPrompt(const GuiRect& rect, const char* text, uint16_t id = 0, uint16_t style = FF_NONE | TJ_LEFT,
              int doubleSize = 0);
    // Sized to the text in `font` (plus the frame) with its top-left corner at `where`.
    GuiPrompt(GuiPoint where, const char* text, const GuiFont* font, uint16_t id = 0,
              uint16_t style = FF_NONE | TJ_LEFT, int doubleSize = 0);

    void Draw() override;
    int Message(const GuiMessage& msg) override;
    bool DoubleSize() const { return mDouble != 0; }

  protected:
    uint32_t FillColor() const;
    int mDouble;
};

class GuiVPrompt : public GuiPrompt {
  public:
    GuiVPrompt(const GuiRect& rect, const char* text, uint16_t id = 0, uint16_t style = FF_NONE);
    void Draw() override;
};
