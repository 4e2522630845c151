// Multi-line text editor (GuiEditBox).
//
// GuiEditBox: the multi-line text editor, a text box with a cursor (row and column), marking with
// the pointer, cut, copy and paste through the presentation manager's scratch pad, and scrolling
// that keeps the cursor in view. Keys reach it through InsertKey (its owner calls it); it signals
// 8 text marked, 9 text changed by cut or paste, 10 edit mode left.
#pragma once

#include "gui/widgets/textbox/textbox.h"

constexpr uint8_t TYPE_EDIT_BOX = 165;

// A text position: column in the line, line number.
struct CURSOR_POS {
    int32_t col = 0;
    int32_t row = 0;
    bool operator==(const CURSOR_POS&) const = default;
};

// Key codes of InsertKey (32 to 599 are characters).
enum : unsigned {
    GK_BACKSPACE = 8,
    GK_ENTER = 13,
    GK_DELETE = 600,
    GK_HOME = 602,
    GK_END = 603,
    GK_UP = 606,
    GK_DOWN = 607,
    GK_LEFT = 608,
    GK_RIGHT = 609,
};

// Edit flags.
constexpr uint32_t EBF_CURSOR = 0x01;
constexpr uint32_t EBF_MARKED = 0x02;
constexpr uint32_t EBF_MARKING = 0x04;
constexpr uint32_t EBF_EDIT_POINTER = 0x08;

class GuiEditBox : public GuiTextBox {
  public:
    GuiEditBox(const GuiRect& rect, uint16_t id, uint16_t style, const char* text, unsigned int maxChars);

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void DataSet(const char* text) override;
    void Append(const char* text, int redraw) override;
    void DrawTextLine(int line, GuiPoint where, int fill) override;
    virtual void InsertCharAtCursor(unsigned int ch);

    virtual void DrawMarkedText(int line, GuiPoint where);
    virtual void DrawOneLine(int line);
    virtual void DrawCursor();
    virtual void RemoveCursor();
    virtual void DrawCharAtCursor(int ch);
    virtual int GetCharAtCursor();
    virtual void GetMarkStartAndEnd(CURSOR_POS* start, CURSOR_POS* end);
    virtual void GetCursorRowColFromClick(GuiPoint p);
    virtual void GetCursorPointFromRowCol();
    virtual void SetCursorRowColFromIndex(int index);
    virtual void RemoveCharAtCursor(int backspace);
    virtual void DrawSelectText(int line, int col1, int col2, int selected);
    virtual void CheckMarkMove();
    virtual int CheckAutoScrollDown();
    virtual int CheckAutoScrollRight();
    virtual int AutoScrollUp();
    virtual int AutoScrollLeft();
    virtual void ExitEditMode();
    // 1 when the key was used.
    virtual int InsertKey(unsigned int key);
    virtual void ReplaceMarkedText(unsigned int ch);

    void DeleteMarkedText();
    void CopyToScratchPad();
    void PasteFromScratchPad();
    void NewEditDataSet();
    void HomeCursor() { mCursor.col = 0; }
    void SetCursorRowCol(int index);

    CURSOR_POS Cursor() const { return mCursor; }
    CURSOR_POS MarkAnchor() const { return mAnchor; }
    CURSOR_POS MarkEnd() const { return mMarkEnd; }
    GuiPoint CursorPoint() const { return mCursorPoint; }
    uint32_t Flags() const { return mFlags; }
    // Character index of the cursor in the text.
    int CursorIndex();

  protected:
    CURSOR_POS mCursor;
    CURSOR_POS mAnchor{-1, -1};
    CURSOR_POS mMarkEnd{-1, -1};
    GuiPoint mCursorPoint;
    uint32_t mFlags = 0;

    bool Editable() const { return (mStyle & TBS_EDITABLE) != 0; }
    int RowLength(int row);
    int IndexOf(const CURSOR_POS& p);
    void Signal(uint8_t signal);
    void ReplaceText(int from, int to, const char* insert, int insertLen);
    int ScrollTo(bool vertical, int position);
    bool AutoChanged();
    void MoveFromPoint(int dy);
};
