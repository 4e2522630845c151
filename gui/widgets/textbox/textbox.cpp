#include "gui/widgets/textbox/textbox.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t TEXT_BOX_NO_LINE = 0xFFFFFFFFu; // an unfilled entry of the line table

constexpr int TEXT_BOX_FONT_SLOT = 8;
constexpr unsigned AUTO_BARS = WSM_VERTICAL_AUTO | WSM_HORIZONTAL_AUTO;

// Where a line `textWidth` pixels wide starts, by the justification bits of `style`.
int GuiTextBoxLineX(uint16_t style, const GuiRect& client, int border, int hOffset, int textWidth,
                    int plainX) {
    if (style & 0x0020) return client.right - textWidth - border - hOffset;
    if (style & 0x0080) return client.left + (client.Width() - textWidth) / 2 - hOffset;
    return plainX;
}

} // namespace

GuiTextBox::GuiTextBox(const GuiRect& rect, uint16_t id, uint16_t style, const char* text, int maxLength)
    : GuiWindow(rect, static_cast<uint16_t>(style | 0x2100)) {
    mId = id;
    mColors[0] = GUI_WHITE;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    mType = TYPE_TEXT_BOX;
    mMaxLength = maxLength;
    mLineHeight = GuiFontHeight(mpFont) + mInterline;
    if (style & TBS_EDITABLE)
        mStatus |= PSF_WINDOW;
    else
        mStatus &= static_cast<uint16_t>(~(PSF_WINDOW | PSF_ACCEPTS_FOCUS));
    if (style & TBS_TRANSPARENT) mStatus &= static_cast<uint16_t>(~PSF_VIEWPORT);
    mpLineStarts = new (std::nothrow) uint32_t[TEXT_BOX_CACHE_LINES];
    if (mpLineStarts)
        for (int i = 0; i < TEXT_BOX_CACHE_LINES; ++i)
            mpLineStarts[i] = TEXT_BOX_NO_LINE;
    GuiTextThing::DataSet(text);
    NewDataSet();
    GuiTextBox::SetFont(mFontTable[TEXT_BOX_FONT_SLOT]);
}

GuiTextBox::~GuiTextBox() {
    delete[] mpLineStarts;
    std::free(mpLineBuf);
}

// ---- lines ----------------------------------------------------------------------------------

const char* GuiTextBox::FindNextLine(const char* p, int width, int step) {
    if (!p || !mpText) return nullptr;
    const char* start = p;
    const char* lastBreak = p;
    int x = 0;
    const bool measure = (mStyle & TBS_WORD_WRAP) || (mScrollMode & (WSM_HORIZONTAL | WSM_HORIZONTAL_AUTO));
    for (;;) {
        const char c = *p;
        if (c == 0) return nullptr;
        if (c == '\r') return p[1] == '\n' ? p + 2 : p + 1;
        if (c == '\n') return p[1] == 0 ? nullptr : p + 1;
        if (step < 0 && p == mpText) return mpText;
        if (measure) {
            x += GuiCharWidth(c, mpFont);
            if (x > mWidest) mWidest = x;
            if (mStyle & TBS_WORD_WRAP) {
                if (x >= width) {
                    if (lastBreak != start) return lastBreak + step;
                    if (p != start) return p;
                    // A character wider than the line is a line of its own; none follows the last.
                    return step > 0 && !start[1] ? nullptr : start + step;
                }
                if (c == ' ' || c == ',' || c == '-') lastBreak = p;
            }
        }
        p += step;
    }
}

void GuiTextBox::FillLineStarts(int first, int countAll) {
    if (first < 0) first = 0;
    mFirstCached = mLastCached = first;
    mWidest = 0;
    if (!mpLineStarts) return;
    for (int i = 0; i < TEXT_BOX_CACHE_LINES; ++i)
        mpLineStarts[i] = TEXT_BOX_NO_LINE;
    // One wrap width for the whole text: the walk to the first cached line breaks the lines
    // exactly as the table does.
    const int width = WrapWidth();
    const char* p = mpText;
    int passed = 0;
    for (; p && passed < first; ++passed)
        p = FindNextLine(p, width, 1);
    if (!p) {
        // The text has fewer lines than `first`: all of them were passed.
        if (countAll) mTotalLines = mpText ? passed : 0;
        mLastCached = first - 1;
        return;
    }
    if (countAll) mTotalLines = first;
    int n = 0;
    while (p && n < TEXT_BOX_CACHE_LINES) {
        mpLineStarts[n++] = static_cast<uint32_t>(p - mpText);
        ++mLastCached;
        if (countAll) ++mTotalLines;
        p = FindNextLine(p, width, 1);
    }
    --mLastCached;
    if (countAll)
        while (p) {
            ++mTotalLines;
            p = FindNextLine(p, width, 1);
        }
}

void GuiTextBox::UpdateLineStarts() {
    mVisibleLines = mLineHeight > 0 ? (mClient.Height() - 2 * mBorder) / mLineHeight : 1;
    if (mVisibleLines < 0) mVisibleLines = 0;
    FillLineStarts(mTopLine - 25, 1);
    GuiScrollInfo in;
    GetVScrollInfo(&in);
    if (mTopLine + in.visible > mTotalLines) {
        mTopLine = mTotalLines - in.visible;
        if (mTopLine < 0) mTopLine = 0;
    }
}

void GuiTextBox::RecheckAutoScroll() {
    if ((mScrollMode & AUTO_BARS) && CheckAutoScroll()) UpdateLineStarts();
}

void GuiTextBox::NewDataSet() {
    UpdateLineStarts();
    if (mTopLine != 0 && mTopLine + mVisibleLines >= mTotalLines) SetTopLine(mTotalLines, 1);
    if (mScrollMode && CheckAutoScroll()) {
        UpdateLineStarts();
        CheckAutoScroll();
    }
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
}

const char* GuiTextBox::GetLineStart(int line, int* length) {
    if (length) *length = 0;
    if (!mpText || !mpLineStarts || line < 0) return nullptr;
    if (line < mFirstCached)
        FillLineStarts(line - 25, 0);
    else if (line >= mLastCached)
        FillLineStarts(line - 50, 0);
    if (line < mFirstCached || line > mLastCached) return nullptr;
    const int i = line - mFirstCached;
    if (mpLineStarts[i] == TEXT_BOX_NO_LINE) return nullptr;
    const int textLen = TextLength();
    const int start = static_cast<int>(mpLineStarts[i]);
    if (start > textLen) return nullptr;
    int len;
    if (i + 1 < TEXT_BOX_CACHE_LINES && mpLineStarts[i + 1] != TEXT_BOX_NO_LINE)
        len = static_cast<int>(mpLineStarts[i + 1]) - start;
    else
        len = textLen - start;
    const char* p = mpText + start;
    if (len > 0 && p[len - 1] == '\n') --len;
    if (len > 0 && p[len - 1] == '\r') --len;
    if (length) *length = len;
    return p;
}

int GuiTextBox::GetLineIndex(int line) {
    const char* p = GetLineStart(line, nullptr);
    return p ? static_cast<int>(p - mpText) : -1;
}

// ---- text and settings ----------------------------------------------------------------------

void GuiTextBox::DataSet(const char* text) {
    GuiTextThing::DataSet(text);
    NewDataSet();
}

void GuiTextBox::RewindDataSet(const char* text) {
    mTopLine = 0;
    DataSet(text);
}

void GuiTextBox::Append(const char* text, int redraw) {
    if (!text || !*text) return;
    if (!(mStyle & TT_COPY)) SetCopyMode();
    const int len = static_cast<int>(std::strlen(text));
    const int M = mMaxLength; // 0 or less: no bound
    if (!mpText) {
        DataSet(M > 0 && len > M ? text + (len - M) : text);
    } else {
        const char* keep = mpText;
        int keepLen = TextLength();
        const char* add = text;
        int addLen = len;
        if (M > 0 && keepLen + addLen >= M) {
            const int excess = keepLen + addLen - M;
            if (excess <= keepLen) {
                keep += excess;
                keepLen -= excess;
            } else {
                keepLen = 0;
                add += addLen - M;
                addLen = M;
            }
        }
        char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(keepLen) + addLen + 2));
        if (!buf) return;
        std::memcpy(buf, keep, static_cast<size_t>(keepLen));
        std::memcpy(buf + keepLen, add, static_cast<size_t>(addLen));
        buf[keepLen + addLen] = 0;
        GuiTextThing::DataSet(buf);
        std::free(buf);
        UpdateLineStarts();
        RecheckAutoScroll();
        SetTopLine(mTotalLines, 0);
    }
    if (redraw) Draw();
}

void GuiTextBox::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    mLineHeight = GuiFontHeight(font) + mInterline;
    UpdateLineStarts();
    RecheckAutoScroll();
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
}

void GuiTextBox::SetInterlineSpace(int space) {
    mLineHeight += space - mInterline;
    mInterline = space;
    UpdateLineStarts();
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
}

void GuiTextBox::SetBorderWhitespace(int space) {
    mBorder = space;
    UpdateLineStarts();
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
}

void GuiTextBox::Resize(GuiRect rect) {
    GuiWindow::Resize(rect);
    UpdateLineStarts();
    RecheckAutoScroll();
}

void GuiTextBox::SetScrollMode(unsigned int mode) {
    GuiWindow::SetScrollMode(mode);
    UpdateLineStarts();
}

void GuiTextBox::SetTopLine(int line, int redraw) {
    mTopLine = line;
    if (mTopLine + mVisibleLines >= mTotalLines) mTopLine = mTotalLines - mVisibleLines;
    if (mTopLine < 0) mTopLine = 0;
    UpdateLineStarts();
    RecheckAutoScroll();
    if (Visible() && redraw && mpScreen) {
        mpScreen->Invalidate(mClient);
        Draw();
    }
}

void GuiTextBox::GetVScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    info->minimum = 0;
    info->maximum = 1;
    info->current = mTopLine;
    info->step = 1;
    info->visible = mVisibleLines;
    if (mpText && mTotalLines > 2) info->maximum = mTotalLines - 1;
}

void GuiTextBox::GetHScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    const int cw = mClient.Width();
    info->minimum = 0;
    info->maximum = mWidest + 2;
    info->current = mHOffset;
    info->step = (cw >> 4) + 1;
    info->visible = cw - 2 * mBorder;
    if (mStyle & 0x0020) {
        const int e = mWidest - cw + 7;
        info->minimum = -e;
        info->maximum = mWidest + 2 - e;
    } else if (mStyle & 0x0080) {
        const int e = (mWidest - cw + 4) / 2;
        info->minimum = -e;
        info->maximum = mWidest + 2 - e;
    }
}

int GuiTextBox::LineUp() {
    if (!mpVScroll || mTopLine <= 0) return 0;
    mpVScroll->Message(GuiMessage(GuiClickedType(1000)));
    return 1;
}

int GuiTextBox::LineDown() {
    if (!mpVScroll) return 0;
    GuiScrollInfo in;
    GetVScrollInfo(&in);
    if (in.current + in.visible > in.maximum) return 0;
    mpVScroll->Message(GuiMessage(GuiClickedType(1001)));
    return 1;
}

// ---- drawing --------------------------------------------------------------------------------

void GuiTextBox::ClipToClient() {
    if (mClipNesting++ == 0) {
        mSavedClip = mClip;
        GuiRect c = mClient;
        c -= mBorder;
        mClip &= c;
    }
}

void GuiTextBox::EndClipToClient() {
    if (mClipNesting > 0 && --mClipNesting == 0) mClip = mSavedClip;
}

void GuiTextBox::CheckBufLen(int length) {
    if (mBufSize >= length + 1) return;
    std::free(mpLineBuf);
    mpLineBuf = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 8));
    mBufSize = mpLineBuf ? length + 8 : 0;
}

void GuiTextBox::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    DrawFrame(!(mStyle & TBS_TRANSPARENT));
    ClipToClient();
    DrawAllText();
    EndClipToClient();
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiTextBox::DrawAllText() {
    if (!mpText || !mpScreen) return;
    const int x = mClient.left + mBorder - mHOffset;
    int y = mClient.top + mBorder;
    const int lastY = mClient.bottom - mBorder - (mLineHeight - 1);
    ClipToClient();
    for (int line = mTopLine; y <= lastY && (line == mTopLine || line < mTotalLines); ++line) {
        const GuiRect band(mClient.left, y, mClient.right, y + mLineHeight - 1);
        if (mpScreen->InvalidCount() > 0 && band.Overlap(mpScreen->InvalidRect()))
            DrawTextLine(line, GuiPoint(x, y), 0);
        if (mLineHeight <= 0) break;
        y += mLineHeight;
    }
    EndClipToClient();
}

void GuiTextBox::DrawTextLine(int line, GuiPoint where, int fill) {
    if (!mpScreen) return;
    int len = 0;
    const char* p = GetLineStart(line, &len);
    GuiColor c(mColors[2], mColors[0]);
    if (line == mHighlight) {
        c = GuiColor(mColors[3], mColors[1]);
        fill = 1;
    }
    if (fill)
        GuiFill(this,
                GuiRect(mClient.left + mBorder, where.y, mClient.right - mBorder, where.y + mLineHeight - 1),
                c.bg);
    if (!p || len <= 0) return;
    CheckBufLen(len);
    if (!mpLineBuf) return;
    std::memcpy(mpLineBuf, p, static_cast<size_t>(len));
    mpLineBuf[len] = 0;
    const int w = mpScreen->TextWidth(mpLineBuf, mpFont);
    const int x = GuiTextBoxLineX(mStyle, mClient, mBorder, mHOffset, w, where.x);
    mpScreen->DrawText(this, GuiPoint(x, where.y), mpLineBuf, c, mpFont);
}

// ---- messages -------------------------------------------------------------------------------

int GuiTextBox::Message(const GuiMessage& msg) {
    if (msg.type == GM_VSCROLL) {
        const int top = msg.payload.l;
        if (top == mTopLine || !mpScreen) return 0;
        mpScreen->Invalidate(mClient);
        const int delta = mTopLine - top;
        MoveClientObjects(0, delta * mLineHeight, 0);
        mTopLine = top;
        if ((mStyle & TBS_TRANSPARENT) && mpParent) {
            mpParent->Draw();
            return 0;
        }
        if (delta >= mVisibleLines || -delta >= mVisibleLines) {
            Draw();
            return 0;
        }
        GuiRect r = mClient;
        r -= mBorder;
        if (delta > 0) r.bottom = static_cast<int16_t>(r.top + mVisibleLines * mLineHeight);
        ClipToClient();
        mpScreen->BeginDraw(this);
        if (!mpScreen->RectMove(this, r, r, 0, delta * mLineHeight)) {
            Draw();
        } else {
            const int x = mClient.left + mBorder - mHOffset;
            int first, count, y;
            if (delta > 0) {
                first = top;
                count = delta;
                y = mClient.top + mBorder;
            } else {
                first = top + mVisibleLines + delta;
                count = -delta;
                y = r.top + (first - top) * mLineHeight;
            }
            for (int i = 0; i < count; ++i, y += mLineHeight)
                DrawTextLine(first + i, GuiPoint(x, y), 1);
        }
        mpScreen->EndDraw();
        EndClipToClient();
        return 0;
    }
    if (msg.type == GM_HSCROLL) {
        const int off = msg.payload.l;
        if (off == mHOffset) return 0;
        const int old = mHOffset;
        mHOffset = off;
        ClipToClient();
        MoveClientObjects(old - off, 0, 1);
        EndClipToClient();
        return 0;
    }
    return GuiWindow::Message(msg);
}
