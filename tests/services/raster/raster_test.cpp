// Raster scheduler on stepped time with the platform's base tick: release, re-phase, delay list,
// statistics, watchdog, late and merged ticks and shutdown.
#include "services/raster/raster.h"
#include "services/raster/raster_private.h"
#include "services/rtpman/rtpman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "support/stepped.h"

#include <regex>

namespace {

using testsupport::logDrain;
using Node = std::pair<SEM_ID, int32_t>;

// Bodies of the tests' own rasters: they count per slot and, when asked, block on the slot's gate
// until the test opens it. The last gate holds the watchdog's feed.
std::atomic<int> runs[RASTER_MAX_TASKS];
std::atomic<uint64_t> lastTick[RASTER_MAX_TASKS];
std::atomic<bool> blockNext[RASTER_MAX_TASKS + 1];
SEM_ID gates[RASTER_MAX_TASKS + 1];
std::atomic<bool> tickOn{true};
std::atomic<int> feeds{0}, shutdownCalls{0};

void count(int slot) {
    runs[slot]++;
    lastTick[slot] = tick64Get();
}
void gated(int slot) {
    count(slot);
    if (blockNext[slot].exchange(false)) semTake(gates[slot], WAIT_FOREVER);
}

// The one line logged since the last drain contains `text`; priority -1: any.
void expectOnlyLine(int priority, const std::string& text) {
    const auto lines = logDrain();
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_TRUE(priority < 0 || lines[0].priority == priority) << lines[0].text;
    EXPECT_NE(lines[0].text.find(text), std::string::npos) << lines[0].text;
}

struct Raster : testsupport::SteppedTest {
    int hookId = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
        semTake(base, NO_WAIT);
        tickOn = true;
        hookId = sim::addTickHook([base](uint64_t) {
            if (tickOn) semGive(base);
        });
        feeds = shutdownCalls = 0;
        kmgr::setHandler(KCALL_APPMAN, [](const intptr_t* a) -> intptr_t {
            if (a[2] == APPMAN_REQ_WDOG_FEED && blockNext[RASTER_MAX_TASKS].exchange(false))
                semTake(gates[RASTER_MAX_TASKS], WAIT_FOREVER);
            feeds += a[2] == APPMAN_REQ_WDOG_FEED;
            shutdownCalls += a[2] == APPMAN_REQ_WDOG_SHUTDOWN;
            return 0;
        });
        for (int i = 0; i <= RASTER_MAX_TASKS; ++i) {
            if (i < RASTER_MAX_TASKS) runs[i] = 0;
            blockNext[i] = false;
            if (!gates[i]) gates[i] = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
            semTake(gates[i], NO_WAIT);
        }
        ASSERT_EQ(raster_initializeStep0(), 1);
        sim::waitIdle();
    }
    void TearDown() override {
        raster_reset();
        sim::removeTickHook(hookId);
        kmgr::setHandler(KCALL_APPMAN, {});
    }
    static uint8_t hook(const std::string& name, int32_t periodOrEvent, RasterBody body = count,
                        int32_t limit = RASTER_NO_LIMIT, int cpu = RASTER_ANY_CPU) {
        return raster_hookFunction(name.c_str(), 100, periodOrEvent, body, 4096, cpu, limit);
    }
    // Blocks an event raster in its body and leaves `pending` releases waiting behind it.
    static void backlog(int slot, int32_t event, int pending) {
        blockNext[slot] = true;
        for (int i = 0; i <= pending; ++i) {
            raster_triggerTask(event);
            if (i == 0) sim::waitIdle();
        }
    }
};

TEST_F(Raster, ReleasedOncePerPeriodOrTriggerFromStep1On) {
    const int32_t periods[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 10};
    for (const int32_t p : periods)
        ASSERT_EQ(hook(std::string("p").append(std::to_string(p)), p), 1);
    ASSERT_EQ(hook("lap", RASTER_EVENT_LAP), 1);
    EXPECT_EQ(raster_triggerTask(RASTER_EVENT_LAP), 0);
    sim::step(50);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(runs[i].load(), 0) << "released before step 1";
    ASSERT_EQ(raster_initializeStep1(), 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(raster_triggerTask(RASTER_EVENT_LAP), 1);
    sim::step(3000);
    for (int i = 0; i < 11; ++i)
        EXPECT_NEAR(runs[i].load(), 3000 / periods[i], 1) << periods[i];
    EXPECT_EQ(runs[11].load(), 3); // ticks never release event rasters
    EXPECT_EQ(lastTick[3].load(), lastTick[10].load()) << "same period, same tick";
    EXPECT_EQ(lastTick[0].load(), lastTick[9].load());
    EXPECT_TRUE(logDrain().empty());
    EXPECT_EQ(raster_triggerTask(-9), 0);
    expectOnlyLine(LOG_ERR, "triggerAsyncTask(): Base rate not found in list (-9)");
}

TEST_F(Raster, HookRefusesBadLimitsAndA65thRaster) {
    EXPECT_EQ(hook("bad0", 10, count, 0), 0);
    EXPECT_EQ(hook("badm2", 10, count, -2), 0);
    EXPECT_EQ(logDrain().size(), 2u);
    // The refused hooks kept no slot: 64 fit, the 65th does not.
    for (int i = 0; i < RASTER_MAX_TASKS; ++i)
        ASSERT_EQ(
            hook(std::string("n").append(std::to_string(i)), 1000, count, RASTER_NO_LIMIT, i == 3 ? 1 : 40),
            1)
            << i;
    EXPECT_EQ(hook("n64", 1000), 0);
    uint32_t mask = 99;
    ASSERT_EQ(taskCpuAffinityGet(taskNameToId("r_n3"), &mask), OK);
    EXPECT_EQ(mask, 2u);
}

TEST_F(Raster, RephaseAlignsRastersToTheMeasurementTime) {
    ASSERT_EQ(hook("r2", 2), 1);
    ASSERT_EQ(hook("r10", 10), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(3);
    const int runs2 = runs[0], runs10 = runs[1];
    rasterTaskSyncTo100ms(12345); // 1234 ms
    sim::step(1);
    EXPECT_EQ(runs[0].load(), runs2 + 1) << "1234 is a multiple of 2: released at once";
    EXPECT_EQ(raster_getTickCounter(1), 4);
    sim::step(5);
    EXPECT_EQ(runs[1].load(), runs10);
    sim::step(1);
    EXPECT_EQ(runs[1].load(), runs10 + 1) << "released at 1240 ms";
    EXPECT_EQ(runs[0].load(), runs2 + 4);
}

// The base tick drives the delay list from step 0 on; a re-phase does not disturb it.
TEST_F(Raster, DelayListWakesInOrderAndEqualDeadlinesInReverseOrderOfRequest) {
    SEM_ID sems[5];
    std::atomic<uint64_t> wokeAt[5];
    auto delayList = [] {
        SEM_ID s[8];
        int32_t t[8];
        std::vector<Node> v;
        for (int i = 0, n = raster_getDelayList(s, t, 8); i < n; ++i)
            v.emplace_back(s[i], t[i]);
        return v;
    };
    const uint64_t t0 = sim::ticks();
    for (auto [i, ticks] : {std::pair{0, 5}, {1, 5}, {2, 3}, {3, -3}, {4, 9}}) { // -3 counts as 0
        sems[i] = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        wokeAt[i] = 0;
        taskSpawnFn(std::string("sleeper").append(std::to_string(i)).c_str(), 100, 0, 0,
                    [&, i = i, ticks = ticks] {
                        if (raster_taskDelay(sems[i], ticks) == 1) wokeAt[i] = tick64Get();
                    });
        sim::waitIdle(); // one request after the other, all on one tick
    }
    EXPECT_EQ(delayList(),
              (std::vector<Node>{{sems[3], 0}, {sems[2], 3}, {sems[1], 2}, {sems[0], 0}, {sems[4], 4}}));
    ASSERT_EQ(raster_initializeStep1(), 1);
    rasterTaskSyncTo100ms(10000);
    sim::step(4);
    EXPECT_EQ(delayList(), (std::vector<Node>{{sems[1], 1}, {sems[0], 0}, {sems[4], 4}}));
    sim::step(5);
    EXPECT_EQ((std::vector<uint64_t>{wokeAt[0], wokeAt[1], wokeAt[2], wokeAt[3], wokeAt[4]}),
              (std::vector<uint64_t>{t0 + 5, t0 + 5, t0 + 3, t0 + 1, t0 + 9}));
    EXPECT_EQ(raster_taskDelay(nullptr, 5), 0);
}

// Late base ticks are reported a few times per interval, and again once the interval is over.
TEST_F(Raster, LateBaseTicksAreReportedAFewTimesPerInterval) {
    ASSERT_EQ(raster_initializeStep1(), 1);
    auto lateTicks = [](int n) {
        for (int k = 0; k < n; ++k) { // gaps of different lengths: no two lines alike
            tickOn = false;
            sim::step(2 + k);
            tickOn = true;
            sim::step(1);
        }
        std::string out;
        for (const auto& l : logDrain())
            out += l.text + "\n";
        return out;
    };
    sim::step(20);
    EXPECT_EQ("", lateTicks(0)) << "ticks 1 ms apart are on time";
    const std::string late = "notifyRasterTask\\(\\): task overtook itself, last call [0-9]+ us ago!\n";
    EXPECT_TRUE(std::regex_match(
        lateTicks(15),
        std::regex("notifyRasterTask\\(\\): task overtook itself, last call (2999|3000|3001) us ago!\n" +
                   late + late)));
    sim::step(10000);
    EXPECT_TRUE(std::regex_match(
        lateTicks(1), std::regex("Syslogx message 0x[0-9a-f]{8}: 12 similar messages suppressed\n" + late)));
}

// The notify task held up for six ticks: the base tick merged them, the clock did not.
TEST_F(Raster, TicksGivenWhileTheNotifyTaskCouldNotRunAreReleasedAndCounted) {
    ASSERT_EQ(hook("r1", 1), 1);
    ASSERT_EQ(hook("r3", 3), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    SEM_ID delaySem = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    std::atomic<uint64_t> woke{0};
    const uint64_t t0 = sim::ticks();
    taskSpawnFn("sleeper", 100, 0, 0, [&] {
        if (raster_taskDelay(delaySem, 5) == 1) woke = tick64Get();
    });
    sim::waitIdle();
    const TASK_ID notify = taskNameToId("r_notifyRasterTask");
    ASSERT_EQ(taskSuspend(notify), OK); // honoured at its next wait: the delay list's mutex
    sim::step(7);
    EXPECT_EQ(runs[0].load(), 1);
    ASSERT_EQ(taskResume(notify), OK);
    sim::waitIdle();
    EXPECT_EQ(runs[0].load(), 7);
    EXPECT_EQ(runs[1].load(), 2);
    EXPECT_EQ(raster_getTickCounter(1), 1);
    EXPECT_EQ(woke.load(), t0 + 7) << "the delay ran out during the stall";
    int late = 0;
    for (const auto& l : logDrain())
        late += l.text.find("task overtook itself, last call 6000 us ago!") != std::string::npos;
    EXPECT_EQ(late, 1);
    // A give for a tick already read off the clock (it came in after the stall) releases nothing.
    semGive(semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, 0, 0));
    sim::waitIdle();
    EXPECT_EQ(runs[0].load(), 7);
    sim::step(2);
    EXPECT_EQ(runs[0].load(), 9);
    EXPECT_EQ(runs[1].load(), 3);
}

// After a stall of the notify task the ticks it makes up for are each late from their own tick:
// one release a tick, 24 ms down to 0 ms late, and the maximum beyond the histogram's 20 ms exact.
TEST_F(Raster, TicksMadeUpForAfterAStallAreEachLateFromTheirOwnTick) {
    ASSERT_EQ(hook("r1", 1), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(2);
    sim::Lateness l;
    ASSERT_TRUE(sim::lateness("r_r1", &l)); // starts the count
    sim::step(1);                           // a wait begun before it is not counted
    ASSERT_TRUE(sim::lateness("r_r1", &l));
    sim::step(3);
    ASSERT_TRUE(sim::lateness("r_r1", &l));
    EXPECT_EQ(l.samples, 3u);
    EXPECT_EQ(l.maxUs, 0.0) << "released on their ticks";
    const TASK_ID notify = taskNameToId("r_notifyRasterTask");
    ASSERT_EQ(taskSuspend(notify), OK); // honoured after the next tick's releases
    sim::step(26);
    ASSERT_EQ(taskResume(notify), OK);
    sim::waitIdle();
    EXPECT_EQ(runs[0].load(), 2 + 1 + 3 + 26);
    ASSERT_TRUE(sim::lateness("r_r1", &l));
    EXPECT_EQ(l.samples, 26u);
    EXPECT_EQ(l.maxUs, 24000.0);
    EXPECT_EQ(l.overPeriod, 23u) << "2 to 24 ms late";
    EXPECT_EQ(l.p50Us, 11000.0) << "0, 0, 1 ... 24 ms: the 13th";
    EXPECT_EQ(l.p99Us, 24000.0);
    ASSERT_TRUE(sim::lateness("r_r1", &l));
    EXPECT_EQ(l.samples, 0u);
    EXPECT_EQ(l.maxUs, 0.0) << "the maximum starts again too";
}

// The run time between the two points of the body, the backlog of three behind the first run, then
// cleared maxima.
TEST_F(Raster, StatisticsKeepRunTimesAndBacklog) {
    ASSERT_EQ(hook("stats", -5,
                   [](int slot) {
                       raster_setRuntime(uint32_t(slot), 0);
                       taskDelay(3);
                       raster_setRuntime(uint32_t(slot), 1);
                   }),
              1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    for (int i = 0; i < 4; ++i)
        raster_triggerTask(-5);
    sim::step(15);
    testing::internal::CaptureStdout();
    raster_printStatus();
    raster_clearTaskMax();
    raster_printStatus();
    EXPECT_TRUE(std::regex_search(
        testing::internal::GetCapturedStdout(),
        std::regex("\"r_stats\"  semMax:03:\n       Runtime Current: (00002999|00003000|00003001)"
                   "( 00000000){6}[^]*\"r_stats\"  semMax:00:\n.*\n       Runtime Max    : 00000000 ")));
}

// Fed while backlogs stay under their limits; each episode reported once, when it ends; withheld
// while a raster is blocked past its limit, "WATCHDOG" itself included (limit 3).
TEST_F(Raster, Watchdog) {
    ASSERT_EQ(hook("gate", -5, gated, 30), 1);  // slot 0
    ASSERT_EQ(raster_initializeStep1(), 1);     // "WATCHDOG": slot 1
    ASSERT_EQ(hook("other", -6, gated, 10), 1); // slot 2
    sim::step(100);
    EXPECT_NEAR(feeds.load(), 10, 1);
    backlog(0, -5, 20); // 20 of 30
    backlog(2, -6, 8);  // 8 of 10
    int before = feeds;
    sim::step(10);
    EXPECT_EQ(feeds.load(), before + 1);
    EXPECT_TRUE(logDrain().empty()) << "no line while under the limit";
    semGive(gates[2]); // "other" drains, the gate raster stays blocked
    sim::step(10);
    expectOnlyLine(LOG_DEBUG,
                   "raster_watchdogTask(): Raster Watchdog semaphore exceeded for Idx 2 (r_other         : "
                   "Rate:-6) (Count: 8,max 10)");
    semGive(gates[0]);
    sim::step(10);
    expectOnlyLine(LOG_DEBUG, "for Idx 0 (r_gate          : Rate:-5) (Count: 20,max 30)");
    backlog(0, -5, 31);
    before = feeds;
    sim::step(100);
    EXPECT_EQ(feeds.load(), before) << "a backlog over the limit starves the watchdog";
    expectOnlyLine(LOG_DEBUG,
                   "raster_watchdogTask(): Raster 'r_gate' (cycle-5) Watchdog semaphore exceeded (limit 30)");
    semGive(gates[0]);
    sim::step(10);
    EXPECT_EQ(feeds.load(), before + 1);
    expectOnlyLine(LOG_ERR, "(Count: 31,max 30)"); // the backlog reached its limit
    blockNext[RASTER_MAX_TASKS] = true;            // held in its feed for 70 ms: more than 3 releases behind
    sim::step(70);
    semGive(gates[RASTER_MAX_TASKS]);
    sim::step(1);
    const auto lines = logDrain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text,
              "raster_watchdogTask(): Raster 'r_WATCHDOG' (cycle10) Watchdog semaphore exceeded (limit 3)");
    EXPECT_NE(lines[1].text.find("for Idx 1 (r_WATCHDOG      : Rate:10)"), std::string::npos)
        << lines[1].text;
}

// A raster that keeps falling behind is told of a few times per interval, and again once the
// interval is over with a count of what was left out; another raster's first backlog still comes
// within that interval.
TEST_F(Raster, WatchdogLinesOfARasterThatKeepsFallingBehindAreFewPerIntervalAndAnothersStillCome) {
    ASSERT_EQ(hook("gate", -5, gated, 30), 1);  // slot 0
    ASSERT_EQ(raster_initializeStep1(), 1);     // "WATCHDOG": slot 1
    ASSERT_EQ(hook("other", -6, gated, 10), 1); // slot 2
    auto episode = [](int slot, int32_t event, int pending) {
        backlog(slot, event, pending);
        sim::step(10);
        semGive(gates[slot]);
        sim::step(10);
        std::vector<std::string> out;
        for (const auto& l : logDrain())
            out.push_back(l.text);
        return out;
    };
    sim::step(20);
    logDrain();
    std::vector<std::string> lines;
    for (int i = 0; i < 6; ++i) // 16 to 21 behind: no two lines alike
        for (std::string& l : episode(0, -5, 16 + i))
            lines.push_back(std::move(l));
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(lines[static_cast<size_t>(i)].find(
                      "for Idx 0 (r_gate          : Rate:-5) (Count: " + std::to_string(16 + i) + ",max 30)"),
                  std::string::npos)
            << lines[static_cast<size_t>(i)];
    lines = episode(2, -6, 8);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("for Idx 2 (r_other         : Rate:-6) (Count: 8,max 10)"), std::string::npos);
    EXPECT_TRUE(episode(0, -5, 31).empty()) << "past its limit, still within the interval";
    sim::step(10000);
    lines = episode(0, -5, 20);
    ASSERT_EQ(lines.size(), 2u);
    // three episodes' lines, and the line past the limit with its episode's
    EXPECT_TRUE(std::regex_match(lines[0],
                                 std::regex("Syslogx message 0x[0-9a-f]{8}: 5 similar messages suppressed")))
        << lines[0];
    EXPECT_NE(lines[1].find("for Idx 0 (r_gate          : Rate:-5) (Count: 20,max 30)"), std::string::npos);
}

// Limit 5: an episode starts above 3, half the limit rounded up; a backlog that reaches the limit
// without passing it still feeds the watchdog and is reported as an error.
TEST_F(Raster, WatchdogEpisodesStartAboveHalfTheLimitRoundedUpAndReachingTheLimitIsAnError) {
    ASSERT_EQ(hook("odd", -5, gated, 5), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    backlog(0, -5, 3);
    sim::step(20);
    semGive(gates[0]);
    sim::step(20);
    EXPECT_TRUE(logDrain().empty()) << "3 of 5 is no episode";
    backlog(0, -5, 5);
    const int before = feeds;
    sim::step(20);
    EXPECT_EQ(feeds.load(), before + 2);
    semGive(gates[0]);
    sim::step(20);
    expectOnlyLine(LOG_ERR, "for Idx 0 (r_odd           : Rate:-5) (Count: 5,max 5)");
}

TEST_F(Raster, ShutdownStopsReleasesAndGivesUpAfterSixtyTicks) {
    ASSERT_EQ(hook("tick", 1), 1);
    ASSERT_EQ(hook("stuck", -5, gated), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(10);
    backlog(1, -5, 0); // blocked for good
    std::atomic<bool> done{false};
    taskSpawnFn("stopper", 50, 0, 0, [&done] {
        raster_shutdown();
        done = true;
    });
    sim::waitIdle();
    EXPECT_EQ(shutdownCalls.load(), 1);
    const int ticksRun = runs[0];
    sim::step(59);
    EXPECT_FALSE(done.load());
    EXPECT_EQ(runs[0].load(), ticksRun) << "no releases after the stop";
    EXPECT_EQ(raster_triggerTask(-5), 0);
    sim::step(1);
    EXPECT_TRUE(done.load());
    expectOnlyLine(LOG_ERR, "raster_shutdown: 1 task(s) are not finished yet... giving up");
}

} // namespace
