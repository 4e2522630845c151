// The OS layer's own records: the world, tasks, semaphores and queues, and the waiting and waking
// helpers that its sources share. Only the OS layer's own sources include it.
//
// Every semaphore and queue has a lock of its own; the registry (tasks, names, timers) has
// one more. A blocked task sleeps on its own wake word. A waker first claims the sleeper (one
// compare-and-swap, so of a give, a time-out and a delete request exactly one wins), counts it
// as running again and only then wakes it: "every task is blocked" is never seen while a
// release is in flight. In stepped time the tasks of the layer share one processor: a released
// task waits for its turn on it. Lock order: object lock, then the registry, then the time-out
// list; the processor's lock is taken under none of them and takes none.
#pragma once

#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace os_detail {

struct OsTaskExit {};

// A task's wake word. The first three values mean "asleep"; the others are why it woke.
enum Wake {
    WAKE_BLOCKED = 0, // on an object or for time: claimable by any waker
    WAKE_SUSPENDED,   // until resumed (or deleted)
    WAKE_CLAIMED,     // a waker won it and is completing the hand-over
    WAKE_GRANTED,
    WAKE_RETRY, // a mutex was freed, or a delete was put off: try again
    WAKE_TIMEOUT,
    WAKE_DELETED_OBJ,
    WAKE_TASK_DELETE,
    WAKE_RUNNING,
};

// A task's place on the one processor of stepped time.
enum Cpu {
    CPU_OFF,   // not scheduled: blocked, or real time
    CPU_READY, // in the ready queue
    CPU_ON,    // running
};

struct Tcb;
struct LateHist;
using WaitList = std::deque<Tcb*>;

struct Tcb {
    std::string name;
    std::atomic<int> priority{100};
    int options = 0;
    size_t stackSize = 0;
    std::atomic<uint32_t> affinity{0};
    std::atomic<bool> counted{false}; // stepped time waits for it: spawned by the layer, or adopted
    std::atomic<bool> adopted{false}; // a thread the layer did not start (the process's main thread)
    std::atomic<bool> running{false}; // for diagnostics only
    std::atomic<bool> activated{false};
    std::atomic<bool> exited{false};
    std::atomic<bool> deleteRequested{false};
    std::atomic<bool> suspendRequested{false};
    bool unwinding = false; // own thread
    std::atomic<int> wake{WAKE_RUNNING};
    // message hand-over for a blocked receiver, written by the sender that claimed it
    void* rxBuf = nullptr;
    size_t rxMax = 0;
    int rxLen = 0;
    WaitList exitWaiters; // registry lock
    std::function<void()> body;
    pthread_t thread{}; // registry lock; valid while started and not exited
    bool started = false;
    // Mutexes taken, all and the inversion-safe ones, written by one task at a time (the task
    // itself, or the giver that hands one over to it while it waits), so without read-modify-write
    // on the take's path; and those of them a delete took away from it. It holds the difference (a
    // delete waits until it holds none).
    std::atomic<int> takenMutexes{0}, takenSafe{0};
    std::atomic<int> lostMutexes{0}, lostSafe{0};
    int heldMutexes() const {
        return takenMutexes.load(std::memory_order_relaxed) - lostMutexes.load(std::memory_order_relaxed);
    }
    int heldSafe() const {
        return takenSafe.load(std::memory_order_relaxed) - lostSafe.load(std::memory_order_relaxed);
    }
    std::atomic<int> boost{INT_MAX}; // priority inherited from a waiter
    // Watched: the lateness of its releases by one semaphore (the one it waited on when the
    // watch began, or else the first it then waits on for good) is recorded.
    std::atomic<LateHist*> late{nullptr};
    std::atomic<void*> lateOn{nullptr};
    std::atomic<void*> waitingOn{nullptr}; // the semaphore it waits on now
    int64_t releasedDue = -1;              // when the tick of the give that woke it was due
    std::atomic<int> cpu{CPU_OFF};
    int64_t readySeq = 0; // the processor's lock: its place among the ready tasks of its priority
};

// Release lateness of a watched task, 1 us per bucket; the last bucket holds every later one, and
// the exact maximum is kept beside (-1: none yet).
struct LateHist {
    static constexpr int BUCKETS = 20000;
    std::atomic<uint32_t> us[BUCKETS]{};
    std::atomic<int64_t> maxUs{-1};
};

struct Sem {
    SEM_TYPE type;
    int options;
    int maxCount;
    std::mutex m;
    int count; // binary and counting
    std::atomic<Tcb*> owner{nullptr};
    int recursion = 0;               // the owner's
    std::atomic<int> contenders{0};  // tasks in a mutex's slow path
    std::atomic<bool> waking{false}; // a contender was woken to try again and has not yet
    WaitList waiters;
    std::string name;
    std::atomic<bool> deleted{false};
    // Taken by a watched task: when the tick of each give still counted was due, oldest first.
    bool stamped = false;
    std::deque<int64_t> givenAt;
};

struct MsgQ {
    int maxMsgs;
    int maxLen;
    int options;
    std::mutex m;
    std::deque<std::vector<char>> msgs;
    WaitList recvWaiters;
    WaitList sendWaiters;
    std::string name;
    std::atomic<bool> deleted{false};
};

struct Timer {
    OS_TIMER_FN fn;
    intptr_t arg;
    bool active = false;
    uint64_t next = 0;
    uint64_t period = 0;
    bool deleted = false;
};

using Hooks = std::vector<std::pair<int, sim::TickHook>>;

struct World {
    std::mutex reg;
    std::map<intptr_t, Tcb*> tasks; // every task ever made; ids stay unique
    std::map<std::string, Sem*> namedSems;
    std::map<std::string, MsgQ*> namedQueues;
    std::map<std::string, std::pair<void*, size_t>> shms;
    std::vector<Timer*> timers;
    std::deque<Timer*> dueTimers;
    Sem* timerSem = nullptr;
    bool timerTaskStarted = false;
    int foreignCount = 0;
    // tasks not blocked in the layer
    std::atomic<int> running{0};
    std::mutex idleMutex;
    std::condition_variable idleCv;
    // time-outs by deadline
    std::mutex timedMutex;
    std::multimap<uint64_t, Tcb*> timed;
    // Every object made stays reachable here: ids of deleted objects then fail cleanly
    // instead of touching freed memory, and leak checkers see no lost records.
    std::vector<void*> records;
    std::mutex recordMutex;
    // clock
    std::atomic<uint64_t> tick{0};
    std::atomic<uint64_t> seq{0};
    std::atomic<int64_t> wallAtTick{0};
    std::atomic<int64_t> calendarBaseNs{0};
    std::atomic<sim::TimeMode> mode{sim::TimeMode::Realtime};
    std::atomic<bool> rtRun{false};
    std::atomic<bool> rtPriorities{false};
    // The tasks share one host CPU: real-time priorities were asked for (granted or not).
    std::atomic<bool> oneCpu{false};
    std::thread rtThread;
    // Real time: the base tick the clock gives, when the next tick is due and when the one being
    // made was due (CLOCK_MONOTONIC ns), and the task that waits on the base tick and makes the
    // ticks itself, so that a tick wakes one thread instead of the clock's and then the waiter's.
    std::atomic<Sem*> baseTick{nullptr};
    std::atomic<int64_t> dueNs{0};
    std::atomic<int64_t> madeDueNs{0};
    std::atomic<Tcb*> driver{nullptr};
    std::atomic<bool> driverMade{false}; // the last tick was made by the base tick's waiter
    int clockFd = -1;                    // the clock thread's timer (CLOCK_MONOTONIC)
    // Real time: when each recent tick was due, and which tick a place holds.
    static constexpr size_t DUE_RING = 1024;
    std::atomic<int64_t> dueOfTick[DUE_RING]{};
    std::atomic<uint64_t> tickOfDue[DUE_RING]{};
    // Real-time priorities: every task on one host CPU, of the set the process had before.
    int rtCpu = -1;
    cpu_set_t hostCpus{};
    int64_t movedNs = 0;      // when the tasks last moved to another CPU (registry lock)
    std::mutex clockMutex;    // one thread makes ticks at a time
    Tcb* clockSelf = nullptr; // the record hooks see while a tick is made
    // Stepped time: the one processor, the task on it and the ready tasks (in any order; the
    // next is picked by priority, then by place). The tick takes it like an interrupt, above
    // every task.
    std::mutex cpuMutex;
    Tcb* onCpu = nullptr;
    std::vector<Tcb*> ready;
    int64_t lastSeq = 0;  // places at the back of a priority
    int64_t firstSeq = 0; // at the front: a task that lost the processor to a higher one
    Tcb* tickSelf = nullptr;
    std::mutex hookMutex;
    std::shared_ptr<const Hooks> hooks = std::make_shared<Hooks>();
    int nextHookId = 1;
};

// Never destroyed: detached task threads may still touch it while the process exits.
[[gnu::always_inline]] inline World& W() {
    static World* w = new World;
    return *w;
}

// Constant-initialised, so that every source reads them directly, without an initialising call.
extern constinit thread_local Tcb* tlsSelf;
// The record of the calling thread itself (tlsSelf stands for the clock while a task makes a tick).
extern constinit thread_local Tcb* tlsOwn;
// The tick the calling task's releases are for (0: the current one); see osReleaseForTick.
extern constinit thread_local uint64_t tlsReleaseTick;

// Every object made is kept reachable in the world's records (os_core.cpp).
void keep(void* p);

inline int64_t wallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ---- the processor of stepped time (os_core.cpp) ----------------------------------------------
void makeReady(World& w, Tcb* t);
void leaveCpu(World& w, Tcb* t);
void awaitCpu(Tcb* t);
void preempt(World& w);

// Calls preempt when the call that may have released tasks returns, after its locks are gone.
// The priority a task runs at: its own, or a higher one an inversion-safe mutex lent it.
inline int effectivePriority(const Tcb* t) {
    return std::min(t->priority.load(std::memory_order_relaxed), t->boost.load(std::memory_order_relaxed));
}

struct PreemptOnReturn {
    World& w;
    ~PreemptOnReturn() {
        // Only a task on stepped time's processor can be preempted: the rest return at once.
        if (Tcb* me = tlsSelf; me && me->cpu.load(std::memory_order_relaxed) == CPU_ON) preempt(w);
    }
};
void freeCpu(World& w);

// ---- running count (os_core.cpp) ------------------------------------------------------------
void countUp(World& w, Tcb* t);
void countDown(World& w, Tcb* t);
Tcb* adoptForeign();

[[gnu::always_inline]] inline Tcb* self() {
    return tlsSelf ? tlsSelf : adoptForeign();
}

// ---- real-time priorities (os_core.cpp) -----------------------------------------------------
void placeThread(World& w, pthread_t th);
void applyPriority(World& w, Tcb* t);

// ---- sleeping and waking (os_core.cpp) ------------------------------------------------------
bool claim(Tcb* t, int from = WAKE_BLOCKED);
void futexWake(std::atomic<int>& word);
void finish(World& w, Tcb* t, int reason);
Tcb* popClaimed(WaitList& l);

struct Deadline {
    bool timed = false;
    uint64_t at = 0;
};

Deadline after(World& w, int ticks);
// The ticks left until the deadline (0 once it passed), WAIT_FOREVER without one.
int ticksLeft(World& w, const Deadline& d);
int block(World& w, Tcb* t, std::unique_lock<std::mutex>* lk, WaitList* list, bool prio, Deadline d,
          int state = WAKE_BLOCKED, bool again = false, bool drives = false);
void honourSuspend(World& w, Tcb* t);
void enterRequested(World& w, Tcb* me);

// Entry checks of a call that may block: a pending suspension or delete is honoured here.
[[gnu::always_inline]] inline void enter(World& w, Tcb* me) {
    if (me->suspendRequested.load(std::memory_order_relaxed) || me->deleteRequested.load())
        enterRequested(w, me);
}

// ---- named objects --------------------------------------------------------------------------
// Looks a named object up, registry lock held: 1 found, 0 to be created, -1 refused (errno set).
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

// ---- semaphores (os_sem.cpp) ----------------------------------------------------------------
Sem* newSem(SEM_TYPE type, int options, int count, int maxCount);

// ---- the clock (os_sim.cpp) -----------------------------------------------------------------
void makeDueTicks(World& w, bool one);

} // namespace os_detail
