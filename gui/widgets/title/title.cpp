#include "gui/widgets/title/title.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/core/util.h"
#include "gui/window/window.h"

#include <new>

const GuiMenuDescription DefSystemMenu[5] = {
    {GUISC_CLOSE, TITLE_ID_CLOSE, MIS_ENABLED, nullptr},
    {nullptr, 0, MIS_SEPARATOR, nullptr},
    {GUISC_MINIMIZE, TITLE_ID_MINIMIZE, MIS_ENABLED, nullptr},
    {GUISC_MAXIMIZE, TITLE_ID_MAXIMIZE, MIS_ENABLED, nullptr},
    {nullptr, 0, 0, nullptr},
};

namespace {

constexpr int TITLE_FONT_SLOT = 1;

template <typename B> B* windowButton(GuiThing* parent, B* b) {
    if (!b) return nullptr;
    b->mStatus |= PSF_NONCLIENT;
    b->mStatus &= static_cast<uint16_t>(~PSF_ACCEPTS_FOCUS);
    parent->Add(b, 0);
    return b;
}

// Font height + 2, at least 18 pixels.
int GuiTitleHeightFor(const GuiFont* font) {
    const int h = GuiFontHeight(font) + 2;
    return h < 18 ? 18 : h;
}

} // namespace

GuiTitle::GuiTitle(const char* text, uint16_t style) : GuiTextThing(0, style, text, TITLE_FONT_SLOT) {
    mTitleHeight = GuiTitleHeightFor(mpFont);
    mReal = mClient = mClip = GuiRect(0, 0, 100, mTitleHeight);
    mColors[0] = GUI_SHADOW;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    mStatus |= PSF_NONCLIENT | PSF_SIZEABLE;
    mType = TYPE_TITLE;
    if (style & TS_SYSTEM_MENU) {
        mpMenu = new (std::nothrow) GuiMenu(DefSystemMenu, 0);
        if (mpMenu) {
            mpMenu->SetHolder(&mpMenu);
            mpMenu->SetOwner(this);
        }
        mpSysButton = windowButton(this, new (std::nothrow) GuiSystemButton(
                                             GuiRect(2, 2, 15, 15), &gbSysButtonBitmap, TITLE_ID_SYSTEM));
    }
    auto disable = [this](uint16_t id) {
        if (!mpMenu) return;
        if (GuiThing* item = mpMenu->Find(id, 0); item && item->mType == TYPE_MENU_BUTTON)
            static_cast<GuiMenuButton*>(item)->SetEnabled(0);
    };
    if (style & TS_CLOSE)
        mpCloseButton =
            windowButton(this, new (std::nothrow) GuiBitmapButton(GuiRect(2, 2, 15, 15), &gbCloseButtonBitmap,
                                                                  TITLE_ID_CLOSE, BS_ENABLED));
    else
        disable(TITLE_ID_CLOSE);
    if (style & TS_MIN_MAX) {
        mpMaxButton =
            windowButton(this, new (std::nothrow) GuiBitmapButton(GuiRect(0, 0, 16, 16), &gbMaxButtonBitmap,
                                                                  TITLE_ID_MAXIMIZE, BS_ENABLED));
        mpMinButton =
            windowButton(this, new (std::nothrow) GuiBitmapButton(GuiRect(0, 0, 16, 16), &gbMinButtonBitmap,
                                                                  TITLE_ID_MINIMIZE, BS_ENABLED));
    } else {
        disable(TITLE_ID_MINIMIZE);
        disable(TITLE_ID_MAXIMIZE);
    }
}

GuiTitle::~GuiTitle() {
    if (GuiMenu* m = mpMenu) {
        mpMenu = nullptr;
        Destroy(m);
    }
}

void GuiTitle::DropMenu() {
    if (mpMenu && mpMenu->mpParent) mpMenu->mpParent->Remove(mpMenu, 1);
}

void GuiTitle::AssignMenu(const GuiMenuDescription* table) {
    if (!table || !mpMenu) return;
    GuiMenu* old = mpMenu;
    mpMenu = nullptr;
    Destroy(old);
    mpMenu = new (std::nothrow) GuiMenu(table, 0);
    if (mpMenu) {
        mpMenu->SetHolder(&mpMenu);
        mpMenu->SetOwner(this);
    }
}

void GuiTitle::SetFont(const GuiFont* font) {
    GuiTextThing::SetFont(font);
    const int h = GuiTitleHeightFor(font);
    const int d = h - mTitleHeight;
    if (!d) return;
    mTitleHeight = h;
    GuiThing* parent = Visible() ? mpParent : nullptr;
    if (parent) parent->Remove(this, 0);
    mReal.bottom = static_cast<int16_t>(mReal.bottom + d);
    mClient.bottom = static_cast<int16_t>(mClient.bottom + d);
    if (parent) parent->Add(this, 1);
}

bool GuiTitle::ParentMaximized() const {
    return mpParent && mpParent->mType >= TYPE_WINDOW && static_cast<GuiWindow*>(mpParent)->Maximized();
}

void GuiTitle::SizeToParent() {
    if (!mpParent) return;
    const bool maximized = ParentMaximized();
    if (mpMaxButton) {
        mpMaxButton->SetBitmap(maximized ? &gbRestoreButtonBitmap : &gbMaxButtonBitmap);
        mpMaxButton->Id(maximized ? TITLE_ID_RESTORE : TITLE_ID_MAXIMIZE);
    }
    if (mpMenu) {
        // The separator has no text; FindButton passes over it.
        if (GuiMenuButton* item = mpMenu->FindButton(maximized ? GUISC_MAXIMIZE : GUISC_RESTORE)) {
            item->DataSet(maximized ? GUISC_RESTORE : GUISC_MAXIMIZE);
            item->Id(maximized ? TITLE_ID_RESTORE : TITLE_ID_MAXIMIZE);
        }
    }
    GuiRect r = mpParent->mReal;
    const uint16_t frame = mpParent->mStyle;
    if ((frame & FF_THICK) || !(frame & FF_NONE)) {
        const int in = (frame & FF_THICK) ? 4 : 2;
        r.left = static_cast<int16_t>(r.left + in);
        r.top = static_cast<int16_t>(r.top + in);
        r.right = static_cast<int16_t>(r.right - 3);
    }
    GuiSendResize(this, GuiRect(r.left, r.top, r.right, r.top + mTitleHeight));
}

void GuiTitle::LayoutButtons() {
    const int top = mReal.top + 2, bottom = mReal.top + 17;
    int edge = mReal.right;
    if (mpCloseButton) {
        GuiSendResize(mpCloseButton, GuiRect(edge - 17, top, edge - 2, bottom));
        edge -= 17;
    }
    if (mpMaxButton) {
        GuiSendResize(mpMaxButton, GuiRect(edge - 17, top, edge - 2, bottom));
        edge -= 17;
    }
    if (mpMinButton) {
        GuiSendResize(mpMinButton, GuiRect(edge - 16, top, edge - 1, bottom));
        edge -= 16;
    }
    mClient.right = static_cast<int16_t>(edge - 4);
}

int GuiTitle::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GuiClickedType(TITLE_ID_CLOSE):
        return GuiSendDirect(mpParent, GM_DESTROY_SELF);
    case GuiClickedType(TITLE_ID_SYSTEM):
        if (mpMenu && mpPresentation) {
            GuiRect r = mpMenu->GetMinSize();
            r.MoveTo(mReal.left, mReal.bottom + 2);
            GuiSendResize(mpMenu, r);
            mpPresentation->RootThing()->Add(mpMenu, 1);
        }
        return 0;
    case GuiClickedType(TITLE_ID_MAXIMIZE):
        DropMenu();
        return GuiSendDirect(mpParent, GM_MAXIMIZE);
    case GuiClickedType(TITLE_ID_MINIMIZE):
        DropMenu();
        return GuiSendDirect(mpParent, GM_MINIMIZE);
    case GuiClickedType(TITLE_ID_RESTORE):
        DropMenu();
        return GuiSendDirect(mpParent, GM_RESTORE);
    case GM_RESIZE:
        GuiTextThing::Message(msg);
        LayoutButtons();
        return 0;
    case GM_SHOW:
    case GM_PARENT_SIZED:
        SizeToParent();
        return GuiTextThing::Message(msg);
    case GM_LBUTTON_DOWN:
        DropMenu();
        if (mpParent && !ParentMaximized()) {
            GuiMessage m(GM_MOVE_SIZE, mpParent, nullptr, 0x0080);
            m.payload.point = msg.payload.point;
            return mpParent->Message(m);
        }
        return 0;
    case GM_LOSE_FOCUS:
        DropMenu();
        return GuiTextThing::Message(msg);
    default:
        return GuiTextThing::Message(msg);
    }
}

void GuiTitle::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    s->BeginDraw(this);
    const bool active = mpParent && (mpParent->mStatus & PSF_CURRENT);
    GuiFill(this, mReal, active ? mColors[1] : mColors[0]);
    if (mpText && mpFont) {
        const GuiRect saved = mClip;
        if (mClip.right > mClient.right) mClip.right = mClient.right;
        GuiColor c(active ? mColors[3] : mColors[2], 0);
        const int x = (mpSysButton ? mpSysButton->mReal.right : mReal.left) + 4;
        s->DrawText(this, GuiPoint(x, mReal.top + 2), mpText, c, mpFont);
        mClip = saved;
    }
    DrawChildren();
    s->EndDraw();
}
