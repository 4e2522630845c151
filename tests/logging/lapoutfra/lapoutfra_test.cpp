// Lap, outing and fragment counters: kept across a restart, fragments that never meet an
// existing file, the laptrigger-master query and the "lof_*" shell commands.
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/stdout_capture.h"

#include "logging/eventlog/eventlog.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/timemod/timemod_sim.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"
#include "services/raster/raster_private.h"
#include "services/shell/shell.h"
#include "support/stepped.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct LapOutFra : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        SteppedTest::SetUp();
        for (const char* d : {"nvram", "meas", "meas2"})
            std::filesystem::create_directory(dir / d);
        ASSERT_TRUE(osfs::addDevice("meas:", dir / "meas") && osfs::addDevice("meas2:", dir / "meas2"));
        timemodsim::install();
        start();
    }
    void TearDown() override {
        stop();
        raster_reset(), error_mgr_reset(), eventlogging_reset(), nvmem::uninstall();
        osfs::removeDevice("meas:"), osfs::removeDevice("meas2:");
    }
    void start() {
        ASSERT_TRUE(nvmem::install(dir / "nvram") && nvram_dbs_init() == 1 && LapOutFra_init() == 0);
    }
    void stop() { LapOutFra_reset(), nvram_dbs_reset(); }
    static std::array<int, 5> state() {
        LapOutFraState s{};
        LapOutFra_getState(&s);
        return {s.lap, s.outing, s.abs_lap, s.fragment, s.valid};
    }
    // Runs a shell command on a command line; its printed text, or "-1" when it failed.
    static std::string run(int (*cmd)(int, char**), std::string line) {
        std::vector<char*> argv;
        for (char* w = std::strtok(line.data(), " "); w; w = std::strtok(nullptr, " "))
            argv.push_back(w);
        int r = 0;
        const std::string out =
            testcap::captureStdout([&] { r = cmd(static_cast<int>(argv.size()), argv.data()); });
        return r == 0 ? out : std::to_string(r);
    }
};

TEST_F(LapOutFra, CountersSurviveARestartAndFragmentsAvoidFilesOnBothDrives) {
    char name[64];
    LapOutFra_fileName(name, sizeof name, "meas:", 12, 3, 1);
    EXPECT_STREQ(name, "meas:O00003L00012F00001.dat");
    for (const char* file :
         {"meas/O00003L00012F00001.dat", "meas2/O00003L00012F00002.dat", "meas/O00003L00012F00004.dat"})
        dir.write(file, "x");
    sim::step(7);
    LapOutFra_initLapOutCnt(12, 3);
    EXPECT_EQ(state(), (std::array{12, 3, 0, 3, 1}));
    run(lof_fratrig, "x");
    EXPECT_EQ(state()[3], 5);
    run(lof_laptrig, "x");
    stop();
    start();
    EXPECT_EQ(state(), (std::array{13, 3, 1, 1, 0}));
    LapOutFra_initLapOutCnt(13, 3); // same lap and outing at the next start: a fragment never handed out
    EXPECT_EQ(state()[3], 2);
    LapOutFra_initLapOutCnt(1, 1);
    EXPECT_EQ(state()[3], 1);
}

// A loss of power after any of the writes of a lap leaves lap and absolute lap counted both or
// neither.
TEST_F(LapOutFra, ALossOfPowerDuringALapLeavesLapAndAbsoluteLapInStep) {
    LapOutFra_initLapOutCnt(4, 2);
    for (int written = 0; written <= 3; ++written) {
        const auto before = state();
        kmgr::injectFault(KCALL_NVRAM_PERSIST, -1, -1, written);
        LapOutFra_lapTrigger(static_cast<uint16_t>(before[0] + 1), 2);
        kmgr::clearFaults();
        stop();
        start();
        EXPECT_EQ(state()[2] - state()[0], before[2] - before[0]) << written << " written";
    }
    EXPECT_EQ(state()[0], 6) << "counted where the lap itself was written";
}

// Counters made valid at start-up (outing counter mode 1) are no answer of the master.
TEST_F(LapOutFra, LaptriggerMasterSilentForThirtySecondsIsAnError) {
    ASSERT_EQ(error_mgr_init(), 1);
    // Valid at the start, the master answers, an error raised, the state after.
    const std::tuple<bool, bool, bool, std::array<int, 5>> cases[] = {
        {false, false, true, {0, 0, 0, 0, 0}},
        {true, false, true, {5, 6, 0, 1, 1}},
        {true, true, false, {5, 6, 0, 1, 1}},
        {false, true, false, {1110, 1112, 0, 1, 1}}};
    for (const auto& [validAtStart, answers, raised, after] : cases) {
        stop();
        std::filesystem::remove(dir / "nvram/nvram.img"); // a new unit
        start();
        if (validAtStart) LapOutFra_initLapOutCnt(5, 6);
        seen.clear(), testsupport::logDrain();
        std::atomic<bool> done{false};
        taskSpawnFn("r_ltmAvail", 161, 0, 100000, [&done] { LapOutFra_queryLapOutCntTask(), done = true; });
        sim::step(1000);
        if (answers) LapOutFra_laptriggerAnswer(1110, 1112);
        sim::step(28999);
        EXPECT_FALSE(done);
        sim::step(1);
        EXPECT_TRUE(done) << "after 30 s";
        EXPECT_EQ(raised, logged("laptrigger master did not answer within 30 s"));
        EXPECT_EQ(state(), after);
    }
    uint16_t type = 0;
    EXPECT_EQ((std::pair{error_mgr_get_path(8448, &type), type}), std::pair(0, uint16_t{0x50}));
}

TEST_F(LapOutFra, ShellCommands) {
    EXPECT_EQ(LapOutFra_cmds_init(), 0);
    run(lof_set, "lof_set 7 2");
    EXPECT_EQ(state(), (std::array{7, 2, 0, 1, 1}));
    run(lof_outtrig, "x"), run(lof_laptrig, "x"), run(lof_fratrig, "x");
    EXPECT_EQ(run(lof_get, "lof_get"), "lap 8, outing 3, abs lap 1, fragment 2, timestamp 0, valid\n");
    for (const char* bad :
         {"lof_set", "lof_set 7", "lof_set x 2", "lof_set 70000 2", "lof_set -1 2", "lof_get now"})
        EXPECT_EQ(run(bad[4] == 'g' ? lof_get : lof_set, bad), "-1") << bad;
    EXPECT_EQ(state()[0], 8); // bad input changed nothing
}

// The bytes of a record as stored.
std::vector<int> stored(uint32_t element, uint32_t record, uint32_t size) {
    std::vector<uint8_t> b(size);
    if (nvram_dbs_read(element, record, b.data(), size) != static_cast<int>(size)) return {};
    return std::vector<int>(b.begin(), b.end());
}

// Element 0 holds fragment, outing and lap, element 261 the absolute lap, each a u16 least
// significant byte first.
TEST_F(LapOutFra, CountersAreStoredInTheirElements) {
    LapOutFra_reset();
    const uint8_t counters[6] = {0x40, 0x01, 0x02, 0x03, 0x34, 0x12}, absLap[2] = {0xFF, 0x01};
    ASSERT_EQ(nvram_dbs_write(0, 0, counters, 6) + nvram_dbs_write(261, 0, absLap, 2), 8);
    ASSERT_EQ(LapOutFra_init(), 0);
    EXPECT_EQ(state(), (std::array{0x1234, 0x0302, 0x01FF, 0x0140, 0}));
    LapOutFra_initLapOutCnt(0x1234, 0x0302);
    EXPECT_EQ(stored(0, 0, 6), (std::vector{0x41, 0x01, 0x02, 0x03, 0x34, 0x12}));
    LapOutFra_lapTrigger(0x1235, 0x0302);
    EXPECT_EQ(stored(0, 0, 6), (std::vector{0x01, 0x00, 0x02, 0x03, 0x35, 0x12}));
    EXPECT_EQ(stored(261, 0, 2), (std::vector{0x00, 0x02}));
    run(lof_laptrig, "x");
    EXPECT_EQ(stored(261, 0, 2), (std::vector{0x01, 0x02}));
}

// A command line as the platform's shell sends it: the command's id, argc, where each argument
// lies (from 0), then the arguments. -2 for a name the shell does not know.
int shell(const std::string& line) {
    std::vector<std::string> args;
    for (size_t at = 0, end; at < line.size(); at = end + 1)
        args.push_back(line.substr(at, (end = std::min(line.find(' ', at), line.size())) - at));
    uint32_t id = 0;
    if (!kmgr::shellCommandId(0, args[0], &id)) return -2;
    std::vector<uint8_t> m(8 + 4 * args.size());
    const int32_t argc = static_cast<int32_t>(args.size());
    std::memcpy(m.data(), &id, 4), std::memcpy(m.data() + 4, &argc, 4);
    for (size_t i = 0; i < args.size(); ++i) {
        const uint32_t at = static_cast<uint32_t>(m.size() - (8 + 4 * args.size()));
        std::memcpy(m.data() + 8 + 4 * i, &at, 4);
        m.insert(m.end(), args[i].begin(), args[i].end() + 1);
    }
    int result = 0;
    testcap::captureStdout([&] { result = msdParse_rtp(m.data(), m.size()); });
    return result;
}

TEST_F(LapOutFra, CommandsRunByNameAndRegistrationStopsAtTheFirstRefusal) {
    kmgr::installShellAndRtc();
    msd_shell_reset();
    ASSERT_EQ(LapOutFra_cmds_init(), 0);
    EXPECT_EQ(shell("lof_set 65535 7"), 0);
    EXPECT_EQ(state()[0], 65535);
    EXPECT_EQ(shell("lof_set 3 7") + shell("lof_outtrig") + shell("lof_fratrig") + shell("lof_laptrig") +
                  shell("lof_get"),
              0);
    EXPECT_EQ(state(), (std::array{4, 8, 1, 1, 1}));
    EXPECT_EQ(shell("lof_set 1 2 3"), -1);
    EXPECT_EQ(state()[0], 4);

    msd_shell_reset();
    kmgr::injectFault(KCALL_SHELL_ADD, 0, 1, 2); // "lof_outtrig" refused
    EXPECT_EQ(LapOutFra_cmds_init(), -1);
    kmgr::clearFaults();
    for (auto [line, result] : {std::pair{"lof_set 1 1", 0},
                                {"lof_laptrig", 0},
                                {"lof_outtrig", -1},
                                {"lof_fratrig", -1},
                                {"lof_get", -1}})
        EXPECT_EQ(shell(line), result) << line;
    msd_shell_reset();
}

} // namespace
