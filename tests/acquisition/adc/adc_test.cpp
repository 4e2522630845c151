// The analog-input core on the simulated board: scaling, hold and supply, identity, the
// pull-ups through the port expander, and the wiring diagnostic of each kind of fault.
#include "acquisition/adc/adc.h"
#include "acquisition/adc/adc_private.h"
#include "acquisition/board/board.h"
#include "platform/hw/hw.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "support/errors.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <atomic>
#include <thread>

using testsupport::errors;

namespace {

struct Adc : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard();
        adc_reset();
        seram_reset();
        errors.clear();
        ASSERT_TRUE(adc_init() == 1 && spi_IOInit() == 1 && max7301_Init() == 1 && adc_pullup_init() == 1);
    }
    void TearDown() override { SteppedTest::TearDown(), hwsim::installBoard(); }
};

uint8_t supplyGood = 1;

TEST_F(Adc, CountsScaleToVoltsAndHoldOrABadSupplyKeepTheLastValue) {
    // Published scaling: 5 V per 4096 counts of a signed 16-bit result.
    for (auto [raw, volts] : {std::pair{0xFFFF, -0.001220703125f},
                              {0x0800, 2.5f},
                              {0x7FFF, 39.998779296875f},
                              {0x8000, -40.0f}}) {
        ASSERT_TRUE(hwsim::setAdcRaw(7, static_cast<uint16_t>(raw), static_cast<uint16_t>(raw)));
        EXPECT_EQ(
            std::vector({adc_getVoltageTS(7), adc_getVoltageUnfilTS(7), adc_getVoltageBypassUnfilTS(7)}),
            std::vector(3, volts))
            << raw;
    }
    EXPECT_EQ(adc_getVoltageTS(32), 0.0f);

    // Held, or with the supply bad: the last value (-40 V); the bypass reads on.
    adc_setPowerGoodSource([] { return supplyGood; });
    for (auto [hold, good, raw] : {std::tuple{1, 1, 0x400}, {0, 0, 0x400}}) {
        adc_setHold(static_cast<uint8_t>(hold)), supplyGood = static_cast<uint8_t>(good);
        ASSERT_TRUE(hwsim::setAdcRaw(7, static_cast<uint16_t>(raw), static_cast<uint16_t>(raw)));
        EXPECT_EQ(std::tuple(adc_getVoltageTS(7), adc_getVoltageUnfilTS(7), adc_getVoltageBypassUnfilTS(7)),
                  std::tuple(-40.0f, -40.0f, 1.25f));
    }
    supplyGood = 1;
    EXPECT_EQ(adc_getVoltageUnfilTS(7), 1.25f);
}

TEST_F(Adc, AnotherCoreVersionIsLeftOff) {
    hwsim::installBoard(); // no converter start counted yet
    hw_map(zynq::ADC_BASE, 8)[1] = 0x0001030E;
    EXPECT_EQ(adc_init(), 0);
    EXPECT_TRUE(logged("adc_init: Wrong MADC module"));
    EXPECT_EQ(hwsim::adcStarts(), 0u);
}

TEST_F(Adc, PullUpsSwitchActiveLowAndKeepEachTasksBit) {
    adc_pullup_set(1, 5, 1);
    EXPECT_TRUE(hwsim::adcPullup(5));
    adc_pullup_set(1, 5, 0);
    EXPECT_FALSE(hwsim::adcPullup(5));
    adc_pullup_set(2, 5, 1); // no second expander on this board
    EXPECT_EQ(adc_pullup_get(2), 1u << 5);
    adc_pullup_set(3, 0, 1);
    adc_pullup_set(1, 16, 1);
    for (const char* line :
         {"max7301_Digital_Write (Device = 1): MAX7301 device index invalid (1 >= 1)",
          "adc_pullup_set(): repeated setting of pullup 3 times (channel 5, bank 2, req 1)!",
          "adc_pullup_set(): no such bank 3", "adc_pullup_set(): no such channel 16 (bank 1, req 1)!"})
        EXPECT_TRUE(logged(line)) << line;

    // Three tasks switch their own pull-ups at once: no bit is lost.
    std::vector<TASK_ID> tasks;
    for (intptr_t t = 0; t < 3; ++t)
        tasks.push_back(taskSpawn(
            "pullups", 100, 0, 0x10000,
            [](intptr_t first, intptr_t, intptr_t, intptr_t) {
                for (int i = 0; i < 300; ++i)
                    for (uint8_t ch = static_cast<uint8_t>(first); ch < 16; ch += 3)
                        adc_pullup_set(1, ch, i % 2 == 0 || i == 299);
            },
            t));
    for (TASK_ID t : tasks)
        ASSERT_EQ(taskWaitExit(t, WAIT_FOREVER), OK);
    EXPECT_EQ(adc_pullup_get(1), 0xFFFFu);
}

TEST_F(Adc, WiringFaultsAreClassifiedAtTheirBounds) {
    // (mV with the pull-up on, mV off) → error type; near means within 100 mV, bounds included.
    const std::tuple<float, float, int> cases[] = {
        {0, 2500, 6},   {100, 5000, 6},  {100.1f, 5000, 5}, {2500, 4900, 5},   {2500, 5100, 5},
        {4900, 100, 7}, {5100, -100, 7}, {4899, 0, 0},      {5000, 100.1f, 0}, {2500, 2500, 0}};
    for (auto [on, off, type] : cases)
        EXPECT_EQ(adc_diagnostic_classify(on, off), type) << on << " " << off;
}

TEST_F(Adc, DiagnosticFindsEachWiringOnceOnTheEdgeAndRestoresThePullUps) {
    // Inputs 0 to 3 good, open, shorted to ground and to the battery; pull-ups configured on for
    // 0 and 2, off for 1 and 3.
    const hwsim::Wiring wiring[] = {hwsim::Wiring::Good, hwsim::Wiring::Open, hwsim::Wiring::ShortGround,
                                    hwsim::Wiring::ShortBattery};
    ASSERT_TRUE(hwsim::setAdcChannel(0, 2.5));
    for (uint16_t ch = 0; ch < 4; ++ch) {
        ASSERT_TRUE(hwsim::setAdcWiring(ch, wiring[ch]));
        const uint32_t on = ch % 2 == 0;
        adc_pullup_set(1, static_cast<uint8_t>(ch), static_cast<uint8_t>(on));
        adc_diagnostic_ini(ch, 0x100, ch, 1u << 15 | uint32_t{ch} << 23 | on << 31);
    }
    adc_diagnostic_ini(4, 0x100, 16, 1u << 15);
    EXPECT_TRUE(logged("adc_diagnostic_ini: no such channel 16 (entry 4)"));

    seram_memory[VTADDR_ADC_DIAGNOSTIC + seramActiveOffset] = 1;
    for (int i = 0; i < 3; ++i)
        adc_diagnostic_100ms(); // staying at 1 starts it once
    sim::step(1);
    EXPECT_EQ(adc_diagnostic_state, 1);
    const float held = adc_getVoltageTS(0);
    ASSERT_TRUE(hwsim::setAdcChannel(0, 3.0));
    EXPECT_EQ(adc_getVoltageTS(0), held) << "the FIFO's reads hold while the test runs";
    ASSERT_TRUE(hwsim::setAdcChannel(0, 2.5));
    sim::step(1100);
    EXPECT_EQ(adc_diagnostic_state, 0);
    EXPECT_EQ(errors, (std::vector<std::pair<int, int>>{{1, 0}, {2, 7}, {3, 6}, {4, 5}}));
    EXPECT_EQ(
        std::vector({hwsim::adcPullup(0), hwsim::adcPullup(1), hwsim::adcPullup(2), hwsim::adcPullup(3)}),
        std::vector({true, false, true, false}));
    EXPECT_TRUE(logged("adc_diagnostic: end diagnostic investigations after"));
    EXPECT_EQ(countLogged("start diagnostic investigations"), 1);
}

TEST_F(Adc, TheDiagnosticRequestIsReadWhileAToolRewritesItAndSwitchesPages) {
    seramInitializeOffsets();
    std::atomic<bool> done{false}; // relaxed: orders no read after a write
    std::thread tool([&] {
        const uint8_t off[4] = {};
        for (int r = 0; r < 50 || !done.load(std::memory_order_relaxed); ++r) { // some rounds in any case
            seramSetWorkpageActive();
            EXPECT_TRUE(seramDownload(0x20000 + VTADDR_ADC_DIAGNOSTIC, off, 4));
            seramSetRefpageActive();
        }
    });
    for (int i = 0; i < 300; ++i)
        adc_diagnostic_100ms();
    done.store(true, std::memory_order_relaxed);
    tool.join();
    EXPECT_EQ(countLogged("start diagnostic investigations"), 0);
    // Written 1 in the working page and switched to it: one start.
    const uint8_t on = 1;
    ASSERT_TRUE(seramDownload(0x20000 + VTADDR_ADC_DIAGNOSTIC, &on, 1));
    adc_diagnostic_100ms();
    seramSetWorkpageActive();
    adc_diagnostic_100ms();
    sim::step(1100);
    EXPECT_EQ(countLogged("start diagnostic investigations"), 1);
    EXPECT_TRUE(logged("adc_diagnostic: end diagnostic investigations after"));
}

} // namespace
