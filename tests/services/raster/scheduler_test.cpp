#include "fixture.h"

#include <regex>

namespace {

using Scheduler = RasterTest;

TEST_F(Scheduler, PeriodicRastersRunOncePerPeriodFromStep1On) {
    const int32_t periods[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 10};
    for (int32_t p : periods)
        ASSERT_EQ(hook(numbered("p", p), p), 1);
    sim::step(50);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(Bodies::runs[i].load(), 0) << "released before step 1";

    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(3000);
    for (int i = 0; i < 11; ++i)
        EXPECT_NEAR(Bodies::runs[i].load(), 3000 / periods[i], 1) << periods[i];
    EXPECT_EQ(Bodies::lastTick[3].load(), Bodies::lastTick[10].load()) << "same period, same tick";
    EXPECT_EQ(Bodies::lastTick[0].load(), Bodies::lastTick[9].load());
    EXPECT_TRUE(logDrain().empty());
}

TEST_F(Scheduler, EventRastersRunOncePerTriggerAfterStep1Only) {
    ASSERT_EQ(hook("lap", RASTER_EVENT_LAP), 1);
    EXPECT_EQ(raster_triggerTask(RASTER_EVENT_LAP), 0);
    sim::step(5);
    EXPECT_EQ(Bodies::runs[0].load(), 0);
    EXPECT_TRUE(logDrain().empty()) << "refused silently before step 1";

    ASSERT_EQ(raster_initializeStep1(), 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(raster_triggerTask(RASTER_EVENT_LAP), 1);
    sim::step(100); // ticks never release event rasters
    EXPECT_EQ(Bodies::runs[0].load(), 3);

    EXPECT_EQ(raster_triggerTask(-9), 0);
    expectOnlyLine(LOG_ERR, "triggerAsyncTask(): Base rate not found in list (-9)");
}

TEST_F(Scheduler, HookRefusesBadLimitsAndA65thRaster) {
    EXPECT_EQ(hook("bad0", 10, Bodies::count, 0), 0);
    EXPECT_EQ(hook("badm2", 10, Bodies::count, -2), 0);
    auto lines = logDrain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text, "raster_hookFunction: Error hooking bad0");
    EXPECT_EQ(lines[1].text, "raster_hookFunction: Error hooking badm2");

    // The refused hooks kept no slot: 64 fit, the 65th does not.
    for (int i = 0; i < RASTER_MAX_TASKS; ++i)
        ASSERT_EQ(hook(numbered("n", i), 1000, Bodies::count, RASTER_NO_LIMIT, i == 3 ? 1 : 40), 1) << i;
    EXPECT_EQ(hook("n64", 1000), 0);
    EXPECT_TRUE(logDrain().empty());
    uint32_t mask = 99;
    ASSERT_EQ(taskCpuAffinityGet(taskNameToId("r_n3"), &mask), OK);
    EXPECT_EQ(mask, 2u);
    ASSERT_EQ(taskCpuAffinityGet(taskNameToId("r_n4"), &mask), OK);
    EXPECT_EQ(mask, 0u) << "processor 40 has no mask bit";
}

TEST_F(Scheduler, RephaseAlignsRastersToTheMeasurementTime) {
    ASSERT_EQ(hook("r2", 2), 1);
    ASSERT_EQ(hook("r10", 10), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(3);
    const int runs2 = Bodies::runs[0];
    const int runs10 = Bodies::runs[1];

    rasterTaskSyncTo100ms(12345); // 1234 ms
    sim::step(1);
    EXPECT_EQ(Bodies::runs[0].load(), runs2 + 1) << "1234 is a multiple of 2: released at once";
    EXPECT_EQ(raster_getTickCounter(1), 4);
    sim::step(5);
    EXPECT_EQ(Bodies::runs[1].load(), runs10);
    sim::step(1);
    EXPECT_EQ(Bodies::runs[1].load(), runs10 + 1) << "released at 1240 ms";
    EXPECT_EQ(Bodies::runs[0].load(), runs2 + 4);
}

void lateTicks(int n, std::atomic<bool>& tickOn) {
    for (int k = 0; k < n; ++k) { // gaps of different lengths: no two lines alike
        tickOn = false;
        sim::step(2 + k);
        tickOn = true;
        sim::step(1);
    }
}

TEST_F(Scheduler, LateBaseTicksAreReportedAFewTimesPerIntervalForEver) {
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(20);
    EXPECT_EQ(countLines(logDrain(), "overtook"), 0) << "ticks 1 ms apart are on time";

    lateTicks(15, tickOn);
    auto lines = logDrain();
    EXPECT_EQ(countLines(lines, "notifyRasterTask(): task overtook itself, last call "), 3);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_TRUE(
        std::regex_match(lines[0].text, std::regex("notifyRasterTask\\(\\): task overtook itself, last call "
                                                   "(2999|3000|3001) us ago!")))
        << lines[0].text;

    // Ten seconds later the condition is still reported, after a count of what was swallowed.
    sim::step(10000);
    lateTicks(1, tickOn);
    lines = logDrain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0].text,
                                 std::regex("Syslogx message 0x[0-9a-f]{8}: 12 similar messages suppressed")))
        << lines[0].text;
    EXPECT_EQ(countLines(lines, "task overtook itself"), 1);
}

// The notify task held up for six ticks: the base tick merged them, the clock did not.
TEST_F(Scheduler, TicksGivenWhileTheNotifyTaskCouldNotRunAreReleasedAndCounted) {
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
    EXPECT_EQ(Bodies::runs[0].load(), 1);
    ASSERT_EQ(taskResume(notify), OK);
    sim::waitIdle();
    EXPECT_EQ(Bodies::runs[0].load(), 7);
    EXPECT_EQ(Bodies::runs[1].load(), 2);
    EXPECT_EQ(raster_getTickCounter(1), 1);
    EXPECT_EQ(woke.load(), t0 + 7) << "the delay ran out during the stall";
    EXPECT_EQ(countLines(logDrain(), "task overtook itself, last call 6000 us ago!"), 1);
    // A give for a tick already read off the clock (it came in after the stall) releases nothing.
    semGive(semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, 0, 0));
    sim::waitIdle();
    EXPECT_EQ(Bodies::runs[0].load(), 7);
    sim::step(2);
    EXPECT_EQ(Bodies::runs[0].load(), 9);
    EXPECT_EQ(Bodies::runs[1].load(), 3);
}

void measuredBody(int slot) {
    raster_setRuntime(static_cast<uint32_t>(slot), 0);
    taskDelay(3);
    raster_setRuntime(static_cast<uint32_t>(slot), 1);
}

TEST_F(Scheduler, StatisticsKeepRunTimesAndBacklog) {
    ASSERT_EQ(hook("stats", -5, measuredBody), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    for (int i = 0; i < 4; ++i)
        raster_triggerTask(-5);
    sim::step(15);
    raster_setRuntime(0, RASTER_RUNTIME_POINTS); // out of range: ignored
    raster_setSemMaxValue(RASTER_MAX_TASKS, 7);

    testing::internal::CaptureStdout();
    raster_printStatus();
    raster_clearTaskMax();
    raster_printStatus();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string run = "(00002999|00003000|00003001)";
    const std::string stats = "\nIDX:00 Task:\"r_stats\"  semMax:0([03]):\n       Runtime Current: " + run +
                              "( 00000000){6}\n       Runtime Max    : ([0-9]{8})( 00000000){6}";
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(out, m,
                          std::regex("^\nRaster Task Information:\n" + stats +
                                     "\nIDX:01 Task:\"r_WATCHDOG\"[^]*?\n\nRaster Task Information:\n" +
                                     stats + "\nIDX:01[^]*\n$")))
        << out;
    EXPECT_EQ(m[1], "3") << "three releases waited behind the first run";
    EXPECT_NE(m[4], "00000000");
    EXPECT_EQ(m[6], "0");
    EXPECT_EQ(m[9], "00000000") << "cleared maximum";
}

} // namespace
