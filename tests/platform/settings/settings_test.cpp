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

using Strings = std::vector<std::string>;
using Numbers = std::vector<uint64_t>;
Strings paths(const Settings& s) {
    return {s.unitDir,  s.homeDir,    s.nvramDir, s.cfgDir, s.cDir,    s.measDir,
            s.meas2Dir, s.usbMeasDir, s.tyCo0,    s.tyCo1,  s.snapshot};
}
Numbers numbers(const Settings& s) {
    return {s.pid,         s.coreAffinity, s.baseBootCounter,   s.ipv4,
            s.mask,        s.xcpPort,      s.bc2PortOffset,     s.ccpEnable,
            s.stepped,     s.watchdogExit, s.watchdogTimeoutMs, s.realtimePriorities,
            s.snapshotRate};
}

TEST(Settings, MissingFileGivesTheDefaults) {
    UnitDir u;
    time_t before = time(nullptr);
    Loaded l = load(u);
    ASSERT_TRUE(l.ok) << l.error;
    const std::string& d = u.path;
    EXPECT_EQ(paths(l.s), (Strings{d, d, d + "/nvram", d + "/cfg", d + "/c", d + "/meas", d + "/meas2",
                                   d + "/usb_meas", "", "", ""}));
    EXPECT_EQ(numbers(l.s), (Numbers{0x25, 2, 0, 0xC0A80025, 0xFFFFFF00, 5555, 0, 0, 0, 0, 1000, 0, 2}));
    EXPECT_EQ(l.s.allPids, std::vector<uint8_t>{0x25});
    EXPECT_GE(l.s.calendarStart, before);
    EXPECT_LE(l.s.calendarStart, time(nullptr));
    EXPECT_TRUE(l.warnings.empty());
    // all_pids follows the own PID when not given
    EXPECT_EQ(loadText(u, "[unit]\npid = 12\n").s.allPids, std::vector<uint8_t>{12});
}

TEST(Settings, EveryKeyIsRead) {
    UnitDir u;
    Loaded l =
        loadText(u, "; the demo unit\n[unit]\npid = 0x2A\ncore_affinity = 1\nbase_boot_counter = 4294967295\n"
                    "ipv4 = 192.168.10.5\nmask = 255.255.0.0\nxcp_port = 5556\nbc2_port_offset = 100\n"
                    "ccp_enable = 1\nhome_dir = /srv/home/\nnvram_dir = state/nv\nall_pids = 42, 7,0x3F\n\n"
                    "[drives]\ncfg = config\nc = /data/c\nmeas = run/../m1\nmeas2 = m2\n"
                    "usb_meas = /media/usb\n[serial]\ntyCo0 = /dev/pts/7\nTYCO1 = gps.nmea ; inline comment\n"
                    "[Platform]\ntime = stepped\ncalendar_start = 1700000000\nwatchdog = exit\n"
                    "watchdog_timeout_ms = 250\nrealtime_priorities = 1\nsnapshot = shots/display.png\n"
                    "snapshot_rate = 25\n");
    ASSERT_TRUE(l.ok) << l.error;
    const std::string& d = u.path;
    EXPECT_EQ(paths(l.s),
              (Strings{d, "/srv/home", d + "/state/nv", d + "/config", "/data/c", d + "/m1", d + "/m2",
                       "/media/usb", "/dev/pts/7", d + "/gps.nmea", d + "/shots/display.png"}));
    EXPECT_EQ(numbers(l.s),
              (Numbers{42, 1, 0xFFFFFFFF, 0xC0A80A05, 0xFFFF0000, 5556, 100, 1, 1, 1, 250, 1, 25}));
    EXPECT_EQ(l.s.allPids, (std::vector<uint8_t>{42, 7, 63}));
    EXPECT_EQ(l.s.calendarStart, 1700000000);
    EXPECT_TRUE(l.warnings.empty());
}

TEST(Settings, MalformedValuesFailNamingFileLineAndKey) {
    struct Case {
        const char* section;
        std::string line;
        const char* key;
    };
    std::string tooMany = "all_pids = 1";
    for (int i = 0; i < 64; ++i)
        tooMany += ",2"; // longer than the network
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
        {"unit", tooMany, "all_pids"},
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

TEST(Settings, BrokenFilesAndDirectoriesBeyondTheParameterBlockFail) {
    UnitDir u;
    const std::string dir127 = "/" + std::string(126, 'a');
    Loaded fits = loadText(u, "[unit]\nhome_dir = " + dir127 + "\nnvram_dir = " + dir127 + "b\n");
    ASSERT_TRUE(fits.ok) << fits.error;
    EXPECT_EQ(fits.s.homeDir.size(), 127u);
    EXPECT_EQ(fits.s.nvramDir.size(), 128u);
    for (auto [ini, error] :
         {std::pair<std::string, std::string>{"[unit]\npid = 5\nthis line has no equals sign\n",
                                              "vyn.ini:3: syntax error"},
          {"[unit]\npid = 5\n[platform]\ntime = stepped\n[unit]\npid = 6\n",
           "vyn.ini:6: [unit] pid: given more than once"},
          {"[unit]\nhome_dir = /" + std::string(300, 'h') + "\n", "vyn.ini:2: line longer than"},
          {"[unit]\nhome_dir = " + dir127 + "b\n", "home_dir"},
          {"[unit]\nnvram_dir = " + dir127 + "bc\n", "nvram_dir"}}) {
        Loaded l = loadText(u, ini);
        EXPECT_FALSE(l.ok) << error;
        EXPECT_NE(l.error.find(error), std::string::npos) << l.error;
    }
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
