#include "gui/widgets/editfield/editfield.h"
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/widgets/common/widget.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t FIELD_CURSOR_COLOUR = 0x0000FF;
constexpr int EDIT_FIELD_FONT_SLOT = 7;

GuiRect fieldRect(int x, int y, int width, const GuiFont* font, uint16_t style) {
    int bottom = y + GuiFontHeight(font);
    if (style & (FF_RAISED | FF_RECESSED))
        bottom += 4;
    else if (style & FF_THIN)
        bottom += 2;
    return GuiRect(x, y, x + width - 1, bottom);
}

} // namespace

GuiEditField::GuiEditField(const GuiRect& rect, const char* text, uint16_t id, uint16_t style, int maxLength)
    : GuiTextThing(rect, id, static_cast<uint16_t>(style | 0x2100), text, EDIT_FIELD_FONT_SLOT) {
    Finish(maxLength);
}

GuiEditField::GuiEditField(int x, int y, int width, const char* text, uint16_t id, uint16_t style,
                           int maxLength)
    : GuiTextThing(fieldRect(x, y, width, mFontTable[EDIT_FIELD_FONT_SLOT], style), id,
                   static_cast<uint16_t>(style | 0x2100), text, EDIT_FIELD_FONT_SLOT) {
    Finish(maxLength);
}

GuiEditField::GuiEditField(int x, int y, const char* text, uint16_t id, uint16_t style, int maxLength)
    : GuiTextThing(id, static_cast<uint16_t>(style | 0x2100), text, EDIT_FIELD_FONT_SLOT) {
    if (text && *text)
        mReal = mClient = mClip =
            fieldRect(x, y, GuiTextWidthOf(text, mpFont) + 11, mpFont, style); // right = x + width + 10
    Finish(maxLength);
}

void GuiEditField::Finish(int maxLength) {
    Initialize(mStyle);
    mMaxLength = maxLength;
    InitClient();
    mClient.left = static_cast<int16_t>(mClient.left + 1);
    mClient.right = static_cast<int16_t>(mClient.right - 1);
}

void GuiEditField::Initialize(uint16_t style) {
    mType = TYPE_EDIT_FIELD;
    if (style & 0x0100) {
        mStatus |= PSF_WINDOW;
        mSignals = 0x0400;
    } else {
        mStatus &= static_cast<uint16_t>(~(PSF_SELECTABLE | PSF_ACCEPTS_FOCUS));
        mSignals = 0;
    }
    mCursor = mFirstVisible = 0;
    mFlags = 0;
    mMarkStart = mMarkEnd = -1;
    mColors[0] = GUI_WHITE;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
}

void GuiEditField::Style(uint16_t style) {
    mStyle = style;
    if (style & 0x0100)
        mStatus |= PSF_WINDOW | PSF_SELECTABLE | PSF_ACCEPTS_FOCUS;
    else
        mStatus &= static_cast<uint16_t>(~(PSF_WINDOW | PSF_SELECTABLE | PSF_ACCEPTS_FOCUS));
}

// ---- text measure ---------------------------------------------------------------------------

int GuiEditField::WidthOf(int from, int count) const {
    if (!mpText || count <= 0 || from < 0 || from >= TextLen()) return 0;
    return GuiTextWidthOf(mpText + from, mpFont, count);
}

int GuiEditField::CharWidthAt(int i) const {
    return mpText && i >= 0 && i < TextLen() ? GuiCharWidth(mpText[i], mpFont) : 0;
}

void GuiEditField::SetText(const char* text, int len) {
    if (!text || len <= 0) {
        GuiTextThing::DataSet(nullptr);
        return;
    }
    char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 1));
    if (!buf) return;
    std::memcpy(buf, text, static_cast<size_t>(len));
    buf[len] = 0;
    GuiTextThing::DataSet(buf);
    std::free(buf);
}

void GuiEditField::Redraw() {
    GuiRedraw(this);
}

void GuiEditField::SendEditDone() {
    if (mpParent && mId && (mSignals & 0x0400) && mpParent->Visible()) SendSignal(10);
}

// ---- cursor ---------------------------------------------------------------------------------

void GuiEditField::AdvanceCursor(int ch) {
    mCursorPoint.x = static_cast<int16_t>(mCursorPoint.x + GuiCharWidth(static_cast<char>(ch), mpFont));
    // The text scrolls left; a field narrower than a character runs out of characters to scroll.
    while (mCursorPoint.x >= mClient.right && mFirstVisible < mCursor) {
        const int w = CharWidthAt(mFirstVisible);
        mCursorPoint.x = static_cast<int16_t>(mCursorPoint.x - w);
        ++mFirstVisible;
    }
}

void GuiEditField::RetardCursor(int ch) {
    mCursorPoint.x = static_cast<int16_t>(mCursorPoint.x - GuiCharWidth(static_cast<char>(ch), mpFont));
    while (mCursorPoint.x < mClient.left && mFirstVisible > 0) {
        --mFirstVisible;
        mCursorPoint.x = static_cast<int16_t>(mCursorPoint.x + CharWidthAt(mFirstVisible));
    }
}

void GuiEditField::SetCursorPos(GuiPoint p) {
    mCursorPoint.y = mClient.top;
    if (!mpText) {
        mCursor = 0;
        mCursorPoint.x = static_cast<int16_t>(mClient.left + 1);
        return;
    }
    const int target = p.x - mClient.left;
    const int len = TextLen();
    int sum = 1, i = mFirstVisible;
    while (i < len && sum + CharWidthAt(i) <= target) {
        sum += CharWidthAt(i);
        ++i;
    }
    if (i < len && sum + CharWidthAt(i) - target < target - sum) {
        sum += CharWidthAt(i);
        ++i;
    }
    mCursor = i;
    mCursorPoint.x = static_cast<int16_t>(mClient.left + sum);
}

// ---- text -----------------------------------------------------------------------------------

void GuiEditField::DataSet(const char* text) {
    int len = text ? static_cast<int>(std::strlen(text)) : 0;
    if (mMaxLength > 0 && len > mMaxLength) len = mMaxLength; // 0 or less: no limit
    if (text && len > 0 && text != mpText)
        SetText(text, len);
    else if (!text || len == 0)
        GuiTextThing::DataSet(nullptr);
    else if (len < TextLen()) // own text cut in place
        SetText(text, len);
    len = TextLen();
    if (len > 0) {
        if (mFirstVisible > len) mFirstVisible = len;
        if (mCursor > len) {
            mCursor = len;
            mCursorPoint = GuiPoint(mClient.left + WidthOf(mFirstVisible, len - mFirstVisible), mClient.top);
        }
        if (mFirstVisible > 0) {
            int w = WidthOf(mFirstVisible, len - mFirstVisible);
            const int c = mClient.Width();
            if (w >= c && mCursor == len) {
                while (w > c && mFirstVisible < len) {
                    const int cw = CharWidthAt(mFirstVisible);
                    w -= cw;
                    mCursorPoint.x = static_cast<int16_t>(mCursorPoint.x - cw);
                    ++mFirstVisible;
                }
            } else if (w < c) {
                while (mFirstVisible > 0 && w + CharWidthAt(mFirstVisible - 1) < c) {
                    --mFirstVisible;
                    const int cw = CharWidthAt(mFirstVisible);
                    w += cw;
                    mCursorPoint.x = static_cast<int16_t>(mCursorPoint.x + cw);
                }
            }
        }
    } else {
        mCursor = mFirstVisible = 0;
        mCursorPoint = GuiPoint(mClient.left, mClient.top);
    }
    if ((mFlags & EFF_ALL_MARKED) && len > 0) {
        mMarkStart = 0;
        mMarkEnd = len;
        mCursor = mFirstVisible = 0;
        mFlags = static_cast<uint16_t>((mFlags | EFF_MARKED) & ~EFF_CURSOR);
    } else {
        mFlags = static_cast<uint16_t>((mFlags & ~(EFF_CURSOR | EFF_MARKED | EFF_ALL_MARKED)) |
                                       ((mStatus & PSF_CURRENT) ? EFF_CURSOR : 0));
    }
    mFlags &= static_cast<uint16_t>(~EFF_MODIFIED);
    if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
}

void GuiEditField::SetMark(int start, int end) {
    const int len = TextLen();
    if (mpText && start >= 0 && start < len && start < end && end <= len) {
        mMarkStart = start;
        mMarkEnd = end;
        mFlags = static_cast<uint16_t>((mFlags | EFF_MARKED) & ~(EFF_CURSOR | EFF_ALL_MARKED));
        DrawMarked();
    } else {
        mFlags &= static_cast<uint16_t>(~(EFF_CURSOR | EFF_MARKED | EFF_ALL_MARKED));
        Redraw();
    }
}

void GuiEditField::SetMark(char* start, char* end) {
    const int len = TextLen();
    if (!mpText || !start || !end || len <= 0) return;
    char* last = mpText + len - 1;
    if (start < mpText || start >= last || end <= start || end > last) return;
    mMarkStart = static_cast<int>(start - mpText);
    mMarkEnd = static_cast<int>(end - mpText);
    mFlags = static_cast<uint16_t>((mFlags | EFF_MARKED) & ~(EFF_CURSOR | EFF_ALL_MARKED));
    DrawMarked();
}

void GuiEditField::DeleteMarkedText() {
    if (!(mFlags & (EFF_MARKED | EFF_ALL_MARKED))) return;
    const int len = TextLen();
    mCursorPoint.y = mClient.top;
    mFlags = static_cast<uint16_t>((mFlags | EFF_CURSOR) & ~EFF_MARKED);
    int ms = mMarkStart < 0 ? 0 : mMarkStart, me = mMarkEnd > len ? len : mMarkEnd;
    if (ms == 0 && me >= len) {
        GuiTextThing::DataSet(nullptr);
        mCursor = mFirstVisible = 0;
        mCursorPoint.x = mClient.left;
        return;
    }
    if (me < ms) me = ms;
    char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len - (me - ms)) + 1));
    if (!buf) return;
    std::memcpy(buf, mpText, static_cast<size_t>(ms));
    std::memcpy(buf + ms, mpText + me, static_cast<size_t>(len - me));
    buf[len - (me - ms)] = 0;
    GuiTextThing::DataSet(buf);
    std::free(buf);
    mCursor = ms;
    if (mFirstVisible > ms) mFirstVisible = ms;
    mCursorPoint.x = static_cast<int16_t>(mClient.left + WidthOf(mFirstVisible, ms - mFirstVisible));
}

void GuiEditField::ReplaceMarkedText(int ch) {
    if (!(mFlags & EFF_MARKED)) return;
    const int len = TextLen();
    mCursorPoint.y = mClient.top;
    const int ms = mMarkStart < 0 ? 0 : mMarkStart, me = mMarkEnd > len ? len : mMarkEnd;
    const char c = static_cast<char>(ch);
    if (ms == 0 && me >= len) {
        SetText(&c, 1);
        mFirstVisible = 0;
        mCursor = 1;
        mCursorPoint.x = static_cast<int16_t>(mClient.left + GuiCharWidth(c, mpFont));
    } else {
        const int n = len - (me - ms) + 1;
        char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
        if (!buf) return;
        std::memcpy(buf, mpText, static_cast<size_t>(ms));
        buf[ms] = c;
        std::memcpy(buf + ms + 1, mpText + (me > ms ? me : ms),
                    static_cast<size_t>(len - (me > ms ? me : ms)));
        buf[n] = 0;
        GuiTextThing::DataSet(buf);
        std::free(buf);
        mCursor = ms + 1;
        if (mFirstVisible > ms) mFirstVisible = ms;
        mCursorPoint.x = static_cast<int16_t>(mClient.left + WidthOf(mFirstVisible, mCursor - mFirstVisible));
    }
    mFlags = static_cast<uint16_t>((mFlags | EFF_CURSOR) & ~EFF_MARKED);
}

void GuiEditField::CopyToScratchPad() {
    GuiPresentationManager* pm = GuiPresentation();
    if (!(mFlags & EFF_MARKED) || !mpText || !pm) return;
    const int len = TextLen();
    const int ms = mMarkStart < 0 ? 0 : mMarkStart, me = mMarkEnd > len ? len : mMarkEnd;
    if (ms == 0 && me >= len) {
        pm->SetScratchPad(mpText);
        return;
    }
    if (me <= ms) return;
    char* part = static_cast<char*>(std::malloc(static_cast<size_t>(me - ms) + 1));
    if (!part) return;
    std::memcpy(part, mpText + ms, static_cast<size_t>(me - ms));
    part[me - ms] = 0;
    pm->SetScratchPad(part);
    std::free(part);
}

void GuiEditField::PasteFromScratchPad() {
    GuiPresentationManager* pm = GuiPresentation();
    if (!pm || !pm->mpScratchPad || !*pm->mpScratchPad) return;
    if (mFlags & (EFF_MARKED | EFF_ALL_MARKED)) DeleteMarkedText();
    mFlags &= static_cast<uint16_t>(~(EFF_MARKED | EFF_ALL_MARKED));
    const char* pad = pm->mpScratchPad;
    int n = static_cast<int>(std::strlen(pad));
    if (mpText) {
        const int len = TextLen();
        // What does not fit is cut from the pasted part, never from the text that was there.
        if (mMaxLength > 0 && len + n > mMaxLength) n = mMaxLength > len ? mMaxLength - len : 0;
        const int at = mCursor > len ? len : mCursor;
        char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len + n) + 1));
        if (!buf) return;
        std::memcpy(buf, mpText, static_cast<size_t>(at));
        std::memcpy(buf + at, pad, static_cast<size_t>(n));
        std::memcpy(buf + at + n, mpText + at, static_cast<size_t>(len - at));
        buf[len + n] = 0;
        DataSet(buf);
        std::free(buf);
    } else {
        DataSet(pad);
        mCursor = TextLen();
        mCursorPoint = GuiPoint(mClient.left + WidthOf(mFirstVisible, mCursor - mFirstVisible), mClient.top);
    }
    mFlags = static_cast<uint16_t>((mFlags | EFF_CURSOR) & ~EFF_MARKED);
    Redraw();
}

// ---- keys -----------------------------------------------------------------------------------

int GuiEditField::InsertKey(int key) {
    if (mFlags & EFF_MARKED) {
        if (key >= 32 && key <= 599) {
            ReplaceMarkedText(key);
            mFlags = static_cast<uint16_t>((mFlags & ~EFF_ALL_MARKED) | EFF_MODIFIED);
            return 1;
        }
        if (key == 8 || key == 600) {
            DeleteMarkedText();
            // A deleted mark is an edit: losing the focus reports it.
            mFlags = static_cast<uint16_t>((mFlags & ~EFF_ALL_MARKED) | EFF_MODIFIED);
            return 1;
        }
        if (key == 602 || key == 608 || key == 603 || key == 609) {
            mFlags = static_cast<uint16_t>((mFlags | EFF_CURSOR) & ~(EFF_MARKED | EFF_ALL_MARKED));
            key = (key == 602 || key == 608) ? 602 : 603;
        } else {
            return 0;
        }
    }
    const int len = TextLen();
    if (key >= 32 && key <= 599) {
        if (mMaxLength > 0 && len >= mMaxLength) return 0;
        const int at = mCursor > len ? len : mCursor;
        char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len) + 2));
        if (!buf) return 0;
        if (mpText) std::memcpy(buf, mpText, static_cast<size_t>(at));
        buf[at] = static_cast<char>(key);
        if (mpText) std::memcpy(buf + at + 1, mpText + at, static_cast<size_t>(len - at));
        buf[len + 1] = 0;
        if (!mpText) mCursorPoint = GuiPoint(mClient.left + 1, mClient.top);
        DataSet(buf);
        std::free(buf);
        ++mCursor;
        AdvanceCursor(key);
    } else {
        switch (key) {
        case 603: {
            mCursor = len;
            mFirstVisible = 0;
            int x = mClient.left + WidthOf(0, len);
            while (x >= mClient.right && mFirstVisible < len) {
                x -= CharWidthAt(mFirstVisible);
                ++mFirstVisible;
            }
            mCursorPoint = GuiPoint(x, mClient.top);
            if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
            break;
        }
        case 608:
            if (mCursor > 0) {
                RetardCursor(mpText[mCursor - 1]);
                --mCursor;
                if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
            }
            break;
        case 609:
            if (mCursor < len) {
                const char c = mpText[mCursor];
                ++mCursor;
                AdvanceCursor(c);
                if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
            }
            break;
        case 8:
            if (mCursor > 0) {
                RetardCursor(mpText[mCursor - 1]);
                char* buf = static_cast<char*>(std::malloc(static_cast<size_t>(len)));
                if (!buf) return 0;
                std::memcpy(buf, mpText, static_cast<size_t>(mCursor - 1));
                std::memcpy(buf + mCursor - 1, mpText + mCursor, static_cast<size_t>(len - mCursor));
                buf[len - 1] = 0;
                --mCursor;
                DataSet(buf);
                std::free(buf);
            }
            break;
        case 600:
            if (mCursor < len) {
                std::memmove(mpText + mCursor, mpText + mCursor + 1, static_cast<size_t>(len - mCursor));
                --mLength;
                if (mLength <= 1) GuiTextThing::DataSet(nullptr);
                if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
            }
            break;
        case 602:
            if (mCursor > 0) {
                mCursor = mFirstVisible = 0;
                mCursorPoint.x = mClient.left;
                if (Visible() && mpScreen) mpScreen->Invalidate(mReal);
            }
            break;
        default:
            return 0;
        }
    }
    mFlags |= EFF_MODIFIED;
    return 1;
}

// ---- drawing --------------------------------------------------------------------------------

void GuiEditField::DrawMarked() {
    if (!mpScreen || !Visible() || !mpText) return;
    mpScreen->Invalidate(mClient);
    mpScreen->BeginDraw(this);
    const GuiRect saved = mClip;
    mClip &= mClient;
    const int len = TextLen();
    const int ms = mMarkStart, me = mMarkEnd > len ? len : mMarkEnd;
    int x = (mStyle & 0x0020) ? mClient.right - WidthOf(mFirstVisible, len - mFirstVisible) - 1
                              : mClient.left + 1;
    auto run = [&](int from, int to, bool marked) {
        if (to <= from) return;
        GuiColor c = marked ? GuiColor(mColors[3], mColors[1], GUI_COLOR_FILL)
                            : GuiColor(mColors[2], mColors[0], GUI_COLOR_FILL);
        mpScreen->DrawText(this, GuiPoint(x, mClient.top), mpText + from, c, mpFont, to - from);
        x += WidthOf(from, to - from);
    };
    if (ms > mFirstVisible) run(mFirstVisible, ms, false);
    run(ms > mFirstVisible ? ms : mFirstVisible, me, true);
    if (me < len) run(me, len, false);
    mClip = saved;
    mpScreen->EndDraw();
}

void GuiEditField::Draw() {
    if (!mpScreen || !mpParent || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    if (mFlags & EFF_MARKED) {
        DrawMarked();
    } else if (mpText) {
        const int len = TextLen();
        const int x = (mStyle & 0x0020) ? mClient.right - WidthOf(mFirstVisible, len - mFirstVisible) - 1
                                        : mClient.left + 1;
        const GuiRect saved = mClip;
        mClip &= mClient;
        GuiColor c(mColors[2], mColors[0]);
        if (mFirstVisible < len)
            mpScreen->DrawText(this, GuiPoint(x, mClient.top), mpText + mFirstVisible, c, mpFont);
        mClip = saved;
    }
    if ((mFlags & EFF_CURSOR) && !(mStyle & 0x0020))
        GuiStroke(this, mCursorPoint.x, mClient.top, mCursorPoint.x, mClient.bottom, FIELD_CURSOR_COLOUR);
    DrawChildren();
    mpScreen->EndDraw();
}

// ---- messages -------------------------------------------------------------------------------

int GuiEditField::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_HIDE:
        GuiTextThing::Message(msg);
        mFlags = 0;
        return 0;
    case GM_GAIN_FOCUS:
        GuiTextThing::Message(msg);
        if (mpText) {
            mMarkStart = 0;
            mMarkEnd = TextLen();
            mCursor = 0;
            mFlags = EFF_MARKED | EFF_ALL_MARKED;
            mCursorPoint = GuiPoint(mClient.left + 1 - WidthOf(0, mFirstVisible), mClient.top);
        } else {
            mFlags = EFF_CURSOR;
            mCursorPoint = GuiPoint(mClient.left, mClient.top);
        }
        Redraw();
        return 0;
    case GM_LOSE_FOCUS:
        GuiTextThing::Message(msg);
        if (mFlags & EFF_MODIFIED) SendEditDone();
        mFlags = 0;
        Redraw();
        return 0;
    case GM_CUT:
        CopyToScratchPad();
        DeleteMarkedText();
        mFlags |= EFF_MODIFIED;
        Redraw();
        return 0;
    case GM_COPY:
        CopyToScratchPad();
        return 0;
    case GM_PASTE:
        PasteFromScratchPad();
        mFlags |= EFF_MODIFIED;
        return 0;
    default:
        return GuiTextThing::Message(msg);
    }
}
