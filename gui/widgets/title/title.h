// GuiTitle: the title bar of a framed window, its buttons and system menu.
//
// GuiTitle: the title bar along a framed window's top edge: the caption, up to four buttons
// (system menu, minimise, maximise or restore, close) and the system menu. Clicks and menu
// choices become window commands to the parent (destroy yourself, maximise, minimise, restore);
// a press on the bar itself starts moving the window.
#pragma once

#include "gui/text/text_thing.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/menu/menu.h"

class GuiBitmapButton;
class GuiSystemButton;

// Title style bits.
constexpr uint16_t TS_SYSTEM_MENU = 0x0200;
constexpr uint16_t TS_MIN_MAX = 0x0400;
constexpr uint16_t TS_CLOSE = 0x0800;

// Close, separator, "Minimize", "Maximize".
extern const GuiMenuDescription DefSystemMenu[5];

class GuiTitle : public GuiTextThing {
  public:
    GuiTitle(const char* text, uint16_t style);
    ~GuiTitle() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetFont(const GuiFont* font) override;
    // Follows the parent: its maximised state (button and menu item) and its rectangle.
    virtual void SizeToParent();

    void AssignMenu(const GuiMenuDescription* table);
    int TitleHeight() const { return mTitleHeight; }
    GuiMenu* SystemMenu() const { return mpMenu; }
    GuiSystemButton* SystemButton() const { return mpSysButton; }
    GuiBitmapButton* CloseButton() const { return mpCloseButton; }
    GuiBitmapButton* MinButton() const { return mpMinButton; }
    GuiBitmapButton* MaxButton() const { return mpMaxButton; }

  private:
    GuiSystemButton* mpSysButton = nullptr;
    GuiBitmapButton* mpCloseButton = nullptr;
    GuiBitmapButton* mpMinButton = nullptr;
    GuiBitmapButton* mpMaxButton = nullptr;
    GuiMenu* mpMenu = nullptr;
    int32_t mTitleHeight = 18;

    void DropMenu();
    void LayoutButtons();
    bool ParentMaximized() const;
};
