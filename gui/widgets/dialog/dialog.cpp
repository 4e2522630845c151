#include "gui/widgets/dialog/dialog.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/menu/menu.h"
#include "gui/widgets/statusbar/statusbar.h"
#include "gui/widgets/title/title.h"
#include "gui/widgets/toolbar/toolbar.h"

#include <new>

namespace {

// Own copy of the text, close button, system button and menu.
constexpr uint16_t DIALOG_TITLE_STYLE = 0x2A00;

// True for the decorations that take room at the top of the client area (title, menu and tool
// bars); the status bar takes it at the bottom.
bool GuiIsTopDecoration(const GuiThing* c) {
    return c && (c->mType == TYPE_TITLE || c->mType == TYPE_MENU_BAR || c->mType == TYPE_TOOL_BAR);
}

bool GuiIsDecoration(const GuiThing* c) {
    return GuiIsTopDecoration(c) || (c && c->mType == TYPE_STATUS_BAR);
}

} // namespace

GuiDecoratedWindow::GuiDecoratedWindow(const GuiRect& rect, unsigned int style) : GuiWindow(rect, style) {
    mType = TYPE_DECORATED_WINDOW;
}

GuiDecoratedWindow::GuiDecoratedWindow(unsigned int style) : GuiWindow(style) {
    mType = TYPE_DECORATED_WINDOW;
}

void GuiDecoratedWindow::Add(GuiThing* child, int draw) {
    if (GuiIsDecoration(child)) {
        switch (child->mType) {
        case TYPE_TITLE:
            mpTitle = static_cast<GuiTitle*>(child);
            break;
        case TYPE_MENU_BAR:
            mpMenuBar = static_cast<GuiMenuBar*>(child);
            break;
        case TYPE_TOOL_BAR:
            mpToolBar = static_cast<GuiToolBar*>(child);
            break;
        default:
            mpStatusBar = static_cast<GuiStatusBar*>(child);
            break;
        }
        if (!child->mpParent) {
            const int h = child->mReal.Height();
            if (GuiIsTopDecoration(child))
                mClient.top = static_cast<int16_t>(mClient.top + h);
            else
                mClient.bottom = static_cast<int16_t>(mClient.bottom - h);
        }
    }
    GuiWindow::Add(child, draw);
}

GuiThing* GuiDecoratedWindow::Remove(GuiThing* child, int draw) {
    if (child && child->mpParent == this && GuiIsDecoration(child)) {
        const int h = child->mReal.Height();
        if (GuiIsTopDecoration(child)) {
            if (child == mpTitle) mpTitle = nullptr;
            if (child == mpMenuBar) mpMenuBar = nullptr;
            if (child == mpToolBar) mpToolBar = nullptr;
            if (Visible() && mpScreen)
                mpScreen->Invalidate(GuiRect(mReal.left, child->mReal.top, mReal.right, mClient.top));
            mClient.top = static_cast<int16_t>(mClient.top - h);
        } else {
            if (child == mpStatusBar) mpStatusBar = nullptr;
            // The height that Add took, all of it.
            mClient.bottom = static_cast<int16_t>(mClient.bottom + h);
        }
    }
    return GuiThing::Remove(child, draw);
}

void GuiDecoratedWindow::InitClient() {
    GuiWindow::InitClient();
    for (GuiThing* t : {static_cast<GuiThing*>(mpTitle), static_cast<GuiThing*>(mpMenuBar),
                        static_cast<GuiThing*>(mpToolBar)})
        if (t) mClient.top = static_cast<int16_t>(mClient.top + t->mReal.Height());
    if (mpStatusBar) mClient.bottom = static_cast<int16_t>(mClient.bottom - mpStatusBar->mReal.Height());
}

int GuiDecoratedWindow::Message(const GuiMessage& msg) {
    if (msg.type == GM_GAIN_FOCUS || msg.type == GM_LOSE_FOCUS) {
        GuiWindow::Message(msg);
        if (mpTitle && mpTitle->Visible() && mpScreen) {
            mpScreen->Invalidate(mpTitle->mClip);
            mpTitle->Draw();
        }
        return 0;
    }
    return GuiWindow::Message(msg);
}

// ---- dialog ---------------------------------------------------------------------------------

GuiDialog::GuiDialog(const GuiRect& rect, const char* title, GuiThing* owner, uint16_t style)
    : GuiDecoratedWindow(rect, style) {
    Build(title, owner);
}

GuiDialog::GuiDialog(const char* title, GuiThing* owner, uint16_t style) : GuiDecoratedWindow(style) {
    Build(title, owner);
}

void GuiDialog::Build(const char* title, GuiThing* owner) {
    mColors[0] = GUI_FACE;
    mType = TYPE_DIALOG;
    if (title)
        if (auto* t = new (std::nothrow) GuiTitle(title, DIALOG_TITLE_STYLE)) {
            Add(t, 0);
            mStatus |= PSF_MOVEABLE;
        }
    mpOwner = owner;
    mModal = 0;
}

int GuiDialog::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        GuiDecoratedWindow::Message(msg);
        if (!mpOwner) mpOwner = mpParent;
        return 0;
    case GuiClickedType(GUI_ID_APPLY):
        if (!mModal && mpOwner) GuiSendDirect(mpOwner, GM_DIALOG_RESULT, this, msg.data);
        return 0;
    case GuiClickedType(GUI_ID_CLOSE):
    case GuiClickedType(GUI_ID_OK):
    case GuiClickedType(GUI_ID_CANCEL):
    case GuiClickedType(GUI_ID_ABORT):
    case GuiClickedType(GUI_ID_YES):
    case GuiClickedType(GUI_ID_NO):
    case GuiClickedType(GUI_ID_RETRY):
        if (mModal) return GuiDecoratedWindow::Message(msg);
        GuiReportAndClose(this, mLifeline, mpOwner, GM_DIALOG_RESULT, msg.data);
        return 0;
    default:
        return GuiDecoratedWindow::Message(msg);
    }
}
