#include "services/raster/raster.h"
#include "services/raster/raster_private.h"

#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int NOTIFY_PRIORITY = 21;
constexpr size_t NOTIFY_STACK = 16384;
constexpr uint64_t TICK_LATE_US = 2000;
constexpr int SHUTDOWN_ROUNDS = 60;

// A slot is published by storing its semaphore and then its period (release); the notify
// task, the watchdog and the trigger read them (acquire) without a lock. The other fields
// are written before publication, or by the one task that owns them afterwards.
struct RasterSlot {
    std::atomic<SEM_ID> sem{nullptr};
    int32_t counter = 0; // notify task only
    std::atomic<int32_t> period{0};
    int32_t wdLimit = RASTER_NO_LIMIT;
    TASK_ID tid = TASK_ID_NULL;
    int32_t episodeMax = 0; // watchdog task only
    uint8_t reported = 1;   // watchdog task only
    // A loaded host puts a raster behind again and again; each raster has its own guard, so
    // another raster's first backlog is still told.
    SyslogRateGuard lines;
};

struct PerfInfo {
    char name[RASTER_NAME_LEN];
    std::atomic<uint32_t> semMax;
    std::atomic<uint32_t> stamp[RASTER_RUNTIME_POINTS];
    std::atomic<uint32_t> runtimeCur[RASTER_RUNTIME_POINTS - 1];
    std::atomic<uint32_t> runtimeMax[RASTER_RUNTIME_POINTS - 1];
};

struct DelayNode {
    SEM_ID sem;
    int32_t ticks; // relative to the node before
    DelayNode* next;
};

RasterSlot rasterTaskList[RASTER_MAX_TASKS];
char completeTaskNames[RASTER_MAX_TASKS][RASTER_NAME_LEN];
PerfInfo perfInfo[RASTER_MAX_TASKS];

std::atomic<uint8_t> raster_step0_done{0};
std::atomic<uint8_t> raster_start_enable{0};
uint8_t watchdogReportPending = 0; // watchdog task only
std::atomic<uint8_t> rasterSyncTo100ms{0};
std::atomic<uint32_t> rasterSyncToTS{0};
uint32_t raster_WDogPattern = 0;

DelayNode* rasterDelayHead = nullptr;
SEM_ID rasterDelayLstProtSem = nullptr;

std::atomic<TASK_ID> notifyTaskId{TASK_ID_NULL};

bool slotFree(const RasterSlot& s) {
    return s.sem.load(std::memory_order_acquire) == nullptr && s.period.load(std::memory_order_acquire) == 0;
}

void clearSlot(RasterSlot& s) {
    s.period.store(0, std::memory_order_release);
    s.sem.store(nullptr, std::memory_order_release);
    s.counter = 0;
    s.wdLimit = RASTER_NO_LIMIT;
    s.tid = TASK_ID_NULL;
    s.episodeMax = 0;
    s.reported = 1;
    syslogx_rateguard_reset(&s.lines);
}

void clearPerf(PerfInfo& p) {
    std::memset(p.name, 0, sizeof p.name);
    p.semMax = 0;
    for (auto& v : p.stamp)
        v = 0;
    for (auto& v : p.runtimeCur)
        v = 0;
    for (auto& v : p.runtimeMax)
        v = 0;
}

bool raster_delay_init() {
    if (!rasterDelayLstProtSem) rasterDelayLstProtSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return rasterDelayLstProtSem != nullptr;
}

void raster_delayTimerTick() {
    SEM_ID mutex = rasterDelayLstProtSem;
    if (!mutex || semTake(mutex, WAIT_FOREVER) != OK) return;
    DelayNode* expired = nullptr;
    if (rasterDelayHead) {
        // One tick nearer for every node: the first node with ticks to go takes it (a
        // leading node can hold 0 when it was requested with 0 ticks).
        for (DelayNode* n = rasterDelayHead; n; n = n->next)
            if (n->ticks > 0) {
                n->ticks--;
                break;
            }
        DelayNode* last = nullptr;
        while (rasterDelayHead && rasterDelayHead->ticks <= 0) {
            DelayNode* n = rasterDelayHead;
            rasterDelayHead = n->next;
            n->next = nullptr;
            if (last)
                last->next = n;
            else
                expired = n;
            last = n;
        }
    }
    semGive(mutex);
    // Woken outside the lock, in list order.
    while (expired) {
        DelayNode* n = expired;
        expired = n->next;
        semGive(n->sem);
        delete n;
    }
}

void rephase() {
    const uint32_t q = rasterSyncToTS.load(std::memory_order_relaxed) / 10;
    for (auto& s : rasterTaskList) {
        if (slotFree(s)) break;
        const int32_t period = s.period.load(std::memory_order_acquire);
        if (period <= 0) continue;
        const auto r = static_cast<int32_t>(q % static_cast<uint32_t>(period));
        s.counter = r;
        if (r == 0 && semGive(s.sem.load(std::memory_order_acquire)) != OK)
            SYSLOGX_RATE_GUARDED(LOG_ERR, "notifyRasterTask(): error %s ", std::strerror(errno));
    }
}

void releaseDue() {
    for (auto& s : rasterTaskList) {
        if (slotFree(s)) break;
        const int32_t period = s.period.load(std::memory_order_acquire);
        if (period <= 0) continue;
        if (++s.counter < period) continue;
        s.counter = 0;
        if (semGive(s.sem.load(std::memory_order_acquire)) != OK)
            SYSLOGX_RATE_GUARDED(LOG_ERR, "notifyRasterTask(): error %s ", std::strerror(errno));
    }
}

void notifyRasterTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    SEM_ID baseTick = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, 0);
    if (!baseTick) {
        SYSLOGX_GUARDED(LOG_ERR, "notifyRasterTask(): Error in base tick raster");
        return;
    }
    bool first = true;
    uint64_t lastUs = 0;
    uint64_t lastTick = 0;
    for (;;) {
        if (semTake(baseTick, WAIT_FOREVER) != OK) {
            // The base tick is gone: nothing can release the rasters any more.
            SYSLOGX_GUARDED(LOG_ERR, "notifyRasterTask(): Error in base tick raster");
            return;
        }
        // The base tick is binary: ticks given while this task could not run merged into one.
        // The clock says how many there were; each is released in turn. A give for a tick that
        // was already read off the clock (and released) releases nothing.
        const uint64_t nowTick = tick64Get();
        const uint64_t ticks = first ? 1 : nowTick > lastTick ? nowTick - lastTick : 0;
        lastTick = nowTick;
        const uint64_t nowUs = time_get_time_us();
        // On a loaded machine this can repeat every tick: guarded.
        if (!first && nowUs - lastUs > TICK_LATE_US)
            SYSLOGX_RATE_GUARDED(LOG_ERR, "notifyRasterTask(): task overtook itself, last call %i us ago!",
                                 static_cast<int>(nowUs - lastUs));
        first = false;
        lastUs = nowUs;

        for (uint64_t k = 0; k < ticks; ++k) {
            osReleaseForTick(nowTick - ticks + 1 + k); // a tick made up for is late from its own due time
            if (raster_start_enable.load(std::memory_order_acquire)) {
                if (rasterSyncTo100ms.exchange(0, std::memory_order_acquire))
                    rephase();
                else
                    releaseDue();
            }
            // The delay list keeps counting on re-phase ticks as well: a delay is in base ticks.
            raster_delayTimerTick();
        }
        osReleaseForTick(0);
    }
}

void baseHookFunction(intptr_t slot, intptr_t body, intptr_t, intptr_t) {
    const int idx = static_cast<int>(slot);
    const auto fn = reinterpret_cast<RasterBody>(body);
    SEM_ID sem = rasterTaskList[idx].sem.load(std::memory_order_acquire);
    for (;;) {
        if (semTake(sem, WAIT_FOREVER) != OK) return; // semaphore deleted
        fn(idx);
        SEM_INFO info;
        if (semInfoGet(sem, &info) == OK && info.count != 0)
            raster_setSemMaxValue(static_cast<uint32_t>(idx), static_cast<uint32_t>(info.count));
    }
}

void endTask(TASK_ID tid) {
    if (tid == TASK_ID_NULL) return;
    if (taskDelete(tid) == OK) taskWaitExit(tid, WAIT_FOREVER);
}

} // namespace

// ---- start-up -----------------------------------------------------------------------------

uint8_t raster_initializeStep0() {
    for (auto& s : rasterTaskList)
        clearSlot(s);
    if (!raster_delay_init()) return 0;
    TASK_ID tid = taskSpawn("r_notifyRasterTask", NOTIFY_PRIORITY, 0, NOTIFY_STACK, notifyRasterTask);
    if (tid == TASK_ID_NULL) {
        syslogx(LOG_ERR, "raster_initializeStep0() Fail to create task: %s", "notifyRasterTask");
        return 0;
    }
    notifyTaskId = tid;
    raster_step0_done = 1;
    return 1;
}

uint8_t raster_initializeStep1() {
    if (!raster_step0_done) {
        syslogx(LOG_ERR, "raster_initializeStep1(): Called Raster STEP1 before STEP0, do not initialize");
        return 0;
    }
    raster_start_enable.store(1, std::memory_order_release);
    return raster_hookFunction("WATCHDOG", 34, 10, raster_watchdogTask, 4096, RASTER_ANY_CPU, 3);
}

// Hooking runs from start-up, one raster after the other. The slot is published only
// once its task exists, so a failed hook leaves the slot free for the next one.
uint8_t raster_hookFunction(const char* name, int priority, int32_t periodOrEvent, RasterBody body,
                            size_t stackSize, int cpu, int32_t watchdogLimit) {
    if (!name || !body) return 0;
    int idx = 0;
    while (idx < RASTER_MAX_TASKS && !slotFree(rasterTaskList[idx]))
        ++idx;
    if (idx == RASTER_MAX_TASKS) return 0;
    RasterSlot& s = rasterTaskList[idx];

    char taskName[RASTER_NAME_LEN];
    std::snprintf(taskName, sizeof taskName, "%s%s", "r_", name);

    SEM_ID sem = semCCreate(SEM_Q_PRIORITY, 0);
    if (!sem) {
        SYSLOGX_GUARDED(LOG_ERR, "raster_hookFunction(): no Semaphore");
        return 0;
    }
    if (watchdogLimit != RASTER_NO_LIMIT && watchdogLimit < 1) {
        syslogx(LOG_ERR, "raster_hookFunction: Error hooking %s", name);
        semDelete(sem);
        return 0;
    }
    TASK_ID tid = taskCreate(taskName, priority, VX_FP_TASK, stackSize, baseHookFunction, idx,
                             reinterpret_cast<intptr_t>(body));
    if (tid == TASK_ID_NULL) {
        SYSLOGX_GUARDED(LOG_ERR, "raster_hookFunction(): no Task");
        semDelete(sem);
        return 0;
    }
    if (cpu != RASTER_ANY_CPU) {
        const uint32_t mask = static_cast<unsigned>(cpu) < 32 ? 1u << cpu : 0u;
        if (taskCpuAffinitySet(tid, mask) != OK) {
            taskDelete(tid);
            SYSLOGX_GUARDED(LOG_ERR, "raster_hookFunction(): failed task binding");
            semDelete(sem);
            return 0;
        }
    }
    std::memcpy(completeTaskNames[idx], taskName, sizeof taskName);
    clearPerf(perfInfo[idx]);
    std::memcpy(perfInfo[idx].name, taskName, sizeof taskName);
    s.counter = 0;
    s.wdLimit = watchdogLimit;
    s.episodeMax = 0;
    s.reported = 1; // nothing to report before a first episode
    s.tid = tid;
    s.sem.store(sem, std::memory_order_release);
    s.period.store(periodOrEvent, std::memory_order_release);
    if (taskActivate(tid) != OK) {
        // Published but without a task: releases would pile up unseen.
        SYSLOGX_GUARDED(LOG_ERR, "raster_hookFunction(): no Task");
        clearSlot(s);
        semDelete(sem);
        return 0;
    }
    return 1;
}

// ---- releases -----------------------------------------------------------------------------

int raster_triggerTask(int32_t eventId) {
    if (!raster_start_enable.load(std::memory_order_acquire)) return 0;
    for (auto& s : rasterTaskList) {
        if (slotFree(s)) break;
        if (s.period.load(std::memory_order_acquire) != eventId) continue;
        if (semGive(s.sem.load(std::memory_order_acquire)) != OK) {
            SYSLOGX_GUARDED(LOG_ERR, "triggerAsyncTask(): Error with semaphore IDX:%d",
                            static_cast<int>(eventId));
            return 0;
        }
        return 1;
    }
    SYSLOGX_GUARDED(LOG_ERR, "triggerAsyncTask(): Base rate not found in list (%d)",
                    static_cast<int>(eventId));
    return 0;
}

void rasterTaskSyncTo100ms(uint32_t measTime) {
    rasterSyncToTS.store(measTime, std::memory_order_relaxed);
    rasterSyncTo100ms.store(1, std::memory_order_release);
}

int raster_taskDelay(SEM_ID sem, int32_t ticks) {
    if (!sem) return 0;
    auto* node = new (std::nothrow) DelayNode{sem, ticks < 0 ? 0 : ticks, nullptr};
    if (!node) {
        SYSLOGX_GUARDED(LOG_ERR, "raster_taskDelay(): out of memory");
        return 0;
    }
    SEM_ID mutex = rasterDelayLstProtSem;
    if (!mutex || semTake(mutex, WAIT_FOREVER) != OK) {
        delete node; // no delay list: nothing would ever wake the caller
        return 0;
    }
    // Delta list: each node counts the ticks after the one before it. A new node goes
    // before the nodes that end on the same tick.
    DelayNode** link = &rasterDelayHead;
    while (*link && (*link)->ticks < node->ticks) {
        node->ticks -= (*link)->ticks;
        link = &(*link)->next;
    }
    if (*link) (*link)->ticks -= node->ticks;
    node->next = *link;
    *link = node;
    semGive(mutex);
    semTake(sem, WAIT_FOREVER);
    return 1;
}

// ---- watchdog -----------------------------------------------------------------------------

void raster_watchdogTask(int) {
    if (!raster_start_enable.load(std::memory_order_acquire)) return;
    bool overLimit = false;
    for (int i = 0; i < RASTER_MAX_TASKS; ++i) {
        RasterSlot& s = rasterTaskList[i];
        SEM_ID sem = s.sem.load(std::memory_order_acquire);
        if (!sem) continue;
        SEM_INFO info;
        if (semInfoGet(sem, &info) != OK) {
            SYSLOGX_GUARDED(LOG_ERR, "raster_watchdogTask(): Error reading tasks semaphore %d", i);
            continue;
        }
        if (s.wdLimit == RASTER_NO_LIMIT) continue;
        const int32_t half = (s.wdLimit + 1) / 2;
        if (info.count > half) {
            if (info.count > s.wdLimit) {
                overLimit = true;
                if (s.episodeMax <= s.wdLimit && syslogx_rateguard(&s.lines))
                    syslogx(
                        LOG_DEBUG,
                        "raster_watchdogTask(): Raster '%s' (cycle%d) Watchdog semaphore exceeded (limit %d)",
                        completeTaskNames[i], static_cast<int>(s.period.load(std::memory_order_relaxed)),
                        static_cast<int>(s.wdLimit));
            }
            if (info.count > s.episodeMax) s.episodeMax = info.count;
        } else if (s.episodeMax > 0) {
            watchdogReportPending = 1;
            s.reported = 0;
        }
    }
    if (overLimit) return; // a lasting backlog starves the application watchdog

    wdogapp_Feed(&raster_WDogPattern);
    if (!watchdogReportPending) return;
    watchdogReportPending = 0;
    for (int i = 0; i < RASTER_MAX_TASKS; ++i) {
        RasterSlot& s = rasterTaskList[i];
        if (!s.sem.load(std::memory_order_acquire) || s.episodeMax <= 0 || s.reported) continue;
        if (syslogx_rateguard(&s.lines))
            syslogx(s.episodeMax >= s.wdLimit ? LOG_ERR : LOG_DEBUG,
                    "raster_watchdogTask(): Raster Watchdog semaphore exceeded for Idx %d (%-16s: Rate:%d) "
                    "(Count: %d,max "
                    "%d)",
                    i, completeTaskNames[i], static_cast<int>(s.period.load(std::memory_order_relaxed)),
                    static_cast<int>(s.episodeMax), static_cast<int>(s.wdLimit));
        s.episodeMax = 0;
        s.reported = 1;
    }
}

// ---- shutdown -------------------------------------------------------------------------------

void raster_shutdown() {
    raster_start_enable.store(0, std::memory_order_release);
    wdogapp_EnterShutDown(&raster_WDogPattern);
    int busy = 0;
    for (int round = 0; round < SHUTDOWN_ROUNDS; ++round) {
        busy = 0;
        for (int i = 0; i < RASTER_MAX_TASKS; ++i) {
            const RasterSlot& s = rasterTaskList[i];
            if (slotFree(s)) break;
            SEM_INFO info;
            if (semInfoGet(s.sem.load(std::memory_order_acquire), &info) != OK) {
                SYSLOGX_GUARDED(LOG_ERR, "raster_shutdown: semInfoGet failed for raster[%d] (%s)", i,
                                completeTaskNames[i]);
                continue;
            }
            // Waiting on its semaphore with nothing pending is idle; not waiting means the
            // body is running.
            if (info.count != 0 || info.numWaiting == 0)
                ++busy;
            else if (info.numWaiting > 1)
                SYSLOGX_GUARDED(LOG_ERR, "raster_shutdown: Raster[%d] (%s) More than one task are pending???",
                                i, completeTaskNames[i]);
        }
        if (busy == 0) return;
        taskDelay(1);
    }
    syslogx(LOG_ERR, "raster_shutdown: %d task(s) are not finished yet... giving up", busy);
}

// ---- statistics -----------------------------------------------------------------------------

void raster_setSemMaxValue(uint32_t slot, uint32_t pending) {
    if (slot >= RASTER_MAX_TASKS) return;
    auto& m = perfInfo[slot].semMax;
    uint32_t cur = m.load(std::memory_order_relaxed);
    while (pending > cur && !m.compare_exchange_weak(cur, pending, std::memory_order_relaxed)) {
    }
}

void raster_setRuntime(uint32_t slot, uint32_t point) {
    if (slot >= RASTER_MAX_TASKS || point >= RASTER_RUNTIME_POINTS) return;
    PerfInfo& p = perfInfo[slot];
    const auto now = static_cast<uint32_t>(time_get_time_us());
    p.stamp[point].store(now, std::memory_order_relaxed);
    if (point == 0) return;
    const uint32_t run = now - p.stamp[point - 1].load(std::memory_order_relaxed);
    p.runtimeCur[point - 1].store(run, std::memory_order_relaxed);
    if (run > p.runtimeMax[point - 1].load(std::memory_order_relaxed))
        p.runtimeMax[point - 1].store(run, std::memory_order_relaxed);
}

void raster_clearTaskMax() {
    for (auto& p : perfInfo) {
        p.semMax = 0;
        for (auto& v : p.runtimeMax)
            v = 0;
    }
}

void raster_printStatus() {
    std::printf("\nRaster Task Information:\n");
    for (int i = 0; i < RASTER_MAX_TASKS; ++i) {
        const PerfInfo& p = perfInfo[i];
        if (!p.name[0]) continue;
        std::printf("\nIDX:%02d Task:\"%s\"  semMax:%02u:", i, p.name, p.semMax.load());
        std::printf("\n       Runtime Current:");
        for (const auto& v : p.runtimeCur)
            std::printf(" %08u", v.load());
        std::printf("\n       Runtime Max    :");
        for (const auto& v : p.runtimeMax)
            std::printf(" %08u", v.load());
    }
    std::printf("\n");
}

// ---- tests ----------------------------------------------------------------------------------

void raster_reset() {
    raster_start_enable = 0;
    raster_step0_done = 0;
    endTask(notifyTaskId.exchange(TASK_ID_NULL));
    for (auto& s : rasterTaskList) {
        endTask(s.tid);
        if (SEM_ID sem = s.sem.load()) semDelete(sem);
        clearSlot(s);
    }
    for (auto& name : completeTaskNames)
        std::memset(name, 0, sizeof name);
    for (auto& p : perfInfo)
        clearPerf(p);
    while (rasterDelayHead) {
        DelayNode* n = rasterDelayHead;
        rasterDelayHead = n->next;
        delete n;
    }
    watchdogReportPending = 0;
    rasterSyncTo100ms = 0;
    rasterSyncToTS = 0;
}

int32_t raster_getTickCounter(int slot) {
    if (slot < 0 || slot >= RASTER_MAX_TASKS || slotFree(rasterTaskList[slot])) return -1;
    return rasterTaskList[slot].counter;
}

int raster_getDelayList(SEM_ID* sems, int32_t* ticks, int max) {
    SEM_ID mutex = rasterDelayLstProtSem;
    if (!mutex || semTake(mutex, WAIT_FOREVER) != OK) return 0;
    int n = 0;
    for (DelayNode* d = rasterDelayHead; d; d = d->next, ++n) {
        if (n < max) {
            if (sems) sems[n] = d->sem;
            if (ticks) ticks[n] = d->ticks;
        }
    }
    semGive(mutex);
    return n;
}
