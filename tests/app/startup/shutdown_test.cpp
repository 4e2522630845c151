#include "app/startup/startup.h"
#include "logging/measapp/measapp.h"
#include "platform/os/sim.h"
#include "services/rtpman/rtpman.h"
#include "services/sysrole/sysrole.h"
#include "support/stepped.h"

#include <atomic>

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

} // namespace
