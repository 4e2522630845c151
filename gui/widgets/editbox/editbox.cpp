#include "gui/widgets/editbox/editbox.h"
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/widgets/common/widget.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t EDIT_CURSOR_COLOUR = 0x0000FF;

// True when a lies before b in the text (the lower row first, then the lower column).
bool GuiCursorBefore(const CURSOR_POS& a, const CURSOR_POS& b) {
    return a.row < b.row || (a.row == b.row && a.col < b.col);
}

constexpr unsigned AUTO_BARS = WSM_VERTICAL_AUTO | WSM_HORIZONTAL_AUTO;

} // namespace

GuiEditBox::GuiEditBox(const GuiRect& rect, uint16_t id, uint16_t style, const char* text,
                       unsigned int maxChars)
    : GuiTextBox(rect, id, static_cast<uint16_t>((style & ~TBS_JUSTIFY_MASK) | 0x0040), text,
                 static_cast<int>(maxChars)) {
    mType = TYPE_EDIT_BOX;
}

// ---- positions ------------------------------------------------------------------------------

int GuiEditBox::RowLength(int row) {
    int len = 0;
    GetLineStart(row, &len);
    return len;
}

int GuiEditBox::IndexOf(const CURSOR_POS& p) {
    const int start = GetLineIndex(p.row);
    return start < 0 ? -1 : start + p.col;
}

int GuiEditBox::CursorIndex() {
    const int i = IndexOf(mCursor);
    return i < 0 ? 0 : i;
}

int GuiEditBox::GetCharAtCursor() {
    int len = 0;
    const char* p = GetLineStart(mCursor.row, &len);
    return p && mCursor.col < len ? static_cast<unsigned char>(p[mCursor.col]) : 0;
}

void GuiEditBox::GetMarkStartAndEnd(CURSOR_POS* start, CURSOR_POS* end) {
    const bool anchorFirst =
        mAnchor.row < mMarkEnd.row || (mAnchor.row == mMarkEnd.row && mAnchor.col < mMarkEnd.col);
    if (start) *start = anchorFirst ? mAnchor : mMarkEnd;
    if (end) *end = anchorFirst ? mMarkEnd : mAnchor;
}

void GuiEditBox::GetCursorPointFromRowCol() {
    int len = 0;
    const char* p = GetLineStart(mCursor.row, &len);
    int w = 0;
    if (p && mCursor.col > 0) {
        CheckBufLen(len + 3);
        if (mpLineBuf) {
            const int n = mCursor.col < len ? mCursor.col : len;
            std::memcpy(mpLineBuf, p, static_cast<size_t>(n));
            mpLineBuf[n] = 0;
            w = GuiTextWidthOf(mpLineBuf, mpFont);
        }
    }
    mCursorPoint = GuiPoint(mClient.left + mBorder - mHOffset + w,
                            mClient.top + mBorder + (mCursor.row - mTopLine) * mLineHeight);
}

void GuiEditBox::GetCursorRowColFromClick(GuiPoint pt) {
    int row = mTopLine;
    if (mLineHeight > 0 && pt.y > mClient.top + mBorder + mLineHeight)
        for (int excess = pt.y - (mClient.top + mBorder + mLineHeight); excess > 0; excess -= mLineHeight)
            ++row;
    if (row >= mTotalLines) {
        if (!mpText || mTotalLines <= 0) {
            mCursor = CURSOR_POS{0, 0};
            return;
        }
        mCursor.row = mTotalLines - 1;
        mCursor.col = RowLength(mCursor.row);
        return;
    }
    int len = 0;
    const char* p = GetLineStart(row, &len);
    if (!p) {
        mCursor = CURSOR_POS{0, 0};
        return;
    }
    const int target = pt.x - mClient.left - mBorder + mHOffset;
    int sum = 0, col = 0;
    while (col < len) {
        const int cw = GuiCharWidth(p[col], mpFont);
        if (sum + cw > target) break;
        sum += cw;
        ++col;
    }
    if (col < len) {
        const int cw = GuiCharWidth(p[col], mpFont);
        if (sum + cw - target < target - sum) ++col; // the nearer boundary; a tie stays left
    }
    mCursor = CURSOR_POS{col, row};
}

void GuiEditBox::SetCursorRowColFromIndex(int index) {
    mCursor = CURSOR_POS{0, 0};
    if (!mpText) return;
    for (int line = 0;; ++line) {
        const int start = GetLineIndex(line);
        if (start < 0 || start > index) break;
        mCursor = CURSOR_POS{index - start, line};
    }
}

void GuiEditBox::SetCursorRowCol(int index) {
    SetCursorRowColFromIndex(index);
    SetTopLine(mCursor.row, 1);
}

void GuiEditBox::Signal(uint8_t signal) {
    if (mpParent && mId && (mSignals & (1u << signal)) && mpParent->Visible()) SendSignal(signal);
}

// ---- text changes ---------------------------------------------------------------------------

void GuiEditBox::ReplaceText(int from, int to, const char* insert, int insertLen) {
    const int len = TextLength();
    if (from < 0) from = 0;
    if (to > len) to = len;
    if (to < from) to = from;
    const int n = len - (to - from) + insertLen;
    if (n <= 0) {
        GuiTextThing::DataSet(nullptr);
        UpdateLineStarts();
        return;
    }
    char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!buf) return;
    if (from > 0) std::memcpy(buf, mpText, static_cast<size_t>(from));
    if (insertLen > 0) std::memcpy(buf + from, insert, static_cast<size_t>(insertLen));
    if (len > to) std::memcpy(buf + from + insertLen, mpText + to, static_cast<size_t>(len - to));
    buf[n] = 0;
    GuiTextThing::DataSet(buf);
    std::free(buf);
    UpdateLineStarts();
}

bool GuiEditBox::AutoChanged() {
    return (mScrollMode & AUTO_BARS) && CheckAutoScroll();
}

void GuiEditBox::NewEditDataSet() {
    UpdateLineStarts();
    if (mTopLine > 0 && mTopLine + mVisibleLines >= mTotalLines) SetTopLineToEnd(1);
    if (AutoChanged()) {
        UpdateLineStarts();
        CheckAutoScroll();
    }
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
    mFlags &= ~EBF_MARKED;
    if (mCursor.row >= mTotalLines) mCursor = CURSOR_POS{0, 0};
    // The cursor's row may now be shorter than the column it had.
    const int len = RowLength(mCursor.row);
    if (mCursor.col > len) mCursor.col = len;
    if (mCursor.col < 0) mCursor.col = 0;
    GetCursorPointFromRowCol();
}

void GuiEditBox::DataSet(const char* text) {
    GuiTextThing::DataSet(text);
    NewEditDataSet();
}

void GuiEditBox::Append(const char* text, int redraw) {
    RemoveCursor();
    mCursor = CURSOR_POS{0, 0};
    GuiTextBox::Append(text, 0);
    SetCursorRowColFromIndex(TextLength());
    GetCursorPointFromRowCol();
    if (redraw) Draw();
}

void GuiEditBox::InsertCharAtCursor(unsigned int ch) {
    RemoveCursor();
    const char c = static_cast<char>(ch);
    if (!mpText) {
        if (mMaxLength <= 0) return;
        const char one[2] = {c, 0};
        GuiTextThing::DataSet(one);
        mTopLine = 0;
        UpdateLineStarts();
        GetCursorPointFromRowCol();
        if (mpScreen) {
            mpScreen->BeginDraw(this);
            DrawCharAtCursor(c);
            mpScreen->EndDraw();
        }
        SetCursorRowColFromIndex(1);
        DrawCursor();
        return;
    }
    if (TextLength() >= mMaxLength) {
        DrawCursor();
        return;
    }
    const int index = CursorIndex();
    const int oldRowStart = GetLineIndex(mCursor.row);
    const int oldNextStart = GetLineIndex(mCursor.row + 1);
    ReplaceText(index, index, &c, 1);
    if (AutoChanged()) {
        UpdateLineStarts();
        SetCursorRowColFromIndex(index + 1);
        if (mpVScroll) CheckAutoScrollDown();
        if (mpHScroll) CheckAutoScrollRight();
        GuiRedraw(this);
        return;
    }
    SetCursorRowColFromIndex(index + 1);
    const int nextStart = GetLineIndex(mCursor.row + 1);
    if (mpVScroll && CheckAutoScrollDown()) {
        DrawOneLine(mCursor.row - 1);
        DrawCursor();
    } else if (mpHScroll && CheckAutoScrollRight()) {
        GuiRedraw(this);
    } else if (GetLineIndex(mCursor.row) != oldRowStart) {
        GuiRedraw(this);
    } else if (nextStart >= 0 && nextStart - oldNextStart != 1) {
        GuiRedraw(this);
    } else {
        DrawOneLine(mCursor.row);
        DrawCursor();
    }
}

void GuiEditBox::RemoveCharAtCursor(int backspace) {
    const int len = TextLength();
    const int cursor = CursorIndex();
    if (!backspace && cursor >= len) return;
    const int index = cursor - (backspace ? 1 : 0);
    if (index < 0 || !mpText) return;
    if (len == 1) {
        DataSet(nullptr);
        GuiRedraw(this);
        return;
    }
    RemoveCursor();
    const int oldTop = mTopLine, oldTotal = mTotalLines;
    const int oldRow = mCursor.row;
    const int oldNext = GetLineIndex(oldRow + 1);
    ReplaceText(index, index + 1, nullptr, 0);
    const bool changed = AutoChanged();
    if (changed) UpdateLineStarts();
    SetCursorRowColFromIndex(index);
    GetCursorPointFromRowCol();
    if (mCursorPoint.x < mClient.left + 2) AutoScrollLeft();
    if (changed) {
        GuiRedraw(this);
        return;
    }
    const int newNext = GetLineIndex(mCursor.row + 1);
    const bool linesKept = (oldNext < 0 && newNext < 0) || (oldNext >= 0 && newNext == oldNext - 1);
    if (mTopLine == oldTop && mTotalLines == oldTotal && linesKept) {
        if (oldRow != mCursor.row) DrawOneLine(oldRow);
        DrawOneLine(mCursor.row);
        DrawCursor();
    } else {
        GuiRedraw(this);
    }
}

void GuiEditBox::DeleteMarkedText() {
    if (!(mFlags & EBF_MARKED)) return;
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    const int si = IndexOf(s), ei = IndexOf(e);
    const int len = TextLength();
    if (si <= 0 && (ei >= len || ei < 0))
        ReplaceText(0, len, nullptr, 0);
    else
        ReplaceText(si < 0 ? 0 : si, ei < 0 ? len : ei, nullptr, 0);
    if (AutoChanged()) UpdateLineStarts();
    mFlags = (mFlags | EBF_CURSOR) & ~EBF_MARKED;
    if (!mpText) {
        mCursor = CURSOR_POS{0, 0};
    } else {
        mCursor = s;
        if (mCursor.row >= mTotalLines) {
            mCursor.row = mTotalLines > 0 ? mTotalLines - 1 : 0;
            mCursor.col = RowLength(mCursor.row);
        }
        if (mCursor.col > RowLength(mCursor.row)) mCursor.col = RowLength(mCursor.row);
    }
    GuiRedraw(this);
}

void GuiEditBox::CopyToScratchPad() {
    if (!(mFlags & EBF_MARKED) || !mpText) return;
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    int si = IndexOf(s), ei = IndexOf(e);
    if (ei < 0 || ei > TextLength()) ei = TextLength();
    if (si < 0 || ei <= si) return;
    GuiPresentationManager* pm = GuiPresentation();
    if (!pm) return;
    char* part = static_cast<char*>(std::malloc(static_cast<size_t>(ei - si) + 1));
    if (!part) return;
    std::memcpy(part, mpText + si, static_cast<size_t>(ei - si));
    part[ei - si] = 0;
    pm->SetScratchPad(part);
    std::free(part);
}

void GuiEditBox::PasteFromScratchPad() {
    GuiPresentationManager* pm = GuiPresentation();
    if (!pm || !pm->mpScratchPad || !*pm->mpScratchPad) return;
    const char* pad = pm->mpScratchPad;
    int n = static_cast<int>(std::strlen(pad));
    if (mpText) {
        RemoveCursor();
        const int len = TextLength();
        if (len + n > mMaxLength) n = mMaxLength - len;
        if (n < 0) n = 0; // a text already beyond the maximum takes nothing
        if (n > 0) {
            const int index = CursorIndex();
            ReplaceText(index, index, pad, n);
            SetCursorRowColFromIndex(index + n);
            Draw();
            CheckAutoScrollDown();
        } else {
            Draw();
        }
        return;
    }
    if (n + 2 > mMaxLength) n = mMaxLength;
    if (n <= 0) return;
    char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!buf) return;
    std::memcpy(buf, pad, static_cast<size_t>(n));
    buf[n] = 0;
    DataSet(buf);
    std::free(buf);
    Draw();
}

void GuiEditBox::ReplaceMarkedText(unsigned int ch) {
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    const int len = TextLength();
    int si = IndexOf(s), ei = IndexOf(e);
    if (si < 0) si = 0;
    if (ei < 0 || ei > len) ei = len;
    const char c = static_cast<char>(ch);
    ReplaceText(si, ei, &c, 1);
    if (AutoChanged()) UpdateLineStarts();
    SetCursorRowColFromIndex(si + 1);
    mFlags &= ~EBF_MARKED;
    GuiRedraw(this);
}

// ---- drawing --------------------------------------------------------------------------------

void GuiEditBox::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiTextBox::Draw();
    DrawCursor();
    mpScreen->EndDraw();
}

void GuiEditBox::DrawTextLine(int line, GuiPoint where, int fill) {
    if (mFlags & EBF_MARKED) {
        const int lo = mAnchor.row < mMarkEnd.row ? mAnchor.row : mMarkEnd.row;
        const int hi = mAnchor.row < mMarkEnd.row ? mMarkEnd.row : mAnchor.row;
        if (line >= lo && line <= hi) {
            DrawMarkedText(line, where);
            return;
        }
    }
    GuiTextBox::DrawTextLine(line, where, fill);
}

void GuiEditBox::DrawMarkedText(int line, GuiPoint where) {
    if (!mpScreen) return;
    int len = 0;
    const char* p = GetLineStart(line, &len);
    CURSOR_POS s, e;
    GetMarkStartAndEnd(&s, &e);
    const int bandRight = mClient.right - mBorder;
    const GuiRect band(where.x, where.y, bandRight, where.y + mLineHeight - 1);
    if (!p || len <= 0) {
        GuiFill(this, band, mColors[0]);
        const int blank = GuiCharWidth(' ', mpFont);
        GuiFill(this, GuiRect(where.x, where.y, where.x + blank - 1, where.y + mLineHeight - 1), mColors[1]);
        return;
    }
    CheckBufLen(len);
    if (!mpLineBuf) return;
    int x = where.x;
    auto run = [&](int from, int to, bool marked) {
        if (from < 0) from = 0;
        if (to > len) to = len;
        if (to <= from) return;
        std::memcpy(mpLineBuf, p + from, static_cast<size_t>(to - from));
        mpLineBuf[to - from] = 0;
        GuiColor c = marked ? GuiColor(mColors[3], mColors[1], GUI_COLOR_FILL)
                            : GuiColor(mColors[2], mColors[0], GUI_COLOR_FILL);
        mpScreen->DrawText(this, GuiPoint(x, where.y), mpLineBuf, c, mpFont);
        x += mpScreen->TextWidth(mpLineBuf, mpFont);
    };
    const int from = s.row == line ? s.col : 0;
    const int to = e.row == line ? e.col : len;
    if (s.row == line && s.col > 0) run(0, from, false);
    run(from, to, true);
    if (e.row == line && e.col < len) run(to, len, false);
    if (x <= bandRight) GuiFill(this, GuiRect(x, where.y, bandRight, where.y + mLineHeight - 1), mColors[0]);
}

void GuiEditBox::DrawSelectText(int line, int col1, int col2, int selected) {
    if (!mpScreen) return;
    if (col1 > col2) {
        const int t = col1;
        col1 = col2;
        col2 = t;
    }
    int len = 0;
    const char* p = GetLineStart(line, &len);
    if (!p) return;
    if (col2 > len) col2 = len;
    if (col1 >= col2) return;
    const int y = mClient.top + mBorder + (line - mTopLine) * mLineHeight;
    mpScreen->Invalidate(GuiRect(mClient.left + mBorder, y, mClient.right - mBorder, y + mLineHeight - 1));
    CheckBufLen(len);
    if (!mpLineBuf) return;
    std::memcpy(mpLineBuf, p, static_cast<size_t>(col2));
    mpLineBuf[col2] = 0;
    const int x = mClient.left + mBorder - mHOffset + GuiTextWidthOf(mpLineBuf, mpFont, col1);
    GuiColor c = selected ? GuiColor(mColors[3], mColors[1], GUI_COLOR_FILL)
                          : GuiColor(mColors[2], mColors[0], GUI_COLOR_FILL);
    mpScreen->DrawText(this, GuiPoint(x, y), mpLineBuf + col1, c, mpFont);
}

void GuiEditBox::DrawOneLine(int line) {
    if (!mpScreen || !Visible() || line < 0) return;
    const int y = mClient.top + mBorder + (line - mTopLine) * mLineHeight;
    mpScreen->Invalidate(GuiRect(mClient.left + mBorder, y, mClient.right - mBorder, y + mLineHeight - 1));
    ClipToClient();
    mpScreen->BeginDraw(this);
    DrawTextLine(line, GuiPoint(mClient.left + mBorder - mHOffset, y), 1);
    mpScreen->EndDraw();
    EndClipToClient();
}

void GuiEditBox::DrawCursor() {
    if (!(mFlags & EBF_CURSOR) || !mpScreen || !Visible()) return;
    GetCursorPointFromRowCol();
    mpScreen->Invalidate(mClient);
    mpScreen->BeginDraw(this);
    ClipToClient();
    GuiStroke(this, mCursorPoint.x, mCursorPoint.y, mCursorPoint.x, mCursorPoint.y + mLineHeight - 1,
              EDIT_CURSOR_COLOUR);
    EndClipToClient();
    mpScreen->EndDraw();
}

void GuiEditBox::RemoveCursor() {
    if (!(mFlags & EBF_CURSOR) || !mpScreen || !Visible()) return;
    const GuiPoint pt = mCursorPoint;
    mpScreen->Invalidate(GuiRect(pt.x, pt.y, pt.x + 2, pt.y + mLineHeight));
    mpScreen->BeginDraw(this);
    ClipToClient();
    const int ch = GetCharAtCursor();
    if (ch && ch != 13 && ch != 10 && mCursor.col < RowLength(mCursor.row)) {
        const char one[2] = {static_cast<char>(ch), 0};
        GuiColor c(mColors[2], mColors[0], GUI_COLOR_FILL);
        mpScreen->DrawText(this, pt, one, c, mpFont);
    } else {
        GuiStroke(this, pt.x, pt.y, pt.x, pt.y + mLineHeight - 1, mColors[0]);
    }
    EndClipToClient();
    mpScreen->EndDraw();
}

void GuiEditBox::DrawCharAtCursor(int ch) {
    if (ch == 13 || ch == 10 || !mpScreen || !Visible()) return;
    const char one[2] = {static_cast<char>(ch), 0};
    const GuiPoint pt = mCursorPoint;
    mpScreen->Invalidate(GuiRect(pt.x, pt.y, pt.x + GuiCharWidth(one[0], mpFont), pt.y + mLineHeight - 1));
    GuiColor c(mColors[2], mColors[0]);
    mpScreen->DrawText(this, pt, one, c, mpFont);
}

// ---- marking --------------------------------------------------------------------------------

void GuiEditBox::CheckMarkMove() {
    if (mCursor == mMarkEnd || !mpScreen) return;
    const CURSOR_POS old = mMarkEnd;
    mMarkEnd = mCursor;
    mFlags = (mFlags | EBF_MARKED) & ~EBF_CURSOR;
    mpScreen->BeginDraw(this);
    ClipToClient();
    if (old.row == mCursor.row) {
        // The span between the old and the new end joined the mark when the end moved away from
        // the anchor; with the anchor between them the whole line changes.
        const bool crosses =
            mAnchor.row == old.row && ((mAnchor.col > old.col) != (mAnchor.col > mCursor.col));
        if (crosses) {
            DrawOneLine(old.row);
        } else {
            const bool away = GuiCursorBefore(mAnchor, mCursor) ? GuiCursorBefore(old, mCursor)
                                                                : GuiCursorBefore(mCursor, old);
            DrawSelectText(old.row, old.col, mCursor.col, away ? 1 : 0);
        }
    } else if (mCursor.row > old.row) {
        for (int r = old.row; r <= mCursor.row; ++r) {
            if (r >= mTopLine + mVisibleLines)
                LineDown();
            else
                DrawOneLine(r);
        }
    } else {
        for (int r = old.row; r >= mCursor.row; --r)
            DrawOneLine(r);
    }
    EndClipToClient();
    mpScreen->EndDraw();
}

// ---- scrolling ------------------------------------------------------------------------------

int GuiEditBox::ScrollTo(bool vertical, int position) {
    GuiMessage m(vertical ? GM_VSCROLL : GM_HSCROLL, this);
    m.payload.l = position;
    Message(m);
    GuiScroll* bar = vertical ? static_cast<GuiScroll*>(mpVScroll) : static_cast<GuiScroll*>(mpHScroll);
    if (bar) {
        GuiScrollInfo in;
        if (vertical)
            GetVScrollInfo(&in);
        else
            GetHScrollInfo(&in);
        bar->Reset(&in);
        bar->Draw();
    }
    return 1;
}

int GuiEditBox::CheckAutoScrollDown() {
    if (!mpVScroll || mCursor.row < mTopLine + mVisibleLines) return 0;
    return ScrollTo(true, mCursor.row - mVisibleLines + 1);
}

int GuiEditBox::AutoScrollUp() {
    if (!mpVScroll || mTopLine <= 0 || mCursor.row >= mTopLine) return 0;
    return ScrollTo(true, mCursor.row);
}

int GuiEditBox::CheckAutoScrollRight() {
    if (!mpHScroll) return 0;
    GetCursorPointFromRowCol();
    const int d = mCursorPoint.x - mClient.left + mHOffset;
    const int visible = mClient.Width() - 2 * mBorder;
    if (d < mHOffset + visible) return 0;
    return ScrollTo(false, d - visible + 1);
}

int GuiEditBox::AutoScrollLeft() {
    if (!mpHScroll) return 0;
    GetCursorPointFromRowCol();
    int d = mCursorPoint.x - mClient.left + mHOffset - 2;
    if (d < 0) d = 0;
    if (mHOffset <= 0 || mHOffset <= d) return 0;
    return ScrollTo(false, d);
}

void GuiEditBox::ExitEditMode() {
    mFlags &= ~EBF_CURSOR;
    Signal(10);
}

// ---- keys -----------------------------------------------------------------------------------

void GuiEditBox::MoveFromPoint(int dy) {
    GetCursorPointFromRowCol();
    GetCursorRowColFromClick(GuiPoint(mCursorPoint.x, mCursorPoint.y + dy));
}

int GuiEditBox::InsertKey(unsigned int key) {
    if (mFlags & EBF_MARKED) {
        if (key >= 32 && key <= 599) {
            ReplaceMarkedText(key);
            mFlags = (mFlags | EBF_CURSOR) & ~EBF_MARKED;
            DrawCursor();
            return 1;
        }
        if (key == GK_DELETE) {
            DeleteMarkedText();
            return 1;
        }
        if (key != GK_HOME && key != GK_END && key != GK_UP && key != GK_DOWN && key != GK_LEFT &&
            key != GK_RIGHT)
            return 0;
        mFlags = (mFlags | EBF_CURSOR) & ~EBF_MARKED;
        GuiRedraw(this);
    }
    if (key >= 32 && key <= 599) {
        InsertCharAtCursor(key);
        return 1;
    }
    switch (key) {
    case GK_BACKSPACE:
        if (mCursor.row != 0 || mCursor.col != 0) RemoveCharAtCursor(1);
        return 1;
    case GK_ENTER:
        RemoveCursor();
        if (mHOffset) {
            const int col = mCursor.col;
            mCursor.col = 0;
            AutoScrollLeft();
            mCursor.col = col;
        }
        InsertCharAtCursor(13);
        mCursor.col = 0;
        GuiRedraw(this);
        return 1;
    case GK_DELETE:
        if (mpText) RemoveCharAtCursor(0);
        return 1;
    case GK_HOME:
        if (mCursor.col == 0) return 1;
        RemoveCursor();
        mCursor.col = 0;
        if (mHOffset) AutoScrollLeft();
        DrawCursor();
        return 1;
    case GK_END:
        RemoveCursor();
        mCursor.col = RowLength(mCursor.row);
        CheckAutoScrollRight();
        DrawCursor();
        return 1;
    case GK_UP:
        if (mCursor.row > mTopLine) {
            RemoveCursor();
            MoveFromPoint(-mLineHeight / 2);
            GetCursorPointFromRowCol();
            if (mCursorPoint.x < mClient.left + 2) AutoScrollLeft();
            DrawCursor();
        } else if (mCursor.row > 0) {
            if (mTopLine > 0 && mpVScroll) {
                RemoveCursor();
                mCursor.col = 0;
                --mCursor.row;
                AutoScrollUp();
            }
            if (mHOffset && mpHScroll) AutoScrollLeft();
            DrawCursor();
        }
        return 1;
    case GK_DOWN:
        if (mCursor.row >= mTotalLines - 1) return 1;
        RemoveCursor();
        MoveFromPoint(mLineHeight + mLineHeight / 2);
        CheckAutoScrollDown();
        GetCursorPointFromRowCol();
        if (mCursorPoint.x < mClient.left + 2) AutoScrollLeft();
        DrawCursor();
        return 1;
    case GK_LEFT:
        if (mCursor.col > 0) {
            RemoveCursor();
            --mCursor.col;
            GetCursorPointFromRowCol();
            if (mCursorPoint.x < mClient.left + 2) AutoScrollLeft();
            DrawCursor();
        } else if (mCursor.row > 0) {
            const bool belowTop = mCursor.row > mTopLine;
            if (!belowTop && !(mTopLine > 0 && mpVScroll)) return 1;
            RemoveCursor();
            --mCursor.row;
            mCursor.col = RowLength(mCursor.row);
            if (!belowTop) AutoScrollUp();
            CheckAutoScrollRight();
            DrawCursor();
        }
        return 1;
    case GK_RIGHT:
        RemoveCursor();
        if (mCursor.col < RowLength(mCursor.row)) {
            ++mCursor.col;
            CheckAutoScrollRight();
        } else if (mCursor.row + 1 < mTotalLines) {
            mCursor.col = 0;
            ++mCursor.row;
            AutoScrollLeft();
            CheckAutoScrollDown();
        }
        DrawCursor();
        return 1;
    default:
        return 0;
    }
}

// ---- messages -------------------------------------------------------------------------------

int GuiEditBox::Message(const GuiMessage& msg) {
    const GuiPoint pt = msg.payload.point;
    auto normalPointer = [this] {
        if (mpScreen) mpScreen->SetPointerType(0);
        mFlags &= ~EBF_EDIT_POINTER;
    };
    switch (msg.type) {
    case GM_HIDE:
        if (mFlags & EBF_CURSOR) ExitEditMode();
        if (mFlags & EBF_EDIT_POINTER) normalPointer();
        return GuiTextBox::Message(msg);
    case GM_POINTER_MOVE:
        if (!(mStatus & PSF_CAPTURED)) return GuiWindow::Message(msg);
        if (!(mAnchor == mMarkEnd) && pt.y < mClient.top) LineUp();
        GetCursorRowColFromClick(pt);
        CheckMarkMove();
        return 0;
    case GM_LBUTTON_DOWN:
        if (!Editable()) return GuiWindow::Message(msg);
        if (mFlags & EBF_CURSOR) {
            RemoveCursor();
        } else if (mFlags & EBF_MARKED) {
            mFlags &= ~EBF_MARKED;
            GuiRedraw(this);
        }
        CapturePointer();
        GetCursorRowColFromClick(pt);
        mAnchor = mMarkEnd = mCursor;
        mFlags = (mFlags & ~(EBF_CURSOR | EBF_MARKED)) | EBF_MARKING;
        return 0;
    case GM_LBUTTON_UP:
        if (!(mStatus & PSF_CAPTURED)) return 0;
        mFlags &= ~EBF_MARKING;
        if (mAnchor == mMarkEnd) {
            mFlags = (mFlags | EBF_CURSOR) & ~EBF_MARKED;
            DrawCursor();
        } else {
            mFlags = (mFlags | EBF_MARKED) & ~EBF_CURSOR;
            Signal(8);
        }
        ReleasePointer();
        if ((mFlags & EBF_EDIT_POINTER) && !mReal.Contains(pt)) normalPointer();
        return 0;
    case GM_GAIN_FOCUS:
        GuiTextBox::Message(msg);
        if (Editable() && !(mFlags & EBF_MARKING)) {
            SetCursorRowColFromIndex(TextLength());
            mFlags = (mFlags | EBF_CURSOR) & ~EBF_MARKED;
            DrawCursor();
        } else if (!Editable() && (mStyle & 0x8000) && mpText) {
            mAnchor = CURSOR_POS{0, 0};
            SetCursorRowColFromIndex(TextLength());
            mMarkEnd = mCursor;
            mFlags |= EBF_MARKED;
            GuiRedraw(this);
        }
        return 0;
    case GM_LOSE_FOCUS:
        GuiTextBox::Message(msg);
        if (mFlags & EBF_EDIT_POINTER) normalPointer();
        if (mFlags & EBF_CURSOR) {
            RemoveCursor();
            ExitEditMode();
        } else if (mFlags & EBF_MARKED) {
            mFlags &= ~EBF_MARKED;
            GuiRedraw(this);
        }
        return 0;
    case GM_POINTER_ENTER:
        if (Editable()) {
            if (mpScreen) mpScreen->SetPointerType(5);
            mFlags |= EBF_EDIT_POINTER;
        }
        return 0;
    case GM_POINTER_EXIT:
        if (mFlags & EBF_EDIT_POINTER) normalPointer();
        return 0;
    case GM_CUT:
        CopyToScratchPad();
        DeleteMarkedText();
        Signal(9);
        return 0;
    case GM_COPY:
        CopyToScratchPad();
        return 0;
    case GM_PASTE:
        PasteFromScratchPad();
        Signal(9);
        return 0;
    default:
        return GuiTextBox::Message(msg);
    }
}
