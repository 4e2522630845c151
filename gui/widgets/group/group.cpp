#include "gui/widgets/group/group.h"
#include "gui/controls/button/button.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/group/group_private.h"

namespace {
constexpr int GROUP_FONT_SLOT = 9;
} // namespace

bool GuiIsGroupButton(uint8_t type) {
    switch (type) {
    case 5:
    case 11:
    case 12:
    case 14:
    case 15:
    case 26:
    case 29:
        return true;
    default:
        return false;
    }
}

GuiGroup::GuiGroup(const GuiRect& rect, const char* caption, uint16_t style)
    : GuiTextThing(rect, 0, style, caption, GROUP_FONT_SLOT) {
    mStatus |= PSF_WINDOW;
    mType = TYPE_GROUP;
    mClient = mReal;
    mClient -= 2;
    mClient.top = static_cast<int16_t>(mClient.top + GuiFontHeight(mpFont) / 2);
    mColors[2] = GUI_BLACK;
}

void GuiGroup::Add(GuiThing* child, int draw) {
    if (child) child->mStatus &= static_cast<uint16_t>(~PSF_VIEWPORT);
    GuiThing::Add(child, draw);
}

GuiThing* GuiGroup::Remove(GuiThing* child, int draw) {
    GuiThing* r = GuiThing::Remove(child, 0);
    if (r && Visible() && draw && mpParent) mpParent->Draw();
    return r;
}

void GuiGroup::Enable(int enable) {
    if (!enable == !(mStyle & GROUP_ENABLED)) return;
    if (enable) {
        mStyle |= GROUP_ENABLED;
        mStatus |= PSF_WINDOW | PSF_SELECTABLE;
    } else {
        mStyle &= static_cast<uint16_t>(~GROUP_ENABLED);
        mStatus &= static_cast<uint16_t>(~(PSF_WINDOW | PSF_SELECTABLE));
    }
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        if (!GuiIsGroupButton(c->mType)) continue;
        if (auto* b = dynamic_cast<GuiButton*>(c)) {
            if (enable)
                b->Enable();
            else
                b->Disable();
        }
        if (enable)
            c->mStatus |= PSF_WINDOW | PSF_SELECTABLE;
        else
            c->mStatus &= static_cast<uint16_t>(~(PSF_WINDOW | PSF_SELECTABLE));
    }
    GuiRedraw(this);
}

int GuiGroup::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        GuiTextThing::Message(msg);
        if (mpParent) mColors[0] = mpParent->mColors[0];
        return 0;
    case GM_GAIN_FOCUS:
        if (mpPresentation && mpPresentation->GetCurrentThing() == this) MoveFocusToFirstClientChild();
        GuiTextThing::Message(msg);
        return 0;
    default:
        return GuiTextThing::Message(msg);
    }
}

void GuiGroup::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    GuiScreen* s = mpScreen;
    if (mpParent) mColors[0] = mpParent->mColors[0];
    s->BeginDraw(this);
    GuiFill(this, mClient, mColors[0]);
    const int L = mReal.left, R = mReal.right, B = mReal.bottom, T = mClient.top;
    const bool caption = mpText && *mpText;
    const int E = L + 11 + (caption ? s->TextWidth(mpText, mpFont) : 0);
    if (caption) {
        GuiStroke(this, L, T - 2, L + 7, T - 2, GUI_SHADOW);
        GuiStroke(this, E, T - 2, R, T - 2, GUI_SHADOW);
    } else {
        GuiStroke(this, L, T - 2, R, T - 2, GUI_SHADOW);
    }
    GuiStroke(this, L, T - 1, L, B, GUI_SHADOW);
    GuiStroke(this, L + 1, B - 1, R - 1, B - 1, GUI_SHADOW);
    GuiStroke(this, R - 1, T - 2, R - 1, B - 1, GUI_SHADOW);
    if (caption) {
        GuiStroke(this, L + 1, T - 1, L + 7, T - 1, GUI_WHITE);
        GuiStroke(this, E, T - 1, R - 2, T - 1, GUI_WHITE);
    } else {
        GuiStroke(this, L + 1, T - 1, R - 2, T - 1, GUI_WHITE);
    }
    GuiStroke(this, L + 1, T, L + 1, B - 1, GUI_WHITE);
    GuiStroke(this, L, B, R, B, GUI_WHITE);
    GuiStroke(this, R, T - 2, R, B, GUI_WHITE);
    if (caption) {
        GuiColor c((mStyle & GROUP_ENABLED) ? mColors[2] : GUI_SHADOW, 0);
        s->DrawText(this, GuiPoint(L + 9, mReal.top), mpText, c, mpFont);
    }
    DrawChildren();
    s->EndDraw();
}
