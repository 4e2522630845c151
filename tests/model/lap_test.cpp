// The lap function and the model's lap timing, a millisecond at a time in the order the unit runs
// them: what is decided at start from logging's counters and the stored records, laps by the
// board input and the minimum lap time, the calibration page's flag and the requests, the outing
// trigger's block time, a restart that keeps the lap, the countdown, the outputs, and the GPS
// trigger line before the first fix.
#include "acquisition/awm/awm_man.h"
#include "acquisition/awm/lapfunc.h"
#include "acquisition/lap/laptrigger.h"
#include "calibration/meas/seram_meas.h"
#include "model/model.h"
#include "model/partition.h"
#include "platform/kmgr/appman.h"
#include "services/rtpman/rtpman.h"
#include "services/sysrole/sysrole.h"
#include "support/channels.h"
#include "support/cimsg.h"

#include <array>
#include <atomic>
#include <cmath>

namespace {

using testsupport::DS;
std::vector<std::string> calls;         // logging's counters, the lap trigger's init and update
std::vector<std::pair<int, long>> laps; // lap, lap time in 0.01 s
LapfuncCounters stored;

void note(const char* what, uint16_t lap, uint16_t out) {
    calls.push_back(std::string(what) + " " + std::to_string(lap) + "/" + std::to_string(out));
}
const LapfuncHooks counterHooks{[](LapfuncCounters* c) { *c = stored; },
                                [](uint16_t lap, uint16_t out) { note("logging", lap, out); },
                                [](uint16_t lap, uint16_t out, float) { note("init", lap, out); },
                                [](uint16_t lap, uint16_t out, float) { note("update", lap, out); }};
const LaptriggerHooks lapHooks{[](uint16_t lap, uint16_t out) {
                                   laps.emplace_back(lap, std::lround(laptimeold * 100));
                                   note("lap", lap, out);
                               },
                               [](uint16_t lap, uint16_t out) { note("set", lap, out); },
                               [](uint16_t lap, uint16_t out) { note("answer", lap, out); }};

using cimsg::Bytes;
using cimsg::fields;
constexpr uint16_t OWN = 0x25, MASTER = 0x30, OTHER = 0x32;
// A lap message as the master sends it: sender, target, kind, fuel, lap time, lap, outing.
Bytes lapMessage(uint16_t src, uint32_t kind, uint16_t lap, uint16_t out, int outWidth = 2) {
    return cimsg::message(
        0x1200, src, OWN, 0, 0,
        fields({{src, 2}, {OWN, 2}, {kind, 4}, {0, 4}, {6543, 4}, {lap, 2}, {out, outWidth}}));
}
Bytes reply(int outWidth, uint16_t src = MASTER) {
    return cimsg::message(0x1202, src, OWN, 0, 0, fields({{0, 4}, {0, 4}, {0, 4}, {9, 2}, {4, outWidth}}));
}

constexpr uint32_t SPEED = 0x40108, LAT = 0x40100, LON = 0x40104, OUTING = 0x411F4;
constexpr double M_PER_DEG = 6371008.8 * M_PI / 180; // north

struct Laps : testsupport::Channels {
    // Laps on digital input 1 (active high) at least 2 s apart, 1000 m, a new outing from 25 % of
    // it; laps count from 3, outings from 1.
    DS ds = DS(0x08, 1196).on(0x0301);
    uint64_t ms = 0;

    void SetUp() override {
        Channels::SetUp();
        laptrigger_reset();
        laptrigger_setHooks(&lapHooks);
        lapfunc_setHooks(&counterHooks);
        calls.clear(), laps.clear();
        stored = {5, 7, 40, 2, 1};
        ds.put<float>(256, 1000).put<float>(264, 25).put<float>(272, 2.0f);
        ds.put<uint16_t>(1108, 1).put<uint16_t>(1110, 3).put<uint16_t>(1112, 1);
        nv(nvram_laplength.id, 1000.0f);
    }
    void TearDown() override { Channels::TearDown(), laptrigger_reset(); }
    template <class T> static void nv(uint32_t id, T v) {
        ASSERT_EQ(nvram_dbs_write(id, 0, &v, sizeof v), int(sizeof v));
    }
    void start(bool speedInput = false) {
        ds.ref(76, speedInput ? SPEED : 0);
        load({ds});
        ASSERT_EQ(codegen_hookPartition_P1.init(), 1);
        codegen_hookPartition_P1.eventInit();
    }
    // Milliseconds of the 1 ms step, each on its own tick; every tenth the lap function's cycle,
    // then the 10 ms step. `onTime` false: the steps of ticks already made, one after the other, as
    // a loaded host's rasters make up their releases.
    void run(int n, bool onTime = true) {
        for (int i = 0; i < n; ++i) {
            if (onTime) sim::step(1);
            codegen_hookPartition_P1.step[0](0);
            if (++ms % 10 == 0) {
                cycle();
                codegen_hookPartition_P1.step[3](0);
            }
        }
    }
    // The board input high for 20 ms, `gap` ms after it rose the last time.
    void edge(int gap) {
        run(gap - 20), hwsim::setDigitalIn(0, true), run(20), hwsim::setDigitalIn(0, false);
    }
    static void pageFlag(uint32_t off, uint16_t v) {
        std::memcpy(seram_memory + VTADDR_CfgMat_VC_config + off + seramActiveOffset, &v, 2);
    }
};

TEST_F(Laps, AtStartANewOutingBeginsWithoutSpeedOrFromTheMinimumDistance) {
    const struct {
        bool valid, speedInput;
        float dist;
        const char* counters; // set anew, or null: kept
        const char* log;
    } cases[] = {
        {false, true, 0, "3/1", "awm_0x08_lapfunc_ini_lof: Lap and Outing invalid, reset to default"},
        {true, false, 0, "3/8", "awm_0x08_lapfunc_ini_lof: New outing 8 bc invalid speed"},
        {true, true, 250, "3/8", "awm_0x08_lapfunc_ini_lof: New outing 8 bc dist > 250m"},
        {true, true, 249.9f, nullptr,
         "awm_0x08_lapfunc_ini_lof: Out/Lap/AbsLap/Frag: 7/5/40/2 or hex 7/5/28/2 - Dist: 249m"},
        {true, true, 1e20f, "3/8", "- Dist: 2147483647m"},
    };
    for (const auto& c : cases) {
        calls.clear();
        stored.valid = c.valid;
        nv(nvram_lapdist.id, c.dist);
        start(c.speedInput);
        const std::string n = c.counters ? c.counters : "";
        const std::vector<std::string> expected =
            c.counters ? std::vector<std::string>{"logging " + n, "init " + n, "update " + n}
                       : std::vector<std::string>{"init 5/7"};
        EXPECT_EQ(calls, expected) << c.log;
        EXPECT_TRUE(logged(c.log)) << c.log;
        EXPECT_EQ(DISTLAP_INIT, c.counters ? 0.0f : c.dist) << c.log;
        EXPECT_EQ(LAP_CTR_INIT, c.counters ? 3 : 5) << c.log;
        EXPECT_EQ(awm_0x08_lapfunc_configured(), 1);
    }
}

TEST_F(Laps, EdgesCountAtLeastTheMinimumLapTimeApartThePageFlagOnItsRisingEdge) {
    start();
    // ms since the last edge: the outing's first lap at any time, none 1999 ms after a lap
    for (int gap : {125, 2000, 1999, 1051, 3050})
        edge(gap);
    ASSERT_EQ(laps.size(), 4u);
    EXPECT_EQ(std::vector(laps.begin() + 1, laps.end()),
              (std::vector<std::pair<int, long>>{{5, 200}, {6, 305}, {7, 305}}));
    run(3000);
    // The page's flag (held for ms) or the command, then ms run, and the laps counted in all: one
    // lap for a flag held 1.5 s, none within 2 s of the last.
    const std::tuple<bool, int, int, size_t> triggers[] = {
        {true, 50, 1000, 5}, {true, 50, 2000, 5}, {true, 1500, 10, 6}, {false, 0, 500, 6}, {false, 0, 10, 7}};
    for (auto [page, held, after, n] : triggers) {
        if (page) {
            pageFlag(1124, 1);
            run(held);
            pageFlag(1124, 0);
        } else {
            lapfunc_incrLap();
        }
        run(after);
        EXPECT_EQ(laps.size(), n) << page << " " << held << " " << after;
    }
    // A lap reset and an increment in one step: from the start value; the master's counters are
    // taken without being announced again.
    calls.clear();
    run(2000);
    lapfunc_resetLap(), lapfunc_incrLap();
    run(10);
    lapfuncUpdate_LapOut(12, 4);
    run(10);
    EXPECT_EQ(laps.back().first, 4);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 3/8", "lap 4/8"}));
    EXPECT_EQ(std::pair(int(lapctr), int(outctr)), std::pair(12, 4));
}

// Steps that run late read the trigger as it is when they run: a trigger raised 2.2 s after the
// last lap, while the steps were 0.3 s behind, and held, is one lap 2.2 s long, not an edge dated
// where the late steps were (within the minimum lap time, and a held trigger has no second edge).
TEST_F(Laps, ATriggerRaisedWhileTheStepsRunLateCountsWhenItWasRaised) {
    start();
    edge(100);
    run(1880);
    sim::step(300);
    hwsim::setDigitalIn(0, true);
    run(300, false);
    run(100);
    ASSERT_EQ(laps.size(), 2u);
    EXPECT_EQ(laps[1].second, 220);
}

// A tool may leave the page's lap-trigger flag up for a while: however many minimum lap times it
// stays up, its rise is one lap, and the next lap comes with its next rise.
TEST_F(Laps, ThePagesLapTriggerFlagHeldPastTheMinimumLapTimeCountsOneLap) {
    start();
    run(3000);
    pageFlag(1124, 1);
    run(5000); // 2.5 minimum lap times
    pageFlag(1124, 0);
    run(10);
    EXPECT_EQ(laps.size(), 1u);
    run(2000);
    pageFlag(1124, 1);
    run(50);
    pageFlag(1124, 0);
    run(10);
    ASSERT_EQ(laps.size(), 2u);
    EXPECT_NEAR(laps[1].second, 701, 1) << "from rise to rise: 5 s up, 10 ms and 2 s down";
}

// A calibration tool pulses the page's counter flags: each rise sets its counter once however long
// the flag stays up (logging starts one fragment, the other units get one update). A flag already
// up at start is no rise; one rising as the master's counters are taken acts in the next step.
TEST_F(Laps, ThePagesCounterFlagsSetTheirCounterOnceAsTheyRise) {
    ds.put<uint16_t>(1120, 1);
    start();
    run(1000);
    EXPECT_EQ(int(outctr), 8);
    pageFlag(1120, 0);
    edge(100), edge(2000);
    calls.clear();
    pageFlag(1118, 1); // 1 s, a lap 2 s after the last one within it
    run(500), edge(1500), run(480);
    pageFlag(1118, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 3/8", "lap 4/8"}));
    EXPECT_EQ(int(lapctr), 4);
    calls.clear();
    pageFlag(1120, 1);
    run(1000);
    pageFlag(1120, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 4/1"}));
    calls.clear();
    lapfuncUpdate_LapOut(12, 4), pageFlag(1118, 1);
    run(10);
    EXPECT_EQ(std::pair(int(lapctr), int(outctr)), std::pair(12, 4));
    run(1000);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 3/4"}));
    EXPECT_EQ(std::pair(int(lapctr), int(outctr)), std::pair(3, 4));
}

// Counters set on this unit are announced however their flags come together: both page flags
// rising at once, or an outing reset meeting the lap flag's rise; only the master's are not.
TEST_F(Laps, CountersSetHereAreAnnouncedWhenBothFlagsComeTogether) {
    start();
    run(1000);
    calls.clear();
    pageFlag(1118, 1), pageFlag(1120, 1);
    run(100);
    pageFlag(1118, 0), pageFlag(1120, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 3/1"}));
    calls.clear();
    lapfunc_resetOut(), pageFlag(1118, 1);
    run(100);
    pageFlag(1118, 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 3/1"}));
    calls.clear();
    lapfuncUpdate_LapOut(12, 4);
    run(100);
    EXPECT_EQ(calls, (std::vector<std::string>{}));
    EXPECT_EQ(std::pair(int(lapctr), int(outctr)), std::pair(12, 4));
}

// An edge of the outing trigger (a byte, rising) asks for a new outing, then none for 4 s.
TEST_F(Laps, TheOutingTriggerIsBlockedFourSecondsAfterItsEdge) {
    ds.ref(1144, OUTING, 1).put<uint16_t>(1180, 1);
    start();
    calls.clear();
    const std::pair<int, int> levels[] = {{0, 1}, {1, 1}, {0, 397}, {1, 1}, {0, 1}, {1, 1}}; // level, cycles
    for (auto [level, n] : levels)
        deliver(OUTING, static_cast<uint32_t>(level)), run(10 * n);
    EXPECT_EQ(countLogged("outing increment requested by trigger"), 2) << "after 0 and 400 cycles";
    EXPECT_EQ(countLogged("outing increment blocked within blocktime (4s)"), 1) << "after 398";
    EXPECT_EQ(int(outctr), 10);
    // Each new outing is announced with the lap at its start value; the next lap counts on from it.
    edge(100);
    EXPECT_EQ(calls, (std::vector<std::string>{"set 3/9", "set 3/10", "lap 4/10"}));
}

TEST_F(Laps, ARestartThatKeepsTheLapKeepsTheSegmentTimesAChangedTrackResetsThem) {
    ds.put<float>(288, 50).put<float>(292, 100).put<float>(296, 150);
    using Seg = std::array<float, 2>; // best, last
    const Seg kept[2] = {{12.5f, 13}, {20, 21}}, fresh = {6000, 6000};
    auto segment = [](uint32_t k) {
        Seg r{};
        EXPECT_EQ(nvram_dbs_read(nvram_lapsegments.id, k, r.data(), 8), 8);
        return r;
    };
    const uint32_t record[5] = {0, 0, 0, 0, 0x428F0000}; // best lap 71.5 s
    for (float length : {1000.0f, 900.0f}) {             // the stored track length: this one, another
        nv(nvram_laplength.id, length);
        nv(nvram_lapdist.id, 80.0f);
        ASSERT_EQ(nvram_dbs_write(nvram_lapfunc.id, 0, record, 20), 20);
        for (uint32_t k = 0; k < 2; ++k)
            ASSERT_EQ(nvram_dbs_write(nvram_lapsegments.id, k, kept[k].data(), 8), 8);
        start(true);
        feed(SPEED, 10);
        run(4000); // 40 m on: past the end of segment 1 at 100 m, begun before the restart
        const bool same = length == 1000;
        EXPECT_EQ(std::vector({segment(0), segment(1)}),
                  same ? std::vector({kept[0], kept[1]}) : std::vector({fresh, fresh}));
        EXPECT_NEAR(distlap, same ? 120 : 40, 0.2);
        EXPECT_EQ(*laptimebest, same ? 71.5f : 100000.0f);
        if (!same) continue;
        run(3000); // segment 2 from 100 to 150 m
        EXPECT_NEAR(lapseg_last[2], 5.0f, 0.011f);
    }
    EXPECT_TRUE(
        logged("awm_0x08_lapfunc_ini: track length has changed: resetting dist, best lap and segments"));
    float length = 0;
    ASSERT_EQ(nvram_dbs_read(nvram_laplength.id, 0, &length, 4), 4);
    EXPECT_EQ(length, 1000.0f);
}

TEST_F(Laps, TheCountdownRunsOnOverARestart) {
    timespec now{};
    osClockGettime(CLOCK_REALTIME, &now);
    const uint32_t s = static_cast<uint32_t>(now.tv_sec), ns = static_cast<uint32_t>(now.tv_nsec);
    const struct {
        uint32_t record[5];
        float expected;
    } cases[] = {
        // start, end (s, ns), best lap 71.5 s
        {{s - 1, ns, s + 9, ns + 200000000u, 0x428F0000}, 9.2f},
        {{s - 9, ns, s - 1, ns, 0x428F0000}, 0}, // ended
        {{s + 1, ns, s + 9, ns, 0x428F0000}, 0}, // begins later
    };
    for (const auto& c : cases) {
        ASSERT_EQ(nvram_dbs_write(nvram_lapfunc.id, 0, c.record, sizeof c.record), 20);
        start();
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

TEST_F(Laps, OutputsUpTo98AndTheirRounding) {
    start();
    EXPECT_EQ(measure<void>(0, 99), &error_toggle);
    EXPECT_TRUE(logged("awm_0x08_lapfunc_setupmeas: invalid subchannel measurement request"));
    uint32_t* pred = measure<uint32_t>(0, 98);
    int16_t* diff = measure<int16_t>(0, 7);
    uint8_t* lap = measure<uint8_t>(0, 4);
    lapcurrpred_intrpl = 83.125f; // · 100 = 8312.5: away from zero
    lapdiff = -1.005f;            // a float just above -1.005
    lapctr_lapfunc = 300;         // a byte, truncated
    cycle();
    EXPECT_EQ(std::tuple(*pred, *diff, *lap), std::tuple(8313u, int16_t{-100}, uint8_t{255}));
}

// Positions as the receiver's signals give them; the car drives south over a line at 48.3 N,
// 11.6 E. Before its first fix the receiver reports 0, 0.
TEST_F(Laps, NoGpsPositionBeforeTheFirstFix) {
    ds.put<uint32_t>(40, 0xFFFFFFFF).ref(112, LAT, 4, 1e-7f).ref(148, LON, 4, 1e-7f);
    ds.put<float>(1132, 11.6f).put<float>(1136, 48.3f).put<float>(1140, 25);
    start();
    const int16_t* toLine = measure<int16_t>(0, 82);
    auto at = [&](double north) {
        deliver(LAT, static_cast<uint32_t>(std::lround((48.3 + north / M_PER_DEG) * 1e7)));
        deliver(LON, static_cast<uint32_t>(std::lround(11.6 * 1e7)));
    };
    deliver(LAT, 0), deliver(LON, 0), run(1000);
    EXPECT_EQ(*toLine, -10000) << "no distance without a position";
    at(20); // standing 20 m before the line
    run(1000);
    EXPECT_TRUE(laps.empty()) << "the first fix crosses nothing";
    for (int k = 1; k <= 10; ++k) { // 5 m every 100 ms: over the line after 4
        at(20 - 5 * k);
        run(100);
        EXPECT_EQ(laps.size(), k < 4 ? 0u : 1u) << k;
        if (k == 1) {
            EXPECT_NEAR(*toLine, 150, 5) << "0.1 m; a float position's step is 0.4 m";
        }
    }
}

// The laptrigger master's messages: what they change, and what short or foreign ones cannot.
TEST_F(Laps, MastersMessagesCountOnceAndShortOrForeignOnesChangeNothing) {
    cfg_system.ltm_pid = MASTER;
    const struct {
        Bytes message;
        size_t len; // 0: the whole message
        std::vector<std::string> expected;
    } cases[] = {
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2, 1), 0, {}}, // 19 payload bytes
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2), 39, {}},   // the header says 20, 19 came
        {lapMessage(OTHER, 0xFFFFFFFF, 5, 2), 0, {}},     // not the master
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2), 0, {"lap 5/2"}},
        {lapMessage(MASTER, 0xFFFFFFFF, 5, 2), 0, {}}, // the same lap again
        {lapMessage(MASTER, 0xFFFFFFFE, 5, 2), 0, {}}, // the periodic state, known
        {lapMessage(MASTER, 0xFFFFFFFE, 6, 2), 0, {"set 6/2"}},
        {lapMessage(MASTER, 0xFFFFFFFD, 0, 3), 0, {"set 0/3"}},
        {lapMessage(MASTER, 0xFFFFFFFF, 1, 3), 0, {"lap 1/3"}},
        {reply(1), 0, {}},        // 15 payload bytes
        {reply(2, OTHER), 0, {}}, // not the master
        {reply(2), 0, {"answer 9/4"}},
    };
    for (const auto& c : cases) {
        calls.clear();
        const Bytes& m = c.message;
        const size_t len = c.len ? c.len : m.size();
        if (m[17] == 0x00)
            laptrigger_signal_cmd(m.data(), len);
        else
            laptrigger_get_info_reply_cmd(m.data(), len);
        EXPECT_EQ(c.expected, calls) << testing::PrintToString(m);
    }
}

// The model's steps run in the raster tasks: they wait while the channel functions run.
std::atomic<int> steps;
const codegen_hook_t counting{[]() -> uint8_t { return 1; }, nullptr, {[](int) { ++steps; }}, nullptr};

TEST_F(Laps, ModelStepsWaitForTheChannelFunctionScheduler) {
    for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
        kmgr::registerSymbol("codegen_hookPartition_P" + std::to_string(p),
                             reinterpret_cast<uintptr_t>(&counting));
    kmgr::installAppManager();
    RtpManUsr_setIndex(0);
    ASSERT_EQ(AppMan_init(), 1);
    awm_man_ini();
    ASSERT_EQ(simulink_initialize(), 1);
    steps = 0;
    awm_sched_lock();
    const TASK_ID raster = taskSpawnFn("r_r1ms", 29, 0, 0x4000, [] { callSimulinkFunc(0, 0); });
    sim::step(5);
    EXPECT_EQ(steps, 0);
    awm_sched_unlock();
    ASSERT_EQ(taskWaitExit(raster, WAIT_FOREVER), OK);
    EXPECT_EQ(steps, CODEGEN_PARTITIONS);
    model_reset();
    for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
        kmgr::unregisterSymbol("codegen_hookPartition_P" + std::to_string(p));
}

// The model's steps (a raster task), the lap function's cycles (the soft scheduler) and the
// command task's outing check share the distance and the counters: each under the channel
// functions' lock (a race under TSan without it).
TEST_F(Laps, TheModelsStepsTheCyclesAndTheOutingCheckTakeTheChannelFunctionsLock) {
    const codegen_hook_t* parts[] = {&codegen_hookPartition_P1, &codegen_hookPartition_P2,
                                     &codegen_hookPartition_P3};
    for (int p = 0; p < CODEGEN_PARTITIONS; ++p)
        kmgr::registerSymbol("codegen_hookPartition_P" + std::to_string(p + 1),
                             reinterpret_cast<uintptr_t>(parts[p]));
    kmgr::installAppManager();
    RtpManUsr_setIndex(0);
    ASSERT_EQ(AppMan_init(), 1);
    load({ds.ref(76, SPEED)});
    ASSERT_EQ(simulink_initialize(), 1);
    feed(SPEED, 10);
    // Meanwhile the measurement copy samples the model's signals for tools and a lap output.
    seramMeasHandle h[5]{};
    for (uint32_t i = 0; i < 5; ++i)
        seramMeasSetupMeas(i < 4 ? CONV_ADDR_FLAG | 1u << 20 | i : awm_vc_id(0, 60), 3, &h[i]);
    const TASK_ID tasks[] = {taskSpawnFn("r_rMeas", 132, 0, 0,
                                         [&h] {
                                             for (int k = 0; k < 2000; ++k)
                                                 for (seramMeasHandle& m : h) {
                                                     uint32_t v;
                                                     seramMeasCopy(&v, 4, &m);
                                                 }
                                         }),
                             taskSpawnFn("r_cmd", 100, 0, 0,
                                         [] {
                                             for (int k = 0; k < 200; ++k)
                                                 awm_0x08_lapfunc_checkOutCtr();
                                         }),
                             taskSpawnFn("r_r10ms", 67, 0, 0x4000, [] {
                                 for (int k = 0; k < 200; ++k)
                                     callSimulinkFunc(3, 0);
                             })};
    cycle(200);
    for (TASK_ID t : tasks)
        ASSERT_EQ(taskWaitExit(t, WAIT_FOREVER), OK);
    EXPECT_GT(distlap, 0.0f);
    seramMeasFreeMeas(&h[4]);
    model_reset();
    for (int p = 1; p <= CODEGEN_PARTITIONS; ++p)
        kmgr::unregisterSymbol("codegen_hookPartition_P" + std::to_string(p));
}

} // namespace
