#include "platform/settings/settings.h"
#include "support/stepped.h"

#include <sys/stat.h>

using namespace platform;
using UnitDir = testsupport::ScratchDir;

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
    return u.write("vyn.ini", ini), load(u.path);
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

TEST(Settings, MissingFileGivesTheDefaultsAndTheExampleDocumentsThem) {
    UnitDir u;
    Loaded l = load(u.path);
    ASSERT_TRUE(l.ok) << l.error;
    const std::string& d = u.path;
    EXPECT_EQ(paths(l.s), (Strings{d, d, d + "/nvram", d + "/cfg", d + "/c", d + "/meas", d + "/meas2",
                                   d + "/usb_meas", "", "", ""}));
    EXPECT_EQ(numbers(l.s), (Numbers{0x25, 2, 0, 0xC0A80025, 0xFFFFFF00, 5555, 0, 0, 0, 0, 1000, 0, 2}));
    EXPECT_EQ(l.s.allPids, std::vector<uint8_t>{0x25});
    EXPECT_TRUE(l.warnings.empty());
    // all_pids follows the own PID when not given
    EXPECT_EQ(loadText(u, "[unit]\npid = 12\n").s.allPids, std::vector<uint8_t>{12});

    // The example loads, and documents every key of the table above its line with the table's help,
    // what it takes and its default.
    const std::string dir = std::string(std::getenv("VYN_SOURCE_DIR")) + "/examples/unit0";
    l = load(dir);
    ASSERT_TRUE(l.ok && l.warnings.empty()) << l.error;
    std::stringstream in;
    in << std::ifstream(dir + "/vyn.ini").rdbuf();
    const std::string text = in.str();
    for (const platform::KeyDoc& d : platform::keyDocs()) {
        const size_t start = text.find("[" + d.section + "]"), end = text.find("\n[", start);
        const std::string doc = "\n; " + d.help + "\n; " + d.values + "\n";
        EXPECT_LT(
            std::min(text.find(doc + d.name + " = ", start), text.find(doc + "; " + d.name + " = ", start)),
            end)
            << d.section << "." << d.name;
    }
}

TEST(Settings, EveryKeyIsReadAndUnknownOnesWarn) {
    UnitDir u;
    Loaded l = loadText(
        u, "stray = 1\n[unit]\npid = 0x2A\ncolour = red\ncore_affinity = 1\nbase_boot_counter = 4294967295\n"
           "ipv4 = 192.168.10.5\nmask = 255.255.0.0\nxcp_port = 5556\nbc2_port_offset = 100\n"
           "ccp_enable = 1\nhome_dir = /srv/home/\nnvram_dir = state/nv\nall_pids = 42, 7,0x3F\n\n"
           "[drives]\ncfg = config\nc = /data/c\nmeas = run/../m1\nmeas2 = m2\n"
           "usb_meas = /media/usb\n[serial]\ntyCo0 = /dev/pts/7\nTYCO1 = gps.nmea ; inline comment\n"
           "[Platform]\ntime = stepped\ncalendar_start = 1700000000\nwatchdog = exit\n"
           "watchdog_timeout_ms = 250\nrealtime_priorities = 1\nsnapshot = shots/display.png\n"
           "snapshot_rate = 25\nmissing_devices = 0xE000A000, 0xf8000000\n[extras]\na = 1\nb = 2\n");
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
    // Unknown sections and keys warn once and are ignored.
    const std::string f = u.path + "/vyn.ini:";
    EXPECT_EQ(l.warnings, (Strings{f + "1: warning: key 'stray' outside a section, ignored",
                                   f + "4: warning: unknown key 'colour' in [unit], ignored",
                                   f + "35: warning: unknown section [extras], ignored"}));
}

TEST(Settings, MalformedValuesFailNamingFileLineAndKey) {
    std::string tooMany = "1";
    for (int i = 0; i < 64; ++i)
        tooMany += ",2"; // longer than the network
    // section.key=bad value;... (a cfg drive at the host's root: the unit started without the drive)
    std::stringstream cases(
        "unit.pid=64;unit.pid=-1;unit.pid=0x;unit.pid=010x;unit.core_affinity=256;"
        "unit.base_boot_counter=4294967296;unit.base_boot_counter=99999999999999999999999;"
        "unit.ipv4=192.168.0;unit.ipv4=192.168.0.256;unit.ipv4=192.168..1;unit.ipv4=192.168.0.1.5;"
        "unit.ipv4=host.example;unit.mask=255.0.255.0;unit.xcp_port=0;unit.xcp_port=65536;"
        "unit.bc2_port_offset=70000;unit.ccp_enable=2;unit.home_dir=;unit.all_pids=1,,2;unit.all_pids=0;"
        "unit.all_pids=1,64;drives.meas=;drives.cfg=/;drives.cfg=../../../../../../../../../..;"
        "platform.time=fast;platform.calendar_start=4102444800;platform.watchdog=reset;"
        "platform.watchdog_timeout_ms=0;platform.realtime_priorities=yes;platform.snapshot=;"
        "platform.snapshot_rate=0;platform.snapshot_rate=101;platform.snapshot_rate=0.5;"
        "platform.missing_devices=0xE000A000, 57344;board.analog_stimulus=0 sine 1;"
        "board.analog_stimulus=2 csv absent.csv;unit.all_pids=" +
        tooMany);
    UnitDir u;
    for (std::string section, key, value; std::getline(cases, section, '.') &&
                                          std::getline(cases, key, '=') && std::getline(cases, value, ';');) {
        u.write("vyn.ini", "# comment\n[" + section + "]\n" + key + " = " + value + "\n");
        Loaded l;
        l.s.pid = 99; // marks "untouched"
        EXPECT_FALSE(loadSettings(u.path, &l.s, &l.error, &l.warnings)) << key << value;
        EXPECT_EQ(l.s.pid, 99) << key << value;
        EXPECT_EQ(l.error.find(u.path + "/vyn.ini:3: [" + section + "] " + key + ": '" + value + "' is not "),
                  0u)
            << l.error;
    }
}

TEST(Settings, BrokenFilesAndDirectoriesBeyondTheParameterBlockFail) {
    // Opening a FIFO for reading waits for a writer: it, like any other non-file, fails at once.
    for (auto make : {+[](const std::string& p) { return mkdir(p.c_str(), 0755); },
                      +[](const std::string& p) { return mkfifo(p.c_str(), 0644); }}) {
        UnitDir d;
        ASSERT_EQ(make(d / "vyn.ini"), 0);
        EXPECT_EQ(load(d.path).error, d / "vyn.ini: not a regular file");
    }
    UnitDir u;
    const std::string dir127 = "/" + std::string(126, 'a');
    EXPECT_TRUE(loadText(u, "[unit]\nhome_dir = " + dir127 + "\nnvram_dir = " + dir127 + "b\n").ok);
    const std::string nul(1, '\0');
    for (auto [ini, error] :
         {std::pair<std::string, std::string>{"[unit]\npid = 5\nno equals sign\n", ":3: syntax error"},
          {"[unit]\npid = 5\n[platform]\n[unit]\npid = 6\n", ":5: [unit] pid: given more than once"},
          {"[unit]\nhome_dir = /" + std::string(300, 'h') + "\n", ":2: line longer than"},
          {"[unit]\nhome_dir = " + dir127 + "b\n", ":2: [unit] home_dir: '/a"},
          {"[unit]\nnvram_dir = " + dir127 + "bc\n", ":2: [unit] nvram_dir: '/a"},
          {"[unit]\n" + nul + "pid = 64\n", ":2: NUL byte in the line"}, // the line was skipped
          {"[unit]\npid = 5" + nul + "x\n", ":2: NUL byte in the line"}}) {
        Loaded l = loadText(u, ini);
        EXPECT_FALSE(l.ok) << error;
        EXPECT_EQ(l.error.find(u.path + "/vyn.ini" + error), 0u) << l.error;
    }
    // A unit directory too long for the defaults of the parameter block's directories is what is named.
    for (auto [length, ini, key] : {std::tuple<size_t, std::string, std::string>{130, "", "home_dir"},
                                    {125, "", "nvram_dir"},
                                    {125, "[unit]\nnvram_dir = /nv\n", ""}}) {
        UnitDir l(std::string(length - u.path.size() - 1, 'd'));
        Loaded r = loadText(l, ini);
        EXPECT_EQ(r.ok, key.empty()) << r.error;
        EXPECT_EQ(r.error.find(l.path + "/vyn.ini: the unit directory '" + l.path +
                               "' is too long: the default of [unit] " + key + " would be longer than"),
                  key.empty() ? std::string::npos : 0)
            << r.error;
    }
}

} // namespace
