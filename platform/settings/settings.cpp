#include "platform/settings/settings.h"

#include <ini.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <cstdlib>
#include <set>
#include <sys/types.h>

namespace platform {

namespace {

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

struct Parse {
    Settings s;
    std::string file;
    int line = 0;
    bool lineTooLong = false;
    int errorLine = 0;
    std::string error;
    std::vector<std::string>* warnings;
    std::set<std::string> seen;
    std::set<std::string> warnedSections;
    bool homeSet = false, nvramSet = false, pidsSet = false, calendarSet = false;

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

std::string resolvePath(const std::string& unitDir, const std::string& value) {
    std::filesystem::path p(value);
    if (p.is_relative()) p = std::filesystem::path(unitDir) / p;
    std::string out = p.lexically_normal().string();
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

int onValue(void* user, const char* sectionRaw, const char* nameRaw, const char* valueRaw) {
    auto* p = static_cast<Parse*>(user);
    Settings& s = p->s;
    const std::string section = lower(sectionRaw);
    const std::string name = lower(nameRaw);
    const std::string value = trim(valueRaw);
    std::string where = "[";
    where.append(sectionRaw).append("] ").append(nameRaw);
    auto bad = [&](const std::string& expected) {
        p->fail(where + ": '" + value + "' is not " + expected);
        return 0;
    };
    auto number = [&](uint64_t max, uint64_t* v) { return parseUnsigned(value, max, v); };
    auto path = [&](std::string* dst) {
        if (value.empty()) return bad("a directory");
        *dst = resolvePath(s.unitDir, value);
        return 1;
    };

    static const std::set<std::string> known = {"unit.pid",
                                                "unit.core_affinity",
                                                "unit.base_boot_counter",
                                                "unit.ipv4",
                                                "unit.mask",
                                                "unit.xcp_port",
                                                "unit.bc2_port_offset",
                                                "unit.ccp_enable",
                                                "unit.home_dir",
                                                "unit.nvram_dir",
                                                "unit.all_pids",
                                                "drives.cfg",
                                                "drives.c",
                                                "drives.meas",
                                                "drives.meas2",
                                                "drives.usb_meas",
                                                "serial.tyco0",
                                                "serial.tyco1",
                                                "platform.time",
                                                "platform.calendar_start",
                                                "platform.watchdog",
                                                "platform.watchdog_timeout_ms",
                                                "platform.realtime_priorities",
                                                "platform.missing_devices",
                                                "platform.snapshot",
                                                "platform.snapshot_rate"};
    static const std::set<std::string> sections = {"unit", "drives", "serial", "platform"};

    if (!sections.count(section)) {
        if (section.empty())
            p->warn(std::string("key '") + nameRaw + "' outside a section, ignored");
        else if (p->warnedSections.insert(section).second)
            p->warn(std::string("unknown section [") + sectionRaw + "], ignored");
        return 1;
    }
    const std::string key = section + "." + name;
    if (!known.count(key)) {
        p->warn(std::string("unknown key '") + nameRaw + "' in [" + sectionRaw + "], ignored");
        return 1;
    }
    if (!p->seen.insert(key).second) {
        p->fail(where + ": given more than once");
        return 0;
    }

    uint64_t v = 0;
    if (key == "unit.pid") {
        if (!number(63, &v)) return bad("a PID from 0 to 63");
        s.pid = static_cast<uint8_t>(v);
    } else if (key == "unit.core_affinity") {
        if (!number(255, &v)) return bad("a number from 0 to 255");
        s.coreAffinity = static_cast<uint8_t>(v);
    } else if (key == "unit.base_boot_counter") {
        if (!number(UINT32_MAX, &v)) return bad("a number from 0 to 4294967295");
        s.baseBootCounter = static_cast<uint32_t>(v);
    } else if (key == "unit.ipv4") {
        if (!parseDottedQuad(value, &s.ipv4)) return bad("an IPv4 address (a.b.c.d)");
    } else if (key == "unit.mask") {
        uint32_t m;
        if (!parseDottedQuad(value, &m)) return bad("a network mask (a.b.c.d)");
        if (m & (~m >> 1)) return bad("a network mask with contiguous leading ones");
        s.mask = m;
    } else if (key == "unit.xcp_port") {
        if (!number(65535, &v) || v == 0) return bad("a port from 1 to 65535");
        s.xcpPort = static_cast<uint16_t>(v);
    } else if (key == "unit.bc2_port_offset") {
        if (!number(65535, &v)) return bad("a number from 0 to 65535");
        s.bc2PortOffset = static_cast<uint16_t>(v);
    } else if (key == "unit.ccp_enable") {
        if (!number(1, &v)) return bad("0 or 1");
        s.ccpEnable = static_cast<uint8_t>(v);
    } else if (key == "unit.home_dir") {
        p->homeSet = true;
        return path(&s.homeDir);
    } else if (key == "unit.nvram_dir") {
        p->nvramSet = true;
        return path(&s.nvramDir);
    } else if (key == "unit.all_pids") {
        std::vector<uint8_t> pids;
        size_t pos = 0;
        for (;;) {
            size_t comma = value.find(',', pos);
            std::string item =
                value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            if (!parseUnsigned(item, 63, &v) || v == 0 || pids.size() == 64)
                return bad("a comma list of up to 64 PIDs from 1 to 63");
            pids.push_back(static_cast<uint8_t>(v));
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        s.allPids = pids;
        p->pidsSet = true;
    } else if (section == "drives") {
        std::string* dst = name == "cfg"     ? &s.cfgDir
                           : name == "c"     ? &s.cDir
                           : name == "meas"  ? &s.measDir
                           : name == "meas2" ? &s.meas2Dir
                                             : &s.usbMeasDir;
        return path(dst);
    } else if (section == "serial") {
        std::string* dst = name == "tyco0" ? &s.tyCo0 : &s.tyCo1;
        *dst = value.empty() ? "" : resolvePath(s.unitDir, value);
    } else if (key == "platform.time") {
        if (value != "realtime" && value != "stepped") return bad("'realtime' or 'stepped'");
        s.stepped = value == "stepped";
    } else if (key == "platform.calendar_start") {
        // the application's calendar covers the years 1970 to 2099
        if (!number(4102444799ull, &v)) return bad("seconds since 1970 up to the end of 2099");
        s.calendarStart = static_cast<int64_t>(v);
        p->calendarSet = true;
    } else if (key == "platform.watchdog") {
        if (value != "log" && value != "exit") return bad("'log' or 'exit'");
        s.watchdogExit = value == "exit";
    } else if (key == "platform.watchdog_timeout_ms") {
        if (!number(3600000, &v) || v == 0) return bad("a time-out from 1 to 3600000 ms");
        s.watchdogTimeoutMs = static_cast<uint32_t>(v);
    } else if (key == "platform.missing_devices") {
        std::vector<uintptr_t> bases;
        size_t pos = 0;
        while (pos <= value.size() && !value.empty()) {
            size_t comma = value.find(',', pos);
            std::string item =
                trim(value.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
            if (item.size() < 3 || item.compare(0, 2, "0x") != 0 || !parseUnsigned(item, UINT32_MAX, &v))
                return bad("a comma list of hexadecimal device addresses");
            bases.push_back(static_cast<uintptr_t>(v));
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        s.missingDevices = bases;
    } else if (key == "platform.snapshot") {
        if (value.empty()) return bad("a file path");
        s.snapshot = resolvePath(s.unitDir, value);
    } else if (key == "platform.snapshot_rate") {
        if (!number(100, &v) || v == 0) return bad("a rate from 1 to 100 per second");
        s.snapshotRate = static_cast<uint32_t>(v);
    } else if (key == "platform.realtime_priorities") {
        if (!number(1, &v)) return bad("0 or 1");
        s.realtimePriorities = v == 1;
    }
    return 1;
}

} // namespace

bool loadSettings(const std::string& unitDirIn, Settings* out, std::string* error,
                  std::vector<std::string>* warnings) {
    Parse p;
    p.warnings = warnings;
    p.s.unitDir = std::filesystem::absolute(unitDirIn).lexically_normal().string();
    while (p.s.unitDir.size() > 1 && p.s.unitDir.back() == '/')
        p.s.unitDir.pop_back();
    p.file = p.s.unitDir + "/vyn.ini";
    p.s.file = p.file;
    const std::string& dir = p.s.unitDir;
    p.s.cfgDir = dir + "/cfg";
    p.s.cDir = dir + "/c";
    p.s.measDir = dir + "/meas";
    p.s.meas2Dir = dir + "/meas2";
    p.s.usbMeasDir = dir + "/usb_meas";

    FILE* f = std::fopen(p.file.c_str(), "r");
    if (f) {
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
        if (p.errorLine) {
            if (error) *error = p.error;
            return false;
        }
    } else if (errno != ENOENT) {
        if (error) *error = p.file + ": " + std::strerror(errno);
        return false;
    }

    if (!p.homeSet) p.s.homeDir = dir;
    if (!p.nvramSet) p.s.nvramDir = dir + "/nvram";
    if (!p.pidsSet) p.s.allPids = {p.s.pid};
    if (!p.calendarSet) p.s.calendarStart = static_cast<int64_t>(std::time(nullptr));
    if (p.s.homeDir.size() > HOME_DIR_MAX) {
        if (error)
            *error = p.file + ": [unit] home_dir: '" + p.s.homeDir + "' is longer than " +
                     std::to_string(HOME_DIR_MAX) + " characters";
        return false;
    }
    if (p.s.nvramDir.size() > NVRAM_DIR_MAX) {
        if (error)
            *error = p.file + ": [unit] nvram_dir: '" + p.s.nvramDir + "' is longer than " +
                     std::to_string(NVRAM_DIR_MAX) + " characters";
        return false;
    }
    *out = p.s;
    return true;
}

const Settings& settings() {
    return current();
}

void setSettings(const Settings& s) {
    current() = s;
}

} // namespace platform
