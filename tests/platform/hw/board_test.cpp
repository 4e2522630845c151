#include "platform/hw/board_sim.h"
#include "platform/hw/hw.h"
#include "support/stepped.h"

#include <chrono>
#include <cmath>
#include <sched.h>
#include <set>
#include <tuple>
#include <thread>

namespace {

using namespace zynq;

struct SimulatedBoard : ::testing::Test {
    void SetUp() override { hwsim::installBoard(); } // also restarts the count of converter starts
    static uint32_t adc(uintptr_t off) { return hw_read32(ADC_BASE + off); }
    static uint32_t gpio(uintptr_t off) { return hw_read32(GPIO_BASE + off); }
};

TEST_F(SimulatedBoard, AnalogCountsAndGpioMaskedWritesAlsoWithAnotherThread) {
    for (auto [volts, counts] :
         {std::pair{2.5, 0x800u}, {-0.001220703125, 0xFFFFu}, {1.0003, 819u}, {-50.0, 0x8000u}}) {
        ASSERT_TRUE(hwsim::setAdcChannel(31, volts));
        EXPECT_EQ(std::pair(adc(ADC_REG_FILTERED + 4 * 31), adc(ADC_REG_UNFILTERED + 4 * 31)),
                  std::pair(counts, counts));
    }
    EXPECT_FALSE(hwsim::setAdcChannel(32, 1.0) || hwsim::setAdcChannel(0, std::nan("")));

    // All outputs, enabled; every low pin high; pin 0 low, the rest kept; pin 16 high.
    const int b = GPIO_DOUT_BANK;
    const uintptr_t regs[] = {GPIO_DIRM(b), GPIO_OEN(b), GPIO_MASK_DATA_LSW(b), GPIO_MASK_DATA_LSW(b),
                              GPIO_MASK_DATA_LSW(b) + 4};
    const uint32_t values[] = {0xFFF, 0xFFF, 0x0000FFFF, 0xFFFE0000, 0xFFFE0001};
    for (int i = 0; i < 5; ++i)
        hw_write32(GPIO_BASE + regs[i], values[i]);
    EXPECT_EQ(gpio(GPIO_DATA(b)), 0x1FFFEu);
    EXPECT_EQ(gpio(GPIO_DATA_RO(b)), 0xFFEu) << "only the pins set as outputs show their level";
    EXPECT_TRUE(hwsim::digitalOut(11));
    hw_write32(GPIO_BASE + GPIO_OEN(b), 0x7FF);
    EXPECT_FALSE(hwsim::digitalOut(11)) << "output disabled";

    // Setters and devices may run in different threads.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            hwsim::setDigitalIn(i % 9, i & 1), hwsim::setAdcChannel(i % 32, (i % 100) * 0.05);
    });
    for (int i = 0; i < 20000; ++i) {
        hw_write32(GPIO_BASE + GPIO_MASK_DATA_LSW(3), 0xFFFE0000u | (i & 1));
        (void)gpio(GPIO_DATA_RO(GPIO_DIN_BANK)), (void)adc(ADC_REG_FILTERED + 4 * (i % 32));
    }
    stop = true, writer.join();
}

// Cores without functions of their own are plain register files: the application reads and
// writes them while the clock and the control channel's setters work on them in other threads.
TEST_F(SimulatedBoard, PlainRegisterFilesAreSharedWithTheSettersAndTheClock) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    const uintptr_t temp = XADC_BASE + XADC_REGS[0].offset;
    std::atomic<bool> stop{false};
    std::thread outside([&] {
        double duty, hz;
        uint32_t rgb;
        for (uint32_t i = 0; !stop; ++i) {
            hwsim::setXadcWord(XADC_REGS[0].offset, i & 0xFFF0);
            hwsim::setFpgaIdentity(hwsim::BOARD_FPGA_ID, i);
            hwsim::setRevFrequency(0, 50.0 + i % 100);
            hwsim::setPwmFault(i % 8, i & 1);
            hwsim::pwmOutput(1, &duty, &hz), hwsim::ledColour(1, 0, &rgb);
            sim::step(1); // the rotational-speed levels follow the periods
        }
    });
    for (uint32_t i = 0; i < 20000; ++i) {
        (void)hw_read32(temp), (void)hw_read32(FPGA_IDENT_BASE + FPGA_IDENT_REG_VERSION);
        (void)hw_read32(ROT_SPEED_BASE + REV_REG_LEVELS), (void)hw_read32(PWM_OUT_BASE + PWM_REG_FAULT);
        hw_write32(PWM_OUT_BASE + PWM_REG_PERIOD + 8, 1001 - i % 2); // 1000 last: 100 kHz
        hw_write32(PWM_OUT_BASE + PWM_REG_HIGH + 8, 250);
        hw_write32(PWM_OUT_BASE + PWM_REG_CONTROL, 1);
        hw_write32(LED_ARRAY_BASE + LED_REG_RGB, 0x123456);
        hw_write32(LED_ARRAY_BASE + LED_REG_CONTROL, 1);
    }
    stop = true, outside.join();
    // What each side wrote last is what the other sees.
    double duty = 0, hz = 0;
    uint32_t rgb = 0;
    ASSERT_TRUE(hwsim::pwmOutput(1, &duty, &hz) && hwsim::ledColour(1, 0, &rgb));
    EXPECT_EQ(std::tuple(duty, hz, rgb), std::tuple(25.0, 100000.0, 0x123456u));
    ASSERT_TRUE(hwsim::setXadcWord(XADC_REGS[0].offset, 0xA5A0) && hwsim::setRevFrequency(0, 0));
    sim::step(1);
    EXPECT_EQ(std::pair(hw_read32(temp), hw_read32(ROT_SPEED_BASE + REV_REG_LEVELS) & 1),
              std::pair(0xA5A0u, 0u));
}

TEST_F(SimulatedBoard, ConverterStartsAndInputPinLevels) {
    for (uint32_t control : {1, 1, 0, 3}) // the second is no start: already on
        hw_write32(ADC_BASE + ADC_REG_CONTROL, control);
    EXPECT_EQ(std::pair(hwsim::adcStarts(), adc(ADC_REG_CONTROL)), std::pair(uint64_t{2}, 3u));

    // Power-on: power good (2) and the 12 V status (4) high on the input bank.
    EXPECT_EQ(gpio(GPIO_DATA_RO(GPIO_DIN_BANK)), 0x14u);
    ASSERT_TRUE(hwsim::setDigitalIn(2, false) && hwsim::setDigitalIn(8, true));
    EXPECT_EQ(gpio(GPIO_DATA_RO(GPIO_DIN_BANK)), 0x110u);
}

TEST_F(SimulatedBoard, StimuliFollowTheirShape) {
    testsupport::ScratchDir dir;
    dir.write("rec.csv", "# ms,volts\n0,0.5\n800,0.5\n1200,4.5\n");
    const std::pair<const char*, std::vector<std::pair<uint64_t, double>>> shapes[] = {
        {"sine 2.5 2 4000", {{0, 2.5}, {1000, 4.5}, {3000, 0.5}, {5000, 4.5}}},
        {"square 1 4 10", {{4, 1.0}, {5, 4.0}, {19, 4.0}}},
        {"triangle 0 5 100", {{25, 2.5}, {50, 5.0}, {75, 2.5}}},
        {"csv rec.csv", {{400, 0.5}, {1000, 2.5}, {1200, 0.5}, {2200, 2.5}}},
        {"const -0.25", {{7, -0.25}}}};
    for (const auto& [text, points] : shapes) {
        hwsim::Stimulus st;
        std::string error;
        ASSERT_TRUE(hwsim::parseStimulus(text, dir.path, &st, &error)) << error;
        for (auto [ms, volts] : points)
            EXPECT_NEAR(st.at(ms), volts, 1e-9) << text << " at " << ms;
    }
    std::vector<std::pair<int, hwsim::Stimulus>> list;
    std::string error;
    for (const char* bad : {"0 sine 1 2", "0 csv none.csv", "32 const 1", "1 const 1, 2 saw 0 1 2",
                            "0 square 1 2 0", "0 sine 1 1 1e30", "0 square 0 5 -1", "0 triangle 0 5 nan"})
        EXPECT_FALSE(hwsim::parseStimulusList(bad, dir.path, &list, &error)) << bad;
}

TEST_F(SimulatedBoard, TheWiringMeetsThePullUp) {
    // Input 3 at 2.5 V; its pull-up is port 7 of the expander behind the SPI core (slave 0).
    auto expander = [](uint32_t word) {
        hw_write32(AXI_SPI_BASE + SPI_REG_CONTROL, SPI_CONTROL_ENABLE | SPI_CONTROL_MASTER);
        hw_write32(AXI_SPI_BASE + SPI_REG_SELECT, ~1u);
        hw_write32(AXI_SPI_BASE + SPI_REG_TX, word);
    };
    expander(0x0401), expander(0x0955); // normal operation, ports 4 to 7 outputs
    ASSERT_TRUE(hwsim::setAdcChannel(3, 2.5));
    const std::pair<hwsim::Wiring, std::pair<uint32_t, uint32_t>> wirings[] = {
        {hwsim::Wiring::Good, {0x800, 0x800}},
        {hwsim::Wiring::Open, {0, 0x1000}},
        {hwsim::Wiring::ShortGround, {0, 0}},
        {hwsim::Wiring::ShortBattery, {0x1000, 0x1000}}};
    for (auto [wiring, counts] : wirings) {
        ASSERT_TRUE(hwsim::setAdcWiring(3, wiring));
        expander(0x2701); // high: off
        const uint32_t off = adc(ADC_REG_UNFILTERED + 4 * 3);
        expander(0x2700);
        EXPECT_EQ(std::pair(off, adc(ADC_REG_UNFILTERED + 4 * 3)), counts) << static_cast<int>(wiring);
        EXPECT_TRUE(hwsim::adcPullup(3));
    }
}

// The clock leaves a constant input alone once its filter stands; every change still reaches the
// registers at once (a value, the wiring, the pull-up, raw counts), and a waveform given afterwards
// moves with the ticks again.
TEST_F(SimulatedBoard, AConstantInputLeftAloneByTheClockFollowsEveryChange) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    auto counts = [] { return std::pair(adc(ADC_REG_FILTERED + 4 * 5), adc(ADC_REG_UNFILTERED + 4 * 5)); };
    auto expander = [](uint32_t word) {
        hw_write32(AXI_SPI_BASE + SPI_REG_CONTROL, SPI_CONTROL_ENABLE | SPI_CONTROL_MASTER);
        hw_write32(AXI_SPI_BASE + SPI_REG_SELECT, ~1u);
        hw_write32(AXI_SPI_BASE + SPI_REG_TX, word);
    };
    ASSERT_TRUE(hwsim::setAdcChannel(5, 1.0));
    sim::step(20);
    EXPECT_EQ(counts(), std::pair(819u, 819u)) << "1 V at 5 V / 4096";
    ASSERT_TRUE(hwsim::setAdcChannel(5, 2.5));
    EXPECT_EQ(counts(), std::pair(2048u, 2048u));
    ASSERT_TRUE(hwsim::setAdcWiring(5, hwsim::Wiring::ShortBattery));
    sim::step(5);
    EXPECT_EQ(counts(), std::pair(4096u, 4096u));
    expander(0x0401), expander(0x0A55), expander(0x2901); // ports 8 to 11 outputs, pull-up of input 5 off
    ASSERT_TRUE(hwsim::setAdcWiring(5, hwsim::Wiring::Open));
    sim::step(5);
    EXPECT_EQ(counts(), std::pair(0u, 0u));
    expander(0x2900);
    EXPECT_EQ(counts(), std::pair(4096u, 4096u)) << "the pull-up on";
    ASSERT_TRUE(hwsim::setAdcWiring(5, hwsim::Wiring::Good));
    sim::step(5);
    EXPECT_EQ(counts(), std::pair(2048u, 2048u));
    ASSERT_TRUE(hwsim::setAdcRaw(5, 7, 9));
    sim::step(5);
    EXPECT_EQ(counts(), std::pair(7u, 9u));

    hwsim::Stimulus tri;
    std::string error;
    ASSERT_TRUE(hwsim::parseStimulus("triangle 0 4 8", "", &tri, &error)) << error;
    ASSERT_TRUE(hwsim::setAdcStimulus(5, tri));
    std::set<uint32_t> unfiltered, filtered;
    for (int k = 0; k < 8; ++k) {
        sim::step(1);
        unfiltered.insert(counts().second);
        filtered.insert(counts().first);
    }
    EXPECT_EQ(unfiltered, (std::set<uint32_t>{0, 819, 1638, 2458, 3277})) << "0 to 4 V and back";
    EXPECT_GT(filtered.size(), 4u) << "the filter follows";
    ASSERT_TRUE(hwsim::setAdcChannel(5, 1.0));
    sim::step(3);
    EXPECT_EQ(counts(), std::pair(819u, 819u));
}

// Real time with real-time priorities: a low task that holds the registers when a middle one
// preempts it must not hold up the tick, which takes them too: the waiting tick lends the holder
// its priority, so time goes on while the middle task runs.
TEST(BoardRealTime, TheTickDoesNotWaitBehindALowTaskAMiddleOneKeepsFromRunning) {
    cpu_set_t all;
    sched_getaffinity(0, sizeof all, &all);
    hwsim::installBoard();
    sim::configure(sim::TimeMode::Realtime, 1700000000);
    sim::startRealtime();
    if (CPU_COUNT(&all) < 2 || !sim::realtimePriorities(true)) {
        sim::realtimePriorities(false);
        sim::stopRealtime();
        GTEST_SKIP() << "needs real-time priorities and two CPUs";
    }
    SEM_ID go = semBCreate(SEM_Q_PRIORITY, SEM_EMPTY);
    std::atomic<long> during{-1};
    TASK_ID middle = taskSpawnFn("middle", 100, 0, 0, [&] {
        semTake(go, WAIT_FOREVER);
        const uint64_t before = tick64Get();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < end) {
        }
        during = static_cast<long>(tick64Get() - before);
    });
    // The middle task, higher and on the same CPU, runs as soon as it is given its turn.
    TASK_ID low = taskSpawnFn("low", 200, 0, 0, [&] { hwsim::withRegistersLocked([&] { semGive(go); }); });
    taskWaitExit(middle, WAIT_FOREVER);
    taskWaitExit(low, WAIT_FOREVER);
    EXPECT_GE(during.load(), 100) << "ticks made while the middle task ran";
    semDelete(go);
    sim::realtimePriorities(false);
    sim::stopRealtime();
}

} // namespace
