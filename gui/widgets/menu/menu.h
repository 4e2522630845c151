// Menus built from static tables: menu bar, pop-up menus and their items.
//
// Menus built from static tables: the menu bar along a window's top, pop-up menus shown on top of
// everything, and their items (commands, check and radio items, separators, sub-menu openers).
// A chosen item posts its signal to its owner (normally the window that holds the menu bar):
// 4 chosen, 8 checked, 9 unchecked, 10 dotted, 11 undotted.
#pragma once

#include "gui/text/text_thing.h"

// A table of them ends with a record whose id and style are both 0.
struct GuiMenuDescription {
    const char* text;
    uint16_t id;
    uint16_t style;
    const GuiMenuDescription* subMenu;
};

// Item style bits.
constexpr uint16_t MIS_SEPARATOR = 0x0100;
constexpr uint16_t MIS_CHECK = 0x0200;
constexpr uint16_t MIS_CHECKED = 0x0400;
constexpr uint16_t MIS_RADIO = 0x0800;
constexpr uint16_t MIS_DOTTED = 0x1000;
constexpr uint16_t MIS_ENABLED = 0x8000;

enum : uint8_t { TYPE_MENU = 3, TYPE_MENU_BAR = 9, TYPE_MENU_BUTTON = 10 };

class GuiMenu;

class GuiMenuButton : public GuiTextThing {
  public:
    explicit GuiMenuButton(const GuiMenuDescription* desc);
    ~GuiMenuButton() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    // Searches the sub-menu; null without one.
    GuiThing* Find(uint16_t id, int recursive = 1) override;

    // (0, 0, W, H): the smallest rectangle in a parent of that type (a menu is wider).
    virtual GuiRect GetMinSize(uint8_t parentType);
    virtual void CloseMenu();
    virtual void SetDotted(int on);
    virtual void SetChecked(int on);
    virtual void SetEnabled(int on);
    virtual void SetOwner(GuiThing* owner);
    virtual int IsSeparator() { return (mStyle & MIS_SEPARATOR) != 0; }
    virtual int IsChecked() { return (mStyle & MIS_CHECKED) != 0; }
    virtual int IsDotted() { return (mStyle & MIS_DOTTED) != 0; }

    void AddSubMenu(int fromBar);
    void RemoveSiblingDots();
    void SendOwnerMessage();
    GuiMenuButton* FindButton(const char* text);
    void SetSubMenu(GuiMenu* menu);

    GuiMenu* SubMenu() const { return mpSubMenu; }
    GuiThing* Owner() const { return mpOwner; }
    bool IsOpen() const { return mOpen != 0; }
    bool Highlighted() const { return mHighlighted != 0; }
    bool Enabled() const { return (mStyle & MIS_ENABLED) != 0; }

  private:
    GuiMenu* mpSubMenu = nullptr;
    GuiThing* mpOwner = nullptr;
    int32_t mOpen = 0;
    int32_t mHighlighted = 0;

    void SignalOwner(uint8_t signal);
    void DrawInBar();
    void DrawInMenu();
};

class GuiMenu : public GuiThing {
  public:
    GuiMenu(const GuiMenuDescription* table, int acceptsFocus);
    ~GuiMenu() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    void PositionButtons();
    // (0, 0, widest item + 6, items' heights + 6).
    GuiRect GetMinSize();
    void CloseSiblings(GuiMenuButton* except);
    GuiMenuButton* FindButton(const char* text);
    void SetOwner(GuiThing* owner);
    // The field of the object that owns this menu: cleared when the menu goes first (a shown
    // pop-up is a child of the presentation manager, which may delete it before its owner).
    void SetHolder(GuiMenu** slot) { mppHolder = slot; }

  private:
    GuiMenu** mppHolder = nullptr;
};

class GuiMenuBar : public GuiThing {
  public:
    explicit GuiMenuBar(const GuiMenuDescription* table);

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    virtual void SetFlyoverMode(int on) { mFlyover = on ? 1 : 0; }
    virtual int InFlyoverMode() { return mFlyover; }
    virtual void CloseSiblings(GuiMenuButton* except);
    virtual void SizeToParent();
    virtual void PositionButtons();
    GuiMenuButton* FindButton(const char* text);

  private:
    int32_t mFlyover = 0;
};
