// The OS layer's core: the world, the processor of stepped time, the running count, real-time
// priorities, sleeping and waking, and waits outside the layer.
#include "platform/os/os_world.h"

#include <algorithm>
#include <climits>
#include <linux/futex.h>
#include <sched.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace os_detail {

// ---- the world -------------------------------------------------------------------------------

constinit thread_local Tcb* tlsSelf = nullptr;
constinit thread_local Tcb* tlsOwn = nullptr;
constinit thread_local uint64_t tlsReleaseTick = 0;

void keep(void* p) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.recordMutex);
    w.records.push_back(p);
}

namespace {
void futexWait(std::atomic<int>& word, int seen);
} // namespace

// ---- the processor of stepped time -----------------------------------------------------------
// Stepped time runs the tasks the layer started one at a time, as an RTOS does on one CPU: the
// task on the processor keeps it until it blocks, or until it releases a task of higher priority
// (a lower number), which then runs at once. A free processor goes to the ready task of highest
// priority, of those the one that became ready first. Threads the layer did not start (an adopted
// main thread too) run beside it. Real time leaves all this to the host.
namespace {

// Processor lock held: the task goes on the processor.
void putOnCpu(World& w, Tcb* t) {
    w.onCpu = t;
    t->cpu.store(CPU_ON, std::memory_order_release);
    futexWake(t->cpu);
}

// Processor lock held: the ready task that runs next, or none.
Tcb* takeNext(World& w) {
    if (w.ready.empty()) return nullptr;
    auto it = std::min_element(w.ready.begin(), w.ready.end(), [](const Tcb* a, const Tcb* b) {
        const int pa = effectivePriority(a), pb = effectivePriority(b);
        return pa != pb ? pa < pb : a->readySeq < b->readySeq;
    });
    Tcb* t = *it;
    w.ready.erase(it);
    return t;
}

// Processor lock held.
void queueReady(World& w, Tcb* t, bool front) {
    t->readySeq = front ? --w.firstSeq : ++w.lastSeq;
    t->cpu.store(CPU_READY, std::memory_order_relaxed);
    w.ready.push_back(t);
}
} // namespace

// Stepped time: the task is ready; it runs now when the processor is free.
void makeReady(World& w, Tcb* t) {
    std::lock_guard<std::mutex> g(w.cpuMutex);
    if (w.mode.load() != sim::TimeMode::Stepped || t->cpu.load(std::memory_order_relaxed) != CPU_OFF) return;
    if (w.onCpu)
        queueReady(w, t, false);
    else
        putOnCpu(w, t);
}

// The task leaves the processor to the next ready task (it blocks or ends).
void leaveCpu(World& w, Tcb* t) {
    if (t->cpu.load(std::memory_order_relaxed) != CPU_ON) return;
    std::lock_guard<std::mutex> g(w.cpuMutex);
    if (w.onCpu != t) return;
    t->cpu.store(CPU_OFF, std::memory_order_relaxed);
    w.onCpu = nullptr;
    if (Tcb* next = takeNext(w)) putOnCpu(w, next);
}

// A ready task waits for its turn.
void awaitCpu(Tcb* t) {
    int c;
    while ((c = t->cpu.load(std::memory_order_acquire)) == CPU_READY)
        futexWait(t->cpu, c);
}

// After the calling task released others: one that outranks it takes the processor, and the
// caller goes on when its turn comes again, first of its priority.
void preempt(World& w) {
    Tcb* me = tlsSelf;
    if (!me || me->cpu.load(std::memory_order_relaxed) != CPU_ON) return;
    {
        std::lock_guard<std::mutex> g(w.cpuMutex);
        if (w.onCpu != me || w.ready.empty()) return;
        auto it = std::min_element(w.ready.begin(), w.ready.end(), [](const Tcb* a, const Tcb* b) {
            return effectivePriority(a) < effectivePriority(b);
        });
        if (effectivePriority(*it) >= effectivePriority(me)) return;
        Tcb* next = takeNext(w);
        queueReady(w, me, true);
        putOnCpu(w, next);
    }
    awaitCpu(me);
}

// Leaving stepped time: every task goes on as the host schedules it.
void freeCpu(World& w) {
    std::lock_guard<std::mutex> g(w.cpuMutex);
    for (Tcb* t : w.ready) {
        t->cpu.store(CPU_OFF, std::memory_order_release);
        futexWake(t->cpu);
    }
    w.ready.clear();
    if (w.onCpu) w.onCpu->cpu.store(CPU_OFF, std::memory_order_relaxed);
    w.onCpu = nullptr;
}

// ---- running count ----------------------------------------------------------------------
// Each block counts its task down once, the one waker that claims it counts it up once, in
// whichever order they come; so the count is never below the tasks that are really running.
// A task of the layer counted up is ready for the processor in stepped time.
void countUp(World& w, Tcb* t) {
    if (!t->counted.load()) return;
    t->running.store(true, std::memory_order_relaxed);
    w.running.fetch_add(1);
    if (w.mode.load(std::memory_order_relaxed) == sim::TimeMode::Stepped && !t->adopted.load())
        makeReady(w, t);
}

void countDown(World& w, Tcb* t) {
    if (!t->counted.load()) return;
    t->running.store(false, std::memory_order_relaxed);
    if (w.running.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> g(w.idleMutex);
        w.idleCv.notify_all();
    }
}

namespace {

// A wait begins: the caller leaves the processor (the tick too, which no count covers), and only
// then is no longer counted as running, so no tick can come between. True when it had it.
bool leaveForWait(World& w, Tcb* t) {
    const bool held = t->cpu.load(std::memory_order_relaxed) == CPU_ON;
    leaveCpu(w, t);
    countDown(w, t);
    return held;
}

// The wait ended: a task its waker counted up is ready already; the tick becomes ready itself.
void backFromWait(World& w, Tcb* t, bool held) {
    if (held) makeReady(w, t);
    awaitCpu(t);
}
} // namespace

// The calling thread's record; a thread the layer did not start gets one on first use.
Tcb* adoptForeign() {
    World& w = W();
    auto* t = new Tcb;
    t->activated = true;
    std::lock_guard<std::mutex> g(w.reg);
    t->name = w.foreignCount++ == 0 ? "main" : "ext" + std::to_string(w.foreignCount - 1);
    t->started = true;
    t->thread = pthread_self();
    w.tasks[reinterpret_cast<intptr_t>(t)] = t;
    tlsSelf = tlsOwn = t;
    return t;
}

// ---- real-time priorities -----------------------------------------------------------------
// RTOS priorities 0 (highest) .. 255 onto the host's SCHED_FIFO range below its top, which
// is the clock's.
namespace {
int hostPriority(int p) {
    // Asked once: an inherited priority is lent and taken back on every contended mutex.
    static const int lo = sched_get_priority_min(SCHED_FIFO);
    static const int hi = sched_get_priority_max(SCHED_FIFO) - 1;
    return hi - std::clamp(p, 0, 255) * (hi - lo) / 255;
}
} // namespace

// Registry lock held. With real-time priorities the unit's tasks share one host CPU, as the
// tasks of an RTOS share their processor: a release is a switch on that CPU, in priority order,
// instead of a wake-up of another CPU for every task a tick releases. A host that refuses the
// priorities still gets the one CPU: a wake-up of another CPU costs the same there.
void placeThread(World& w, pthread_t th) {
    cpu_set_t one;
    CPU_ZERO(&one);
    const bool shared = w.oneCpu.load() && w.rtCpu >= 0;
    if (shared) CPU_SET(w.rtCpu, &one);
    const cpu_set_t& set = shared ? one : w.hostCpus;
    if (CPU_COUNT(&set) > 0) pthread_setaffinity_np(th, sizeof set, &set);
}

// Registry lock held. Only the layer's own tasks: a thread it did not start may have ended.
void applyPriority(World& w, Tcb* t) {
    if (!t->started || t->exited || !t->counted || t->adopted) return;
    sched_param sp{};
    if (w.rtPriorities.load()) {
        sp.sched_priority = hostPriority(effectivePriority(t));
        pthread_setschedparam(t->thread, SCHED_FIFO, &sp);
    } else {
        pthread_setschedparam(t->thread, SCHED_OTHER, &sp);
    }
}

// ---- sleeping and waking ------------------------------------------------------------------

bool claim(Tcb* t, int from) {
    return t->wake.compare_exchange_strong(from, WAKE_CLAIMED);
}

namespace {

// The wake word is a futex: a sleeper waits on it directly, with no spinning and no yielding
// (each yield of an idle unit's tasks would be one more context switch per tick).
void futexWait(std::atomic<int>& word, int seen) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

// Until `wakeAt` on CLOCK_MONOTONIC at the latest.
void futexWaitUntil(std::atomic<int>& word, int seen, int64_t wakeAt) {
    const timespec ts{static_cast<time_t>(wakeAt / 1000000000), static_cast<long>(wakeAt % 1000000000)};
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_BITSET_PRIVATE, seen, &ts, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}
} // namespace

void futexWake(std::atomic<int>& word) {
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void finish(World& w, Tcb* t, int reason) {
    countUp(w, t);
    t->wake.store(reason, std::memory_order_release);
    // A task that releases itself (the base tick's waiter making its tick) is awake already.
    if (t != tlsOwn) futexWake(t->wake);
}

// Object lock held: the first waiter that can still be claimed, taken off the list.
// Waiters that a time-out or a delete request won are dropped on the way.
Tcb* popClaimed(WaitList& l) {
    while (!l.empty()) {
        Tcb* t = l.front();
        l.pop_front();
        if (claim(t)) return t;
    }
    return nullptr;
}

namespace {

// A task woken to try again goes before the waiters of its own priority.
void insertWaiter(WaitList& l, Tcb* t, bool prio, bool again) {
    if (!prio) {
        if (again)
            l.push_front(t);
        else
            l.push_back(t);
        return;
    }
    const int p = t->priority.load();
    auto it = std::find_if(l.begin(), l.end(), [&](Tcb* o) {
        const int q = o->priority.load();
        return again ? q >= p : q > p;
    });
    l.insert(it, t);
}

void checkDelete(Tcb* t) {
    if (t->deleteRequested.load() && !t->unwinding && t->counted.load() && !t->heldMutexes()) {
        t->unwinding = true;
        throw OsTaskExit{};
    }
}
} // namespace

Deadline after(World& w, int ticks) {
    if (ticks == WAIT_FOREVER) return {};
    return {true, w.tick.load() + static_cast<uint64_t>(std::max(ticks, 0))};
}

int ticksLeft(World& w, const Deadline& d) {
    if (!d.timed) return WAIT_FOREVER;
    const uint64_t now = w.tick.load();
    return d.at > now ? static_cast<int>(std::min<uint64_t>(d.at - now, INT_MAX)) : 0;
}

namespace {
void eraseTimed(World& w, const Deadline& d, Tcb* t) {
    std::lock_guard<std::mutex> g(w.timedMutex);
    auto [b, e] = w.timed.equal_range(d.at);
    for (auto it = b; it != e; ++it)
        if (it->second == t) {
            w.timed.erase(it);
            return;
        }
}
} // namespace

// Blocks the caller until a waker claims it or the deadline passes. `lk` (may be null) is
// the lock of the object whose `list` it joins; it is released while asleep and held again
// on return. `drives`: the caller waits on the base tick and makes the ticks (real time).

int block(World& w, Tcb* t, std::unique_lock<std::mutex>* lk, WaitList* list, bool prio, Deadline d,
          int state, bool again, bool drives) {
    checkDelete(t);
    t->wake.store(state);
    if (list) insertWaiter(*list, t, prio, again);
    if (d.timed) {
        std::lock_guard<std::mutex> g(w.timedMutex);
        w.timed.emplace(d.at, t);
    }
    const bool held = leaveForWait(w, t);
    // A delete request or resume made before the wake word said "asleep" woke nobody.
    if (t->deleteRequested.load() && !t->heldMutexes()) {
        if (claim(t, state)) finish(w, t, WAKE_TASK_DELETE);
    } else if (state == WAKE_SUSPENDED && !t->suspendRequested.load()) {
        if (claim(t, state)) finish(w, t, WAKE_GRANTED);
    }
    if (lk) lk->unlock();
    int r;
    while ((r = t->wake.load(std::memory_order_acquire)) <= WAKE_CLAIMED) {
        // The base tick's waiter sleeps until the next tick is due and makes it itself; the tick
        // gives the base tick, which wakes it (or the clock thread did, when this task was late).
        if (drives && r == WAKE_BLOCKED && w.rtRun.load()) {
            const int64_t due = w.dueNs.load();
            if (wallNs() >= due)
                makeDueTicks(w, true); // one per take: each release knows its tick
            else
                futexWaitUntil(t->wake, r, due);
            continue;
        }
        futexWait(t->wake, r);
    }
    backFromWait(w, t, held);
    if (d.timed && r != WAKE_TIMEOUT) eraseTimed(w, d, t);
    if (lk) {
        lk->lock();
        // Wakers that give take the task off the list; a time-out or a delete does not.
        if (list && (r == WAKE_TIMEOUT || r == WAKE_TASK_DELETE))
            list->erase(std::remove(list->begin(), list->end(), t), list->end());
    }
    if (r == WAKE_TASK_DELETE) checkDelete(t);
    // Put off while it holds a mutex: off the list, the caller looks again and waits anew.
    return r == WAKE_TASK_DELETE && t->heldMutexes() ? WAKE_RETRY : r;
}

// A pending suspension is honoured at the next call into the layer.
void honourSuspend(World& w, Tcb* t) {
    while (t->suspendRequested.load())
        if (block(w, t, nullptr, nullptr, false, {}, WAKE_SUSPENDED) == WAKE_TASK_DELETE) break;
}

void enterRequested(World& w, Tcb* me) {
    if (me->suspendRequested.load(std::memory_order_relaxed)) honourSuspend(w, me);
    checkDelete(me);
}

} // namespace os_detail

using namespace os_detail;

// ---- external waits ------------------------------------------------------------------------

OsExternalWait::OsExternalWait() {
    held_ = leaveForWait(W(), self());
}

OsExternalWait::~OsExternalWait() {
    World& w = W();
    Tcb* me = self();
    countUp(w, me);
    backFromWait(w, me, held_);
}
