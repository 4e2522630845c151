#include "services/syslog/syslog.h"
#include "services/syslog/syslog_private.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

uint8_t gSyslogEnabled = 1;
uint8_t gSyslogThreshold = 7;
char syslogDeviceNameString[16] = "KVX2_VYN";

namespace {

constexpr int QUEUE_MSGS = 1024;
constexpr int TASK_TEXT_MAX = 40;

std::atomic<uint16_t> gSyslogMsgCtr[8];
std::atomic<bool> queueSetUp{false};
std::atomic<bool> gSyslogInit{false};
std::atomic<bool> queueFull{false};
MSG_Q_ID syslogQ = nullptr;
MSG_Q_ID flashQ = nullptr;
SEM_ID syslogxWriteSem = nullptr;
// Who logs: handed in once the process index and the PID are known.
std::atomic<uint32_t> originIndex{0};
std::atomic<const char*> originLocation{""};

// Repeat state, under syslogxWriteSem.
char lastText[SYSLOG_TEXT_MAX];
char lastTask[TASK_TEXT_MAX];
uint16_t lastPriority;
uint32_t repeatCounter;
uint32_t lastRepeatTime;

uint32_t calendarSeconds() {
    timespec ts{};
    osClockGettime(CLOCK_REALTIME, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
}

uint32_t timeBaseMs() {
    return static_cast<uint32_t>(osHwTimeNs() / 1000000u);
}

void fillDevice(syslog_msg_t* rec) {
    std::snprintf(rec->device, sizeof rec->device, "%s%s", syslogDeviceNameString, originLocation.load());
}

// The task field holds at most 32 characters.
void fillTask(syslog_msg_t* rec, const char* text) {
    size_t n = strnlen(text, 32);
    std::memcpy(rec->task, text, n);
    rec->task[n] = 0;
}

void sendRecord(syslog_msg_t* rec) {
    STATUS r = msgQSend(syslogQ, rec, static_cast<size_t>(syslogx_getMsgLen(rec)), NO_WAIT, MSG_PRI_NORMAL);
    syslogx_handleMsgQSendRet(r);
}

} // namespace

void syslogx_handleMsgQSendRet(int ret) {
    if (ret == OK) {
        queueFull = false;
        return;
    }
    int e = errno;
    if (e == EAGAIN || e == ETIMEDOUT) {
        if (!queueFull.exchange(true))
            std::printf("syslogx_handleMsgQSendRet: msgQSend SyslogMsgQ rtp#%d full ERRNO: %s\n",
                        static_cast<int>(originIndex.load()), std::strerror(e));
        return;
    }
    std::printf("syslogx_handleMsgQSendRet: msgQSend SyslogMsgQ rtp#%d ERRNO: %s\n",
                static_cast<int>(originIndex.load()), std::strerror(e));
}

int syslog_queue_init() {
    if (queueSetUp) return 1;
    // The mutex exists before anything can log (creating it on first use races).
    if (!syslogxWriteSem) syslogxWriteSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    syslogQ = msgQOpen("/syslogq", QUEUE_MSGS, SYSLOG_RECORD_MAX, MSG_Q_FIFO, 0);
    if (syslogQ) {
        syslogx(LOG_ERR, "Syslog_init: SyslogMsgQ named queue was already there!");
    } else {
        syslogQ = msgQOpen("/syslogq", QUEUE_MSGS, SYSLOG_RECORD_MAX, MSG_Q_FIFO, OM_CREATE);
        if (!syslogQ) std::printf("msgQCreate. SyslogMsgQ ERRNO: %s\n", std::strerror(errno));
    }
    flashQ = msgQCreate(QUEUE_MSGS, SYSLOG_RECORD_MAX, MSG_Q_FIFO);
    if (!flashQ) syslogx(LOG_ERR, "Syslog_init: SyslogFlashMsgQ create failed!");
    queueSetUp = syslogQ != nullptr;
    return 1;
}

void syslog_setOrigin(uint32_t index, const char* location) {
    originIndex = index;
    originLocation = location ? location : "";
}

MSG_Q_ID syslog_getQueue() {
    return queueSetUp ? syslogQ : nullptr;
}
MSG_Q_ID syslog_getFlashQueue() {
    return queueSetUp ? flashQ : nullptr;
}

int syslog_init() {
    if (!queueSetUp || !syslogQ) return 8;
    gSyslogInit = true;
    return 0;
}

SEM_ID syslog_init_sem_check() {
    if (!syslogxWriteSem) syslogxWriteSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return syslogxWriteSem;
}

void get_task_name(char* buf, int size) {
    if (!buf || size <= 0) return;
    const char* n = taskName(taskIdSelf());
    std::snprintf(buf, static_cast<size_t>(size), "%s", n && *n ? n : "unknown_taskname");
}

int syslogx_getMsgLen(const syslog_msg_t* msg) {
    size_t n = strnlen(msg->text, SYSLOG_TEXT_MAX - 1);
    return static_cast<int>(offsetof(syslog_msg_t, text) + n + 1);
}

void syslogx(int priority, const char* format, ...) {
    gSyslogMsgCtr[priority & 7]++;
    if (!gSyslogEnabled || (priority & 7) > gSyslogThreshold || !gSyslogInit) return;

    syslog_msg_t rec;
    std::memset(&rec, 0, offsetof(syslog_msg_t, text));
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(rec.text, sizeof rec.text, format, ap);
    va_end(ap);
    char task[TASK_TEXT_MAX];
    get_task_name(task, sizeof task);

    SEM_ID sem = syslog_init_sem_check();
    if (sem && semTake(sem, WAIT_FOREVER) == OK) {
        if (std::strncmp(rec.text, lastText, SYSLOG_TEXT_MAX) == 0 &&
            std::strncmp(task, lastTask, TASK_TEXT_MAX) == 0) {
            repeatCounter++;
            lastRepeatTime = calendarSeconds();
            if (repeatCounter < 99) {
                semGive(sem);
                return;
            }
        }
        std::memcpy(lastText, rec.text, SYSLOG_TEXT_MAX);
        if (repeatCounter != 0) {
            syslog_msg_t rep;
            std::memset(&rep, 0, sizeof rep);
            rep.priority = lastPriority;
            rep.time = lastRepeatTime;
            char field[TASK_TEXT_MAX + 4];
            std::snprintf(field, sizeof field, "[%s]", lastTask);
            fillTask(&rep, field);
            fillDevice(&rep);
            std::snprintf(rep.text, sizeof rep.text, "Last message repeated %d times.",
                          static_cast<int>(repeatCounter + 1));
            repeatCounter = 0;
            sendRecord(&rep);
        }
        std::memcpy(lastTask, task, TASK_TEXT_MAX);
        lastPriority = static_cast<uint16_t>(priority);
        semGive(sem);
    }

    rec.priority = static_cast<uint16_t>(priority);
    rec.time = calendarSeconds();
    char field[TASK_TEXT_MAX + 16];
    std::snprintf(field, sizeof field, "%d %s", static_cast<int>(timeBaseMs() % 100000u), task);
    fillTask(&rec, field);
    fillDevice(&rec);
    sendRecord(&rec);
}

bool syslogx_floodcheck(std::atomic<uint8_t>* counter) {
    uint8_t c = counter->load(std::memory_order_relaxed);
    for (;;) {
        if (c > 13) return false;
        uint8_t next = static_cast<uint8_t>(c + 1);
        if (counter->compare_exchange_weak(c, next, std::memory_order_relaxed)) {
            if (c < 13) return true;
            syslogss_floodwarn(counter);
            return false;
        }
    }
}

bool syslogx_rateguard(SyslogRateGuard* g) {
    const uint32_t now = tickGet();
    const uint32_t interval = static_cast<uint32_t>(sysClkRateGet()) * SYSLOG_RATE_INTERVAL_S;
    // windowStart is the interval's first tick + 1; 0 before the first line.
    uint32_t start = g->windowStart.load(std::memory_order_relaxed);
    if ((start == 0 || now - (start - 1) >= interval) &&
        g->windowStart.compare_exchange_strong(start, now + 1, std::memory_order_relaxed)) {
        // This task opens the new interval and tells what the last one swallowed.
        g->count.store(0, std::memory_order_relaxed);
        const uint32_t lost = g->suppressed.exchange(0, std::memory_order_relaxed);
        if (lost)
            syslogx(LOG_ERR, "Syslogx message 0x%08x: %u similar messages suppressed",
                    static_cast<unsigned>(reinterpret_cast<uintptr_t>(g)), static_cast<unsigned>(lost));
    }
    if (g->count.fetch_add(1, std::memory_order_relaxed) < SYSLOG_RATE_LINES) return true;
    g->suppressed.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void syslogx_rateguard_reset(SyslogRateGuard* g) {
    g->windowStart.store(0, std::memory_order_relaxed);
    g->count.store(0, std::memory_order_relaxed);
    g->suppressed.store(0, std::memory_order_relaxed);
}

void syslogss_floodwarn(const void* counter) {
    // The call site is named by its counter's address (low 32 bits on a 64-bit host).
    syslogx(LOG_ERR, "Flooding suspicion! Syslogx message 0x%08x will be suppressed in future",
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(counter)));
}

uint16_t syslog_getMsgCtr(int severity) {
    return gSyslogMsgCtr[severity & 7].load();
}

void syslog_reset() {
    SEM_ID sem = syslog_init_sem_check();
    semTake(sem, WAIT_FOREVER);
    std::memset(lastText, 0, sizeof lastText);
    std::memset(lastTask, 0, sizeof lastTask);
    lastPriority = 0;
    repeatCounter = 0;
    lastRepeatTime = 0;
    semGive(sem);
    for (auto& c : gSyslogMsgCtr)
        c = 0;
    queueFull = false;
    gSyslogEnabled = 1;
    gSyslogThreshold = 7;
}
