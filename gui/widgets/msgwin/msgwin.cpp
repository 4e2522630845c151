#include "gui/widgets/msgwin/msgwin.h"
#include "gui/controls/button/button.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/core/util.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/progress/progress.h"
#include "gui/widgets/textbox/textbox.h"
#include "gui/widgets/title/title.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr int BUTTON_FONT_SLOT = 3;
constexpr int MESSAGE_FONT_SLOT = 14;
constexpr uint16_t TITLE_TEXT_ONLY = 0x2000;

struct GuiMessageButton {
    uint16_t bit;
    const char* text;
    uint16_t id;
};
// "OK", "Yes", "No", "Abort", "Retry", "Cancel", in the order they are laid out.
const GuiMessageButton GuiMessageButtons[6] = {
    {MW_OK, GUISC_OK, GUI_ID_OK},          {MW_YES, GUISC_YES, GUI_ID_YES},
    {MW_NO, GUISC_NO, GUI_ID_NO},          {MW_ABORT, GUISC_ABORT, GUI_ID_ABORT},
    {MW_RETRY, GUISC_RETRY, GUI_ID_RETRY}, {MW_CANCEL, GUISC_CANCEL, GUI_ID_CANCEL},
};

// Width of one button ("Cancel" in the button font + 8) and of the row of those in `style`.
int GuiMessageButtonWidth() {
    return GuiTextWidthOf(GUISC_CANCEL, GuiTextThing::mFontTable[BUTTON_FONT_SLOT]) + 8;
}

int GuiMessageRowWidth(uint16_t style, int buttonWidth) {
    int n = 0;
    for (const GuiMessageButton& b : GuiMessageButtons)
        n += (style & b.bit) ? 1 : 0;
    return n ? n * buttonWidth + (n - 1) * 8 : 0;
}

// The client edges that the frame style leaves: 1 for thin, 2 raised or recessed, 5 thick.
int GuiMessageFrameInset(uint16_t style) {
    if (style & FF_THIN) return 1;
    if (style & (FF_RAISED | FF_RECESSED)) return 2;
    if (style & FF_THICK) return 5;
    return 0;
}

// Adds the buttons of `style` to `window` from `left`, `top` to `bottom`.
void GuiMessageAddButtons(GuiThing* window, uint16_t style, int left, int top, int bottom, int buttonWidth) {
    for (const GuiMessageButton& b : GuiMessageButtons) {
        if (!(style & b.bit)) continue;
        auto* button =
            new (std::nothrow) GuiTextButton(GuiRect(left, top, left + buttonWidth, bottom), b.text, b.id);
        if (!button) continue;
        button->SetFont(GuiTextThing::mFontTable[BUTTON_FONT_SLOT]);
        window->AddToEnd(button, 1);
        left += buttonWidth + 8;
    }
}

// A click of the close button or of a standard button that closes the window (OK to Retry).
bool GuiIsStandardClose(uint16_t type) {
    if (type < 128 || type >= GM_APP || ((type - 128) & 15) != GSIG_CLICKED) return false;
    const int id = (type - 128) >> 4;
    return id == GUI_ID_CLOSE || (id >= GUI_ID_OK && id <= GUI_ID_RETRY);
}

int buttonFontHeight() {
    return GuiFontHeight(GuiTextThing::mFontTable[BUTTON_FONT_SLOT]);
}

void setClientEdges(GuiThing* w) {
    const int in = GuiMessageFrameInset(w->mStyle);
    w->mClient.right = static_cast<int16_t>(w->mReal.right - in);
    w->mClient.bottom = static_cast<int16_t>(w->mReal.bottom - in);
}

void centre(GuiThing* w, GuiThing* owner) {
    GuiThing* on =
        owner ? owner : (GuiThing::mpPresentation ? GuiThing::mpPresentation->RootThing() : nullptr);
    if (on) on->Center(w);
}

// The title's messages and the standard buttons, shared by both window classes.
int handleMessage(GuiWindow* w, GuiTitle* title, GuiThing*& owner, GuiLifeline& life, const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        if (title)
            GuiSendResize(title, GuiRect(w->mClient.left, w->mReal.top + 2, w->mClient.right,
                                         w->mReal.top + 1 + title->TitleHeight()));
        w->GuiWindow::Message(msg);
        if (!owner) owner = w->mpParent;
        return 0;
    case GM_GAIN_FOCUS:
    case GM_LOSE_FOCUS: {
        const int r = w->GuiWindow::Message(msg);
        if (title && title->Visible()) GuiRedraw(title);
        return r;
    }
    default:
        if (GuiIsStandardClose(msg.type) && !w->Modal()) {
            GuiReportAndClose(w, life, owner, GM_MESSAGE_RESULT, msg.type);
            return 0;
        }
        return w->GuiWindow::Message(msg);
    }
}

} // namespace

// ---- one line -------------------------------------------------------------------------------

namespace {

// The title above the client area; its height, 0 without one.
int addTitle(GuiWindow* w, GuiTitle*& slot, const char* title) {
    if (!title) return 0;
    slot = new (std::nothrow) GuiTitle(title, TITLE_TEXT_ONLY);
    if (!slot) return 0;
    w->Add(slot, 0);
    w->mClient.top = static_cast<int16_t>(w->mClient.top + slot->mReal.Height());
    w->mStatus |= PSF_MOVEABLE;
    return slot->mReal.Height();
}

// A self-sizing window starts 80 wide and as tall as its button row; with a title, as wide as its
// text and taller by its height. Returns the title's width.
int startFit(GuiWindow* w, GuiTitle*& slot, const char* title, uint16_t style) {
    const int H = (style & MW_BUTTONS) ? buttonFontHeight() : 0;
    w->mReal.right = static_cast<int16_t>(w->mReal.left + 80);
    w->mReal.bottom = static_cast<int16_t>(w->mReal.top + H + 26);
    w->GuiWindow::InitClient();
    const int th = addTitle(w, slot, title);
    if (!th) return 0;
    w->mReal.bottom = static_cast<int16_t>(w->mReal.bottom + th);
    return GuiTextWidthOf(title, slot->mpFont) + 16;
}

// The width found, and the client edges the frame leaves.
void endFit(GuiWindow* w, int width) {
    w->mReal.right = static_cast<int16_t>(w->mReal.left + width);
    setClientEdges(w);
    w->mClip = w->mReal;
}

} // namespace

GuiMessageWindow::GuiMessageWindow(const GuiRect& rect, const char* title, const char* text, uint16_t style,
                                   GuiBitmap* icon, GuiThing* owner)
    : GuiWindow(rect, style) {
    Init(title, text, icon, owner, false);
}

GuiMessageWindow::GuiMessageWindow(const char* title, const char* text, uint16_t style, GuiBitmap* icon,
                                   GuiThing* owner)
    : GuiWindow(style) {
    Init(title, text, icon, owner, true);
}

void GuiMessageWindow::Init(const char* title, const char* text, GuiBitmap* icon, GuiThing* owner, bool fit) {
    mColors[0] = GUI_FACE;
    mColors[2] = GUI_BLACK;
    mType = TYPE_MESSAGE_WINDOW;
    mCopy = true;
    GuiTextThing::DataSet(text);
    mpFont = mFontTable[MESSAGE_FONT_SLOT];
    int titleWidth = 0;
    if (fit)
        titleWidth = startFit(this, mpTitle, title, mStyle);
    else
        addTitle(this, mpTitle, title);
    mpOwner = owner;
    mpIconBitmap = icon;
    if (!fit) {
        CalcButtonWidth();
        AddButtons();
        mTextWidth = GuiTextWidthOf(mpText, mpFont);
        return;
    }
    if (mpText) {
        mTextWidth = GuiTextWidthOf(mpText, mpFont) + 16;
        mReal.bottom = static_cast<int16_t>(mReal.bottom + GuiFontHeight(mpFont) + 8);
    }
    CalcButtonWidth();
    int W = titleWidth > mTextWidth ? titleWidth : mTextWidth;
    if (mRowWidth > W) W = mRowWidth;
    if (W == 0) W = 80;
    if (icon) {
        if (W - mTextWidth < icon->width + 24) W = mTextWidth + icon->width + 24;
        mReal.bottom = static_cast<int16_t>(mReal.bottom + icon->height + (mpText ? 0 : 24));
    }
    endFit(this, W);
    centre(this, owner);
    AddButtons();
}

void GuiMessageWindow::CalcButtonWidth() {
    mButtonWidth = GuiMessageButtonWidth();
    mRowWidth = GuiMessageRowWidth(mStyle, mButtonWidth);
}

void GuiMessageWindow::AddButtons() {
    const int left = mClient.left + (mClient.Width() - mRowWidth) / 2;
    GuiMessageAddButtons(this, mStyle, left, mClient.bottom - buttonFontHeight() - 10, mClient.bottom - 4,
                         mButtonWidth);
}

void GuiMessageWindow::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    GuiWindow::Draw();
    const GuiRect saved = mClip;
    mClip &= mClient;
    if (mpIconBitmap) s->Bitmap(this, GuiPoint(mClient.left + 12, mClient.top + 12), mpIconBitmap);
    if (mpText && mpFont) {
        GuiColor c(mColors[2], 0);
        const GuiPoint at =
            mpIconBitmap ? GuiPoint(mClient.left + mpIconBitmap->width + 23,
                                    mClient.top + mpIconBitmap->height / 2 + 8)
                         : GuiPoint(mClient.left + (mClient.Width() - mTextWidth) / 2 + 8, mClient.top + 8);
        s->DrawText(this, at, mpText, c, mpFont);
    }
    mClip = saved;
    s->EndDraw();
}

int GuiMessageWindow::Message(const GuiMessage& msg) {
    return handleMessage(this, mpTitle, mpOwner, mLifeline, msg);
}

// ---- multi-line -----------------------------------------------------------------------------

GuiMLMessageWindow::GuiMLMessageWindow(const GuiRect& rect, const char* title, const char* text,
                                       uint16_t style, GuiBitmap* icon, GuiThing* owner)
    : GuiWindow(rect, style) {
    Init(title, text, icon, owner, false);
}

GuiMLMessageWindow::GuiMLMessageWindow(const char* title, const char* text, uint16_t style, GuiBitmap* icon,
                                       GuiThing* owner)
    : GuiWindow(style) {
    Init(title, text, icon, owner, true);
}

void GuiMLMessageWindow::Init(const char* title, const char* text, GuiBitmap* icon, GuiThing* owner,
                              bool fit) {
    mColors[0] = GUI_FACE;
    mColors[2] = GUI_BLACK;
    mType = TYPE_ML_MESSAGE_WINDOW;
    int titleWidth = 0;
    if (fit)
        titleWidth = startFit(this, mpTitle, title, mStyle);
    else
        addTitle(this, mpTitle, title);
    mpOwner = owner;
    mpIconBitmap = icon;
    CalcButtonWidth();
    if (fit) {
        int W = titleWidth > mRowWidth ? titleWidth : mRowWidth;
        if (W == 0) W = 80;
        if (icon) {
            W += icon->width + 24;
            mReal.bottom = static_cast<int16_t>(mReal.bottom + icon->height + 24);
        }
        endFit(this, W);
    }
    AddTextBox(text);
    if (fit) centre(this, owner);
    AddButtons();
}

void GuiMLMessageWindow::CalcButtonWidth() {
    mButtonWidth = GuiMessageButtonWidth();
    mRowWidth = GuiMessageRowWidth(mStyle, mButtonWidth);
}

void GuiMLMessageWindow::CalcButtonTop() {
    mButtonTop = mClient.bottom;
    if (mStyle & MW_BUTTONS) mButtonTop -= 16 + buttonFontHeight();
}

void GuiMLMessageWindow::AddButtons() {
    CalcButtonTop();
    const int left = mClient.left + (mClient.Width() - mRowWidth) / 2;
    GuiMessageAddButtons(this, mStyle, left, mButtonTop, mClient.bottom - 4, mButtonWidth);
}

void GuiMLMessageWindow::AddTextBox(const char* text) {
    if (!text || !*text) return;
    CalcButtonTop();
    GuiRect r(mClient.left + 8, mClient.top + 8, mClient.right - 8, mButtonTop - 8);
    if (mpIconBitmap) {
        r.left = static_cast<int16_t>(mClient.left + mpIconBitmap->width + 24);
        r.top = static_cast<int16_t>(mClient.top + 8 + 12);
    }
    const int len = static_cast<int>(std::strlen(text));
    auto* box = new (std::nothrow)
        GuiTextBox(r, 0, static_cast<uint16_t>((mStyle & TT_COPY) | TBS_TRANSPARENT | TBS_WORD_WRAP | 0x0041),
                   text, len + 1);
    if (!box) return;
    box->SetFont(mFontTable[MESSAGE_FONT_SLOT]);
    box->mColors[0] = mColors[0];
    // The box grows in steps of a line and a little until the whole text shows; the window with it.
    const int step = GuiFontHeight(box->mpFont) + 3;
    int grown = 0;
    if (step > 3)
        while (box->TotalLines() * box->LineHeight() > r.Height() + grown && grown < 32000 - r.bottom)
            grown += step;
    if (grown) {
        r.bottom = static_cast<int16_t>(r.bottom + grown);
        box->Resize(r);
        mReal.bottom = static_cast<int16_t>(mReal.bottom + grown);
        mClient.bottom = static_cast<int16_t>(mClient.bottom + grown);
        mClip = mReal;
    }
    mpTextBox = box;
    Add(box, 1);
}

void GuiMLMessageWindow::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiWindow::Draw();
    if (mpIconBitmap) {
        const GuiRect saved = mClip;
        mClip &= mClient;
        mpScreen->Bitmap(this, GuiPoint(mClient.left + 12, mClient.top + 12), mpIconBitmap);
        mClip = saved;
    }
    mpScreen->EndDraw();
}

int GuiMLMessageWindow::Message(const GuiMessage& msg) {
    return handleMessage(this, mpTitle, mpOwner, mLifeline, msg);
}

// ---- progress -------------------------------------------------------------------------------

GuiProgressWindow::GuiProgressWindow(const GuiRect& rect, const char* title, const char* text, uint16_t style,
                                     uint16_t barStyle, GuiBitmap* icon, GuiThing* owner)
    : GuiMessageWindow(rect, title, text, style, icon, owner), mBarStyle(barStyle) {
    AddProgBar();
}

GuiProgressWindow::GuiProgressWindow(const char* title, const char* text, uint16_t style, uint16_t barStyle,
                                     GuiBitmap* icon, GuiThing* owner)
    : GuiMessageWindow(title, text, style, icon, owner), mBarStyle(barStyle) {
    const int grow = (style & MW_BUTTONS) ? 40 : 24;
    mReal.bottom = static_cast<int16_t>(mReal.bottom + grow);
    mClient.bottom = static_cast<int16_t>(mClient.bottom + grow);
    mClip = mReal;
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (c->mType == TYPE_TEXT_BUTTON && !(c->mStatus & PSF_NONCLIENT)) {
            GuiRect r = c->mReal;
            r.Shift(0, 40);
            c->Resize(r);
        }
    AddProgBar();
}

void GuiProgressWindow::AddProgBar() {
    const bool buttons = mStyle & MW_BUTTONS;
    const GuiRect r(mClient.left + 10, mClient.bottom - (buttons ? 56 : 28), mClient.right - 10,
                    mClient.bottom - (buttons ? 32 : 4));
    mpBar = new (std::nothrow) GuiProgressBar(r, mBarStyle, 0, 100, 0);
    if (mpBar) Add(mpBar, 1);
}
