// The logging application's request flags as remote control and shutdown use them, and the
// preparation of the logging drives.
#include "logging/measapp/measapp.h"

#include "platform/drives/drives.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "services/sysrole/sysrole.h"
#include "support/stepped.h"

namespace {

struct MeasApp : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        meas_app_reset(), cfg_system.logging_active = 1, meas_app_ini();
    }
    void TearDown() override { meas_app_reset(); }
    static unsigned step() { return meas_app_main(), meas_app_get_flags(); }
    // A request's answer and the flags after it.
    static std::pair<int, unsigned> after(int answer) { return {answer, meas_app_get_flags()}; }
};

TEST_F(MeasApp, RequestsAreTakenByTheStepAndADestroyFromTheShellLocksRemoteInit) {
    EXPECT_EQ(after(meas_app_remotestart()), std::pair(1, unsigned{MEAS_APP_REQ_START}));
    EXPECT_EQ(meas_app_remotestart(), 0); // one pending already
    EXPECT_EQ(step(), MEAS_APP_RUNNING);
    EXPECT_EQ(after(meas_app_remotestart()), std::pair(1, unsigned{MEAS_APP_RUNNING}));
    EXPECT_EQ(meas_app_remotestop(0), 1);
    EXPECT_EQ(meas_app_remotestop(0) + meas_app_remotestart(), 0); // a stop is pending
    EXPECT_EQ(step(), 0u);

    meas_app_remotestart(); // a fast stop is taken and flushed for the shutdown
    step();
    meas_app_remotefaststop();
    EXPECT_EQ(meas_app_get_flags() & MEAS_APP_REQ_FASTSTOP, MEAS_APP_REQ_FASTSTOP);
    EXPECT_EQ((std::pair{step(), meas_app_PreTrigIsOfflineDataFlushed()}), std::pair(0u, 1));

    // A destroy from the shell locks remote init until the next stop.
    EXPECT_EQ(after(meas_app_remotedestroy(0)),
              std::pair(1, unsigned{MEAS_APP_REQ_STOP | MEAS_APP_REQ_DESTROY | MEAS_APP_REMOTEINIT_LOCK}));
    EXPECT_EQ(meas_app_remotedestroy(0) + meas_app_remoteinit(), 0);
    EXPECT_EQ(step(), MEAS_APP_REMOTEINIT_LOCK);
    EXPECT_EQ(meas_app_remoteinit(), 0);
    EXPECT_TRUE(logged("meas_app_remoteinit locked - 'Send config' or 'meas destroy' used?"));
    EXPECT_EQ(meas_app_remotestop(0), 1);
    step();
    EXPECT_EQ(after(meas_app_remoteinit()), std::pair(1, unsigned{MEAS_APP_REQ_REINIT}));
    EXPECT_EQ(step(), 0u);
    // A destroy by a remote tool leaves remote init open; the store request locks it.
    EXPECT_EQ((std::pair{meas_app_remotedestroy(0xC0A80001), step()}), std::pair(1, 0u));
    meas_app_set_remotectrl_remoteinit_lock();
    EXPECT_EQ(meas_app_remoteinit(), 0);
}

TEST_F(MeasApp, SecondPartitionIsWaitedForUntilTheTimeout) {
    testsupport::ScratchDir dir;
    for (const char* d : {"meas", "meas2"})
        ASSERT_TRUE(std::filesystem::create_directory(dir / d) &&
                    osfs::addDevice(std::string(d) + ":", dir / d));
    drives::install();
    for (auto [timeout, readyAfter, result, took] : {std::tuple{20, -1, -1, 20u}, {2000, 7, 0, 8u}}) {
        drives::setAvailable("meas2:", false);
        std::atomic<int> got{99};
        const uint64_t t0 = sim::ticks();
        taskSpawnFn("t_disks", 100, 0, 0,
                    [&, limit = timeout] { got = meas_app_BootPrepareDisks(1, limit); });
        sim::waitIdle();
        for (int i = 0; i < timeout + 5 && got == 99; ++i, sim::step(1)) // ends with the tick that answered
            if (i == readyAfter) drives::setAvailable("meas2:", true);
        EXPECT_EQ(std::pair(got.load(), sim::ticks() - t0), (std::pair<int, uint64_t>{result, took}))
            << timeout;
    }
    osfs::removeDevice("meas:"), osfs::removeDevice("meas2:");
}

// The shell's "meas": a start waits for a re-initialisation, a re-initialisation for a start, a
// destroy takes a pending re-initialisation's place; a unit that does not log takes requests and
// asks for nothing.
TEST_F(MeasApp, ShellCommandsAndRequestsThatWaitForOthers) {
    const auto meas = [](std::string command) {
        char name[] = "meas";
        char* argv[] = {name, command.data(), nullptr};
        return measCommandFunc(2, argv);
    };
    char name[] = "meas", start[] = "start", stop[] = "stop";
    char* both[] = {name, start, stop, nullptr};
    measCommandFunc(3, both); // one argument only: the usage
    EXPECT_EQ(meas_app_get_flags(), 0u);
    meas("create");
    EXPECT_EQ(after(meas_app_remotestart()), std::pair(0, unsigned{MEAS_APP_REQ_REINIT}));
    EXPECT_TRUE(logged("meas_app_remotestart: failed 004"));
    meas("destroy");
    EXPECT_EQ(meas_app_get_flags(),
              unsigned{MEAS_APP_REQ_STOP | MEAS_APP_REQ_DESTROY | MEAS_APP_REMOTEINIT_LOCK});
    step();
    meas("stop");
    EXPECT_EQ(step(), 0u);
    meas("start");
    EXPECT_EQ(after(meas_app_remoteinit()), std::pair(0, unsigned{MEAS_APP_REQ_START}));
    EXPECT_TRUE(logged("meas_app_remoteinit: failed 001"));
    EXPECT_EQ(step(), MEAS_APP_RUNNING);
    meas("stop");
    step();

    cfg_system.logging_active = 0;
    EXPECT_EQ(after(meas_app_remotestart()), std::pair(1, 0u));
    meas_app_remotefaststop();
    EXPECT_EQ(meas_app_get_flags(), 0u);
}

} // namespace
