// Stepped time with the platform's base tick, the system log and the watchdog calls of the
// kernel-side manager, for the raster scheduler's tests.
#pragma once

#include "services/raster/raster.h"
#include "services/raster/raster_private.h"
#include "services/rtpman/rtpman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/sim.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using testsupport::logDrain;

inline int countLines(const std::vector<testsupport::LogLine>& lines, const std::string& part) {
    int n = 0;
    for (const auto& l : lines)
        n += l.text.find(part) != std::string::npos;
    return n;
}

// The one line logged since the last drain: its priority (-1: any) and its whole text, or with `part`
// a piece of it.
inline void expectOnlyLine(int priority, const std::string& text, bool part = false) {
    const auto lines = logDrain();
    ASSERT_EQ(lines.size(), 1u) << text;
    if (priority >= 0) {
        EXPECT_EQ(lines[0].priority, priority) << lines[0].text;
    }
    EXPECT_TRUE(part ? lines[0].text.find(text) != std::string::npos : lines[0].text == text)
        << lines[0].text;
}

// "name" followed by the number (appended: GCC 12 misreads "literal" + std::string).
inline std::string numbered(const char* name, long n) {
    std::string s(name);
    s += std::to_string(n);
    return s;
}

// Bodies of the tests' own rasters; they record per slot.
struct Bodies {
    static inline std::atomic<int> runs[RASTER_MAX_TASKS];
    static inline std::atomic<uint64_t> lastTick[RASTER_MAX_TASKS];
    static inline std::atomic<bool> blockNext[RASTER_MAX_TASKS];
    static inline SEM_ID gates[RASTER_MAX_TASKS];

    static void reset() {
        for (int i = 0; i < RASTER_MAX_TASKS; ++i) {
            runs[i] = 0;
            lastTick[i] = 0;
            blockNext[i] = false;
            if (!gates[i]) gates[i] = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
            semTake(gates[i], NO_WAIT);
        }
    }
    static void count(int slot) {
        runs[slot]++;
        lastTick[slot] = tick64Get();
    }
    // Counts, and when asked, blocks on the slot's gate until the test opens it.
    static void gated(int slot) {
        count(slot);
        if (blockNext[slot].exchange(false)) semTake(gates[slot], WAIT_FOREVER);
    }
};

struct RasterTest : ::testing::Test {
    static inline std::atomic<bool> tickOn{true};
    static inline std::atomic<int> feeds{0};
    static inline std::atomic<int> shutdownCalls{0};
    int hookId = 0;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
        ASSERT_NE(base, nullptr);
        semTake(base, NO_WAIT);
        tickOn = true;
        hookId = sim::addTickHook([base](uint64_t) {
            if (tickOn) semGive(base);
        });
        testsupport::logStart();
        feeds = 0;
        shutdownCalls = 0;
        kmgr::setHandler(KCALL_APPMAN, [](const intptr_t* a) -> intptr_t {
            feeds += a[2] == APPMAN_REQ_WDOG_FEED;
            shutdownCalls += a[2] == APPMAN_REQ_WDOG_SHUTDOWN;
            return 0;
        });
        Bodies::reset();
        ASSERT_EQ(raster_initializeStep0(), 1);
        sim::waitIdle();
    }

    void TearDown() override {
        raster_reset();
        sim::removeTickHook(hookId);
        kmgr::setHandler(KCALL_APPMAN, {});
    }

    static uint8_t hook(const std::string& name, int32_t periodOrEvent, RasterBody body = Bodies::count,
                        int32_t limit = RASTER_NO_LIMIT, int cpu = RASTER_ANY_CPU) {
        return raster_hookFunction(name.c_str(), 100, periodOrEvent, body, 4096, cpu, limit);
    }
    // Blocks an event raster in its body and leaves `pending` releases waiting behind it.
    static void backlog(int slot, int32_t event, int pending) {
        Bodies::blockNext[slot] = true;
        raster_triggerTask(event);
        sim::waitIdle();
        for (int i = 0; i < pending; ++i)
            raster_triggerTask(event);
    }
    // Runs raster_shutdown in a task of its own, which can wait for ticks.
    static void startShutdown(std::atomic<bool>& done) {
        taskSpawnFn("stopper", 50, 0, 0, [&done] {
            raster_shutdown();
            done = true;
        });
        sim::waitIdle();
    }
};
