// GuiTextBox: a read-only multi-line text window.
//
// Lines break at CR, LF and CR LF and, with word wrap, at word boundaries; it scrolls vertically by
// lines and horizontally by pixels, can highlight one line, and can serve as a bounded log that
// text is appended to (Append). It is the base of the edit box, the terminal window and the
// multi-line message window.
#pragma once

#include "gui/window/window.h"

constexpr uint8_t TYPE_TEXT_BOX = 154;

// Text-box style bits (besides the frame and the justification of the prompts).
constexpr uint16_t TBS_EDITABLE = 0x0100;
constexpr uint16_t TBS_WORD_WRAP = 0x0400;
constexpr uint16_t TBS_TRANSPARENT = 0x4000;
constexpr uint16_t TBS_JUSTIFY_MASK = 0x00E0;

constexpr int TEXT_BOX_CACHE_LINES = 100;

class GuiTextBox : public GuiWindow {
  public:
    // maxLength bounds the text that Append keeps (0 or less: no bound).
    GuiTextBox(const GuiRect& rect, uint16_t id, uint16_t style, const char* text, int maxLength);
    ~GuiTextBox() override;

    int Message(const GuiMessage& msg) override;
    void Draw() override;
    void Resize(GuiRect rect) override;
    void DataSet(const char* text) override;
    void SetFont(const GuiFont* font) override;
    void SetScrollMode(unsigned int mode) override;
    void GetVScrollInfo(GuiScrollInfo* info) override;
    void GetHScrollInfo(GuiScrollInfo* info) override;

    // Appends text, dropping the oldest characters beyond the maximum length, and scrolls to the end.
    virtual void Append(const char* text, int redraw);
    // The start of the line after the one at p (null for the last line); step +1 or -1.
    virtual const char* FindNextLine(const char* p, int width, int step);
    virtual void DrawAllText();
    virtual void DrawTextLine(int line, GuiPoint where, int fill);

    void RewindDataSet(const char* text);
    void SetInterlineSpace(int space);
    void SetBorderWhitespace(int space);
    void SetTopLine(int line, int redraw);
    void SetTopLineToEnd(int redraw) { SetTopLine(mTotalLines, redraw); }
    void SetHighlightedLine(int line) { mHighlight = line; }
    // The line's first character (null when there is no such line) and, with `length`, its
    // length without the line break.
    const char* GetLineStart(int line, int* length);
    int GetLineIndex(int line);
    int LineUp();
    int LineDown();
    void ClipToClient();
    void EndClipToClient();
    void CheckBufLen(int length);
    void UpdateLineStarts();

    int TotalLines() const { return mTotalLines; }
    int VisibleLines() const { return mVisibleLines; }
    int TopLine() const { return mTopLine; }
    int LineHeight() const { return mLineHeight; }
    int BorderWhitespace() const { return mBorder; }
    int HorizontalOffset() const { return mHOffset; }
    int WidestLine() const { return mWidest; }
    int MaxLength() const { return mMaxLength; }
    int FirstCachedLine() const { return mFirstCached; }
    int TextLength() const { return mpText ? mLength - 1 : 0; }

  protected:
    char* mpLineBuf = nullptr;
    GuiRect mSavedClip;
    int32_t mClipNesting = 0;
    int32_t mWidest = 0;
    int32_t mHOffset = 0;
    int32_t mTotalLines = 0;
    int32_t mVisibleLines = 0;
    int32_t mFirstCached = 0;
    int32_t mLastCached = -1;
    int32_t mLineHeight = 0;
    int32_t mInterline = 0;
    int32_t mBorder = 2;
    int32_t mBufSize = 0;
    int32_t mMaxLength = 0;
    uint32_t* mpLineStarts = nullptr;
    int32_t mTopLine = 0;
    int32_t mHighlight = -1;

    void FillLineStarts(int first, int countAll);
    void NewDataSet();
    // After a change of lines: the automatic bars again, and the lines for the new client width.
    void RecheckAutoScroll();
    int WrapWidth() const { return mClient.Width() - 2 * mBorder; }
};
