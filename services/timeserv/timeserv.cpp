#include "services/timeserv/timeserv.h"

#include "platform/kmgr/calls.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "services/checksum/crc.h"
#include "services/errmgr/errmgr.h"
#include "services/nvramst/onewire.h"
#include "services/raster/raster.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/sysrole/sysrole.h"
#include "services/timemod/timemod.h"
#include "services/bytes/bytes.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;
constexpr size_t HDR = 20;
constexpr uint16_t PID_ALL = 0xFFFE;
constexpr uint32_t EXPORT_GROUP = 0xEFEFEF0F; // 239.239.239.15
constexpr uint16_t EXPORT_PORT = 9830;
constexpr uint32_t QUALIFIER_NEW_TIME = 5;
constexpr int CHANGE_COUNT = 10;
constexpr int MULTI_MASTER_LIMIT = 20;
constexpr int MULTI_MASTER_REPORTED = 1000;
constexpr long HALF_SECOND_NS = 500000000;

std::atomic<uint32_t> qualifier{0};
std::atomic<bool> master{false};
std::atomic<uint32_t> masterId{0}, masterBoot{0};
std::atomic<uint16_t> masterPid{0};
std::atomic<bool> masterKnown{false};
int changeCount = 0;
uint16_t candidate = 0;
int multiMaster = 0;
std::atomic<bool> waiting{true};

MSG_Q_ID masterQueue = nullptr;
TASK_ID masterTask = TASK_ID_NULL;
std::atomic<int> exportSocket{-1};

std::atomic<uint32_t> measTime{0};
// The soft scheduler of the inputs sits above this module; the start-up hands its re-phase in.
std::atomic<void (*)(uint32_t)> softSchedSync{nullptr};
std::atomic<bool> measInit{false};
uint8_t lastX = 255;

uint16_t (*ciSend)(const uint8_t*, int) = nullptr;
int (*ciReady)() = nullptr;

// Payload bytes the message really holds.
size_t payloadOf(const uint8_t* m, size_t len) {
    if (!m || len < HDR) return 0;
    const size_t declared = get_be16(m + 2);
    return declared < len - HDR ? declared : len - HDR;
}

date_msd readDate(const uint8_t* p, bool withMs) {
    return date_msd{get_be16(p),
                    get_be16(p + 2),
                    get_be16(p + 4),
                    get_be16(p + 6),
                    get_be16(p + 8),
                    get_be16(p + 10),
                    withMs ? get_be16(p + 12) : uint16_t(0)};
}
void putDate(uint8_t* p, const date_msd& d) {
    const uint16_t f[7] = {d.YEAR, d.MONTH, d.DAY, d.HOUR, d.MIN, d.SEC, d.MS};
    for (int i = 0; i < 7; ++i)
        put_be16(p + 2 * i, f[i]);
}

void header(uint8_t* m, uint16_t payload, uint16_t code) {
    std::memset(m, 0, HDR);
    put_be16(m + 2, payload);
    put_be16(m + 4, AppMan_getPID());
    put_be16(m + 6, PID_ALL);
    put_be16(m + 16, code);
}

void sendCommand(const uint8_t* m) {
    if (ciSend && ciReady && ciReady()) ciSend(m, 1);
}

// 0x0602 and 0x0603 share their layout.
void sendDateCommand(uint16_t code, const date_msd& d, uint32_t q) {
    uint8_t m[HDR + 20];
    header(m, 20, code);
    putDate(m + 20, d);
    put_be16(m + 34, 0);
    put_be32(m + 36, q);
    sendCommand(m);
}

bool convert(date_msd* d, timespec* ts) {
    return conv_date_to_time(d, ts) == 1;
}

// Log texts with the date first and the qualifier last; each call site has its guard, as the
// dates come from other units.
void logSync(SyslogRateGuard& site, int priority, const char* format, const date_msd& d, uint32_t q) {
    if (syslogx_rateguard(&site))
        syslogx(priority, format, d.DAY, d.MONTH, d.YEAR, d.HOUR, d.MIN, d.SEC, d.MS, static_cast<int>(q));
}
SyslogRateGuard syncFailedFirst, syncFailedOs, syncDone, syncDoneOs, rtcUpdated;

// True when the date lies more than half a second after the system time.
bool ahead(const date_msd& d) {
    timespec diff{};
    if (timeserv_getDiffTime(&d, &diff) != 0) return false;
    return diff.tv_sec >= 1 || diff.tv_nsec > HALF_SECOND_NS;
}

void firstSync(date_msd d, bool hasQ, uint32_t q) {
    timespec ts{};
    // A date the calendar refuses never reaches a clock.
    if (!convert(&d, &ts)) {
        logSync(syncFailedFirst, LOG_ERR,
                "Failed to sync on timemaster systemtime: %.2d.%.2d.%.4d  %.2d:%.2d:%.2d.%.3d, q:%d", d, q);
        return;
    }
    const uint32_t own = qualifier;
    const bool writeRtc = hasQ ? q > own || (q == own && ahead(d)) : ahead(d);
    if (writeRtc && rtc_writeAndSetSystemTime(&d)) {
        logSync(syncDone, LOG_INFO,
                "Sync on timemaster systemtime: %.2d.%.2d.%.4d  %.2d:%.2d:%.2d.%.3d, q:%d", d, q);
        waiting = false;
        qualifier = q;
        return;
    }
    if (timeserv_setOSTime(&ts)) {
        logSync(syncDoneOs, LOG_INFO,
                "Sync on timemaster systemtime w/o RTC update: %.2d.%.2d.%.4d  %.2d:%.2d:%.2d.%.3d, q:%d", d,
                q);
        waiting = false;
    } else {
        logSync(syncFailedOs, LOG_ERR,
                "Failed to sync on timemaster systemtime: %.2d.%.2d.%.4d  %.2d:%.2d:%.2d.%.3d, q:%d", d, q);
    }
}

void followMaster(const uint8_t* m) {
    const uint32_t id = get_be32(m + 44), boot = get_be32(m + 48);
    const uint16_t sender = get_be16(m + 4);
    if (!masterKnown) {
        masterId = id;
        masterBoot = boot;
        masterPid = sender;
        masterKnown = true;
        return;
    }
    if (boot == masterBoot && id == masterId && sender == masterPid && changeCount == 0) return;
    if (changeCount == 0 || sender != candidate) {
        if (changeCount == 0)
            SYSLOGX_RATE_GUARDED(
                LOG_WARN, "timeserv_distributeTime_cmd: trying to change time master PID to 0x%02X", sender);
        changeCount = 1;
        candidate = sender;
        return;
    }
    if (++changeCount >= CHANGE_COUNT) {
        SYSLOGX_RATE_GUARDED(LOG_INFO, "timeserv_distributeTime_cmd: changing time master to PID 0x%02X",
                             sender);
        masterId = id;
        masterBoot = boot;
        masterPid = sender;
        changeCount = 0;
    }
}

void masterTaskBody() {
    time_initMrIsr();
    time_initTimeModule();
    time_MrSetControl(1);
    uint8_t msg[4];
    for (;;) {
        if (msgQReceive(masterQueue, msg, sizeof msg, WAIT_FOREVER) == ERROR) {
            syslogx(LOG_ERR, "timeserv_master_task, error receiving from queue, exiting: %s",
                    std::strerror(errno));
            return;
        }
        if (!master) continue;
        timespec now{};
        osClockGettime(CLOCK_REALTIME, &now);
        timeserv_sendTime(&now);
        timeserv_exportTime();
    }
}

} // namespace

int timeserv_init(int writeAccess, int asMaster) {
    date_msd now{};
    timeserv_readSystemTime(&now);
    qualifier = now.YEAR > 2000 ? 1 : 0;
    if (asMaster) {
        if (master) syslogx(LOG_NOTICE, "timeserv_init(): init as timeMaster called again!");
        if (!writeAccess) syslogx(LOG_ERR, "timeserv_init(): timeMaster without write access !?!");
        if (!masterQueue) {
            masterQueue = msgQOpen(TIME_ISR_QUEUE, 10, 4, MSG_Q_FIFO, OM_CREATE);
            if (!masterQueue) {
                syslogx(LOG2_ERR, "timeServMasterTask(): msgQOpen failed : %s", std::strerror(errno));
                return 0;
            }
        }
        uint8_t rom[DEVDATA_ROMID_SIZE];
        ow_readRomID(rom);
        masterBoot = base_boot_count_get();
        masterId = crc32_bsd(rom, sizeof rom);
        masterPid = AppMan_getPID();
        masterKnown = true;
        if (masterTask == TASK_ID_NULL) {
            masterTask = taskSpawn("r_TsMr", 27, VX_FP_TASK, 10000,
                                   [](intptr_t, intptr_t, intptr_t, intptr_t) { masterTaskBody(); });
            if (masterTask == TASK_ID_NULL) {
                syslogx(LOG_ERR, "timeserv_init(): create %s failed", "r_TsMr");
                return 0;
            }
        }
        time_MrSetControl(1);
        master = true;
    } else if (writeAccess) {
        time_MrSetControl(0);
        master = false;
    }
    return 1;
}

int timeserv_init_as_array(const int flags[2]) {
    return timeserv_init(flags[0], flags[1]);
}

void timeserv_setCommandInterface(uint16_t (*send)(const uint8_t*, int), int (*ready)()) {
    ciSend = send;
    ciReady = ready;
}

void timeserv_readSystemTime(date_msd* date) {
    timespec ts{};
    osClockGettime(CLOCK_REALTIME, &ts);
    if (!conv_time_to_date(&ts, date)) *date = date_msd{};
}

int timeserv_setOSTime(const timespec* ts) {
    return ts && osClockSettime(CLOCK_REALTIME, ts) == 0 ? 1 : 0;
}

int rtc_writeAndSetSystemTime(const date_msd* date) {
    const uint16_t fields[7] = {date->YEAR, date->MONTH, date->DAY, date->HOUR,
                                date->MIN,  date->SEC,   date->MS};
    const intptr_t r = kmgr_syscall(KCALL_RTC_WRITE, static_cast<intptr_t>(RtpManUsr_getIndex()),
                                    reinterpret_cast<intptr_t>(fields));
    return r == 1 ? 1 : 0;
}

int timeserv_setTime(date_msd date, uint32_t q) {
    timespec ts{};
    if (!convert(&date, &ts)) {
        SYSLOGX_GUARDED(LOG_WARN, "timeserv_setTime: Illegal date values, RTC not set!");
        return 0;
    }
    if (!rtc_writeAndSetSystemTime(&date) && !timeserv_setOSTime(&ts)) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "Failed to set system time (user): %s", std::strerror(errno));
        return 0;
    }
    qualifier = q;
    return 1;
}

int timeserv_getDiffTime(const date_msd* date, timespec* out) {
    if (!date || !out) return -1;
    date_msd d = *date;
    timespec then{}, now{};
    if (!convert(&d, &then)) return -1;
    osClockGettime(CLOCK_REALTIME, &now);
    const int64_t ns =
        (static_cast<int64_t>(then.tv_sec) - now.tv_sec) * 1000000000 + (then.tv_nsec - now.tv_nsec);
    *out = ns > 0 ? timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)}
                  : timespec{};
    return 0;
}

int timeserv_getMasterIds(uint32_t* id, uint32_t* bootCount) {
    if (!masterKnown) return 0;
    if (id) *id = masterId;
    if (bootCount) *bootCount = masterBoot;
    return 1;
}

uint32_t timeserv_getQualifier() {
    return qualifier;
}

void timeserv_sendTime(const timespec* now) {
    if (!now || !ciReady || !ciReady()) return;
    uint8_t m[HDR + 32];
    header(m, 32, 0x0600);
    put_be32(m + 20, time_getNextGapTimestamp());
    date_msd d{};
    const bool ok = conv_time_to_date(now, &d) == 1;
    putDate(m + 24, ok ? d : date_msd{});
    put_be16(m + 38, 0);
    put_be32(m + 40, ok ? static_cast<uint32_t>(qualifier) : 0);
    put_be32(m + 44, masterId);
    put_be32(m + 48, masterBoot);
    sendCommand(m);
}

void timeserv_exportTime() {
    int fd = exportSocket;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            syslogx(LOG_ERR, "timeserv_exportTime, ERROR creating socket: %s", std::strerror(errno));
            return;
        }
        in_addr own{htonl(AppMan_getIPv4Addr())};
        if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &own, sizeof own) != 0)
            syslogx(LOG_ERR, "timeserv_exportTime, set socket option IP_MULTICAST_IF failed! (%s)",
                    std::strerror(errno));
        exportSocket = fd;
    }
    uint8_t d[20] = {1};
    timespec now{};
    osClockGettime(CLOCK_REALTIME, &now);
    date_msd date{};
    if (!conv_time_to_date(&now, &date)) date = date_msd{};
    put_be32(d + 4, time_getNextGapTimestamp());
    const uint16_t f[6] = {date.YEAR, date.MONTH, date.DAY, date.HOUR, date.MIN, date.SEC};
    for (int i = 0; i < 6; ++i)
        put_be16(d + 8 + 2 * i, f[i]);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(EXPORT_PORT);
    to.sin_addr.s_addr = htonl(EXPORT_GROUP);
    if (::sendto(fd, d, sizeof d, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to) != sizeof d)
        SYSLOGX_GUARDED(LOG_ERR, "timeserv_exportTime, ERROR sendto: %s", std::strerror(errno));
}

void timeserv_newSystemTime(date_msd date) {
    sendDateCommand(0x0602, date, QUALIFIER_NEW_TIME);
}

void timeserv_distributeTime_cmd(const uint8_t* m, size_t len) {
    const size_t payload = payloadOf(m, len);
    // The date must be in the message: a short one would leave it to whatever lay there before.
    if (payload < 18) return;
    const bool hasQ = payload >= 24;
    const uint32_t q = hasQ ? get_be32(m + 40) : 0;
    time_putNextGapTimestamp(get_be32(m + 20));
    const uint16_t sender = get_be16(m + 4);
    if (master) {
        if (multiMaster < MULTI_MASTER_REPORTED) {
            if (sender == AppMan_getPID()) {
                if (multiMaster > 0) --multiMaster;
            } else if ((multiMaster += 2) > MULTI_MASTER_LIMIT) {
                error_mgr_set(ERROR_MGR_PATH_SYNC, ERROR_MGR_ERR_TYPE_MULTIPLE_TIME_MASTER, 0);
                syslogx(LOG_ERR, "timeserv_distributeTime_cmd: multiple time masters detected");
                multiMaster = MULTI_MASTER_REPORTED;
            }
        }
    } else {
        if (payload >= 32) followMaster(m);
        if (hasQ && qualifier > q) {
            date_msd own{};
            timeserv_readSystemTime(&own);
            sendDateCommand(0x0603, own, qualifier);
        }
    }
    if (time_getSyncState() != TIME_SYNC_FULL) {
        waiting = true;
        return;
    }
    date_msd d = readDate(m + 24, payload > 16);
    if (waiting) {
        firstSync(d, hasQ, q);
        return;
    }
    if (q <= qualifier) return;
    timespec ts{};
    if (!convert(&d, &ts)) return; // no clock takes an invalid date, nor its qualifier
    if (ahead(d) && rtc_writeAndSetSystemTime(&d))
        logSync(rtcUpdated, LOG_INFO,
                "timeserv_distributeTime_cmd: update rtc on better qualifier: %.2d.%.2d.%.4d  "
                "%.2d:%.2d:%.2d.%.3d, "
                "q:%d",
                d, q);
    qualifier = q;
}

void timeserv_suggestOwnTime_cmd(const uint8_t* m, size_t len) {
    if (!master || payloadOf(m, len) < 14) return;
    const uint32_t q = payloadOf(m, len) >= 20 ? get_be32(m + 36) : 0;
    if (q > qualifier) timeserv_setTime(readDate(m + 20, true), q);
}

void timeserv_newSystemTime_cmd(const uint8_t* m, size_t len) {
    const size_t payload = payloadOf(m, len);
    if (payload < 14) return;
    timeserv_setTime(readDate(m + 20, true), payload >= 24 ? get_be32(m + 36) : QUALIFIER_NEW_TIME);
}

void timeserv_MeasTime_ini() {
    measInit = true;
}

void timeserv_MeasTime_1ms() {
    const uint8_t x = time_getSyncXState();
    uint8_t s = time_getSyncState_reg();
    const uint32_t t = time_getTimestamp_reg();
    if (measInit) {
        const char* why = lastX == 255           ? "timeserv_MeasTime_1ms: Initial sync: %d, last: %d"
                          : lastX != 7 && x == 7 ? "timeserv_MeasTime_1ms: External sync: %d, last: %d"
                                                 : nullptr;
        if (why) {
            // The rasters are released at the next tick, one millisecond on; the soft scheduler
            // takes the slot stamped now as the first on the new count.
            rasterTaskSyncTo100ms(t + 10);
            if (auto sync = softSchedSync.load()) sync(t);
            syslogx(LOG_DEBUG, why, static_cast<int>(t), static_cast<int>(measTime.load()));
            if (lastX == 255) s = TIME_SYNC_FULL;
        }
        lastX = x;
    }
    measTime = s == TIME_SYNC_FULL ? t : measTime + 10;
}

void timeserv_setSoftSchedSync(void (*sync)(uint32_t measTime)) {
    softSchedSync = sync;
}

uint32_t timeserv_getMeasTime() {
    return measTime;
}

void timeserv_reset() {
    qualifier = 0;
    master = false;
    masterKnown = false;
    masterId = masterBoot = 0;
    masterPid = 0;
    changeCount = 0;
    candidate = 0;
    multiMaster = 0;
    waiting = true;
    measTime = 0;
    measInit = false;
    lastX = 255;
    ciSend = nullptr;
    ciReady = nullptr;
}
