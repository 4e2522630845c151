// The post-run semaphore: `main` waits on it after start-up; whoever asks for the process
// to end in order (the shell's reset, a calibration store, a page-set change, the ignition)
// gives it.
#include "services/rtpman/rtpman.h"

#include "platform/os/os.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
SEM_ID semPostrun;
std::atomic<uint8_t> semPostrun_valid{0};
std::atomic<uint8_t> rtpShutdownStarted{0};
} // namespace

void rtp_openPostrun(uint32_t index) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%d", "/SemPostDrive", static_cast<int>(index));
    semPostrun = semOpen(name, SEM_TYPE_BINARY, SEM_EMPTY, SEM_Q_FIFO, OM_CREATE);
    if (!semPostrun) {
        syslogx(LOG_ERR, "failed to create semaphore, %s (%s)", name, std::strerror(errno));
        // Without it nobody could end the process in order: wait on a local one instead,
        // which the shell and XCP still reach through startPostrun.
        semPostrun = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        if (!semPostrun) return;
        syslogx(LOG_ERR, "post-run semaphore %s replaced by a process-local one", name);
    }
    semPostrun_valid = 1;
}

int startPostrun() {
    if (!semPostrun_valid) {
        syslogx(LOG_ERR, "startPostrun: rejected, Sem not ready");
        return -1;
    }
    return semGive(semPostrun);
}

void rtp_waitPostrun() {
    if (semPostrun_valid) semTake(semPostrun, WAIT_FOREVER);
}

uint8_t isRtpShutdownStarted() {
    return rtpShutdownStarted;
}

void rtp_setShutdownStarted() {
    rtpShutdownStarted = 1;
}
