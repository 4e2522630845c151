// GuiGroup: a captioned frame that gathers controls and enables or disables all its buttons.
#pragma once

#include "gui/text/text_thing.h"

constexpr uint8_t TYPE_GROUP = 25;
constexpr uint16_t GROUP_ENABLED = 0x8000;

class GuiGroup : public GuiTextThing {
  public:
    GuiGroup(const GuiRect& rect, const char* caption, uint16_t style);

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Add(GuiThing* child, int draw = 1) override;
    GuiThing* Remove(GuiThing* child, int draw = 1) override;
    virtual void Enable(int enable);
};
