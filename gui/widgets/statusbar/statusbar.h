// GuiStatusBar: a framed window's status bar of text fields, with a size grip.
//
// GuiStatusBar: a strip along the bottom of a framed window holding text fields (prompts found by
// their id) and, on a sizeable window, a size grip in its right corner. It sizes itself to its
// parent when shown and when the parent changes size.
#pragma once

#include "gui/text/text_thing.h"

class GuiPrompt;

constexpr uint8_t TYPE_STATUS_BAR = 16;

class GuiStatusBar : public GuiTextThing {
  public:
    GuiStatusBar();

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void SetFont(const GuiFont* font) override;

    // A field `width` pixels wide right of the others; the last one added stretches to the right.
    virtual GuiPrompt* AddTextField(int width, uint16_t id, const char* text);
    // Sets and draws the text of the field with that id; nothing when there is none.
    virtual void SetTextField(uint16_t id, const char* text);
    virtual void SizeToParent();

    GuiPrompt* GetPrompt(unsigned int id);
    // Draws the size grip unless `field` ends left of it.
    void CheckDrawDragMap(GuiThing* field);
    GuiPrompt* LastField() const { return mpLastField; }
    bool OverGrip() const { return mGrip != 0; }

  private:
    GuiPrompt* mpLastField = nullptr;
    int32_t mGrip = 0;

    int BarHeight() const;
    bool ParentSizeable() const;
};
