// GuiTextThing: an object with a text and a font; the toolkit's table of 32 font slots.
#pragma once

#include "gui/core/thing.h"

constexpr uint16_t TT_COPY = 0x2000; // style: keep an own copy of the text
constexpr int GUI_FONT_SLOTS = 32;

class GuiTextThing : public GuiThing {
  public:
    GuiTextThing(const GuiRect& rect, uint16_t id, uint16_t style, const char* text, int fontIndex);
    GuiTextThing(uint16_t id, uint16_t style, const char* text, int fontIndex);
    ~GuiTextThing() override;

    virtual void DataSet(const char* text);
    virtual void SetFont(const GuiFont* font);

    void SetCopyMode();
    const char* DataGet() const { return mpText; }
    const GuiFont* Font() const { return mpFont; }
    int Length() const { return mLength; }
    int BufferSize() const { return mBufferSize; }
    bool CopyMode() const { return mCopy; }

    // Puts a font into a slot; with freeOld the chain held there is freed first (a font loaded
    // at run time: each record, offset table and glyph data allocated with new[]/new).
    // Returns 0 for a slot outside 0..31.
    static int AssignFontTablePointer(int index, GuiFont* font, int freeOld);
    static GuiFont* mFontTable[GUI_FONT_SLOTS];

    GuiFont* mpFont = nullptr;
    char* mpText = nullptr;
    int mLength = 0;
    int mBufferSize = 0;
    bool mCopy = false;

  private:
    void Initialize(uint16_t style, const char* text, int fontIndex);
    void InvalidateClient();
};
