// The telemetry measurement (m02) of the least build: its configuration comes from the section
// [telemetry] of "cfg:/telemetry.ini" in place of the logging configuration; its blocks are
// measurement lists of this unit's variables by name, set up through the gateway, each block
// one record of the telemetry block table; its enable and JSON channels are variables by name.
#include "logging/measapp/measapp_tele.h"

#include "calibration/meascalinfo/meascalinfo.h"
#include "comm/chandata/chandata.h"
#include "comm/gw/gw.h"
#include "comm/tele/tele.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/fileutil/fileutil.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr uint16_t RASTER_FAST = 3, RASTER_SLOW = 6; // 10 ms, 100 ms

struct Block {
    tele_record record;
    int32_t words[GW_LIST_MAX / 4];
    uint16_t length;
    uint32_t magic;
};

Block blocks[TELE_BLOCKS];
// The channels of the enable decision and the JSON status, by their keys.
constexpr struct {
    const char* key;
    ChanData* tele_config::*field;
} CHANNELS[] = {{"enable", &tele_config::enable},
                {"lapdist", &tele_config::lapDist},
                {"gps_lat", &tele_config::latitude},
                {"gps_long", &tele_config::longitude}};
std::unique_ptr<ChanData> channels[std::size(CHANNELS)];
tele_start_t start{};
bool configured = false, running = false;
gw_client_t* client = nullptr;

int readCb(uint32_t status, const void* entry, uintptr_t user) {
    auto* r = reinterpret_cast<tele_record*>(user);
    if (status == GW_OK && entry)
        tele_record_put(r, static_cast<const uint8_t*>(entry));
    else
        tele_record_state(r, r->setUp, 0);
    return 1;
}
int startCb(uint32_t status, const void*, uintptr_t user) {
    auto* r = reinterpret_cast<tele_record*>(user);
    tele_record_state(r, status == GW_OK, r->dataValid);
    return 1;
}
int stopCb(uint32_t, const void*, uintptr_t user) {
    auto* r = reinterpret_cast<tele_record*>(user);
    tele_record_state(r, 0, 0);
    return 1;
}

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The list words of a block: one group per variable, in the order named. False on a name that is
// no variable of 1, 2 or 4 bytes, or a block too long for one list.
bool blockList(int b, const std::string& names) {
    Block& k = blocks[b];
    uint16_t w = 0, bytes = 0;
    size_t at = 0;
    while (at <= names.size()) {
        size_t comma = names.find(',', at);
        if (comma == std::string::npos) comma = names.size();
        const std::string name = trim(names.substr(at, comma - at));
        at = comma + 1;
        if (name.empty()) continue;
        const meascalinfo_t* info = meascalinfo_getInfo(name.c_str());
        const uint32_t size = info ? getSizeofType(info->type) : 0;
        if (size != 1 && size != 2 && size != 4) {
            syslogx(LOG_ERR, "meas_app: telemetry variable %s unknown", name.c_str());
            return false;
        }
        if (w + 4u > GW_LIST_MAX / 4 || 4u + bytes + size > TELE_ENTRY_MAX) {
            syslogx(LOG_ERR, "meas_app: telemetry block %d too long", b);
            return false;
        }
        k.words[w++] = -static_cast<int32_t>(size);
        k.words[w++] = static_cast<int32_t>(info->meas_address & 0xFFFFFF);
        k.words[w++] = 0;
        bytes = static_cast<uint16_t>(bytes + size);
    }
    if (!w) return true;
    k.words[w++] = 0;
    k.length = static_cast<uint16_t>(4 * w);
    k.record = tele_record{};
    k.record.pid = AppMan_getPID();
    k.record.block = static_cast<uint8_t>(b);
    k.record.entrySize = static_cast<uint16_t>(4 + bytes);
    return true;
}

// A variable of this unit by name as a channel, its value converted as the name table says.
bool channel(size_t k, const std::string& name) {
    static const uint32_t gwType[] = {1, 0, 3, 2, 5, 4, 6}; // MCI_U8 to MCI_F32
    const meascalinfo_t* info = meascalinfo_getInfo(name.c_str());
    if (!info || info->type > MCI_F32) {
        syslogx(LOG_ERR, "meas_app: telemetry variable %s unknown", name.c_str());
        return false;
    }
    const uint32_t address = (info->meas_address & 0xFFFFFF) | uint32_t{AppMan_getPID()} << 24;
    channels[k] =
        std::make_unique<ChanData>(address, gwType[info->type], info->mask, info->factor, info->offset);
    std::snprintf(channels[k]->name, sizeof channels[k]->name, "%s", name.c_str());
    start.config.*CHANNELS[k].field = channels[k].get();
    return true;
}

bool setting(const std::string& key, const std::string& value) {
    tele_config& c = start.config;
    char* end = nullptr;
    const unsigned long n = std::strtoul(value.c_str(), &end, 0);
    const bool numeric = end && *end == 0 && !value.empty();
    if (key == "medium") {
        if (value == "serial")
            c.medium = 0;
        else if (value == "modem")
            c.medium = 1;
        else if (value == "udp")
            c.medium = 2;
        else
            return false;
        return true;
    }
    if (key == "address") {
        in_addr a{};
        if (inet_pton(AF_INET, value.c_str(), &a) != 1) return false;
        c.address = ntohl(a.s_addr);
        return true;
    }
    for (size_t k = 0; k < std::size(CHANNELS); ++k)
        if (key == CHANNELS[k].key) return channel(k, value);
    if (key == "fast") return blockList(0, value);
    if (key.size() == 5 && key.compare(0, 4, "slow") == 0 && key[4] >= '1' && key[4] <= '7')
        return blockList(key[4] - '0', value);
    if (!numeric) return false;
    if (key == "baud_rate")
        c.baudRate = static_cast<uint32_t>(n);
    else if (key == "data_rate")
        c.dataRate = static_cast<uint32_t>(n);
    else if (key == "project_code")
        c.projectCode = static_cast<uint32_t>(n);
    else if (key == "port" && n <= 0xFFFF)
        c.port = static_cast<uint16_t>(n);
    else if (key == "software_id" && n <= 0xFF)
        c.swId = static_cast<uint8_t>(n);
    else if (key == "extra_delay" && n <= 0xFF)
        c.extraDelay = static_cast<uint8_t>(n);
    else
        return false;
    return true;
}

bool load(const char* text) {
    std::string section;
    int line = 0;
    for (const char* p = text; *p;) {
        const char* e = std::strchr(p, '\n');
        const std::string raw = e ? std::string(p, e) : std::string(p);
        p = e ? e + 1 : p + raw.size();
        ++line;
        const std::string s = trim(raw);
        if (s.empty() || s[0] == ';' || s[0] == '#') continue;
        if (s[0] == '[') {
            section = s;
            continue;
        }
        if (section != "[telemetry]") continue;
        const size_t eq = s.find('=');
        if (eq == std::string::npos || !setting(trim(s.substr(0, eq)), trim(s.substr(eq + 1)))) {
            syslogx(LOG_ERR, "meas_app: cfg:/telemetry.ini line %d not understood", line);
            return false;
        }
    }
    return true;
}

} // namespace

void meas_app_tele_ini() {
    meas_app_tele_reset();
    char* text = fload("cfg:/telemetry.ini", nullptr);
    if (!text) return;
    start.kind = 1;
    const bool ok = load(text);
    std::free(text);
    if (!ok) return;
    static const gw_callbacks_t callbacks{
        {{nullptr, 0}, {readCb, 0}, {stopCb, 0}, {startCb, 0}, {nullptr, 0}, {nullptr, 0}}};
    if (!client && !(client = gw_connect(&callbacks))) {
        syslogx(LOG_ERR, "meas_app: telemetry cannot connect to the gateway");
        return;
    }
    for (int b = 0; b < TELE_BLOCKS; ++b) {
        Block& k = blocks[b];
        if (!k.length) continue;
        const uint16_t block = static_cast<uint16_t>((k.record.entrySize + 3u) & ~3u);
        k.magic = gw_setup_list(client, k.words, reinterpret_cast<uintptr_t>(&k.record), k.length,
                                b ? RASTER_SLOW : RASTER_FAST, AppMan_getPID(), 0, 0, 1, 0, block, 0);
        if (!k.magic) {
            syslogx(LOG_ERR, "meas_app: telemetry block %d not set up", b);
            continue;
        }
        tele[b] = tele_block{&k.record, 1};
    }
    configured = true;
    syslogx(LOG_INFO, "meas_app: telemetry configured from cfg:/telemetry.ini");
}

void meas_app_tele_start() {
    if (!configured || running) return;
    for (Block& k : blocks)
        if (k.magic) gw_start_list(k.magic);
    running = tele_app_start(&start) == 1;
}

void meas_app_tele_stop() {
    if (!running) return;
    tele_app_stop();
    running = false;
}

int meas_app_tele_running() {
    return running;
}

void meas_app_tele_reset() {
    if (client) gw_disconnect(client), client = nullptr;
    for (Block& k : blocks)
        k = Block{};
    start = tele_start_t{};
    for (auto& c : channels) // tests: telemetry and the gateway are reset first
        c.reset();
    configured = running = false;
}
