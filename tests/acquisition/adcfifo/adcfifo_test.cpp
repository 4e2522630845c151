// The ADC FIFO and soft scheduler on the simulated board, a pass at a time: stimulus to slot to
// rasters in order to copy; overflow and recovery; a failed wait; re-phasing; the getters; and
// range monitoring. Then both tasks on the base tick.
#include "acquisition/adc/adc.h"
#include "services/timeserv/timeserv.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/board/board.h"
#include "platform/timemod/timemod_sim.h"
#include "services/timemod/timemod.h"
#include "platform/hw/board_sim.h"
#include "support/errors.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <atomic>
#include <thread>

using testsupport::errors;

namespace {

// What the scheduler called: one pass per entry, "s3 c3 a" for raster 3 with the adjustment.
struct Pass {
    uint32_t ts = 0;
    std::string calls;
    float unfil0 = 0;
};
std::mutex passesMutex;
std::vector<Pass> passes;

void schedCall(uint16_t raster, uint32_t ts) {
    std::lock_guard<std::mutex> g(passesMutex);
    if (raster == 0) passes.push_back({ts, "", adc_get_adc_unfil_sync(0)});
    passes.back().calls.append("s").append(std::to_string(raster)).append(" ");
    EXPECT_EQ(passes.back().ts, ts);
}
void measCopy(int raster, uint32_t) {
    std::lock_guard<std::mutex> g(passesMutex);
    passes.back().calls.append("c").append(std::to_string(raster)).append(" ");
}
void adjust() {
    std::lock_guard<std::mutex> g(passesMutex);
    passes.back().calls += "a ";
}

struct Fifo : testsupport::SteppedTest {
    std::vector<uint64_t> storedAt; // tick of each stored slot
    uint64_t measTicks = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard();
        adc_reset();
        adc_fifo_reset(true);
        timeserv_reset(); // a measurement time that counts 1 ms per raster pass from 0
        softSched_setCallees({schedCall, measCopy, adjust});
        passes.clear();
        errors.clear();
    }
    void TearDown() override { adc_fifo_reset(false), SteppedTest::TearDown(); }
    void store(int n) {
        for (int i = 0; i < n; ++i) {
            storedAt.push_back(sim::ticks());
            // The 1 ms raster steps the measurement time (100 us units) before it wakes the
            // input task; unsynchronised, it counts the ticks.
            for (; measTicks < sim::ticks(); ++measTicks)
                timeserv_MeasTime_1ms();
            adc_fifo_inputPass();
            sim::step(1);
        }
    }
    int process() {
        int n = 0;
        while (softSched_step())
            ++n;
        return n;
    }
};

const std::string ALL = "s0 c0 s1 c1 s2 c2 s3 c3 a s4 c4 s5 c5 s6 c6 s7 c7 s8 c8 s9 c9 ";

TEST_F(Fifo, SlotsCarryTheStimulusAndTheRastersRunInOrderOnTheirStamp) {
    hwsim::Stimulus square{hwsim::Stimulus::Square, 1.25, 2.5, 4, {}};
    ASSERT_TRUE(hwsim::setAdcStimulus(0, square));
    store(11);
    EXPECT_EQ(process(), 11);
    ASSERT_EQ(passes.size(), 11u);
    for (size_t i = 0; i < passes.size(); ++i) {
        EXPECT_EQ(passes[i].ts, storedAt[i] * 10) << "the tick count in 100 us";
        EXPECT_EQ(passes[i].unfil0, storedAt[i] % 4 < 2 ? 1250.0f : 2500.0f) << i;
    }
    // n = 0: every raster; 1: raster 0; 2: and 2 ms; 5: and 5 ms; 10: 1, 2, 5, 10 ms, adjustment.
    for (auto [n, calls] : {std::pair<int, std::string>{0, ALL},
                            {1, "s0 c0 "},
                            {2, "s0 c0 s1 c1 "},
                            {5, "s0 c0 s2 c2 "},
                            {10, "s0 c0 s1 c1 s2 c2 s3 c3 a "}})
        EXPECT_EQ(passes[n].calls, calls) << n;
}

TEST_F(Fifo, ALagOf128SkipsToTheOldestIntactSlotOnceKeepingThePhase) {
    store(130);
    EXPECT_EQ(ss_delay, 129);
    EXPECT_EQ(process(), 127) << "slots 3 to 129, none twice";
    EXPECT_EQ(passes.front().ts, storedAt[3] * 10);
    for (const Pass& p : passes)
        EXPECT_EQ(p.calls.find("s3 ") != std::string::npos, (p.ts / 10 - storedAt[0]) % 10 == 0) << p.ts;
    EXPECT_TRUE(logged("adc_calc_meas() timestamp setback / queue overflow!!! old: 0 now: " +
                       std::to_string(storedAt[3] * 10) +
                       " sync: 0, read 0 write 130 (diff 130 vs. Qsz 128)"));
    store(1);
    EXPECT_EQ(process(), 1) << "and on as usual";
}

TEST_F(Fifo, AFailedWaitProcessesNothingAndARephasingCountsThePendingSlots) {
    store(2);
    softSched_failedWait();
    EXPECT_TRUE(logged("adc_calc_meas: semTake 'adc_sem' failed."));
    softSchedSyncTo100ms(1000); // 2 slots pending, the scheduler not ready: 980
    EXPECT_EQ(process(), 2);
    EXPECT_TRUE(logged("SoftSched: jumping to full sync... at " + std::to_string(storedAt[0] * 10) +
                       " sync to 980, cnt 98"));
    ASSERT_EQ(passes.size(), 2u);
    EXPECT_EQ(std::pair(passes[0].ts, passes[0].calls),
              std::pair(uint32_t(storedAt[0] * 10), std::string("s0 c0 s1 c1 ")))
        << "slot 0 first, on tick count 98";
    EXPECT_EQ(passes[1].calls, "s0 c0 ") << "99";

    store(2);
    softSchedSyncTo100ms(15); // 20 back from 15: not below 0
    process();
    EXPECT_TRUE(logged("sync to 0, cnt 0"));
    EXPECT_EQ(passes.back().calls, "s0 c0 ") << "1";
}

TEST_F(Fifo, GettersReadTheSlotsTheyNameAndValuesAreClamped) {
    // Slot k holds 16 k counts on input 0: 16 k x 5000 / 4096 mV.
    auto mv = [](int k) { return k * 16 * 5000.0f / 4096.0f; };
    auto counts = [](int k) { return static_cast<uint16_t>(16 * k); };
    for (int k = 0; k < 128; ++k) {
        ASSERT_TRUE(hwsim::setAdcRaw(0, counts(k), counts(k)));
        store(1);
    }
    EXPECT_EQ(adc_get_adc_unfil_newest(0), mv(127)) << "write index 0: the newest is slot 127";
    EXPECT_EQ(process(), 127) << "128 behind: slot 0 may be being written, skipped";
    for (int k = 128; k < 132; ++k) {
        ASSERT_TRUE(hwsim::setAdcRaw(0, counts(k), counts(k)));
        store(1);
    }
    EXPECT_EQ(process(), 4);
    // Read index 3: slots 3, 2, 1, 0 (k = 131 ... 128) and 127 ... 122.
    EXPECT_NEAR(adc_get_adc_unfil_avg10(0), mv(1265) / 10, 0.01);
    EXPECT_EQ(std::pair(adc_get_adcchannel_sync(0), adc_get_adc_unfil_sync(0)), std::pair(mv(131), mv(131)));

    ASSERT_TRUE(hwsim::setAdcRaw(1, 4506, 4506) && hwsim::setAdcRaw(2, 0xFFFF, 0xFFFF)); // 5.5 V, -1.2 mV
    ASSERT_TRUE(hwsim::setRevFrequency(1, 250.0));
    store(1);
    EXPECT_EQ(std::vector({adc_get_adc_unfil_newest(1), adc_get_adcchannel_newest(2),
                           adc_get_frqchannel_newest(1), adc_get_adc_unfil_newest(16),
                           adc_get_frqchannel_newest(4), adc_get_diff_unfil_newest(0)}),
              std::vector({5000.0f, 0.0f, 250.0f, 0.0f, 0.0f, 0.0f}));
}

TEST_F(Fifo, RangeMonitoringSetsAndClearsBelowAndAboveThreshold) {
    adc_rangemon_ini(0, 0x100, 4, 4500, 500);
    adc_rangemon_ini(1, 0x500, 2, 4500, 100); // differential inputs read 0 on this unit
    adc_rangemon_ini(2, 0x100, 16, 4500, 500);
    adc_rangemon_ini(3, 0x600, 8, 4500, 500);
    EXPECT_TRUE(logged("adc_rangemon_ini: no such channel 16 (type 0x0100, entry 2)"));
    EXPECT_TRUE(logged("adc_rangemon_ini: no such channel 8 (type 0x0600, entry 3)"));
    adc_rangemon_100ms();
    EXPECT_TRUE(errors.empty()) << "not enabled";
    adc_rangemon_enable();
    // counts → mV as a signed integer toward zero: 409 → 499, 410 → 500 and 3687 → 4500 (inside, the
    // limits themselves), 3688 → 4501.
    const std::pair<uint16_t, std::vector<std::pair<int, int>>> cycles[] = {
        {409, {{5, 10}}}, {3687, {{5, 0}}}, {3687, {}},      {3688, {{5, 11}}},
        {410, {{5, 0}}},  {409, {{5, 10}}}, {409, {{5, 10}}}};
    for (const auto& [raw, expected] : cycles) {
        ASSERT_TRUE(hwsim::setAdcRaw(4, raw, raw));
        store(1);
        errors.clear();
        adc_rangemon_100ms();
        std::erase(errors, std::pair(67, 10)); // the differential input, every cycle
        EXPECT_EQ(errors, expected) << raw;
    }
    EXPECT_EQ((std::vector<int>{rangemon_adc_low_error_, rangemon_adc_high_error_, rangemon_diff_low_error_}),
              (std::vector<int>{1 << 4, 0, 1 << 2}));
}

// 127 behind, as the scheduler runs under load: the input task's next slot is the one before the
// read index (in the scheduler's mean of ten), the one after it the read index itself. The input
// task stores both in the middle of a pass; the flags between the two are relaxed, so that they
// order nothing and the slots' own accesses must hold.
std::atomic<int> phase{0};
struct Read {
    uint32_t ts;
    float sync, filtered, mean;
};
Read read;

void readThenLetTheInputStore(uint16_t raster, uint32_t ts) {
    if (raster != 0) return;
    read = {ts, adc_get_adc_unfil_sync(0), adc_get_adcchannel_sync(0), adc_get_adc_unfil_avg10(0)};
    if (phase.load(std::memory_order_relaxed) != 0) return; // the first pass only
    phase.store(1, std::memory_order_relaxed);
    while (phase.load(std::memory_order_relaxed) != 2)
        std::this_thread::yield();
}

TEST_F(Fifo, TheSchedulerReadsItsSlotsWhileTheInputTaskStoresOverThem) {
    // Slot k holds 8 k counts on input 0 (k x 8 x 5000 / 4096 mV), the stores over it 4000 counts.
    auto mv = [](int counts) { return counts * 5000.0f / 4096.0f; };
    for (int k = 0; k < 127; ++k) {
        ASSERT_TRUE(hwsim::setAdcRaw(0, static_cast<uint16_t>(8 * k), static_cast<uint16_t>(8 * k)));
        store(1);
    }
    softSched_setCallees({readThenLetTheInputStore, nullptr, nullptr});
    phase.store(0);
    std::thread input([] {
        EXPECT_TRUE(hwsim::setAdcRaw(0, 4000, 4000));
        while (phase.load(std::memory_order_relaxed) != 1)
            std::this_thread::yield();
        for (int i = 0; i < 2; ++i) {
            timeserv_MeasTime_1ms();
            adc_fifo_inputPass();
        }
        phase.store(2, std::memory_order_relaxed);
    });
    EXPECT_TRUE(softSched_step());
    int none = 0;
    phase.compare_exchange_strong(none, 1); // no pass read: the input task ends all the same
    input.join();
    // Read before the stores: slot 0, and the mean of slots 0 and 127 to 119 (none stored yet).
    EXPECT_EQ(read.ts, storedAt[0] * 10);
    EXPECT_EQ(std::pair(read.sync, read.filtered), std::pair(0.0f, 0.0f));
    EXPECT_NEAR(read.mean, mv(8 * (119 + 120 + 121 + 122 + 123 + 124 + 125 + 126)) / 10, 0.01);
    // 128 behind now: slot 1 is the input task's next, slot 2 the oldest one to go on with.
    EXPECT_TRUE(softSched_step());
    EXPECT_EQ(read.ts, storedAt[2] * 10);
    EXPECT_EQ(std::pair(read.sync, read.filtered), std::pair(mv(16), mv(16)));
}

// After the time service's initial sync the 10, 100 and 1000 ms rasters fall on whole multiples
// of their period in measurement time, here a time that is not one of 100 ms.
TEST_F(Fifo, TheTasksStoreAndProcessASlotEveryTickOnTheRephasedGridUntilStopped) {
    adc_fifo_reset(false);
    softSched_setCallees({schedCall, measCopy, adjust});
    timemodsim::install();
    timemodsim::setStatus(TIME_SYNC_FULL);
    timeserv_setSoftSchedSync(softSchedSyncTo100ms);
    startBaseTick();
    adc_fifo_ini();
    start_softSched();
    sim::step(1234);
    timeserv_MeasTime_ini();
    const int hook = sim::addTickHook([](uint64_t) {
        timeserv_MeasTime_1ms(); // the 1 ms raster's order
        adc_fifo_1ms();
    });
    sim::step(1100);
    adc_filter_stop();
    sim::step(5);
    sim::removeTickHook(hook);
    timeserv_setSoftSchedSync(nullptr);
    std::lock_guard<std::mutex> g(passesMutex);
    ASSERT_EQ(passes.size(), 1100u);
    for (size_t i = 0; i < passes.size(); ++i) {
        for (auto [raster, period] : {std::pair{"s3 ", 100u}, {"s6 ", 1000u}, {"s9 ", 10000u}})
            EXPECT_EQ(passes[i].calls.find(raster) != std::string::npos, passes[i].ts % period == 0)
                << passes[i].ts;
        EXPECT_EQ(passes[i].ts, passes[0].ts + 10 * i);
    }
    EXPECT_EQ(ss_delay, 0);
}

} // namespace
