// OS layer over POSIX threads and the one simulated clock.
//
// One lock guards every object of the layer: simple, and the simulator never needs more.
// Each task has its own condition variable; a waker hands the token (or message) to the
// woken task directly and counts it as running again before it wakes, so "every task is
// blocked" is never seen while a release is in flight.
#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <malloc.h>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct OsTaskExit {};

enum Wake { WAKE_NONE = 0, WAKE_GRANTED, WAKE_TIMEOUT, WAKE_DELETED_OBJ, WAKE_TASK_DELETE };

struct Tcb;
using WaitList = std::deque<Tcb*>;

struct Tcb {
    std::string name;
    int priority = 100;
    int options = 0;
    size_t stackSize = 0;
    uint32_t affinity = 0;
    bool counted = false; // stepped time waits for it: spawned by the layer, or adopted
    bool adopted = false; // a thread the layer did not start (the process's main thread)
    bool running = false; // counted in the running total
    bool activated = false;
    bool exited = false;
    bool deleteRequested = false;
    bool unwinding = false;
    bool suspendRequested = false;
    int wake = WAKE_NONE;
    WaitList* waitList = nullptr;
    bool timed = false;
    uint64_t deadline = 0;
    // message hand-over for a blocked receiver
    void* rxBuf = nullptr;
    size_t rxMax = 0;
    int rxLen = 0;
    WaitList exitWaiters;
    std::condition_variable cv;
    std::function<void()> body;
};

struct Sem {
    SEM_TYPE type;
    int options;
    int count;
    int maxCount;
    Tcb* owner = nullptr;
    int recursion = 0;
    WaitList waiters;
    std::string name;
    bool deleted = false;
};

struct MsgQ {
    int maxMsgs;
    int maxLen;
    int options;
    std::deque<std::vector<char>> msgs;
    WaitList recvWaiters;
    WaitList sendWaiters;
    std::string name;
    bool deleted = false;
};

struct Timer {
    OS_TIMER_FN fn;
    intptr_t arg;
    bool active = false;
    uint64_t next = 0;
    uint64_t period = 0;
    bool deleted = false;
};

struct World {
    std::mutex m;
    std::condition_variable idleCv;
    int running = 0;
    std::map<intptr_t, Tcb*> tasks; // every task ever made; ids stay unique
    std::map<std::string, Sem*> namedSems;
    std::map<std::string, MsgQ*> namedQueues;
    std::map<std::string, std::pair<void*, size_t>> shms;
    std::vector<Tcb*> timedWaiters;
    // Every object made stays reachable here: ids of deleted objects then fail cleanly
    // instead of touching freed memory, and leak checkers see no lost records.
    std::vector<void*> records;
    std::mutex recordMutex;
    std::vector<Timer*> timers;
    std::deque<Timer*> dueTimers;
    Sem* timerSem = nullptr;
    bool timerTaskStarted = false;
    int foreignCount = 0;
    // clock
    std::atomic<uint64_t> tick{0};
    std::atomic<uint64_t> seq{0};
    std::atomic<int64_t> wallAtTick{0};
    std::atomic<int64_t> calendarBaseNs{0};
    std::atomic<sim::TimeMode> mode{sim::TimeMode::Realtime};
    std::atomic<bool> rtRun{false};
    std::thread rtThread;
    std::mutex hookMutex;
    std::vector<std::pair<int, sim::TickHook>> hooks;
    int nextHookId = 1;
};

// Never destroyed: detached task threads may still touch it while the process exits.
World& W() {
    static World* w = new World;
    return *w;
}

thread_local Tcb* tlsSelf = nullptr;

int64_t wallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- running count (lock held) -------------------------------------------------------
void setRunning(World& w, Tcb* t, bool on) {
    if (!t->counted || t->running == on) return;
    t->running = on;
    w.running += on ? 1 : -1;
    if (w.running == 0) w.idleCv.notify_all();
}

Tcb* self(World& w) {
    if (tlsSelf) return tlsSelf;
    auto* t = new Tcb;
    t->name = w.foreignCount++ == 0 ? "main" : "ext" + std::to_string(w.foreignCount - 1);
    t->activated = true;
    w.tasks[reinterpret_cast<intptr_t>(t)] = t;
    tlsSelf = t;
    return t;
}

Tcb* findTask(World& w, TASK_ID tid) {
    if (tid == 0) return self(w);
    auto it = w.tasks.find(tid);
    return it == w.tasks.end() ? nullptr : it->second;
}

void insertWaiter(WaitList& l, Tcb* t, bool prio) {
    if (!prio) {
        l.push_back(t);
        return;
    }
    auto it = std::find_if(l.begin(), l.end(), [&](Tcb* o) { return o->priority > t->priority; });
    l.insert(it, t);
}

void unlinkWait(World& w, Tcb* t) {
    if (t->waitList) {
        auto& l = *t->waitList;
        l.erase(std::remove(l.begin(), l.end(), t), l.end());
        t->waitList = nullptr;
    }
    if (t->timed) {
        auto& v = w.timedWaiters;
        v.erase(std::remove(v.begin(), v.end(), t), v.end());
        t->timed = false;
    }
}

void wakeTask(World& w, Tcb* t, int reason) {
    unlinkWait(w, t);
    t->wake = reason;
    setRunning(w, t, true);
    t->cv.notify_one();
}

void checkDelete(Tcb* t) {
    if (t->deleteRequested && !t->unwinding && t->counted) {
        t->unwinding = true;
        throw OsTaskExit{};
    }
}

// Blocks the caller until woken or until `ticks` pass (WAIT_FOREVER: no limit).
int block(World& w, std::unique_lock<std::mutex>& lk, Tcb* t, WaitList* list, bool prio, int ticks) {
    checkDelete(t);
    if (list) {
        insertWaiter(*list, t, prio);
        t->waitList = list;
    }
    if (ticks != WAIT_FOREVER) {
        t->timed = true;
        t->deadline = w.tick.load() + static_cast<uint64_t>(std::max(ticks, 0));
        w.timedWaiters.push_back(t);
    }
    t->wake = WAKE_NONE;
    setRunning(w, t, false);
    while (t->wake == WAKE_NONE)
        t->cv.wait(lk);
    if (t->wake == WAKE_TASK_DELETE) checkDelete(t);
    return t->wake;
}

// A pending suspension is honoured at the next call into the layer.
void honourSuspend(World& w, std::unique_lock<std::mutex>& lk, Tcb* t) {
    while (t->suspendRequested) {
        int r = block(w, lk, t, nullptr, false, WAIT_FOREVER);
        if (r == WAKE_TASK_DELETE) break;
    }
}

void taskTrampoline(Tcb* t) {
    tlsSelf = t;
    std::string shortName = t->name.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
    try {
        t->body();
    } catch (OsTaskExit&) {
    }
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    t->exited = true;
    t->body = nullptr;
    while (!t->exitWaiters.empty())
        wakeTask(w, t->exitWaiters.front(), WAKE_GRANTED);
    setRunning(w, t, false);
}

Tcb* makeTask(const char* name, int priority, int options, size_t stack, std::function<void()> body) {
    World& w = W();
    auto* t = new Tcb;
    t->name = name ? name : "";
    t->priority = priority;
    t->options = options;
    t->stackSize = stack;
    t->counted = true;
    t->body = std::move(body);
    std::lock_guard<std::mutex> g(w.m);
    w.tasks[reinterpret_cast<intptr_t>(t)] = t;
    return t;
}

STATUS activate(Tcb* t) {
    World& w = W();
    {
        std::lock_guard<std::mutex> g(w.m);
        if (t->activated || t->exited) {
            errno = EINVAL;
            return ERROR;
        }
        t->activated = true;
        setRunning(w, t, true);
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Stacks of at least 256 KiB: host code (formatting, sanitizers) needs more than the
    // target's figures.
    size_t stack = std::max<size_t>(t->stackSize, 256 * 1024);
    pthread_attr_setstacksize(&attr, stack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    int rc = pthread_create(
        &th, &attr,
        [](void* p) -> void* {
            taskTrampoline(static_cast<Tcb*>(p));
            return nullptr;
        },
        t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::lock_guard<std::mutex> g(W().m);
        t->exited = true;
        setRunning(W(), t, false);
        errno = rc;
        return ERROR;
    }
    return OK;
}

std::function<void()> bindEntry(TASK_ENTRY e, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    return [=] { e(a1, a2, a3, a4); };
}

// Looks a named object up, lock held: 1 found, 0 to be created, -1 refused (errno set).
template <class T> int findNamed(std::map<std::string, T*>& names, const char* name, int mode, T** out) {
    auto it = names.find(name);
    if (it != names.end()) {
        if ((mode & OM_CREATE) && (mode & OM_EXCL)) {
            errno = EEXIST;
            return -1;
        }
        *out = it->second;
        return 1;
    }
    if (!(mode & OM_CREATE)) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

Sem* semOf(SEM_ID s) {
    return reinterpret_cast<Sem*>(s);
}
MsgQ* qOf(MSG_Q_ID q) {
    return reinterpret_cast<MsgQ*>(q);
}

void keep(void* p) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.recordMutex);
    w.records.push_back(p);
}

Sem* newSem(SEM_TYPE type, int options, int count, int maxCount) {
    auto* s = new Sem;
    keep(s);
    s->type = type;
    s->options = options;
    s->count = count;
    s->maxCount = maxCount;
    return s;
}

void timerTaskBody() {
    World& w = W();
    for (;;) {
        semTake(reinterpret_cast<SEM_ID>(w.timerSem), WAIT_FOREVER);
        for (;;) {
            Timer* t = nullptr;
            {
                std::lock_guard<std::mutex> g(w.m);
                if (w.dueTimers.empty()) break;
                t = w.dueTimers.front();
                w.dueTimers.pop_front();
                if (t->deleted) continue;
            }
            t->fn(reinterpret_cast<OS_TIMER_ID>(t), t->arg);
        }
    }
}

} // namespace

// ---- tasks ---------------------------------------------------------------------------

TASK_ID taskCreate(const char* name, int priority, int options, size_t stackSize, TASK_ENTRY entry,
                   intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    if (!entry) {
        errno = EINVAL;
        return TASK_ID_NULL;
    }
    return reinterpret_cast<TASK_ID>(
        makeTask(name, priority, options, stackSize, bindEntry(entry, a1, a2, a3, a4)));
}

STATUS taskActivate(TASK_ID tid) {
    World& w = W();
    Tcb* t;
    {
        std::lock_guard<std::mutex> g(w.m);
        t = tid ? findTask(w, tid) : nullptr;
    }
    if (!t) {
        errno = EINVAL;
        return ERROR;
    }
    return activate(t);
}

TASK_ID taskSpawn(const char* name, int priority, int options, size_t stackSize, TASK_ENTRY entry,
                  intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    TASK_ID tid = taskCreate(name, priority, options, stackSize, entry, a1, a2, a3, a4);
    if (tid == TASK_ID_NULL || taskActivate(tid) != OK) return TASK_ID_NULL;
    return tid;
}

TASK_ID taskSpawnFn(const char* name, int priority, int options, size_t stackSize,
                    std::function<void()> body) {
    Tcb* t = makeTask(name, priority, options, stackSize, std::move(body));
    if (activate(t) != OK) return TASK_ID_NULL;
    return reinterpret_cast<TASK_ID>(t);
}

STATUS taskDelete(TASK_ID tid) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    Tcb* t = findTask(w, tid);
    if (!t || t->exited || !t->counted || t->adopted) {
        errno = EINVAL;
        return ERROR;
    }
    t->deleteRequested = true;
    if (t == tlsSelf) {
        lk.unlock();
        t->unwinding = true;
        throw OsTaskExit{};
    }
    if (!t->activated) {
        t->exited = true;
        return OK;
    }
    if (!t->running && t->wake == WAKE_NONE) wakeTask(w, t, WAKE_TASK_DELETE);
    return OK;
}

bool taskDeleteRequested() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    return self(w)->deleteRequested;
}

STATUS taskWaitExit(TASK_ID tid, int ticks) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    Tcb* me = self(w);
    Tcb* t = findTask(w, tid);
    if (!t || t == me) {
        errno = EINVAL;
        return ERROR;
    }
    if (t->exited) return OK;
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    int r = block(w, lk, me, &t->exitWaiters, false, ticks);
    if (r == WAKE_GRANTED) return OK;
    errno = ETIMEDOUT;
    return ERROR;
}

STATUS taskDelay(int ticks) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    Tcb* me = self(w);
    honourSuspend(w, lk, me);
    checkDelete(me);
    if (ticks <= 0) {
        lk.unlock();
        std::this_thread::yield();
        return OK;
    }
    block(w, lk, me, nullptr, false, ticks);
    return OK;
}

STATUS taskSuspend(TASK_ID tid) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    Tcb* t = findTask(w, tid);
    if (!t || t->exited) {
        errno = EINVAL;
        return ERROR;
    }
    t->suspendRequested = true;
    if (t == self(w)) honourSuspend(w, lk, t);
    return OK;
}

STATUS taskResume(TASK_ID tid) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Tcb* t = findTask(w, tid);
    if (!t || t->exited) {
        errno = EINVAL;
        return ERROR;
    }
    if (t->suspendRequested) {
        t->suspendRequested = false;
        if (!t->running && t->wake == WAKE_NONE && !t->waitList && !t->timed) wakeTask(w, t, WAKE_GRANTED);
    }
    return OK;
}

namespace {
// Runs `fn` on the task under the lock; EINVAL for an unknown task, an exited one when
// `live`, or when `fn` refuses the arguments (returns false).
template <class F> STATUS onTask(TASK_ID tid, bool live, F fn) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Tcb* t = findTask(w, tid);
    if (!t || (live && t->exited) || !fn(t)) {
        errno = EINVAL;
        return ERROR;
    }
    return OK;
}
} // namespace

STATUS taskPriorityGet(TASK_ID tid, int* priority) {
    return onTask(tid, false, [&](Tcb* t) { return priority && (*priority = t->priority, true); });
}

STATUS taskPrioritySet(TASK_ID tid, int priority) {
    return onTask(tid, false, [&](Tcb* t) {
        if (priority < 0 || priority > 255) return false;
        t->priority = priority;
        return true;
    });
}

// Recorded only: the host scheduler places the thread.
STATUS taskCpuAffinitySet(TASK_ID tid, uint32_t cpuMask) {
    return onTask(tid, true, [&](Tcb* t) { return t->affinity = cpuMask, true; });
}

STATUS taskCpuAffinityGet(TASK_ID tid, uint32_t* cpuMask) {
    return onTask(tid, false, [&](Tcb* t) { return cpuMask && (*cpuMask = t->affinity, true); });
}

TASK_ID taskIdSelf() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    return reinterpret_cast<TASK_ID>(self(w));
}

STATUS taskIdVerify(TASK_ID tid) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    auto it = w.tasks.find(tid);
    return it != w.tasks.end() && !it->second->exited ? OK : ERROR;
}

const char* taskName(TASK_ID tid) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Tcb* t = findTask(w, tid);
    return t ? t->name.c_str() : nullptr;
}

TASK_ID taskNameToId(const char* name) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    if (!name) return TASK_ID_NULL;
    for (auto& [id, t] : w.tasks)
        if (!t->exited && t->name == name) return id;
    errno = ENOENT;
    return TASK_ID_NULL;
}

// ---- semaphores ------------------------------------------------------------------------

SEM_ID semBCreate(int options, SEM_B_STATE initial) {
    return reinterpret_cast<SEM_ID>(newSem(SEM_TYPE_BINARY, options, initial == SEM_FULL ? 1 : 0, 1));
}

SEM_ID semCCreate(int options, int initialCount) {
    if (initialCount < 0) {
        errno = EINVAL;
        return nullptr;
    }
    return reinterpret_cast<SEM_ID>(newSem(SEM_TYPE_COUNTING, options, initialCount, INT_MAX));
}

SEM_ID semMCreate(int options) {
    return reinterpret_cast<SEM_ID>(newSem(SEM_TYPE_MUTEX, options, 1, 1));
}

STATUS semDelete(SEM_ID sem) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Sem* s = semOf(sem);
    if (!s || s->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    s->deleted = true;
    while (!s->waiters.empty())
        wakeTask(w, s->waiters.front(), WAKE_DELETED_OBJ);
    if (!s->name.empty()) w.namedSems.erase(s->name);
    return OK; // the record stays allocated: stale ids then fail instead of crashing
}

STATUS semTake(SEM_ID sem, int ticks) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    Sem* s = semOf(sem);
    if (!s || s->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self(w);
    honourSuspend(w, lk, me);
    checkDelete(me);
    if (s->type == SEM_TYPE_MUTEX) {
        if (s->owner == me) {
            s->recursion++;
            return OK;
        }
        if (!s->owner) {
            s->owner = me;
            s->recursion = 1;
            s->count = 0;
            return OK;
        }
    } else if (s->count > 0) {
        s->count--;
        return OK;
    }
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    switch (block(w, lk, me, &s->waiters, s->options & SEM_Q_PRIORITY, ticks)) {
    case WAKE_GRANTED:
        return OK;
    case WAKE_TIMEOUT:
        errno = ETIMEDOUT;
        return ERROR;
    default:
        errno = EINVAL;
        return ERROR;
    }
}

STATUS semGive(SEM_ID sem) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Sem* s = semOf(sem);
    if (!s || s->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    if (s->type == SEM_TYPE_MUTEX) {
        if (s->owner != self(w)) {
            errno = EACCES;
            return ERROR;
        }
        if (--s->recursion > 0) return OK;
        if (!s->waiters.empty()) {
            Tcb* next = s->waiters.front();
            s->owner = next;
            s->recursion = 1;
            wakeTask(w, next, WAKE_GRANTED);
        } else {
            s->owner = nullptr;
            s->count = 1;
        }
        return OK;
    }
    if (!s->waiters.empty()) {
        wakeTask(w, s->waiters.front(), WAKE_GRANTED);
        return OK;
    }
    if (s->count >= s->maxCount) {
        if (s->type == SEM_TYPE_BINARY) return OK;
        errno = EOVERFLOW;
        return ERROR;
    }
    s->count++;
    return OK;
}

STATUS semFlush(SEM_ID sem) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Sem* s = semOf(sem);
    if (!s || s->deleted || s->type == SEM_TYPE_MUTEX) {
        errno = EINVAL;
        return ERROR;
    }
    while (!s->waiters.empty())
        wakeTask(w, s->waiters.front(), WAKE_GRANTED);
    return OK;
}

STATUS semInfoGet(SEM_ID sem, SEM_INFO* info) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Sem* s = semOf(sem);
    if (!s || s->deleted || !info) {
        errno = EINVAL;
        return ERROR;
    }
    info->type = s->type;
    info->count = s->type == SEM_TYPE_MUTEX ? (s->owner ? 0 : 1) : s->count;
    info->numWaiting = static_cast<int>(s->waiters.size());
    info->owner = reinterpret_cast<TASK_ID>(s->owner);
    return OK;
}

SEM_ID semOpen(const char* name, SEM_TYPE type, int initState, int options, int mode) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Sem* s = nullptr;
    int found = findNamed(w.namedSems, name, mode, &s);
    if (found != 0) return found > 0 ? reinterpret_cast<SEM_ID>(s) : nullptr;
    switch (type) {
    case SEM_TYPE_BINARY:
        s = newSem(type, options, initState ? 1 : 0, 1);
        break;
    case SEM_TYPE_COUNTING:
        s = newSem(type, options, std::max(initState, 0), INT_MAX);
        break;
    default:
        s = newSem(SEM_TYPE_MUTEX, options, 1, 1);
        break;
    }
    s->name = name;
    w.namedSems[name] = s;
    return reinterpret_cast<SEM_ID>(s);
}

STATUS semClose(SEM_ID sem) {
    if (!sem) {
        errno = EINVAL;
        return ERROR;
    }
    return OK; // named objects live as long as the unit
}

// ---- message queues ----------------------------------------------------------------------

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options) {
    if (maxMsgs <= 0 || maxMsgLength < 0) {
        errno = EINVAL;
        return nullptr;
    }
    auto* q = new MsgQ;
    keep(q);
    q->maxMsgs = maxMsgs;
    q->maxLen = maxMsgLength;
    q->options = options;
    return reinterpret_cast<MSG_Q_ID>(q);
}

STATUS msgQDelete(MSG_Q_ID id) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    MsgQ* q = qOf(id);
    if (!q || q->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    q->deleted = true;
    while (!q->recvWaiters.empty())
        wakeTask(w, q->recvWaiters.front(), WAKE_DELETED_OBJ);
    while (!q->sendWaiters.empty())
        wakeTask(w, q->sendWaiters.front(), WAKE_DELETED_OBJ);
    if (!q->name.empty()) w.namedQueues.erase(q->name);
    q->msgs.clear();
    return OK;
}

STATUS msgQSend(MSG_Q_ID id, const void* buf, size_t len, int ticks, int priority) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    MsgQ* q = qOf(id);
    if (!q || q->deleted || (!buf && len) || len > static_cast<size_t>(q->maxLen)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self(w);
    honourSuspend(w, lk, me);
    checkDelete(me);
    for (;;) {
        if (!q->recvWaiters.empty()) {
            Tcb* r = q->recvWaiters.front();
            size_t n = std::min(len, r->rxMax);
            if (n) std::memcpy(r->rxBuf, buf, n);
            r->rxLen = static_cast<int>(n);
            wakeTask(w, r, WAKE_GRANTED);
            return OK;
        }
        if (static_cast<int>(q->msgs.size()) < q->maxMsgs) {
            const char* p = static_cast<const char*>(buf);
            std::vector<char> m(p, p + len);
            if (priority == MSG_PRI_URGENT)
                q->msgs.push_front(std::move(m));
            else
                q->msgs.push_back(std::move(m));
            return OK;
        }
        if (ticks == NO_WAIT) {
            errno = EAGAIN;
            return ERROR;
        }
        int r = block(w, lk, me, &q->sendWaiters, q->options & MSG_Q_PRIORITY, ticks);
        if (r == WAKE_TIMEOUT) {
            errno = ETIMEDOUT;
            return ERROR;
        }
        if (r != WAKE_GRANTED) {
            errno = EINVAL;
            return ERROR;
        }
        // A slot was freed (a receiver may have taken it first: loop).
        // The time-out restarts; senders that give a limit accept that.
    }
}

int msgQReceive(MSG_Q_ID id, void* buf, size_t maxLen, int ticks) {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    MsgQ* q = qOf(id);
    if (!q || q->deleted || (!buf && maxLen)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self(w);
    honourSuspend(w, lk, me);
    checkDelete(me);
    if (!q->msgs.empty()) {
        std::vector<char> m = std::move(q->msgs.front());
        q->msgs.pop_front();
        size_t n = std::min(m.size(), maxLen);
        if (n) std::memcpy(buf, m.data(), n);
        if (!q->sendWaiters.empty()) wakeTask(w, q->sendWaiters.front(), WAKE_GRANTED);
        return static_cast<int>(n);
    }
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    me->rxBuf = buf;
    me->rxMax = maxLen;
    me->rxLen = 0;
    int r = block(w, lk, me, &q->recvWaiters, q->options & MSG_Q_PRIORITY, ticks);
    me->rxBuf = nullptr;
    if (r == WAKE_GRANTED) return me->rxLen;
    errno = r == WAKE_TIMEOUT ? ETIMEDOUT : EINVAL;
    return ERROR;
}

int msgQNumMsgs(MSG_Q_ID id) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    MsgQ* q = qOf(id);
    if (!q || q->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    return static_cast<int>(q->msgs.size());
}

MSG_Q_ID msgQOpen(const char* name, int maxMsgs, int maxMsgLength, int options, int mode) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    {
        std::lock_guard<std::mutex> g(w.m);
        MsgQ* q = nullptr;
        int found = findNamed(w.namedQueues, name, mode, &q);
        if (found != 0) return found > 0 ? reinterpret_cast<MSG_Q_ID>(q) : nullptr;
    }
    MSG_Q_ID id = msgQCreate(maxMsgs, maxMsgLength, options);
    if (!id) return nullptr;
    std::lock_guard<std::mutex> g(w.m);
    auto [it, fresh] = w.namedQueues.emplace(name, qOf(id));
    if (!fresh) { // another task created it meanwhile
        msgQDelete(id);
        return reinterpret_cast<MSG_Q_ID>(it->second);
    }
    qOf(id)->name = name;
    return id;
}

STATUS msgQClose(MSG_Q_ID q) {
    if (!q) {
        errno = EINVAL;
        return ERROR;
    }
    return OK;
}

// ---- shared memory ---------------------------------------------------------------------

void* shmMap(const char* name, size_t size, bool create) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    auto it = w.shms.find(name);
    if (it != w.shms.end()) {
        if (size > it->second.second) {
            errno = EINVAL;
            return nullptr;
        }
        return it->second.first;
    }
    if (!create) {
        errno = ENOENT;
        return nullptr;
    }
    void* p = std::calloc(1, std::max<size_t>(size, 1));
    if (!p) {
        errno = ENOMEM;
        return nullptr;
    }
    w.shms[name] = {p, size};
    return p;
}

// ---- clocks ----------------------------------------------------------------------------

int sysClkRateGet() {
    return 1000;
}
uint32_t tickGet() {
    return static_cast<uint32_t>(W().tick.load());
}
uint64_t tick64Get() {
    return W().tick.load();
}

uint64_t osHwTimeNs() {
    World& w = W();
    for (;;) {
        uint64_t s1 = w.seq.load(std::memory_order_acquire);
        if (s1 & 1) continue;
        uint64_t t = w.tick.load(std::memory_order_relaxed);
        int64_t at = w.wallAtTick.load(std::memory_order_relaxed);
        if (w.seq.load(std::memory_order_acquire) != s1) continue;
        uint64_t ns = t * 1000000ull;
        if (w.mode == sim::TimeMode::Realtime && at) {
            int64_t d = wallNs() - at;
            ns += static_cast<uint64_t>(std::clamp<int64_t>(d, 0, 999999));
        }
        return ns;
    }
}

int osClockGettime(clockid_t clock, struct timespec* ts) {
    if (!ts) {
        errno = EINVAL;
        return -1;
    }
    uint64_t ns = osHwTimeNs();
    if (clock == CLOCK_REALTIME) {
        ns += static_cast<uint64_t>(W().calendarBaseNs.load());
    } else if (clock != CLOCK_MONOTONIC) {
        errno = EINVAL;
        return -1;
    }
    ts->tv_sec = static_cast<time_t>(ns / 1000000000ull);
    ts->tv_nsec = static_cast<long>(ns % 1000000000ull);
    return 0;
}

int osClockSettime(clockid_t clock, const struct timespec* ts) {
    if (clock != CLOCK_REALTIME || !ts || ts->tv_nsec < 0 || ts->tv_nsec > 999999999) {
        errno = EINVAL;
        return -1;
    }
    int64_t want = static_cast<int64_t>(ts->tv_sec) * 1000000000ll + ts->tv_nsec;
    W().calendarBaseNs.store(want - static_cast<int64_t>(osHwTimeNs()));
    return 0;
}

void osBusyWaitNs(uint64_t ns) {
    if (W().mode == sim::TimeMode::Stepped) {
        taskDelay(static_cast<int>((ns + 999999) / 1000000));
        return;
    }
    uint64_t end = osHwTimeNs() + ns;
    while (osHwTimeNs() < end)
        std::this_thread::yield();
}

// ---- timers -----------------------------------------------------------------------------

OS_TIMER_ID osTimerCreate(OS_TIMER_FN fn, intptr_t arg) {
    if (!fn) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    bool start = false;
    auto* t = new Timer{fn, arg};
    keep(t);
    {
        std::lock_guard<std::mutex> g(w.m);
        if (!w.timerSem) w.timerSem = newSem(SEM_TYPE_BINARY, SEM_Q_FIFO, 0, 1);
        start = !w.timerTaskStarted;
        w.timerTaskStarted = true;
        w.timers.push_back(t);
    }
    if (start) taskSpawnFn("tOsTimer", 10, 0, 65536, timerTaskBody);
    return reinterpret_cast<OS_TIMER_ID>(t);
}

STATUS osTimerStart(OS_TIMER_ID id, int firstTicks, int periodTicks) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    auto* t = reinterpret_cast<Timer*>(id);
    if (!t || t->deleted || firstTicks < 1 || periodTicks < 0) {
        errno = EINVAL;
        return ERROR;
    }
    t->active = true;
    t->next = w.tick.load() + static_cast<uint64_t>(firstTicks);
    t->period = static_cast<uint64_t>(periodTicks);
    return OK;
}

STATUS osTimerCancel(OS_TIMER_ID id) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    auto* t = reinterpret_cast<Timer*>(id);
    if (!t || t->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    t->active = false;
    return OK;
}

STATUS osTimerDelete(OS_TIMER_ID id) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    auto* t = reinterpret_cast<Timer*>(id);
    if (!t || t->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    t->active = false;
    t->deleted = true;
    return OK;
}

// ---- heap --------------------------------------------------------------------------------

STATUS osHeapStats(OS_HEAP_STATS* s) {
    if (!s) {
        errno = EINVAL;
        return ERROR;
    }
    struct mallinfo2 mi = mallinfo2();
    s->allocBytes = mi.uordblks + mi.hblkhd;
    s->freeBytes = mi.fordblks;
    s->totalBytes = s->allocBytes + s->freeBytes;
    s->maxFreeBlock = mi.fordblks; // glibc does not tell the largest block; the free total bounds it
    s->allocBlocks = 0;
    return OK;
}

// ---- external waits ------------------------------------------------------------------------

OsExternalWait::OsExternalWait() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    setRunning(w, self(w), false);
}

OsExternalWait::~OsExternalWait() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    setRunning(w, self(w), true);
}

// ---- simulation controls ------------------------------------------------------------------

namespace sim {

namespace {
void runHooks(World& w, uint64_t now) {
    std::vector<TickHook> hooks;
    {
        std::lock_guard<std::mutex> g(w.hookMutex);
        for (auto& h : w.hooks)
            hooks.push_back(h.second);
    }
    for (auto& h : hooks)
        h(now);
}

// One tick. In stepped time the tick's hooks ("/BASETICK0": the rasters) run to the end before
// the expired delays and time-outs are released, as the rasters outrank the tasks that wait on
// time; so a scripted stepped run comes out the same every time.
void tickOnce(bool stepped) {
    World& w = W();
    uint64_t now;
    {
        std::lock_guard<std::mutex> g(w.m);
        w.seq.fetch_add(1, std::memory_order_acq_rel);
        now = w.tick.load() + 1;
        w.tick.store(now);
        w.wallAtTick.store(wallNs());
        w.seq.fetch_add(1, std::memory_order_acq_rel);
    }
    if (stepped) {
        runHooks(w, now);
        waitIdle();
    }
    {
        std::lock_guard<std::mutex> g(w.m);
        std::vector<Tcb*> due;
        for (Tcb* t : w.timedWaiters)
            if (t->deadline <= now) due.push_back(t);
        for (Tcb* t : due)
            wakeTask(w, t, WAKE_TIMEOUT);
        bool any = false;
        for (Timer* t : w.timers) {
            if (!t->active || t->deleted || t->next > now) continue;
            w.dueTimers.push_back(t);
            any = true;
            if (t->period)
                t->next = now + t->period;
            else
                t->active = false;
        }
        if (any && w.timerSem) {
            Sem* s = w.timerSem;
            if (!s->waiters.empty())
                wakeTask(w, s->waiters.front(), WAKE_GRANTED);
            else
                s->count = 1;
        }
    }
    if (!stepped) runHooks(w, now);
}
} // namespace

void configure(TimeMode mode, int64_t calendarStartSec) {
    World& w = W();
    w.mode = mode;
    w.calendarBaseNs.store(calendarStartSec * 1000000000ll -
                           static_cast<int64_t>(w.tick.load() * 1000000ull));
}

TimeMode mode() {
    return W().mode.load();
}

void startRealtime() {
    World& w = W();
    if (w.rtRun.exchange(true)) return;
    w.mode = TimeMode::Realtime;
    w.rtThread = std::thread([&w] {
        pthread_setname_np(pthread_self(), "simclock");
        auto next = std::chrono::steady_clock::now();
        while (w.rtRun.load()) {
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
            tickOnce(false);
            auto now = std::chrono::steady_clock::now();
            if (now - next > std::chrono::milliseconds(100)) next = now; // host stalled: do not race
        }
    });
}

void stopRealtime() {
    World& w = W();
    if (!w.rtRun.exchange(false)) return;
    if (w.rtThread.joinable()) w.rtThread.join();
}

void waitIdle() {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.m);
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (w.running > 0) {
        if (w.idleCv.wait_until(lk, limit) == std::cv_status::timeout && w.running > 0) {
            std::fprintf(stderr, "stepped time: tasks never blocked:");
            for (auto& [id, t] : w.tasks)
                if (t->running) std::fprintf(stderr, " %s", t->name.c_str());
            std::fprintf(stderr, "\n");
            std::abort();
        }
    }
}

void step(uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) {
        waitIdle();
        tickOnce(true);
    }
    waitIdle();
}

uint64_t ticks() {
    return W().tick.load();
}

void adoptThread() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Tcb* t = self(w);
    if (t->counted) return;
    t->counted = t->adopted = true;
    setRunning(w, t, true);
}

void releaseThread() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    Tcb* t = self(w);
    if (!t->adopted) return;
    setRunning(w, t, false);
    t->counted = t->adopted = false;
}

int addTickHook(TickHook hook) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.hookMutex);
    int id = w.nextHookId++;
    w.hooks.emplace_back(id, std::move(hook));
    return id;
}

void removeTickHook(int id) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.hookMutex);
    w.hooks.erase(std::remove_if(w.hooks.begin(), w.hooks.end(), [id](auto& h) { return h.first == id; }),
                  w.hooks.end());
}

std::vector<std::string> runningTasks() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    std::vector<std::string> out;
    for (auto& [id, t] : w.tasks)
        if (t->running) out.push_back(t->name);
    return out;
}

std::vector<std::string> taskNames() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.m);
    std::vector<std::string> out;
    for (auto& [id, t] : w.tasks)
        if (t->counted && !t->adopted && t->activated && !t->exited) out.push_back(t->name);
    return out;
}

} // namespace sim
