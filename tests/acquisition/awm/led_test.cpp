// LED control on the simulated LED array, one 10 ms cycle at a time: priorities and the shift-light
// layer's position, the stages at their thresholds and the patterns they show, blinking,
// overwrite, brightness, and the datasets it must refuse.
#include "acquisition/awm/ledctrl.h"
#include "acquisition/led/led.h"
#include "support/channels.h"

namespace {

using testsupport::DS;
constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF;

// A module at `position` with `count` LEDs, colours 1 to 3 red, green and blue, every map leaving
// its LEDs.
DS module(uint8_t position = 1, uint8_t count = 10) {
    DS d(0x0B, 1968);
    d.put(1072, RED).put(1076, GREEN).put(1080, BLUE).put<uint8_t>(1959, position).put<uint8_t>(1961, count);
    for (uint32_t i = 0; i < 6; ++i)
        d.b[1952 + i] = 100;
    std::memset(d.b.data() + 1128, 0xFF, 320);
    return d;
}
// Condition k paints the LEDs of `leds` with map byte `byte` in `mode`.
DS& cond(DS& d, int k, std::initializer_list<int> leds, uint8_t byte, uint8_t mode = 0) {
    for (int n : leds)
        d.b[1128 + static_cast<uint32_t>((k - 1) * d.b[1961] + n)] = byte;
    d.b[1448 + static_cast<uint32_t>(k - 1)] = mode;
    return d;
}
// Engine speed as delivered; the shift layer at `layer`, hysteresis 200; gears 3 and 4 select
// tables 1 and 2. Table t: 9000 8500 ... 4500, plus 100 t. Patterns by stage, LED 1 to 10 (hex
// colour index, F leaves the LED): stage 0 all blue, 4 five green then two off, 9 the first blue.
DS shift(uint8_t layer) {
    DS d = module();
    d.ref(1000, 0x40000).ref(1036, 0x40004).put<float>(1480, 200).put<uint8_t>(1944, 3).put<uint8_t>(1945, 4);
    d.b[1958] = static_cast<uint8_t>(layer - 1);
    for (uint32_t t = 0; t < 9; ++t)
        for (uint32_t s = 0; s < 10; ++s)
            d.put<float>(1484 + 40 * t + 4 * s, 9000.0f - 500.0f * s + 100.0f * t);
    const char* rows[10] = {"3333333333", "FFFFFFFFFF", "FFFFFFFFFF", "FFFFFFFFFF", "2222200FFF",
                            "FFFFFFFFFF", "FFFFFFFFFF", "FFFFFFFFFF", "FFFFFFFFFF", "3FFFFFFFFF"};
    for (uint32_t s = 0; s < 10; ++s)
        for (uint32_t n = 0; n < 10; ++n)
            d.b[1844 + 10 * n + s] = static_cast<uint8_t>(std::stoi(std::string(1, rows[s][n]), nullptr, 16));
    return d;
}

struct Led : testsupport::Channels {
    void SetUp() override {
        Channels::SetUp();
        ASSERT_EQ(ledArray_init(), 1);
        display_brightness = 1;
    }
    void TearDown() override { Channels::TearDown(), ledArray_reset(); }
    awm_led_inst& inst(uint16_t idx = 0) { return instance<awm_led_inst>(idx); }
    static void set(awm_input_buf& in, float v, uint8_t valid = 1) { in.value = v, in.valid = valid; }
    void cycles(int n = 1) {
        for (int i = 0; i < n; ++i)
            cycle(), sim::step(1);
    }
    static uint32_t shown(int position, int led) {
        uint32_t rgb = 0;
        EXPECT_TRUE(hwsim::ledColour(position, led, &rgb));
        return rgb;
    }
    static std::vector<uint32_t> row(int position, int count) {
        std::vector<uint32_t> out;
        for (int n = 0; n < count; ++n)
            out.push_back(shown(position, n));
        return out;
    }
};

TEST_F(Led, TheHigherConditionWinsAndTheShiftLayerSitsAtItsPosition) {
    DS d = shift(5);
    cond(d, 3, {0, 1}, 0x01), cond(d, 7, {1, 2}, 0x02), cond(d, 2, {5}, 0x02), cond(d, 5, {5, 6}, 0x01);
    load({d});
    awm_led_inst& in = inst();
    set(in.cond[2], 1), set(in.cond[6], 1.4f), set(in.rpm, 0), cycles();
    EXPECT_EQ(row(1, 4), (std::vector<uint32_t>{RED, RED, GREEN, 0}));
    EXPECT_EQ(std::vector<uint32_t>({in.layer, in.litMask, in.code}), std::vector<uint32_t>({3, 0x7, 0xA4}));
    set(in.rpm, 7100); // stage 4: LEDs 1 to 5 green, 6 and 7 off
    set(in.cond[2], 0.4f), set(in.cond[6], 0), set(in.cond[4], 1), set(in.cond[1], 1), cycles();
    // Condition 2 over the pattern on LED 6, the pattern over condition 5 on LED 7.
    EXPECT_EQ(row(1, 10), (std::vector<uint32_t>{GREEN, GREEN, GREEN, GREEN, GREEN, GREEN, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint32_t>({in.layer, in.index[6]}), std::vector<uint32_t>({2, 0}));
}

// Stages against table 0 (9000 8500 ... 4500, hysteresis 200): rising while the next threshold
// lies below the speed, falling while the speed lies below the stage's threshold less 200.
TEST_F(Led, StagesChangeAtTheirThresholdsShowTheirPatternsAndRestartOnAGearChange) {
    DS d = shift(5);
    cond(d, 6, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0x01); // red under the pattern
    load({d});
    awm_led_inst& in = inst();
    set(in.cond[5], 1);
    const std::pair<float, int> speeds[] = {{4500, 10}, {4500.5f, 9}, {4300, 9},    {4299.5f, 10},
                                            {7000, 5},  {7000.5f, 4}, {6800, 4},    {6799.5f, 5},
                                            {9500, 0},  {8800, 0},    {8799.5f, 1}, {4400, 9}};
    for (auto [rpm, stage] : speeds) {
        set(in.rpm, rpm), cycles();
        EXPECT_EQ(in.stage, stage) << rpm;
    }
    EXPECT_EQ(in.layer, 5) << "the shift layer above condition 6";
    EXPECT_EQ(
        std::pair(row(1, 10), uint16_t{in.shiftMask}),
        std::pair(std::vector<uint32_t>{BLUE, RED, RED, RED, RED, RED, RED, RED, RED, RED}, uint16_t{0x001}));
    set(in.rpm, 7100), cycles();
    EXPECT_EQ(std::pair(row(1, 10), uint16_t{in.shiftMask}),
              std::pair(std::vector<uint32_t>{GREEN, GREEN, GREEN, GREEN, GREEN, 0, 0, RED, RED, RED},
                        uint16_t{0x01F}));
    set(in.rpm, 9100), cycles();
    EXPECT_EQ(std::pair(row(1, 10), uint16_t{in.shiftMask}),
              std::pair(std::vector<uint32_t>(10, BLUE), uint16_t{0x3FF}));
    // Gear 3 selects table 1 (+100), gear 4 table 2 (+200), gear 5 none: the table stays.
    const std::tuple<float, float, int, int> gears[] = {
        {3, 7150, 1, 4}, {4, 7150, 2, 5}, {4, 7250, 2, 4}, {5, 7150, 2, 4}};
    for (auto [gear, rpm, table, stage] : gears) {
        set(in.gear, gear), set(in.rpm, rpm), cycles();
        EXPECT_EQ((std::pair<int, int>(in.table, in.stage)), std::pair(table, stage)) << gear;
    }
}

TEST_F(Led, BlinkModesOverwriteAndBrightness) {
    DS d = module(2, 4);
    cond(d, 1, {0}, 0x21, 1), cond(d, 2, {1}, 0x12, 2), cond(d, 3, {2, 3}, 0x01);
    load({d});
    awm_led_inst& in = inst();
    set(in.cond[0], 1), set(in.cond[1], 1), set(in.cond[2], 1);
    std::string slow, fast; // each cycle's colour: R or G
    for (int i = 0; i < 80; ++i) {
        cycles();
        slow += shown(2, 0) == RED ? 'R' : 'G', fast += shown(2, 1) == RED ? 'R' : 'G';
    }
    EXPECT_EQ(slow, std::string(40, 'R') + std::string(40, 'G'));
    EXPECT_EQ(fast,
              std::string(20, 'G') + std::string(20, 'R') + std::string(20, 'G') + std::string(20, 'R'));
    awm_0x0B_led_overwrite(0x02, 0x0005, 0);
    awm_0x0B_led_overwrite(0x05, 0x0002, 0x0000FF00);
    cycles();
    EXPECT_EQ(row(2, 4), (std::vector<uint32_t>{0, GREEN, 0, RED}));
    EXPECT_EQ(std::vector<uint32_t>({in.index[0], in.litMask}), std::vector<uint32_t>({0, 0xA}));
    awm_0x0B_led_overwrite(0x02, 0x0008, 0x0000FF00);
    cycles();
    EXPECT_EQ(std::vector<uint32_t>({in.index[3], shown(2, 3)}), std::vector<uint32_t>({14, BLUE}));
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
    DS top = module(1, 2), left = module(2, 2);
    cond(top, 1, {0, 1}, 0x01);
    cond(left, 1, {0, 1}, 0x01).put<uint32_t>(1072, GREEN);
    load({top, left});
    set(inst(0).cond[0], 1), set(inst(1).cond[0], 0), cycles();
    EXPECT_EQ(std::pair(shown(1, 0), shown(2, 0)), std::pair(RED, 0u));
    // The top module's input stops: held for 19 cycles, dark from the 20th; the left one's value
    // does not stand in. Back, it reports the cycles it missed.
    set(inst(0).cond[0], -1, 0), set(inst(1).cond[0], 1), cycles(19);
    EXPECT_EQ(std::pair(shown(1, 0), shown(2, 0)), std::pair(RED, GREEN));
    cycles();
    EXPECT_EQ(shown(1, 0), 0u);
    set(inst(0).cond[0], 1), cycles();
    EXPECT_TRUE(logged("awm_0x0B_led_setLED: cond:hexcnt  1:14 "));
}

// An input that keeps dropping out is reported a few times per interval for its module, and again
// once the interval is over; another module's report still comes meanwhile.
TEST_F(Led, ConditionHistoriesOfAFlappingInputAreFewPerIntervalAndAnotherModulesStillCome) {
    DS top = module(1, 2), left = module(2, 2);
    cond(top, 1, {0, 1}, 0x01), cond(left, 1, {0, 1}, 0x01);
    load({top, left});
    set(inst(0).cond[0], 1), set(inst(1).cond[0], 1), cycles();
    for (int i = 1; i <= 6; ++i) // out for 1 to 6 cycles: no two lines alike
        set(inst(0).cond[0], -1, 0), cycles(i), set(inst(0).cond[0], 1), cycles();
    EXPECT_EQ(countLogged("awm_0x0B_led_setLED: cond:hexcnt "), 3);
    EXPECT_EQ(countLogged("awm_0x0B_led_setLED: cond:hexcnt  1:3 "), 1);
    set(inst(1).cond[0], -1, 0), cycles(10), set(inst(1).cond[0], 1), cycles();
    EXPECT_EQ(countLogged("awm_0x0B_led_setLED: cond:hexcnt  1:A "), 1);
    sim::step(10000);
    set(inst(0).cond[0], -1, 0), cycles(11), set(inst(0).cond[0], 1), cycles();
    EXPECT_EQ(countLogged("3 similar messages suppressed"), 1);
    EXPECT_EQ(countLogged("awm_0x0B_led_setLED: cond:hexcnt  1:B "), 1);
}

TEST_F(Led, DatasetsThatWouldIndexPastTheirTablesAreRefused) {
    DS pattern = module();
    pattern.b[1844 + 33] = 16;
    load({module(1, 11), module(4, 10), pattern, module(0, 1)});
    for (uint16_t idx = 0; idx < 4; ++idx)
        EXPECT_EQ(awm_man_get_cfg_by_chan(idx)->instance, nullptr) << idx;
    EXPECT_TRUE(logged("awm_0x0B_led_ini: LED count 11 not 1 to 10, module not driven"));
    EXPECT_TRUE(logged("awm_0x0B_led_ini: module position 4 not 1 to 3, module not driven"));
    EXPECT_TRUE(logged("awm_0x0B_led_ini: shift-light pattern byte 33 is 16, above 15, module not driven"));
    EXPECT_TRUE(logged(" LED module conf found pos 'POS_INVALID'(0), shiftled 'FALSE', led# 1 "));
    // Without a module the overwrite drives the LEDs itself, in red.
    awm_0x0B_led_overwrite(0x04, 0x0003, 0x80402000);
    sim::step(1);
    EXPECT_EQ(std::pair(shown(3, 1), shown(3, 2)), std::pair(0x800000u, 0u));
}

} // namespace
