#include "platform/devdata/devdata.h"

#include "platform/fsutil/fsutil.h"
#include "platform/kmgr/kmgr_sim.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace devdata {

namespace {

using Bytes = std::vector<uint8_t>;

enum class Kind { Mac, U32, U8, Float, Text, Hex8 };

struct ItemDef {
    int item; // -1: the ROM id, which is no device-data item
    const char* key;
    Kind kind;
    size_t size;
};

constexpr int ROMID = -1;

constexpr ItemDef ITEMS[] = {
    {0, "mac", Kind::Mac, 6},
    {1, "life_time", Kind::U32, 4},
    {2, "max_tecu", Kind::Float, 4},
    {3, "part_number", Kind::Text, DEVDATA_TEXT_SIZE},
    {4, "serial_number", Kind::Text, DEVDATA_TEXT_SIZE},
    {5, "revision_id", Kind::U32, 4},
    {6, "rev_dates", Kind::Hex8, 8},
    {8, "crash_counter", Kind::U32, 4},
    {9, "brick_counter", Kind::U8, 1},
    {10, "max_tdisp", Kind::Float, 4},
    {ROMID, "rom_id", Kind::Hex8, DEVDATA_ROMID_SIZE},
};

// The device-data item `n` (never the ROM id), or null.
const ItemDef* itemDef(intptr_t n) {
    for (const auto& d : ITEMS)
        if (d.item >= 0 && d.item == n) return &d;
    return nullptr;
}

struct State {
    std::mutex m;
    std::string dir, path;
    bool ok = true;
    bool writable = true;
    std::map<int, Bytes> items; // programmed items by number (ROMID for the ROM id)
};

State& state() {
    static State* s = new State; // handlers may run until the process ends
    return *s;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool printable(const std::string& t) {
    for (unsigned char c : t)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

bool parseHexBytes(const std::string& s, size_t n, char sep, Bytes* out) {
    const size_t stride = sep ? 3 : 2;
    if (s.size() != n * stride - (sep ? 1 : 0)) return false;
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        const std::string pair = s.substr(i * stride, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return false;
        if (sep && i + 1 < n && s[i * stride + 2] != sep) return false;
        b[i] = static_cast<uint8_t>(std::stoul(pair, nullptr, 16));
    }
    *out = b;
    return true;
}

bool parseUnsigned(const std::string& s, uint64_t max, uint64_t* out) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    const uint64_t v = std::stoull(s);
    if (v > max) return false;
    *out = v;
    return true;
}

// The value text of one item as stored bytes; an error text when it is malformed.
std::optional<std::string> parseValue(const ItemDef& d, const std::string& v, Bytes* out) {
    switch (d.kind) {
    case Kind::Mac:
        if (!parseHexBytes(v, 6, ':', out)) return "expected six hexadecimal pairs separated by ':'";
        return std::nullopt;
    case Kind::Hex8:
        if (!parseHexBytes(v, 8, 0, out)) return "expected 16 hexadecimal digits";
        return std::nullopt;
    case Kind::U32:
    case Kind::U8: {
        uint64_t n;
        const uint64_t max = d.kind == Kind::U8 ? 0xFF : 0xFFFFFFFF;
        if (!parseUnsigned(v, max, &n)) return "expected a decimal number from 0 to " + std::to_string(max);
        out->assign(d.size, 0);
        if (d.kind == Kind::U8) {
            (*out)[0] = static_cast<uint8_t>(n);
        } else {
            const uint32_t w = static_cast<uint32_t>(n);
            std::memcpy(out->data(), &w, 4);
        }
        return std::nullopt;
    }
    case Kind::Float: {
        char* end = nullptr;
        errno = 0;
        const float f = v.empty() ? 0.0f : std::strtof(v.c_str(), &end);
        if (v.empty() || *end != '\0' || errno == ERANGE) return "expected a number";
        out->assign(4, 0);
        std::memcpy(out->data(), &f, 4);
        return std::nullopt;
    }
    case Kind::Text: {
        if (v.size() < 2 || v.front() != '"' || v.back() != '"') return "expected a text in double quotes";
        const std::string t = v.substr(1, v.size() - 2);
        if (t.size() > DEVDATA_TEXT_SIZE || !printable(t))
            return "expected at most " + std::to_string(DEVDATA_TEXT_SIZE) + " printable characters";
        out->assign(DEVDATA_TEXT_SIZE, 0);
        std::memcpy(out->data(), t.data(), t.size());
        return std::nullopt;
    }
    }
    return "unknown kind";
}

std::string hexOf(const Bytes& b, const char* sep) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < b.size(); ++i) {
        if (i && sep) s += sep;
        std::snprintf(two, sizeof two, "%02x", b[i]);
        s += two;
    }
    return s;
}

std::string formatValue(const ItemDef& d, const Bytes& b) {
    switch (d.kind) {
    case Kind::Mac:
        return hexOf(b, ":");
    case Kind::Hex8:
        return hexOf(b, nullptr);
    case Kind::U8:
        return std::to_string(b[0]);
    case Kind::U32: {
        uint32_t w;
        std::memcpy(&w, b.data(), 4);
        return std::to_string(w);
    }
    case Kind::Float: {
        float f;
        std::memcpy(&f, b.data(), 4);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(f)); // 9 digits give the float back
        return buf;
    }
    case Kind::Text: {
        // Appended, not concatenated: gcc 12 warns about the temporaries of "x" + s.
        std::string text(1, '"');
        text.append(reinterpret_cast<const char*>(b.data()),
                    strnlen(reinterpret_cast<const char*>(b.data()), b.size()));
        text += '"';
        return text;
    }
    }
    return "";
}

bool parseFile(const std::string& path, std::map<int, Bytes>* items, std::string* error) {
    const int fd = fsutil::openRegular(path, error);
    if (fd < 0) return false;
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
        else if (errno != EINTR)
            break;
    }
    close(fd);
    if (n < 0) {
        *error = path + ": read error";
        return false;
    }
    std::istringstream in(text);
    std::string line;
    for (int no = 1; std::getline(in, line); ++no) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        const size_t eq = t.find('=');
        auto bad = [&](const std::string& why) {
            *error = path + " line " + std::to_string(no) + ": " + why;
            return false;
        };
        if (eq == std::string::npos) return bad("expected 'key = value'");
        const std::string key = trim(t.substr(0, eq));
        const ItemDef* d = nullptr;
        for (const auto& def : ITEMS)
            if (key == def.key) d = &def;
        if (!d) return bad("unknown key '" + key + "'");
        if (items->count(d->item)) return bad("'" + key + "' given twice");
        Bytes b;
        if (auto why = parseValue(*d, trim(t.substr(eq + 1)), &b)) return bad(key + ": " + *why);
        (*items)[d->item] = b;
    }
    return true;
}

bool writeFile(const State& s, const std::map<int, Bytes>& items) {
    std::string text = "# Device data of the board, kept by the kernel-side manager.\n";
    for (const auto& d : ITEMS) {
        auto it = items.find(d.item);
        if (it != items.end()) text += std::string(d.key) + " = " + formatValue(d, it->second) + "\n";
    }
    const std::string tmp = s.path + ".new";
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok) ok = rename(tmp.c_str(), s.path.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    const int d = open(s.dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (d >= 0) {
        fsync(d);
        close(d);
    }
    return true;
}

bool codeOk(const intptr_t* a) {
    return static_cast<uint32_t>(a[1]) == KCALL_DEVDATA_IF;
}

// The one buffer of a get or set request, or null when the request is malformed.
uint8_t* requestBuffer(const intptr_t* a) {
    if (a[3] != 0 || a[4] != 1 || a[5] == 0) return nullptr;
    return static_cast<uint8_t*>(reinterpret_cast<void* const*>(a[5])[0]);
}

intptr_t callInit(const intptr_t* a) {
    return codeOk(a) && a[2] == 0 ? 0 : -1;
}

intptr_t callControl(const intptr_t* a) {
    if (!codeOk(a)) return -1;
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    switch (a[2]) {
    case 0:
        if (!a[3]) return -1;
        *reinterpret_cast<uint8_t*>(a[3]) = s.ok ? 1 : 0;
        return 0;
    case 1:
        s.writable = true;
        return 0;
    case 2:
        s.writable = false;
        return 0;
    }
    return -1;
}

intptr_t callGet(const intptr_t* a) {
    const ItemDef* d = itemDef(a[2]);
    uint8_t* buf = requestBuffer(a);
    if (!codeOk(a) || !d || !buf) return -1;
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    auto it = s.items.find(d->item);
    if (!s.ok || it == s.items.end()) return -1;
    std::memcpy(buf, it->second.data(), d->size);
    return 0;
}

intptr_t callSet(const intptr_t* a) {
    const ItemDef* d = itemDef(a[2]);
    const uint8_t* buf = requestBuffer(a);
    if (!codeOk(a) || !d || !buf) return -1;
    Bytes b(buf, buf + d->size);
    if (d->kind == Kind::Text) {
        // Up to the first NUL; what follows it is no part of the text.
        const size_t n = strnlen(reinterpret_cast<const char*>(b.data()), b.size());
        if (!printable(std::string(b.begin(), b.begin() + static_cast<long>(n)))) return -1;
        std::fill(b.begin() + static_cast<long>(n), b.end(), 0);
    }
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.ok || !s.writable) return -1;
    std::map<int, Bytes> next = s.items;
    next[d->item] = b;
    if (!writeFile(s, next)) return -1;
    s.items.swap(next);
    return 0;
}

intptr_t callRomId(const intptr_t* a) {
    auto* buf = reinterpret_cast<uint8_t*>(a[0]);
    if (!buf) return -1;
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    auto it = s.items.find(ROMID);
    if (!s.ok || it == s.items.end()) return -1;
    std::memcpy(buf, it->second.data(), DEVDATA_ROMID_SIZE);
    return 0;
}

void setHandlers(bool on) {
    kmgr::setHandler(KCALL_DEVDATA_INIT, on ? kmgr::Handler(callInit) : nullptr);
    kmgr::setHandler(KCALL_DEVDATA_CONTROL, on ? kmgr::Handler(callControl) : nullptr);
    kmgr::setHandler(KCALL_DEVDATA_GET, on ? kmgr::Handler(callGet) : nullptr);
    kmgr::setHandler(KCALL_DEVDATA_SET, on ? kmgr::Handler(callSet) : nullptr);
    kmgr::setHandler(KCALL_ROMID, on ? kmgr::Handler(callRomId) : nullptr);
}

} // namespace

size_t itemSize(int item) {
    const ItemDef* d = itemDef(item);
    return d ? d->size : 0;
}

bool install(const std::string& unitDir, std::string* error) {
    State& s = state();
    bool ok = true;
    {
        std::lock_guard<std::mutex> g(s.m);
        s.dir = unitDir;
        s.path = unitDir + "/" + FILE_NAME;
        s.writable = true;
        s.items.clear();
        std::string why;
        if (access(s.path.c_str(), F_OK) == 0 && !parseFile(s.path, &s.items, &why)) {
            s.items.clear();
            ok = false;
            if (error) *error = why;
        }
        s.ok = ok;
    }
    setHandlers(true);
    return ok;
}

void uninstall() {
    setHandlers(false);
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    s.items.clear();
    s.ok = true;
    s.writable = true;
}

std::string filePath() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.m);
    return s.path;
}

} // namespace devdata
