// The logging application's request flags as remote control and shutdown use them, and the
// preparation of the logging drives.
#include "logging/measapp/measapp.h"

#include "platform/drives/drives.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/os/sim.h"
#include "services/sysrole/sysrole.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <tuple>

namespace {

struct MeasApp : ::testing::Test {
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        testsupport::logStart();
        meas_app_reset();
        cfg_system.logging_active = 1;
        meas_app_ini();
    }
    void TearDown() override {
        meas_app_reset();
        cfg_system.logging_active = 1;
    }
    bool logged(const std::string& needle) { return testsupport::logContains(seen, needle); }
};

TEST_F(MeasApp, StartAndStopRequestsAreTakenByTheStep) {
    EXPECT_EQ(meas_app_remotestart(), 1);
    EXPECT_EQ(meas_app_get_flags(), MEAS_APP_REQ_START);
    EXPECT_TRUE(logged("meas_app_remotestart: 001"));
    EXPECT_EQ(meas_app_remotestart(), 0);
    EXPECT_TRUE(logged("meas_app_remotestart: failed 001"));
    meas_app_main();
    EXPECT_EQ(meas_app_get_flags(), MEAS_APP_RUNNING);
    EXPECT_EQ(meas_app_remotestart(), 1);
    EXPECT_TRUE(logged("meas_app_remotestart: already running 100, clear events "));
    EXPECT_EQ(meas_app_get_flags(), MEAS_APP_RUNNING);

    EXPECT_EQ(meas_app_remotestop(0), 1);
    EXPECT_EQ(meas_app_remotestop(0), 0); // a stop is pending
    EXPECT_EQ(meas_app_remotestart(), 0);
    meas_app_main();
    EXPECT_EQ(meas_app_get_flags(), 0);
}

TEST_F(MeasApp, DestroyFromTheShellLocksRemoteInitUntilTheNextStop) {
    EXPECT_EQ(meas_app_remotedestroy(0), 1);
    EXPECT_EQ(meas_app_get_flags(), MEAS_APP_REQ_STOP | MEAS_APP_REQ_DESTROY | MEAS_APP_REMOTEINIT_LOCK);
    EXPECT_EQ(meas_app_remotedestroy(0), 0);
    EXPECT_EQ(meas_app_remoteinit(), 0);
    EXPECT_TRUE(logged("meas_app_remoteinit: failed 20A"));
    meas_app_main();
    EXPECT_EQ(meas_app_get_flags(), MEAS_APP_REMOTEINIT_LOCK);
    EXPECT_EQ(meas_app_remoteinit(), 0);
    EXPECT_TRUE(logged("meas_app_remoteinit locked - 'Send config' or 'meas destroy' used?"));
    EXPECT_EQ(meas_app_remotestop(0), 1);
    meas_app_main();
    EXPECT_EQ(meas_app_remoteinit(), 1);
    EXPECT_EQ(meas_app_get_flags(), MEAS_APP_REQ_REINIT);
    meas_app_main();
    EXPECT_EQ(meas_app_get_flags(), 0);

    // A destroy by a remote tool leaves remote init open; the store request locks it.
    EXPECT_EQ(meas_app_remotedestroy(0xC0A80001), 1);
    meas_app_main();
    EXPECT_EQ(meas_app_get_flags(), 0);
    meas_app_set_remotectrl_remoteinit_lock();
    EXPECT_EQ(meas_app_remoteinit(), 0);
}

TEST_F(MeasApp, FastStopIsTakenAndFlushedForTheShutdown) {
    meas_app_remotestart();
    meas_app_main();
    meas_app_remotefaststop();
    EXPECT_EQ(meas_app_get_flags() & MEAS_APP_REQ_FASTSTOP, MEAS_APP_REQ_FASTSTOP);
    meas_app_main();
    EXPECT_EQ(meas_app_get_flags(), 0);
    EXPECT_EQ(meas_app_PreTrigIsOfflineDataFlushed(), 1);
}

TEST_F(MeasApp, UnitThatDoesNotLogTakesNoRequests) {
    cfg_system.logging_active = 0;
    EXPECT_EQ(meas_app_remotestart(), 1);
    meas_app_remotefaststop();
    EXPECT_EQ(meas_app_get_flags(), 0);
}

struct Drives : MeasApp {
    std::string dir;
    void SetUp() override {
        MeasApp::SetUp();
        char tmpl[] = "/tmp/vyn_drives_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        for (const char* d : {"meas", "meas2"}) {
            std::filesystem::create_directory(dir + "/" + d);
            ASSERT_TRUE(osfs::addDevice(std::string(d) + ":", dir + "/" + d));
        }
        drives::install();
    }
    void TearDown() override {
        osfs::removeDevice("meas:");
        osfs::removeDevice("meas2:");
        std::filesystem::remove_all(dir);
        MeasApp::TearDown();
    }
    // Runs meas_app_BootPrepareDisks in a task; returns its result and the ticks it took.
    static std::pair<int, uint64_t> prepare(int timeout, int readyAfter) {
        std::atomic<int> result{99};
        const uint64_t t0 = sim::ticks();
        std::atomic<uint64_t> took{0};
        taskSpawnFn("t_disks", 100, 0, 0, [&] {
            result = meas_app_BootPrepareDisks(1, timeout);
            took = sim::ticks() - t0;
        });
        sim::waitIdle();
        for (int i = 0; i < timeout + 5 && result == 99; ++i) {
            if (i == readyAfter) drives::setAvailable("meas2:", true);
            sim::step(1);
        }
        return {result.load(), took.load()};
    }
};

TEST_F(Drives, SecondPartitionIsWaitedForUntilTheTimeout) {
    for (auto [timeout, readyAfter, result, took] : {std::tuple{20, -1, -1, 20u}, {2000, 7, 0, 8u}}) {
        drives::setAvailable("meas2:", false);
        EXPECT_EQ(prepare(timeout, readyAfter), (std::pair<int, uint64_t>{result, took})) << timeout;
    }
}

} // namespace
