#include "platform/sysproc/sysproc.h"

#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <atomic>
#include <unistd.h>

namespace sysproc {

namespace {

struct State {
    std::mutex writeMutex; // one line at a time, in both outputs
    int logFd = -1;
    // The standard output the unit started with: the process shell redirects descriptor 1
    // into its pipe, and the log must not go there.
    int outFd = -1;
    // Set by start() while the collector of an earlier start may run.
    std::atomic<MSG_Q_ID> queue{nullptr};
    TASK_ID reader = TASK_ID_NULL;
    // drain: zero-length markers travel through the queue behind the records
    std::mutex drainSerial;
    std::mutex markerMutex;
    std::condition_variable markerCv;
    uint64_t markersSent = 0;
    uint64_t markersSeen = 0;
};

State& S() {
    static State* s = new State; // the collector task outlives every destructor
    return *s;
}

void writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return; // a closed output loses the line, not the process
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void writeLine(const std::string& line) {
    State& s = S();
    std::string out = line + "\n";
    std::lock_guard<std::mutex> g(s.writeMutex);
    writeAll(s.outFd >= 0 ? s.outFd : STDOUT_FILENO, out.data(), out.size());
    if (s.logFd >= 0) writeAll(s.logFd, out.data(), out.size());
}

void collectorBody() {
    State& s = S();
    char buf[SYSLOG_RECORD_SIZE];
    for (;;) {
        int n = msgQReceive(s.queue, buf, sizeof buf, WAIT_FOREVER);
        if (n == ERROR) {
            if (errno == EINVAL) return; // queue deleted
            continue;
        }
        if (n == 0) {
            std::lock_guard<std::mutex> g(s.markerMutex);
            s.markersSeen++;
            s.markerCv.notify_all();
            continue;
        }
        writeLine(formatRecord(buf, static_cast<size_t>(n)));
    }
}

std::string field(const char* p, size_t max) {
    std::string f(p, strnlen(p, max));
    return f.empty() ? "-" : f;
}

} // namespace

std::string formatRecord(const void* record, size_t len) {
    const char* r = static_cast<const char*>(record);
    if (len < 64) return "? - -: (log record of " + std::to_string(len) + " bytes, too short)";
    uint32_t priority;
    std::memcpy(&priority, r, 4);
    std::string text(r + 64, strnlen(r + 64, len - 64));
    // A record is one line: a closing newline is dropped, inner ones are shown escaped.
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::string shown;
    for (char c : text) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else
            shown += c;
    }
    return std::to_string(priority) + " " + field(r + 48, 16) + " " + field(r + 8, 40) + ": " + shown;
}

bool start(const std::string& unitDir, std::string* error) {
    State& s = S();
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    };
    if (!shmMap(APPLCOMM_SHM, APPLCOMM_SIZE, true)) return fail(std::string("cannot create ") + APPLCOMM_SHM);
    // The status block's lock starts free.
    if (!semOpen(APPLCOMM_SEM, SEM_TYPE_BINARY, SEM_FULL, SEM_Q_PRIORITY, OM_CREATE))
        return fail(std::string("cannot create ") + APPLCOMM_SEM);
    MSG_Q_ID q = msgQOpen(SYSLOG_QUEUE, SYSLOG_QUEUE_MSGS, SYSLOG_RECORD_SIZE, MSG_Q_FIFO, OM_CREATE);
    if (!q) return fail(std::string("cannot create ") + SYSLOG_QUEUE);
    for (const char* name : MEASAPP_QUEUES)
        if (!msgQOpen(name, MEASAPP_QUEUE_MSGS, MEASAPP_QUEUE_MSG_SIZE, MSG_Q_FIFO, OM_CREATE))
            return fail(std::string("cannot create ") + name);
    SEM_ID tick = semOpen(BASETICK_SEM, SEM_TYPE_BINARY, SEM_EMPTY, SEM_Q_PRIORITY, OM_CREATE);
    if (!tick) return fail(std::string("cannot create ") + BASETICK_SEM);

    const std::string logPath = unitDir + "/vyn.log";
    int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot open " + logPath);
    {
        std::lock_guard<std::mutex> g(s.writeMutex);
        if (s.outFd < 0) s.outFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (s.logFd >= 0) ::close(s.logFd);
        s.logFd = fd;
    }
    s.queue = q;
    if (s.reader == TASK_ID_NULL) {
        s.reader = taskSpawnFn("tLogCollect", 250, 0, 65536, collectorBody);
        if (s.reader == TASK_ID_NULL) return fail("cannot start the log collector");
    }
    sim::setBaseTick(tick);
    return true;
}

void drainLog() {
    State& s = S();
    if (s.reader == TASK_ID_NULL || taskIdSelf() == s.reader) return;
    std::lock_guard<std::mutex> serial(s.drainSerial);
    // Wall-clock limits: in stepped time the caller may be the one that advances ticks.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    OsExternalWait away; // the collector needs the processor a stepped task or tick would hold
    static const char none = 0;
    while (msgQSend(s.queue, &none, 0, NO_WAIT, MSG_PRI_NORMAL) != OK) {
        if (std::chrono::steady_clock::now() > deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::unique_lock<std::mutex> lk(s.markerMutex);
    uint64_t target = ++s.markersSent;
    s.markerCv.wait_until(lk, deadline, [&] { return s.markersSeen >= target; });
}

void platformLog(int priority, const char* device, const char* task, const std::string& text) {
    drainLog();
    writeLine(std::to_string(priority) + " " + device + " " + task + ": " + text);
}

void stop() {
    drainLog();
    State& s = S();
    std::lock_guard<std::mutex> g(s.writeMutex);
    if (s.logFd >= 0) ::close(s.logFd);
    s.logFd = -1;
}

} // namespace sysproc
