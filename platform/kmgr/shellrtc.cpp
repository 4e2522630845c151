// The manager's shell command table (calls 2690, 2691) and real-time clock (2703).
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/settings/settings.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace kmgr {

namespace {

constexpr size_t SHELL_COMMANDS_MAX = 64; // per process

struct Table {
    std::mutex m;
    std::map<std::pair<unsigned, std::string>, uint32_t> shell;
    std::string rtc;
};

Table& T() {
    static Table* t = new Table;
    return *t;
}

// A name from the application: at most KCALL_SHELL_NAME_MAX characters, printable, no blank.
bool readName(intptr_t address, std::string* out) {
    const char* p = reinterpret_cast<const char*>(address);
    if (!p) return false;
    const size_t n = strnlen(p, KCALL_SHELL_NAME_MAX + 1);
    if (n == 0 || n > KCALL_SHELL_NAME_MAX) return false;
    for (size_t i = 0; i < n; ++i)
        if (p[i] <= ' ' || p[i] > '~') return false;
    out->assign(p, n);
    return true;
}

intptr_t shellAdd(const intptr_t* a) {
    std::string name;
    if (!readName(a[1], &name) || a[2] <= 0 || a[2] > UINT32_MAX) return 0;
    Table& t = T();
    std::lock_guard<std::mutex> g(t.m);
    size_t mine = 0;
    for (const auto& e : t.shell)
        mine += e.first.first == static_cast<unsigned>(a[0]);
    const auto key = std::make_pair(static_cast<unsigned>(a[0]), name);
    if (!t.shell.count(key) && mine >= SHELL_COMMANDS_MAX) return 0;
    t.shell[key] = static_cast<uint32_t>(a[2]);
    return 1;
}

intptr_t shellRemove(const intptr_t* a) {
    std::string name;
    if (!readName(a[1], &name)) return 0;
    Table& t = T();
    std::lock_guard<std::mutex> g(t.m);
    return t.shell.erase({static_cast<unsigned>(a[0]), name}) ? 1 : 0;
}

bool validDate(const uint16_t* d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (d[0] < 1970 || d[0] > 2099 || d[1] < 1 || d[1] > 12 || d[3] > 23 || d[4] > 59 || d[5] > 59 ||
        d[6] > 999)
        return false;
    const bool leap = d[0] % 4 == 0; // 1970 to 2099: 2000 is the only century, and it leaps
    return d[2] >= 1 && d[2] <= days[d[1] - 1] + (d[1] == 2 && leap ? 1 : 0);
}

// The clock is the unit's calendar; its value survives in the non-volatile directory.
intptr_t rtcWrite(const intptr_t* a) {
    const auto* d = reinterpret_cast<const uint16_t*>(a[1]);
    if (!d || !validDate(d)) return 0;
    tm t{};
    t.tm_year = d[0] - 1900;
    t.tm_mon = d[1] - 1;
    t.tm_mday = d[2];
    t.tm_hour = d[3];
    t.tm_min = d[4];
    t.tm_sec = d[5];
    const timespec ts{timegm(&t), static_cast<long>(d[6]) * 1000000};
    char text[48]; // room for any u16 fields: gcc checks the widths
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", d[0], d[1], d[2], d[3], d[4], d[5],
                  d[6]);
    const std::string path = platform::settings().nvramDir + "/rtc";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return 0;
    const bool written = std::fprintf(f, "%s\n", text) > 0;
    if (std::fclose(f) != 0 || !written || osClockSettime(CLOCK_REALTIME, &ts) != 0) return 0;
    Table& tb = T();
    std::lock_guard<std::mutex> g(tb.m);
    tb.rtc = text;
    return 1;
}

} // namespace

void installShellAndRtc() {
    {
        Table& t = T();
        std::lock_guard<std::mutex> g(t.m);
        t.shell.clear();
        t.rtc.clear();
    }
    setHandler(KCALL_SHELL_ADD, shellAdd);
    setHandler(KCALL_SHELL_REMOVE, shellRemove);
    setHandler(KCALL_RTC_WRITE, rtcWrite);
}

bool shellCommandId(unsigned index, const std::string& name, uint32_t* id) {
    Table& t = T();
    std::lock_guard<std::mutex> g(t.m);
    auto it = t.shell.find({index, name});
    if (it == t.shell.end()) return false;
    *id = it->second;
    return true;
}

std::string rtcText() {
    Table& t = T();
    std::lock_guard<std::mutex> g(t.m);
    return t.rtc;
}

} // namespace kmgr
