// Lap, outing and fragment counters: kept across a restart, fragments that never meet an
// existing file, the laptrigger-master query and the "lof_*" shell commands.
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/stdout_capture.h"

#include "services/raster/raster_private.h"
#include "logging/eventlog/eventlog.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/os/sim.h"
#include "platform/timemod/timemod_sim.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"
#include "services/timemod/timemod.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct LapOutFra : ::testing::Test {
    std::string dir;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        testsupport::logStart();
        char tmpl[] = "/tmp/vyn_lof_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char* d : {"nvram", "meas", "meas2"})
            std::filesystem::create_directory(dir + "/" + d);
        ASSERT_TRUE(osfs::addDevice("meas:", dir + "/meas"));
        ASSERT_TRUE(osfs::addDevice("meas2:", dir + "/meas2"));
        timemodsim::install();
        start();
    }
    void TearDown() override {
        stop();
        raster_reset();
        error_mgr_reset();
        eventlogging_reset();
        nvmem::uninstall();
        osfs::removeDevice("meas:");
        osfs::removeDevice("meas2:");
        std::filesystem::remove_all(dir);
    }
    void start() {
        std::string err;
        ASSERT_TRUE(nvmem::install(dir + "/nvram", &err)) << err;
        ASSERT_EQ(nvram_dbs_init(), 1);
        ASSERT_EQ(LapOutFra_init(), 0);
    }
    void stop() {
        LapOutFra_reset();
        nvram_dbs_reset();
    }
    static std::array<int, 5> state() {
        LapOutFraState s{};
        LapOutFra_getState(&s);
        return {s.lap, s.outing, s.abs_lap, s.fragment, s.valid};
    }
    void touch(const char* sub, uint16_t lap, uint16_t outing, uint16_t fragment) {
        char name[64];
        LapOutFra_fileName(name, sizeof name, "", lap, outing, fragment);
        std::ofstream(dir + sub + name) << "x";
    }
    static std::string run(int (*cmd)(int, char**), std::vector<std::string> args, int* result) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        return testcap::captureStdout([&] { *result = cmd(static_cast<int>(argv.size()), argv.data()); });
    }
};

TEST_F(LapOutFra, CountersSurviveARestartAndFragmentsAvoidFilesOnBothDrives) {
    EXPECT_TRUE(testsupport::logContains(seen, "LapOutFra_init(): no stored lap/outing/fragment counters"));
    char name[64];
    LapOutFra_fileName(name, sizeof name, "meas:", 12, 3, 1);
    EXPECT_STREQ(name, "meas:O00003L00012F00001.dat");
    touch("/meas/", 12, 3, 1);
    touch("/meas2/", 12, 3, 2);
    touch("/meas/", 12, 3, 4);
    sim::step(7);
    LapOutFra_initLapOutCnt(12, 3);
    EXPECT_EQ(state(), (std::array{12, 3, 0, 3, 1}));
    LapOutFraState s{};
    LapOutFra_getState(&s);
    EXPECT_EQ(s.timestamp, time_getTimestamp());
    int r = 0;
    run(lof_fratrig, {"lof_fratrig"}, &r);
    EXPECT_EQ(state()[3], 5);
    run(lof_laptrig, {"lof_laptrig"}, &r);

    stop();
    start();
    EXPECT_EQ(state(), (std::array{13, 3, 1, 1, 0}));
    // Same lap and outing at the next start: a fragment never handed out before.
    LapOutFra_initLapOutCnt(13, 3);
    EXPECT_EQ(state()[3], 2);
    LapOutFra_initLapOutCnt(1, 1);
    EXPECT_EQ(state()[3], 1);
}

// Counters made valid at start-up (outing counter mode 1) are no answer of the master.
TEST_F(LapOutFra, LaptriggerMasterSilentForThirtySecondsIsAnError) {
    ASSERT_EQ(error_mgr_init(), 1);
    const struct {
        bool validAtStart, answers, raised;
        std::array<int, 5> after;
    } cases[] = {{false, false, true, {0, 0, 0, 0, 0}},
                 {true, false, true, {5, 6, 0, 1, 1}},
                 {true, true, false, {5, 6, 0, 1, 1}},
                 {false, true, false, {1110, 1112, 0, 1, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.validAtStart << c.answers);
        stop();
        std::filesystem::remove_all(dir + "/nvram");
        std::filesystem::create_directory(dir + "/nvram");
        start();
        if (c.validAtStart) LapOutFra_initLapOutCnt(5, 6);
        testsupport::logDrain();
        std::atomic<bool> done{false};
        taskSpawnFn("r_ltmAvail", 161, 0, 100000, [&done] {
            LapOutFra_queryLapOutCntTask();
            done = true;
        });
        sim::step(1000);
        if (c.answers) LapOutFra_laptriggerAnswer(1110, 1112);
        sim::step(28999);
        EXPECT_FALSE(done);
        sim::step(1);
        EXPECT_TRUE(done);
        std::vector<testsupport::LogLine> lines;
        EXPECT_EQ(c.raised, testsupport::logContains(lines, "laptrigger master did not answer within 30 s"));
        EXPECT_EQ(state(), c.after);
    }
    uint16_t type = 0;
    EXPECT_EQ(error_mgr_get_path(8448, &type), 0);
    EXPECT_EQ(type, 0x50);
}

TEST_F(LapOutFra, ShellCommands) {
    EXPECT_EQ(LapOutFra_cmds_init(), 0);
    const std::string usage = "usage: lof_set <lap> <outing> (decimal, 0 to 65535)\n";
    const struct {
        int (*cmd)(int, char**);
        std::vector<std::string> args;
        std::string out;
        int result;
    } cases[] = {
        {lof_get, {"lof_get"}, "lap 0, outing 0, abs lap 0, fragment 0, timestamp 0, not valid\n", 0},
        {lof_set, {"lof_set", "7", "2"}, "lap 7, outing 2, abs lap 0, fragment 1, timestamp 0, valid\n", 0},
        {lof_outtrig, {"lof_outtrig"}, "lap 7, outing 3, abs lap 0, fragment 1, timestamp 0, valid\n", 0},
        {lof_laptrig, {"lof_laptrig"}, "lap 8, outing 3, abs lap 1, fragment 1, timestamp 0, valid\n", 0},
        {lof_fratrig, {"lof_fratrig"}, "lap 8, outing 3, abs lap 1, fragment 2, timestamp 0, valid\n", 0},
        {lof_set, {"lof_set"}, usage, -1},
        {lof_set, {"lof_set", "7"}, usage, -1},
        {lof_set, {"lof_set", "x", "2"}, usage, -1},
        {lof_set, {"lof_set", "70000", "2"}, usage, -1},
        {lof_set, {"lof_set", "-1", "2"}, usage, -1},
        {lof_get, {"lof_get", "now"}, "usage: lof_get\n", -1},
    };
    for (const auto& c : cases) {
        int r = -2;
        EXPECT_EQ(run(c.cmd, c.args, &r), c.out) << c.args.size();
        EXPECT_EQ(r, c.result);
    }
    EXPECT_EQ(state()[0], 8); // bad input changed nothing
}

} // namespace
