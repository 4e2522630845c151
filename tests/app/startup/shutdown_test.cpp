#include "app/startup/startup.h"
#include "logging/measapp/measapp.h"
#include "platform/os/sim.h"
#include "services/rtpman/rtpman.h"
#include "services/sysrole/sysrole.h"
#include "support/stepped.h"

#include <atomic>
#include <string>

namespace {

using Shutdown = testsupport::SteppedTest;

// A logging application that never takes its fast-stop request (its 1 ms step does not run)
// must not hold the shutdown: the logger wait gives up after 950 ms.
TEST_F(Shutdown, LoggerThatNeverFlushesIsForcedAfter950ms) {
    cfg_system.logging_active = 1;
    std::atomic<bool> done{false};
    uint64_t start = sim::ticks();
    taskSpawnFn("t_shutdown", 100, 0, 0, [&] {
        rtpShutdown();
        done = true;
    });
    sim::step(900);
    EXPECT_FALSE(done.load());
    EXPECT_TRUE(meas_app_get_flags() & MEAS_APP_REQ_FASTSTOP);
    for (int i = 0; i < 400 && !done.load(); ++i)
        sim::step(1);
    ASSERT_TRUE(done.load());
    uint64_t took = sim::ticks() - start;
    // 950 ms of waiting, then a fifth of a second, then the raster stop
    EXPECT_GE(took, 950u + 200u);
    EXPECT_LE(took, 950u + 200u + 2u + 60u);

    EXPECT_TRUE(logged("LoggerShutdown(): timeout occurred (state 0) force shutdown after 950ms"));
    EXPECT_FALSE(logged("LoggerShutdown(): shutdown finished"));
    EXPECT_EQ(isRtpShutdownStarted(), 1);
}

// Runs the shutdown on a task of its own; `done` is set when it returns.
void startShutdown(std::atomic<bool>& done) {
    taskSpawnFn("t_shutdown", 100, 0, 0, [&done] {
        rtpShutdown();
        done = true;
    });
}

// The wait gives up once 950 ms have passed, then waits a fifth of a second before the rasters
// are stopped.
TEST_F(Shutdown, LoggerWaitGivesUpWhen950msHavePassed) {
    cfg_system.logging_active = 1;
    std::atomic<bool> done{false};
    startShutdown(done);
    sim::step(949);
    EXPECT_FALSE(logged("LoggerShutdown(): timeout occurred"));
    sim::step(1);
    EXPECT_TRUE(logged("LoggerShutdown(): timeout occurred (state 0) force shutdown after 950ms"));
    sim::step(199);
    EXPECT_FALSE(done.load());
    sim::step(1);
    EXPECT_TRUE(done.load()) << "no raster to wait for";
}

// A logger with nothing to flush (this unit does not log) still gets its fifth of a second, and
// the closing line tells the time the shutdown took. Last: the logger's state is kept for the
// process's one shutdown, and this one ends it flushed.
TEST_F(Shutdown, QuickShutdownWaitsAFifthOfASecondAndReportsItsTime) {
    meas_app_reset(); // the fast stops asked for before
    cfg_system.logging_active = 0;
    std::atomic<bool> done{false};
    const uint64_t start = sim::ticks();
    startShutdown(done);
    for (int i = 0; i < 400 && !done.load(); ++i)
        sim::step(1);
    ASSERT_TRUE(done.load());
    const uint64_t took = sim::ticks() - start;
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, 210u);
    EXPECT_TRUE(logged("LoggerShutdown(): shutdown finished, took " + std::to_string(took) + "ms"));
    EXPECT_FALSE(logged("LoggerShutdown(): timeout occurred"));
}

} // namespace
