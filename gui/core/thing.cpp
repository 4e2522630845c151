#include "gui/core/thing.h"
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "services/syslog/syslog.h"

GuiScreen* GuiThing::mpScreen = nullptr;
GuiPresenter* GuiThing::mpPresentation = nullptr;
GuiMessageQueue* GuiThing::mpMessageQueue = nullptr;

namespace {

bool hasAll(const GuiThing* t, uint16_t bits) {
    return t && (t->mStatus & bits) == bits;
}

// True when t or anything below it owns viewports: adding or removing it changes the viewports.
bool holdsWindows(const GuiThing* t) {
    if (t->mStatus & PSF_VIEWPORT) return true;
    for (const GuiThing* c = t->mpFirst; c; c = c->mpNext)
        if (holdsWindows(c)) return true;
    return false;
}

} // namespace

GuiThing::GuiThing(const GuiRect& rect, uint16_t id, uint16_t style)
    : mReal(rect), mClient(rect), mClip(rect), mStyle(style), mId(id) {}

GuiThing::GuiThing(uint16_t id, uint16_t style) : mStyle(style), mId(id) {}

GuiThing::~GuiThing() {
    GuiLock lock;
    const bool regenerate = mpParent && Visible() && holdsWindows(this); // before the children go
    while (mpFirst) {
        GuiThing* child = mpFirst;
        Unlink(child);
        delete child;
    }
    // Nothing may name this object once it is gone: timers, queued messages (also a deferred
    // destroy that names it as source) and the presentation manager's references.
    if (mpMessageQueue) {
        mpMessageQueue->KillTimer(this, 0);
        mpMessageQueue->PurgeReferences(this);
    }
    if (mpPresentation && mpPresentation->RootThing() != this) mpPresentation->NullInput(this);
    if (mpParent) {
        GuiThing* parent = mpParent;
        parent->Unlink(this);
        if (regenerate && mpScreen) mpScreen->GenerateViewportList(parent);
    }
    if (mpViewports) {
        if (mpScreen)
            mpScreen->FreeViewports(this);
        else {
            delete[] mpViewports->rects;
            delete mpViewports;
            mpViewports = nullptr;
        }
    }
}

const char* GuiThing::Version() {
    return "GUI Library Version 1.98.c";
}

bool GuiThing::IsIn(const GuiThing* anc) const {
    for (const GuiThing* t = this; t; t = t->mpParent)
        if (t == anc) return true;
    return false;
}

void GuiThing::Invalidate(const GuiRect& r) {
    if (mpScreen) mpScreen->Invalidate(r);
}

GuiRect GuiThing::ChildClip(const GuiThing* child) const {
    GuiRect c = child->mReal & mClip;
    if (!(child->mStatus & PSF_NONCLIENT)) c &= mClient;
    return c;
}

void GuiThing::Unlink(GuiThing* child) {
    if (child->mpPrev)
        child->mpPrev->mpNext = child->mpNext;
    else if (mpFirst == child)
        mpFirst = child->mpNext;
    if (child->mpNext) child->mpNext->mpPrev = child->mpPrev;
    child->mpNext = child->mpPrev = nullptr;
    child->mpParent = nullptr;
}

// ---- tree changes ---------------------------------------------------------------------

void GuiThing::Add(GuiThing* child, int draw) {
    if (!child || child == this) return;
    GuiLock lock;
    if (IsIn(child)) {
        SYSLOGX_GUARDED(LOG_ERR, "GuiThing::Add: an object cannot become a child of its own descendant");
        return;
    }
    // A child still linked elsewhere leaves that list first; linking it twice would corrupt both.
    if (child->mpParent && child->mpParent != this) child->mpParent->Remove(child, draw);
    if (child->mpParent == this) {
        if (mpFirst == child) return;
        Unlink(child);
    }
    child->mpParent = this;
    child->mpPrev = nullptr;
    child->mpNext = nullptr;

    GuiThing* after = nullptr; // insert behind this sibling; null: at the front
    if (mpFirst) {
        if ((mpFirst->mStatus & PSF_ALWAYS_ON_TOP) && !(child->mStatus & PSF_ALWAYS_ON_TOP)) {
            after = mpFirst;
            while (after->mpNext && (after->mpNext->mStatus & PSF_ALWAYS_ON_TOP))
                after = after->mpNext;
        } else if (!(child->mStatus & PSF_VIEWPORT) && (mpFirst->mStatus & PSF_VIEWPORT)) {
            after = mpFirst;
            while (after->mpNext && (after->mpNext->mStatus & PSF_VIEWPORT))
                after = after->mpNext;
        }
    }
    if (after) {
        child->mpPrev = after;
        child->mpNext = after->mpNext;
        if (after->mpNext) after->mpNext->mpPrev = child;
        after->mpNext = child;
    } else {
        child->mpNext = mpFirst;
        if (mpFirst) mpFirst->mpPrev = child;
        mpFirst = child;
    }

    if (!Visible()) return;
    if (!child->Visible()) {
        child->mClip.right = static_cast<int16_t>(child->mClip.left - 1);
        child->Message(GuiMessage(GM_SHOW, child));
    }
    child->mClip = ChildClip(child);
    child->UpdateChildClipping();
    if (holdsWindows(child) && mpScreen) mpScreen->GenerateViewportList(this);
    if (draw) {
        Invalidate(child->mClip);
        if (mpFirst == child)
            child->Draw();
        else
            Draw();
    }
}

void GuiThing::AddToEnd(GuiThing* child, int draw) {
    if (!child || child == this) return;
    GuiLock lock;
    if (child->mpParent == this) return;
    if (IsIn(child)) {
        SYSLOGX_GUARDED(LOG_ERR, "GuiThing::AddToEnd: an object cannot become a child of its own descendant");
        return;
    }
    if (child->mpParent) child->mpParent->Remove(child, draw);
    child->mpParent = this;
    child->mpPrev = child->mpNext = nullptr;

    GuiThing* before = nullptr; // insert in front of this sibling; null: append
    if (child->mStatus & PSF_VIEWPORT)
        for (GuiThing* s = mpFirst; s; s = s->mpNext)
            if (!(s->mStatus & PSF_VIEWPORT)) {
                before = s;
                break;
            }
    if (before) {
        child->mpNext = before;
        child->mpPrev = before->mpPrev;
        if (before->mpPrev)
            before->mpPrev->mpNext = child;
        else
            mpFirst = child;
        before->mpPrev = child;
    } else {
        GuiThing* last = mpFirst;
        while (last && last->mpNext)
            last = last->mpNext;
        child->mpPrev = last;
        if (last)
            last->mpNext = child;
        else
            mpFirst = child;
    }

    if (!Visible()) return;
    if (!child->Visible()) {
        child->mClip.right = static_cast<int16_t>(child->mClip.left - 1);
        child->Message(GuiMessage(GM_SHOW, child));
    }
    UpdateChildClipping();
    if (holdsWindows(child) && mpScreen) mpScreen->GenerateViewportList(this);
    if (draw) {
        Invalidate(child->mClip);
        child->Draw();
    }
}

void GuiThing::MoveToFront(GuiThing* child, int draw) {
    if (!child || !child->mpParent) return;
    if (child->mpParent != this) {
        child->mpParent->MoveToFront(child, 1);
        return;
    }
    if (mpFirst == child) return;
    GuiLock lock;
    auto skip = [](GuiThing* s, uint16_t bits) {
        while (s && hasAll(s, bits))
            s = s->mpNext;
        return s;
    };
    auto runEnd = [](GuiThing* s, uint16_t bits) { // last of the run of `bits` starting at s
        GuiThing* e = s;
        while (e && e->mpNext && hasAll(e->mpNext, bits))
            e = e->mpNext;
        return e;
    };
    bool vp = child->mStatus & PSF_VIEWPORT;
    bool top = child->mStatus & PSF_ALWAYS_ON_TOP;
    GuiThing* f;
    GuiThing* e;
    if (!vp && !top) {
        f = skip(skip(mpFirst, PSF_VIEWPORT), PSF_ALWAYS_ON_TOP);
        e = mpFirst;
        while (e->mpNext)
            e = e->mpNext;
    } else if (!vp) {
        f = skip(mpFirst, PSF_VIEWPORT);
        e = f && hasAll(f, PSF_ALWAYS_ON_TOP) ? runEnd(f, PSF_ALWAYS_ON_TOP) : nullptr;
    } else if (top) {
        f = mpFirst;
        e = hasAll(f, PSF_VIEWPORT | PSF_ALWAYS_ON_TOP) ? runEnd(f, PSF_VIEWPORT | PSF_ALWAYS_ON_TOP)
                                                        : nullptr;
    } else {
        f = skip(mpFirst, PSF_ALWAYS_ON_TOP);
        e = f && hasAll(f, PSF_VIEWPORT) ? runEnd(f, PSF_VIEWPORT) : nullptr;
    }
    if (!f || !e || f == child) return;
    // The child must lie in its range; anything else means the siblings break the order rules.
    bool inRange = false;
    for (GuiThing* s = f; s; s = s->mpNext) {
        if (s == child) inRange = true;
        if (s == e) break;
    }
    if (!inRange) return;

    // Cut child..e out and put it in front of f.
    GuiThing* before = child->mpPrev;
    GuiThing* after = e->mpNext;
    before->mpNext = after;
    if (after) after->mpPrev = before;
    child->mpPrev = f->mpPrev;
    if (f->mpPrev)
        f->mpPrev->mpNext = child;
    else
        mpFirst = child;
    e->mpNext = f;
    f->mpPrev = e;

    if (holdsWindows(child) && mpScreen) mpScreen->GenerateViewportList(this);
    if (draw) {
        for (GuiThing* s = child; s && s != f; s = s->mpNext) {
            if (s->mClip.Overlap(f->mReal)) {
                Invalidate(s->mClip);
                s->Draw();
            }
        }
    }
}

GuiThing* GuiThing::Remove(GuiThing* child, int draw) {
    if (!child || !child->mpParent) return nullptr;
    if (child->mpParent != this) return child->mpParent->Remove(child, draw);
    GuiLock lock;
    GuiThing* s = mpFirst;
    while (s && s != child)
        s = s->mpNext;
    if (!s) return nullptr;
    bool wasVisible = child->Visible();
    if (wasVisible && mpPresentation) mpPresentation->NullInput(child); // while the branch is still linked
    Unlink(child);
    if (wasVisible) {
        child->mStatus &= static_cast<uint16_t>(~PSF_VISIBLE);
        Invalidate(child->mClip);
        if (holdsWindows(child) && mpScreen) {
            mpScreen->FreeViewports(child);
            mpScreen->GenerateViewportList(this);
        }
        child->Message(GuiMessage(GM_HIDE, child));
        if (draw) Draw();
    }
    child->mpParent = child->mpNext = child->mpPrev = nullptr;
    return child;
}

void GuiThing::Resize(GuiRect rect) {
    GuiLock lock;
    if (Visible()) Invalidate(mClip);
    int dx = rect.left - mReal.left;
    int dy = rect.top - mReal.top;
    int dw = rect.Width() - mReal.Width();
    int dh = rect.Height() - mReal.Height();
    mReal.Shift(dx, dy);
    mClient.Shift(dx, dy);
    mReal.right = static_cast<int16_t>(mReal.right + dw);
    mClient.right = static_cast<int16_t>(mClient.right + dw);
    mReal.bottom = static_cast<int16_t>(mReal.bottom + dh);
    mClient.bottom = static_cast<int16_t>(mClient.bottom + dh);
    if (dx || dy)
        for (GuiThing* c = mpFirst; c; c = c->mpNext)
            c->ParentShift(dx, dy);
    if (Visible()) {
        mClip = mpParent ? mpParent->ChildClip(this) : mReal;
        UpdateChildClipping();
        if (holdsWindows(this) && mpScreen) mpScreen->GenerateViewportList(mpParent ? mpParent : this);
        Invalidate(mClip);
    }
}

void GuiThing::ParentShift(int dx, int dy) {
    mReal.Shift(dx, dy);
    mClient.Shift(dx, dy);
    mClip.Shift(dx, dy);
    for (GuiThing* c = mpFirst; c; c = c->mpNext)
        c->ParentShift(dx, dy);
}

GuiThing* GuiThing::Find(uint16_t id, int recursive) {
    GuiLock lock;
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        if (c->mId == id) return c;
        if (recursive)
            if (GuiThing* f = c->Find(id, 1)) return f;
    }
    return nullptr;
}

void GuiThing::UpdateChildClipping() {
    for (GuiThing* c = mpFirst; c; c = c->mpNext) {
        c->mClip = ChildClip(c);
        c->UpdateChildClipping();
    }
}

// ---- geometry and colours -------------------------------------------------------------

void GuiThing::SetColor(uint8_t index, uint32_t colour) {
    if (index > 3) return;
    mColors[index] = colour;
    if (Visible()) Invalidate(mReal);
}

uint32_t GuiThing::GetColor(uint8_t index) {
    return index > 3 ? 255 : mColors[index];
}

void GuiThing::Center(GuiThing* who) {
    if (!who) return;
    GuiRect r = who->mReal;
    int left = mClient.left + ((mClient.right - mClient.left) - (r.right - r.left)) / 2;
    int top = mClient.top + (mClient.Height() - r.Height()) / 2;
    r.MoveTo(left, top);
    who->Resize(r);
}

GuiPoint GuiThing::CenterOf(GuiThing* who) {
    return GuiPoint((who->mReal.left + who->mReal.right) >> 1, (who->mReal.top + who->mReal.bottom) >> 1);
}

void GuiThing::InitClient() {
    int inset = 0;
    switch (mStyle & FF_MASK) {
    case FF_THIN:
        inset = 1;
        break;
    case FF_RAISED:
    case FF_RECESSED:
        inset = 2;
        break;
    case FF_THICK:
        inset = 5;
        break;
    default:
        break;
    }
    mClient = mReal;
    mClient -= inset;
}

// ---- drawing --------------------------------------------------------------------------

void GuiThing::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    DrawChildren();
    mpScreen->EndDraw();
}

void GuiThing::DrawChildren() {
    if (!mpScreen || mpScreen->InvalidCount() == 0) return;
    GuiThing* c = mpFirst;
    while (c && c->mpNext)
        c = c->mpNext;
    for (; c; c = c->mpPrev)
        if (c->mClip.Overlap(mpScreen->InvalidRect())) c->Draw();
}

void GuiThing::StandardBorder(uint32_t fill) {
    if (!mpScreen) return;
    GuiScreen* s = mpScreen;
    const int L = mReal.left, T = mReal.top, R = mReal.right, B = mReal.bottom;
    auto line = [&](int x1, int y1, int x2, int y2, uint32_t c) {
        s->Line(this, x1, y1, x2, y2, GuiColor(c, c), 1);
    };
    auto fillRect = [&](const GuiRect& r, int outline) {
        s->Rectangle(this, r, GuiColor(GUI_BLACK, fill, GUI_COLOR_FILL), outline);
    };
    switch (mStyle & FF_MASK) {
    case FF_NONE:
        fillRect(mReal, 0);
        break;
    case FF_THIN:
        fillRect(mReal, 1);
        break;
    case FF_RAISED: {
        GuiRect in = mReal;
        in -= 2;
        fillRect(in, 0);
        line(L, T + 1, L, B, GUI_FACE);
        line(L, T, R, T, GUI_FACE);
        line(L + 1, T + 1, L + 1, B, GUI_WHITE);
        line(L + 2, T + 1, R - 1, T + 1, GUI_WHITE);
        line(R - 1, T + 1, R - 1, B - 1, GUI_SHADOW);
        line(L + 1, B - 1, R - 1, B - 1, GUI_SHADOW);
        line(R, T, R, B, GUI_BLACK);
        line(L, B, R, B, GUI_BLACK);
        break;
    }
    case FF_RECESSED: {
        GuiRect in = mReal;
        in -= 2;
        fillRect(in, 0);
        bool whiteParent = Visible() && mpParent && GuiRgb(mpParent->mColors[0]) == GUI_WHITE;
        int X;
        if (whiteParent) {
            line(R, T + 1, R, B, GUI_FACE);
            line(L, B, R, B, GUI_FACE);
            line(L, B - 1, R, B - 1, GUI_WHITE);
            X = R - 1;
        } else {
            line(L, T + 1, L, B, GUI_FACE);
            line(L, T, R, T, GUI_FACE);
            line(L, B, R, B, GUI_WHITE);
            X = R;
        }
        line(X, T, X, B, GUI_WHITE);
        line(L, T, R, T, GUI_SHADOW);
        line(L, T + 1, L, B, GUI_SHADOW);
        line(L + 1, T + 1, R - 1, T + 1, GUI_BLACK);
        line(L + 1, T + 1, L + 1, B - 1, GUI_BLACK);
        if (whiteParent) {
            line(L, B, R, B, GUI_FACE);
            line(R, T, R, B - 1, GUI_FACE);
        } else {
            line(L + 1, B - 1, R - 1, B - 1, GUI_FACE);
            line(R - 1, T + 1, R - 1, B - 1, GUI_FACE);
        }
        break;
    }
    default:
        break;
    }
}

// ---- messages -------------------------------------------------------------------------

int GuiThing::SendSignal(uint8_t signal) {
    if (!mpParent || !mpMessageQueue) return 0;
    // Above this id the signal types would run into the application's and the toolkit's own.
    if (mId > GUI_MAX_SIGNAL_ID) {
        SYSLOGX_GUARDED(LOG_ERR, "SendSignal: id %u too large for a signal", mId);
        return 0;
    }
    GuiMessage m(static_cast<uint16_t>(128 + 16 * mId + signal), mpParent, this, mId);
    return mpMessageQueue->Push(&m);
}

void GuiThing::MessageChildren(const GuiMessage& msg) {
    for (GuiThing* c = mpFirst; c;) {
        GuiThing* next = c->mpNext;
        c->Message(msg);
        c = next;
    }
}

void GuiThing::KillFocus(GuiThing* who) {
    if (who) who->Message(GuiMessage(GM_LOSE_FOCUS, who));
}

void GuiThing::MoveFocusToFirstClientChild() {
    GuiThing* candidate = nullptr;
    GuiThing* c = mpFirst;
    while (c) {
        if ((c->mStatus & (PSF_ACCEPTS_FOCUS | PSF_NONCLIENT)) == PSF_ACCEPTS_FOCUS) {
            candidate = c;
            if ((c->mStatus & PSF_KEEPS_FOCUS) || !c->mpFirst) break;
            c = c->mpFirst;
        } else {
            c = c->mpNext;
        }
    }
    if (candidate && !(candidate->mStatus & PSF_CURRENT) && mpPresentation)
        mpPresentation->MoveFocusTree(candidate);
}

void GuiThing::CapturePointer() {
    if (mpPresentation) mpPresentation->CapturePointer(this);
}

void GuiThing::ReleasePointer() {
    if (mpPresentation) mpPresentation->ReleasePointer(this);
}

void GuiThing::Destroy(GuiThing* what) {
    if (!what) return;
    GuiPresenter* pm = mpPresentation;
    TASK_ID self = taskIdSelf();
    if (what->mType >= TYPE_WINDOW && pm) {
        GuiLock lock; // the window's task cannot delete its queue before the message is in
        GuiQueue* q = pm->GetThingMessageQueue(what);
        if (q && q != pm->GetCurrentMessageQueue()) {
            GuiMessage m(GM_DESTROY_SELF, what, this);
            EnqueueTaskMessage(&m, q);
            return;
        }
        if (!q && self != tBaseGuiTask) {
            if (what->mpParent) Remove(what, 1);
            GuiMessage m(GM_DESTROY, pm->RootThing(), what);
            if (mpMessageQueue && !mpMessageQueue->Push(&m))
                SYSLOGX_GUARDED(LOG_ERR, "Destroy: queue full, object %p not deleted",
                                static_cast<void*>(what));
            return;
        }
    }
    if (mpMessageQueue) {
        mpMessageQueue->KillTimer(what, 0);
        mpMessageQueue->Purge(what, 0, 0);
    }
    if (what->mpParent) Remove(what, 1);
    if (what == this && pm) {
        // Deleted after the running message handler has returned.
        GuiMessage m(GM_DESTROY, pm->RootThing(), what);
        if (mpMessageQueue && !mpMessageQueue->Push(&m))
            SYSLOGX_GUARDED(LOG_ERR, "Destroy: queue full, object %p not deleted", static_cast<void*>(what));
        return;
    }
    delete what;
}

int GuiThing::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_ADD:
        if (msg.source && msg.target == this) Add(msg.source, 1);
        return 0;
    case GM_REMOVE:
        if (msg.source && msg.target == this) Remove(msg.source, 1);
        return 0;
    case GM_DESTROY:
        if (msg.source) {
            if (mpMessageQueue) {
                mpMessageQueue->KillTimer(msg.source, 0);
                mpMessageQueue->Purge(msg.source, 0, 0);
            }
            GuiThing* victim = msg.source;
            if (victim->mpParent) victim->mpParent->Remove(victim, 1);
            delete victim;
        }
        return 0;
    case GM_RESIZE:
        Resize(msg.payload.rect);
        if (mpParent && mId && (mSignals & (1u << GSIG_RESIZED)) && mpParent->Visible())
            SendSignal(GSIG_RESIZED);
        return 0;
    case GM_HIDE:
        if ((mStatus & PSF_CURRENT) && mpPresentation) mpPresentation->NullInput(this);
        mStatus &= static_cast<uint16_t>(~(PSF_VISIBLE | PSF_CURRENT));
        MessageChildren(msg);
        return 0;
    case GM_SHOW:
        mStatus |= PSF_VISIBLE;
        MessageChildren(msg);
        return 0;
    case GM_POINTER_MOVE:
    case GM_POINTER_ENTER:
    case GM_POINTER_EXIT:
    case GM_PARENT_SIZED:
        return 0;
    case GM_LBUTTON_DOWN:
        if (!mpParent) return 0;
        if (mId && (mSignals & (1u << GSIG_CLICKED)) && mpParent->Visible()) {
            SendSignal(GSIG_CLICKED);
            return 0;
        }
        return mpParent->Message(msg);
    case GM_DRAW:
        Invalidate(mReal);
        Draw();
        return 0;
    case GM_GAIN_FOCUS:
        if (mStatus & PSF_CURRENT) return 0;
        mStatus |= PSF_CURRENT;
        if (mpParent) {
            if (!(mStatus & PSF_NONCLIENT)) {
                for (GuiThing* s = mpParent->mpFirst; s; s = s->mpNext)
                    if (s != this && (s->mStatus & PSF_LAST_FOCUS)) {
                        s->mStatus &= static_cast<uint16_t>(~PSF_LAST_FOCUS);
                        break;
                    }
                mStatus |= PSF_LAST_FOCUS;
            }
            if (!(mpParent->mStatus & PSF_CURRENT)) return mpParent->Message(msg);
        }
        return 0;
    case GM_LOSE_FOCUS:
        if (!(mStatus & PSF_CURRENT)) return 0;
        mStatus &= static_cast<uint16_t>(~PSF_CURRENT);
        for (GuiThing* c = mpFirst; c; c = c->mpNext)
            if (c->mStatus & PSF_CURRENT) {
                c->Message(msg);
                break;
            }
        return 0;
    default:
        if (!mpParent || (mpPresentation && mpPresentation->RootThing() == mpParent)) return 0;
        return mpParent->Message(msg);
    }
}
