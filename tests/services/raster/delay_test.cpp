#include "fixture.h"

namespace {

using DelayList = RasterTest;
using Node = std::pair<SEM_ID, int32_t>;

SEM_ID sems[4];
std::atomic<uint64_t> wokeAt[4];

void sleeper(int i, int32_t ticks) {
    sems[i] = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    wokeAt[i] = 0;
    taskSpawnFn(numbered("sleeper", i).c_str(), 100, 0, 0, [i, ticks] {
        if (raster_taskDelay(sems[i], ticks) == 1) wokeAt[i] = tick64Get();
    });
    sim::waitIdle(); // one request after the other, all on one tick
}

std::vector<Node> delayList() {
    SEM_ID s[8];
    int32_t t[8];
    const int n = raster_getDelayList(s, t, 8);
    std::vector<Node> v;
    for (int i = 0; i < n; ++i)
        v.emplace_back(s[i], t[i]);
    return v;
}

// Before step 1: the base tick drives the delay list from step 0 on.
TEST_F(DelayList, EqualDeadlinesWakeInReverseOrderOfRequest) {
    const uint64_t t0 = sim::ticks();
    sleeper(0, 5);
    sleeper(1, 5);
    sleeper(2, 3);
    EXPECT_EQ(delayList(), (std::vector<Node>{{sems[2], 3}, {sems[1], 2}, {sems[0], 0}}));
    sim::step(3);
    EXPECT_EQ(wokeAt[2].load(), t0 + 3);
    EXPECT_EQ(wokeAt[1].load(), 0u);
    sim::step(1);
    // Given in list order on the tick they share: the second request before the first.
    EXPECT_EQ(delayList(), (std::vector<Node>{{sems[1], 1}, {sems[0], 0}}));
    sim::step(1);
    EXPECT_EQ(wokeAt[1].load(), t0 + 5);
    EXPECT_EQ(wokeAt[0].load(), t0 + 5);
    EXPECT_TRUE(delayList().empty());
    EXPECT_EQ(raster_taskDelay(nullptr, 5), 0);
}

TEST_F(DelayList, AZeroTickRequestDelaysNoOneElse) {
    const uint64_t t0 = sim::ticks();
    sleeper(0, 2);
    sleeper(1, 9);
    sleeper(2, 4);
    sleeper(3, -3); // counts as 0
    EXPECT_EQ(delayList(), (std::vector<Node>{{sems[3], 0}, {sems[0], 2}, {sems[2], 2}, {sems[1], 5}}));
    sim::step(9);
    EXPECT_EQ(wokeAt[3].load(), t0 + 1);
    EXPECT_EQ(wokeAt[0].load(), t0 + 2);
    EXPECT_EQ(wokeAt[2].load(), t0 + 4);
    EXPECT_EQ(wokeAt[1].load(), t0 + 9);
}

TEST_F(DelayList, KeepsCountingOnARephaseTick) {
    ASSERT_EQ(raster_initializeStep1(), 1);
    const uint64_t t0 = sim::ticks();
    sleeper(0, 3);
    rasterTaskSyncTo100ms(10000);
    sim::step(3);
    EXPECT_EQ(wokeAt[0].load(), t0 + 3);
}

} // namespace
