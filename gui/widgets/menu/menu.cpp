#include "gui/widgets/menu/menu.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"

#include <cstring>
#include <new>

namespace {

constexpr int MENU_FONT_SLOT = 2;

bool isButton(const GuiThing* t) {
    return t && t->mType == TYPE_MENU_BUTTON;
}

GuiMenuButton* asButton(GuiThing* t) {
    return isButton(t) ? static_cast<GuiMenuButton*>(t) : nullptr;
}

int menuFontHeight() {
    return GuiFontHeight(GuiTextThing::mFontTable[MENU_FONT_SLOT]);
}

// Depth-first over the item buttons among `first` and its siblings (sub-menus searched right
// after their button): the first whose text equals `text`. Items without text (separators)
// never match.
GuiMenuButton* GuiMenuFindButton(GuiThing* first, const char* text) {
    if (!text) return nullptr;
    for (GuiThing* c = first; c; c = c->mpNext) {
        GuiMenuButton* b = asButton(c);
        if (!b) continue;
        // A separator has no text: comparing it would read through a null pointer.
        if (b->DataGet() && std::strcmp(b->DataGet(), text) == 0) return b;
        if (GuiMenuButton* f = b->FindButton(text)) return f;
    }
    return nullptr;
}

// Calls CloseMenu on every item button among `first` and its siblings but `except`.
void GuiMenuCloseAll(GuiThing* first, GuiMenuButton* except) {
    for (GuiThing* c = first; c; c = c->mpNext)
        if (GuiMenuButton* b = asButton(c); b && b != except) b->CloseMenu();
}

} // namespace

// ---- items ----------------------------------------------------------------------------------

GuiMenuButton::GuiMenuButton(const GuiMenuDescription* desc)
    : GuiTextThing(desc ? desc->id : 0, desc ? desc->style : 0, desc ? desc->text : nullptr, MENU_FONT_SLOT) {
    mReal = mClient = mClip = GuiRect(0, 0, 100, 18);
    mType = TYPE_MENU_BUTTON;
    if (desc && desc->subMenu) {
        mpSubMenu = new (std::nothrow) GuiMenu(desc->subMenu, 0);
        if (mpSubMenu) mpSubMenu->SetHolder(&mpSubMenu);
    }
    if (mStyle & MIS_RADIO)
        mSignals = 1u << 10;
    else if (mStyle & MIS_CHECK)
        mSignals = (1u << 8) | (1u << 9);
    else if (mStyle & MIS_ENABLED)
        mSignals = 1u << GSIG_CLICKED;
    // A disabled item of any kind takes no pointer input.
    if (!(mStyle & MIS_ENABLED)) mStatus &= static_cast<uint16_t>(~PSF_SELECTABLE);
    mStatus |= PSF_NONCLIENT | PSF_SIZEABLE;
    mStatus &= static_cast<uint16_t>(~PSF_ACCEPTS_FOCUS);
    mColors[0] = GUI_FACE;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
}

GuiMenuButton::~GuiMenuButton() {
    // A shown sub-menu is closed and freed with its button; it would stay on screen otherwise.
    if (GuiMenu* m = mpSubMenu) {
        mpSubMenu = nullptr;
        Destroy(m);
    }
}

GuiRect GuiMenuButton::GetMinSize(uint8_t parentType) {
    int w = GuiTextWidthOf(mpText, mpFont) + 8;
    if (parentType == TYPE_MENU) w += 32;
    const int h = IsSeparator() ? 6 : GuiFontHeight(mpFont) + 2;
    return GuiRect(0, 0, w, h);
}

void GuiMenuButton::SignalOwner(uint8_t signal) {
    if (!mId || !mpOwner || !(mSignals & (1u << signal)) || !mpMessageQueue) return;
    if (mId > GUI_MAX_SIGNAL_ID) return;
    GuiMessage m(static_cast<uint16_t>(128 + 16 * mId + signal), mpOwner, this, mId);
    mpMessageQueue->Push(&m);
}

void GuiMenuButton::SetChecked(int on) {
    if (on)
        mStyle |= MIS_CHECKED;
    else
        mStyle &= static_cast<uint16_t>(~MIS_CHECKED);
    SignalOwner(on ? 8 : 9);
}

void GuiMenuButton::SetDotted(int on) {
    if (on) {
        RemoveSiblingDots();
        mStyle |= MIS_DOTTED;
    } else {
        mStyle &= static_cast<uint16_t>(~MIS_DOTTED);
    }
    SignalOwner(on ? 10 : 11);
}

void GuiMenuButton::SetEnabled(int on) {
    if (on) {
        mStyle |= MIS_ENABLED;
        mStatus |= PSF_SELECTABLE;
    } else {
        mStyle &= static_cast<uint16_t>(~MIS_ENABLED);
        mStatus &= static_cast<uint16_t>(~PSF_SELECTABLE);
    }
}

void GuiMenuButton::SetOwner(GuiThing* owner) {
    mpOwner = owner;
    if (mpSubMenu) mpSubMenu->SetOwner(owner);
}

void GuiMenuButton::SetSubMenu(GuiMenu* menu) {
    if (menu == mpSubMenu) return;
    if (GuiMenu* old = mpSubMenu) {
        mpSubMenu = nullptr;
        mOpen = 0;
        Destroy(old);
    }
    mpSubMenu = menu;
    if (menu) {
        menu->SetHolder(&mpSubMenu);
        menu->SetOwner(mpOwner);
    }
}

GuiMenuButton* GuiMenuButton::FindButton(const char* text) {
    return mpSubMenu ? mpSubMenu->FindButton(text) : nullptr;
}

GuiThing* GuiMenuButton::Find(uint16_t id, int recursive) {
    return mpSubMenu ? mpSubMenu->Find(id, recursive) : nullptr;
}

void GuiMenuButton::CloseMenu() {
    if (!mOpen) return;
    mOpen = 0;
    if (mpSubMenu && mpSubMenu->Visible() && mpSubMenu->mpParent) mpSubMenu->mpParent->Remove(mpSubMenu, 1);
    GuiRedraw(this);
}

void GuiMenuButton::AddSubMenu(int fromBar) {
    if (!mpSubMenu || !mpPresentation) return;
    GuiThing* root = mpPresentation->RootThing();
    const GuiRect screen = root->mReal;
    GuiRect r = mpSubMenu->GetMinSize();
    if (fromBar)
        r.MoveTo(mReal.left, mReal.bottom + 2);
    else
        r.MoveTo(mReal.right, mReal.top - 4);
    if (r.bottom >= screen.bottom) {
        if (fromBar) {
            if (mReal.top - 1 > r.Height()) r.Shift(0, -(mReal.Height() + r.Height() + 2));
        } else {
            r.Shift(0, screen.bottom - r.bottom - 1);
        }
    }
    if (r.right > screen.right) {
        if (fromBar)
            r.Shift(screen.right - r.right, 0);
        else
            r.Shift(-(mReal.Width() + r.Width() + 1), 0);
    }
    GuiSendResize(mpSubMenu, r);
    root->Add(mpSubMenu, 1);
    mOpen = 1;
}

void GuiMenuButton::RemoveSiblingDots() {
    if (!mpParent) return;
    // The group runs between the separators around this item.
    GuiThing* first = this;
    while (first->mpPrev && !(isButton(first->mpPrev) && asButton(first->mpPrev)->IsSeparator()))
        first = first->mpPrev;
    for (GuiThing* c = first; c; c = c->mpNext) {
        GuiMenuButton* b = asButton(c);
        if (b && b->IsSeparator()) break;
        if (b && b != this && b->IsDotted()) b->SetDotted(0);
    }
}

void GuiMenuButton::SendOwnerMessage() {
    if (mpSubMenu || !mpOwner || (mpParent && mpParent->mType == TYPE_MENU_BAR)) return;
    // A disabled check or radio item keeps its state whatever the pointer does.
    if (!Enabled()) return;
    if (mpPresentation) mpPresentation->MoveFocusTree(mpOwner);
    if (mStyle & MIS_CHECK)
        SetChecked(!IsChecked());
    else if (mStyle & MIS_RADIO)
        SetDotted(1);
    else if (mId)
        SignalOwner(GSIG_CLICKED);
}

int GuiMenuButton::Message(const GuiMessage& msg) {
    const bool inBar = mpParent && mpParent->mType == TYPE_MENU_BAR;
    switch (msg.type) {
    case GM_HIDE:
        GuiTextThing::Message(msg);
        mHighlighted = 0;
        CloseMenu();
        return 0;
    case GM_LBUTTON_DOWN:
        if (!Enabled()) return 0;
        if (inBar) {
            auto* bar = static_cast<GuiMenuBar*>(mpParent);
            bar->SetFlyoverMode(!bar->InFlyoverMode());
            GuiRedraw(this);
        }
        if (!mpSubMenu)
            SendOwnerMessage();
        else if (!mOpen)
            AddSubMenu(inBar);
        else
            CloseMenu();
        return 0;
    case GM_LBUTTON_UP:
        if (!mpSubMenu) SendOwnerMessage();
        return 0;
    case GM_POINTER_ENTER:
        mHighlighted = 1;
        GuiRedraw(this);
        if (inBar) {
            auto* bar = static_cast<GuiMenuBar*>(mpParent);
            if (bar->InFlyoverMode()) {
                bar->CloseSiblings(this);
                if (mpSubMenu && !mOpen && Enabled()) AddSubMenu(1);
            }
        } else if (mpParent && mpParent->mType == TYPE_MENU) {
            static_cast<GuiMenu*>(mpParent)->CloseSiblings(this);
            if (mpSubMenu && !mOpen && Enabled()) AddSubMenu(0);
        }
        return 0;
    case GM_POINTER_EXIT:
        mHighlighted = 0;
        if (!mOpen) GuiRedraw(this);
        return 0;
    default:
        return GuiTextThing::Message(msg);
    }
}

void GuiMenuButton::DrawInBar() {
    GuiScreen* s = mpScreen;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    GuiFill(this, mReal, mColors[0]);
    if ((mHighlighted && Enabled()) || mOpen) {
        const bool fly = mpParent && static_cast<GuiMenuBar*>(mpParent)->InFlyoverMode();
        const uint32_t lit = fly ? GUI_SHADOW : GUI_WHITE, dark = fly ? GUI_WHITE : GUI_SHADOW;
        GuiStroke(this, L, T, R, T, lit);
        GuiStroke(this, L, T, L, B, lit);
        GuiStroke(this, L + 1, B, R, B, dark);
        GuiStroke(this, R, T, R, B, dark);
    }
    if (mpText && mpFont) {
        GuiColor c(Enabled() ? mColors[2] : GUI_SHADOW, mColors[0]);
        const int w = s->TextWidth(mpText, mpFont);
        s->DrawText(this, GuiPoint(L + (mReal.Width() - w) / 2, T + 1), mpText, c, mpFont);
    }
}

void GuiMenuButton::DrawInMenu() {
    GuiScreen* s = mpScreen;
    const bool lit = Enabled() && mHighlighted;
    const uint32_t back = lit ? mColors[1] : mColors[0];
    const uint32_t fore = !Enabled() ? GUI_SHADOW : lit ? mColors[3] : mColors[2];
    GuiFill(this, mReal, back);
    if (mpText && mpFont) {
        GuiColor c(fore, back);
        s->DrawText(this, GuiPoint(mReal.left + 16, mReal.top + 1), mpText, c, mpFont);
    }
    GuiBitmap* mark = nullptr;
    int x = mReal.left + 4;
    if (mpSubMenu) {
        mark = &gbMoreBitmap;
        x = mReal.right - 2 * mark->width;
    } else if (IsChecked()) {
        mark = &gbCheckBitmap;
    } else if (IsDotted()) {
        mark = &gbDotBitmap;
    }
    if (mark) s->Bitmap(this, GuiPoint(x, mReal.top + (mReal.Height() - mark->height) / 2), mark);
}

void GuiMenuButton::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    if (IsSeparator()) {
        const int y = (mReal.top + mReal.bottom) / 2;
        GuiStroke(this, mReal.left, y, mReal.right, y, GUI_SHADOW);
        GuiStroke(this, mReal.left, y + 1, mReal.right, y + 1, GUI_WHITE);
    } else if (mpParent && mpParent->mType == TYPE_MENU_BAR) {
        DrawInBar();
    } else {
        DrawInMenu();
    }
    DrawChildren();
    mpScreen->EndDraw();
}

// ---- pop-up menu ----------------------------------------------------------------------------

GuiMenu::GuiMenu(const GuiMenuDescription* table, int acceptsFocus) : GuiThing(0, FF_NONE) {
    mReal = mClip = GuiRect(0, 0, 100, 20);
    mClient = mReal;
    mClient -= 2;
    mColors[0] = GUI_FACE;
    mType = TYPE_MENU;
    mStatus |= PSF_ALWAYS_ON_TOP | PSF_VIEWPORT | PSF_NONCLIENT | PSF_MOVEABLE | PSF_SIZEABLE;
    if (!acceptsFocus) mStatus &= static_cast<uint16_t>(~PSF_ACCEPTS_FOCUS);
    for (const GuiMenuDescription* d = table; d && (d->id || d->style); ++d)
        if (auto* b = new (std::nothrow) GuiMenuButton(d)) AddToEnd(b, 1); // in table order
}

GuiMenu::~GuiMenu() {
    if (mppHolder && *mppHolder == this) *mppHolder = nullptr;
}

void GuiMenu::PositionButtons() {
    int y = mReal.top + 1;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        GuiMenuButton* b = asButton(c);
        if (!b) continue;
        const GuiRect m = b->GetMinSize(TYPE_MENU);
        GuiSendResize(b, GuiRect(mReal.left + 2, y + 1, mReal.right - 2, y + m.bottom + 1));
        y += m.bottom + 1;
    }
}

GuiRect GuiMenu::GetMinSize() {
    int w = 0, h = 0;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        GuiMenuButton* b = asButton(c);
        if (!b) continue;
        const GuiRect m = b->GetMinSize(TYPE_MENU);
        if (m.right > w) w = m.right;
        h += m.bottom + 1;
    }
    return GuiRect(0, 0, w + 6, h + 6);
}

void GuiMenu::CloseSiblings(GuiMenuButton* except) {
    for (GuiThing* c = mpFirst; c;) {
        GuiThing* next = c->mpNext;
        GuiMenuButton* b = asButton(c);
        if (b && b != except) {
            b->CloseMenu();
            if (b->Highlighted()) GuiSendDirect(b, GM_POINTER_EXIT);
        }
        c = next;
    }
}

GuiMenuButton* GuiMenu::FindButton(const char* text) {
    return GuiMenuFindButton(mpFirst, text);
}

void GuiMenu::SetOwner(GuiThing* owner) {
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (GuiMenuButton* b = asButton(c)) b->SetOwner(owner);
}

int GuiMenu::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        PositionButtons();
        return GuiThing::Message(msg);
    case GM_GAIN_FOCUS:
        GuiThing::Message(msg);
        for (GuiThing* c = mpFirst; c; c = c->mpNext) {
            GuiMenuButton* b = asButton(c);
            if (b && b->Enabled() && !b->IsSeparator()) {
                GuiSendDirect(b, GM_POINTER_ENTER);
                break;
            }
        }
        return 0;
    case GM_LOSE_FOCUS:
        GuiThing::Message(msg);
        GuiMenuCloseAll(mpFirst, nullptr);
        if (mpParent) mpParent->Remove(this, 1);
        return 0;
    case GM_KEY:
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiMenu::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    mpScreen->BeginDraw(this);
    GuiFill(this, mReal, mColors[0]);
    GuiStroke(this, L + 1, T + 1, L + 1, B, GUI_WHITE);
    GuiStroke(this, L + 1, T + 1, R - 1, T + 1, GUI_WHITE);
    GuiStroke(this, L + 1, B - 1, R - 1, B - 1, GUI_SHADOW);
    GuiStroke(this, R - 1, T + 1, R - 1, B - 1, GUI_SHADOW);
    GuiStroke(this, L, B, R, B, GUI_BLACK);
    GuiStroke(this, R, T, R, B, GUI_BLACK);
    DrawChildren();
    mpScreen->EndDraw();
}

// ---- menu bar -------------------------------------------------------------------------------

GuiMenuBar::GuiMenuBar(const GuiMenuDescription* table) : GuiThing(0, FF_NONE) {
    mReal = mClient = mClip = GuiRect(0, 0, 100, menuFontHeight() + 6);
    mColors[0] = GUI_FACE;
    mType = TYPE_MENU_BAR;
    mStatus |= PSF_NONCLIENT | PSF_MOVEABLE | PSF_SIZEABLE;
    for (const GuiMenuDescription* d = table; d && (d->id || d->style); ++d)
        if (auto* b = new (std::nothrow) GuiMenuButton(d)) AddToEnd(b, 1);
}

void GuiMenuBar::CloseSiblings(GuiMenuButton* except) {
    GuiMenuCloseAll(mpFirst, except);
}

GuiMenuButton* GuiMenuBar::FindButton(const char* text) {
    return GuiMenuFindButton(mpFirst, text);
}

void GuiMenuBar::SizeToParent() {
    if (mpParent) GuiSendResize(this, GuiTopBarRect(mpParent, 2, {TYPE_TITLE}, 7 + menuFontHeight()));
}

void GuiMenuBar::PositionButtons() {
    int x = mReal.left + 2;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        GuiMenuButton* b = asButton(c);
        if (!b) continue;
        const GuiRect m = b->GetMinSize(TYPE_MENU_BAR);
        const GuiRect r(x + 4, mReal.top + 2, x + 4 + m.right + 1, mReal.top + 2 + m.bottom);
        GuiSendResize(b, r);
        x = r.right;
    }
}

int GuiMenuBar::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        for (GuiThing* c = mpFirst; c; c = c->mpNext)
            if (GuiMenuButton* b = asButton(c)) b->SetOwner(mpParent);
        SizeToParent();
        PositionButtons();
        return GuiThing::Message(msg);
    case GM_PARENT_SIZED:
        SizeToParent();
        PositionButtons();
        return GuiThing::Message(msg);
    case GM_LOSE_FOCUS:
        GuiThing::Message(msg);
        GuiMenuCloseAll(mpFirst, nullptr);
        mFlyover = 0;
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}

void GuiMenuBar::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiFill(this, mReal, mColors[0]);
    DrawChildren();
    mpScreen->EndDraw();
}
