// The lap function without its model: what it decides at start from logging's counters and its
// records, the requests that act for one model step, the countdown kept over a restart and its
// outputs.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/lapfunc.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>

namespace {

LapfuncCounters stored;
std::vector<std::string> calls;
std::string text(const char* what, uint16_t lap, uint16_t out) {
    return std::string(what) + " " + std::to_string(lap) + "/" + std::to_string(out);
}
const LapfuncHooks hooks{
    [](LapfuncCounters* c) { *c = stored; },
    [](uint16_t lap, uint16_t out) { calls.push_back(text("logging", lap, out)); },
    [](uint16_t lap, uint16_t out, float) { calls.push_back(text("init", lap, out)); },
    [](uint16_t lap, uint16_t out, float) { calls.push_back(text("update", lap, out)); }};

struct Lapfunc : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    std::vector<uint8_t> ds = std::vector<uint8_t>(1196);

    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard();
        seram_reset();
        seramInitializeOffsets();
        ASSERT_TRUE(nvmem::install(dir.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
        awm_man_reset();
        lapfunc_setHooks(&hooks);
        calls.clear();
        stored = {5, 7, 40, 2, 1};
        put<uint16_t>(0, AWM_HEAD_TAG)
            .put<uint16_t>(2, 1196)
            .put<uint16_t>(4, 0x08)
            .put<uint16_t>(1194, AWM_FOOT_TAG);
        put<float>(256, 1000).put<float>(264, 10).put<uint16_t>(1110, 3).put<uint16_t>(1112, 1);
        nv(nvram_laplength.id, 1000.0f);
    }
    void TearDown() override {
        awm_man_reset();
        nvram_dbs_reset();
        nvmem::uninstall();
        SteppedTest::TearDown();
    }
    template <class T> Lapfunc& put(uint32_t off, T v) {
        std::memcpy(ds.data() + off, &v, sizeof v);
        return *this;
    }
    template <class T> void nv(uint32_t id, T v) {
        ASSERT_EQ(nvram_dbs_write(id, 0, &v, sizeof v), int(sizeof v));
    }
    void start(bool speedInput) {
        put<uint32_t>(76, speedInput ? VTADDR_gps_speed : 0).put<float>(96, 1);
        std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, ds.data(), ds.size());
        const uint16_t digitalInput1 = 0x0301;
        std::memcpy(seram_memory + VTADDR_CfgMat_Board_Channel, &digitalInput1, 2);
        awm_man_ini();
        awm_0x08_lapfunc_ini_lof();
    }
    static void cycle() { awm_sched_call(3, 0); }
};

TEST_F(Lapfunc, AtStartANewOutingBeginsWithoutSpeedOrAfterTheMinimumDistance) {
    const struct {
        bool valid, speedInput;
        float dist;
        std::vector<std::string> expected;
        const char* log;
    } cases[] = {
        {false,
         true,
         0,
         {"logging 3/1", "init 3/1", "update 3/1"},
         "awm_0x08_lapfunc_ini_lof: Lap and Outing invalid, reset to default"},
        {true,
         false,
         0,
         {"logging 3/8", "init 3/8", "update 3/8"},
         "awm_0x08_lapfunc_ini_lof: New outing 8 bc invalid speed"},
        {true,
         true,
         120,
         {"logging 3/8", "init 3/8", "update 3/8"},
         "awm_0x08_lapfunc_ini_lof: New outing 8 bc dist > "},
        {true, true, 80, {"init 5/7"}, "awm_0x08_lapfunc_ini_lof: Out/Lap/AbsLap/Frag: 7/5/40/2"},
        {true, true, 1e20f, {"logging 3/8", "init 3/8", "update 3/8"}, "- Dist: 2147483647m"},
    };
    for (const auto& c : cases) {
        awm_man_reset();
        calls.clear();
        stored.valid = c.valid;
        nv(nvram_lapdist.id, c.dist);
        start(c.speedInput);
        EXPECT_EQ(c.expected, calls) << c.log;
        EXPECT_TRUE(logged(c.log)) << c.log;
        const bool kept = c.expected.size() == 1;
        EXPECT_EQ(DISTLAP_INIT, kept ? c.dist : 0.0f) << c.log;
        EXPECT_EQ(LAP_CTR_INIT, kept ? 5 : 3) << c.log;
        EXPECT_EQ(awm_0x08_lapfunc_configured(), 1);
    }
}

TEST_F(Lapfunc, RequestsAndAChangedTrackLengthActForOneModelStep) {
    nv(nvram_laplength.id, 900.0f);
    start(true);
    EXPECT_TRUE(
        logged("awm_0x08_lapfunc_ini: track length has changed: resetting dist, best lap and segments"));
    float len = 0;
    EXPECT_EQ(nvram_dbs_read(nvram_laplength.id, 0, &len, 4), 4);
    EXPECT_EQ(len, 1000.0f);
    using Flags = std::array<uint8_t, 6>; // lap, outing, distance, lap trigger, best lap, segments
    auto step = [] {
        cycle();
        Flags f{MACRO_LAP_SET,    MACRO_OUT_SET,       MACRO_LAPDIST_SET,
                MACRO_LAPTRG_SET, MACRO_LAPTIBEST_SET, MACRO_SEGTIME_SET};
        MACRO_LAP_SET = MACRO_OUT_SET = MACRO_LAPDIST_SET = MACRO_LAPTRG_SET = MACRO_LAPTIBEST_SET =
            MACRO_SEGTIME_SET = 0; // what the model's step takes
        return f;
    };
    EXPECT_EQ(step(), (Flags{0, 0, 1, 0, 1, 1}));
    EXPECT_EQ(step(), (Flags{}));
    lapfunc_resetLap();
    lapfunc_incrLap();
    EXPECT_EQ(step(), (Flags{1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(step(), (Flags{}));
    lapfuncUpdate_LapOut(12, 4);
    EXPECT_EQ(step(), (Flags{1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(LAP_CTR_SET, 12);
    EXPECT_EQ(OUT_CTR_SET, 4);
}

TEST_F(Lapfunc, TheCountdownRunsOnOverARestart) {
    timespec now{};
    osClockGettime(CLOCK_REALTIME, &now);
    const uint32_t s = static_cast<uint32_t>(now.tv_sec), ns = static_cast<uint32_t>(now.tv_nsec);
    const struct {
        uint32_t record[5];
        float expected;
    } cases[] = {
        {{s - 1, ns, s + 9, ns + 200000000u}, 9.2f},
        {{s - 9, ns, s - 1, ns}, 0}, // ended
        {{s + 1, ns, s + 9, ns}, 0}, // begins later
    };
    for (const auto& c : cases) {
        awm_man_reset();
        uint32_t record[5];
        std::memcpy(record, c.record, sizeof record);
        const float best = 71.5f;
        std::memcpy(&record[4], &best, 4);
        ASSERT_EQ(nvram_dbs_write(nvram_lapfunc.id, 0, record, sizeof record), 20);
        start(false);
        EXPECT_NEAR(CNTDOWNTIME_INIT, c.expected, 1e-3);
        EXPECT_EQ(*laptimebest, 71.5f);
    }
    // A countdown set beyond the clock's range ends at its last second.
    for (float set : {1e30f, INFINITY}) {
        cntdowntime = set;
        cycle();
        uint32_t record[5] = {};
        ASSERT_EQ(nvram_dbs_read(nvram_lapfunc.id, 0, record, sizeof record), 20);
        EXPECT_EQ(record[2], 0xFFFFFFFFu) << set;
    }
    cntdowntime = 0;
}

TEST_F(Lapfunc, OutputsUpTo98AndTheirRounding) {
    start(false);
    void* out = nullptr;
    void* refused = awm_man_AWM_setupMeasure(awm_vc_id(0, 99), 3, &out);
    EXPECT_EQ(out, &error_toggle);
    awm_man_AWM_shutdownMeasure(refused);
    EXPECT_TRUE(logged("awm_0x08_lapfunc_setupmeas: invalid subchannel measurement request"));
    void* h[3] = {};
    void* at[3] = {};
    for (int i = 0; i < 3; ++i)
        h[i] = awm_man_AWM_setupMeasure(awm_vc_id(0, std::array<uint8_t, 3>{98, 7, 4}[i]), 3, &at[i]);
    lapcurrpred_intrpl = 83.125f; // · 100 = 8312.5: away from zero
    lapdiff = -1.005f;            // a float just above -1.005
    lapctr_lapfunc = 300;         // a byte, truncated
    cycle();
    EXPECT_EQ(*static_cast<uint32_t*>(at[0]), 8313u);
    EXPECT_EQ(*static_cast<int16_t*>(at[1]), -100);
    EXPECT_EQ(*static_cast<uint8_t*>(at[2]), 255);
    for (void* m : h)
        awm_man_AWM_shutdownMeasure(m);
}

// The command task's outing check reads the distance that the model's step writes under the
// channel functions' lock (a race under TSan without it).
TEST_F(Lapfunc, TheOutingCheckOfTheCommandTaskWaitsForTheModelStep) {
    start(true);
    const TASK_ID command = taskSpawnFn("r_cmd", 100, 0, 0, [] {
        for (int k = 0; k < 200; ++k)
            awm_0x08_lapfunc_checkOutCtr();
    });
    for (int k = 0; k < 200; ++k) {
        awm_sched_lock();
        distlap = static_cast<float>(k);
        awm_sched_unlock();
    }
    ASSERT_EQ(taskWaitExit(command, WAIT_FOREVER), OK);
}

} // namespace
