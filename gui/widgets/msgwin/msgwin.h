// Message boxes: one-line, multi-line and progress windows with standard buttons.
//
// Message boxes: GuiMessageWindow shows a one-line text, an optional icon and a row of standard
// buttons chosen by style bits, under an optional title; GuiMLMessageWindow is its multi-line twin
// (the text in a word-wrapping text box, the window growing to fit it); GuiProgressWindow adds a
// progress bar. Built without a rectangle they size themselves to their content. The pressed
// button goes to the owner (message 36, data = the clicked signal's type) or, run modal, is
// returned from Execute.
#pragma once

#include "gui/widgets/common/widget.h"
#include "gui/window/window.h"

class GuiTitle;
class GuiTextBox;
class GuiProgressBar;

enum : uint8_t { TYPE_MESSAGE_WINDOW = 155, TYPE_ML_MESSAGE_WINDOW = 166 };

// Button bits of the window style, created in this order.
constexpr uint16_t MW_OK = 0x0020;
constexpr uint16_t MW_YES = 0x0040;
constexpr uint16_t MW_NO = 0x0080;
constexpr uint16_t MW_ABORT = 0x0100;
constexpr uint16_t MW_RETRY = 0x0200;
constexpr uint16_t MW_CANCEL = 0x0400;
constexpr uint16_t MW_BUTTONS = 0x07E0;

class GuiMessageWindow : public GuiWindow {
  public:
    GuiMessageWindow(const GuiRect& rect, const char* title, const char* text, uint16_t style,
                     GuiBitmap* icon, GuiThing* owner);
    GuiMessageWindow(const char* title, const char* text, uint16_t style, GuiBitmap* icon, GuiThing* owner);

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    void CalcButtonWidth();
    void AddButtons();

    GuiTitle* Title() const { return mpTitle; }
    GuiThing* Owner() const { return mpOwner; }
    int ButtonWidth() const { return mButtonWidth; }
    int RowWidth() const { return mRowWidth; }

  protected:
    GuiTitle* mpTitle = nullptr;
    GuiThing* mpOwner = nullptr;
    GuiBitmap* mpIconBitmap = nullptr;
    int32_t mRowWidth = 0;
    int32_t mButtonWidth = 0;
    int32_t mTextWidth = 0;

  private:
    GuiLifeline mLifeline;
    // Both constructors: fit sizes the window to its content.
    void Init(const char* title, const char* text, GuiBitmap* icon, GuiThing* owner, bool fit);
};

class GuiMLMessageWindow : public GuiWindow {
  public:
    GuiMLMessageWindow(const GuiRect& rect, const char* title, const char* text, uint16_t style,
                       GuiBitmap* icon, GuiThing* owner);
    GuiMLMessageWindow(const char* title, const char* text, uint16_t style, GuiBitmap* icon, GuiThing* owner);

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    void CalcButtonWidth();
    void CalcButtonTop();
    void AddButtons();
    void AddTextBox(const char* text);

    GuiTitle* Title() const { return mpTitle; }
    GuiTextBox* TextBox() const { return mpTextBox; }
    int ButtonTop() const { return mButtonTop; }

  private:
    GuiTitle* mpTitle = nullptr;
    GuiThing* mpOwner = nullptr;
    GuiBitmap* mpIconBitmap = nullptr;
    GuiTextBox* mpTextBox = nullptr;
    int32_t mRowWidth = 0;
    int32_t mButtonTop = 0;
    int32_t mButtonWidth = 0;
    GuiLifeline mLifeline;

    void Init(const char* title, const char* text, GuiBitmap* icon, GuiThing* owner, bool fit);
};

class GuiProgressWindow : public GuiMessageWindow {
  public:
    GuiProgressWindow(const GuiRect& rect, const char* title, const char* text, uint16_t style,
                      uint16_t barStyle, GuiBitmap* icon, GuiThing* owner);
    GuiProgressWindow(const char* title, const char* text, uint16_t style, uint16_t barStyle, GuiBitmap* icon,
                      GuiThing* owner);

    void AddProgBar();
    GuiProgressBar* Bar() const { return mpBar; }

  private:
    GuiProgressBar* mpBar = nullptr;
    uint16_t mBarStyle = 0;
};
