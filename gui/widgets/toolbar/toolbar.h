// GuiToolBar: a framed window's tool bar of panels.
//
// GuiToolBar: a strip below a framed window's title and menu bar holding GuiToolBarPanels, each a
// raised panel with a grip that lines its children up from left to right.
#pragma once

#include "gui/core/thing.h"

enum : uint8_t { TYPE_TOOL_BAR_PANEL = 27, TYPE_TOOL_BAR = 28 };

class GuiToolBarPanel : public GuiThing {
  public:
    explicit GuiToolBarPanel(uint16_t id);

    void Draw() override;
    void Add(GuiThing* child, int draw = 1) override;
    void AddToEnd(GuiThing* child, int draw = 1) override;
    GuiThing* Remove(GuiThing* child, int draw = 1) override;
    virtual void PositionChildren();
};

class GuiToolBar : public GuiThing {
  public:
    explicit GuiToolBar(uint16_t id);

    int Message(const GuiMessage& msg) override;
    void Draw() override;

    virtual void AddPanel(GuiToolBarPanel* panel, int redraw);
    virtual GuiThing* RemovePanel(GuiThing* panel, int redraw);
    virtual void PositionPanels();
    virtual void SizeToParent();
    // Grows (never shrinks) to the tallest panel while the parent is not shown.
    virtual void SizeToTallestPanel();
    int TallestPanel() const { return mTallest; }

  private:
    int32_t mTallest = 0;
};
