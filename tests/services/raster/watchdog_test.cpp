#include "fixture.h"

namespace {

constexpr int32_t GATE_EVENT = -5;

struct Watchdog : RasterTest {
    void SetUp() override {
        RasterTest::SetUp();
        ASSERT_EQ(hook("gate", GATE_EVENT, Bodies::gated, 30), 1); // slot 0
        ASSERT_EQ(raster_initializeStep1(), 1);                    // WATCHDOG: slot 1
    }
};

TEST_F(Watchdog, FedWhileUnderTheLimitAndReportedOnceTheBacklogDrains) {
    sim::step(100);
    EXPECT_NEAR(feeds.load(), 10, 1);

    backlog(0, GATE_EVENT, 20); // 20 of 30
    const int before = feeds;
    sim::step(10);
    EXPECT_EQ(feeds.load(), before + 1);
    EXPECT_TRUE(logDrain().empty()) << "no line while under the limit";
    semGive(Bodies::gates[0]);
    sim::step(10);
    EXPECT_EQ(Bodies::runs[0].load(), 21);
    expectOnlyLine(LOG_DEBUG,
                   "raster_watchdogTask(): Raster Watchdog semaphore exceeded for Idx 0 (r_gate          : "
                   "Rate:-5) (Count: 20,max 30)");
    sim::step(50);
    EXPECT_TRUE(logDrain().empty()) << "an episode is reported once";
}

TEST_F(Watchdog, WithheldWhileARasterIsBlockedPastItsLimit) {
    sim::step(20);
    backlog(0, GATE_EVENT, 31);
    const int before = feeds;
    sim::step(100);
    EXPECT_EQ(feeds.load(), before) << "a backlog over the limit starves the watchdog";
    // the limit line comes once per episode
    expectOnlyLine(LOG_DEBUG,
                   "raster_watchdogTask(): Raster 'r_gate' (cycle-5) Watchdog semaphore exceeded (limit 30)");

    semGive(Bodies::gates[0]);
    sim::step(10);
    EXPECT_EQ(feeds.load(), before + 1);
    expectOnlyLine(LOG_ERR, "(Count: 31,max 30)", true); // the backlog reached its limit
}

TEST_F(Watchdog, AnEpisodeIsReportedWhenItEndsNotWhenAnotherOneDoes) {
    ASSERT_EQ(hook("other", -6, Bodies::gated, 10), 1); // slot 2
    backlog(0, GATE_EVENT, 20);                         // 20 of 30
    backlog(2, -6, 8);                                  // 8 of 10
    sim::step(10);
    semGive(Bodies::gates[2]); // "other" drains, the gate raster stays blocked
    sim::step(10);
    expectOnlyLine(-1, "for Idx 2 (r_other         : Rate:-6) (Count: 8,max 10)", true);

    semGive(Bodies::gates[0]);
    sim::step(10);
    expectOnlyLine(-1, "for Idx 0 (r_gate          : Rate:-5) (Count: 20,max 30)", true);
}

using Shutdown = RasterTest;

TEST_F(Shutdown, StopsReleasesAndGivesUpAfterSixtyTicks) {
    ASSERT_EQ(hook("tick", 1), 1);
    ASSERT_EQ(hook("stuck", GATE_EVENT, Bodies::gated), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(10);
    backlog(1, GATE_EVENT, 0); // blocked for good

    std::atomic<bool> done{false};
    startShutdown(done);
    EXPECT_EQ(shutdownCalls.load(), 1);
    const int ticksRun = Bodies::runs[0];
    sim::step(59);
    EXPECT_FALSE(done.load());
    EXPECT_EQ(Bodies::runs[0].load(), ticksRun) << "no releases after the stop";
    EXPECT_EQ(raster_triggerTask(GATE_EVENT), 0);
    sim::step(1);
    EXPECT_TRUE(done.load());
    expectOnlyLine(LOG_ERR, "raster_shutdown: 1 task(s) are not finished yet... giving up");
}

TEST_F(Shutdown, IdleRastersStopAtOnce) {
    ASSERT_EQ(hook("tick", 1), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    sim::step(25);
    std::atomic<bool> done{false};
    startShutdown(done);
    EXPECT_TRUE(done.load());
    EXPECT_TRUE(logDrain().empty());
}

} // namespace
