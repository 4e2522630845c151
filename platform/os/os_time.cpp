// Clocks and timers of the OS layer, read from the one simulated clock.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <thread>

using namespace os_detail;

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

namespace {
// Stops a timer that is not deleted yet; `remove` deletes it too.
STATUS stopTimer(OS_TIMER_ID id, bool remove) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    auto* t = reinterpret_cast<Timer*>(id);
    if (!t || t->deleted) {
        errno = EINVAL;
        return ERROR;
    }
    t->active = false;
    t->deleted = remove;
    return OK;
}
} // namespace

STATUS osTimerCancel(OS_TIMER_ID id) {
    return stopTimer(id, false);
}

STATUS osTimerDelete(OS_TIMER_ID id) {
    return stopTimer(id, true);
}
