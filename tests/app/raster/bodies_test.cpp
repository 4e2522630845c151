#include "services/raster/fixture.h"

#include "app/raster/bodies.h"

#include "services/time/time_util.h"

namespace {

// Over `runs` runs, raster index r is served every `every` runs, evenly spaced.
void expectEvenRate(bool (*due)(uint32_t, int), int r, uint32_t every) {
    const uint32_t runs = 100000;
    uint32_t served = 0, last = 0;
    for (uint32_t c = 0; c < runs; ++c) {
        if (!due(c, r)) continue;
        if (served++) {
            ASSERT_EQ(c - last, every) << "raster index " << r;
        }
        last = c;
    }
    EXPECT_EQ(served, runs / every) << "raster index " << r;
}

TEST(RasterBodies, PhaseCountersServeEachRasterAtItsRate) {
    // The measurement raster runs every 1 ms, the Ethernet senders every 10 ms.
    for (int r = 0; r <= 9; ++r) {
        const auto ms = static_cast<uint32_t>(raster2rate(r));
        expectEvenRate(rMeasure_due, r, ms);
        expectEvenRate(rEthSend_due, r, std::max(1u, ms / 10));
        if (r >= 2) {
            EXPECT_FALSE(rMeasure_due(0, r)) << "the slow rasters are spread over the runs";
        }
    }
    expectEvenRate(rMeasure_due, 10, 2);
    expectEvenRate(rEthSend_due, 10, 1);
    for (int r : {11, 12}) {
        expectEvenRate(rMeasure_due, r, 100);
        expectEvenRate(rEthSend_due, r, 10);
    }
    EXPECT_FALSE(rMeasure_due(0, 13));
}

using Framework = RasterTest;

TEST_F(Framework, ApplicationRastersRunAndKeepTheWatchdogFed) {
    ASSERT_EQ(framework_initialize(), 1);
    ASSERT_EQ(raster_initializeStep1(), 1);
    EXPECT_EQ(raster_getTickCounter(15), 0) << "WATCHDOG after the 15 application rasters";
    EXPECT_EQ(raster_getTickCounter(16), -1);
    for (const char* n : {"r_r1ms", "r_r1000ms", "r_rEthSend_offline", "r_rMeas", "r_sbLapPer", "r_Lap"})
        EXPECT_NE(taskNameToId(n), TASK_ID_NULL) << n;

    sim::step(1000);
    EXPECT_NEAR(feeds.load(), 100, 1);
    EXPECT_EQ(raster_triggerTask(RASTER_EVENT_LAP), 1);
    EXPECT_EQ(raster_triggerTask(RASTER_EVENT_LAP_SB_PER), 1);
    sim::step(10);
    for (const auto& l : logDrain())
        ADD_FAILURE() << l.priority << " " << l.text;
}

} // namespace
