#include "gui/widgets/toolbar/toolbar.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/widget.h"

namespace {

// Room for the grip at a panel's left edge, and the gap above its children.
constexpr int TOOL_PANEL_GRIP = 10;
constexpr int TOOL_PANEL_TOP_GAP = 2;
// The menu bar's type number (the bar does not depend on the menus).
constexpr uint8_t TOOL_MENU_BAR_TYPE = 9;

void fillFramed(GuiThing* t, uint32_t colour) {
    if (GuiThing::mpScreen)
        GuiThing::mpScreen->Rectangle(t, t->mReal, GuiColor(colour, colour, GUI_COLOR_FILL), 1);
}

} // namespace

// ---- panel ----------------------------------------------------------------------------------

GuiToolBarPanel::GuiToolBarPanel(uint16_t id) : GuiThing(GuiRect(0, 0, 100, 24), id, FF_NONE) {
    mType = TYPE_TOOL_BAR_PANEL;
    mColors[0] = GUI_FACE;
}

void GuiToolBarPanel::Add(GuiThing* child, int draw) {
    GuiThing::Add(child, draw);
    PositionChildren();
}

void GuiToolBarPanel::AddToEnd(GuiThing* child, int draw) {
    GuiThing::AddToEnd(child, draw);
    PositionChildren();
}

GuiThing* GuiToolBarPanel::Remove(GuiThing* child, int draw) {
    GuiThing* r = GuiThing::Remove(child, draw);
    PositionChildren();
    return r;
}

void GuiToolBarPanel::PositionChildren() {
    const int height = mReal.Height();
    int x = mReal.left + TOOL_PANEL_GRIP, y = mReal.top + TOOL_PANEL_TOP_GAP;
    int m = height - 4, rightmost = mReal.left + TOOL_PANEL_GRIP - 1;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        GuiRect r = c->mReal;
        r.MoveTo(x, y);
        c->Resize(r);
        if (r.Height() + 2 > m) m = r.Height() + 2;
        if (r.right > rightmost) rightmost = r.right + 3;
        x = r.right + 1;
    }
    if (m == height)
        Resize(GuiRect(mReal.left, mReal.top, rightmost, mReal.bottom));
    else
        Resize(GuiRect(mReal.left, mReal.top, rightmost, mReal.top + m));
}

void GuiToolBarPanel::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    mpScreen->BeginDraw(this);
    fillFramed(this, mColors[0]);
    GuiStroke(this, L, T, R, T, GUI_WHITE);
    GuiStroke(this, L, T, L, B - 1, GUI_WHITE);
    GuiStroke(this, L + 3, T + 2, L + 3, B - 3, GUI_WHITE);
    GuiStroke(this, L + 6, T + 2, L + 6, B - 3, GUI_WHITE);
    GuiStroke(this, L, B, R, B, GUI_SHADOW);
    GuiStroke(this, R, B, R, T + 1, GUI_SHADOW);
    GuiStroke(this, L + 4, T + 3, L + 4, B - 2, GUI_SHADOW);
    GuiStroke(this, L + 7, T + 3, L + 7, B - 2, GUI_SHADOW);
    DrawChildren();
    mpScreen->EndDraw();
}

// ---- bar ------------------------------------------------------------------------------------

GuiToolBar::GuiToolBar(uint16_t id) : GuiThing(GuiRect(0, 0, 100, 4), id, FF_NONE) {
    mType = TYPE_TOOL_BAR;
    mColors[0] = GUI_FACE;
    mStatus |= PSF_NONCLIENT | PSF_SIZEABLE;
}

void GuiToolBar::AddPanel(GuiToolBarPanel* panel, int redraw) {
    if (!panel || panel->mpParent == this) return;
    AddToEnd(panel, 0);
    PositionPanels();
    if (redraw && Visible() && mpScreen) {
        mpScreen->Invalidate(mClip);
        Draw();
    }
}

GuiThing* GuiToolBar::RemovePanel(GuiThing* panel, int redraw) {
    GuiThing* r = GuiThing::Remove(panel, 1);
    PositionPanels();
    if (redraw && Visible() && mpScreen) {
        mpScreen->Invalidate(mClip);
        Draw();
    }
    return r;
}

void GuiToolBar::PositionPanels() {
    SizeToTallestPanel();
    int x = mClient.left;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        c->Resize(GuiRect(x, mClient.top, x + c->mReal.Width() - 1, mClient.bottom));
        x = c->mReal.right + 1;
    }
}

void GuiToolBar::SizeToTallestPanel() {
    if (mpParent && mpParent->Visible()) return;
    int tallest = mTallest;
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (c->mReal.Height() > tallest) tallest = c->mReal.Height();
    if (tallest == mTallest) return;
    mTallest = tallest;
    Resize(GuiRect(mReal.left, mReal.top, mReal.right, mReal.top + mTallest - 1));
}

void GuiToolBar::SizeToParent() {
    if (mpParent) GuiSendResize(this, GuiTopBarRect(mpParent, 1, {TYPE_TITLE, TOOL_MENU_BAR_TYPE}, mTallest));
}

int GuiToolBar::Message(const GuiMessage& msg) {
    if (msg.type == GM_SHOW || msg.type == GM_PARENT_SIZED) {
        SizeToParent();
        GuiThing::Message(msg);
        return 0;
    }
    return GuiThing::Message(msg);
}

void GuiToolBar::Draw() {
    if (!mpScreen || !mpParent || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    fillFramed(this, mColors[0]);
    DrawChildren();
    mpScreen->EndDraw();
}
