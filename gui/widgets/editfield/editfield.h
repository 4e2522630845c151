// GuiEditField: the single-line text editor.
//
// A cursor (character index and pixel position), a first visible character for horizontal
// scrolling, a mark of two indices, keys through InsertKey and pointer positions through
// SetCursorPos (the owner delivers both), cut, copy and paste through the scratch pad, and signal
// 10 when it loses the focus after a change.
#pragma once

#include "gui/text/text_thing.h"

constexpr uint8_t TYPE_EDIT_FIELD = 22;

// Field flags.
constexpr uint16_t EFF_CURSOR = 0x01;
constexpr uint16_t EFF_MARKED = 0x02;
constexpr uint16_t EFF_ALL_MARKED = 0x04;
constexpr uint16_t EFF_MODIFIED = 0x10;

class GuiEditField : public GuiTextThing {
  public:
    // maxLength: typing stops there and DataSet cuts to it; 0 or less puts no limit.
    GuiEditField(const GuiRect& rect, const char* text, uint16_t id, uint16_t style, int maxLength);
    GuiEditField(int x, int y, int width, const char* text, uint16_t id, uint16_t style, int maxLength);
    GuiEditField(int x, int y, const char* text, uint16_t id, uint16_t style, int maxLength);

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void DataSet(const char* text) override;
    uint16_t Style() override { return mStyle; }
    void Style(uint16_t style) override;

    virtual void SetMark(int start, int end);
    virtual void SetMark(char* start, char* end);
    virtual int GetMarkStart() { return mMarkStart; }
    virtual int GetMarkEnd() { return mMarkEnd; }
    virtual void Initialize(uint16_t style);
    virtual void RetardCursor(int ch);
    virtual void AdvanceCursor(int ch);
    virtual void DrawMarked();
    // 1 when the key was used (key codes as for the edit box).
    virtual int InsertKey(int key);
    virtual void SetCursorPos(GuiPoint p);

    void DeleteMarkedText();
    void CopyToScratchPad();
    void PasteFromScratchPad();
    void ReplaceMarkedText(int ch);

    int CursorIndex() const { return mCursor; }
    int FirstVisible() const { return mFirstVisible; }
    GuiPoint CursorPoint() const { return mCursorPoint; }
    uint16_t Flags() const { return mFlags; }
    int MaxLength() const { return mMaxLength; }

  private:
    int32_t mCursor = 0;
    int32_t mMarkStart = -1;
    int32_t mMarkEnd = -1;
    int32_t mFirstVisible = 0;
    int32_t mMaxLength = 0;
    GuiPoint mCursorPoint;
    uint16_t mFlags = 0;

    int TextLen() const { return mpText ? mLength - 1 : 0; }
    int WidthOf(int from, int count) const;
    int CharWidthAt(int i) const;
    void Finish(int maxLength);
    void SetText(const char* text, int len);
    void SendEditDone();
    void Redraw();
};
