// LED control on the simulated LED array, one 10 ms cycle at a time: priorities, the shift-light
// stages and tables, blinking, overwrite, brightness, and the datasets it must refuse.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/ledctrl.h"
#include "acquisition/led/led.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>

namespace {

constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF;

struct Module {
    std::vector<uint8_t> b = std::vector<uint8_t>(1968);
    explicit Module(uint8_t position = 1, uint8_t count = 10) {
        put<uint16_t>(0, 0x4453).put<uint16_t>(2, 1968).put<uint16_t>(4, 0x0B).put<uint16_t>(1966, 0x4542);
        const uint32_t colours[] = {RED, GREEN, BLUE};
        for (uint32_t i = 0; i < 3; ++i)
            put(1072 + 4 * i, colours[i]);
        for (uint32_t i = 0; i < 6; ++i)
            b[1952 + i] = 100;
        std::memset(b.data() + 1128, 0xFF, 320); // every map leaves its LEDs
        b[1959] = position;
        b[1961] = count;
    }
    template <class T> Module& put(uint32_t off, T v) {
        std::memcpy(b.data() + off, &v, sizeof v);
        return *this;
    }
    // Condition k paints the LEDs of `leds` with map byte `byte` in `mode`.
    Module& cond(int k, std::initializer_list<int> leds, uint8_t byte, uint8_t mode = 0) {
        for (int n : leds)
            b[1128 + static_cast<uint32_t>((k - 1) * b[1961] + n)] = byte;
        b[1448 + static_cast<uint32_t>(k - 1)] = mode;
        return *this;
    }
    // Engine speed as delivered (b = f = 1); the shift layer at position `pos`, gears 3 and 4.
    Module& shift(uint8_t pos, float hyst, bool gear = false) {
        put<uint32_t>(1000, 0x40000).put<float>(1000 + 12, 1).put<float>(1000 + 28, 1).put<float>(1480, hyst);
        if (gear) put<uint32_t>(1036, 0x40004).put<uint8_t>(1944, 3).put<uint8_t>(1945, 4);
        b[1958] = static_cast<uint8_t>(pos - 1);
        for (uint32_t t = 0; t < 9; ++t)
            for (uint32_t s = 0; s < 10; ++s)
                put<float>(1484 + 40 * t + 4 * s, 9000.0f - 500.0f * s + 100.0f * t);
        for (uint32_t n = 0; n < 10; ++n)
            for (uint32_t s = 0; s < 10; ++s)
                b[1844 + 10 * n + s] = n < 10 - s ? 3 : 15; // stage s: LEDs 1 to 10 - s blue
        return *this;
    }
};

struct Led : testsupport::SteppedTest {
    uint32_t ts = 0;
    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard();
        seram_reset();
        seramInitializeOffsets();
        awm_man_reset();
        ASSERT_EQ(ledArray_init(), 1);
        display_brightness = 1;
    }
    void TearDown() override {
        awm_man_reset();
        ledArray_reset();
        SteppedTest::TearDown();
    }
    void load(const std::vector<Module>& list) {
        uint32_t at = VTADDR_CfgMat_VC_config;
        for (const Module& m : list) {
            std::memcpy(seram_memory + at, m.b.data(), m.b.size());
            at += static_cast<uint32_t>(m.b.size());
        }
        awm_man_ini();
    }
    awm_led_inst* inst(uint16_t idx = 0) {
        return static_cast<awm_led_inst*>(awm_man_get_cfg_by_chan(idx)->instance);
    }
    void set(awm_input_buf& in, float v, uint8_t valid = 1) {
        in.value = v;
        in.valid = valid;
    }
    void cycles(int n = 1) {
        for (int i = 0; i < n; ++i) {
            awm_sched_call(3, ts += 100);
            sim::step(1);
        }
    }
    uint32_t shown(int position, int led) {
        uint32_t rgb = 0;
        EXPECT_TRUE(hwsim::ledColour(position, led, &rgb));
        return rgb;
    }
    std::vector<uint32_t> row(int position, int count) {
        std::vector<uint32_t> out;
        for (int n = 0; n < count; ++n)
            out.push_back(shown(position, n));
        return out;
    }
};

TEST_F(Led, TheHigherConditionWinsAndTheShiftLayerSitsAtItsPosition) {
    load({Module()
              .cond(3, {0, 1}, 0x01)
              .cond(7, {1, 2}, 0x02)
              .cond(2, {5}, 0x02)
              .cond(5, {5, 6}, 0x01)
              .shift(5, 0)});
    awm_led_inst* in = inst();
    set(in->cond[2], 1), set(in->cond[6], 1.4f), set(in->rpm, 0);
    cycles();
    EXPECT_EQ(row(1, 4), (std::vector<uint32_t>{RED, RED, GREEN, 0}));
    EXPECT_EQ(std::vector<uint32_t>({in->layer, in->litMask, in->code}),
              std::vector<uint32_t>({3, 0x7, 0xA4}));
    set(in->rpm, 8950); // stage 1: LEDs 1 to 9 blue
    set(in->cond[2], 0.4f), set(in->cond[6], 0), set(in->cond[4], 1), set(in->cond[1], 1);
    cycles();
    // Condition 2 over the pattern on LED 6, the pattern over condition 5 on LED 7.
    EXPECT_EQ(row(1, 10), (std::vector<uint32_t>{BLUE, BLUE, BLUE, BLUE, BLUE, GREEN, BLUE, BLUE, BLUE, 0}));
    EXPECT_EQ(std::vector<uint32_t>({in->layer, in->index[6]}), std::vector<uint32_t>({2, 3}));
}

TEST_F(Led, StagesFollowTheEngineSpeedWithHysteresisAndRestartOnAGearChange) {
    load({Module().shift(1, 200, true)});
    awm_led_inst* in = inst();
    // Table 0: 9000 8500 ... 4500; a stage is left falling below its threshold less 200.
    const std::pair<float, int> table0[] = {{0, 10},   {4600, 9}, {7100, 4}, {6900, 4}, {6700, 5},
                                            {6350, 5}, {9500, 0}, {8850, 0}, {8790, 1}, {100, 10}};
    for (auto [rpm, stage] : table0) {
        set(in->rpm, rpm);
        cycles();
        EXPECT_EQ(in->stage, stage) << rpm;
        EXPECT_EQ(in->shiftMask, stage == 10 ? 0 : (1u << (10 - stage)) - 1) << rpm;
    }
    // Gear 3 selects table 1 (+100), gear 4 table 2 (+200), gear 5 none: the table stays.
    const std::tuple<float, float, int, int> gears[] = {
        {3, 7150, 1, 4}, {4, 7150, 2, 5}, {4, 7250, 2, 4}, {5, 7150, 2, 4}};
    for (auto [gear, rpm, table, stage] : gears) {
        set(in->gear, gear), set(in->rpm, rpm);
        cycles();
        EXPECT_EQ(in->table, table) << gear;
        EXPECT_EQ(in->stage, stage) << gear;
    }
}

TEST_F(Led, BlinkModesOverwriteAndBrightness) {
    load({Module(2, 4).cond(1, {0}, 0x21, 1).cond(2, {1}, 0x12, 2).cond(3, {2, 3}, 0x01)});
    awm_led_inst* in = inst();
    set(in->cond[0], 1), set(in->cond[1], 1), set(in->cond[2], 1);
    uint32_t led0[80], led1[80];
    for (int i = 0; i < 80; ++i) {
        cycles();
        led0[i] = shown(2, 0), led1[i] = shown(2, 1);
    }
    for (int i : {0, 39, 40, 79})
        EXPECT_EQ(led0[i], i < 40 ? RED : GREEN) << "slow, cycle " << i;
    for (int i : {0, 19, 20, 39, 40})
        EXPECT_EQ(led1[i], i % 40 < 20 ? GREEN : RED) << "fast, cycle " << i;
    awm_0x0B_led_overwrite(0x02, 0x0005, 0);
    awm_0x0B_led_overwrite(0x05, 0x0002, 0x0000FF00);
    cycles();
    EXPECT_EQ(row(2, 4), (std::vector<uint32_t>{0, GREEN, 0, RED}));
    EXPECT_EQ(std::vector<uint32_t>({in->index[0], in->litMask}), std::vector<uint32_t>({0, 0xA}));
    awm_0x0B_led_overwrite(0x02, 0x0008, 0x0000FF00);
    cycles();
    EXPECT_EQ(std::vector<uint32_t>({in->index[3], shown(2, 3)}), std::vector<uint32_t>({14, BLUE}));
    // Percentages per brightness step 1 to 6, the component scaled linearly without the display.
    const uint8_t perc[] = {0, 150, 50, 60, 70, 20};
    std::memcpy(seram_memory + VTADDR_CfgMat_VC_config + 1952, perc, 6);
    for (auto [step, level] : {std::pair{0, 3}, {1, 3}, {2, 255}, {3, 128}, {6, 51}, {9, 51}}) {
        display_brightness = static_cast<uint8_t>(step);
        cycles();
        EXPECT_EQ(shown(2, 3), static_cast<uint32_t>(level)) << "step " << step;
    }
    static const LedBrightnessCurves half{[](float c, float) { return c / 2; }, nullptr,
                                          [](float c, float p) { return c * p; }};
    awm_0x0B_led_setBrightnessCurves(&half);
    cycles();
    awm_0x0B_led_setBrightnessCurves(nullptr);
    EXPECT_EQ(shown(2, 3), 255u) << "the display's curve, limited by the array";
}

TEST_F(Led, EachModuleKeepsItsColoursAndItsConditionHistory) {
    Module top(1, 2), left(2, 2);
    top.cond(1, {0, 1}, 0x01);
    left.cond(1, {0, 1}, 0x01).put<uint32_t>(1072, GREEN);
    load({top, left});
    set(inst(0)->cond[0], 1), set(inst(1)->cond[0], 0);
    cycles();
    EXPECT_EQ(shown(1, 0), RED);
    EXPECT_EQ(shown(2, 0), 0u);
    // The top module's input stops: held for 19 cycles, dark from the 20th; the left one's value
    // does not stand in. Back, it reports the cycles it missed.
    set(inst(0)->cond[0], -1, 0), set(inst(1)->cond[0], 1);
    cycles(19);
    EXPECT_EQ(shown(1, 0), RED);
    EXPECT_EQ(shown(2, 0), GREEN);
    cycles();
    EXPECT_EQ(shown(1, 0), 0u);
    set(inst(0)->cond[0], 1);
    cycles();
    EXPECT_TRUE(logged("awm_0x0B_led_setLED: cond:hexcnt  1:14 "));
}

TEST_F(Led, DatasetsThatWouldIndexPastTheirTablesAreRefused) {
    Module pattern;
    pattern.b[1844 + 33] = 16;
    load({Module(1, 11), Module(4, 10), pattern, Module(0, 1)});
    for (uint16_t idx = 0; idx < 4; ++idx)
        EXPECT_EQ(inst(idx), nullptr) << idx;
    EXPECT_TRUE(logged("awm_0x0B_led_ini: LED count 11 not 1 to 10, module not driven"));
    EXPECT_TRUE(logged("awm_0x0B_led_ini: module position 4 not 1 to 3, module not driven"));
    EXPECT_TRUE(logged("awm_0x0B_led_ini: shift-light pattern byte 33 is 16, above 15, module not driven"));
    EXPECT_TRUE(logged(" LED module conf found pos 'POS_INVALID'(0), shiftled 'FALSE', led# 1 "));
    // Without a module the overwrite drives the LEDs itself, in red.
    awm_0x0B_led_overwrite(0x04, 0x0003, 0x80402000);
    sim::step(1);
    EXPECT_EQ(shown(3, 1), 0x800000u);
    EXPECT_EQ(shown(3, 2), 0u);
}

} // namespace
