// Semaphores and mutexes of the OS layer, and the lateness of a watched task's releases.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <sys/prctl.h>
#include <thread>

using namespace os_detail;

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

// One writer at a time: a store, not a read-modify-write.
void add(std::atomic<int>& n, int by) {
    n.store(n.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// The task holds one mutex more (a delete waits until it holds none).
void holdOneMore(Sem* s, Tcb* t) {
    add(t->takenMutexes, 1);
    if (s->options & SEM_INVERSION_SAFE) add(t->takenSafe, 1);
}

// The last inversion-safe mutex gone: a priority lent to the task ends.
[[gnu::noinline]] void endLoan(World& w, Tcb* t) {
    std::lock_guard<std::mutex> g(w.reg);
    t->boost = INT_MAX;
    if (w.rtPriorities.load()) applyPriority(w, t);
}

void afterSafeOneLess(World& w, Sem* s, Tcb* t) {
    if ((s->options & SEM_INVERSION_SAFE) && t->heldSafe() == 0 && t->boost.load() != INT_MAX) endLoan(w, t);
}

// The task gave a mutex; with its last inversion-safe one a lent priority ends.
void holdOneLess(World& w, Sem* s, Tcb* t) {
    add(t->takenMutexes, -1);
    if (s->options & SEM_INVERSION_SAFE) add(t->takenSafe, -1);
    afterSafeOneLess(w, s, t);
}

// A delete took a mutex away from the task that held it.
void takenAway(World& w, Sem* s, Tcb* t) {
    t->lostMutexes.fetch_add(1);
    if (s->options & SEM_INVERSION_SAFE) t->lostSafe.fetch_add(1);
    afterSafeOneLess(w, s, t);
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
    Tcb* owner = nullptr;
    {
        std::lock_guard<std::mutex> g(s->m);
        if (s->deleted) {
            errno = EINVAL;
            return ERROR;
        }
        s->deleted = true;
        // A mutex deleted while held is held no longer: its owner could never give it back.
        if (s->type == SEM_TYPE_MUTEX && (owner = s->owner.exchange(nullptr))) takenAway(w, s, owner);
        while (Tcb* t = popClaimed(s->waiters))
            woken.push_back(t);
    }
    for (Tcb* t : woken)
        finish(w, t, WAKE_DELETED_OBJ);
    // A delete of the owner put off for this mutex alone ends it in its wait now.
    if (owner && owner->deleteRequested.load() && owner->heldMutexes() == 0 &&
        (claim(owner, WAKE_BLOCKED) || claim(owner, WAKE_SUSPENDED)))
        finish(w, owner, WAKE_TASK_DELETE);
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

// Raises the owner of an inversion-safe mutex to the waiter's priority: on the host with real-time
// priorities, on the one processor in stepped time. The raise lasts until the owner holds no
// inversion-safe mutex (given, or deleted while held).
void inheritPriority(World& w, Sem* s, Tcb* me) {
    const bool stepped = w.mode.load() == sim::TimeMode::Stepped;
    if (!(s->options & SEM_INVERSION_SAFE) || !(w.rtPriorities.load() || stepped)) return;
    Tcb* o = s->owner.load();
    const int p = me->priority.load();
    if (!o || effectivePriority(o) <= p) return;
    std::lock_guard<std::mutex> g(w.reg);
    o->boost = p;
    if (!stepped) applyPriority(w, o);
}

void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The owner lets go of the mutex; false when a delete took it away first (and counted that).
bool letGo(World& w, Sem* s, Tcb* me) {
    Tcb* mine = me;
    if (!s->owner.compare_exchange_strong(mine, nullptr)) return false;
    holdOneLess(w, s, me);
    return true;
}

// Takes the free mutex: OK, 1 when another has it, or ERROR (EINVAL) when it was deleted meanwhile.
// A delete that took it away again counted that, whether before the take counted it or after.
[[gnu::always_inline]] inline int seize(World& w, Sem* s, Tcb* me) {
    Tcb* none = nullptr;
    // Taken with release as well: a waiter that lends its priority reads the owner's record.
    if (!s->owner.compare_exchange_strong(none, me, std::memory_order_acq_rel)) return 1;
    holdOneMore(s, me);
    if (s->deleted.load(std::memory_order_relaxed)) [[unlikely]] {
        letGo(w, s, me);
        errno = EINVAL;
        return ERROR;
    }
    s->recursion = 1;
    return OK;
}

// The mutex is taken: spin a little, then wait in the layer.
[[gnu::noinline]] STATUS mutexTakeContended(World& w, Sem* s, Tcb* me, int ticks) {
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    // Critical sections are short: a little spinning mostly saves going to sleep and being
    // handed the mutex later.
    static const int spins = std::thread::hardware_concurrency() > 1 ? 200 : 0;
    for (int i = 0; i < spins; ++i) {
        cpuRelax();
        if (s->owner.load(std::memory_order_relaxed)) continue;
        if (const int r = seize(w, s, me); r != 1) return r;
    }
    const Deadline d = after(w, ticks);
    std::unique_lock<std::mutex> lk(s->m);
    s->contenders.fetch_add(1);
    bool again = false;
    for (;;) {
        if (s->deleted) break;
        if (seize(w, s, me) == OK) {
            s->contenders.fetch_sub(1);
            return OK;
        }
        inheritPriority(w, s, me);
        const int r = block(w, me, &lk, &s->waiters, s->options & SEM_Q_PRIORITY, d, WAKE_BLOCKED, again);
        if (r == WAKE_RETRY) s->waking = false;
        if (r == WAKE_GRANTED) { // handed over: the giver made it ours and counted it
            s->contenders.fetch_sub(1);
            return OK;
        }
        if (r != WAKE_RETRY || ticksLeft(w, d) == 0) {
            s->contenders.fetch_sub(1);
            return takeResult(r == WAKE_RETRY ? WAKE_TIMEOUT : r);
        }
        again = true;
    }
    s->contenders.fetch_sub(1);
    errno = EINVAL;
    return ERROR;
}

// The free or own mutex is taken without leaving the caller's frame; the rest out of line.
[[gnu::always_inline]] inline STATUS mutexTake(World& w, Sem* s, Tcb* me, int ticks) {
    const Tcb* owner = s->owner.load(std::memory_order_relaxed);
    if (owner == me) {
        s->recursion++;
        return OK;
    }
    if (!owner)
        if (const int r = seize(w, s, me); r != 1) return r;
    return mutexTakeContended(w, s, me, ticks);
}

// The mutex goes to its first waiter, counted as the waiter's before it wakes.
[[gnu::noinline]] STATUS handOver(World& w, Sem* s, Tcb* me) {
    std::unique_lock<std::mutex> lk(s->m);
    if (s->owner.load() != me) { // a delete took it away meanwhile
        errno = EINVAL;
        return ERROR;
    }
    holdOneLess(w, s, me);
    if (Tcb* next = popClaimed(s->waiters)) {
        holdOneMore(s, next);
        s->owner.store(next);
        s->recursion = 1;
        lk.unlock();
        finish(w, next, WAKE_GRANTED);
    } else {
        s->owner.store(nullptr, std::memory_order_release);
    }
    return OK;
}

[[gnu::noinline]] void wakeContender(World& w, Sem* s) {
    std::unique_lock<std::mutex> lk(s->m);
    Tcb* next = popClaimed(s->waiters);
    if (!next) s->waking = false;
    lk.unlock();
    if (next) finish(w, next, WAKE_RETRY);
}

// Stepped time hands the mutex to the first waiter, so every run takes the same turns. In
// real time it is freed and the first waiter woken to try again: a running task may take it
// meanwhile rather than wait for a sleeper to be scheduled.
[[gnu::always_inline]] inline STATUS mutexGive(World& w, Sem* s, Tcb* me) {
    if (s->owner.load(std::memory_order_relaxed) != me) {
        errno = EACCES;
        return ERROR;
    }
    if (--s->recursion > 0) return OK;
    if (w.mode.load() == sim::TimeMode::Stepped) return handOver(w, s, me);
    // Freed first, then the contenders counted: a contender either finds it free or is seen.
    // One woken contender at a time: until it has tried, it wakes the next itself if need be.
    if (!letGo(w, s, me)) { // a delete took it away meanwhile
        errno = EINVAL;
        return ERROR;
    }
    if (s->contenders.load() == 0 || s->waking.exchange(true)) return OK;
    wakeContender(w, s);
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

namespace {
// A binary or counting semaphore's take.
[[gnu::noinline]] STATUS countTake(World& w, Sem* s, Tcb* me, int ticks) {
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
    const Deadline d = drives ? Deadline{} : after(w, ticks);
    const int r = block(w, me, &lk, &s->waiters, s->options & SEM_Q_PRIORITY, d, WAKE_BLOCKED, false, drives);
    me->waitingOn.store(nullptr, std::memory_order_relaxed);
    if (r == WAKE_RETRY) { // a delete put off: wait out what is left
        lk.unlock();
        if (drives) w.driver.store(nullptr), done.drives = false; // the retry may drive again
        const int left = ticksLeft(w, d);
        if (left == 0) return takeResult(WAKE_TIMEOUT);
        return countTake(w, s, me, left);
    }
    if (late && r == WAKE_GRANTED) {
        lk.unlock();
        recordLate(w, late, me->releasedDue);
    }
    return takeResult(r);
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
    return countTake(w, s, me, ticks);
}

namespace {
// A binary or counting semaphore's give.
[[gnu::noinline]] STATUS countGive(World& w, Sem* s) {
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
} // namespace

STATUS semGive(SEM_ID sem) {
    World& w = W();
    PreemptOnReturn preempted{w};
    Sem* s = semOf(sem);
    if (!s || s->deleted.load(std::memory_order_relaxed)) {
        errno = EINVAL;
        return ERROR;
    }
    if (s->type == SEM_TYPE_MUTEX) return mutexGive(w, s, self());
    return countGive(w, s);
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
