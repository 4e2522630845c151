// System log: every log line of the process goes through syslogx to "/syslogq".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/os/os.h"

// Priorities (facility 18): alert, critical, error, warning, notice, information, debug.
constexpr int LOG_ALERT = 145;
constexpr int LOG_CRIT = 146;
constexpr int LOG_ERR = 147;
constexpr int LOG_WARN = 148;
constexpr int LOG_NOTICE = 149;
constexpr int LOG_INFO = 150;
constexpr int LOG_DEBUG = 151;
// The second band (facility 19): the network, measurement and start-up paths log there.
constexpr int LOG2_ERR = 155;
constexpr int LOG2_WARN = 156;
constexpr int LOG2_NOTICE = 157;
constexpr int LOG2_INFO = 158;
constexpr int LOG2_DEBUG = 159;
// A third band (facility 17): the socket registry and the XCP master's UDP transport log there.
constexpr int LOG3_ERR = 139;
constexpr int LOG3_DEBUG = 143;
// Bare levels without facility: the CAN output's configuration check and the command queue log so.
constexpr int LOG_BARE_ERR = 3;
constexpr int LOG_BARE_DEBUG = 7;

constexpr int SYSLOG_TEXT_MAX = 200; // text field incl. NUL
constexpr int SYSLOG_RECORD_MAX = 264;

// The record sent to "/syslogq" (little-endian, packed as laid out).
struct syslog_msg_t {
    uint32_t priority;
    uint32_t time;
    char task[40];
    char device[16];
    char text[SYSLOG_TEXT_MAX];
};
static_assert(sizeof(syslog_msg_t) == SYSLOG_RECORD_MAX);

int syslog_queue_init();
int syslog_init();
// The process index (for the log's own error texts) and the location suffix of this unit's
// PID (device field), handed in once both are known.
void syslog_setOrigin(uint32_t index, const char* location);
MSG_Q_ID syslog_getQueue();
MSG_Q_ID syslog_getFlashQueue();
void syslogx(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void syslogss_floodwarn(const void* counter);
void get_task_name(char* buf, int size);
int syslogx_getMsgLen(const syslog_msg_t* msg);
void syslogx_handleMsgQSendRet(int ret);
SEM_ID syslog_init_sem_check();

// Call-site flood guard: the first 13 occurrences log, the 14th gives one flood warning,
// later ones are silent. Returns true when the caller should log.
bool syslogx_floodcheck(std::atomic<uint8_t>* counter);

#define SYSLOGX_GUARDED(prio, ...)                                                                           \
    do {                                                                                                     \
        static std::atomic<uint8_t> syslogx_site_counter_{0};                                                \
        if (syslogx_floodcheck(&syslogx_site_counter_)) syslogx((prio), __VA_ARGS__);                        \
    } while (0)

// Guard of lines that report a lasting condition (late ticks, power dips): at most
// SYSLOG_RATE_LINES lines per SYSLOG_RATE_INTERVAL_S seconds, then silence; the first line of
// a later interval is preceded by one line that counts what was suppressed. Unlike the flood
// guard it never goes quiet for good.
constexpr uint32_t SYSLOG_RATE_LINES = 3;
constexpr uint32_t SYSLOG_RATE_INTERVAL_S = 10;
struct SyslogRateGuard {
    std::atomic<uint32_t> windowStart{0};
    std::atomic<uint32_t> count{0};
    std::atomic<uint32_t> suppressed{0};
};
bool syslogx_rateguard(SyslogRateGuard* guard);
// A guard as new, for the owner of a slot that is used again: what it held back goes untold.
void syslogx_rateguard_reset(SyslogRateGuard* guard);

#define SYSLOGX_RATE_GUARDED(prio, ...)                                                                      \
    do {                                                                                                     \
        static SyslogRateGuard syslogx_site_guard_;                                                          \
        if (syslogx_rateguard(&syslogx_site_guard_)) syslogx((prio), __VA_ARGS__);                           \
    } while (0)
