// Telemetry frames: block 0 in every frame and one slow block in turn, with a CRC-16, over the
// serial line "/tyCo/0" or UDP; and the JSON status channel to and from the pit.
#include "comm/tele/tele.h"

#include "acquisition/board/board.h"
#include "comm/chandata/chandata.h"
#include "comm/gw/gw.h"
#include "comm/sockreg/sockreg.h"
#include "comm/tele/json.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"
#include "services/fileutil/fileutil.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/timemod/timemod.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

tele_block tele[TELE_BLOCKS];

namespace {

constexpr int PRIO = 105, STACK = 65536;
constexpr uint16_t JSON_TX_PORT = 10001, JSON_RX_PORT = 10002;
constexpr size_t FRAME_MAX = 255; // bytes before the checksum: the header states it in one byte

std::atomic<SEM_ID> recordLock{nullptr};
tele_config cfg;
std::atomic<uint32_t> cfgValid{0};
std::atomic<bool> sending{false}; // the frame function is set
std::atomic<bool> fresh{false};   // a start: the frame task begins its counters anew
std::atomic<uint32_t> startStamp{0};
int sock = -1, port = -1;
sockaddr_in pit{};
uint8_t header[3];
int nextSlow = 1, lastSlowByte = 0;
uint32_t updateRate = 1000;
bool active = true;
uint32_t lastStamp = 0, lastSlowStamp = 0, byteSum = 0;
TASK_ID frameTask = TASK_ID_NULL, jsonTx = TASK_ID_NULL, jsonRx = TASK_ID_NULL;
std::atomic<int> jsonTxSock{-1}, jsonRxSock{-1}; // the tests' reset closes them
SEM_ID taskSem = nullptr;

SEM_ID lock() {
    SEM_ID m = recordLock.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!recordLock.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

// What a start sets, as the frame and JSON tasks read it: copied under the lock, since a restart
// may change it in the middle of a frame (a serial period would divide by a UDP baud rate of 0).
struct Setup {
    tele_config cfg;
    uint8_t header[3];
    uint32_t updateRate;
    bool haveSock;
};
Setup setup() {
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    const Setup s{cfg, {header[0], header[1], header[2]}, updateRate, sock >= 0};
    semGive(m);
    return s;
}

uint32_t valueBytes(const tele_block& b) {
    uint32_t n = 0;
    for (uint16_t i = 0; i < b.count; ++i)
        n += b.records[i].entrySize > 4 ? b.records[i].entrySize - 4u : 0;
    return n;
}

// The values of a block's records, zeros where a PID is offline or nothing valid arrived.
size_t appendBlock(uint8_t* at, const tele_block& b) {
    size_t n = 0;
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    for (uint16_t i = 0; i < b.count; ++i) {
        const tele_record& r = b.records[i];
        const size_t len = r.entrySize > 4 ? r.entrySize - 4u : 0;
        if (r.hasEntry && r.dataValid && !gw_pid_offline(r.pid))
            std::memcpy(at + n, r.entry + 4, len);
        else
            std::memset(at + n, 0, len);
        n += len;
    }
    semGive(m);
    return n;
}

void setState(uint8_t s) {
    telemetry_state = s;
}

void statsZero() {
    tele_fastblock_dt = 0;
    tele_slowblock_dt = 0;
    tele_data_rate = 0;
    tele_data_rate_kBit = 0;
}

void closeOutputs() {
    if (sock >= 0) bcSocket_close(sock), sock = -1;
    if (port >= 0) close(port), port = -1;
}

void teleTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    if (!(taskSem = semCCreate(SEM_Q_FIFO, 0))) {
        syslogx(LOG_ERR, "tele_task(): creating semaphore failed");
        return;
    }
    for (;;)
        taskDelay(tele_func() * sysClkRateGet() / 1000);
}

int udpSocket() {
    return bcSocket_get(AF_INET, SOCK_DGRAM, 0);
}

void jsonTxTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    if (!cfgValid.load()) return;
    const tele_config cfg = setup().cfg;
    for (ChanData* c : {cfg.lapDist, cfg.latitude, cfg.longitude})
        if (c) chan_meas_setup(c, 3, 7);
    if ((jsonTxSock = udpSocket()) < 0) {
        syslogx(LOG2_ERR, "tele_task_JSON(): Create UDP Tx Socket failed");
        return;
    }
    if (cfg.address == 0) {
        syslogx(LOG2_INFO, "tele_task_JSON(): no IpAddress configured, no AUTO-DCP-INI");
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(JSON_TX_PORT);
    to.sin_addr.s_addr = htonl(cfg.address);
    uint32_t len = 0, crc = 0;
    char* dcp = fload("cfg:/dcp.ini", &len);
    if (dcp) {
        crc = crc32_bsd(dcp, len);
        std::free(dcp);
        syslogx(LOG_DEBUG, "tele_task_JSON(): dcp.ini found, checksum : 0x%08x", crc);
    } else {
        syslogx(LOG_DEBUG, "tele_task_JSON(): NO dcp.ini found!");
    }
    for (;;) {
        taskDelay(sysClkRateGet());
        double v[3];
        bool got[3] = {};
        ChanData* ch[3] = {cfg.lapDist, cfg.latitude, cfg.longitude};
        for (int i = 0; i < 3; ++i) {
            uint8_t st = 0;
            got[i] = ch[i] && chan_meas_getValue(ch[i], &v[i], &st);
        }
        char text[300];
        const size_t n =
            tele_json_text(text, sizeof text, got[0] ? &v[0] : nullptr, got[1] ? &v[1] : nullptr,
                           got[2] ? &v[2] : nullptr, dcp ? &crc : nullptr, cfg.projectCode, cfg.swId);
        if (n > 2 && sendto(jsonTxSock, text, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
                         static_cast<ssize_t>(n))
            SYSLOGX_GUARDED(LOG_ERR, "tele_task_JSON: could not send data on udp port Bytes %d",
                            static_cast<int>(n));
    }
}

void jsonRxTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    if ((jsonRxSock = udpSocket()) < 0) {
        syslogx(LOG_ERR, "tele_task_JSON_rx: Create UDP Rx Socket failed (tele rx JSON)");
        return;
    }
    const int one = 1;
    if (setsockopt(jsonRxSock, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        syslogx(LOG_ERR, "tele_task_JSON_rx: Setting SO_REUSEPORT option failed");
        return;
    }
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_port = htons(JSON_RX_PORT);
    own.sin_addr.s_addr = htonl(AppMan_getIPv4Addr());
    if (::bind(jsonRxSock, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        syslogx(LOG_ERR, "tele_task_JSON_rx: Socket bind Rx failed (tele rx JSON), %s", std::strerror(errno));
        return;
    }
    // Asked before each wait: a delete that came before the socket was there shut nothing down.
    while (!taskDeleteRequested() && !bcSocket_isShutdown()) {
        char buf[1400];
        ssize_t n;
        {
            OsExternalWait wait;
            n = recv(jsonRxSock, buf, 1399, 0);
        }
        if (n > 0 && !taskDeleteRequested()) tele_json_modem(buf, static_cast<size_t>(n));
    }
}

// The decimal number at the start of s (0 when there is none).
long number(const char* s, char** end = nullptr) {
    char* e;
    const long v = std::strtol(s, &e, 10);
    if (end) *end = e;
    return v;
}

__attribute__((format(printf, 4, 5))) void appendf(char* out, size_t size, size_t& n, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int w = n < size ? std::vsnprintf(out + n, size - n, fmt, ap) : 0;
    va_end(ap);
    if (w > 0) n += static_cast<size_t>(w);
    if (n >= size) n = size - 1;
}

long clampLong(long v, long low, long high) {
    return v < low ? low : v > high ? high : v;
}

} // namespace

void tele_record_put(tele_record* r, const uint8_t* entry) {
    if (r->entrySize > TELE_ENTRY_MAX) return;
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    std::memcpy(r->entry, entry, r->entrySize);
    r->hasEntry = 1;
    r->dataValid = 1;
    semGive(m);
}

void tele_record_state(tele_record* r, uint8_t setUp, uint8_t dataValid) {
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    r->setUp = setUp;
    r->dataValid = dataValid;
    semGive(m);
}

int limit_int(int v, int low, int high) {
    return v < low ? low : v > high ? high : v;
}
unsigned limit_uint(unsigned v, unsigned low, unsigned high) {
    return v < low ? low : v > high ? high : v;
}

void tele_app_ini() {
    lock();
    if (frameTask) return;
    if ((frameTask = taskSpawn("r_tele", PRIO, VX_FP_TASK, STACK, teleTask)) == TASK_ID_NULL)
        syslogx(LOG_ERR, "tele_app_ini(): could not start tele_task");
}

int tele_app_start(const tele_start_t* start) {
    setState(0);
    if (!start) return 0;
    const tele_config& c = start->config;
    // Checked before anything opens: the serial period divides by the baud rate / 11, and the
    // header states the frame length in one byte.
    uint32_t slowMax = 0;
    for (int b = 1; b < TELE_BLOCKS; ++b)
        if (tele[b].records && valueBytes(tele[b]) > slowMax) slowMax = valueBytes(tele[b]);
    const uint32_t frame = 10 + (tele[0].records ? valueBytes(tele[0]) : 0) + slowMax;
    if (frame > FRAME_MAX) {
        syslogx(LOG_ERR, "tele_app_start(): frame of %u bytes exceeds %u, configuration refused", frame,
                static_cast<unsigned>(FRAME_MAX));
        return 0;
    }
    if (c.medium != 2 && c.baudRate < 11) {
        syslogx(LOG_ERR, "tele_app_start(): baud rate %u too low, configuration refused", c.baudRate);
        return 0;
    }
    tele_app_stop();
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    cfg = c;
    cfg.valid = 1;
    cfgValid = 1;
    if (cfg.medium == 2) {
        if ((sock = udpSocket()) < 0) {
            semGive(m);
            syslogx(LOG2_ERR, "tele_app_ini(): Create UDP Tx Socket failed");
            return 0;
        }
        add_subnet(cfg.address);
        pit = sockaddr_in{};
        pit.sin_family = AF_INET;
        pit.sin_port = htons(cfg.port);
        pit.sin_addr.s_addr = htonl(cfg.address);
    } else if (pinConfig_getRS232TeleEnabled() == 1) {
        port = osOpen("/tyCo/0", O_WRONLY);
    }
    if (start->kind != 1) {
        semGive(m);
        if (start->kind != 0) syslogx(LOG2_ERR, "Found no configuration for TARVO telemetry!");
        return 0;
    }
    bytes::put_le16(header, static_cast<uint16_t>(cfg.projectCode));
    header[2] = cfg.swId;
    bool set = false;
    if (cfg.medium == 2) {
        set = true;
    } else if (port >= 0) {
        // Frames are binary: a line that adds a carriage return before each 0x0A breaks them.
        if (osIoctl(port, OS_FIOSETOPTIONS, OS_OPT_RAW) != 0 && errno != ENOTTY)
            syslogx(LOG_ERR, "tele_app_ini() could not set OPT_RAW: errno %s", std::strerror(errno));
        if (osIoctl(port, OS_FIOBAUDRATE, static_cast<intptr_t>(cfg.baudRate)) != 0 && errno != ENOTTY)
            syslogx(LOG_ERR, "tele_app_ini() could not set baudrate: errno %s, %d", std::strerror(errno),
                    static_cast<int>(cfg.baudRate));
        set = true;
    } else {
        syslogx(LOG2_ERR, "Can not open tele_io_stream.");
    }
    if (set) {
        startStamp = time_getTimestamp();
        fresh = true;
        syslogx(LOG2_INFO, "Found a valid configuration for TARVO telemetry.");
    }
    // UDP frame period from the data rate
    const uint32_t b0 = 12 + (tele[0].records ? valueBytes(tele[0]) : 0);
    uint32_t s = 0, k = 0;
    for (int b = 1; b < TELE_BLOCKS; ++b)
        if (tele[b].records) s += valueBytes(tele[b]), ++k;
    if (k == 0) k = 1;
    // 64 bits: a data rate from the file times the slow slots may wrap 32 bits to a divisor of 0
    updateRate = cfg.dataRate
                     ? static_cast<uint32_t>((s + uint64_t{k} * b0) * 8 / (uint64_t{cfg.dataRate} * k))
                     : 1000;
    if (updateRate < 10) updateRate = 10;
    semGive(m);
    if (!jsonTx && (jsonTx = taskSpawn("r_teleTxJSON", PRIO, VX_FP_TASK, STACK, jsonTxTask)) == TASK_ID_NULL)
        syslogx(LOG_ERR, "tele_app_start(): could not start tele_task_JSON_tx");
    if (!jsonRx && (jsonRx = taskSpawn("r_teleRxJSON", PRIO, VX_FP_TASK, STACK, jsonRxTask)) == TASK_ID_NULL)
        syslogx(LOG_ERR, "tele_app_start(): could not start tele_task_JSON_rx");
    if (cfg.enable) chan_meas_setup(cfg.enable, 3, 3);
    sending = set;
    return set ? 1 : 0;
}

void tele_app_stop() {
    sending = false;
    // The frame task may be in a frame: the next call sees no function; its outputs go with it.
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    closeOutputs();
    semGive(m);
    setState(0);
    statsZero();
    telemetry_active = 0;
}

int tele_func() {
    return sending.load() ? tarvoTele_func() : 1000;
}

int tarvoTele_func() {
    const Setup now = setup();
    const tele_config& cfg = now.cfg;
    if (fresh.exchange(false)) {
        nextSlow = 1;
        active = true;
        lastSlowByte = 0;
        byteSum = 0;
        lastStamp = lastSlowStamp = startStamp.load();
    }
    if (cfg.enable) {
        double v = 0;
        uint8_t st = 0;
        if (chan_meas_getValue(cfg.enable, &v, &st)) active = std::round(v) != 0;
    }
    if (!active) {
        setState(6);
        statsZero();
        telemetry_active = 0;
        return 10;
    }
    if (cfg.medium == 1) {
        if (digital_ioIn(3)) {
            setState(2);
            return 1000;
        }
        setState(3);
    } else if (cfg.medium == 2) {
        setState(now.haveSock ? 5 : 4);
    } else {
        setState(1);
    }
    telemetry_active = 1;
    uint8_t f[FRAME_MAX + 2] = {now.header[0], now.header[1], now.header[2]};
    const uint32_t stamp = time_getTimestamp();
    bytes::put_be32(f + 6, stamp);
    size_t n = 10;
    if (tele[0].records && tele[0].count && tele[0].records[0].setUp) n += appendBlock(f + n, tele[0]);
    f[4] = static_cast<uint8_t>(n - 6);
    int slot = 0;
    for (int tries = 0; tries < 7 && !slot; ++tries) {
        if (nextSlow > 7) nextSlow = 1;
        if (tele[nextSlow].records && tele[nextSlow].count)
            slot = nextSlow;
        else
            ++nextSlow;
    }
    bool slowOne = false;
    if (slot) {
        if (tele[slot].records[0].setUp) {
            n += appendBlock(f + n, tele[slot]);
            lastSlowByte = tele[slot].records[0].block - 1;
            slowOne = tele[slot].records[0].block == 1;
        }
        f[5] = static_cast<uint8_t>(lastSlowByte);
        nextSlow = nextSlow >= 7 ? 1 : nextSlow + 1;
    } else {
        f[5] = 0;
    }
    f[3] = static_cast<uint8_t>(n);
    const uint16_t crc = crc16_ccitt_lsb_accu(f, n, 0xFFFF);
    bytes::put_be16(f + n, crc);
    const size_t total = n + 2;
    SEM_ID m = lock();
    semTake(m, WAIT_FOREVER);
    if (cfg.medium == 2) {
        if (sock < 0 || sendto(sock, f, total, 0, reinterpret_cast<sockaddr*>(&pit), sizeof pit) !=
                            static_cast<ssize_t>(total))
            SYSLOGX_GUARDED(LOG_ERR, "TL40: could not send data on udp port Bytes %d",
                            static_cast<int>(total));
    } else if (port < 0 || write(port, f, total) != static_cast<ssize_t>(total)) {
        SYSLOGX_GUARDED(LOG_ERR, "TL40: could not send data on serial port, Bytes %d",
                        static_cast<int>(total));
    }
    semGive(m);
    byteSum += static_cast<uint32_t>(total);
    tele_fastblock_dt = static_cast<uint16_t>((stamp - lastStamp) / 10);
    lastStamp = stamp;
    if (slowOne) {
        const uint32_t dt = (stamp - lastSlowStamp) / 10;
        tele_slowblock_dt = static_cast<uint16_t>(dt);
        if (dt) {
            tele_data_rate = static_cast<uint16_t>(byteSum * 1000 / dt);
            tele_data_rate_kBit = static_cast<uint16_t>(byteSum * 800 / dt);
        }
        lastSlowStamp = stamp;
        byteSum = 0;
    }
    if (!cfgValid.load()) return 1000;
    if (cfg.medium == 0 || cfg.medium == 1) {
        const uint32_t period =
            (static_cast<uint32_t>(total) * 1000 + 3000) / (cfg.baudRate / 11) + cfg.extraDelay + 2;
        return static_cast<int>(period > 40 ? period : 40);
    }
    return cfg.medium == 2 ? static_cast<int>(now.updateRate) : 1000;
}

size_t tele_json_text(char* out, size_t size, const double* lapDist, const double* lat, const double* lon,
                      const uint32_t* dcpCrc, uint32_t projectCode, uint8_t swId) {
    size_t n = 0;
    if (!size) return 0;
    auto add = [&](const char* text) { appendf(out, size, n, "%s", text); };
    add("{");
    bool first = true;
    auto sep = [&] {
        if (!first) add(",");
        first = false;
    };
    // A value that is not a number would make the text no JSON: it is left out.
    if (lapDist && std::isfinite(*lapDist)) {
        sep();
        appendf(out, size, n, "\"lapdist\":%lld",
                static_cast<long long>(std::clamp(*lapDist + 0.5, -9.2e18, 9.2e18)));
    }
    // Sent as single precision: beyond its range it would print as inf.
    const auto asFloat = [](const double* v) { return v && std::fabs(*v) <= FLT_MAX; };
    if (asFloat(lat))
        sep(), appendf(out, size, n, "\"gps_lat\":%.6f", static_cast<double>(static_cast<float>(*lat)));
    if (asFloat(lon))
        sep(), appendf(out, size, n, "\"gps_long\":%.6f", static_cast<double>(static_cast<float>(*lon)));
    if (dcpCrc) {
        sep();
        appendf(out, size, n, "\"dcp_ini_crc\":%u, \"prjcode\":%u, \"sw_id\":%u", *dcpCrc, projectCode,
                static_cast<unsigned>(swId));
    }
    add("}");
    return n;
}

void tele_json_modem(const char* text, size_t length) {
    JsonParse p;
    p.setBuff(text, length);
    char key[100], value[100];
    while (p.getNext(key, sizeof key, value, sizeof value)) {
        const long v = number(value);
        if (!std::strcmp(key, "plmn")) {
            char* end = nullptr;
            const long a = clampLong(number(value, &end), 0, 4294966);
            const long b = clampLong(*end ? number(end + 1) : 0, 0, 999);
            tele_modem_plmn = static_cast<uint32_t>(a * 1000 + b);
        } else if (!std::strcmp(key, "cid")) {
            tele_modem_cid = static_cast<uint32_t>(std::strtoul(value, nullptr, 16));
        } else if (!std::strcmp(key, "band")) {
            tele_modem_band = static_cast<uint8_t>(clampLong(v, 0, 255));
        } else if (!std::strcmp(key, "cpu_load")) {
            const double d = std::strtod(value, nullptr) * 2;
            tele_modem_cpuLoad = static_cast<uint8_t>(d >= 255 ? 255 : d > 0 ? static_cast<unsigned>(d) : 0);
        } else if (!std::strcmp(key, "ping")) {
            tele_modem_ping =
                static_cast<uint8_t>(clampLong((clampLong(v, -100000, 100000) + 2) / 5, 0, 255));
        } else if (!std::strcmp(key, "rsrp")) {
            tele_modem_rsrp = static_cast<int8_t>(clampLong(clampLong(v, -100000, 100000) + 100, -128, 127));
        } else {
            const auto u = static_cast<uint16_t>(clampLong(v, 0, 65535));
            if (!std::strcmp(key, "ethernet_in"))
                tele_modem_ethIn = u;
            else if (!std::strcmp(key, "ethernet_out"))
                tele_modem_ethOut = u;
            else if (!std::strcmp(key, "serial_in"))
                tele_modem_serIn = u;
            else if (!std::strcmp(key, "serial_out"))
                tele_modem_serOut = u;
            else if (!std::strcmp(key, "wan_in"))
                tele_modem_wanIn = u;
            else if (!std::strcmp(key, "wan_out"))
                tele_modem_wanOut = u;
        }
    }
}

void tele_reset() {
    tele_app_stop();
    cfgValid = 0;
    for (TASK_ID* t : {&frameTask, &jsonTx, &jsonRx}) {
        if (!*t) continue;
        taskDelete(*t);
        if (t == &jsonRx && jsonRxSock >= 0) shutdown(jsonRxSock, SHUT_RDWR);
        taskWaitExit(*t, WAIT_FOREVER);
        *t = TASK_ID_NULL;
    }
    for (std::atomic<int>* s : {&jsonTxSock, &jsonRxSock})
        if (*s >= 0) bcSocket_close(*s), *s = -1;
    if (taskSem) semDelete(taskSem), taskSem = nullptr;
    for (auto& b : tele)
        b = {};
}
