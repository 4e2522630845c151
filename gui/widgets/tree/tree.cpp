#include "gui/widgets/tree/tree.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"

#include <cstring>
#include <new>

namespace {

constexpr int TREE_NODE_FONT_SLOT = 15;
constexpr uint32_t TREE_LINES = GUI_FACE;
constexpr uint32_t TREE_SIGN = 0xBF0000;

int clampInt(int64_t v) {
    return static_cast<int>(v > 0x3FFFFFFF ? 0x3FFFFFFF : v);
}
int iconWidth(const GuiTreeNode* n) {
    return n->mpIcon ? n->mpIcon->width : 0;
}

// The widest icon among the node's children, + 2.
int GuiTreeChildIconSpace(const GuiTreeNode* n) {
    int w = 0;
    for (GuiTreeNode* c = n->First(); c; c = c->Next())
        if (iconWidth(c) > w) w = iconWidth(c);
    return w + 2;
}

} // namespace

// ---- nodes --------------------------------------------------------------------------------------

GuiTreeNode::GuiTreeNode(const char* text, GuiBitmap* icon)
    : GuiTextThing(0, TT_COPY, text, TREE_NODE_FONT_SLOT), mpIcon(icon) {}

void GuiTreeNode::Add(GuiThing* child, int) {
    AddToEnd(child, 0);
}

void GuiTreeNode::Insert(GuiTreeNode* node) {
    GuiThing* parent = mpParent;
    if (!node || node == this || !parent || IsIn(node)) return;
    if (parent->mpFirst == this) {
        parent->Add(node, 0);
        return;
    }
    if (node->mpParent) node->mpParent->Remove(node, 0);
    node->mpParent = parent;
    node->mpNext = this;
    node->mpPrev = mpPrev;
    mpPrev->mpNext = node;
    mpPrev = node;
}

int GuiTreeNode::NodeHeight() {
    const int text = GuiFontHeight(mpFont);
    const int icon = mpIcon ? mpIcon->height : 0;
    return (text > icon ? text : icon) + 2;
}

int GuiTreeNode::NodeWidth() {
    return (mpFont ? GuiTextWidthOf(mpText, mpFont) + 4 : 0) + (mpIcon ? mpIcon->width + 2 : 0);
}

int GuiTreeNode::BranchHeight() {
    int64_t h = NodeHeight();
    if (mOpen)
        for (GuiTreeNode* c = First(); c; c = c->Next())
            h += c->BranchHeight();
    return clampInt(h);
}

int GuiTreeNode::BranchWidth(GuiTreeView* view) {
    const int indent = view ? view->Indent() : TREE_INDENT;
    int64_t w = NodeWidth() + indent;
    if (mOpen)
        for (GuiTreeNode* c = First(); c; c = c->Next()) {
            const int64_t cw = int64_t{indent} + c->BranchWidth(view);
            if (cw > w) w = cw;
        }
    return clampInt(w);
}

GuiTreeNode* GuiTreeNode::NodeBottom() {
    GuiTreeNode* n = this;
    while (n->mOpen && n->First()) {
        n = n->First();
        while (n->Next())
            n = n->Next();
    }
    return n;
}

GuiTreeNode* GuiTreeNode::NodeAbove() {
    if (!mpParent) return nullptr;
    if (mpParent->mpFirst == this) return Parent();
    return static_cast<GuiTreeNode*>(mpPrev)->NodeBottom();
}

GuiTreeNode* GuiTreeNode::NodeBelow() {
    if (mOpen && First()) return First();
    for (GuiTreeNode* n = this; n; n = n->Parent())
        if (n->Next()) return n->Next();
    return nullptr;
}

int GuiTreeNode::Count() {
    int n = 0;
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        ++n;
    return n;
}

// ---- the view -----------------------------------------------------------------------------------

GuiTreeView::GuiTreeView(const GuiRect& rect, unsigned short style, const char* rootText, GuiBitmap* rootIcon)
    : GuiWindow(rect, style) {
    mType = TYPE_TREE_VIEW;
    mStatus &= static_cast<uint16_t>(~PSF_SIZEABLE);
    mScrollMode = WSM_VERTICAL_AUTO;
    mSignals = 0x0300;
    mColors[0] = GUI_WHITE;
    mColors[1] = GUI_ACTIVE_BLUE;
    mColors[2] = GUI_BLACK;
    mColors[3] = GUI_WHITE;
    mpRoot = new (std::nothrow) GuiTreeNode(rootText, nullptr);
    if (mpRoot) {
        mpRoot->mpIcon = rootIcon;
        mpRoot->mOpen = 1;
    }
}

GuiTreeView::~GuiTreeView() {
    delete mpRoot;
}

namespace {
bool holds(GuiThing* branch, const GuiThing* node) {
    if (branch == node) return true;
    for (GuiThing* c = branch->mpFirst; c; c = c->mpNext)
        if (holds(c, node)) return true;
    return false;
}
} // namespace

GuiTreeNode* GuiTreeView::Selected() {
    // A node deleted behind the view's back is no selection.
    if (mpSelected && !(mpRoot && holds(mpRoot, mpSelected))) mpSelected = nullptr;
    return mpSelected;
}

void GuiTreeView::InvalidateClient() {
    if (Visible() && mpScreen) mpScreen->Invalidate(mClient);
}

void GuiTreeView::Signal(uint8_t signal, GuiTreeNode* node) {
    if (!mId || !mpParent || !mpMessageQueue) return;
    GuiMessage m(static_cast<uint16_t>(128 + 16 * mId + signal), mpParent, this, mId);
    m.payload.ptr[0] = node;
    mpMessageQueue->Push(&m);
}

void GuiTreeView::GetVScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    info->minimum = 0;
    info->maximum = (mpRoot ? mpRoot->BranchHeight() : 0) + 4;
    info->current = mVOffset;
    info->step = mClient.Height() / 10;
    info->visible = mClient.Height();
}

void GuiTreeView::GetHScrollInfo(GuiScrollInfo* info) {
    if (!info) return;
    info->minimum = 0;
    info->maximum = mpRoot ? mpRoot->BranchWidth(this) : 0;
    info->current = mHOffset;
    info->step = mClient.Width() / 10;
    info->visible = mClient.Width();
}

void GuiTreeView::Origin(GuiPoint* origin, int* iconSpace) {
    *origin = GuiPoint(GuiClamp16(int64_t{mClient.left} - mHOffset + 2),
                       GuiClamp16(int64_t{mClient.top} - mVOffset + 2));
    *iconSpace = (mpRoot ? iconWidth(mpRoot) : 0) + 2;
}

void GuiTreeView::CalcNodePositions(GuiTreeNode* node, GuiPoint origin, int iconSpace) {
    if (!node) return;
    const int extra = iconSpace > iconWidth(node) ? iconSpace - iconWidth(node) : 0;
    node->mReal = GuiRect(origin.x, origin.y, GuiClamp16(int64_t{origin.x} + node->NodeWidth() + extra),
                          GuiClamp16(int64_t{origin.y} + node->NodeHeight()));
    node->mClient = node->mReal;
    if (!node->mOpen || !node->First()) return;
    const int space = GuiTreeChildIconSpace(node);
    int64_t y = int64_t{origin.y} + node->NodeHeight();
    for (GuiTreeNode* c = node->First(); c; c = c->Next()) {
        CalcNodePositions(c, GuiPoint(GuiClamp16(int64_t{origin.x} + 5 + mIndent), GuiClamp16(y)), space);
        y += c->BranchHeight();
    }
}

void GuiTreeView::DrawNode(GuiTreeNode* node, GuiPoint origin, int iconSpace) {
    if (!node || !mpScreen) return;
    const int h = node->NodeHeight();
    int iconOffset = 1, textOffset = 1;
    if (node->mpIcon && node->DataGet()) {
        const int ih = node->mpIcon->height, th = GuiFontHeight(node->Font());
        iconOffset = h - ih < 2 ? 1 : (h - ih) / 2 + 1;
        textOffset = h - th < 2 ? 1 : (h - th) / 2 + 1;
    }
    if (node->mpIcon)
        mpScreen->Bitmap(this, GuiPoint(origin.x + (iconSpace - iconWidth(node)) / 2, origin.y + iconOffset),
                         node->mpIcon);
    if (node->DataGet()) {
        GuiColor c(mColors[2], mColors[0]);
        if (node->mMarked)
            c = GuiColor(mColors[3], mColors[1], GUI_COLOR_FILL);
        else if (node == mpSelected)
            c = GuiColor(mColors[3], GUI_SHADOW, GUI_COLOR_FILL);
        mpScreen->DrawText(this, GuiPoint(origin.x + 2 + iconSpace, origin.y + textOffset), node->DataGet(),
                           c, node->Font());
    }
    if (!node->mOpen) return;
    const int x = origin.x + 5, space = GuiTreeChildIconSpace(node);
    int64_t y = int64_t{origin.y} + h;
    for (GuiTreeNode* c = node->First(); c; c = c->Next()) {
        const int yy = GuiClamp16(y), mid = GuiClamp16(y + c->NodeHeight() / 2);
        const int below = GuiClamp16(y + c->BranchHeight());
        if (!c->First()) {
            GuiStroke(this, x, yy, x, c->Next() ? below : mid, TREE_LINES);
            GuiStroke(this, x, mid, x + mIndent, mid, TREE_LINES);
        } else {
            const GuiRect box(x - 4, mid - 4, x + 4, mid + 4);
            GuiStroke(this, x, yy, x, box.top - 1, TREE_LINES);
            mpScreen->Rectangle(this, box, GuiColor(TREE_LINES, 0), 1);
            GuiStroke(this, box.right + 1, box.top + 5, box.right - 4 + mIndent, box.top + 5, TREE_LINES);
            if (c->Next()) GuiStroke(this, x, box.bottom + 1, x, below, TREE_LINES);
            GuiStroke(this, box.left + 2, mid, box.right - 2, mid, TREE_SIGN);
            if (!c->mOpen) GuiStroke(this, x, box.top + 2, x, box.bottom - 2, TREE_SIGN);
        }
        DrawNode(c, GuiPoint(x + mIndent, yy), space);
        y += c->BranchHeight();
    }
}

void GuiTreeView::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    GuiWindow::Draw();
    Selected();
    const GuiRect saved = mClip;
    mClip &= mClient;
    GuiPoint origin;
    int space;
    Origin(&origin, &space);
    CalcNodePositions(mpRoot, origin, space);
    DrawNode(mpRoot, origin, space);
    mClip = saved;
    mpScreen->EndDraw();
}

void GuiTreeView::ScrollIntoView(GuiTreeNode* node) {
    if (node->mReal.top < mClient.top && mVOffset != 0)
        mVOffset -= mClient.top - node->mReal.top;
    else if (node->mReal.bottom > mClient.bottom)
        mVOffset += node->mReal.bottom - mClient.bottom;
    else
        return;
    if (mVOffset < 0) mVOffset = 0;
    if (mpVScroll) mpVScroll->Reset();
    InvalidateClient();
}

void GuiTreeView::Select(GuiTreeNode* node, int redraw) {
    if (GuiTreeNode* old = Selected()) {
        old->mMarked = 0;
        if (Visible() && mpScreen) mpScreen->Invalidate(old->mReal & mClient);
    }
    mpSelected = node;
    if (node) {
        node->mMarked = (mStatus & PSF_CURRENT) ? 1 : 0;
        if (Visible() && mpScreen) mpScreen->Invalidate(node->mReal & mClient);
        if (mpVScroll && (mStatus & PSF_CURRENT)) ScrollIntoView(node);
    }
    if (redraw && Visible()) Draw();
}

void GuiTreeView::ToggleBranch(GuiTreeNode* node) {
    if (!node || !mpRoot) return;
    const bool opening = !node->mOpen;
    if (opening && !node->First()) return;
    node->mOpen = opening ? 1 : 0;
    const int64_t sizes[2] = {mpRoot->BranchWidth(this), mpRoot->BranchHeight()};
    const int room[2] = {mClient.Width() - 15, mClient.Height() - 15};
    GuiScroll* bars[2] = {mpHScroll, mpVScroll};
    int32_t* offsets[2] = {&mHOffset, &mVOffset};
    for (int i = 0; i < 2; ++i) {
        if (!opening) {
            if (!bars[i]) continue;
            if (sizes[i] > room[i]) {
                bars[i]->Reset();
            } else {
                CheckAutoScroll();
                *offsets[i] = 0;
            }
        } else if (!bars[i]) {
            if (sizes[i] > room[i]) CheckAutoScroll();
        } else {
            bars[i]->Reset();
        }
    }
    InvalidateClient();
    if (Visible()) {
        Draw();
    } else {
        GuiPoint origin;
        int space;
        Origin(&origin, &space);
        CalcNodePositions(mpRoot, origin, space);
    }
    Signal(opening ? TREE_SIG_OPENED : TREE_SIG_CLOSED, node);
}

int GuiTreeView::CheckNodeClick(GuiPoint p, GuiTreeNode* first) {
    for (GuiTreeNode* n = first; n; n = n->Next()) {
        if (n->mReal.Contains(p)) {
            Select(n, 1);
            return 1;
        }
        if (!n->First()) continue;
        const int m = (n->mReal.top + n->mReal.bottom) / 2, x = n->mReal.left - mIndent;
        if (GuiRect(x - 4, m - 4, x + 4, m + 4).Contains(p)) {
            ToggleBranch(n);
            return 0;
        }
        if (n->mOpen && CheckNodeClick(p, n->First())) return 1;
    }
    return 0;
}

GuiTreeNode* GuiTreeView::FindNode(int level, const char* text) {
    if (!mpRoot || !text) return nullptr;
    // Depth-first without recursion limits: walk down, then along, then back up.
    GuiTreeNode* n = mpRoot->First();
    int depth = 1;
    while (n) {
        // A node without text matches nothing.
        if ((level == 0 || level == depth) && n->DataGet() && !std::strcmp(n->DataGet(), text)) return n;
        if (n->First()) {
            n = n->First();
            ++depth;
            continue;
        }
        while (n && !n->Next() && n != mpRoot) {
            n = n->Parent();
            --depth;
        }
        n = n && n != mpRoot ? n->Next() : nullptr;
    }
    return nullptr;
}

void GuiTreeView::Reset(const char* rootText) {
    if (!mpRoot) return;
    while (GuiThing* c = mpRoot->mpFirst)
        delete c;
    mpSelected = nullptr;
    mpRoot->DataSet(rootText);
    InvalidateClient();
}

GuiTreeNode* GuiTreeView::RemoveNode(GuiTreeNode* node) {
    GuiTreeNode* selected = Selected();
    if (selected) selected->mMarked = 0;
    mpSelected = nullptr;
    if (!node || !node->mpParent) return nullptr;
    GuiTreeNode* parent = node->Parent();
    parent->Remove(node, 1);
    // The selection leaves with its branch: the parent takes it over.
    if (selected && holds(node, selected)) Select(parent, 0);
    InvalidateClient();
    return node;
}

void GuiTreeView::DestroyNode(GuiTreeNode* node) {
    delete RemoveNode(node);
    if (!Visible()) return;
    CheckAutoScroll();
    InvalidateClient();
}

int GuiTreeView::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        if (GuiTreeNode* s = Selected()) {
            GuiPoint origin;
            int space;
            Origin(&origin, &space);
            CalcNodePositions(mpRoot, origin, space);
            if (!mpVScroll)
                CheckAutoScroll();
            else
                ScrollIntoView(s);
        }
        return GuiWindow::Message(msg);
    case GM_LBUTTON_DOWN: {
        const int r = GuiWindow::Message(msg);
        GuiPoint origin;
        int space;
        Origin(&origin, &space);
        CalcNodePositions(mpRoot, origin, space);
        if (CheckNodeClick(msg.payload.point, mpRoot)) Signal(TREE_SIG_SELECTED, mpSelected);
        return r;
    }
    case GM_RBUTTON_UP:
        if (GuiTreeNode* s = Selected())
            if (s->mReal.Contains(msg.payload.point)) Signal(TREE_SIG_RELEASED, s);
        return 0;
    case GM_VSCROLL:
    case GM_HSCROLL:
        (msg.type == GM_VSCROLL ? mVOffset : mHOffset) = msg.payload.l;
        GuiRedraw(this);
        return 0;
    default:
        return GuiWindow::Message(msg);
    }
}
