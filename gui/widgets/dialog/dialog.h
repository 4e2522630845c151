// Decorated windows and dialogs.
//
// GuiDecoratedWindow: a window that keeps track of its title bar, menu bar, status bar and tool
// bar and keeps its client area clear of them. GuiDialog: a decorated window with a closable
// title that reports the button that closed it to its owner (message 37, data = the button id),
// or, run modal, returns it from Execute.
#pragma once

#include "gui/widgets/common/widget.h"
#include "gui/window/window.h"

class GuiTitle;
class GuiMenuBar;
class GuiStatusBar;
class GuiToolBar;

enum : uint8_t { TYPE_DIALOG = 151, TYPE_DECORATED_WINDOW = 156 };

class GuiDecoratedWindow : public GuiWindow {
  public:
    GuiDecoratedWindow(const GuiRect& rect, unsigned int style);
    explicit GuiDecoratedWindow(unsigned int style);

    int Message(const GuiMessage& msg) override;
    void Add(GuiThing* child, int draw = 1) override;
    GuiThing* Remove(GuiThing* child, int draw = 1) override;
    void InitClient() override;

    GuiTitle* Title() const { return mpTitle; }
    GuiMenuBar* MenuBar() const { return mpMenuBar; }
    GuiStatusBar* StatusBar() const { return mpStatusBar; }
    GuiToolBar* ToolBar() const { return mpToolBar; }

  protected:
    GuiTitle* mpTitle = nullptr;
    GuiMenuBar* mpMenuBar = nullptr;
    GuiStatusBar* mpStatusBar = nullptr;
    GuiToolBar* mpToolBar = nullptr;
};

class GuiDialog : public GuiDecoratedWindow {
  public:
    GuiDialog(const GuiRect& rect, const char* title, GuiThing* owner, uint16_t style);
    GuiDialog(const char* title, GuiThing* owner, uint16_t style);

    int Message(const GuiMessage& msg) override;
    GuiThing* Owner() const { return mpOwner; }

  private:
    GuiThing* mpOwner = nullptr;
    GuiLifeline mLifeline;
    void Build(const char* title, GuiThing* owner);
};
