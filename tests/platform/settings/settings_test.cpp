#include "platform/settings/settings.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

#include <ctime>

using platform::loadSettings;
using platform::Settings;

namespace {

struct Loaded {
    bool ok;
    Settings s;
    std::string error;
    std::vector<std::string> warnings;
};

Loaded load(const UnitDir& u) {
    Loaded l;
    l.ok = loadSettings(u.path, &l.s, &l.error, &l.warnings);
    return l;
}

Loaded loadText(const UnitDir& u, const std::string& ini) {
    u.write("vyn.ini", ini);
    return load(u);
}

TEST(Settings, MissingFileGivesTheDefaults) {
    UnitDir u;
    time_t before = time(nullptr);
    Loaded l = load(u);
    ASSERT_TRUE(l.ok) << l.error;
    const Settings& s = l.s;
    EXPECT_EQ(s.unitDir, u.path);
    EXPECT_EQ(s.pid, 0x25);
    EXPECT_EQ(s.coreAffinity, 2);
    EXPECT_EQ(s.baseBootCounter, 0u);
    EXPECT_EQ(s.ipv4, 0xC0A80025u);
    EXPECT_EQ(s.mask, 0xFFFFFF00u);
    EXPECT_EQ(s.xcpPort, 5555);
    EXPECT_EQ(s.bc2PortOffset, 0);
    EXPECT_EQ(s.ccpEnable, 0);
    EXPECT_EQ(s.homeDir, u.path);
    EXPECT_EQ(s.nvramDir, u.path + "/nvram");
    EXPECT_EQ(s.allPids, std::vector<uint8_t>{0x25});
    EXPECT_EQ(s.cfgDir, u.path + "/cfg");
    EXPECT_EQ(s.cDir, u.path + "/c");
    EXPECT_EQ(s.measDir, u.path + "/meas");
    EXPECT_EQ(s.meas2Dir, u.path + "/meas2");
    EXPECT_EQ(s.usbMeasDir, u.path + "/usb_meas");
    EXPECT_EQ(s.tyCo0, "");
    EXPECT_EQ(s.tyCo1, "");
    EXPECT_FALSE(s.stepped);
    EXPECT_GE(s.calendarStart, before);
    EXPECT_LE(s.calendarStart, time(nullptr));
    EXPECT_FALSE(s.watchdogExit);
    EXPECT_EQ(s.watchdogTimeoutMs, 1000u);
    EXPECT_FALSE(s.realtimePriorities);
    EXPECT_EQ(s.snapshot, "");
    EXPECT_EQ(s.snapshotRate, 2u);
    EXPECT_TRUE(l.warnings.empty());
}

TEST(Settings, EveryKeyIsRead) {
    UnitDir u;
    Loaded l = loadText(u, "; the demo unit\n"
                           "[unit]\n"
                           "pid = 0x2A\n"
                           "core_affinity = 1\n"
                           "base_boot_counter = 4294967295\n"
                           "ipv4 = 192.168.10.5\n"
                           "mask = 255.255.0.0\n"
                           "xcp_port = 5556\n"
                           "bc2_port_offset = 100\n"
                           "ccp_enable = 1\n"
                           "home_dir = /srv/home/\n"
                           "nvram_dir = state/nv\n"
                           "all_pids = 42, 7,0x3F\n"
                           "\n"
                           "[drives]\n"
                           "cfg = config\n"
                           "c = /data/c\n"
                           "meas = run/../m1\n"
                           "meas2 = m2\n"
                           "usb_meas = /media/usb\n"
                           "[serial]\n"
                           "tyCo0 = /dev/pts/7\n"
                           "TYCO1 = gps.nmea ; inline comment\n"
                           "[Platform]\n"
                           "time = stepped\n"
                           "calendar_start = 1700000000\n"
                           "watchdog = exit\n"
                           "watchdog_timeout_ms = 250\n"
                           "realtime_priorities = 1\n"
                           "snapshot = shots/display.png\n"
                           "snapshot_rate = 25\n");
    ASSERT_TRUE(l.ok) << l.error;
    const Settings& s = l.s;
    EXPECT_EQ(s.pid, 42);
    EXPECT_EQ(s.coreAffinity, 1);
    EXPECT_EQ(s.baseBootCounter, 0xFFFFFFFFu);
    EXPECT_EQ(s.ipv4, 0xC0A80A05u);
    EXPECT_EQ(s.mask, 0xFFFF0000u);
    EXPECT_EQ(s.xcpPort, 5556);
    EXPECT_EQ(s.bc2PortOffset, 100);
    EXPECT_EQ(s.ccpEnable, 1);
    EXPECT_EQ(s.homeDir, "/srv/home");
    EXPECT_EQ(s.nvramDir, u.path + "/state/nv");
    EXPECT_EQ(s.allPids, (std::vector<uint8_t>{42, 7, 63}));
    EXPECT_EQ(s.cfgDir, u.path + "/config");
    EXPECT_EQ(s.cDir, "/data/c");
    EXPECT_EQ(s.measDir, u.path + "/m1");
    EXPECT_EQ(s.meas2Dir, u.path + "/m2");
    EXPECT_EQ(s.usbMeasDir, "/media/usb");
    EXPECT_EQ(s.tyCo0, "/dev/pts/7");
    EXPECT_EQ(s.tyCo1, u.path + "/gps.nmea");
    EXPECT_TRUE(s.stepped);
    EXPECT_EQ(s.calendarStart, 1700000000);
    EXPECT_TRUE(s.watchdogExit);
    EXPECT_EQ(s.watchdogTimeoutMs, 250u);
    EXPECT_TRUE(s.realtimePriorities);
    EXPECT_EQ(s.snapshot, u.path + "/shots/display.png");
    EXPECT_EQ(s.snapshotRate, 25u);
    EXPECT_TRUE(l.warnings.empty());
}

TEST(Settings, AllPidsDefaultsToTheOwnPid) {
    UnitDir u;
    Loaded l = loadText(u, "[unit]\npid = 12\n");
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.s.allPids, std::vector<uint8_t>{12});
}

TEST(Settings, MalformedValuesFailNamingFileLineAndKey) {
    struct Case {
        const char* section;
        const char* line;
        const char* key;
    };
    const Case cases[] = {
        {"unit", "pid = 64", "pid"},
        {"unit", "pid = -1", "pid"},
        {"unit", "pid = 0x", "pid"},
        {"unit", "pid = 010x", "pid"},
        {"unit", "core_affinity = 256", "core_affinity"},
        {"unit", "base_boot_counter = 4294967296", "base_boot_counter"},
        {"unit", "base_boot_counter = 99999999999999999999999", "base_boot_counter"},
        {"unit", "ipv4 = 192.168.0", "ipv4"},
        {"unit", "ipv4 = 192.168.0.256", "ipv4"},
        {"unit", "ipv4 = 192.168..1", "ipv4"},
        {"unit", "ipv4 = 192.168.0.1.5", "ipv4"},
        {"unit", "ipv4 = host.example", "ipv4"},
        {"unit", "mask = 255.0.255.0", "mask"},
        {"unit", "xcp_port = 0", "xcp_port"},
        {"unit", "xcp_port = 65536", "xcp_port"},
        {"unit", "bc2_port_offset = 70000", "bc2_port_offset"},
        {"unit", "ccp_enable = 2", "ccp_enable"},
        {"unit", "home_dir =", "home_dir"},
        {"unit", "all_pids = 1,,2", "all_pids"},
        {"unit", "all_pids = 0", "all_pids"},
        {"unit", "all_pids = 1,64", "all_pids"},
        {"drives", "meas =", "meas"},
        {"platform", "time = fast", "time"},
        {"platform", "calendar_start = 4102444800", "calendar_start"},
        {"platform", "calendar_start = yesterday", "calendar_start"},
        {"platform", "watchdog = reset", "watchdog"},
        {"platform", "watchdog_timeout_ms = 0", "watchdog_timeout_ms"},
        {"platform", "realtime_priorities = yes", "realtime_priorities"},
        {"platform", "snapshot =", "snapshot"},
        {"platform", "snapshot_rate = 0", "snapshot_rate"},
        {"platform", "snapshot_rate = 101", "snapshot_rate"},
        {"platform", "snapshot_rate = 0.5", "snapshot_rate"},
    };
    for (const Case& c : cases) {
        UnitDir u;
        Settings s;
        s.pid = 99; // marks "untouched"
        std::string error;
        std::vector<std::string> warnings;
        u.write("vyn.ini", std::string("# comment\n[") + c.section + "]\n" + c.line + "\n");
        EXPECT_FALSE(loadSettings(u.path, &s, &error, &warnings)) << c.line;
        EXPECT_EQ(s.pid, 99) << c.line;
        EXPECT_NE(error.find(u.path + "/vyn.ini:3: [" + c.section + "] " + c.key + ":"), std::string::npos)
            << c.line << " -> " << error;
    }
}

TEST(Settings, AllPidsLongerThanTheNetworkFails) {
    UnitDir u;
    std::string list = "1";
    for (int i = 0; i < 64; ++i)
        list += ",2";
    Loaded l = loadText(u, "[unit]\nall_pids = " + list + "\n");
    EXPECT_FALSE(l.ok);
    EXPECT_NE(l.error.find("all_pids"), std::string::npos);
}

TEST(Settings, UnknownSectionsAndKeysWarnOnceAndAreIgnored) {
    UnitDir u;
    Loaded l = loadText(u, "stray = 1\n"
                           "[unit]\n"
                           "pid = 5\n"
                           "colour = red\n"
                           "[extras]\n"
                           "a = 1\n"
                           "b = 2\n");
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.s.pid, 5);
    ASSERT_EQ(l.warnings.size(), 3u);
    const std::string file = u.path + "/vyn.ini";
    EXPECT_EQ(l.warnings[0], file + ":1: warning: key 'stray' outside a section, ignored");
    EXPECT_EQ(l.warnings[1], file + ":4: warning: unknown key 'colour' in [unit], ignored");
    EXPECT_EQ(l.warnings[2], file + ":6: warning: unknown section [extras], ignored");
}

TEST(Settings, BrokenFilesFailWithTheLine) {
    UnitDir u;
    Loaded syntax = loadText(u, "[unit]\npid = 5\nthis line has no equals sign\n");
    EXPECT_FALSE(syntax.ok);
    EXPECT_NE(syntax.error.find("vyn.ini:3: syntax error"), std::string::npos) << syntax.error;

    Loaded twice = loadText(u, "[unit]\npid = 5\n[platform]\ntime = stepped\n[unit]\npid = 6\n");
    EXPECT_FALSE(twice.ok);
    EXPECT_NE(twice.error.find("vyn.ini:6: [unit] pid: given more than once"), std::string::npos)
        << twice.error;

    Loaded longLine = loadText(u, "[unit]\nhome_dir = /" + std::string(300, 'h') + "\n");
    EXPECT_FALSE(longLine.ok);
    EXPECT_NE(longLine.error.find("vyn.ini:2: line longer than"), std::string::npos) << longLine.error;
}

TEST(Settings, DirectoriesMustFitTheParameterBlock) {
    UnitDir u;
    std::string dir127 = "/" + std::string(126, 'a');
    Loaded fits = loadText(u, "[unit]\nhome_dir = " + dir127 + "\nnvram_dir = " + dir127 + "b\n");
    ASSERT_TRUE(fits.ok) << fits.error;
    EXPECT_EQ(fits.s.homeDir.size(), 127u);
    EXPECT_EQ(fits.s.nvramDir.size(), 128u);

    Loaded home = loadText(u, "[unit]\nhome_dir = " + dir127 + "b\n");
    EXPECT_FALSE(home.ok);
    EXPECT_NE(home.error.find("home_dir"), std::string::npos) << home.error;
    Loaded nv = loadText(u, "[unit]\nnvram_dir = " + dir127 + "bc\n");
    EXPECT_FALSE(nv.ok);
    EXPECT_NE(nv.error.find("nvram_dir"), std::string::npos) << nv.error;
}

TEST(Settings, AnUnreadableFileFails) {
    UnitDir u;
    std::filesystem::create_directory(u.path + "/vyn.ini"); // a directory cannot be read as the file
    Settings s;
    std::string error;
    EXPECT_FALSE(loadSettings(u.path, &s, &error, nullptr));
    EXPECT_NE(error.find("vyn.ini"), std::string::npos) << error;
}

} // namespace
