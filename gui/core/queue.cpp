// The message queues: 41 preallocated nodes each, a mutex over the lists and a wake-up
// semaphore. The number of queued messages is the length of the list, never a semaphore
// count, so removing messages from any task (Purge) needs no semaphore and cannot block.
#include "gui/core/message.h"
#include "gui/core/thing.h"
#include "gui/core/presenter.h"
#include "services/syslog/syslog.h"

#include <cstring>
#include <new>

struct GuiQueue {
    GuiMessage nodes[GUI_QUEUE_NODES];
    GuiMessage* head = nullptr; // queued, oldest first
    GuiMessage* tail = nullptr;
    GuiMessage* freeHead = nullptr;
    GuiMessage* freeTail = nullptr;
    int count = 0;
    SEM_ID mutex = nullptr;
    SEM_ID wake = nullptr; // given after every enqueue; the consumer re-checks the list
};

namespace {

void freeAppend(GuiQueue* q, GuiMessage* n) {
    n->next = nullptr;
    if (q->freeTail)
        q->freeTail->next = n;
    else
        q->freeHead = n;
    q->freeTail = n;
}

// Appends under the queue mutex; false when no node is free.
bool appendLocked(GuiQueue* q, const GuiMessage* msg) {
    GuiMessage* n = q->freeHead;
    if (!n) return false;
    q->freeHead = n->next;
    if (!q->freeHead) q->freeTail = nullptr;
    *n = *msg;
    n->next = nullptr;
    if (q->tail)
        q->tail->next = n;
    else
        q->head = n;
    q->tail = n;
    q->count++;
    return true;
}

bool popLocked(GuiQueue* q, GuiMessage* out) {
    GuiMessage* n = q->head;
    if (!n) return false;
    q->head = n->next;
    if (!q->head) q->tail = nullptr;
    q->count--;
    *out = *n;
    out->next = nullptr;
    freeAppend(q, n);
    return true;
}

void reportFull(const GuiMessage* msg) {
    SYSLOGX_GUARDED(LOG_ERR, "GUI queue full: message type 0x%04x dropped", msg->type);
}

// Outside the lock, after an append: a dropped message is reported, a queued one wakes the reader.
int afterAppend(GuiQueue* q, const GuiMessage* msg, bool ok) {
    if (!ok) {
        reportFull(msg);
        return 0;
    }
    semGive(q->wake);
    return 1;
}

// Removes queued messages for which match() holds.
template <typename M> void removeIf(GuiQueue* q, M match) {
    semTake(q->mutex, WAIT_FOREVER);
    GuiMessage* prev = nullptr;
    GuiMessage* n = q->head;
    while (n) {
        GuiMessage* next = n->next;
        if (match(*n)) {
            if (prev)
                prev->next = next;
            else
                q->head = next;
            if (q->tail == n) q->tail = prev;
            q->count--;
            freeAppend(q, n);
        } else {
            prev = n;
        }
        n = next;
    }
    semGive(q->mutex);
}

} // namespace

GuiQueue* GuiCreateMessageQueue() {
    auto* q = new (std::nothrow) GuiQueue;
    if (!q) return nullptr;
    q->mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    q->wake = semBCreate(SEM_Q_PRIORITY, SEM_EMPTY);
    if (!q->mutex || !q->wake) {
        if (q->mutex) semDelete(q->mutex);
        if (q->wake) semDelete(q->wake);
        delete q;
        return nullptr;
    }
    for (auto& n : q->nodes)
        freeAppend(q, &n);
    return q;
}

void GuiDeleteMessageQueue(GuiQueue* q) {
    if (!q) return;
    semDelete(q->wake);
    semDelete(q->mutex);
    delete q;
}

int EnqueueTaskMessage(const GuiMessage* msg, GuiQueue* q) {
    if (!msg || !q) return 0;
    semTake(q->mutex, WAIT_FOREVER);
    bool ok = appendLocked(q, msg);
    semGive(q->mutex);
    return afterAppend(q, msg, ok);
}

int GuiTryPopMessage(GuiMessage* msg, GuiQueue* q) {
    semTake(q->mutex, WAIT_FOREVER);
    bool ok = popLocked(q, msg);
    semGive(q->mutex);
    return ok ? 1 : 0;
}

void GuiPopMessage(GuiMessage* msg, GuiQueue* q) {
    while (!GuiTryPopMessage(msg, q))
        semTake(q->wake, WAIT_FOREVER);
}

int GuiQueueCount(GuiQueue* q) {
    semTake(q->mutex, WAIT_FOREVER);
    int n = q->count;
    semGive(q->mutex);
    return n;
}

int GuiQueueFreeNodes(GuiQueue* q) {
    semTake(q->mutex, WAIT_FOREVER);
    int n = 0;
    for (GuiMessage* f = q->freeHead; f; f = f->next)
        ++n;
    semGive(q->mutex);
    return n;
}

// ---- GuiMessageQueue -----------------------------------------------------------------

GuiQueue* gpGuiMesgQueue = nullptr;

GuiMessageQueue::GuiMessageQueue() {
    gpGuiMesgQueue = GuiCreateMessageQueue();
}

GuiMessageQueue::~GuiMessageQueue() {
    if (tGuiTimerMutex) semTake(tGuiTimerMutex, WAIT_FOREVER);
    while (mpTimers) {
        TimerNode* n = mpTimers;
        mpTimers = n->next;
        delete n;
    }
    GuiQueue* q = gpGuiMesgQueue;
    gpGuiMesgQueue = nullptr;
    if (tGuiTimerMutex) semGive(tGuiTimerMutex);
    GuiDeleteMessageQueue(q);
}

int GuiMessageQueue::Push(const GuiMessage* msg) {
    if (msg->target && GuiThing::mpPresentation && GuiThing::mpPresentation->RouteMessageToTask(msg))
        return 1;
    return EnqueueTaskMessage(msg, gpGuiMesgQueue);
}

int GuiMessageQueue::Fold(const GuiMessage* msg, GuiQueue* q) {
    if (!msg || !q) return 0;
    semTake(q->mutex, WAIT_FOREVER);
    for (GuiMessage* n = q->head; n; n = n->next) {
        if (n->type == msg->type && n->target == msg->target && n->data == msg->data) {
            n->payload = msg->payload;
            semGive(q->mutex);
            return 1;
        }
    }
    bool ok = appendLocked(q, msg);
    semGive(q->mutex);
    return afterAppend(q, msg, ok);
}

int GuiMessageQueue::Fold(const GuiMessage* msg) {
    return Fold(msg, gpGuiMesgQueue);
}

namespace {
bool isTick(const GuiMessage& m) {
    return m.type == GM_TIMER && !m.target;
}
} // namespace

void GuiMessageQueue::Pop(GuiMessage* msg) {
    if (taskIdSelf() != tBaseGuiTask && GuiThing::mpPresentation) {
        if (GuiQueue* own = GuiThing::mpPresentation->GetCurrentMessageQueue()) {
            GuiPopMessage(msg, own);
            return;
        }
    }
    for (;;) {
        GuiPopMessage(msg, gpGuiMesgQueue);
        if (!isTick(*msg)) return;
        TimerTick();
        gbGuiTimerEventPending = 0;
    }
}

int GuiMessageQueue::TryPop(GuiMessage* msg) {
    if (taskIdSelf() != tBaseGuiTask && GuiThing::mpPresentation) {
        if (GuiQueue* own = GuiThing::mpPresentation->GetCurrentMessageQueue())
            return GuiTryPopMessage(msg, own);
    }
    for (;;) {
        if (!GuiTryPopMessage(msg, gpGuiMesgQueue)) return 0;
        if (!isTick(*msg)) return 1;
        TimerTick();
        gbGuiTimerEventPending = 0;
    }
}

void GuiMessageQueue::Purge(GuiThing* thing, uint16_t type, uint16_t data) {
    if (!thing || !gpGuiMesgQueue) return;
    removeIf(gpGuiMesgQueue, [&](const GuiMessage& m) {
        if (!m.target || !m.target->IsIn(thing)) return false;
        if (type && m.type != type) return false;
        if (type && data && static_cast<uint16_t>(m.data) != data) return false;
        return true;
    });
}

void GuiMessageQueue::PurgeReferences(GuiThing* thing) {
    if (!thing || !gpGuiMesgQueue) return;
    removeIf(gpGuiMesgQueue, [&](const GuiMessage& m) {
        return (m.target && m.target->IsIn(thing)) || (m.source && m.source->IsIn(thing));
    });
}

// ---- timers ------------------------------------------------------------------------------

SEM_ID tGuiTimerMutex = nullptr;

void GuiMessageQueue::SetTimer(GuiThing* thing, uint16_t id, long count, long reload) {
    if (!thing) return;
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    for (TimerNode* n = mpTimers; n; n = n->next) {
        if (n->thing == thing && n->id == id) {
            n->count = count;
            n->reload = reload;
            semGive(tGuiTimerMutex);
            return;
        }
    }
    auto* n = new (std::nothrow) TimerNode{mpTimers, thing, count, reload, id};
    if (n)
        mpTimers = n;
    else
        SYSLOGX_GUARDED(LOG_ERR, "SetTimer: no memory for timer %u", id);
    semGive(tGuiTimerMutex);
}

void GuiMessageQueue::KillTimer(GuiThing* thing, uint16_t id) {
    if (!thing) return;
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    bool killed = false;
    for (TimerNode** pp = &mpTimers; *pp;) {
        TimerNode* n = *pp;
        bool match = id ? (n->thing == thing && n->id == id) : n->thing->IsIn(thing);
        if (match) {
            *pp = n->next;
            delete n;
            killed = true;
        } else {
            pp = &n->next;
        }
    }
    if (killed && gpGuiMesgQueue) {
        if (id)
            // Only this timer's expiries: a descendant's timer with the same id keeps its own.
            removeIf(gpGuiMesgQueue, [&](const GuiMessage& m) {
                return m.type == GM_TIMER && m.target == thing && static_cast<uint16_t>(m.data) == id;
            });
        else
            Purge(thing, GM_TIMER, 0);
    }
    semGive(tGuiTimerMutex);
}

void GuiMessageQueue::TimerTick() {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    for (TimerNode** pp = &mpTimers; *pp;) {
        TimerNode* n = *pp;
        if (--n->count <= 0) {
            GuiMessage m(GM_TIMER, n->thing, nullptr, n->id);
            Fold(&m, gpGuiMesgQueue);
            if (n->reload >= 1) {
                n->count = n->reload;
            } else {
                *pp = n->next;
                delete n;
                continue;
            }
        }
        pp = &n->next;
    }
    semGive(tGuiTimerMutex);
}

bool GuiMessageQueue::HasTimer(const GuiThing* thing, uint16_t id) {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    bool found = false;
    for (TimerNode* n = mpTimers; n && !found; n = n->next)
        found = n->thing == thing && (!id || n->id == id);
    semGive(tGuiTimerMutex);
    return found;
}
