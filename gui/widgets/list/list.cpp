#include "gui/widgets/list/list.h"
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/widgets/common/arith.h"
#include "gui/widgets/common/widget.h"

#include <new>

namespace {

constexpr int BAR = GUI_SCROLL_SIZE;

bool selectable(const GuiThing* t) {
    return (t->mStatus & (PSF_SELECTABLE | PSF_NONCLIENT)) == PSF_SELECTABLE;
}
void setStyleBit(GuiThing* t, bool on) {
    if (on)
        t->mStyle |= LIS_SELECTED;
    else
        t->mStyle &= static_cast<uint16_t>(~LIS_SELECTED);
}
int signalType(uint16_t id, int signal) {
    return 128 + 16 * id + signal;
}
bool isSignal(const GuiMessage& m, int signal) {
    return m.type >= 128 && m.type < GM_APP && ((m.type - 128) & 15) == signal;
}

// The client children are the items (scroll bars are not).
bool GuiListIsItem(const GuiThing* t) {
    return !(t->mStatus & PSF_NONCLIENT);
}
GuiThing* GuiListNextItem(GuiThing* t) {
    for (t = t->mpNext; t && !GuiListIsItem(t); t = t->mpNext) {
    }
    return t;
}
GuiThing* GuiListPrevItem(GuiThing* t) {
    for (t = t->mpPrev; t && !GuiListIsItem(t); t = t->mpPrev) {
    }
    return t;
}

} // namespace

// ---- GuiList ------------------------------------------------------------------------------------

GuiList::GuiList(const GuiRect& rect, unsigned int id, unsigned int style) : GuiWindow(rect, style) {
    mType = TYPE_LIST;
    mId = static_cast<uint16_t>(id);
    mStatus |= PSF_KEEPS_FOCUS | PSF_WINDOW;
    mSignals = 1u << GSIG_SELECT;
}

bool GuiList::IsItem(const GuiThing* thing) const {
    if (!thing) return false;
    for (const GuiThing* c = mpFirst; c; c = c->mpNext)
        if (c == thing) return GuiListIsItem(c);
    return false;
}

GuiThing* GuiList::GetSelected() {
    // An item deleted behind the list's back is no selection.
    if (mpSelected && !IsItem(mpSelected)) mpSelected = nullptr;
    return mpSelected;
}

int GuiList::GetNumItems() {
    int n = 0;
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        n += GuiListIsItem(c);
    return n;
}

int GuiList::GetIndex(GuiThing* item) {
    if (!item) return -1;
    int i = 0;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        if (!GuiListIsItem(c)) continue;
        if (c == item) return i;
        ++i;
    }
    return -1;
}

GuiThing* GuiList::GetThing(int index) {
    if (index < 0) return nullptr;
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        if (GuiListIsItem(c) && index-- == 0) return c;
    return nullptr;
}

int GuiList::GetSelectedIndex() {
    return GetIndex(GetSelected());
}

void GuiList::Add(GuiThing* item, int redraw) {
    if (!item) return;
    if (!GuiListIsItem(item) || !Visible()) {
        if (GuiListIsItem(item))
            GuiThing::Add(item, redraw);
        else
            GuiWindow::Add(item, redraw);
        return;
    }
    if (item->mpParent == this && item->Visible()) return;
    GuiWindow::Add(item, 0);
    PositionChildren();
    if (CheckAutoScroll()) PositionChildren();
    if (redraw) GuiRedraw(this);
}

void GuiList::AddToEnd(GuiThing* item, int redraw) {
    if (!item) return;
    if (!GuiListIsItem(item) || !Visible()) {
        GuiThing::AddToEnd(item, redraw);
        return;
    }
    if (item->mpParent == this && item->Visible()) return;
    GuiThing::AddToEnd(item, 0);
    PositionChildren();
    if (CheckAutoScroll()) PositionChildren();
    if (redraw) GuiRedraw(this);
}

void GuiList::Insert(GuiThing* item, int index, int select, int redraw) {
    if (!item) return;
    if (!GuiListIsItem(item)) {
        GuiThing::AddToEnd(item, redraw);
        return;
    }
    const int count = GetNumItems();
    if (index > count || index < 0) {
        if (index > count)
            AddToEnd(item, redraw);
        else
            Add(item, redraw);
        if (Visible() && select) SetSelected(item);
        return;
    }
    const bool wasVisible = Visible();
    if (wasVisible && item->mpParent == this && item->Visible()) return;
    if (item->mpParent) item->mpParent->Remove(item, wasVisible ? 1 : 0);
    // The list leaves its parent while its items are relinked, and comes back in front.
    GuiThing* parent = mpParent;
    if (parent) parent->Remove(this, 0);
    GuiThing* moved[2] = {nullptr, nullptr}; // head and tail of the items from index on
    for (GuiThing* c = GetThing(index); c;) {
        GuiThing* next = GuiListNextItem(c);
        GuiThing::Remove(c, 0);
        c->mpPrev = moved[1];
        if (moved[1])
            moved[1]->mpNext = c;
        else
            moved[0] = c;
        moved[1] = c;
        c = next;
    }
    GuiThing::AddToEnd(item, 0);
    for (GuiThing* c = moved[0]; c;) {
        GuiThing* next = c->mpNext;
        c->mpPrev = c->mpNext = nullptr;
        GuiThing::AddToEnd(c, 0);
        c = next;
    }
    if (select) SetSelected(item);
    if (parent) parent->Add(this, wasVisible ? 1 : 0);
    if (!wasVisible) return;
    PositionChildren();
    if (CheckAutoScroll()) PositionChildren();
    if (redraw) GuiRedraw(this);
}

GuiThing* GuiList::Remove(GuiThing* item, int redraw) {
    if (!item) return nullptr;
    if (item == mpSelected) mpSelected = nullptr;
    if (!GuiListIsItem(item) || !Visible() || item->mpParent != this) return GuiThing::Remove(item, redraw);
    GuiThing* r = GuiThing::Remove(item, 0);
    PositionChildren();
    if (CheckAutoScroll()) PositionChildren();
    if (redraw) GuiRedraw(this);
    return r;
}

void GuiList::SetSelected(GuiThing* item) {
    if (GuiThing* old = GetSelected()) {
        setStyleBit(old, false);
        GuiRedraw(old);
    }
    mpSelected = nullptr;
    if (!IsItem(item)) return;
    mpSelected = item;
    if (Visible()) {
        ScrollCurrentIntoView(1);
        setStyleBit(item, true);
        if ((mStatus & PSF_CURRENT) && mpPresentation)
            mpPresentation->MoveFocusTree(item);
        else
            GuiRedraw(item);
    }
    if (mId && (mSignals & (1u << GSIG_SELECT)) && mpParent && mpMessageQueue) {
        GuiMessage m(static_cast<uint16_t>(signalType(mId, GSIG_SELECT)), mpParent, this, item->mId);
        mpMessageQueue->Push(&m);
    }
}

GuiThing* GuiList::SetSelected(int index) {
    if (index < 0) {
        SetSelected(static_cast<GuiThing*>(nullptr));
        return nullptr;
    }
    GuiThing* item = GetThing(index);
    if (item) SetSelected(item);
    return item;
}

void GuiList::Clear() {
    mpSelected = nullptr;
    for (GuiThing* c = mpFirst; c;) {
        GuiThing* next = c->mpNext;
        if (GuiListIsItem(c)) {
            GuiThing::Remove(c, 0);
            Destroy(c);
        }
        c = next;
    }
    CheckAutoScroll();
    GuiRedraw(this);
}

void GuiList::ScrollCurrentIntoView(int redraw) {
    GuiThing* s = GetSelected();
    if (!s) return;
    const bool h = Horizontal();
    const int lo = h ? mClient.left : mClient.top, hi = h ? mClient.right : mClient.bottom;
    const int first = h ? s->mReal.left : s->mReal.top, last = h ? s->mReal.right : s->mReal.bottom;
    int d = 0;
    if (first < lo)
        d = lo - first;
    else if (last > hi)
        d = hi - last;
    if (!d) return;
    MoveClientObjects(h ? d : 0, h ? 0 : d, redraw);
    GuiScroll* bar = h ? static_cast<GuiScroll*>(mpHScroll) : static_cast<GuiScroll*>(mpVScroll);
    if (!bar) return;
    bar->Reset();
    if (redraw) GuiRedraw(bar);
}

int GuiList::CheckAutoScroll() {
    int changed = 0;
    for (int pass = 0; pass < 4; ++pass) {
        bool any = false;
        for (int vertical = 0; vertical < 2; ++vertical) {
            if (!(mScrollMode & (vertical ? WSM_VERTICAL_AUTO : WSM_HORIZONTAL_AUTO))) continue;
            GuiScrollInfo in;
            if (vertical)
                GetVScrollInfo(&in);
            else
                GetHScrollInfo(&in);
            GuiScroll* bar =
                vertical ? static_cast<GuiScroll*>(mpVScroll) : static_cast<GuiScroll*>(mpHScroll);
            GuiScroll* other =
                vertical ? static_cast<GuiScroll*>(mpHScroll) : static_cast<GuiScroll*>(mpVScroll);
            if (static_cast<int64_t>(in.maximum) - in.minimum < in.visible) {
                if (!bar) continue;
                if (vertical) {
                    mpVScroll = nullptr;
                    mClient.right = GuiClamp16(mClient.right + BAR);
                } else {
                    mpHScroll = nullptr;
                    mClient.bottom = GuiClamp16(mClient.bottom + BAR);
                }
                GuiThing::Remove(bar, 0);
                if (mpMessageQueue) mpMessageQueue->Purge(bar, 0, 0);
                delete bar;
                if (vertical) PositionChildren();
                if (other && Visible()) other->Message(GuiMessage(GM_PARENT_SIZED, other));
                GuiMessage back(vertical ? GM_VSCROLL : GM_HSCROLL, this, nullptr, in.current);
                back.payload.l = in.minimum;
                if (mpMessageQueue) mpMessageQueue->Push(&back);
                any = true;
            } else if (bar) {
                bar->Reset(&in);
            } else {
                GuiScroll* b = vertical ? static_cast<GuiScroll*>(CreateVScroll()) : CreateHScroll();
                if (!b) continue;
                if (vertical) {
                    mpVScroll = static_cast<GuiVScroll*>(b);
                    mClient.right = GuiClamp16(mClient.right - BAR);
                    PositionChildren();
                } else {
                    mpHScroll = static_cast<GuiHScroll*>(b);
                    mClient.bottom = GuiClamp16(mClient.bottom - BAR);
                }
                GuiThing::Add(b, 0);
                if (other && Visible()) other->Message(GuiMessage(GM_PARENT_SIZED, other));
                if (vertical) {
                    GetVScrollInfo(&in);
                    b->Reset(&in);
                }
                any = true;
            }
        }
        if (!any) break;
        changed = 1;
    }
    if (changed) UpdateChildClipping();
    return changed;
}

GuiThing* GuiList::Step(bool forward) {
    GuiThing* s = GetSelected();
    if (!s) return nullptr;
    for (GuiThing* c = forward ? GuiListNextItem(s) : GuiListPrevItem(s); c;
         c = forward ? GuiListNextItem(c) : GuiListPrevItem(c))
        if (selectable(c)) {
            SetSelected(c);
            return c;
        }
    if (mStyle & LS_WRAP) {
        GuiThing* c = mpFirst;
        if (!forward)
            while (c && c->mpNext)
                c = c->mpNext;
        for (; c; c = forward ? c->mpNext : c->mpPrev)
            if (c != s && selectable(c)) {
                SetSelected(c);
                return c;
            }
    }
    return nullptr;
}

GuiThing* GuiList::SelectNext() {
    return Step(true);
}
GuiThing* GuiList::SelectPrevious() {
    return Step(false);
}

GuiThing* GuiList::Page(bool forward) {
    GuiThing* n = GetSelected();
    if (!n) return nullptr;
    const bool h = Horizontal();
    auto size = [h](const GuiThing* t) { return h ? t->mReal.Width() : t->mReal.Height(); };
    auto step = [forward](GuiThing* t) { return forward ? GuiListNextItem(t) : GuiListPrevItem(t); };
    const int room = h ? mClient.Width() : mClient.Height();
    int64_t s = size(n);
    while (s < room) {
        GuiThing* next = step(n);
        if (!next) break;
        if (!selectable(next)) {
            GuiThing* beyond = step(next);
            if (!beyond) break;
            s += size(next) + mSeparation;
            next = beyond;
        }
        n = next;
        s += size(n) + mSeparation;
    }
    SetSelected(n);
    return n;
}

GuiThing* GuiList::PageDown() {
    return Page(true);
}
GuiThing* GuiList::PageUp() {
    return Page(false);
}

int GuiList::Message(const GuiMessage& msg) {
    if (isSignal(msg, GSIG_CLICKED) && msg.source && IsItem(msg.source)) {
        if (msg.source != GetSelected()) SetSelected(msg.source);
        return mpParent ? mpParent->Message(msg) : 0;
    }
    switch (msg.type) {
    case GM_SHOW:
        PositionChildren();
        if (!GetSelected()) SetSelected(0);
        ScrollCurrentIntoView(0);
        if (mpSelected) setStyleBit(mpSelected, true);
        return GuiWindow::Message(msg);
    case GM_GAIN_FOCUS: {
        const int r = GuiThing::Message(msg);
        if (GuiThing* s = GetSelected()) {
            setStyleBit(s, true);
            if (mpPresentation) mpPresentation->MoveFocusTree(s);
        }
        return r;
    }
    default:
        return GuiWindow::Message(msg);
    }
}

// ---- vertical and horizontal lists ---------------------------------------------------------------

GuiVertList::GuiVertList(const GuiRect& rect, unsigned int id, unsigned int style)
    : GuiList(rect, id, style) {
    mType = TYPE_VERT_LIST;
}

GuiHorzList::GuiHorzList(const GuiRect& rect, unsigned int id, unsigned int style)
    : GuiList(rect, id, style) {
    mType = TYPE_HORZ_LIST;
}

namespace {

// The items one after the other from the client's top (left), `separation` pixels apart, each as
// wide (high) as the client, each signalling its clicks.
void GuiListLayOut(GuiThing* list, bool horizontal, int separation) {
    int64_t at = horizontal ? list->mClient.left : list->mClient.top;
    for (GuiThing* c = list->mpFirst; c; c = c->mpNext) {
        if (!GuiListIsItem(c)) continue;
        const GuiRect& l = list->mClient;
        if (horizontal)
            c->Resize(GuiRect(GuiClamp16(at), l.top, GuiClamp16(at + c->mReal.Width() - 1), l.bottom));
        else
            c->Resize(GuiRect(l.left, GuiClamp16(at), l.right, GuiClamp16(at + c->mReal.Height() - 1)));
        c->mSignals |= 1u << GSIG_CLICKED;
        if (!(list->mStatus & PSF_ACCEPTS_FOCUS)) c->mStatus &= static_cast<uint16_t>(~PSF_ACCEPTS_FOCUS);
        at = static_cast<int64_t>(horizontal ? c->mReal.right : c->mReal.bottom) + separation;
    }
}

} // namespace

void GuiVertList::PositionChildren() {
    GuiListLayOut(this, false, mSeparation);
}

void GuiHorzList::PositionChildren() {
    GuiListLayOut(this, true, mSeparation);
}

// ---- the combo box ------------------------------------------------------------------------------

ComboList::ComboList(const GuiRect& rect, unsigned int id, unsigned int style, GuiComboBox* owner)
    : GuiVertList(rect, id, style), mpOwner(owner) {
    mStatus &= static_cast<uint16_t>(~PSF_ACCEPTS_FOCUS);
}

ComboList::~ComboList() {
    if (mpOwner) {
        mpOwner->mpList = nullptr;
        mpOwner->mpShown = nullptr;
        mpOwner->mOpen = 0;
    }
}

int ComboList::Message(const GuiMessage& msg) {
    if (isSignal(msg, GSIG_CLICKED) && msg.source && IsItem(msg.source)) {
        if (msg.source != GetSelected()) SetSelected(msg.source);
        // The box reports the choice; the presentation manager, the list's parent while it is
        // open, has no use for it.
        if (!mpOwner) return 0;
        if (mpOwner->IsOpen()) {
            mpOwner->CloseList();
        } else {
            mpOwner->SendListSelect();
            mpOwner->CaptureSelectedToBitmap();
        }
        return 0;
    }
    return GuiVertList::Message(msg);
}

GuiComboBox::GuiComboBox(const GuiRect& rect, unsigned short id, unsigned short style)
    : GuiThing(rect, id, style), mOpenHeight(rect.Height()) {
    mType = TYPE_COMBO_BOX;
    mStatus |= PSF_WINDOW | PSF_ACCEPTS_FOCUS;
    mSignals = 1u << GSIG_SELECT;
    mpArrow = new (std::nothrow) GuiBitmapButton(GuiRect(), &gbDownArrowBitmap, COMBO_ARROW_ID, 0x8010);
    if (mpArrow) {
        mpArrow->mStatus |= PSF_NONCLIENT;
        GuiThing::Add(mpArrow, 1);
    }
    mpList = new (std::nothrow) ComboList(rect, id, style, this);
    if (mpList) mpList->mStatus |= PSF_ALWAYS_ON_TOP;
    InitClient();
}

GuiComboBox::~GuiComboBox() {
    // An open drop-down belongs to the presentation manager: it goes with the box all the same.
    if (mpList) {
        mpList->mpOwner = nullptr;
        if (mpList->mpParent) mpList->mpParent->Remove(mpList, 1);
        delete mpList;
    }
    if (mpCaptured && mpScreen) mpScreen->DestroyBitmap(mpCaptured);
}

GuiThing* GuiComboBox::Shown() {
    if (mpShown && !(mpList && mpList->IsItem(mpShown))) mpShown = nullptr;
    return mpShown;
}

void GuiComboBox::PlaceArrow() {
    if (!mpArrow) return;
    GuiRect in = mReal;
    const int frame = mStyle & FF_MASK;
    in -= (frame == FF_RAISED || frame == FF_RECESSED || frame == FF_THICK) ? 2 : frame == FF_THIN ? 1 : 0;
    mpArrow->Resize(GuiRect(in.right - 15, in.top, in.right, in.bottom));
    mClient.right = static_cast<int16_t>(in.right - 16);
}

void GuiComboBox::CalcCloseHeight() {
    // A shown box keeps its height whatever is added.
    int h = mClosedHeight;
    if (!Visible()) {
        h = 16;
        if (mpList)
            for (GuiThing* c = mpList->mpFirst; c; c = c->mpNext)
                if (GuiListIsItem(c) && c->mReal.Height() > h) h = c->mReal.Height();
        const int frame = mStyle & FF_MASK;
        if (frame == FF_RAISED || frame == FF_RECESSED)
            h += 4;
        else if (frame == FF_THIN)
            h += 2;
    }
    mClosedHeight = h;
    GuiThing::Resize(GuiRect(mReal.left, mReal.top, mReal.right, mReal.top + h - 1));
    InitClient();
    PlaceArrow();
}

void GuiComboBox::Resize(GuiRect rect) {
    const GuiRect old = mReal;
    GuiThing::Resize(rect);
    if ((rect.left != old.left || rect.right != old.right) && mpArrow) {
        GuiRect a = mpArrow->mReal;
        PlaceArrow();
        GuiRect placed = mpArrow->mReal;
        placed.top = a.top;
        placed.bottom = a.bottom;
        mpArrow->Resize(placed);
    }
}

void GuiComboBox::Add(GuiThing* item, int redraw) {
    if (!item) return;
    if (!GuiListIsItem(item) || !mpList) {
        GuiThing::Add(item, redraw);
        return;
    }
    mpList->Add(item, redraw);
    if (Visible()) {
        mpList->PositionChildren();
        if (redraw) GuiRedraw(this);
    }
    CalcCloseHeight();
}

void GuiComboBox::AddToEnd(GuiThing* item, int redraw) {
    if (!item) return;
    if (!GuiListIsItem(item) || !mpList) {
        GuiThing::AddToEnd(item, redraw);
        return;
    }
    mpList->AddToEnd(item, redraw);
    if (Visible()) {
        mpList->PositionChildren();
        if (redraw) GuiRedraw(this);
    }
    CalcCloseHeight();
}

void GuiComboBox::Insert(GuiThing* item, int index, int select, int redraw) {
    if (!mpList) return;
    mpList->Insert(item, index, select, redraw);
    if (!Visible()) return;
    mpList->PositionChildren();
    if (select) SetSelected(item);
    if (redraw) GuiRedraw(this);
}

GuiThing* GuiComboBox::Remove(GuiThing* thing, int redraw) {
    if (!thing) return nullptr;
    if (thing == mpArrow || thing->mpParent == this) {
        if (thing == mpArrow) mpArrow = nullptr;
        return GuiThing::Remove(thing, redraw);
    }
    return mpList ? mpList->Remove(thing, redraw) : nullptr;
}

GuiThing* GuiComboBox::Find(uint16_t id, int recursive) {
    return mpList ? mpList->Find(id, recursive) : nullptr;
}
void GuiComboBox::SetScrollMode(unsigned int mode) {
    if (mpList) mpList->SetScrollMode(mode);
}
GuiThing* GuiComboBox::GetSelected() {
    return mpList ? mpList->GetSelected() : nullptr;
}
int GuiComboBox::GetIndex(GuiThing* item) {
    return mpList ? mpList->GetIndex(item) : -1;
}
GuiThing* GuiComboBox::GetThing(int index) {
    return mpList ? mpList->GetThing(index) : nullptr;
}
int GuiComboBox::GetSelectedIndex() {
    return mpList ? mpList->GetSelectedIndex() : -1;
}

void GuiComboBox::Clear() {
    if (!mpList) return;
    mpList->Clear();
    // The box shows nothing of the items that are gone.
    mpShown = nullptr;
    if (mpCaptured && mpScreen) mpScreen->DestroyBitmap(mpCaptured);
    mpCaptured = nullptr;
    GuiRedraw(this);
}

void GuiComboBox::SetSelected(GuiThing* item) {
    if (!mpList) return;
    mpList->SetSelected(item);
    CaptureSelectedToBitmap();
}

GuiThing* GuiComboBox::SetSelected(int index) {
    if (!mpList) return nullptr;
    GuiThing* r = mpList->SetSelected(index);
    CaptureSelectedToBitmap();
    return r;
}

void GuiComboBox::CaptureSelectedToBitmap() {
    GuiThing* s = mpList ? mpList->GetSelected() : nullptr;
    if (!s || !mpScreen) return;
    if (mpCaptured) mpScreen->DestroyBitmap(mpCaptured);
    mpCaptured = mpScreen->CreateBitmap(s->mReal.Width(), s->mReal.Height(), 1);
    if (mpCaptured) {
        const int dx = s->mReal.left, dy = s->mReal.top;
        const GuiRect clip = s->mClip;
        s->ParentShift(-dx, -dy);
        s->mClip = GuiRect(0, 0, s->mReal.Width() - 1, s->mReal.Height() - 1);
        setStyleBit(s, (mStatus & PSF_CURRENT) && !mOpen);
        mpScreen->BeginDraw(this, mpCaptured);
        s->Draw();
        mpScreen->EndDraw(mpCaptured);
        s->ParentShift(dx, dy);
        s->mClip = clip;
    }
    mpShown = s;
    GuiRedraw(this);
}

void GuiComboBox::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[(mStatus & PSF_CURRENT) ? 1 : 0]);
    if (mpArrow) mpArrow->Draw();
    if (mpCaptured) {
        const GuiRect saved = mClip;
        mClip &= mClient;
        int x = mClient.left;
        if (mStyle & CBS_RIGHT)
            x = mClient.right + 1 - mpCaptured->width;
        else if (mStyle & CBS_CENTRE)
            x = mClient.left + (mClient.Width() - mpCaptured->width) / 2;
        mpScreen->Bitmap(this, GuiPoint(x, mClient.top), mpCaptured);
        mClip = saved;
    }
    mpScreen->EndDraw();
}

void GuiComboBox::OpenList() {
    if (!mpList || !mpPresentation) return;
    mOpen = 1;
    CaptureSelectedToBitmap();
    const int bottom = mReal.top + mOpenHeight - 1;
    mpList->Resize(GuiRect(mReal.left, mReal.bottom + 2, mReal.right,
                           bottom > mReal.bottom + 2 ? bottom : mReal.bottom + 2));
    mpPresentation->RootThing()->Add(mpList, 1);
}

void GuiComboBox::CloseList() {
    mOpen = 0;
    if (mpList && mpList->mpParent) mpList->mpParent->Remove(mpList, 1);
    SendListSelect();
    CaptureSelectedToBitmap();
}

void GuiComboBox::SendListSelect() {
    GuiThing* shown = Shown();
    GuiThing* s = mpList ? mpList->GetSelected() : nullptr;
    if (!shown || !s || !mpParent || s == shown) return;
    if (mId && (mSignals & (1u << GSIG_SELECT)) && mpMessageQueue) {
        GuiMessage m(static_cast<uint16_t>(signalType(mId, GSIG_SELECT)), mpParent, this, s->mId);
        mpMessageQueue->Push(&m);
    }
}

int GuiComboBox::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_SHOW:
        CalcCloseHeight();
        mOpen = 0;
        if (mpList) {
            if (!mpList->GetSelected()) mpList->SetSelected(0);
            if (mpList->GetSelected()) {
                const int bottom = mReal.top + mOpenHeight - 1;
                mpList->Resize(GuiRect(mReal.left, mReal.bottom + 1, mReal.right,
                                       bottom > mReal.bottom + 1 ? bottom : mReal.bottom + 1));
                mpList->PositionChildren();
                CaptureSelectedToBitmap();
            }
        }
        return GuiThing::Message(msg);
    case GM_GAIN_FOCUS: {
        const int r = GuiThing::Message(msg);
        CaptureSelectedToBitmap();
        return r;
    }
    case GM_LOSE_FOCUS: {
        const int r = GuiThing::Message(msg);
        if (mOpen) {
            mOpen = 0;
            if (mpList && mpList->mpParent) mpList->mpParent->Remove(mpList, 1);
            SendListSelect();
        }
        CaptureSelectedToBitmap();
        return r;
    }
    case 128 + 16 * COMBO_ARROW_ID + GSIG_CLICKED:
        if (mOpen)
            CloseList();
        else
            OpenList();
        return 0;
    default:
        return GuiThing::Message(msg);
    }
}
