// Logging application: request flags, their 1 ms step and the logging drives.
#include "logging/measapp/measapp.h"

#include "logging/measapp/measapp_tele.h"

#include "calibration/virtchan/virtchan.h"
#include "services/sysrole/sysrole.h"
#include "platform/os/os.h"
#include "services/fileutil/fileutil.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstdio>

uint32_t meas_maxFileCnt_part1;
uint32_t meas_maxFileCnt_part2;
uint32_t meas_maxFileCnt_usb;

namespace {

constexpr uint16_t ANY_REQUEST = MEAS_APP_REQ_START | MEAS_APP_REQ_STOP | MEAS_APP_REQ_REINIT |
                                 MEAS_APP_REQ_DESTROY | MEAS_APP_REQ_BLOCKSTOP | MEAS_APP_REQ_FASTSTOP |
                                 MEAS_APP_REQ_STARTCOND;

// Changed under the lock (remote control from several tasks, the 1 ms step); read freely.
std::atomic<uint16_t> flags{0};
std::atomic<SEM_ID> flagMutex{nullptr};
std::atomic<uint8_t> teleConfigPending{0}, teleStartPending{0};

SEM_ID flagLock() {
    SEM_ID m = flagMutex.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!made) return nullptr;
    if (!flagMutex.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

// Runs fn on the flags under the lock and stores what it returns. False when the lock failed.
template <typename Fn> bool withFlags(const char* who, Fn fn) {
    SEM_ID lock = flagLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "%s: semTake error", who);
        return false;
    }
    flags = fn(flags.load());
    semGive(lock);
    return true;
}

bool loggingActive() {
    return cfg_system.logging_active == 1;
}

const char* const LOGGING_DRIVES[] = {"meas:", "meas2:"};

} // namespace

void meas_app_ini() {
    flags = 0;
    syslogx(LOG_INFO, "meas_app_ini: no measurement configured");
    // The telemetry measurement names variables that the channel archive's task may still be
    // entering: the step configures it once they are in (or the task found none). It has no
    // start condition: it starts then.
    teleConfigPending = 1;
    teleStartPending = 1;
}

int meas_app_BootPrepareDisks(int, int timeoutTicks) {
    for (int waited = 0;; ++waited) {
        bool ready = true;
        for (const char* d : LOGGING_DRIVES)
            ready = ready && driveAvailable(d) == 0;
        if (ready) return 0;
        if (waited >= timeoutTicks) return -1;
        taskDelay(1);
    }
}

void meas_app_main() {
    if (teleConfigPending.load() && meascalinfo_virtchan_loaded()) {
        meas_app_tele_ini();
        teleConfigPending = 0;
    }
    if (!teleConfigPending.load() && teleStartPending.exchange(0)) meas_app_tele_start();
    if (!(flags.load() & ANY_REQUEST)) return;
    const uint16_t before = flags.load();
    withFlags("meas_app_main", [](uint16_t f) {
        if (f & MEAS_APP_REQ_FASTSTOP) f &= ~(MEAS_APP_REQ_FASTSTOP | MEAS_APP_REQ_START | MEAS_APP_RUNNING);
        if (f & MEAS_APP_REQ_DESTROY)
            f &= ~(MEAS_APP_REQ_DESTROY | MEAS_APP_REQ_STOP | MEAS_APP_REQ_START | MEAS_APP_RUNNING);
        if (f & MEAS_APP_REQ_STOP) f &= ~(MEAS_APP_REQ_STOP | MEAS_APP_RUNNING);
        if (f & MEAS_APP_REQ_BLOCKSTOP) f &= ~MEAS_APP_REQ_BLOCKSTOP;
        if (f & MEAS_APP_REQ_REINIT) f &= ~MEAS_APP_REQ_REINIT;
        if (f & MEAS_APP_REQ_START) f = (f & ~MEAS_APP_REQ_START) | MEAS_APP_RUNNING;
        return static_cast<uint16_t>(f);
    });
    // A start or stop before telemetry is configured is what it starts with.
    if (before & (MEAS_APP_REQ_STOP | MEAS_APP_REQ_DESTROY | MEAS_APP_REQ_FASTSTOP)) {
        teleStartPending = 0;
        meas_app_tele_stop();
    }
    if (before & MEAS_APP_REQ_START && !(before & (MEAS_APP_REQ_FASTSTOP | MEAS_APP_REQ_DESTROY))) {
        if (teleConfigPending.load())
            teleStartPending = 1;
        else
            meas_app_tele_start();
    }
}

uint16_t meas_app_get_flags() {
    return flags.load();
}

int meas_app_PreTrigIsOfflineDataFlushed() {
    return 1;
}

int meas_app_remotestart() {
    int result = 0;
    withFlags("meas_app_remotestart", [&](uint16_t f) {
        if (f & (MEAS_APP_REQ_START | MEAS_APP_REQ_STOP | MEAS_APP_REQ_REINIT | MEAS_APP_REQ_DESTROY)) {
            syslogx(LOG_DEBUG, "meas_app_remotestart: failed %03X", f);
            return f;
        }
        result = 1;
        if (!loggingActive()) return f;
        if (f & MEAS_APP_RUNNING) {
            syslogx(LOG_DEBUG, "meas_app_remotestart: already running %03X, clear events ", f);
            return f;
        }
        f |= MEAS_APP_REQ_START;
        syslogx(LOG_DEBUG, "meas_app_remotestart: %03X", f);
        return f;
    });
    return result;
}

int meas_app_remotestop(uint32_t) {
    int result = 0;
    withFlags("meas_app_remotestop", [&](uint16_t f) {
        if (f & (MEAS_APP_REQ_STARTCOND | MEAS_APP_REQ_STOP | MEAS_APP_REQ_REINIT | MEAS_APP_REQ_DESTROY |
                 MEAS_APP_REQ_BLOCKSTOP))
            return f;
        result = 1;
        return static_cast<uint16_t>((f | MEAS_APP_REQ_STOP) &
                                     ~(MEAS_APP_REQ_START | MEAS_APP_REMOTEINIT_LOCK));
    });
    return result;
}

int meas_app_remoteinit() {
    int result = 0;
    withFlags("meas_app_remoteinit", [&](uint16_t f) {
        if (f & ANY_REQUEST) {
            syslogx(LOG_DEBUG, "meas_app_remoteinit: failed %03X", f);
            return f;
        }
        if (f & MEAS_APP_REMOTEINIT_LOCK) {
            syslogx(LOG_DEBUG, "meas_app_remoteinit locked - 'Send config' or 'meas destroy' used?");
            return f;
        }
        result = 1;
        return static_cast<uint16_t>(f | MEAS_APP_REQ_REINIT);
    });
    return result;
}

int meas_app_remotedestroy(uint32_t requester) {
    int result = 0;
    withFlags("meas_app_remotedestroy", [&](uint16_t f) {
        if (f & (MEAS_APP_REQ_STOP | MEAS_APP_REQ_DESTROY | MEAS_APP_REQ_BLOCKSTOP)) return f;
        result = 1;
        f = static_cast<uint16_t>((f | MEAS_APP_REQ_STOP | MEAS_APP_REQ_DESTROY) &
                                  ~(MEAS_APP_REQ_START | MEAS_APP_REQ_REINIT));
        // A destroy from the shell keeps a remote tool from loading a configuration again
        // until the next stop.
        if (requester == 0) f |= MEAS_APP_REMOTEINIT_LOCK;
        return f;
    });
    return result;
}

void meas_app_remotefaststop() {
    if (!loggingActive()) return;
    withFlags("meas_app_remotefaststop",
              [](uint16_t f) { return static_cast<uint16_t>(f | MEAS_APP_REQ_FASTSTOP); });
}

void meas_app_set_remotectrl_remoteinit_lock() {
    withFlags("meas_app_set_remotectrl_remoteinit_lock",
              [](uint16_t f) { return static_cast<uint16_t>(f | MEAS_APP_REMOTEINIT_LOCK); });
}

void meas_app_print_measstate() {
    const uint16_t f = flags.load();
    std::printf("meas_app flags: 0x%03X (%s)\n", f, (f & MEAS_APP_RUNNING) ? "running" : "stopped");
    std::printf("no measurement configured\n");
    std::fflush(stdout);
}

void meas_app_print_errorPIDS() {
    std::printf("meas_app: no measurement configured, no PID errors\n");
    std::fflush(stdout);
}

void meas_app_saveblock(int) {}
void meas_app_timeout_close(int) {}
void meas_app_check_measconditions() {}
void meas_app_calc_recording_rates() {}
void meas_app_check_datatimeout() {}
void meas_app_checkFragmentTrigOnUSBEvent() {}
void MeasAppStore_checkForFlush() {}
void meas_fifo_data_syslog() {}
void meas_fifo_data_update_load_vars() {}
void cfg_meas_formatInfos_1s() {}

void meas_app_reset() {
    flags = 0;
    teleConfigPending = teleStartPending = 0;
    meas_app_tele_reset();
    if (SEM_ID m = flagMutex.exchange(nullptr)) semDelete(m);
}
