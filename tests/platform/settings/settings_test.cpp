#include "platform/settings/settings.h"
#include "platform/unit_dir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <set>
#include <sys/stat.h>

using platform::loadSettings;
using platform::Settings;

namespace {

struct Loaded {
    bool ok;
    Settings s;
    std::string error;
    std::vector<std::string> warnings;
};

Loaded load(const std::string& dir) {
    Loaded l;
    l.ok = loadSettings(dir, &l.s, &l.error, &l.warnings);
    return l;
}

Loaded loadText(const UnitDir& u, const std::string& ini) {
    u.write("vyn.ini", ini);
    return load(u.path);
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
    Loaded l = load(u.path);
    ASSERT_TRUE(l.ok) << l.error;
    const std::string& d = u.path;
    EXPECT_EQ(paths(l.s), (Strings{d, d, d + "/nvram", d + "/cfg", d + "/c", d + "/meas", d + "/meas2",
                                   d + "/usb_meas", "", "", ""}));
    EXPECT_EQ(numbers(l.s), (Numbers{0x25, 2, 0, 0xC0A80025, 0xFFFFFF00, 5555, 0, 0, 0, 0, 1000, 0, 2}));
    EXPECT_EQ(numbers(Settings()), numbers(l.s)) << "a default-made Settings has the same defaults";
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
                    "snapshot_rate = 25\nmissing_devices = 0xE000A000, 0xf8000000\n");
    ASSERT_TRUE(l.ok) << l.error;
    const std::string& d = u.path;
    EXPECT_EQ(paths(l.s),
              (Strings{d, "/srv/home", d + "/state/nv", d + "/config", "/data/c", d + "/m1", d + "/m2",
                       "/media/usb", "/dev/pts/7", d + "/gps.nmea", d + "/shots/display.png"}));
    EXPECT_EQ(numbers(l.s),
              (Numbers{42, 1, 0xFFFFFFFF, 0xC0A80A05, 0xFFFF0000, 5556, 100, 1, 1, 1, 250, 1, 25}));
    EXPECT_EQ(l.s.allPids, (std::vector<uint8_t>{42, 7, 63}));
    EXPECT_EQ(l.s.calendarStart, 1700000000);
    EXPECT_EQ(l.s.missingDevices, (std::vector<uintptr_t>{0xE000A000, 0xF8000000}));
    EXPECT_TRUE(l.warnings.empty());
}

TEST(Settings, MalformedValuesFailNamingFileLineKeyAndWhatItTakes) {
    std::string tooMany = "1";
    for (int i = 0; i < 64; ++i)
        tooMany += ",2"; // longer than the network
    const std::string root = "a directory other than the host's root";
    const std::tuple<std::string, std::string, std::string, Strings> cases[] = {
        // section, key, what it takes, bad values
        {"unit", "pid", "a number from 0 to 63", {"64", "-1", "0x", "010x"}},
        {"unit", "core_affinity", "a number from 0 to 255", {"256"}},
        {"unit",
         "base_boot_counter",
         "a number from 0 to 4294967295",
         {"4294967296", "99999999999999999999999"}},
        {"unit",
         "ipv4",
         "an IPv4 address (a.b.c.d)",
         {"192.168.0", "192.168.0.256", "192.168..1", "192.168.0.1.5", "host.example"}},
        {"unit", "mask", "a network mask (a.b.c.d, contiguous leading ones)", {"255.0.255.0"}},
        {"unit", "xcp_port", "a number from 1 to 65535", {"0", "65536"}},
        {"unit", "bc2_port_offset", "a number from 0 to 65535", {"70000"}},
        {"unit", "ccp_enable", "0 or 1", {"2"}},
        {"unit", "home_dir", "a directory of at most 127 characters as an absolute path", {""}},
        {"unit", "all_pids", "a comma list of up to 64 PIDs from 1 to 63", {"1,,2", "0", "1,64", tooMany}},
        {"drives", "meas", root, {""}},
        {"drives", "cfg", root, {"/", "../../../../../../../../../.."}}, // the unit started without the drive
        {"platform", "time", "'realtime' or 'stepped'", {"fast"}},
        {"platform", "calendar_start", "a number from 0 to 4102444799", {"4102444800"}},
        {"platform", "watchdog", "'log' or 'exit'", {"reset"}},
        {"platform", "watchdog_timeout_ms", "a number from 1 to 3600000", {"0"}},
        {"platform", "realtime_priorities", "0 or 1", {"yes"}},
        {"platform", "snapshot", "a file path", {""}},
        {"platform", "snapshot_rate", "a number from 1 to 100", {"0", "101", "0.5"}},
        {"platform", "missing_devices", "a comma list of 0x-hexadecimal addresses", {"0xE000A000, 57344"}},
    };
    for (const auto& [section, key, takes, values] : cases)
        for (const std::string& value : values) {
            UnitDir u;
            u.write("vyn.ini", "# comment\n[" + section + "]\n" + key + " = " + value + "\n");
            Loaded l;
            l.s.pid = 99; // marks "untouched"
            EXPECT_FALSE(loadSettings(u.path, &l.s, &l.error, &l.warnings)) << key << value;
            EXPECT_EQ(l.s.pid, 99) << key << value;
            EXPECT_EQ(l.error,
                      u.path + "/vyn.ini:3: [" + section + "] " + key + ": '" + value + "' is not " + takes);
        }
}

TEST(Settings, UnknownSectionsAndKeysWarnOnceAndAreIgnored) {
    UnitDir u;
    Loaded l = loadText(u, "stray = 1\n[unit]\npid = 5\ncolour = red\n[extras]\na = 1\nb = 2\n");
    ASSERT_TRUE(l.ok) << l.error;
    EXPECT_EQ(l.s.pid, 5);
    const std::string f = u.path + "/vyn.ini:";
    EXPECT_EQ(l.warnings, (Strings{f + "1: warning: key 'stray' outside a section, ignored",
                                   f + "4: warning: unknown key 'colour' in [unit], ignored",
                                   f + "6: warning: unknown section [extras], ignored"}));
}

TEST(Settings, BrokenFilesAndDirectoriesBeyondTheParameterBlockFail) {
    UnitDir u;
    const std::string dir127 = "/" + std::string(126, 'a');
    Loaded fits = loadText(u, "[unit]\nhome_dir = " + dir127 + "\nnvram_dir = " + dir127 + "b\n");
    ASSERT_TRUE(fits.ok) << fits.error;
    EXPECT_EQ(std::pair(fits.s.homeDir.size(), fits.s.nvramDir.size()),
              (std::pair<size_t, size_t>(127, 128)));
    const std::string nul(1, '\0');
    for (auto [ini, error] :
         {std::pair<std::string, std::string>{"[unit]\npid = 5\nno equals sign\n", ":3: syntax error"},
          {"[unit]\npid = 5\n[platform]\n[unit]\npid = 6\n", ":5: [unit] pid: given more than once"},
          {"[unit]\nhome_dir = /" + std::string(300, 'h') + "\n", ":2: line longer than"},
          {"[unit]\nhome_dir = " + dir127 + "b\n",
           ":2: [unit] home_dir: '" + dir127 + "b' is longer than 127"},
          {"[unit]\nnvram_dir = " + dir127 + "bc\n",
           ":2: [unit] nvram_dir: '" + dir127 + "bc' is longer than 128"},
          {"[unit]\n" + nul + "pid = 64\n", ":2: NUL byte in the line"}, // the line was skipped
          {"[unit]\npid = 5" + nul + "x\n", ":2: NUL byte in the line"}}) {
        Loaded l = loadText(u, ini);
        EXPECT_FALSE(l.ok) << error;
        EXPECT_EQ(l.error.find(u.path + "/vyn.ini" + error), 0u) << l.error;
    }
    // A unit directory too long for the defaults of the parameter block's directories is what is named.
    for (auto [length, ini, key] : {std::tuple<size_t, std::string, std::string>{130, "", "home_dir"},
                                    {125, "", "nvram_dir"},
                                    {125, "[unit]\nnvram_dir = /nv\n", ""},
                                    {200, "[unit]\nhome_dir = /h\nnvram_dir = /nv\n", ""}}) {
        UnitDir l(std::string(length - u.path.size() - 1, 'd'));
        Loaded r = loadText(l, ini);
        EXPECT_EQ(r.ok, key.empty()) << r.error;
        EXPECT_EQ(r.error.find(l.path + "/vyn.ini: the unit directory '" + l.path +
                               "' is too long: the default of [unit] " + key + " would be longer than"),
                  key.empty() ? std::string::npos : 0)
            << r.error;
    }
}

// Opening a FIFO for reading waits for a writer: it, like any other non-file, fails at once.
TEST(Settings, AnythingButARegularFileFails) {
    for (auto make : {+[](const std::string& p) { return mkdir(p.c_str(), 0755); },
                      +[](const std::string& p) { return mkfifo(p.c_str(), 0644); }}) {
        UnitDir u;
        ASSERT_EQ(make(u.path + "/vyn.ini"), 0);
        EXPECT_EQ(load(u.path).error, u.path + "/vyn.ini: not a regular file");
    }
}

// Every key of the table is documented above its line in the example with the table's help, what
// it takes and its default, and the example's own values load.
TEST(Settings, TheExampleDocumentsEveryKeyAsTheTableDoes) {
    const std::string dir = std::string(std::getenv("VYN_SOURCE_DIR")) + "/examples/unit0";
    Loaded l = load(dir);
    ASSERT_TRUE(l.ok && l.warnings.empty()) << l.error;
    std::ifstream in(dir + "/vyn.ini");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    const std::vector<platform::KeyDoc> docs = platform::keyDocs();
    std::set<std::string> documented;
    std::string section;
    std::smatch m;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].starts_with("[")) section = lines[i].substr(1, lines[i].find(']') - 1);
        if (!std::regex_match(lines[i], m, std::regex("(; )?([A-Za-z0-9_]+) = .*"))) continue;
        auto d = std::find_if(docs.begin(), docs.end(),
                              [&](auto& k) { return k.section == section && k.name == m[2]; });
        ASSERT_TRUE(d != docs.end() && i >= 2) << "not a key of the table: " << lines[i];
        EXPECT_EQ(lines[i - 2] + "\n" + lines[i - 1], "; " + d->help + "\n; " + d->values);
        EXPECT_TRUE(documented.insert(section + "." + d->name).second) << lines[i];
    }
    EXPECT_EQ(documented.size(), docs.size());
}

} // namespace
