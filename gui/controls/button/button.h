// Push buttons: the base GuiButton, text, bitmap and system-menu buttons.
#pragma once

#include "gui/text/text_thing.h"

// Button style bits (the frame is always the button's own bevel).
constexpr uint16_t BS_AUTO_REPEAT = 0x0002; // repeat the click while held (timer id 1)
constexpr uint16_t BS_PRESSED = 0x0004;     // drawn pressed
constexpr uint16_t BS_CLICK_ON_PRESS = 0x0008;
constexpr uint16_t BS_ENABLED = 0x8000;

class GuiButton : public GuiTextThing {
  public:
    GuiButton(const GuiRect& rect, uint16_t id, uint16_t style, const char* text = nullptr,
              uint8_t fontIndex = 0);

    int Message(const GuiMessage& msg) override;
    void InitClient() override;
    virtual void Enable();
    virtual void Disable();
    bool Enabled() const { return (mStyle & BS_ENABLED) != 0; }
    bool Pressed() const { return (mStyle & BS_PRESSED) != 0; }

    // Auto-repeat: first repeat after this many timer ticks, then every BS_REPEAT_TICKS.
    static constexpr long BS_FIRST_REPEAT_TICKS = 20;
    static constexpr long BS_REPEAT_TICKS = 5;

  protected:
    void DrawBevel();
    void SetPressed(bool pressed);
    void SignalClick();
};

class GuiTextButton : public GuiButton {
  public:
    GuiTextButton(const GuiRect& rect, const char* text, uint16_t id, uint16_t style = BS_ENABLED);
    void Draw() override;
};

class GuiBitmapButton : public GuiButton {
  public:
    GuiBitmapButton(const GuiRect& rect, GuiBitmap* bitmap, uint16_t id, uint16_t style = BS_ENABLED);
    void Draw() override;
    void SetBitmap(GuiBitmap* bitmap);
    GuiBitmap* GetBitmap() const { return mpBitmap; }

  protected:
    GuiBitmap* mpBitmap;
};

// The title bar's system-menu button: the bitmap on the button face, without a bevel.
class GuiSystemButton : public GuiBitmapButton {
  public:
    GuiSystemButton(const GuiRect& rect, GuiBitmap* bitmap, uint16_t id);
    void Draw() override;
};
