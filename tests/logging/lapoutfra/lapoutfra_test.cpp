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
#include <cstring>
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
    static LapOutFraState state() {
        LapOutFraState s{};
        LapOutFra_getState(&s);
        return s;
    }
    void touch(const char* drive, uint16_t lap, uint16_t outing, uint16_t fragment) {
        char name[64];
        LapOutFra_fileName(name, sizeof name, drive, lap, outing, fragment);
        std::string host =
            dir + (std::string(drive) == "meas:" ? "/meas/" : "/meas2/") + (name + std::strlen(drive));
        std::ofstream(host) << "x";
    }
    static std::string run(int (*cmd)(int, char**), std::vector<std::string> args, int* result) {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        return testcap::captureStdout([&] { *result = cmd(static_cast<int>(argv.size()), argv.data()); });
    }
};

TEST_F(LapOutFra, CountersSurviveARestart) {
    EXPECT_TRUE(testsupport::logContains(seen, "LapOutFra_init(): no stored lap/outing/fragment counters"));
    EXPECT_EQ(state().valid | state().lap, 0);
    // A fresh store gets both elements at once, so that the next start reads them.
    uint8_t buf[6];
    EXPECT_EQ(nvram_dbs_read(LAPOUTFRA_NV_COUNTERS, 0, buf, 6), 6);
    EXPECT_EQ(nvram_dbs_read(LAPOUTFRA_NV_ABSLAP, 0, buf, 2), 2);

    sim::step(7);
    LapOutFra_initLapOutCnt(12, 3);
    LapOutFraState s = state();
    EXPECT_EQ((std::array<int, 4>{s.lap, s.outing, s.fragment, s.valid}), (std::array{12, 3, 1, 1}));
    EXPECT_EQ(s.timestamp, time_getTimestamp());
    int r = 0;
    run(lof_laptrig, {"lof_laptrig"}, &r);
    EXPECT_EQ(r, 0);

    stop();
    start();
    s = state();
    EXPECT_EQ((std::array<int, 5>{s.lap, s.outing, s.abs_lap, s.fragment, s.valid}),
              (std::array{13, 3, 1, 1, 0}));
    // Same lap and outing at the next start: a fragment never handed out before.
    LapOutFra_initLapOutCnt(13, 3);
    EXPECT_EQ(state().fragment, 2);
    LapOutFra_initLapOutCnt(1, 1);
    EXPECT_EQ(state().fragment, 1);
}

TEST_F(LapOutFra, NewFragmentsAvoidFilesOnBothDrives) {
    char name[64];
    LapOutFra_fileName(name, sizeof name, "meas:", 12, 3, 1);
    EXPECT_STREQ(name, "meas:O00003L00012F00001.dat");
    touch("meas:", 12, 3, 1);
    touch("meas2:", 12, 3, 2);
    touch("meas:", 12, 3, 4);
    LapOutFra_initLapOutCnt(12, 3);
    EXPECT_EQ(state().fragment, 3);
    int r = 0;
    run(lof_fratrig, {"lof_fratrig"}, &r);
    EXPECT_EQ(state().fragment, 5);
}

TEST_F(LapOutFra, LaptriggerMasterSilentForThirtySecondsIsAnError) {
    ASSERT_EQ(error_mgr_init(), 1);
    for (const bool answers : {false, true}) {
        SCOPED_TRACE(answers);
        std::atomic<bool> done{false};
        taskSpawnFn("r_ltmAvail", 161, 0, 100000, [&done] {
            LapOutFra_queryLapOutCntTask();
            done = true;
        });
        sim::waitIdle();
        sim::step(1000);
        if (answers) LapOutFra_initLapOutCnt(1110, 1112); // the master's answer
        sim::step(28999);
        if (!answers) {
            EXPECT_FALSE(done);
        }
        sim::step(1);
        EXPECT_TRUE(done);
        uint8_t rec[ERROR_MGR_DATA_RECORD];
        ASSERT_EQ(error_mgr_get_data(rec, sizeof rec), 1);
        EXPECT_EQ(rec[10], 1) << "raised by the silent master only";
    }
    uint16_t type = 0;
    EXPECT_EQ(error_mgr_get_path(8448, &type), 0);
    EXPECT_EQ(type, 0x50);
    EXPECT_TRUE(testsupport::logContains(seen, "laptrigger master did not answer within 30 s"));
}

TEST_F(LapOutFra, ShellCommands) {
    EXPECT_EQ(LapOutFra_cmds_init(), 0);
    int r = -2;
    EXPECT_EQ(run(lof_get, {"lof_get"}, &r),
              "lap 0, outing 0, abs lap 0, fragment 0, timestamp 0, not valid\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(run(lof_set, {"lof_set", "7", "2"}, &r),
              "lap 7, outing 2, abs lap 0, fragment 1, timestamp 0, valid\n");
    EXPECT_EQ(r, 0);
    for (auto [cmd, want] : {std::pair{&lof_outtrig, "lap 7, outing 3, abs lap 0, fragment 1"},
                             {&lof_laptrig, "lap 8, outing 3, abs lap 1, fragment 1"},
                             {&lof_fratrig, "lap 8, outing 3, abs lap 1, fragment 2"}})
        EXPECT_EQ(run(cmd, {"lof"}, &r), want + std::string(", timestamp 0, valid\n"));

    const std::string usage = "usage: lof_set <lap> <outing> (decimal, 0 to 65535)\n";
    for (const auto& bad : std::vector<std::vector<std::string>>{{"lof_set"},
                                                                 {"lof_set", "7"},
                                                                 {"lof_set", "x", "2"},
                                                                 {"lof_set", "70000", "2"},
                                                                 {"lof_set", "-1", "2"}}) {
        EXPECT_EQ(run(lof_set, bad, &r), usage);
        EXPECT_EQ(r, -1);
    }
    EXPECT_EQ(run(lof_get, {"lof_get", "now"}, &r), "usage: lof_get\n");
    EXPECT_EQ(r, -1);
    EXPECT_EQ(state().lap, 8); // bad input changed nothing
}

} // namespace
