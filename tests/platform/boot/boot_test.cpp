#include "platform/boot/platform.h"
#include "platform/display/displaysim.h"
#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "platform/kmgr/kmgr.h"
#include "platform/settings/settings.h"
#include "support/stepped.h"

#include <cstring>
#include <ctime>
#include <sys/mman.h>

namespace {

using UnitDir = testsupport::ScratchDir;
constexpr intptr_t ID = 0x6E2B9D13;

void logLine(const char* text) {
    syslog_msg_t m{147};
    std::snprintf(m.task, sizeof m.task, "1 main");
    std::snprintf(m.device, sizeof m.device, "KVX2_VYN");
    std::snprintf(m.text, sizeof m.text, "%s", text);
    msgQSend(msgQOpen("/syslogq", 0, 0, 0, 0), &m, 64 + std::strlen(text) + 1, NO_WAIT, MSG_PRI_NORMAL);
}

intptr_t feed() {
    uint32_t pattern = 0;
    const void* list[1] = {&pattern};
    return kmgr_syscall(2753, 0, ID, 1, 0, 1, reinterpret_cast<intptr_t>(list), 0, 0);
}

// The child of a death test runs this test again from the start: it finds the parent's
// unit directory in the environment.
std::string sharedUnitDir(std::unique_ptr<UnitDir>* owner) {
    if (const char* d = std::getenv("VYN_TEST_DEATH_UNIT")) return d;
    *owner = std::make_unique<UnitDir>();
    setenv("VYN_TEST_DEATH_UNIT", (*owner)->path.c_str(), 1);
    return (*owner)->path;
}

TEST(BootDeathTest, AnUnfedWatchdogEndsTheProcessAfterTheLog) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::unique_ptr<UnitDir> owner;
    const std::string dir = sharedUnitDir(&owner);
    std::ofstream(dir + "/vyn.ini") << "[platform]\nwatchdog = exit\nwatchdog_timeout_ms = 20\n";
    EXPECT_EXIT(
        {
            if (platform::bootForTest(dir, 0) != 0) std::_Exit(3);
            logLine("last words");
            feed();
            sim::step(10);
            feed();
            sim::step(100);
            std::_Exit(4); // not reached: the manager resets the process
        },
        ::testing::ExitedWithCode(70), "");
    unsetenv("VYN_TEST_DEATH_UNIT");
    shm_unlink(displaysim::shownShmName(0, dir).c_str()); // a reset leaves the shown frame
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->read("vyn.log"), "147 KVX2_VYN 1 main: last words\n147 KVX2_KMGR watchdog: application "
                                      "watchdog of RTP 0 not fed for 21 ms, resetting the process\n");
}

TEST(Boot, BringsUpTheUnitFromItsDirectory) {
    UnitDir unit;
    unit.write("vyn.ini", "[unit]\n"
                          "ipv4 = 10.1.2.3\n"
                          "nvram_dir = state/nv\n"
                          "[drives]\n"
                          "meas = data/m1\n"
                          "[platform]\n"
                          "time = realtime\n" // a test fixture always steps
                          "calendar_start = 1600000000\n");
    ASSERT_EQ(platform::bootForTest(unit.path, 2), 0) << platform::bootError();
    EXPECT_EQ(sim::mode(), sim::TimeMode::Stepped);
    timespec ts;
    osClockGettime(CLOCK_REALTIME, &ts);
    EXPECT_EQ(ts.tv_sec, 1600000000);

    for (const char* d : {"cfg", "c", "data/m1", "meas2", "usb_meas", "state/nv"})
        EXPECT_TRUE(std::filesystem::is_directory(unit.path + "/" + d)) << d;
    EXPECT_TRUE(std::filesystem::exists(unit.path + "/vyn.ctl"));
    EXPECT_NE(hw_map(zynq::ADC_BASE, 0x1000), nullptr);
    // what the manager hands out from them: tests/platform/kmgr and the start report end to end
    EXPECT_EQ(std::pair(platform::settings().unitDir, platform::settings().ipv4),
              std::pair(unit.path, 0x0A010203u));

    // A line logged just before the end is in the log once halt returns.
    logLine("Wrong number of arguments for RTP");
    platform::halt();
    EXPECT_EQ(unit.read("vyn.log"), "147 KVX2_VYN 1 main: Wrong number of arguments for RTP\n");
    EXPECT_FALSE(std::filesystem::exists(unit.path + "/vyn.ctl"));

    // A second unit in the same process: a fresh log, its own settings.
    UnitDir next;
    ASSERT_EQ(platform::bootForTest(next.path, 0), 0) << platform::bootError();
    EXPECT_EQ(platform::settings().unitDir, next.path);
    logLine("second");
    platform::halt();
    EXPECT_EQ(next.read("vyn.log"), "147 KVX2_VYN 1 main: second\n");
}

TEST(Boot, FailsWithAReason) {
    UnitDir unit;
    EXPECT_EQ(platform::bootForTest(unit.path + "/missing", 0), -1);
    EXPECT_EQ(platform::bootError(), "unit directory '" + unit.path + "/missing' does not exist");

    unit.write("taken", "a file where a drive should be");
    const std::string ini = unit.path + "/vyn.ini";
    for (auto [text, error] :
         {std::pair<std::string, std::string>{"[unit]\npid = 99\n", ini + ":2: [unit] pid:"},
          {"[drives]\ncfg = taken\n", "cannot create directory " + unit.path + "/taken"},
          {"[platform]\nmissing_devices = 0xE000B000\n",
           ini + ": [platform] missing_devices: no board device at 0xE000B000"}}) {
        unit.write("vyn.ini", text);
        EXPECT_EQ(platform::bootForTest(unit.path, 0), -1);
        EXPECT_EQ(platform::bootError().find(error), 0u) << platform::bootError();
    }
    EXPECT_EQ(unit.read("taken"), "a file where a drive should be");
}

} // namespace
