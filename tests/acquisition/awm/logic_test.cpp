// The logic and computed channel-function types, their inputs handed in where the gateway would
// deliver them and their 10 ms cycles run one call list at a time. Expected values are worked
// out by hand from the rules of each type (debounce, shaping, thresholds, drive rules).
#include "acquisition/adc/adc.h"
#include "services/time/time_util.h"
#include "support/channels.h"

#include <bit>
#include <cmath>
#include <functional>
#include <set>
#include <tuple>

namespace {

using testsupport::DS;

struct Logic : testsupport::Channels {
    void SetUp() override {
        Channels::SetUp();
        adc_reset();
        time_util_reset();
        time_util_ini();
        awm_grpadj_reset();
    }
    // The byte output after each cycle with the input given before it.
    std::string run(uint8_t* out, const std::vector<double>& in) {
        std::string s;
        for (double v : in)
            feed(1, v), cycle(), s += static_cast<char>('0' + *out);
        return s;
    }
};

DS condeval(uint8_t mode, uint8_t op, std::initializer_list<uint32_t> p) {
    DS d(0x0C, 152);
    uint32_t at = 112;
    for (uint32_t v : p)
        d.put(at, v), at += 4;
    d.ref(40, 1)
        .put<uint8_t>(144, static_cast<uint8_t>(p.size()))
        .put<uint8_t>(145, op)
        .put<uint8_t>(146, mode);
    if (mode == 0) d.ref(76, 2);
    return d;
}
const auto fbits = [](float f) { return std::bit_cast<uint32_t>(f); };

TEST_F(Logic, ConditionEvaluationDebouncesAndShapes) {
    const uint32_t c100 = fbits(100);
    struct Case {
        DS ds;
        std::vector<double> in;
        std::string out;
    };
    std::vector<Case> cases = {
        // on the sixth cycle above 100 with T1 = 50; off at once without T1 and T2
        {condeval(1, 4, {50, c100}), {150, 150, 150, 150, 150, 150, 50}, "0000011"},
        {condeval(1, 4, {0, c100}), {150, 50, 150}, "101"},
        // blink 200/100: 21 cycles on, 11 off; pulse 50: 6 cycles; toggle on rising edges
        {condeval(1, 4, {0, c100, 0, 200, 100, 1}), std::vector<double>(34, 150),
         std::string(21, '1') + std::string(11, '0') + "11"},
        {condeval(1, 4, {0, c100, 0, 50, 0, 2}), std::vector<double>(8, 150), "11111100"},
        {condeval(1, 4, {0, c100, 0, 0, 0, 3}), {150, 50, 150, 150, 50, 150}, "110001"},
        // window 10 to 20; operator 6 (all bits of b): 7 has those of 5, 4 not
        {condeval(3, 0, {0, fbits(10), fbits(20)}), {15, 20, 21, 9, 10}, "11001"},
        {condeval(1, 6, {0, fbits(5)}), {7, 4, 13, NAN}, "1010"},
        // a value that is not a number differs from everything
        {condeval(1, 1, {0, c100}), {NAN, 100, 99}, "101"},
        {condeval(1, 0, {0, c100}), {NAN, 100}, "01"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        load({cases[i].ds});
        EXPECT_EQ(run(measure<uint8_t>(0, 1), cases[i].in), cases[i].out) << "case " << i;
    }
    // Signal against signal, T2 = 30: on for three cycles after the condition falls.
    load({condeval(0, 4, {0, 30})});
    uint8_t* out = measure<uint8_t>(0, 1);
    feed(2, 10);
    EXPECT_EQ(run(out, {20, 5, 5, 5, 5}), "11110");
    lapse(2);
    EXPECT_EQ(run(out, {20, 20}), "00") << "signal 2 lost: the cycle ends";
    EXPECT_EQ(*measure<uint8_t>(0, 2), 0);
    EXPECT_EQ(measure<void>(0, 3), &error_toggle);
    EXPECT_TRUE(logged("awm_0x0C_condeval_setupmeas: invalid subchannel measurement request (0x007C0003)"));
}

TEST_F(Logic, SteppedThresholdsAndParameterCountsBeyondTheRecordAreRefused) {
    // Levels 100, 200, 300, operator a > b, step-up and step-down times 20 ms.
    load({condeval(2, 4, {0, 20, 20, fbits(100), fbits(200), fbits(300)}), condeval(2, 4, {0, 0, 0}),
          condeval(1, 4, {0, 1, 2, 3, 4, 5, 6, 7, 8})});
    uint8_t* out = measure<uint8_t>(0, 1);
    // on; up a level while still above; up to 300 where 250 is not above: off; stays at the
    // top while 250 is above 200; down a level at 150; on again above 200
    EXPECT_EQ(run(out, {150, 250, 250, 250, 250, 250, 250, 250, 250, 250, 150, 150, 150, 250}),
              "11111100000001");
    for (uint16_t idx : {1, 2})
        EXPECT_EQ(measure<void>(idx, 1), &error_toggle) << idx;
}

TEST_F(Logic, ConditionCombinationOrsFourAndGroupsAndKeepsInputsThatTimedOut) {
    DS d(0x0D, 532);
    for (auto [k, w] : {std::pair{0u, 1u}, {1u, 2u}, {4u, 3u}, {5u, 4u}}) // w4 never delivers
        d.put(40 + 4 * k, w).put<uint16_t>(488 + 2 * k, 6);
    d.put<uint16_t>(520, 0x0002); // input 1 inverted
    load({d});
    uint8_t* out = measure<uint8_t>(0, 1);
    std::string got;
    for (auto step :
         std::vector<std::function<void()>>{[] {},                // nothing delivered: no group is used
                                            [&] { feed(1, 1); },  // group 0 of input 0 alone
                                            [&] { feed(2, 1); },  // inverted input 1 is 0
                                            [&] { feed(2, -3); }, // and 1 for a negative value
                                            [&] { lapse(1); },    // input 0 timed out: its last state stands
                                            [&] { feed(1, 0), feed(3, 0.5); }, // group 1
                                            [&] { feed(3, 0); }}) {
        step(), cycle(), got += static_cast<char>('0' + *out);
    }
    EXPECT_EQ(got, "0101110");
    // Blink 200/100 ms: 20 cycles on, 10 off.
    load({DS(0x0D, 532)
              .put(40, 1u)
              .put<uint16_t>(488, 6)
              .put<uint16_t>(522, 200)
              .put<uint16_t>(524, 100)
              .put<uint8_t>(526, 1)});
    EXPECT_EQ(run(measure<uint8_t>(0, 1), std::vector<double>(31, 1)),
              std::string(20, '1') + std::string(10, '0') + "1");
}

TEST_F(Logic, GearTableAndHysteresis) {
    DS gear = DS(0x0E, 164).ref(40, 1).floats(76, {1, 2, 3, 2}).put<uint8_t>(156, 7).put<uint8_t>(157, 4);
    for (uint8_t i = 0; i < 4; ++i)
        gear.put<uint8_t>(140 + i, static_cast<uint8_t>(i + 1));
    auto hyst = [](uint32_t word, uint16_t code, float state1, float state0) {
        return DS(0x0F, 104, code).ref(40, word).floats(76, {3000, state1, 2000, state0});
    };
    load({gear, hyst(2, 3, 10, 20), hyst(3, 3, 10, 20).put<uint16_t>(94, 50).put<uint16_t>(96, 50),
          hyst(4, 7, 2.6f, 0).put<uint16_t>(92, 5000)});
    uint8_t* g = measure<uint8_t>(0, 1);
    EXPECT_EQ(*g, 7) << "the default before the first value";
    for (auto [x, want] : {std::pair{2.0, 2}, {2.5, 7}, {3.0, 3}, {1.0, 1}}) {
        feed(1, x), cycle();
        EXPECT_EQ(*g, want) << x; // 2 stands twice: the first entry counts
    }
    EXPECT_EQ(measure<void>(0, 2), &error_toggle);

    // Upper 3000, lower 2000, each not crossed at its value; state 0 is worth 20 and is the higher.
    uint16_t *v = measure<uint16_t>(1, 0), *high = measure<uint16_t>(1, 1);
    std::string got;
    for (double x : {3000.0, 3000.5, 2000.0, 1999.5})
        feed(2, x), cycle(), got += std::to_string(*v) + "/" + std::to_string(*high) + " ";
    EXPECT_EQ(got, "20/1 10/0 10/0 20/1 ");
    // Delays of 50 ms: the switch in the sixth cycle across; a cycle at the threshold ends the wait.
    uint16_t* delayed = measure<uint16_t>(2, 0);
    got.clear();
    for (double x : {3500, 3500, 3000, 3500, 3500, 3500, 3500, 3500, 3500, 1500, 1500, 2000, 1500, 1500, 1500,
                     1500, 1500, 1500})
        feed(3, x), cycle(), got += std::to_string(*delayed) + " ";
    EXPECT_EQ(got, "20 20 20 20 20 20 20 20 10 10 10 10 10 10 10 10 10 20 ");
    // Inhibited for 5 s of application time; code 7 stores 2.6 as 3.
    uint8_t* inhibited = measure<uint8_t>(3, 0);
    feed(4, 4000), sim::step(4980), cycle();
    EXPECT_EQ(*inhibited, 0);
    sim::step(20), cycle();
    EXPECT_EQ(*inhibited, 3);
}

TEST_F(Logic, MathFormulasOverFourScaledInputsCyclicAndMeasured) {
    auto math = [](uint16_t raster, uint16_t code, float mn, float mx) {
        return DS(0x10, 300, code).ref(40, 1).floats(184, {mn, mx}).put<uint16_t>(292, raster);
    };
    // (in1 + in2) · in3 - in4, input 3 scaled by 2, input 4 by 10 with offset 1
    DS four = math(3, 6, -100, 100).ref(76, 2).ref(112, 3, 6, 2).ref(148, 4).floats(148 + 16, {10});
    four.tokens(192, {{0x10, 0}, {0x11, 0}, {0x20, 0}, {0x12, 0}, {0x22, 0}, {0x13, 0}, {0x21, 0}});
    DS scaled = math(3, 3, -1000, 100).floats(20, {10}).tokens(192, {{0x10, 0}});
    DS measured = math(0xFFFF, 6, -1000, 100).tokens(192, {{0x10, 0}});
    DS waiting =
        math(3, 3, 10, 100).floats(24, {7}).ref(76, 5).tokens(192, {{0x10, 0}, {0x11, 0}, {0x20, 0}});
    load({four, scaled, measured, math(12, 6, 0, 1), waiting});
    float* out[6];
    for (uint8_t o = 0; o < 6; ++o)
        out[o] = measure(0, o);
    uint16_t* stored = measure<uint16_t>(1, 0);
    uint8_t *flag = measure<uint8_t>(1, 1), *measuredFlag = measure<uint8_t>(2, 1);
    float* measuredOut = measure(2, 0);
    uint16_t* held = measure<uint16_t>(4, 0);
    EXPECT_EQ(measure<void>(0, 6), &error_toggle);
    EXPECT_EQ(measure<void>(2, 6), &error_toggle);
    EXPECT_EQ(measure<void>(3, 0), &error_toggle);
    EXPECT_TRUE(logged("awm_0x10_math_setupmeas: invalid subchannel measurement request"));
    feed(1, 3), feed(2, 4), feed(3, 2), feed(4, 1), cycle();
    EXPECT_EQ(std::vector<float>({out[2][0], out[3][0], out[4][0], out[5][0], out[0][0]}),
              std::vector<float>({3, 4, 4, 11, 17}));
    EXPECT_EQ(*reinterpret_cast<uint8_t*>(out[1]), 1);
    EXPECT_EQ(*held, 7) << "an input that never delivered: the output function of 0, unclamped";
    for (auto [x, want, wantFlag] : {std::tuple{150.0, 1000, 1}, {0.4, 4, 0}, {-0.6, 0, 1}, {NAN, 0, 0}}) {
        feed(1, x), cycle();
        EXPECT_EQ(*stored, want) << x;
        EXPECT_EQ(*flag, wantFlag) << x;
    }
    feed(1, 150), cycle();
    EXPECT_EQ(*measuredOut, 100);
    EXPECT_EQ(*measuredFlag, 1) << "measured: the flag of the unclamped result";
}

// An input reference of a data type without a value size (7 and up) gets no gateway list, which
// would name values of no size; the function's other inputs get theirs.
TEST_F(Logic, AnInputOfADataTypeWithoutValueSizeGetsNoList) {
    load({DS(0x10, 300)
              .ref(40, 1, 9)
              .ref(76, 2, 7)
              .ref(112, 3, 3)
              .ref(148, 4, 0)
              .floats(184, {-1e9f, 1e9f})
              .put<uint16_t>(292, 3)
              .tokens(192, {{0x10, 0}})});
    measure(0, 0);
    std::set<uint32_t> words;
    for (const auto& [b, w] : testsupport::inputLists())
        words.insert(w);
    EXPECT_EQ(words, (std::set<uint32_t>{3, 4}));
    for (const char* ref : {"0x00000001 of data type 9", "0x00000002 of data type 7"})
        EXPECT_TRUE(
            logged(std::string("awm_man_setup_gw_meas: input ") + ref + " has no value size, not measured"))
            << ref;
}

TEST_F(Logic, ConditionalFunctionChoosesBetweenTwoFormulas) {
    auto condfunc = [](uint16_t raster, uint16_t code,
                       std::initializer_list<std::pair<uint8_t, float>> cond) {
        DS d = DS(0x11, 504, code).ref(40, 1).ref(76, 2).ref(112, 3).floats(184, {-1000, 255});
        return d.tokens(192, cond)
            .tokens(292, {{0x11, 0}})
            .tokens(392, {{0x12, 0}})
            .floats(492, {42})
            .put<uint16_t>(496, raster);
    };
    DS byte = condfunc(3, 1, {{0x00, 1}}).tokens(292, {{0x00, 500}});
    load({condfunc(3, 6, {{0x10, 0}, {0x00, 100}, {0x32, 0}}), condfunc(3, 6, {{0x10, 0}}), byte,
          condfunc(0xFFFF, 6, {{0x00, 1}}), condfunc(10, 6, {}),
          condfunc(3, 6, {{0x10, 0}, {0x00, 0}, {0x23, 0}})});
    float *r = measure(0, 0), *bare = measure(1, 0), *every1ms = measure(3, 0), *div = measure(5, 0);
    uint8_t *clamped = measure<uint8_t>(2, 0), *flag = measure<uint8_t>(2, 1);
    EXPECT_EQ(measure<void>(4, 0), &error_toggle);
    feed(1, 150), feed(3, 9), cycle();
    EXPECT_EQ(*r, 42) << "input 2 has not delivered";
    feed(2, 7);
    std::string got;
    // conditions: input 1 above 100; input 1 itself; input 1 / 0 (infinite, or not a number for 0)
    for (double x : {150.0, 50.0, 101.0, 0.4, 0.6, -0.6, 0.0}) {
        feed(1, x), cycle();
        for (float* v : {r, bare, div})
            got += std::to_string(static_cast<int>(*v));
        got += " ";
    }
    EXPECT_EQ(got, "777 977 777 997 977 999 999 ");
    EXPECT_EQ(std::pair(int{*clamped}, int{*flag}), std::pair(255, 1));
    EXPECT_EQ(*every1ms, 0) << "raster 0xFFFF is the 1 ms raster";
    cycle(1, 0);
    EXPECT_EQ(*every1ms, 7);
}

TEST_F(Logic, GroupAdjustmentOnEdgesAfterStartAdjustsTheAdjustChannels) {
    auto adjust = [] { return DS(0x14, 88).ref(40, 1).floats(12, {10}).floats(76, {-100, 100}); };
    auto group = [](uint16_t edge, uint16_t index) {
        DS d = DS(0x13, 116).ref(40, 9).put<uint16_t>(108, edge);
        for (uint32_t i = 0; i < 16; ++i)
            d.put<uint16_t>(76 + 2 * i, i ? 0xFFFF : index);
        return d;
    };
    load({adjust(), adjust(), adjust(), group(0, 0), group(1, 1), group(2, 2)});
    float* out = measure(0, 0);
    feed(1, 12);
    auto offsets = [] {
        std::string s;
        for (uint16_t i = 0; i < 3; ++i)
            s += std::to_string(awm_to_i32(awm_man_get_adj_data(i)[0])) + " ";
        return s;
    };
    auto trigger = [&](double v) { feed(9, v), cycle(12); };
    trigger(0), trigger(1);
    EXPECT_EQ(offsets(), "0 0 0 ") << "an edge before 6 s of application time is dropped";
    EXPECT_EQ(*out, 12);
    sim::step(6000), trigger(0);
    EXPECT_EQ(offsets(), "0 -2 -2 ");
    trigger(1);
    EXPECT_EQ(offsets(), "-2 -2 -2 ");
    EXPECT_EQ(*out, 10) << "the adjusted signal shows the target";
    EXPECT_TRUE(logged("awm_0x14_adjust_adjustment: offset adjustment value: -2.000000"));
    for (uint16_t i = 0; i < 3; ++i)
        awm_man_get_adj_data(i)[0] = 5;
    lapse(9), cycle(), trigger(0);
    EXPECT_EQ(offsets(), "5 5 5 ") << "the first value after a time-out never fires";
    feed(1, NAN), trigger(1);
    EXPECT_EQ(offsets(), "5 5 5 ") << "a signal that is not a number leaves the offset";
}

TEST_F(Logic, FormulaTimeCountsFromTheFirstRasterPass) {
    ts = 50000000; // the measurement time when the channel functions start
    DS cyclic = DS(0x10, 300).floats(184, {-1e9f, 1e9f}).put<uint16_t>(292, 3).tokens(192, {{0xA5, 0}});
    load({cyclic, DS(cyclic).put<uint16_t>(292, 0xFFFF)});
    float *c = measure(0, 0), *m = measure(1, 0);
    cycle(101);
    EXPECT_FLOAT_EQ(*c, 1.0f);
    EXPECT_FLOAT_EQ(*m, 1.0f) << "without memory too";
}

// The gateway delivers from its own task while the cyclic calls read the values (TSan).
TEST_F(Logic, InputsDeliveredByAnotherTaskAreReadWithoutARace) {
    load(
        {condeval(1, 4, {0, fbits(100)}),
         DS(0x10, 300).ref(40, 1).floats(184, {-1e9f, 1e9f}).put<uint16_t>(292, 3).tokens(192, {{0x10, 0}})});
    const TASK_ID gateway = taskSpawnFn("r_gw", 100, 0, 0, [] {
        for (int k = 0; k < 200; ++k)
            feed(1, k);
    });
    cycle(200);
    ASSERT_EQ(taskWaitExit(gateway, WAIT_FOREVER), OK);
}

TEST_F(Logic, SystemSpeedByTheDriveRulesAndTheDistanceOfALongDrive) {
    struct Case {
        uint16_t selection;
        std::vector<double> wheels;
        float speed;
    };
    for (const Case& c : std::vector<Case>{{0, {0, 0, 20, 21}, 20.5f},
                                           {0, {0, 0, 20, 25}, 25}, // spread 5 ≥ 2.5: the faster
                                           {0, {0, 0, 150, 21}, 21},
                                           {0, {10, 10.5, 150, 150}, 10.25f}, // rear pair out: the front
                                           {1, {10, 10.5, 0, 0}, 10.25f},
                                           {2, {10, 12, 130, 11}, 11},
                                           {2, {150, 150, 150, 9}, 9},
                                           {2, {150, 150, 150, 150}, 0},
                                           {3, {1, 1, 1, 1}, -1}}) {
        DS d = DS(0x07, 236).floats(220, {100, 10}).put<uint16_t>(230, c.selection);
        for (uint32_t i = 0; i < 4; ++i)
            d.ref(40 + 36 * i, i + 1);
        load({d});
        float* speed = measure(0, 0);
        *speed = -1;
        for (uint32_t i = 0; i < 4; ++i)
            feed(i + 1, c.wheels[i]);
        cycle();
        EXPECT_EQ(*speed, c.speed) << c.selection << " " << c.wheels[2];
    }
    EXPECT_TRUE(logged("Systemspeed AWM called with invalid drive selection (3)"));
    // One speed input, 0.1 km/h and metres: 1,000 km fast, then 30 m at 3 m/s.
    DS single = DS(0x07, 236, 2).ref(40, 1).floats(220, {1e9f, 10}).put<uint16_t>(228, 1);
    load({single, DS(single).put<uint16_t>(8, 6)});
    uint16_t* kmh = measure<uint16_t>(0, 0);
    int16_t* metres = measure<int16_t>(0, 1);
    float* distance = measure(1, 1);
    feed(1, 20.5), cycle(200);
    EXPECT_EQ(std::pair(int{*kmh}, int{*metres}), std::pair(738, 41));
    feed(1, 1e5), cycle(1000), feed(1, 3), cycle(1000);
    feed(1, NAN); // adds nothing
    cycle(), feed(1, 3), cycle(100);
    EXPECT_NEAR(*distance, 1000074, 0.07);
    EXPECT_EQ(*metres, static_cast<int16_t>(1000074 % 65536)) << "the low 16 bits";
}

TEST_F(Logic, PwmOutputKeepsItsConfigurationAndAdjustsItsOffset) {
    auto pwm = [](uint32_t word, uint16_t n) {
        return DS(0x09, 216).ref(40, word).put<uint16_t>(76, n).floats(80, {0, 100, 0, 97}).floats(12, {50});
    };
    load({pwm(0, 2), pwm(1, 17), pwm(1, 2), pwm(1, 0)});
    EXPECT_EQ(measure<void>(0, 0), &error_toggle) << "no command input: no instance";
    EXPECT_TRUE(logged("awm_0x09_pwmout_ini: excessive data table size 'curve.len': 17, MAX: 16"));
    EXPECT_FALSE(logged("'curve.len': 0,"));
    feed(1, 30), cycle();
    for (uint16_t idx : {1, 2, 3}) // a curve of 17 points or none has its outputs too
        for (uint8_t o = 0; o < 3; ++o) {
            const uint16_t* v = measure<uint16_t>(idx, o);
            EXPECT_NE(static_cast<const void*>(v), &error_toggle) << idx;
            EXPECT_EQ(*v, 0) << "nothing computes the outputs";
        }
    const awm_entry_t* t = awm_tab(0x09);
    EXPECT_EQ(t->adjustment(awm_man_get_cfg_by_chan(1), 1, 50, 1), 0) << "17 breakpoints are not read";
    EXPECT_EQ(t->adjustment(awm_man_get_cfg_by_chan(3), 3, 50, 1), 0) << "nor none";
    EXPECT_EQ(t->adjustment(awm_man_get_cfg_by_chan(2), 2, 50, 2), 0);
    EXPECT_EQ(t->adjustment(awm_man_get_cfg_by_chan(2), 2, 50, 1), 1);
    EXPECT_EQ(t->adjustment(awm_man_get_cfg_by_chan(2), 2, NAN, 1), 0);
    EXPECT_FLOAT_EQ(awm_man_get_adj_data(2)[0], 1.5f) << "target 50, the curve gives 48.5";
}

} // namespace
