// OS layer over POSIX threads and the one simulated clock: tasks, semaphores, message queues,
// shared memory, clocks, timers, the heap's figures and the simulation controls.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>

using namespace os_detail;

// ---- tasks ---------------------------------------------------------------------------

namespace {

// Registry lock held; `me` stands for id 0.
Tcb* findTask(World& w, TASK_ID tid, Tcb* me) {
    if (tid == 0) return me;
    auto it = w.tasks.find(tid);
    return it == w.tasks.end() ? nullptr : it->second;
}

void taskTrampoline(Tcb* t) {
    tlsSelf = tlsOwn = t;
    World& w = W();
    std::string shortName = t->name.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
    {
        std::lock_guard<std::mutex> g(w.reg);
        t->thread = pthread_self();
        t->started = true;
        if (w.rtPriorities.load()) applyPriority(w, t);
        if (w.oneCpu.load()) placeThread(w, t->thread);
    }
    awaitCpu(t);
    try {
        t->body();
    } catch (OsTaskExit&) {
    }
    t->body = nullptr; // what it holds goes while the task still counts as running
    std::vector<Tcb*> woken;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t->exited = true;
        while (Tcb* x = popClaimed(t->exitWaiters))
            woken.push_back(x);
    }
    for (Tcb* x : woken)
        finish(w, x, WAKE_GRANTED);
    leaveCpu(w, t);
    countDown(w, t);
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
    std::lock_guard<std::mutex> g(w.reg);
    w.tasks[reinterpret_cast<intptr_t>(t)] = t;
    return t;
}

STATUS activate(Tcb* t) {
    World& w = W();
    {
        std::lock_guard<std::mutex> g(w.reg);
        if (t->activated || t->exited) {
            errno = EINVAL;
            return ERROR;
        }
        t->activated = true;
    }
    countUp(w, t);
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
        {
            std::lock_guard<std::mutex> g(w.reg);
            t->exited = true;
        }
        leaveCpu(w, t);
        countDown(w, t);
        errno = rc;
        return ERROR;
    }
    preempt(w);
    return OK;
}

std::function<void()> bindEntry(TASK_ENTRY e, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    return [=] { e(a1, a2, a3, a4); };
}

} // namespace

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
        std::lock_guard<std::mutex> g(w.reg);
        t = tid ? findTask(w, tid, nullptr) : nullptr;
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
    Tcb* me = self();
    Tcb* t;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t = findTask(w, tid, me);
        if (!t || t->exited || !t->counted || t->adopted) {
            errno = EINVAL;
            return ERROR;
        }
        t->deleteRequested = true;
        if (t != me && !t->activated) {
            t->exited = true;
            return OK;
        }
    }
    if (t == me) {
        t->unwinding = true;
        throw OsTaskExit{};
    }
    // Asleep now: woken at once; running: it ends at its next blocking call.
    if (claim(t, WAKE_BLOCKED) || claim(t, WAKE_SUSPENDED)) finish(w, t, WAKE_TASK_DELETE);
    preempt(w);
    return OK;
}

bool taskDeleteRequested() {
    return self()->deleteRequested.load();
}

STATUS taskWaitExit(TASK_ID tid, int ticks) {
    World& w = W();
    Tcb* me = self();
    std::unique_lock<std::mutex> lk(w.reg);
    Tcb* t = findTask(w, tid, me);
    if (!t || t == me) {
        errno = EINVAL;
        return ERROR;
    }
    if (t->exited) return OK;
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    int r = block(w, me, &lk, &t->exitWaiters, false, after(w, ticks));
    if (r == WAKE_GRANTED) return OK;
    errno = ETIMEDOUT;
    return ERROR;
}

STATUS taskDelay(int ticks) {
    World& w = W();
    Tcb* me = self();
    enter(w, me);
    if (ticks <= 0) {
        std::this_thread::yield();
        return OK;
    }
    block(w, me, nullptr, nullptr, false, after(w, ticks));
    return OK;
}

STATUS taskSuspend(TASK_ID tid) {
    World& w = W();
    Tcb* me = self();
    Tcb* t;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t = findTask(w, tid, me);
        if (!t || t->exited) {
            errno = EINVAL;
            return ERROR;
        }
        t->suspendRequested = true;
    }
    if (t == me) honourSuspend(w, t);
    return OK;
}

STATUS taskResume(TASK_ID tid) {
    World& w = W();
    Tcb* me = self();
    Tcb* t;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t = findTask(w, tid, me);
        if (!t || t->exited) {
            errno = EINVAL;
            return ERROR;
        }
    }
    if (t->suspendRequested.exchange(false) && claim(t, WAKE_SUSPENDED)) finish(w, t, WAKE_GRANTED);
    preempt(w);
    return OK;
}

namespace {
// Runs `fn` on the task under the registry lock; EINVAL for an unknown task, an exited one
// when `live`, or when `fn` refuses the arguments (returns false).
template <class F> STATUS onTask(TASK_ID tid, bool live, F fn) {
    World& w = W();
    Tcb* me = tid ? nullptr : self();
    std::lock_guard<std::mutex> g(w.reg);
    Tcb* t = findTask(w, tid, me);
    if (!t || (live && t->exited) || !fn(w, t)) {
        errno = EINVAL;
        return ERROR;
    }
    return OK;
}
} // namespace

STATUS taskPriorityGet(TASK_ID tid, int* priority) {
    return onTask(tid, false, [&](World&, Tcb* t) { return priority && (*priority = t->priority, true); });
}

STATUS taskPrioritySet(TASK_ID tid, int priority) {
    PreemptOnReturn preempted{W()};
    return onTask(tid, false, [&](World& w, Tcb* t) {
        if (priority < 0 || priority > 255) return false;
        t->priority = priority;
        if (w.rtPriorities.load()) applyPriority(w, t);
        return true;
    });
}

// Recorded only: the host scheduler places the thread.
STATUS taskCpuAffinitySet(TASK_ID tid, uint32_t cpuMask) {
    return onTask(tid, true, [&](World&, Tcb* t) { return t->affinity = cpuMask, true; });
}

STATUS taskCpuAffinityGet(TASK_ID tid, uint32_t* cpuMask) {
    return onTask(tid, false, [&](World&, Tcb* t) { return cpuMask && (*cpuMask = t->affinity, true); });
}

TASK_ID taskIdSelf() {
    return reinterpret_cast<TASK_ID>(self());
}

STATUS taskIdVerify(TASK_ID tid) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    auto it = w.tasks.find(tid);
    return it != w.tasks.end() && !it->second->exited ? OK : ERROR;
}

const char* taskName(TASK_ID tid) {
    World& w = W();
    Tcb* me = tid ? nullptr : self();
    std::lock_guard<std::mutex> g(w.reg);
    Tcb* t = findTask(w, tid, me);
    return t ? t->name.c_str() : nullptr;
}

TASK_ID taskNameToId(const char* name) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    if (!name) return TASK_ID_NULL;
    for (auto& [id, t] : w.tasks)
        if (!t->exited && t->name == name) return id;
    errno = ENOENT;
    return TASK_ID_NULL;
}

// ---- semaphores ------------------------------------------------------------------------

namespace {

// Stamps a watched semaphore keeps of its pending gives: a backlog far beyond any raster's limit.
constexpr size_t STAMPS_KEPT = 65536;

Sem* semOf(SEM_ID s) {
    return reinterpret_cast<Sem*>(s);
}

int countWaiting(const WaitList& l) {
    return static_cast<int>(
        std::count_if(l.begin(), l.end(), [](Tcb* t) { return t->wake.load() == WAKE_BLOCKED; }));
}

} // namespace

namespace os_detail {

Sem* newSem(SEM_TYPE type, int options, int count, int maxCount) {
    auto* s = new Sem;
    keep(s);
    s->type = type;
    s->options = options;
    s->count = count;
    s->maxCount = maxCount;
    return s;
}

} // namespace os_detail

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
    PreemptOnReturn preempted{w};
    Sem* s = semOf(sem);
    if (!s) {
        errno = EINVAL;
        return ERROR;
    }
    std::vector<Tcb*> woken;
    {
        std::lock_guard<std::mutex> g(s->m);
        if (s->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        s->deleted = true;
        while (Tcb* t = popClaimed(s->waiters))
            woken.push_back(t);
    }
    for (Tcb* t : woken)
        finish(w, t, WAKE_DELETED_OBJ);
    if (!s->name.empty()) {
        std::lock_guard<std::mutex> g(w.reg);
        auto it = w.namedSems.find(s->name);
        if (it != w.namedSems.end() && it->second == s) w.namedSems.erase(it);
    }
    return OK; // the record stays allocated: stale ids then fail instead of crashing
}

namespace {

int takeResult(int wake) {
    switch (wake) {
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

// Raises the owner of an inversion-safe mutex to the waiter's priority (real-time priorities
// only). The raise lasts until the owner gives its last inversion-safe mutex.
void inheritPriority(World& w, Sem* s, Tcb* me) {
    if (!(s->options & SEM_INVERSION_SAFE) || !w.rtPriorities.load()) return;
    Tcb* o = s->owner.load();
    const int p = me->priority.load();
    if (!o || std::min(o->priority.load(), o->boost.load()) <= p) return;
    std::lock_guard<std::mutex> g(w.reg);
    o->boost = p;
    applyPriority(w, o);
}

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

void gotMutex(Sem* s, Tcb* me) {
    s->recursion = 1;
    if (s->options & SEM_INVERSION_SAFE) me->heldSafe++;
}

STATUS mutexTake(World& w, Sem* s, Tcb* me, int ticks) {
    if (s->owner.load(std::memory_order_relaxed) == me) {
        s->recursion++;
        return OK;
    }
    Tcb* none = nullptr;
    if (s->owner.compare_exchange_strong(none, me, std::memory_order_acquire)) {
        gotMutex(s, me);
        return OK;
    }
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    // Critical sections are short: a little spinning mostly saves going to sleep and being
    // handed the mutex later.
    static const int spins = std::thread::hardware_concurrency() > 1 ? 200 : 0;
    for (int i = 0; i < spins; ++i) {
        cpuRelax();
        none = nullptr;
        if (!s->owner.load(std::memory_order_relaxed) &&
            s->owner.compare_exchange_strong(none, me, std::memory_order_acquire)) {
            gotMutex(s, me);
            return OK;
        }
    }
    const Deadline d = after(w, ticks);
    std::unique_lock<std::mutex> lk(s->m);
    s->contenders.fetch_add(1);
    bool again = false;
    for (;;) {
        none = nullptr;
        if (s->deleted) break;
        if (s->owner.compare_exchange_strong(none, me)) {
            s->contenders.fetch_sub(1);
            gotMutex(s, me);
            return OK;
        }
        inheritPriority(w, s, me);
        const int r = block(w, me, &lk, &s->waiters, s->options & SEM_Q_PRIORITY, d, WAKE_BLOCKED, again);
        if (r == WAKE_RETRY) s->waking = false;
        if (r == WAKE_GRANTED) { // handed over: the giver made it ours
            s->contenders.fetch_sub(1);
            if (s->options & SEM_INVERSION_SAFE) me->heldSafe++;
            return OK;
        }
        if (r != WAKE_RETRY || (d.timed && d.at <= w.tick.load())) {
            s->contenders.fetch_sub(1);
            return takeResult(r == WAKE_RETRY ? WAKE_TIMEOUT : r);
        }
        again = true;
    }
    s->contenders.fetch_sub(1);
    errno = EINVAL;
    return ERROR;
}

// Stepped time hands the mutex to the first waiter, so every run takes the same turns. In
// real time it is freed and the first waiter woken to try again: a running task may take it
// meanwhile rather than wait for a sleeper to be scheduled.
STATUS mutexGive(World& w, Sem* s, Tcb* me) {
    if (s->owner.load(std::memory_order_relaxed) != me) {
        errno = EACCES;
        return ERROR;
    }
    if (--s->recursion > 0) return OK;
    if ((s->options & SEM_INVERSION_SAFE) && --me->heldSafe == 0 && me->boost.load() != INT_MAX) {
        std::lock_guard<std::mutex> g(w.reg);
        me->boost = INT_MAX;
        applyPriority(w, me);
    }
    if (w.mode.load() == sim::TimeMode::Stepped) {
        std::unique_lock<std::mutex> lk(s->m);
        if (Tcb* next = popClaimed(s->waiters)) {
            s->owner.store(next);
            s->recursion = 1;
            lk.unlock();
            finish(w, next, WAKE_GRANTED);
        } else {
            s->owner.store(nullptr, std::memory_order_release);
        }
        return OK;
    }
    // Freed first, then the contenders counted: a contender either finds it free or is seen.
    // One woken contender at a time: until it has tried, it wakes the next itself if need be.
    s->owner.store(nullptr);
    if (s->contenders.load() == 0 || s->waking.exchange(true)) return OK;
    std::unique_lock<std::mutex> lk(s->m);
    Tcb* next = popClaimed(s->waiters);
    if (!next) s->waking = false;
    lk.unlock();
    if (next) finish(w, next, WAKE_RETRY);
    return OK;
}

// When the tick a give releases was due (-1: not known), on the clock lateness is timed by: real
// time the host's monotonic clock, stepped time the simulated one (a tick is due when it is made).
int64_t releaseDue(World& w) {
    const uint64_t now = w.tick.load(std::memory_order_relaxed);
    const uint64_t tick = tlsReleaseTick && tlsReleaseTick < now ? tlsReleaseTick : now;
    if (w.mode.load(std::memory_order_relaxed) == sim::TimeMode::Stepped)
        return static_cast<int64_t>(tick * 1000000);
    auto dueOf = [&w](uint64_t t) -> int64_t {
        const size_t i = t % World::DUE_RING;
        return w.tickOfDue[i].load(std::memory_order_acquire) == t ? w.dueOfTick[i].load() : -1;
    };
    if (now - tick < World::DUE_RING / 2)
        if (const int64_t due = dueOf(tick); due >= 0) return due;
    // Older than the ring, or made before the clock ran: one period per tick before the next.
    const int64_t next = w.dueNs.load();
    return next > 0 ? next - static_cast<int64_t>((now + 1 - tick) * 1000000) : -1;
}

// The lateness of a watched task's release: from when the tick of its give was due until now.
void recordLate(World& w, LateHist* late, int64_t due) {
    if (due < 0) return;
    const int64_t now =
        w.mode.load() == sim::TimeMode::Stepped ? static_cast<int64_t>(w.tick.load() * 1000000) : wallNs();
    const int64_t us = std::max<int64_t>((now - due) / 1000, 0);
    late->us[std::min<int64_t>(us, LateHist::BUCKETS - 1)].fetch_add(1, std::memory_order_relaxed);
    int64_t most = late->maxUs.load(std::memory_order_relaxed);
    while (us > most && !late->maxUs.compare_exchange_weak(most, us, std::memory_order_relaxed)) {
    }
}

} // namespace

STATUS semTake(SEM_ID sem, int ticks) {
    World& w = W();
    Sem* s = semOf(sem);
    if (!s || s->deleted.load(std::memory_order_relaxed)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self();
    enter(w, me);
    if (s->type == SEM_TYPE_MUTEX) return mutexTake(w, s, me, ticks);
    std::unique_lock<std::mutex> lk(s->m);
    if (s->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    LateHist* late = me->late.load(std::memory_order_relaxed);
    if (late) {
        void* on = me->lateOn.load();
        if (!on && ticks == WAIT_FOREVER) me->lateOn.store(on = s);
        if (on != s) late = nullptr;
    }
    if (s->count > 0) {
        s->count--;
        s->stamped = s->stamped || late;
        // The stamps are of the newest tokens: the token taken has none when it is older.
        if (s->givenAt.size() <= static_cast<size_t>(s->count)) return OK;
        const int64_t due = s->givenAt.front();
        s->givenAt.pop_front();
        lk.unlock();
        if (late) recordLate(w, late, due);
        return OK;
    }
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    s->stamped = s->stamped || late;
    // One task waiting for the base tick in real time makes the ticks itself.
    Tcb* none = nullptr;
    const bool drives = ticks == WAIT_FOREVER && s == w.baseTick.load(std::memory_order_relaxed) &&
                        w.rtRun.load() && w.driver.compare_exchange_strong(none, me);
    struct Done {
        World& w;
        bool drives;
        ~Done() {
            if (drives) w.driver.store(nullptr);
        }
    } done{w, drives};
    static thread_local bool precise = false;
    if (drives && !precise)
        precise = prctl(PR_SET_TIMERSLACK, 1UL) == 0; // on the tick, not up to 50 us after it
    me->waitingOn.store(s, std::memory_order_relaxed);
    const int r = block(w, me, &lk, &s->waiters, s->options & SEM_Q_PRIORITY,
                        drives ? Deadline{} : after(w, ticks), WAKE_BLOCKED, false, drives);
    me->waitingOn.store(nullptr, std::memory_order_relaxed);
    if (late && r == WAKE_GRANTED) {
        lk.unlock();
        recordLate(w, late, me->releasedDue);
    }
    return takeResult(r);
}

STATUS semGive(SEM_ID sem) {
    World& w = W();
    PreemptOnReturn preempted{w};
    Sem* s = semOf(sem);
    if (!s || s->deleted.load(std::memory_order_relaxed)) {
        errno = EINVAL;
        return ERROR;
    }
    if (s->type == SEM_TYPE_MUTEX) return mutexGive(w, s, self());
    std::unique_lock<std::mutex> lk(s->m);
    if (s->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    if (Tcb* t = popClaimed(s->waiters)) {
        if (t->late.load(std::memory_order_relaxed)) t->releasedDue = releaseDue(w);
        lk.unlock();
        finish(w, t, WAKE_GRANTED); // the token goes straight to the waiter
        return OK;
    }
    if (s->count >= s->maxCount) {
        if (s->type == SEM_TYPE_BINARY) return OK;
        errno = EOVERFLOW;
        return ERROR;
    }
    s->count++;
    if (s->stamped) {
        if (s->givenAt.size() >= STAMPS_KEPT) s->givenAt.pop_front(); // a backlog no watchdog allows
        s->givenAt.push_back(releaseDue(w));
    }
    return OK;
}

STATUS semFlush(SEM_ID sem) {
    World& w = W();
    PreemptOnReturn preempted{w};
    Sem* s = semOf(sem);
    if (!s || s->type == SEM_TYPE_MUTEX) {
        errno = EINVAL;
        return ERROR;
    }
    std::vector<Tcb*> woken;
    {
        std::lock_guard<std::mutex> g(s->m);
        if (s->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        while (Tcb* t = popClaimed(s->waiters)) {
            if (t->late.load(std::memory_order_relaxed)) t->releasedDue = releaseDue(w);
            woken.push_back(t);
        }
    }
    for (Tcb* t : woken)
        finish(w, t, WAKE_GRANTED);
    return OK;
}

STATUS semInfoGet(SEM_ID sem, SEM_INFO* info) {
    Sem* s = semOf(sem);
    if (!s || !info) {
        errno = EINVAL;
        return ERROR;
    }
    std::lock_guard<std::mutex> g(s->m);
    if (s->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* owner = s->owner.load();
    info->type = s->type;
    info->count = s->type == SEM_TYPE_MUTEX ? (owner ? 0 : 1) : s->count;
    info->numWaiting = countWaiting(s->waiters);
    info->owner = reinterpret_cast<TASK_ID>(owner);
    return OK;
}

SEM_ID semOpen(const char* name, SEM_TYPE type, int initState, int options, int mode) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
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

namespace {

MsgQ* qOf(MSG_Q_ID q) {
    return reinterpret_cast<MsgQ*>(q);
}
} // namespace

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
    PreemptOnReturn preempted{w};
    MsgQ* q = qOf(id);
    if (!q) {
        errno = EINVAL;
        return ERROR;
    }
    std::vector<Tcb*> woken;
    {
        std::lock_guard<std::mutex> g(q->m);
        if (q->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        q->deleted = true;
        while (Tcb* t = popClaimed(q->recvWaiters))
            woken.push_back(t);
        while (Tcb* t = popClaimed(q->sendWaiters))
            woken.push_back(t);
        q->msgs.clear();
    }
    for (Tcb* t : woken)
        finish(w, t, WAKE_DELETED_OBJ);
    if (!q->name.empty()) {
        std::lock_guard<std::mutex> g(w.reg);
        auto it = w.namedQueues.find(q->name);
        if (it != w.namedQueues.end() && it->second == q) w.namedQueues.erase(it);
    }
    return OK;
}

STATUS msgQSend(MSG_Q_ID id, const void* buf, size_t len, int ticks, int priority) {
    World& w = W();
    PreemptOnReturn preempted{w};
    MsgQ* q = qOf(id);
    if (!q || q->deleted.load(std::memory_order_relaxed) || (!buf && len) ||
        len > static_cast<size_t>(q->maxLen)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self();
    enter(w, me);
    std::unique_lock<std::mutex> lk(q->m);
    for (;;) {
        if (q->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        if (Tcb* r = popClaimed(q->recvWaiters)) {
            size_t n = std::min(len, r->rxMax);
            if (n) std::memcpy(r->rxBuf, buf, n);
            r->rxLen = static_cast<int>(n);
            lk.unlock();
            finish(w, r, WAKE_GRANTED);
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
        int r = block(w, me, &lk, &q->sendWaiters, q->options & MSG_Q_PRIORITY, after(w, ticks));
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
    PreemptOnReturn preempted{w};
    MsgQ* q = qOf(id);
    if (!q || q->deleted.load(std::memory_order_relaxed) || (!buf && maxLen)) {
        errno = EINVAL;
        return ERROR;
    }
    Tcb* me = self();
    enter(w, me);
    std::unique_lock<std::mutex> lk(q->m);
    if (q->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    if (!q->msgs.empty()) {
        std::vector<char> m = std::move(q->msgs.front());
        q->msgs.pop_front();
        Tcb* sender = popClaimed(q->sendWaiters);
        lk.unlock();
        size_t n = std::min(m.size(), maxLen);
        if (n) std::memcpy(buf, m.data(), n);
        if (sender) finish(w, sender, WAKE_GRANTED);
        return static_cast<int>(n);
    }
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    me->rxBuf = buf;
    me->rxMax = maxLen;
    me->rxLen = 0;
    int r = block(w, me, &lk, &q->recvWaiters, q->options & MSG_Q_PRIORITY, after(w, ticks));
    me->rxBuf = nullptr;
    if (r == WAKE_GRANTED) return me->rxLen;
    errno = r == WAKE_TIMEOUT ? ETIMEDOUT : EINVAL;
    return ERROR;
}

int msgQNumMsgs(MSG_Q_ID id) {
    MsgQ* q = qOf(id);
    if (!q) {
        errno = EINVAL;
        return ERROR;
    }
    std::lock_guard<std::mutex> g(q->m);
    if (q->deleted) {
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
        std::lock_guard<std::mutex> g(w.reg);
        MsgQ* q = nullptr;
        int found = findNamed(w.namedQueues, name, mode, &q);
        if (found != 0) return found > 0 ? reinterpret_cast<MSG_Q_ID>(q) : nullptr;
    }
    MSG_Q_ID id = msgQCreate(maxMsgs, maxMsgLength, options);
    if (!id) return nullptr;
    MSG_Q_ID winner = nullptr;
    {
        std::lock_guard<std::mutex> g(w.reg);
        auto [it, fresh] = w.namedQueues.emplace(name, qOf(id));
        if (fresh)
            qOf(id)->name = name;
        else
            winner = reinterpret_cast<MSG_Q_ID>(it->second);
    }
    if (!winner) return id;
    msgQDelete(id); // another task created it meanwhile
    return winner;
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
    std::lock_guard<std::mutex> g(w.reg);
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

// ---- clocks ----------------------------------------------------------------------------

int sysClkRateGet() {
    return 1000;
}
void osReleaseForTick(uint64_t tick) {
    tlsReleaseTick = tick;
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

namespace {

void timerTaskBody() {
    World& w = W();
    for (;;) {
        semTake(reinterpret_cast<SEM_ID>(w.timerSem), WAIT_FOREVER);
        for (;;) {
            Timer* t = nullptr;
            {
                std::lock_guard<std::mutex> g(w.reg);
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
        std::lock_guard<std::mutex> g(w.reg);
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
    std::lock_guard<std::mutex> g(w.reg);
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
    std::lock_guard<std::mutex> g(w.reg);
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
    std::lock_guard<std::mutex> g(w.reg);
    auto* t = reinterpret_cast<Timer*>(id);
    if (!t || t->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    t->active = false;
    t->deleted = true;
    return OK;
}

namespace {

// While a task waits on the base tick and makes the ticks, the clock thread only stands in for it
// when it is late by more than this; while it is on time, the clock thread does not wake at all.
constexpr int64_t CLOCK_STANDBY_NS = 10000000;

// Sets when the clock thread wakes next (CLOCK_MONOTONIC ns): a later time postpones a wake.
void armClock(World& w, int64_t at) {
    itimerspec its{};
    its.it_value = {static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    timerfd_settime(w.clockFd, TFD_TIMER_ABSTIME, &its, nullptr);
}
} // namespace

// ---- simulation controls ------------------------------------------------------------------

namespace sim {

namespace {
void runHooks(World& w, uint64_t now) {
    if (Sem* base = w.baseTick.load()) semGive(reinterpret_cast<SEM_ID>(base));
    std::shared_ptr<const Hooks> hooks;
    {
        std::lock_guard<std::mutex> g(w.hookMutex);
        hooks = w.hooks;
    }
    for (auto& h : *hooks)
        h.second(now);
}

// Registry lock held. The clock thread above every task, on any of the process's CPUs: it stands in
// when the tasks' CPU is taken from them, and takes them along to the one it runs on.
void raiseClockThread(World& w) {
    sched_param sp{};
    sp.sched_priority = w.rtPriorities.load() ? sched_get_priority_max(SCHED_FIFO) : 0;
    pthread_setschedparam(w.rtThread.native_handle(), w.rtPriorities.load() ? SCHED_FIFO : SCHED_OTHER, &sp);
    if (CPU_COUNT(&w.hostCpus) > 0)
        pthread_setaffinity_np(w.rtThread.native_handle(), sizeof w.hostCpus, &w.hostCpus);
}

// On the clock thread, standing in for the base tick's waiter: that task waits and its tick is
// long due, so something else holds the tasks' CPU (another process's real-time task, say). The
// tasks move to the CPU the clock thread got, at most every 100 ms.
void moveTasks(World& w) {
    const int cpu = sched_getcpu();
    const int64_t now = wallNs();
    std::lock_guard<std::mutex> g(w.reg);
    if (!w.oneCpu.load() || cpu < 0 || cpu == w.rtCpu || !CPU_ISSET(cpu, &w.hostCpus) ||
        now - w.movedNs < 100000000)
        return;
    w.movedNs = now;
    w.rtCpu = cpu;
    for (auto& [id, t] : w.tasks)
        if (t->started && !t->exited && t->counted && !t->adopted) placeThread(w, t->thread);
}

// Stepped time: the tick takes the processor like an interrupt, above every task, so that what
// it releases runs after it in priority order.
void tickTakesCpu(World& w) {
    if (!w.tickSelf) {
        auto* t = new Tcb;
        t->name = "simtick";
        t->priority = -1;
        t->activated = true;
        t->started = true;
        std::lock_guard<std::mutex> g(w.reg);
        w.tasks[reinterpret_cast<intptr_t>(t)] = t;
        w.tickSelf = t;
    }
    tlsSelf = w.tickSelf;
    makeReady(w, w.tickSelf);
    awaitCpu(w.tickSelf);
}

// One tick. In stepped time the tick's hooks ("/BASETICK0": the rasters) run to the end before
// the expired delays and time-outs are released, as the rasters outrank the tasks that wait on
// time; so a scripted stepped run comes out the same every time.
void tickOnce(bool stepped) {
    World& w = W();
    w.seq.fetch_add(1, std::memory_order_acq_rel);
    const uint64_t now = w.tick.load() + 1;
    w.tick.store(now);
    w.wallAtTick.store(wallNs());
    w.seq.fetch_add(1, std::memory_order_acq_rel);
    Tcb* const was = tlsSelf;
    if (stepped) {
        tickTakesCpu(w);
        runHooks(w, now);
        leaveCpu(w, w.tickSelf);
        waitIdle();
        tickTakesCpu(w);
    }
    thread_local std::vector<Tcb*> due;
    due.clear();
    {
        std::lock_guard<std::mutex> g(w.timedMutex);
        auto end = w.timed.upper_bound(now);
        for (auto it = w.timed.begin(); it != end; ++it)
            if (claim(it->second)) due.push_back(it->second);
        w.timed.erase(w.timed.begin(), end);
    }
    for (Tcb* t : due)
        finish(w, t, WAKE_TIMEOUT);
    bool any = false;
    {
        std::lock_guard<std::mutex> g(w.reg);
        for (Timer* t : w.timers) {
            if (!t->active || t->deleted || t->next > now) continue;
            w.dueTimers.push_back(t);
            any = true;
            if (t->period)
                t->next = now + t->period;
            else
                t->active = false;
        }
    }
    if (any) semGive(reinterpret_cast<SEM_ID>(w.timerSem));
    if (stepped) {
        leaveCpu(w, w.tickSelf);
        tlsSelf = was;
    } else {
        runHooks(w, now);
    }
}
} // namespace

void configure(TimeMode mode, int64_t calendarStartSec) {
    World& w = W();
    w.mode = mode;
    if (mode != TimeMode::Stepped) freeCpu(w);
    w.calendarBaseNs.store(calendarStartSec * 1000000000ll -
                           static_cast<int64_t>(w.tick.load() * 1000000ull));
}

TimeMode mode() {
    return W().mode.load();
}

void startRealtime() {
    World& w = W();
    if (w.rtRun.load()) return;
    {
        std::lock_guard<std::mutex> g(w.reg);
        if (!w.clockSelf) {
            w.clockSelf = new Tcb;
            w.clockSelf->name = "simclock";
            w.clockSelf->activated = true;
            w.clockSelf->started = true;
            w.tasks[reinterpret_cast<intptr_t>(w.clockSelf)] = w.clockSelf;
        }
    }
    w.dueNs.store(wallNs() + 1000000);
    if (w.clockFd < 0) w.clockFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (w.rtRun.exchange(true)) return;
    w.mode = TimeMode::Realtime;
    freeCpu(w);
    w.rtThread = std::thread([&w] {
        pthread_setname_np(pthread_self(), "simclock");
        prctl(PR_SET_TIMERSLACK, 1UL); // wake on the tick, not up to 50 us after it
        while (w.rtRun.load()) {
            // Standing by while the base tick's waiter makes the ticks: it postpones this wake.
            int64_t at = w.dueNs.load();
            if (w.driver.load() || w.driverMade.load()) at += CLOCK_STANDBY_NS;
            armClock(w, at);
            if (!w.rtRun.load()) break;
            uint64_t expired;
            while (read(w.clockFd, &expired, sizeof expired) < 0 && errno == EINTR) {
            }
            if (w.driver.load() && wallNs() - w.dueNs.load() >= CLOCK_STANDBY_NS / 2) moveTasks(w);
            makeDueTicks(w, false);
        }
    });
    // A waiter that slept without a deadline while the clock stood still starts making ticks.
    if (Tcb* d = w.driver.load()) futexWake(d->wake);
    std::lock_guard<std::mutex> g(w.reg);
    if (w.oneCpu.load()) raiseClockThread(w);
}

void stopRealtime() {
    World& w = W();
    if (!w.rtRun.exchange(false)) return;
    armClock(w, 1); // past: the clock thread wakes and sees the stop
    if (w.rtThread.joinable()) w.rtThread.join();
    std::lock_guard<std::mutex> g(w.clockMutex); // a tick the waiter was making is complete
}

void setBaseTick(SEM_ID sem) {
    W().baseTick.store(reinterpret_cast<Sem*>(sem));
}

int64_t tickDueNs() {
    return W().madeDueNs.load();
}

bool realtimePriorities(bool on) {
    World& w = W();
    int rc = 0;
    if (on) {
        if (w.mode.load() != TimeMode::Realtime) return false;
        std::thread([&rc] {
            sched_param sp{};
            sp.sched_priority = sched_get_priority_max(SCHED_FIFO); // the clock's, the highest asked for
            rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
        }).join();
    }
    const bool granted = on && rc == 0;
    std::lock_guard<std::mutex> g(w.reg);
    if (w.rtPriorities.load() == granted && w.oneCpu.load() == on) return granted == on;
    if (on && !w.oneCpu.load()) {
        // The CPU the process runs on now, of the set it may use (say, given by taskset).
        CPU_ZERO(&w.hostCpus);
        sched_getaffinity(0, sizeof w.hostCpus, &w.hostCpus);
        const int cpu = sched_getcpu();
        w.rtCpu = cpu >= 0 && CPU_ISSET(cpu, &w.hostCpus) ? cpu : -1;
        for (int c = 0; w.rtCpu < 0 && c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &w.hostCpus)) w.rtCpu = c;
    }
    w.rtPriorities.store(granted);
    w.oneCpu.store(on);
    for (auto& [id, t] : w.tasks) {
        applyPriority(w, t);
        if (t->started && !t->exited && t->counted && !t->adopted) placeThread(w, t->thread);
    }
    if (w.rtRun.load() && w.rtThread.joinable()) raiseClockThread(w);
    return granted == on;
}

bool realtimePriorities() {
    return W().rtPriorities.load();
}

void waitIdle() {
    World& w = W();
    std::unique_lock<std::mutex> lk(w.idleMutex);
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (w.running.load() > 0) {
        if (w.idleCv.wait_until(lk, limit) == std::cv_status::timeout && w.running.load() > 0) {
            lk.unlock();
            std::fprintf(stderr, "stepped time: tasks never blocked:");
            for (const std::string& n : runningTasks())
                std::fprintf(stderr, " %s", n.c_str());
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
    Tcb* t = self();
    if (t->counted) return;
    t->counted = true;
    t->adopted = true;
    countUp(w, t);
}

void releaseThread() {
    World& w = W();
    Tcb* t = self();
    if (!t->adopted) return;
    countDown(w, t);
    t->counted = false;
    t->adopted = false;
}

int addTickHook(TickHook hook) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.hookMutex);
    int id = w.nextHookId++;
    auto next = std::make_shared<Hooks>(*w.hooks);
    next->emplace_back(id, std::move(hook));
    w.hooks = std::move(next);
    return id;
}

void removeTickHook(int id) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.hookMutex);
    auto next = std::make_shared<Hooks>(*w.hooks);
    next->erase(std::remove_if(next->begin(), next->end(), [id](auto& h) { return h.first == id; }),
                next->end());
    w.hooks = std::move(next);
}

bool lateness(const std::string& task, Lateness* out) {
    World& w = W();
    LateHist* h = nullptr;
    {
        std::lock_guard<std::mutex> g(w.reg);
        auto it = std::find_if(w.tasks.begin(), w.tasks.end(),
                               [&](auto& e) { return !e.second->exited && e.second->name == task; });
        if (it == w.tasks.end()) return false;
        h = it->second->late.load();
        if (!h) {
            h = new LateHist;
            keep(h);
            it->second->lateOn.store(it->second->waitingOn.load());
            it->second->late.store(h);
        }
    }
    std::vector<uint32_t> n(LateHist::BUCKETS);
    *out = {};
    for (int i = 0; i < LateHist::BUCKETS; ++i) {
        n[i] = h->us[i].exchange(0, std::memory_order_relaxed);
        out->samples += n[i];
        if (i > 1000) out->overPeriod += n[i];
    }
    out->maxUs = static_cast<double>(std::max<int64_t>(h->maxUs.exchange(-1, std::memory_order_relaxed), 0));
    // The smallest lateness that this share of the samples does not exceed; in the last bucket,
    // which has no upper bound, the maximum.
    auto quantile = [&](uint64_t percent) {
        const uint64_t want = (out->samples * percent + 99) / 100;
        uint64_t seen = 0;
        for (int i = 0; i < LateHist::BUCKETS; ++i)
            if ((seen += n[i]) >= want && want)
                return i == LateHist::BUCKETS - 1 ? std::max<double>(i, out->maxUs) : static_cast<double>(i);
        return 0.0;
    };
    out->p50Us = quantile(50);
    out->p99Us = quantile(99);
    return true;
}

std::vector<std::string> runningTasks() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    std::vector<std::string> out;
    for (auto& [id, t] : w.tasks)
        if (t->running.load(std::memory_order_relaxed)) out.push_back(t->name);
    return out;
}

std::vector<std::string> taskNames() {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    std::vector<std::string> out;
    for (auto& [id, t] : w.tasks)
        if (t->counted && !t->adopted && t->activated && !t->exited) out.push_back(t->name);
    return out;
}

} // namespace sim

namespace os_detail {

// Makes the ticks that are due (real time): on the clock thread every one, on the base tick's
// waiter one, whose give ends its wait. A host that fell more than 100 ms behind starts a new
// 1 ms grid instead of racing.
void makeDueTicks(World& w, bool one) {
    std::lock_guard<std::mutex> g(w.clockMutex);
    Tcb* const was = tlsSelf;
    tlsSelf = w.clockSelf; // hooks that call the layer do so as the clock, not as the waiter
    int64_t now = wallNs();
    while (w.rtRun.load()) {
        int64_t due = w.dueNs.load();
        if (due > now) break;
        w.madeDueNs.store(due);
        const uint64_t next = w.tick.load() + 1;
        w.dueOfTick[next % World::DUE_RING].store(due);
        w.tickOfDue[next % World::DUE_RING].store(next, std::memory_order_release);
        w.driverMade.store(one);
        sim::tickOnce(false);
        now = wallNs();
        if (now - due > 100000000) due = now;
        w.dueNs.store(due + 1000000);
        if (!one) continue;
        if (w.tick.load() % 8 == 0) armClock(w, due + 1000000 + CLOCK_STANDBY_NS); // on time: no stand-in
        break;
    }
    tlsSelf = was;
}

} // namespace os_detail
