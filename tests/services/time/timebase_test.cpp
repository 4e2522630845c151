#include "services/time/time_util.h"

#include "support/logcapture.h"
#include "platform/hw/hw_sim.h"
#include "platform/os/sim.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

constexpr uintptr_t GTIMER = 0xF8F00200;
std::atomic<uint64_t> count{0};
std::atomic<uint64_t> advancePerRead{0};
std::atomic<int> reads{0};

// A global timer whose count the test sets; each register read can move it on.
struct TimeBase : ::testing::Test {
    void SetUp() override {
        count = 0;
        advancePerRead = 0;
        reads = 0;
        hwsim::addDevice(
            GTIMER, 8, [](uintptr_t off) { return half(off, count.fetch_add(advancePerRead)); }, nullptr);
    }
    void TearDown() override {
        hwsim::addDevice(
            GTIMER, 8, [](uintptr_t off) { return half(off, osHwTimeNs() / 3); }, nullptr);
    }
    static uint32_t half(uintptr_t off, uint64_t c) {
        ++reads;
        return off == 0 ? static_cast<uint32_t>(c) : static_cast<uint32_t>(c >> 32);
    }
};

TEST_F(TimeBase, CarryBetweenTheHalvesIsNeverSeen) {
    count = 0xFFFFFFFFull; // the low word wraps between the first two reads
    advancePerRead = 1;
    const uint64_t v = timecpu_getHWticks();
    EXPECT_GE(v, 0x100000000ull);
    EXPECT_LT(v, 0x100000008ull);
    EXPECT_EQ(reads.load(), 6) << "one retry";
}

TEST_F(TimeBase, UnitsAndElapsedStamps) {
    count = 0x100000000ull + 333333; // 12 885 901 887 ns
    timespec t{};
    timecpu_getTimeElapsed(&t);
    EXPECT_EQ(
        std::tuple(time_get_time_ns_u64(), time_get_time_us(), time_get_time_100us(), time_get_time_ms()),
        std::tuple(12885901887ull, 12885901ull, 128859ull, 12885ull));
    EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec), std::tuple(12, 885901887L));

    count = 1000;
    timeDT stamp = 0;
    EXPECT_EQ(timeDT_Init(&stamp), 1000u);
    count = 1000 + 3000000; // 9 ms later
    EXPECT_EQ(timeDT_GetElapsed_us(&stamp, 0), 9000u);
    EXPECT_EQ(timeDT_GetElapsed_ms(&stamp, 1), 9u);
    EXPECT_EQ(stamp, 3001000u);
    count = 3001000 + 333;
    EXPECT_EQ(timeDT_GetElapsed_us(&stamp, 0), 0u); // 999 ns
    EXPECT_EQ(timeDT_GetElapsed_Ticks(&stamp, 1), 333u);
    EXPECT_EQ(timeDT_GetElapsed_Ticks(&stamp, 1), 0u);
}

TEST(DiffTime, BorrowAndNegativeResults) {
    const timespec cases[][3] = {
        {{5, 100}, {4, 200}, {0, 999999900L}},
        {{4, 0}, {5, 0}, {0, 0}}, // negative: 0
        {{5, 100}, {5, 200}, {0, 0}},
    };
    testing::internal::CaptureStdout();
    for (auto [a, b, want] : cases) {
        timespec out{7, 7};
        clock_difftime(&a, &b, &out);
        EXPECT_EQ(std::tuple(out.tv_sec, out.tv_nsec), std::tuple(want.tv_sec, want.tv_nsec)) << a.tv_sec;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "clock_difftime() calculated negative time \nclock_difftime() calculated negative time \n");
    timespec a{10, 5}, b{3, 7};
    clock_difftime(&a, &b, &a); // the result may replace an operand
    EXPECT_EQ(std::tuple(a.tv_sec, a.tv_nsec), std::tuple(6, 999999998L));
}

TEST(ApplTime, CountsFromStartUp) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    testsupport::logStart();
    time_util_reset();
    timespec t{1, 1};
    clock_appltime(&t);
    EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec), std::tuple(0, 0));
    auto lines = testsupport::logDrain();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "clock_appltime: start time not set");

    time_util_ini();
    sim::step(1500);
    clock_appltime(&t);
    EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec), std::tuple(1, 500000000L));
    EXPECT_EQ(raster2rate(11), -1) << "the lap-synchronous raster has no period";
}

} // namespace
