// The simulated clock's controls: stepping, real time and its clock thread, real-time priorities,
// tick hooks and lateness.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <thread>
#include <unistd.h>

using namespace os_detail;

// ---- simulation controls ------------------------------------------------------------------

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

namespace {
template <class Pred> std::vector<std::string> namesOf(Pred pred) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    std::vector<std::string> out;
    for (auto& [id, t] : w.tasks)
        if (pred(*t)) out.push_back(t->name);
    return out;
}
} // namespace

std::vector<std::string> runningTasks() {
    return namesOf([](const Tcb& t) { return t.running.load(std::memory_order_relaxed); });
}

std::vector<std::string> taskNames() {
    return namesOf([](const Tcb& t) { return t.counted && !t.adopted && t.activated && !t.exited; });
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
