// The lap function and the model's lap timing together, a millisecond at a time in the order the
// unit runs them: laps by the board input and the minimum lap time, the calibration page's
// lap-trigger flag, a restart that keeps the lap, and the GPS trigger line before the first fix.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/lapfunc.h"
#include "acquisition/gps/gps.h"
#include "acquisition/lap/laptrigger.h"
#include "calibration/memory/seram.h"
#include "model/partition.h"
#include "platform/hw/board_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>
#include <map>

namespace {

std::map<uint32_t, awm_input_buf*> inputs; // by reference word
std::vector<std::pair<int, long>> laps;    // lap, lap time in 0.01 s
LapfuncCounters stored;
const LaptriggerHooks lapHooks{
    [](uint16_t lap, uint16_t) { laps.emplace_back(lap, std::lround(laptimeold * 100)); }, nullptr, nullptr};
const LapfuncHooks counterHooks{[](LapfuncCounters* c) { *c = stored; }, nullptr, laptrigger_init,
                                laptrigger_update};

constexpr uint32_t SPEED = 0x40108, LAT = 0x40100, LON = 0x40104;
constexpr double M_PER_DEG = 6371008.8 * M_PI / 180; // north

struct Laps : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    std::vector<uint8_t> ds = std::vector<uint8_t>(1196);
    uint64_t ms = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard();
        seram_reset();
        seramInitializeOffsets();
        ASSERT_TRUE(nvmem::install(dir.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
        awm_man_reset();
        laptrigger_reset();
        laptrigger_setHooks(&lapHooks);
        lapfunc_setHooks(&counterHooks);
        awm_gw_setStandIn([](const uint8_t* ref, awm_input_buf* b, uint16_t) {
            if (ref) inputs[awm_rd<uint32_t>(ref, 0)] = b;
        });
        inputs.clear(), laps.clear();
        stored = {5, 7, 40, 2, 1};
        put<uint16_t>(0, AWM_HEAD_TAG)
            .put<uint16_t>(2, 1196)
            .put<uint16_t>(4, 0x08)
            .put<uint16_t>(1194, AWM_FOOT_TAG);
        put<float>(272, 2.0f).put<uint16_t>(1108, 1).put<uint16_t>(1110, 1).put<uint16_t>(
            1112, 1); // laps 2 s apart
    }
    void TearDown() override {
        awm_man_reset();
        awm_gw_setStandIn(nullptr);
        laptrigger_reset();
        nvram_dbs_reset();
        nvmem::uninstall();
        SteppedTest::TearDown();
    }
    template <class T> Laps& put(uint32_t off, T v) {
        std::memcpy(ds.data() + off, &v, sizeof v);
        return *this;
    }
    // A signal input reference of `word`: b = factor, f = 1, data type `type`.
    Laps& ref(uint32_t off, uint32_t word, float factor, uint16_t type) {
        return put(off, word).put(off + 12, factor).put(off + 28, 1.0f).put(off + 32, type);
    }
    void start() {
        std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, ds.data(), ds.size());
        const uint16_t digitalInput1 = 0x0301;
        std::memcpy(seram_memory + VTADDR_CfgMat_Board_Channel, &digitalInput1, 2);
        awm_man_ini();
        ASSERT_EQ(codegen_hookPartition_P1.init(), 1);
        codegen_hookPartition_P1.eventInit();
    }
    // Milliseconds of the 1 ms step; every tenth the lap function's cycle, then the 10 ms step.
    void run(int n) {
        for (int i = 0; i < n; ++i) {
            codegen_hookPartition_P1.step[0](0);
            if (++ms % 10 == 0) {
                awm_sched_call(3, static_cast<uint32_t>(ms * 10));
                codegen_hookPartition_P1.step[3](0);
            }
        }
    }
    // The board input high for 20 ms, `gap` ms after it rose the last time.
    void edge(int gap) {
        run(gap - 20);
        hwsim::setDigitalIn(0, true);
        run(20);
        hwsim::setDigitalIn(0, false);
    }
    void pageFlag(uint32_t off, uint16_t v) {
        std::memcpy(seram_memory + VTADDR_CfgMat_VC_config + off + seramActiveOffset, &v, 2);
    }
    void deliver(uint32_t word, uint32_t raw) { awm_gw_deliver(inputs.at(word), raw); }
};

TEST_F(Laps, EdgesCountWhenAtLeastTheMinimumLapTimeApartAndThePageFlagOnItsRisingEdge) {
    start();
    edge(125); // the outing's first lap, at any time
    // ms since the last edge, and whether it is a lap; with the lap times that result
    const std::pair<int, bool> edges[] = {{2000, true}, {1999, false}, {1051, true}, {3050, true}};
    for (auto [gap, lap] : edges) {
        const size_t before = laps.size();
        edge(gap);
        EXPECT_EQ(laps.size(), before + (lap ? 1 : 0)) << gap;
    }
    ASSERT_EQ(laps.size(), 4u);
    EXPECT_EQ(std::vector(laps.begin() + 1, laps.end()),
              (std::vector<std::pair<int, long>>{{3, 200}, {4, 305}, {5, 305}}));
    run(3000);

    // The page's flag (held for ms) or the command, then ms run, and the laps counted in all: one
    // lap for a flag held 1.5 s, none within 2 s of the last.
    const std::tuple<bool, int, int, size_t> triggers[] = {
        {true, 50, 1000, 5}, {true, 50, 2000, 5}, {true, 1500, 10, 6}, {false, 0, 500, 6}, {false, 0, 10, 7}};
    for (auto [page, held, after, count] : triggers) {
        if (page) {
            pageFlag(1124, 1);
            run(held);
            pageFlag(1124, 0);
        } else {
            lapfunc_incrLap();
        }
        run(after);
        EXPECT_EQ(laps.size(), count) << page << " " << held << " " << after;
    }
}

TEST_F(Laps, ARestartThatKeepsTheLapKeepsTheSegmentTimes) {
    ref(76, SPEED, 1.0f, 6).put<float>(256, 1000).put<float>(264, 10); // new outing from 100 m
    put<float>(288, 50).put<float>(292, 100).put<float>(296, 150);
    const float dist = 80, kept[3][2] = {{12.5f, 13}, {20, 21}, {30, 31}};
    ASSERT_EQ(nvram_dbs_write(nvram_laplength.id, 0, &ds[256], 4), 4);
    ASSERT_EQ(nvram_dbs_write(nvram_lapdist.id, 0, &dist, 4), 4);
    for (uint32_t k = 0; k < 3; ++k)
        ASSERT_EQ(nvram_dbs_write(nvram_lapsegments.id, k, kept[k], 8), 8);
    start();
    ASSERT_EQ(LAP_CTR_INIT, 5) << "the lap goes on";
    const float speed = 10;
    uint32_t raw;
    std::memcpy(&raw, &speed, 4);
    deliver(SPEED, raw);
    run(4000); // to 80 + 40 m: past the end of segment 1 (at 100 m), begun before the restart
    float got[3][2];
    for (uint32_t k = 0; k < 3; ++k)
        ASSERT_EQ(nvram_dbs_read(nvram_lapsegments.id, k, got[k], 8), 8);
    EXPECT_EQ(std::vector<float>(&got[0][0], &got[0][0] + 6),
              std::vector<float>(&kept[0][0], &kept[0][0] + 6));
    EXPECT_EQ(lapsegctr, 2);
    run(3000); // segment 2 from 100 to 150 m at 10 m/s
    EXPECT_NEAR(lapseg_last[2], 5.0f, 0.011f);
    EXPECT_NEAR(lapseg_best[2], 5.0f, 0.011f);
}

// Positions as the receiver's signals give them; the car drives south over a line at 48.3 N,
// 11.6 E. Before its first fix the receiver reports 0, 0.
TEST_F(Laps, NoGpsPositionBeforeTheFirstFix) {
    put<uint32_t>(40, 0xFFFFFFFF).ref(112, LAT, 1e-7f, 4).ref(148, LON, 1e-7f, 4);
    put<float>(1132, 11.6f).put<float>(1136, 48.3f).put<float>(1140, 25);
    start();
    auto at = [&](double north) {
        deliver(LAT, static_cast<uint32_t>(std::lround((48.3 + north / M_PER_DEG) * 1e7)));
        deliver(LON, static_cast<uint32_t>(std::lround(11.6 * 1e7)));
    };
    deliver(LAT, 0), deliver(LON, 0);
    run(1000);
    at(20); // standing 20 m before the line
    run(1000);
    EXPECT_TRUE(laps.empty()) << "the first fix crosses nothing";
    for (int k = 1; k <= 10; ++k) { // 5 m every 100 ms: over the line after 4
        at(20 - 5 * k);
        run(100);
        EXPECT_EQ(laps.size(), k < 4 ? 0u : 1u) << k;
    }
}

} // namespace
