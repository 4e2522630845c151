#include "gui/presentation/presentation.h"
#include "gui/core/screen.h"
#include "services/syslog/syslog.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
struct SubTaskLock {
    explicit SubTaskLock(SEM_ID m) : m_(m) {
        if (m_) semTake(m_, WAIT_FOREVER);
    }
    ~SubTaskLock() {
        if (m_) semGive(m_);
    }
    SubTaskLock(const SubTaskLock&) = delete;
    SubTaskLock& operator=(const SubTaskLock&) = delete;
    SEM_ID m_;
};

bool isPointer(uint16_t type) {
    return type >= GM_POINTER_MOVE && type <= GM_RBUTTON_UP;
}
} // namespace

GuiPresentationManager::GuiPresentationManager(const GuiRect& rect) : GuiWindow(rect, FF_NONE) {
    mStatus |= PSF_VISIBLE;
    mSubTaskMutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
}

GuiPresentationManager::~GuiPresentationManager() {
    // The children go while this object is whole: their destructors call NullInput.
    EnterCriticalSection();
    while (mpFirst) {
        GuiThing* child = mpFirst;
        Unlink(child);
        delete child;
    }
    while (mpSubTasks) {
        SubTask* s = mpSubTasks;
        mpSubTasks = s->next;
        bool shared = false;
        for (SubTask* o = mpSubTasks; o; o = o->next)
            shared |= o->queue == s->queue;
        if (!shared) GuiDeleteMessageQueue(s->queue);
        delete s;
    }
    ExitCriticalSection();
    ClearScratchPad();
    if (mSubTaskMutex) semDelete(mSubTaskMutex);
}

int GuiPresentationManager::Message(const GuiMessage& msg) {
    switch (msg.type) {
    case GM_CLOSE:
        return GUI_RESULT_CLOSE;
    case GM_DESTROY_SELF:
        MessageChildren(msg);
        return 0;
    case GM_HIDE:
        return 0; // the root stays shown: its drawing passes return the invalidations' lock levels
    default:
        // The root never closes itself on a button of its own (ids 1000, 1002..1008).
        if (msg.type >= 128 && msg.type < GM_APP && ((msg.type - 128) & 15) == GSIG_CLICKED) return 0;
        return GuiWindow::Message(msg);
    }
}

// ---- dispatch ---------------------------------------------------------------------------------

int GuiPresentationManager::Execute(int) {
    for (;;) {
        // Each invalidation holds a level of the GUI lock until it is drawn: what a message left
        // undrawn is drawn before the task waits, so that the lock is free while it is idle.
        if (mpScreen && mpScreen->InvalidCount() > 0) Draw();
        GuiMessage m;
        mpMessageQueue->Pop(&m);
        if (RouteMessageToTask(&m)) continue;
        if (DispatchMessage(this, &m) == GUI_RESULT_CLOSE) return GUI_RESULT_CLOSE;
    }
}

int GuiPresentationManager::DispatchPending() {
    int n = 0;
    GuiMessage m;
    while (mpMessageQueue && mpMessageQueue->TryPop(&m)) {
        ++n;
        if (!RouteMessageToTask(&m)) DispatchMessage(this, &m);
    }
    return n;
}

GuiThing* GuiPresentationManager::FindLowestThingContaining(GuiThing* start, GuiPoint p) {
    if (!start) return nullptr;
    for (GuiThing* c = start->mpFirst; c; c = c->mpNext) {
        if (!c->Visible() || !c->mClip.Contains(p)) continue;
        GuiThing* deeper = FindLowestThingContaining(c, p);
        if (deeper != c) return deeper;
        if (c->mStatus & PSF_SELECTABLE) return c;
    }
    return start;
}

GuiThing* GuiPresentationManager::PointerTarget(GuiPoint p) {
    if (GuiThing* owner = GetPointerOwner()) return owner;
    return FindLowestThingContaining(this, p);
}

int GuiPresentationManager::DispatchMessage(GuiThing*, GuiMessage* msg) {
    if (!msg) return 0;
    if (msg->target) return msg->target->Message(*msg);
    GuiThing* t = nullptr;
    const GuiPoint p = msg->payload.point;
    switch (msg->type) {
    case GM_POINTER_MOVE: {
        t = PointerTarget(p);
        if (t != mpLastPointer && !GetPointerOwner()) {
            if (mpLastPointer) mpLastPointer->Message(GuiMessage(GM_POINTER_EXIT, mpLastPointer));
            mpLastPointer = t;
            if (t) t->Message(GuiMessage(GM_POINTER_ENTER, t));
        }
        break;
    }
    case GM_LBUTTON_DOWN:
    case GM_RBUTTON_DOWN: {
        t = PointerTarget(p);
        GuiThing* f = t;
        while (f && f != this &&
               (f->mStatus & (PSF_ACCEPTS_FOCUS | PSF_VISIBLE)) != (PSF_ACCEPTS_FOCUS | PSF_VISIBLE))
            f = f->mpParent;
        if (f && f != this) MoveFocusTree(f);
        if (!GetPointerOwner()) mpLastPointer = t;
        break;
    }
    case GM_LBUTTON_UP:
    case GM_RBUTTON_UP:
        t = GetPointerOwner();
        if (!t && mpLastPointer && mpLastPointer->mReal.Contains(p)) t = mpLastPointer;
        break;
    case GM_KEY:
    case GM_KEY_UP:
    case GM_CUT:
    case GM_COPY:
    case GM_PASTE:
        t = mpFocus;
        break;
    default:
        if (msg->type >= GM_APP) {
            if (msg->data) t = Find(static_cast<uint16_t>(msg->data), 1);
            if (!t) t = mpFocus;
            if (!t) t = mpFirst;
        } else {
            t = mpFocus ? mpFocus : mpFirst;
        }
        break;
    }
    if (!t) return 0;
    msg->target = t;
    return t->Message(*msg);
}

int GuiPresentationManager::RouteMessageToTask(const GuiMessage* msg) {
    if (!msg) return 0;
    // The list stays locked until the message is in the queue: the task's EndSubTaskExecute
    // deletes the queue under the same lock. The walk over the tree and the pointer captures
    // needs the GUI lock too, under which a modal window's task changes them (GUI lock first,
    // as everywhere).
    GuiLock lock;
    SubTaskLock list(mSubTaskMutex);
    if (!mpSubTasks) return 0;
    GuiThing* t = msg->target;
    if (!t) {
        if (isPointer(msg->type)) {
            GuiThing* obj = PointerTarget(msg->payload.point);
            GuiQueue* q = ThingQueueLocked(obj);
            if (!q) return 0;
            mpMessageQueue->Fold(msg, q);
            return 1;
        }
        if (msg->type == GM_KEY || msg->type == GM_KEY_UP) t = mpFocus;
        if (!t) return 0;
    }
    GuiQueue* q = ThingQueueLocked(t);
    if (!q) return 0;
    EnqueueTaskMessage(msg, q);
    return 1;
}

// ---- focus and pointer --------------------------------------------------------------------------

void GuiPresentationManager::MoveFocusTree(GuiThing* thing) {
    if (!thing || (thing->mStatus & (PSF_VISIBLE | PSF_ACCEPTS_FOCUS)) != (PSF_VISIBLE | PSF_ACCEPTS_FOCUS))
        return;
    GuiLock lock;
    GuiThing* old = mpFocus;
    if (old == thing) return;
    if (old && !thing->IsIn(old)) {
        // The part of the old branch that the new focus does not share loses the focus.
        GuiThing* top = old;
        while (top->mpParent && top->mpParent != this && !thing->IsIn(top->mpParent))
            top = top->mpParent;
        KillFocus(top);
    }
    mpFocus = thing;
    thing->Message(GuiMessage(GM_GAIN_FOCUS, thing));
}

void GuiPresentationManager::NullInput(GuiThing* thing) {
    if (!thing) return;
    GuiLock lock;
    if (mpFocus && mpFocus->IsIn(thing)) {
        mpFocus = nullptr;
        for (GuiThing* a = thing->mpParent; a && a != this; a = a->mpParent)
            a->mStatus &= static_cast<uint16_t>(~PSF_CURRENT);
    }
    if (mpLastPointer && mpLastPointer->IsIn(thing)) mpLastPointer = nullptr;
    int n = 0;
    for (int i = 0; i < mCaptureCount; ++i) {
        if (mCapture[i]->IsIn(thing))
            mCapture[i]->mStatus &= static_cast<uint16_t>(~PSF_CAPTURED);
        else
            mCapture[n++] = mCapture[i];
    }
    for (int i = n; i < mCaptureCount; ++i)
        mCapture[i] = nullptr;
    mCaptureCount = n;
}

void GuiPresentationManager::CapturePointer(GuiThing* thing) {
    if (!thing) return;
    GuiLock lock;
    if (mCaptureCount >= MAX_CAPTURE) return;
    mCapture[mCaptureCount++] = thing;
    thing->mStatus |= PSF_CAPTURED;
}

void GuiPresentationManager::ReleasePointer(GuiThing* thing) {
    if (!thing) return;
    GuiLock lock;
    for (int i = mCaptureCount - 1; i >= 0; --i) {
        if (mCapture[i] != thing) continue;
        for (int k = i; k + 1 < mCaptureCount; ++k)
            mCapture[k] = mCapture[k + 1];
        mCapture[--mCaptureCount] = nullptr;
        break;
    }
    bool still = false;
    for (int i = 0; i < mCaptureCount; ++i)
        still |= mCapture[i] == thing;
    if (!still) thing->mStatus &= static_cast<uint16_t>(~PSF_CAPTURED);
}

// ---- sub-task queues ----------------------------------------------------------------------------

void GuiPresentationManager::BeginSubTaskExecute(GuiThing* thing) {
    GuiLock lock;
    SubTaskLock list(mSubTaskMutex);
    TASK_ID self = taskIdSelf();
    GuiQueue* q = nullptr;
    for (SubTask* s = mpSubTasks; s && !q; s = s->next)
        if (s->task == self) q = s->queue;
    if (!q) q = GuiCreateMessageQueue();
    if (!q) {
        SYSLOGX_GUARDED(LOG_ERR, "BeginSubTaskExecute: no queue");
        return;
    }
    auto* rec = new (std::nothrow) SubTask{mpSubTasks, thing, self, q};
    if (!rec) return;
    mpSubTasks = rec;
}

void GuiPresentationManager::EndSubTaskExecute(GuiThing* thing) {
    GuiLock lock;
    SubTaskLock list(mSubTaskMutex);
    for (SubTask** pp = &mpSubTasks; *pp; pp = &(*pp)->next) {
        SubTask* s = *pp;
        if (s->thing != thing) continue;
        *pp = s->next;
        bool shared = false;
        for (SubTask* o = mpSubTasks; o; o = o->next)
            shared |= o->queue == s->queue;
        if (!shared) GuiDeleteMessageQueue(s->queue);
        delete s;
        return;
    }
}

GuiQueue* GuiPresentationManager::GetCurrentMessageQueue() {
    SubTaskLock list(mSubTaskMutex);
    TASK_ID self = taskIdSelf();
    for (SubTask* s = mpSubTasks; s; s = s->next)
        if (s->task == self) return s->queue;
    return nullptr;
}

GuiQueue* GuiPresentationManager::GetThingMessageQueue(GuiThing* thing) {
    GuiLock lock; // the walk up the parents
    SubTaskLock list(mSubTaskMutex);
    return ThingQueueLocked(thing);
}

GuiQueue* GuiPresentationManager::ThingQueueLocked(GuiThing* thing) {
    if (!thing || thing == this) return nullptr;
    for (GuiThing* t = thing; t && t != this; t = t->mpParent)
        for (SubTask* s = mpSubTasks; s; s = s->next)
            if (s->thing == t) return s->queue;
    return nullptr;
}

// ---- scratch pad --------------------------------------------------------------------------------

void GuiPresentationManager::SetScratchPad(const char* text) {
    ClearScratchPad();
    if (text && *text) mpScratchPad = strdup(text);
}

void GuiPresentationManager::ClearScratchPad() {
    std::free(mpScratchPad);
    mpScratchPad = nullptr;
}
