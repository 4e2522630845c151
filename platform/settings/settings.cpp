#include "platform/settings/settings.h"

#include "platform/fsutil/fsutil.h"
#include "platform/hw/board_sim.h"

#include <ini.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <sys/types.h>
#include <type_traits>
#include <unistd.h>
#include <variant>

namespace platform {

namespace {

enum class Kind {
    Number,      // decimal or 0x-hexadecimal, from min to max
    Ipv4,        // a.b.c.d
    Mask,        // a.b.c.d with contiguous leading ones
    Dir,         // a directory; max: the longest absolute path (0: any)
    Drive,       // a directory that is not the host's root
    Path,        // a file path
    Choice,      // words[0] or words[1] (true)
    PidList,     // comma list of PIDs from min to max
    AddressList, // comma list of 0x-hexadecimal addresses
    Stimuli,     // comma list of analog-input stimuli (hwsim::parseStimulusList)
};

using Field = std::variant<uint8_t Settings::*, uint16_t Settings::*, uint32_t Settings::*,
                           int64_t Settings::*, bool Settings::*, std::string Settings::*,
                           std::vector<uint8_t> Settings::*, std::vector<uintptr_t> Settings::*>;

struct Key {
    const char* section;
    const char* name;
    Kind kind;
    Field field;
    uint64_t min, max;
    const char* def;     // applied when the key is left out; null: none, or derived
    const char* defNote; // what the example says of the default, when not just `def`
    const char* help;
    const char* words[2] = {nullptr, nullptr};
};

constexpr size_t MAX_PIDS = 64; // units on the device network

// clang-format off
constexpr Key KEYS[] = {
    {"unit", "pid", Kind::Number, &Settings::pid, 0, 63, "0x25", nullptr,
     "This unit's PID on the device network (0: not assigned)."},
    {"unit", "core_affinity", Kind::Number, &Settings::coreAffinity, 0, 255, "2", nullptr,
     "Processor set the application's tasks are meant for (bit 1: second core)."},
    {"unit", "base_boot_counter", Kind::Number, &Settings::baseBootCounter, 0, UINT32_MAX, "0", nullptr,
     "Added to the boot counter kept in non-volatile memory."},
    {"unit", "ipv4", Kind::Ipv4, &Settings::ipv4, 0, 0, "192.168.0.37", nullptr,
     "Address of the unit's Ethernet interface."},
    {"unit", "mask", Kind::Mask, &Settings::mask, 0, 0, "255.255.255.0", nullptr,
     "Network mask of the unit's Ethernet interface."},
    {"unit", "xcp_port", Kind::Number, &Settings::xcpPort, 1, 65535, "5555", nullptr,
     "UDP port of the XCP slave that a calibration tool connects to."},
    {"unit", "bc2_port_offset", Kind::Number, &Settings::bc2PortOffset, 0, 65535, "0", nullptr,
     "Added to the device network's ports (0, 100 ... 400), so that several units can share one host; units on "
     "one address still do not connect to each other: give each unit an address of its own."},
    {"unit", "ccp_enable", Kind::Number, &Settings::ccpEnable, 0, 1, "0", nullptr,
     "1 enables the CCP master on CAN."},
    {"unit", "home_dir", Kind::Dir, &Settings::homeDir, 0, HOME_DIR_MAX, ".", ". (the unit directory)",
     "Home directory handed to the application."},
    {"unit", "nvram_dir", Kind::Dir, &Settings::nvramDir, 0, NVRAM_DIR_MAX, "nvram", nullptr,
     "Directory of the non-volatile memory and the stored dataset."},
    {"unit", "all_pids", Kind::PidList, &Settings::allPids, 1, 63, nullptr, "the pid alone",
     "PIDs of all units of the car; only the first two travel in the parameter block."},
    {"drives", "cfg", Kind::Drive, &Settings::cfgDir, 0, 0, "cfg", nullptr,
     "Drive \"cfg:\", the configuration files (display, CAN, logging, events, tracks)."},
    {"drives", "c", Kind::Drive, &Settings::cDir, 0, 0, "c", nullptr,
     "Drive \"c:\", reports such as the scrutineering report."},
    {"drives", "meas", Kind::Drive, &Settings::measDir, 0, 0, "meas", nullptr,
     "Drive \"meas:\", the first internal logging drive."},
    {"drives", "meas2", Kind::Drive, &Settings::meas2Dir, 0, 0, "meas2", nullptr,
     "Drive \"meas2:\", the second internal logging drive."},
    {"drives", "usb_meas", Kind::Drive, &Settings::usbMeasDir, 0, 0, "usb_meas", nullptr,
     "Drive \"usb_meas:\", the USB drive that finished files are copied to."},
    {"serial", "tyCo0", Kind::Path, &Settings::tyCo0, 0, 0, nullptr, "none",
     "Host path behind \"/tyCo/0\" (telemetry), e.g. a pseudo-terminal."},
    {"serial", "tyCo1", Kind::Path, &Settings::tyCo1, 0, 0, nullptr, "none",
     "Host path behind \"/tyCo/1\" (GPS receiver, NMEA 0183), e.g. a pseudo-terminal."},
    {"can", "bus", Kind::Choice, &Settings::canUdp, 0, 0, "local", nullptr,
     "local: frames only between the unit and its tests; udp: python-can's udp_multicast bus, shared with "
     "other units and tools (python3 -m can.logger -i udp_multicast -c GROUP).",
     {"local", "udp"}},
    {"can", "can0_group", Kind::Ipv4, &Settings::canGroup0, 0, 0, "239.74.163.2", nullptr,
     "Multicast group of CAN controller 0 on the udp bus."},
    {"can", "can1_group", Kind::Ipv4, &Settings::canGroup1, 0, 0, "239.74.163.3", nullptr,
     "Multicast group of CAN controller 1 on the udp bus."},
    {"can", "port", Kind::Number, &Settings::canPort, 1, 65535, "43113", nullptr,
     "UDP port of both groups on the udp bus."},
    {"can", "pcap", Kind::Path, &Settings::canPcap, 0, 0, nullptr, "none",
     "Every frame sent and received as a pcap file (SocketCAN link type), e.g. for tshark."},
    {"platform", "time", Kind::Choice, &Settings::stepped, 0, 0, "realtime", nullptr,
     "realtime: the 1 ms tick follows the host clock; stepped: it waits for \"step N\" on vyn.ctl.",
     {"realtime", "stepped"}},
    {"platform", "calendar_start", Kind::Number, &Settings::calendarStart, 0, 4102444799ull, nullptr,
     "the host's time at start", "Calendar time at start, in seconds since 1970 (the calendar ends with 2099)."},
    {"platform", "watchdog", Kind::Choice, &Settings::watchdogExit, 0, 0, "log", nullptr,
     "Starved or unfed application watchdog: log writes a line; exit also ends the process (code 70) as a reset.",
     {"log", "exit"}},
    {"platform", "watchdog_timeout_ms", Kind::Number, &Settings::watchdogTimeoutMs, 1, 3600000, "1000", nullptr,
     "Time-out of the application watchdog once it has been fed, in milliseconds."},
    {"platform", "realtime_priorities", Kind::Number, &Settings::realtimePriorities, 0, 1, "0", nullptr,
     "1 runs the tasks in real time under the host's SCHED_FIFO with their priorities (needs root or "
     "CAP_SYS_NICE; refused: one log line, default scheduling on one CPU). Stepped time ignores it."},
    {"platform", "snapshot", Kind::Path, &Settings::snapshot, 0, 0, nullptr, "none",
     "The display as a PNG file after each new frame, where the viewer vyn_fbview cannot run (no X)."},
    {"platform", "snapshot_rate", Kind::Number, &Settings::snapshotRate, 1, 100, "2", nullptr,
     "Most snapshots written per second."},
    {"platform", "missing_devices", Kind::AddressList, &Settings::missingDevices, 0, UINT32_MAX, nullptr,
     "none", "Board devices missing from this unit (e.g. 0xE000A000, the GPIO controller): their init fails."},
    {"board", "analog_stimulus", Kind::Stimuli, &Settings::analogStimulus, 0, 0, nullptr, "none",
     "Analog-input sources: a comma list of CHANNEL (0 to 31) and const V, sine OFFSET AMPLITUDE PERIOD_MS, "
     "square|triangle LOW HIGH PERIOD_MS or csv FILE (\"ms,volts\" rows)."},
};
// clang-format on

// What a key takes, as its errors and the example say it.
std::string accepted(const Key& k) {
    const std::string range = std::to_string(k.min) + " to " + std::to_string(k.max);
    switch (k.kind) {
    case Kind::Number:
        return k.min == 0 && k.max == 1 ? "0 or 1" : "a number from " + range;
    case Kind::Ipv4:
        return "an IPv4 address (a.b.c.d)";
    case Kind::Mask:
        return "a network mask (a.b.c.d, contiguous leading ones)";
    case Kind::Dir:
        return "a directory, at most " + std::to_string(k.max) + " characters once made absolute";
    case Kind::Drive:
        return "a directory other than the host's root";
    case Kind::Path:
        return "a file path";
    case Kind::Choice:
        return std::string("'") + k.words[0] + "' or '" + k.words[1] + "'";
    case Kind::PidList:
        return "a comma list of up to " + std::to_string(MAX_PIDS) + " PIDs from " + range;
    case Kind::AddressList:
        return "a comma list of 0x-hexadecimal addresses";
    case Kind::Stimuli:
        return "a comma list of analog stimuli";
    }
    return "";
}

Settings& current() {
    static Settings* s = new Settings; // read by detached tasks until the process ends
    return *s;
}

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// Decimal, or hexadecimal with "0x"; no sign, no octal guesswork.
bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
    std::string s = trim(text);
    int base = 10;
    size_t i = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        int d;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (static_cast<uint64_t>(d) > max ||
            v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

bool parseDottedQuad(const std::string& text, uint32_t* out) {
    std::string s = trim(text);
    uint32_t v = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        size_t end = part < 3 ? s.find('.', pos) : s.size();
        if (end == std::string::npos) return false;
        std::string octet = s.substr(pos, end - pos);
        if (octet.empty() || octet.size() > 3 || octet.find_first_not_of("0123456789") != std::string::npos)
            return false;
        unsigned n = static_cast<unsigned>(std::stoul(octet));
        if (n > 255) return false;
        v = (v << 8) | n;
        pos = end + 1;
    }
    *out = v;
    return true;
}

// The comma-separated items of a list, each a number from min to max; false on any bad item.
template <typename T> bool parseList(const std::string& value, const Key& k, bool hex, std::vector<T>* out) {
    std::vector<T> items;
    size_t pos = 0;
    for (;;) {
        size_t comma = value.find(',', pos);
        std::string item =
            trim(value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        uint64_t v;
        if ((hex && (item.size() < 3 || item.compare(0, 2, "0x") != 0)) || !parseUnsigned(item, k.max, &v) ||
            v < k.min || (k.kind == Kind::PidList && items.size() == MAX_PIDS))
            return false;
        items.push_back(static_cast<T>(v));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    *out = items;
    return true;
}

std::string resolvePath(const std::string& unitDir, const std::string& value) {
    std::filesystem::path p(value);
    if (p.is_relative()) p = std::filesystem::path(unitDir) / p;
    std::string out = p.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

// Sets the key's field from `value`; false when the value is not what the key takes.
bool apply(const Key& k, const std::string& value, const std::string& unitDir, Settings* s) {
    uint64_t n = 0;
    uint32_t quad = 0;
    switch (k.kind) {
    case Kind::Number:
        if (!parseUnsigned(value, k.max, &n) || n < k.min) return false;
        break;
    case Kind::Ipv4:
        if (!parseDottedQuad(value, &quad)) return false;
        n = quad;
        break;
    case Kind::Mask:
        if (!parseDottedQuad(value, &quad) || (quad & (~quad >> 1))) return false;
        n = quad;
        break;
    case Kind::Choice:
        if (value != k.words[0] && value != k.words[1]) return false;
        n = value == k.words[1];
        break;
    case Kind::Dir:
    case Kind::Drive:
    case Kind::Path: {
        if (value.empty()) return false;
        const std::string path = resolvePath(unitDir, value);
        if (k.kind == Kind::Drive && path == "/") return false;
        s->*std::get<std::string Settings::*>(k.field) = path;
        return true;
    }
    case Kind::PidList:
        return parseList(value, k, false, &(s->*std::get<std::vector<uint8_t> Settings::*>(k.field)));
    case Kind::AddressList:
        return parseList(value, k, true, &(s->*std::get<std::vector<uintptr_t> Settings::*>(k.field)));
    case Kind::Stimuli: {
        std::vector<std::pair<int, hwsim::Stimulus>> list;
        std::string why;
        if (!hwsim::parseStimulusList(value, unitDir, &list, &why)) return false;
        s->*std::get<std::string Settings::*>(k.field) = value;
        return true;
    }
    }
    std::visit(
        [&](auto member) {
            using T = std::remove_reference_t<decltype(s->*member)>;
            if constexpr (std::is_arithmetic_v<T>) s->*member = static_cast<T>(n);
        },
        k.field);
    return true;
}

// The key's directory when it is longer than the key allows, else empty.
std::string overLong(const Key& k, const Settings& s) {
    if (k.kind != Kind::Dir || !k.max) return "";
    const std::string& path = s.*std::get<std::string Settings::*>(k.field);
    return path.size() > k.max ? path : "";
}

struct Parse {
    Settings s;
    std::string file;
    int line = 0;
    int errorLine = 0;
    std::string error;
    std::vector<std::string>* warnings;
    std::set<const Key*> seen;
    std::set<std::string> warnedSections;

    void fail(const std::string& what) {
        if (!errorLine) {
            errorLine = line;
            error = file + ":" + std::to_string(line) + ": " + what;
        }
    }
    void warn(const std::string& what) {
        std::string w = file + ":" + std::to_string(line) + ": warning: " + what;
        if (warnings)
            warnings->push_back(w);
        else
            std::fprintf(stderr, "%s\n", w.c_str());
    }
};

struct Reader {
    FILE* f;
    Parse* p;
};

// Hands inih one whole line at a time, so that the line number is known in the handler.
char* readLine(char* buf, int size, void* stream) {
    auto* r = static_cast<Reader*>(stream);
    char* line = nullptr;
    size_t cap = 0;
    ssize_t n = getline(&line, &cap, r->f);
    if (n < 0) {
        free(line);
        return nullptr;
    }
    r->p->line++;
    size_t len = static_cast<size_t>(n);
    while (len && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        --len;
    // inih sees a C string: a NUL would cut the line short, or hide it whole
    if (std::memchr(line, '\0', len)) r->p->fail("NUL byte in the line");
    if (len + 1 >= static_cast<size_t>(size)) {
        r->p->fail("line longer than " + std::to_string(size - 2) + " characters");
        len = static_cast<size_t>(size) - 2;
    }
    std::memcpy(buf, line, len);
    buf[len] = '\n';
    buf[len + 1] = '\0';
    free(line);
    return buf;
}

const Key* findKey(const std::string& section, const std::string& name) {
    for (const Key& k : KEYS)
        if (section == k.section && name == lower(k.name)) return &k;
    return nullptr;
}

bool knownSection(const std::string& section) {
    for (const Key& k : KEYS)
        if (section == k.section) return true;
    return false;
}

int onValue(void* user, const char* sectionRaw, const char* nameRaw, const char* valueRaw) {
    auto* p = static_cast<Parse*>(user);
    const std::string section = lower(sectionRaw);
    const std::string value = trim(valueRaw);
    if (!knownSection(section)) {
        if (section.empty())
            p->warn(std::string("key '") + nameRaw + "' outside a section, ignored");
        else if (p->warnedSections.insert(section).second)
            p->warn(std::string("unknown section [") + sectionRaw + "], ignored");
        return 1;
    }
    const Key* k = findKey(section, lower(nameRaw));
    if (!k) {
        p->warn(std::string("unknown key '") + nameRaw + "' in [" + sectionRaw + "], ignored");
        return 1;
    }
    const std::string where = std::string("[") + k->section + "] " + k->name + ": ";
    if (!p->seen.insert(k).second) {
        p->fail(where + "given more than once");
        return 0;
    }
    if (!apply(*k, value, p->s.unitDir, &p->s)) {
        p->fail(where + "'" + value + "' is not " + accepted(*k));
        return 0;
    }
    if (const std::string path = overLong(*k, p->s); !path.empty()) {
        p->fail(where + "'" + path + "' is longer than " + std::to_string(k->max) + " characters");
        return 0;
    }
    return 1;
}

bool readFile(Parse& p, std::string* error) {
    std::string why;
    const int fd = fsutil::openRegular(p.file, &why);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        if (error) *error = why;
        return false;
    }
    FILE* f = fdopen(fd, "r");
    if (!f) {
        close(fd);
        if (error) *error = p.file + ": " + std::strerror(errno);
        return false;
    }
    Reader r{f, &p};
    int rc = ini_parse_stream(readLine, &r, onValue, &p);
    int readErrno = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (readErrno) {
        if (error) *error = p.file + ": " + std::strerror(readErrno);
        return false;
    }
    if (!p.errorLine && rc > 0) {
        p.line = rc;
        p.fail("syntax error: expected '[section]' or 'key = value'");
    } else if (!p.errorLine && rc < 0) {
        p.error = p.file + ": out of memory while reading";
        p.errorLine = -1;
    }
    if (p.errorLine && error) *error = p.error;
    return !p.errorLine;
}

} // namespace

Settings::Settings() {
    for (const Key& k : KEYS)
        if (k.def && k.kind != Kind::Dir && k.kind != Kind::Drive) apply(k, k.def, "", this);
}

bool loadSettings(const std::string& unitDirIn, Settings* out, std::string* error,
                  std::vector<std::string>* warnings) {
    Parse p;
    p.warnings = warnings;
    p.s.unitDir = std::filesystem::absolute(unitDirIn).lexically_normal().string();
    while (p.s.unitDir.size() > 1 && p.s.unitDir.back() == '/')
        p.s.unitDir.pop_back();
    p.file = p.s.unitDir + "/vyn.ini";
    p.s.file = p.file;
    if (!readFile(p, error)) return false;

    for (const Key& k : KEYS) {
        if (p.seen.count(&k) || !k.def) continue;
        apply(k, k.def, p.s.unitDir, &p.s);
        // the default follows the unit directory: that is what is too long
        if (!overLong(k, p.s).empty()) {
            if (error)
                *error = p.file + ": the unit directory '" + p.s.unitDir + "' is too long: the default of [" +
                         k.section + "] " + k.name + " would be longer than " + std::to_string(k.max) +
                         " characters; set " + k.name;
            return false;
        }
    }
    if (!p.seen.count(findKey("unit", "all_pids"))) p.s.allPids = {p.s.pid};
    if (!p.seen.count(findKey("platform", "calendar_start")))
        p.s.calendarStart = static_cast<int64_t>(std::time(nullptr));
    *out = p.s;
    return true;
}

std::vector<KeyDoc> keyDocs() {
    std::vector<KeyDoc> docs;
    for (const Key& k : KEYS)
        docs.push_back({k.section, k.name, k.help,
                        "Takes " + accepted(k) + "; default: " + (k.defNote ? k.defNote : k.def)});
    return docs;
}

const Settings& settings() {
    return current();
}

void setSettings(const Settings& s) {
    current() = s;
}

} // namespace platform
