// Lap trigger between units: the laptrigger master's lap state, the lap messages it sends and
// the handlers of command group 0x12.
#include "acquisition/lap/laptrigger.h"

#include "acquisition/awm/fuelcons.h"
#include "acquisition/awm/lapfunc.h"
#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "platform/os/os.h"
#include "services/raster/raster.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/sysrole/sysrole.h"
#include "services/timemod/timemod.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;
struct LapState {
    uint32_t lapTime; // 0.01 s
    uint32_t timestamp;
    uint16_t lap, outing;
    bool valid;
};

std::atomic<SEM_ID> stateLock{nullptr};
LapState state;
std::atomic<const LaptriggerHooks*> hooks{nullptr};
std::atomic<uint64_t> lastPeriodic{0};
std::atomic<bool> periodicSent{false};
// The master: the units its last update reached whose channel stayed up since (under the state
// lock). Another unit: whether the master answered the state request, and when it was asked last.
uint64_t updated;
bool updateSent;
std::atomic<bool> answered{false};
uint64_t askedAt;
bool asked;

SEM_ID lockSem() {
    SEM_ID m = stateLock.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!stateLock.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}
struct Guard {
    SEM_ID s = lockSem();
    Guard() { semTake(s, WAIT_FOREVER); }
    ~Guard() { semGive(s); }
};

uint32_t centi(float s) {
    const double v = std::round(static_cast<double>(s) * 100.0);
    return v > 0 && v < 4294967295.0 ? static_cast<uint32_t>(v) : 0;
}

void setState(uint16_t lap, uint16_t outing, uint32_t lapTime, uint32_t timestamp) {
    Guard g;
    state = {lapTime, timestamp, lap, outing, true};
}

bool isMaster() {
    return cfg_system.ltm_pid == AppMan_getPID();
}

void send(uint32_t kind, uint64_t targets = laptrigger_targets()) {
    LapState s;
    {
        Guard g;
        s = state;
    }
    const uint16_t own = AppMan_getPID();
    for (uint16_t pid = 1; pid < 64; ++pid) {
        if (!(targets >> pid & 1)) continue;
        uint8_t m[CI_HEADER + LAPTRIGGER_MSG_SIZE] = {};
        ci_set_header(m, {static_cast<uint16_t>(LAPTRIGGER_MSG_SIZE), own, pid, 0, 0, 0x1200});
        uint8_t* p = m + CI_HEADER;
        put_be16(p, own);
        put_be16(p + 2, pid);
        put_be32(p + 4, kind);
        float fuel = 0.0f; // without a fuel consumption function
        fuelconsGet_FuelLap(&fuel);
        uint32_t fuelBits;
        std::memcpy(&fuelBits, &fuel, sizeof fuelBits);
        put_be32(p + 8, fuelBits);
        put_be32(p + 12, s.lapTime);
        put_be16(p + 16, s.lap);
        put_be16(p + 18, s.outing);
        comint_put_cmd(m, 1);
    }
}

// The payload holds at least `need` bytes.
bool payload(const uint8_t* m, size_t len, size_t need, const char* who) {
    if (!m || len < CI_HEADER) return false;
    const CiHeader h = ci_header(m);
    if (h.length >= need && len >= CI_HEADER + need) return true;
    SYSLOGX_GUARDED(LOG_ERR, "%s: payload of %u bytes from PID 0x%X, %u needed", who,
                    static_cast<unsigned>(h.length), h.source, static_cast<unsigned>(need));
    return false;
}

// A request to the lap function, served once it is operational.
void request(const char* what, void (*fn)()) {
    if (!awm_0x08_lapfunc_configured()) return;
    SYSLOGX_RATE_GUARDED(LOG_DEBUG, "laptrigger: %s requested", what);
    fn();
}

} // namespace

void laptrigger_setHooks(const LaptriggerHooks* h) {
    hooks = h;
}

uint64_t laptrigger_targets() {
    const uint16_t own = AppMan_getPID();
    uint64_t mask = comint_get_connect_mask();
    if (own < 64) mask &= ~(uint64_t{1} << own);
    return mask & ~uint64_t{1};
}

void laptrigger_init(uint16_t lap, uint16_t outing, float lapTime) {
    setState(lap, outing, centi(lapTime), 0);
}

namespace {
// The master's update goes to the units with a channel now; the others get it when theirs
// comes up, or back (laptrigger_10ms).
void sendUpdate() {
    if (!isMaster()) return;
    const uint64_t targets = laptrigger_targets();
    {
        Guard g;
        updated = targets;
        updateSent = true;
    }
    send(LAPTRIGGER_UPDATE, targets);
}
} // namespace

void laptrigger_update(uint16_t lap, uint16_t outing, float lapTime) {
    setState(lap, outing, centi(lapTime), time_getTimestamp());
    sendUpdate();
}

void laptrigger_event(uint16_t lap, uint16_t outing, float lapTime) {
    if (cfg_system.ltm_remote) return; // the master's messages count this unit's laps
    setState(lap, outing, centi(lapTime), time_getTimestamp());
    SYSLOGX_RATE_GUARDED(LOG_INFO, "laptrigger: lap %u of outing %u, lap time %u.%02u s", lap, outing,
                         static_cast<unsigned>(centi(lapTime) / 100),
                         static_cast<unsigned>(centi(lapTime) % 100));
    if (const LaptriggerHooks* h = hooks.load(); h && h->lap) h->lap(lap, outing);
    raster_triggerTask(RASTER_EVENT_LAP);
    if (isMaster()) send(LAPTRIGGER_EVENT);
}

void laptrigger_set(uint16_t lap, uint16_t outing, float lapTime) {
    if (cfg_system.ltm_remote) return;
    setState(lap, outing, centi(lapTime), time_getTimestamp());
    SYSLOGX_RATE_GUARDED(LOG_INFO, "laptrigger: counters set to lap %u of outing %u", lap, outing);
    if (const LaptriggerHooks* h = hooks.load(); h && h->set) h->set(lap, outing);
    sendUpdate();
}

void laptrigger_10ms() {
    if (isMaster()) {
        uint64_t missed;
        {
            Guard g;
            // A unit whose channel dropped may have restarted and lost the counters: it gets the
            // update again when it returns.
            const uint64_t up = laptrigger_targets();
            updated &= up;
            missed = updateSent ? up & ~updated : 0;
            updated |= missed;
        }
        if (missed) send(LAPTRIGGER_UPDATE, missed);
        return;
    }
    const uint16_t master = cfg_system.ltm_pid;
    if (!cfg_system.ltm_remote || answered || master >= 64 || !(laptrigger_targets() >> master & 1)) return;
    const uint64_t now = tick64Get();
    if (asked && now - askedAt < static_cast<uint64_t>(sysClkRateGet())) return;
    asked = true;
    askedAt = now;
    uint8_t m[CI_HEADER + 4] = {};
    ci_set_header(m, {4, AppMan_getPID(), master, 0, 0, 0x1201});
    comint_put_cmd(m, 1);
}

uint32_t laptrigger_getLapTimeStamp() {
    Guard g;
    return state.timestamp;
}

void laptrigger_signal_cmd(const uint8_t* m, size_t len) {
    if (!payload(m, len, LAPTRIGGER_MSG_SIZE, "laptrigger_signal_cmd")) return;
    const CiHeader h = ci_header(m);
    if (h.source != cfg_system.ltm_pid) {
        SYSLOGX_GUARDED(LOG_WARN,
                        "laptrigger_signal_cmd: lap message of PID 0x%X ignored, laptrigger master is 0x%X",
                        h.source, cfg_system.ltm_pid);
        return;
    }
    const uint8_t* p = m + CI_HEADER;
    const uint32_t kind = get_be32(p + 4), lapTime = get_be32(p + 12);
    const uint16_t lap = get_be16(p + 16), outing = get_be16(p + 18);
    bool known;
    {
        Guard g;
        known = state.valid && state.lap == lap && state.outing == outing;
    }
    const LaptriggerHooks* hk = hooks.load();
    if (kind == LAPTRIGGER_EVENT || kind == LAPTRIGGER_UPDATE) {
        // A lap the unit has already taken (the message came twice) is not counted again.
        if (kind == LAPTRIGGER_EVENT && known) return;
        setState(lap, outing, lapTime, time_getTimestamp());
        if (hk && (kind == LAPTRIGGER_EVENT ? hk->lap : hk->set))
            (kind == LAPTRIGGER_EVENT ? hk->lap : hk->set)(lap, outing);
        // An event closes the lap's fuel through the lap hook; an update closes it here.
        if (kind == LAPTRIGGER_UPDATE) awm_0x0A_fuelcons_setLaptrigger();
        if (awm_0x08_lapfunc_configured()) lapfuncUpdate_LapOut(lap, outing);
        SYSLOGX_RATE_GUARDED(LOG_INFO, "laptrigger: %s of PID 0x%X: lap %u of outing %u",
                             kind == LAPTRIGGER_EVENT ? "lap" : "update", h.source, lap, outing);
        raster_triggerTask(RASTER_EVENT_LAP);
    } else if (kind == LAPTRIGGER_PERIODIC) {
        if (!known) {
            setState(lap, outing, lapTime, time_getTimestamp());
            if (hk && hk->set) hk->set(lap, outing);
            if (awm_0x08_lapfunc_configured()) lapfuncUpdate_LapOut(lap, outing);
        }
        raster_triggerTask(RASTER_EVENT_LAP_SB_PER);
    } else {
        SYSLOGX_GUARDED(LOG_WARN, "laptrigger_signal_cmd: kind 0x%X of PID 0x%X unknown",
                        static_cast<unsigned>(kind), h.source);
    }
}

void laptrigger_get_info_cmd(const uint8_t* m, size_t len) {
    if (!m || len < CI_HEADER || !isMaster()) return;
    const CiHeader h = ci_header(m);
    LapState s;
    {
        Guard g;
        s = state;
    }
    uint8_t r[CI_HEADER + LAPTRIGGER_INFO_SIZE] = {};
    ci_set_header(r, {static_cast<uint16_t>(LAPTRIGGER_INFO_SIZE), AppMan_getPID(), h.source, h.context2,
                      h.context1, 0x1202});
    uint8_t* p = r + CI_HEADER;
    if (h.length >= 4 && len >= CI_HEADER + 4) std::memcpy(p, m + CI_HEADER, 4);
    put_be32(p + 4, s.lapTime);
    put_be32(p + 8, s.timestamp);
    put_be16(p + 12, s.lap);
    put_be16(p + 14, s.outing);
    comint_put_cmd(r, 1);
}

void laptrigger_get_info_reply_cmd(const uint8_t* m, size_t len) {
    if (!payload(m, len, LAPTRIGGER_INFO_SIZE, "laptrigger_get_info_reply_cmd")) return;
    if (ci_header(m).source != cfg_system.ltm_pid) return; // only the master's state counts
    answered = true;
    const uint8_t* p = m + CI_HEADER;
    if (const LaptriggerHooks* h = hooks.load(); h && h->answer)
        h->answer(get_be16(p + 12), get_be16(p + 14));
}

void laptrigger_meas(const uint8_t*, size_t) {
    const uint64_t now = tick64Get(), period = static_cast<uint64_t>(LAPTRIGGER_PERIOD_S) * sysClkRateGet();
    if (periodicSent && now - lastPeriodic < period) return;
    periodicSent = true;
    lastPeriodic = now;
    send(LAPTRIGGER_PERIODIC);
}

void laptrigger_check_outctr_cmd(const uint8_t*, size_t) {
    if (awm_0x08_lapfunc_configured()) awm_0x08_lapfunc_checkOutCtr();
}
void laptrigger_reset_lap_cmd(const uint8_t*, size_t) {
    request("lap reset", lapfunc_resetLap);
}
void laptrigger_reset_out_cmd(const uint8_t*, size_t) {
    request("outing reset", lapfunc_resetOut);
}
void laptrigger_reset_lapdist_cmd(const uint8_t*, size_t) {
    request("lap distance reset", lapfunc_resetLapDist);
}
void laptrigger_reset_best_laptime_cmd(const uint8_t*, size_t) {
    request("best lap time reset", lapfunc_resetBestLapTime);
}
void laptrigger_incr_outing_cmd(const uint8_t*, size_t) {
    request("outing increment", lapfunc_incrOuting);
}
void laptrigger_incr_lap_cmd(const uint8_t*, size_t) {
    request("lap increment", lapfunc_incrLap);
}
void laptrigger_reset_segments_cmd(const uint8_t*, size_t) {
    request("segments reset", lapfunc_resetSegments);
}

void laptrigger_reset() {
    {
        Guard g;
        state = {};
    }
    hooks = nullptr;
    periodicSent = false;
    lastPeriodic = 0;
    updated = 0;
    updateSent = false;
    answered = false;
    asked = false;
}
