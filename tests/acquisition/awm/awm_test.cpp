// The channel-function manager and the board-input types on the simulated board, a soft
// scheduler pass at a time: the dataset list, call lists and stop, measurements through the
// calibration memory's handles, the quantiser, curves against a reference written here, the
// adjustment cycle with its non-volatile records, and the formula engine.
#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "calibration/meas/seram_meas.h"
#include "support/channels.h"

#include <cmath>
#include <random>
#include <set>
#include <thread>

namespace {

using testsupport::DS;
DS sensor(float zero, float sens, float mn, float mx, uint16_t code = 6, uint16_t bc = 0x0101) {
    return DS(0x01, 96, code).floats(76, {zero, sens, mn, mx}).on(bc);
}
DS curve(std::vector<float> xy, uint16_t bc = 0x0101) {
    DS d(0x02, 220);
    d.on(bc).put<uint16_t>(76, static_cast<uint16_t>(xy.size() / 2)).floats(208, {-1e9f, 1e9f});
    for (size_t i = 0; i < xy.size(); ++i)
        d.put<float>(80 + 4u * static_cast<uint32_t>(i), xy[i]);
    return d;
}

// Board inputs through the ADC FIFO, a soft scheduler pass at a time.
struct Awm : testsupport::Channels {
    void SetUp() override {
        Channels::SetUp();
        adc_reset();
        adc_fifo_reset(true);
        softSched_setCallees({awm_sched_call, [](int, uint32_t) {}, awm_man_adjust});
    }
    void TearDown() override { Channels::TearDown(), adc_fifo_reset(false); }
    template <class T = float> T* measure(uint16_t idx, uint8_t out, uint16_t raster = 0) {
        return Channels::measure<T>(idx, out, raster);
    }
    void passes(int n) {
        for (int i = 0; i < n; ++i) {
            adc_fifo_inputPass();
            sim::step(1);
            softSched_step();
        }
    }
};

TEST_F(Awm, TheDatasetListEndsAtTheFirstRecordWithoutHeadTagOrPastTheArrayAndRefusesBadRecords) {
    DS noFooter = sensor(0, 1, 0, 1), hugeCurve = curve({0, 1});
    noFooter.put<uint16_t>(94, 0);
    hugeCurve.put<uint16_t>(76, 17);
    load({sensor(0, 1, 0, 1), noFooter, DS(0x15, 40), hugeCurve, sensor(0, 1, 0, 1)});
    for (auto [idx, has] : {std::pair{0, true}, {1, false}, {2, false}, {3, true}, {4, true}, {5, false}})
        EXPECT_EQ(awm_man_get_cfg_by_chan(static_cast<uint16_t>(idx))->dataset != nullptr, has) << idx;
    EXPECT_TRUE(logged("awm_man_ini: VC 1: footer tag missing, ignored"));
    EXPECT_TRUE(logged("awm_man_ini: VC 2: type 0x15 not supported, ignored"));
    // More breakpoints than the dataset holds: refused when measured.
    EXPECT_EQ(measure<void>(3, 1), &error_toggle) << "what a refused output reads";
    EXPECT_TRUE(logged("awm_0x02_curve_setupmeas: excessive data table size 'curve.len': 17, MAX: 16"));
    EXPECT_EQ(awm_man_get_cfg_by_chan(256), nullptr);
    // A length that is not the type's starts nothing.
    DS shortSensor = sensor(0, 1, 0, 1);
    shortSensor.put<uint16_t>(2, 92);
    load({sensor(0, 1, 0, 1), shortSensor});
    EXPECT_EQ(awm_man_get_cfg_by_chan(0)->dataset, nullptr);
    EXPECT_TRUE(logged("awm_man_ini: VC 1: length 92 is not 96 of type 0x1, no channel function started"));

    // An unknown record skipped up to the last 6 bytes, where a sensor record begins.
    awm_man_reset();
    const uint8_t skipped[] = {0x53, 0x44, 0xF9, 0x7F, 0x77, 0x00},
                  tail[] = {0x53, 0x44, 0x60, 0x00, 0x01, 0x00};
    std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, skipped, 6);
    std::memcpy(seram_memory + VTADDR_CfgMat_VC_config + 0x7FF9, tail, 6);
    awm_man_ini();
    EXPECT_TRUE(logged("awm_man_ini: VC 1: length 96 runs past the configuration, list ends"));
    EXPECT_EQ(awm_man_get_cfg_by_chan(1)->dataset, nullptr);
}

TEST_F(Awm, BoardInputTypesStoreTheirOutputs) {
    DS velocity = DS(0x05, 92, 3).on(0x0201).floats(76, {4, 0, 2000});
    DS revolution = DS(0x06, 84, 3).on(0x0201).floats(76, {60});
    DS mpx = DS(0x03, 116).on(0x0101).put<uint16_t>(76, 3).floats(80, {0, 10, 40}).floats(104, {-100, 100});
    load({sensor(500, 40, -10, 100), sensor(500, 40, -10, 51, 1), curve({0, 1250, 2500, 0, 10, 40}), mpx,
          velocity, revolution});
    float* adj = awm_man_get_adj_data(1);
    adj[0] = 2.5f;
    const float mpxPoints[] = {0, 625, 1250, 3750};
    std::memcpy(awm_man_get_adj_data(3), mpxPoints, sizeof mpxPoints);
    hwsim::setRevFrequency(0, 250);
    struct Case {
        uint16_t idx;
        uint8_t out;
        double volts;
        double stored; // read in the output's width
        int width;     // 0 float, 1 u8, 2 u16
    };
    // Volts the converter gives exactly (multiples of 5 V / 4096).
    for (const Case& c : std::vector<Case>{{0, 1, 2.5, 50, 0},
                                           {1, 1, 2.5, 51, 1}, // adjustment offset 2.5, maximum 51
                                           {1, 0, 0.0, 0, 1},  // -10 in an unsigned byte
                                           {0, 3, 0.625, 625, 2},
                                           {2, 1, 1.875, 25, 0},
                                           {2, 1, 3.125, 55, 0}, // last segment extended
                                           {2, 1, 0.625, 5, 0},
                                           {3, 1, 2.5, 25, 0},
                                           {3, 1, 4.375, 47.5, 0},
                                           {3, 1, 0.3125, -5, 0}}) {
        ASSERT_TRUE(hwsim::setAdcChannel(0, c.volts));
        void* v = measure<void>(c.idx, c.out);
        ASSERT_NE(v, nullptr);
        passes(2);
        double got = c.width == 0   ? *static_cast<float*>(v)
                     : c.width == 1 ? *static_cast<uint8_t*>(v)
                                    : *static_cast<uint16_t*>(v);
        EXPECT_NEAR(got, c.stored, 1e-4) << c.idx << "/" << int(c.out) << " at " << c.volts << " V";
    }
    // Velocity 2000 · 250 / (4 · 1000) and revolution 250 / 60 of the board's 250 Hz.
    uint16_t *velo = measure<uint16_t>(4, 1), *rev = measure<uint16_t>(5, 1);
    passes(300);
    EXPECT_EQ(std::pair(*velo, *rev), std::pair(uint16_t{125}, uint16_t{4}));
}

TEST_F(Awm, FiltersAreSharedPerChannelAndRasterAndRequestsAreChecked) {
    load({sensor(0, 1, -1e6f, 1e6f)});
    ASSERT_TRUE(hwsim::setAdcChannel(0, 1.25));
    float* filtered = measure(0, 0, 1);
    uint16_t* filteredMv = measure<uint16_t>(0, 2, 1);
    ASSERT_TRUE(filtered && filteredMv);
    EXPECT_EQ(awm_man_AWM_getLatency(started[0]), 3) << "1.5 periods of 2 ms";
    passes(8);
    ASSERT_TRUE(hwsim::setAdcChannel(0, 2.5));
    passes(2); // one sample of four at the 2 ms raster
    EXPECT_FLOAT_EQ(*filtered, 1562.5f);
    EXPECT_EQ(*filteredMv, 1563);
    awm_man_AWM_shutdownMeasure(started[0]);
    started.erase(started.begin());
    passes(2);
    EXPECT_EQ(*filteredMv, 1875) << "the filter runs on for its other user";
    // A network request for raster 10, a class that is not 31 and an index past the table.
    void* addr = nullptr;
    EXPECT_EQ(awm_man_AWM_setupMeasure(awm_vc_id(0, 1), 10, &addr), nullptr);
    EXPECT_EQ(awm_man_AWM_setupMeasure(awm_vc_id(0, 1) & ~(1u << 18), 0, &addr), nullptr);
    EXPECT_EQ(awm_man_AWM_setupMeasure(awm_vc_id(300, 1), 0, &addr), nullptr);
    // Stopped: no call list runs any more.
    awm_man_stop();
    ASSERT_TRUE(hwsim::setAdcChannel(0, 3.75));
    passes(10);
    EXPECT_EQ(*filteredMv, 1875);
}

TEST_F(Awm, TheQuantiserRoundsHalfAwayAndSaturatesToTheField) {
    struct Case {
        uint16_t code;
        double q;
        int64_t stored;
    };
    for (const Case& c : std::vector<Case>{{1, 300, 255},
                                           {1, -5, 0},
                                           {0, -200, -128},
                                           {0, 2.5, 3},
                                           {0, -2.5, -3},
                                           {2, 0.4, 0},
                                           {2, -0.4, 0},
                                           {3, 70000, 65535},
                                           {4, 3e9, 2147483647},
                                           {4, -INFINITY, -2147483648LL},
                                           {5, -1, 0},
                                           {5, NAN, 0},
                                           {7, 256, 255}}) {
        int64_t out = 0x5A5A5A5A5A5A;
        awm_store_int(&out, c.code, c.q);
        const int64_t v = c.code == 0   ? int64_t{static_cast<int8_t>(out)}
                          : c.code == 2 ? int64_t{static_cast<int16_t>(out)}
                          : c.code == 3 ? int64_t{static_cast<uint16_t>(out)}
                          : c.code == 4 ? int64_t{static_cast<int32_t>(out)}
                          : c.code == 5 ? int64_t{static_cast<uint32_t>(out)}
                                        : int64_t{static_cast<uint8_t>(out)};
        EXPECT_EQ(v, c.stored) << c.code << " " << c.q;
    }
    float f = 0;
    awm_store_linear(&f, 6, 7.25, {10, 3, 1});
    EXPECT_EQ(f, 7.25f) << "a float output is not scaled";
    uint16_t u = 0;
    awm_store_linear(&u, 3, 7.25, {10, 3, 1});
    EXPECT_EQ(u, 76);
    EXPECT_EQ(awm_man_conv2double(0xFFFFFF80u, 0), -128.0);
    EXPECT_EQ(awm_man_conv2double(0xFFFF8000u, 3), 32768.0);
    EXPECT_EQ(awm_man_conv2double(0x3FC00000u, 6), 1.5);
}

// The curve's segment search and its extended outer segments, on the squares 0, 1, 4 ... at
// 0, 10, 20 ...: (last index, x) -> y worked out by hand.
TEST_F(Awm, CurvesInterpolateInTheirSegmentAndExtendTheOuterOnes) {
    float xs[16], ys[16];
    for (int i = 0; i < 16; ++i)
        xs[i] = 10.0f * static_cast<float>(i), ys[i] = static_cast<float>(i * i);
    const std::tuple<uint16_t, float, float> cases[] = {
        {15, 5, 0.5f},   {15, 35, 12.5f}, {15, 75, 56.5f}, {15, 115, 132.5f}, {15, 145, 210.5f},
        {15, -5, -0.5f}, {15, 160, 254},  {4, 35, 12.5f},  {4, 45, 19.5f},    {4, -10, -1},
        {1, 25, 2.5f},   {1, 5, 0.5f},    {0, 77, 0},      {2, 20, 4},        {3, 15, 2.5f}};
    for (auto [last, x, want] : cases) {
        float r;
        awm_0x02_lookup(&r, ys, x, xs, last);
        EXPECT_NEAR(r, want, 1e-4) << "last index " << last << " x " << x;
    }
    float r;
    awm_0x02_lookup(&r, ys, NAN, xs, 2);
    EXPECT_TRUE(std::isnan(r)) << "the clamp after it makes it the maximum";
}

// The curve against a reference that finds the segment by a linear scan and extends the outer
// ones, in double precision, on breakpoints at random distances.
TEST_F(Awm, CurvesMatchLinearInterpolationWithLinearExtrapolation) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> step(1, 500), val(-1000, 1000);
    for (int round = 0; round < 200; ++round) {
        const int n = 1 + round % 16;
        float xs[16], ys[16];
        for (int i = 0; i < n; ++i)
            xs[i] = (i ? xs[i - 1] : -2000.0f) + step(rng), ys[i] = val(rng);
        for (int k = 0; k < 20; ++k) {
            const float x = std::uniform_real_distribution<float>(xs[0] - 800, xs[n - 1] + 800)(rng);
            double want = ys[0];
            if (n > 1) {
                int s = 0;
                while (s < n - 2 && x >= xs[s + 1])
                    ++s;
                want = ys[s] + (static_cast<double>(ys[s + 1]) - ys[s]) /
                                   (static_cast<double>(xs[s + 1]) - xs[s]) *
                                   (static_cast<double>(x) - xs[s]);
            }
            float got;
            awm_0x02_lookup(&got, ys, x, xs, static_cast<uint16_t>(n - 1));
            EXPECT_NEAR(got, want, 1e-3 * (1 + std::fabs(want))) << "n " << n << " x " << x;
        }
    }
}

TEST_F(Awm, AnAdjustmentHeldFor50msIsStoredInElement7AndComesBackAfterARestart) {
    DS velocity = DS(0x05, 92).on(0x0201).floats(76, {1, 0, 1});
    load({sensor(500, 40, -100, 100), velocity});
    ASSERT_TRUE(hwsim::setAdcChannel(0, 0.625));
    seram_memory[VTADDR_CfgMat_VC_config + 6] = 1;      // offset adjustment, target 0
    seram_memory[VTADDR_CfgMat_VC_config + 96 + 6] = 1; // a type that cannot adjust
    passes(140);
    EXPECT_FALSE(logged("awm_0x01_sens_offs_adjustment: offset adjustment value"))
        << "seen, held 50 ms, nine samples";
    passes(10);
    EXPECT_TRUE(logged("awm_0x01_sens_offs_adjustment: offset adjustment value: -3.125000"));
    EXPECT_TRUE(logged("awm_man_adjust: calibration for ch #0 finished after:  0,140 s"));
    uint8_t rec[32];
    ASSERT_EQ(nvram_dbs_read(7, 0, rec, 32), 32);
    EXPECT_EQ(awm_rd<uint32_t>(rec, 0), 1u);
    EXPECT_EQ(awm_rd<float>(rec, 4), -3.125f);
    EXPECT_EQ(nvram_dbs_read(7, 1, rec, 32), -1) << "nothing stored for the velocity";
    seram_memory[VTADDR_CfgMat_VC_config + 6] = 0;
    passes(10);
    EXPECT_TRUE(logged("awm_man_adjust: calibration cycle for ch #0 ended after:  0,150 s"));

    // A PC tool writes slot 1 through the adapt page: stored as 32 bytes, read back unshifted.
    const float set[7] = {1.5f, 10, 20, 30, 40, 50, 60};
    ASSERT_TRUE(seramDownload(VTADDR_adjust_data_nv_copy + 28, set, 28));
    awm_man_reset();
    std::memset(static_cast<float*>(adjust_data_nv_copy), 0, 2 * 28);
    awm_man_ini();
    EXPECT_EQ(awm_man_get_adj_data(0)[0], -3.125f);
    EXPECT_EQ(std::vector<float>(awm_man_get_adj_data(1), awm_man_get_adj_data(1) + 7),
              std::vector<float>(set, set + 7));
    // The slot now serves a curve: a sensor's record means nothing to it.
    load({curve({0, 1})});
    EXPECT_EQ(std::vector<float>(awm_man_get_adj_data(0), awm_man_get_adj_data(0) + 7),
              (std::vector<float>{0, 0, 1000, 2000, 3000, 4000, 5000}));
}

TEST_F(Awm, AnAdjustmentReadsTheActivePageWhileAToolRewritesItAndSwitchesPages) {
    // A multipoint input (set points 625, 1250, 3750 mV for 0, 10, 40) asked in both pages to
    // adjust to 30 (request 1 at byte 6, target at 12); at 2.5 V it reads 25.
    DS mpx = DS(0x03, 116).on(0x0101).put<uint16_t>(76, 3).floats(80, {0, 10, 40}).floats(104, {-100, 100});
    mpx.put<uint16_t>(6, 1).put<float>(12, 30);
    load({mpx});
    const float points[] = {0, 625, 1250, 3750};
    std::memcpy(awm_man_get_adj_data(0), points, sizeof points);
    ASSERT_TRUE(hwsim::setAdcChannel(0, 2.5));
    seramCopyRefToWorkpage();
    // The tool writes the request, the target and the set points again as they are.
    const uint32_t ds = 0x20000 + VTADDR_CfgMat_VC_config;
    std::atomic<bool> done{false}; // relaxed: orders no read after a write
    std::thread tool([&] {
        for (int r = 0; r < 50 || !done.load(std::memory_order_relaxed); ++r) { // some rounds in any case
            seramSetWorkpageActive();
            EXPECT_TRUE(seramDownload(ds + 4, mpx.b.data() + 4, 12) &&
                        seramDownload(ds + 76, mpx.b.data() + 76, 16));
            seramSetRefpageActive();
        }
    });
    passes(200);
    done.store(true, std::memory_order_relaxed);
    tool.join();
    EXPECT_EQ(countLogged("awm_0x03_mpx_adjustment: offset adjustment value: 5.000000"), 1);
}

TEST_F(Awm, TheWholeRoadFromStimulusToMeasurementHandle) {
    // Beside the sensors one channel function of every other kind, whose outputs are sampled below.
    DS led(0x0B, 1968), speed = DS(0x07, 236, 2).ref(40, 1).floats(220, {1e9f, 10}).put<uint16_t>(228, 1);
    load({sensor(500, 40, -10, 100), sensor(500, 40, -10, 51, 1), DS(0x0C, 152), DS(0x0D, 532),
          DS(0x0E, 164).ref(40, 1), DS(0x0A, 148), led.put<uint8_t>(1959, 1).put<uint8_t>(1961, 10),
          DS(0x17, 20), DS(0x08, 1196), speed, DS(0x10, 300).put<uint16_t>(292, 3).tokens(192, {{0x10, 0}}),
          DS(0x13, 116)});
    hwsim::Stimulus square{hwsim::Stimulus::Square, 1.25, 2.5, 100, {}};
    ASSERT_TRUE(hwsim::setAdcStimulus(0, square));
    seramMeasHandle h{};
    seramMeasSetupMeas(awm_vc_id(0, 1), 3, &h);
    ASSERT_EQ(h.kind, SERAM_MEAS_CHANNEL);
    std::set<float> seen;
    for (int i = 0; i < 40; ++i) {
        passes(10);
        float v = 0;
        seramMeasCopy(&v, 4, &h);
        seen.insert(v);
    }
    EXPECT_EQ(seen, (std::set<float>{(1250 - 500) / 40.0f, (2500 - 500) / 40.0f}));
    // Another task samples outputs of every kind (a float, words of 1, 2 and 4 bytes) and signals
    // they write while the soft scheduler writes them and measurements start and stop: no torn or
    // racing read.
    const std::pair<uint32_t, uint32_t> sampled[] = {
        {awm_vc_id(0, 3), 2},      {awm_vc_id(1, 1), 1},  {awm_vc_id(2, 1), 4},
        {awm_vc_id(3, 1), 4},      {awm_vc_id(4, 1), 4},  {awm_vc_id(5, 1), 2},
        {awm_vc_id(6, 3), 4},      {awm_vc_id(6, 2), 2},  {awm_vc_id(7, 1), 4},
        {awm_vc_id(8, 60), 4},     {awm_vc_id(8, 68), 1}, {awm_vc_id(9, 1), 2},
        {awm_vc_id(10, 1), 4},     {awm_vc_id(11, 0), 1}, {VTADDR_sb_fuelcons_vyn, 2},
        {VTADDR_sb_laptime_vyn, 4}};
    seramMeasHandle more[std::size(sampled)]{};
    for (size_t i = 0; i < std::size(sampled); ++i) {
        seramMeasSetupMeas(sampled[i].first, 3, &more[i]);
        EXPECT_NE(more[i].source, reinterpret_cast<uintptr_t>(&error_toggle)) << i;
    }
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0}; // relaxed: orders none of the sampler's reads before the writes
    std::set<float> sampledRoad;
    std::thread sampler([&] {
        while (!done) {
            float v = 0;
            uint8_t word[4];
            seramMeasCopy(&v, 4, &h);
            sampledRoad.insert(v);
            for (size_t i = 0; i < std::size(sampled); ++i)
                seramMeasCopy_bigEndian(word, sampled[i].second, &more[i]);
            rounds.fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (int i = 0; i < 20; ++i) {
        for (const int r = rounds.load(std::memory_order_relaxed);
             rounds.load(std::memory_order_relaxed) < r + 2;)
            std::this_thread::yield();
        seramMeasHandle extra[2]{};
        seramMeasSetupMeas(awm_vc_id(0, 1), 3, &extra[0]);
        seramMeasSetupMeas(awm_vc_id(4, 1), 3, &extra[1]);
        feed(1, i % 3);
        passes(5);
        for (seramMeasHandle& e : extra)
            seramMeasFreeMeas(&e);
    }
    done = true;
    sampler.join();
    for (float v : sampledRoad)
        EXPECT_TRUE(v == 18.75f || v == 50.0f) << v;
    for (seramMeasHandle& m : more)
        seramMeasFreeMeas(&m);
    seramMeasFreeMeas(&h);
}

// A copy through a handle reads no byte beyond the output it names: 8 bytes of a refused output
// (the manager's 32-bit error value) and 64 bytes of a sensor's 32-bit output do not fit them, and
// a copy gives their 4 bytes, the rest zero.
TEST_F(Awm, ACopyLargerThanTheOutputReadsOnlyTheOutput) {
    load({sensor(500, 40, -10, 100), DS(0x0C, 152)});
    passes(10);
    seramMeasHandle refused{}, sensorOut{};
    seramMeasSetupMeas(awm_vc_id(1, 0), 3, &refused); // a condition evaluation has outputs 1 and 2
    seramMeasSetupMeas(awm_vc_id(0, 0), 3, &sensorOut);
    EXPECT_TRUE(seramMeasFits(&refused, 4) && seramMeasFits(&sensorOut, 4));
    EXPECT_FALSE(seramMeasFits(&refused, 8) || seramMeasFits(&sensorOut, 8)) << "refused at set-up";
    std::vector<uint8_t> eight(8, 0xCC), wide(64, 0xCC);
    seramMeasCopy(eight.data(), 8, &refused);
    seramMeasCopy(wide.data(), 64, &sensorOut);
    EXPECT_EQ(std::vector<uint8_t>(eight.begin() + 4, eight.end()), std::vector<uint8_t>(4, 0));
    EXPECT_EQ(std::vector<uint8_t>(wide.begin() + 4, wide.end()), std::vector<uint8_t>(60, 0));
    seramMeasFreeMeas(&refused), seramMeasFreeMeas(&sensorOut);
}

// Formulas against results worked out by hand from the opcode table.
TEST_F(Awm, TheFormulaEngineEvaluatesItsOpcodesAndBoundsItsStack) {
    auto tok = [](std::initializer_list<std::pair<uint8_t, float>> t) {
        std::vector<uint8_t> b;
        for (auto [op, v] : t) {
            b.push_back(op);
            uint8_t w[4];
            std::memcpy(w, &v, 4);
            b.insert(b.end(), w, w + 4);
        }
        return b;
    };
    auto calc = [](const std::vector<uint8_t>& t, awm_upn_mem* m = nullptr, uint8_t first = 1,
                   uint32_t prev = 0, uint32_t ts = 0) {
        return awm_man_upn_calc(t.data(), static_cast<uint16_t>(t.size()), 6, m, prev, ts, 3, -4, 0.5, 10,
                                first);
    };
    struct Case {
        std::vector<uint8_t> t;
        double want;
    };
    std::vector<uint8_t> deep;
    for (int i = 0; i < 17; ++i)
        deep.insert(deep.end(), {0x10, 0, 0, 0, 0});
    for (const Case& c : std::vector<Case>{
             {tok({{0x00, 2}, {0x00, 3}, {0x20, 0}, {0x10, 0}, {0x22, 0}}), 15}, // (2 + 3) · in1
             {tok({{0x11, 0}, {0x25, 0}, {0x12, 0}, {0x23, 0}}), 8},             // |in2| / in3
             {tok({{0x10, 0}, {0x11, 0}, {0x32, 0}, {0x13, 0}, {0x00, 7}, {0x43, 0}}), 10},
             {tok({{0x10, 0}, {0x13, 0}, {0x26, 0}, {0x00, 9}, {0x28, 0}, {0x21, 0}}), 0},
             {tok({{0x03, 0}, {0x42, 0}, {0xFF, 0}, {0x00, 5}}), 1}, // ends at 0xFF
             {tok({{0x10, 0}, {0x20, 0}}), 0},                       // too few operands
             {tok({{0x10, 0}, {0x7E, 0}}), 0},                       // no such opcode
             {deep, 0},                                              // 17 values
             {{}, 0}})
        EXPECT_EQ(calc(c.t), c.want);
    EXPECT_TRUE(logged("awm_man_upn_calc: stack fault at token 1 (opcode 0x20)"));
    EXPECT_TRUE(logged("awm_man_upn_calc: stack fault at token 16 (opcode 0x10)"));

    // Integral of input 1 and the edge counter of input 4 minus 10, with memory over 100 bytes.
    std::vector<uint8_t> area = tok(
        {{0x10, 0}, {0xA1, 0}, {0x13, 0}, {0x00, 10}, {0x21, 0}, {0xAB, 0}, {0x20, 0}, {0xFF, 0}, {0xA1, 0}});
    area.resize(100, 0xFF);
    ASSERT_EQ(awm_man_upn_memsize(area.data(), 100), 4) << "the token after 0xFF is not counted";
    double cells[4] = {9, 9, 9, 9};
    awm_upn_mem mem{0, cells, 4};
    awm_man_upn_init(area.data(), 100, &mem);
    EXPECT_EQ(std::vector<double>(cells, cells + 4), std::vector<double>(4, 0.0));
    EXPECT_EQ(calc(area, &mem, 1, 0, 1000), 0);
    EXPECT_NEAR(calc(area, &mem, 0, 1000, 6000), 1.5, 1e-12) << "3 · 0.5 s";
}

// The integer constants: 0x01 reads its operand (little-endian) as signed, 0x02 as unsigned;
// each is one value on the stack that arithmetic goes on with.
TEST_F(Awm, IntegerConstantsOfTheFormulaEngineKeepTheirSign) {
    auto calc = [](std::vector<uint8_t> t) {
        return awm_man_upn_calc(t.data(), static_cast<uint16_t>(t.size()), 6, nullptr, 0, 1000, 3, -4, 0.5,
                                10, 1);
    };
    const struct {
        std::vector<uint8_t> tokens;
        double want;
    } cases[] = {
        {{0x01, 0xFF, 0xFF, 0xFF, 0xFF}, -1},
        {{0x01, 0xFE, 0xFF, 0xFF, 0xFF}, -2},
        {{0x01, 0x00, 0x00, 0x00, 0x80}, -2147483648.0},
        {{0x01, 0xFF, 0xFF, 0xFF, 0x7F}, 2147483647},
        {{0x01, 0x00, 0x01, 0x00, 0x00}, 256},
        {{0x02, 0xFF, 0xFF, 0xFF, 0xFF}, 4294967295.0},
        {{0x02, 0x00, 0x00, 0x00, 0x80}, 2147483648.0},
        {{0x02, 0x00, 0x01, 0x00, 0x00}, 256},
        // -5 + 2, -5 · input 2 (-4), and -5 < 0
        {{0x01, 0xFB, 0xFF, 0xFF, 0xFF, 0x01, 0x02, 0x00, 0x00, 0x00, 0x20, 0, 0, 0, 0}, -3},
        {{0x01, 0xFB, 0xFF, 0xFF, 0xFF, 0x11, 0, 0, 0, 0, 0x22, 0, 0, 0, 0}, 20},
        {{0x01, 0xFB, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0, 0, 0x30, 0, 0, 0, 0}, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(calc(c.tokens), c.want) << testing::PrintToString(c.tokens);
}

// Each opcode's operands and memory cells as the channel-function rules give them: the stateful
// tokens 0xA0, 0xA1, 0xA2, 0xA5 to 0xAA keep one cell, 0xAB three, no other code any.
TEST_F(Awm, EveryOpcodePopsItsOperandsAndKeepsItsOwnMemoryCells) {
    for (int op = 0; op < 0xFF; ++op) {
        const uint8_t t[5] = {static_cast<uint8_t>(op), 0, 0, 0, 0};
        const int want = op == 0xAB ? 3 : (op >= 0xA0 && op <= 0xA2) || (op >= 0xA5 && op <= 0xAA) ? 1 : 0;
        EXPECT_EQ(awm_man_upn_memsize(t, 5), want) << std::hex << op;
    }
    // k values, the opcode, then 7 pushed: 7 when the opcode took at most k, 0 (a stack fault)
    // when it wanted more.
    auto run = [](uint8_t op, int k) {
        std::vector<uint8_t> t;
        const float two = 2, seven = 7;
        auto push = [&t](uint8_t code, float v) {
            t.push_back(code);
            const auto* b = reinterpret_cast<const uint8_t*>(&v);
            t.insert(t.end(), b, b + 4);
        };
        for (int i = 0; i < k; ++i)
            push(0x00, two);
        push(op, 0);
        push(0x00, seven);
        return awm_man_upn_calc(t.data(), static_cast<uint16_t>(t.size()), 6, nullptr, 0, 1000, 3, -4, 0.5,
                                10, 0);
    };
    const std::pair<std::vector<uint8_t>, int> arity[] = {
        {{0x00, 0x01, 0x02, 0x03, 0x10, 0x11, 0x12, 0x13, 0xA3, 0xA4, 0xA5}, 0}, // constants, inputs, time
        {{0x24, 0x25, 0x28, 0x42, 0xA0, 0xA1, 0xA2, 0xA6, 0xA7, 0xA8, 0xA9, 0xAB}, 1}, // of b
        {{0x20, 0x21, 0x22, 0x23, 0x26, 0x27, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x40, 0x41, 0xAA}, 2},
        {{0x43}, 3}, // c ? a : b
    };
    for (const auto& [ops, k] : arity)
        for (uint8_t op : ops) {
            EXPECT_EQ(run(op, k), 7) << std::hex << int{op} << " takes no more than " << k;
            if (k) {
                EXPECT_EQ(run(op, k - 1), 0) << std::hex << int{op} << " needs " << k;
            }
        }
}

} // namespace
