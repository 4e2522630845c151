// Error manager: activations, deactivations, the 100 ms bookkeeping with its published
// variables, and start-up.
#include "services/errmgr/errmgr.h"

#include "services/bytes/bytes.h"
#include "services/raster/raster.h"
#include "services/errmgr/errmgr_private.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"
#include "services/timemod/timemod.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace errmgr {

State state;

namespace {

using bytes::get_le16;
using bytes::get_le32;
using bytes::put_le16;
using bytes::put_le32;

std::atomic<SEM_ID> entryMutex{nullptr};
std::atomic<SEM_ID> storeMutex{nullptr};
std::atomic<uint8_t (*)()> powerGood{nullptr};
// Event logging sits above this module; the start-up hands in its sender.
std::atomic<ErrorMgrEventSink> eventSink{nullptr};

SEM_ID lazyMutex(std::atomic<SEM_ID>& slot) {
    SEM_ID m = slot.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!made) return nullptr;
    if (!slot.compare_exchange_strong(m, made)) {
        semDelete(made); // another task was first
        return m;
    }
    return made;
}

// Reports made before the memory is loaded wait here (under the entries' mutex) and are
// applied in order once it is: error_mgr_init's load would otherwise wipe them.
enum class Op : uint8_t { Set, Clear, ClearAll };
struct Pending {
    Op op;
    uint8_t flags;
    int path;
    int type;
    uint32_t time;
    uint32_t stamp;
};
constexpr int PENDING_MAX = 32;
Pending pending[PENDING_MAX];
int pendingCount;
uint32_t pendingLost;

bool pendingAdd(const Pending& p) {
    if (pendingCount == PENDING_MAX) {
        ++pendingLost;
        return false;
    }
    pending[pendingCount++] = p;
    return true;
}

// Codes stored for a path id (and type id): table rows below 510, raw codes from 510 on.
bool pathCode(int path, uint16_t* code) {
    if (path < 0) return false;
    if (path < ERROR_MGR_RAW_PATH_FIRST) {
        *code = static_cast<uint16_t>(error_mgr_path_event[path].code);
        return true;
    }
    // 0xFFFF marks an unused entry and cannot name a path.
    if (path >= ERROR_MGR_UNUSED) return false;
    *code = static_cast<uint16_t>(path);
    return true;
}

bool typeCode(int path, int type, uint16_t* code) {
    if (path < ERROR_MGR_RAW_PATH_FIRST) {
        if (type < 0 || type >= ERROR_MGR_TYPES) return false;
        *code = static_cast<uint16_t>(error_mgr_type_event[type].code);
        return true;
    }
    if (type < 0 || type > 0xFFFF) return false;
    *code = static_cast<uint16_t>(type);
    return true;
}

// EVENTSOURCE and EVENTLOGGING are the event service's own paths: forwarding them could
// feed back into the service that raised them.
bool forwarded(int path) {
    return path < ERROR_MGR_RAW_PATH_FIRST && path != ERROR_MGR_PATH_EVENTSOURCE &&
           path != ERROR_MGR_PATH_EVENTLOGGING;
}

void forward(int path, uint32_t stamp, uint32_t durationOrActive, int typeId) {
    uint8_t rec[ERROR_MGR_EVENT_SIZE];
    put_le32(rec, static_cast<uint32_t>(path)); // bytes 0 to 2; byte 3 follows
    rec[3] = 1;
    put_le32(rec + 4, stamp);
    put_le32(rec + 8, durationOrActive);
    rec[12] = 3;
    rec[13] = 3;
    if (ErrorMgrEventSink sink = eventSink.load(std::memory_order_acquire))
        sink(rec, error_mgr_path_event[path].text, error_mgr_type_event[typeId].text);
}

int findPath(uint16_t code) {
    for (int i = 0; i < state.count; ++i)
        if (state.entries[i].path == code) return i;
    return -1;
}

void activateLocked(int path, int type, uint8_t flags, uint32_t time, uint32_t stamp) {
    uint16_t pcode = 0, tcode = 0;
    pathCode(path, &pcode);
    typeCode(path, type, &tcode);
    int i = findPath(pcode);
    if (i >= 0 && state.entries[i].type == tcode && (state.entries[i].flags & ERROR_MGR_FLAG_ACTIVE)) return;
    if (i < 0) {
        if (state.count == ERROR_MGR_ENTRIES) {
            std::memmove(&state.entries[0], &state.entries[1], sizeof(Entry) * (ERROR_MGR_ENTRIES - 1));
            i = ERROR_MGR_ENTRIES - 1;
        } else {
            i = state.count++;
        }
        Entry e = unusedEntry();
        e.count = 0;
        e.duration = 0;
        e.flags = 0;
        state.entries[i] = e;
    }
    Entry& e = state.entries[i];
    if (!(e.flags & ERROR_MGR_FLAG_ACTIVE)) {
        e.time = time;
        if (e.count < 255) ++e.count;
        if (forwarded(path)) {
            e.stamp = stamp;
            e.typeId = static_cast<uint16_t>(type);
            forward(path, stamp, 0xFFFFFFFFu, type);
        }
    }
    e.path = pcode;
    e.type = tcode;
    e.flags = static_cast<uint8_t>(ERROR_MGR_FLAG_ACTIVE |
                                   (flags & (ERROR_MGR_FLAG_LAMP | ERROR_MGR_FLAG_HOLD_LAMP)));
    state.changes.fetch_add(1);
}

void deactivateLocked(int path, uint32_t stamp) {
    uint16_t pcode = 0;
    pathCode(path, &pcode);
    const int i = findPath(pcode);
    if (i < 0) return;
    Entry& e = state.entries[i];
    if (!(e.flags & ERROR_MGR_FLAG_ACTIVE)) return;
    e.flags = static_cast<uint8_t>(e.flags & ~ERROR_MGR_FLAG_ACTIVE);
    if (!(e.flags & ERROR_MGR_FLAG_HOLD_LAMP)) e.flags = static_cast<uint8_t>(e.flags & ~ERROR_MGR_FLAG_LAMP);
    state.changes.fetch_add(1);
    if (forwarded(path) && e.typeId < ERROR_MGR_TYPES) forward(path, e.stamp, stamp - e.stamp, e.typeId);
}

void clearAllLocked(uint32_t time) {
    int kept = 0;
    for (int i = 0; i < state.count; ++i) {
        if (!(state.entries[i].flags & ERROR_MGR_FLAG_ACTIVE)) continue;
        Entry e = state.entries[i];
        e.count = 1;
        e.duration = 0;
        e.time = time;
        state.entries[kept++] = e;
    }
    for (int i = kept; i < ERROR_MGR_ENTRIES; ++i)
        state.entries[i] = unusedEntry();
    state.count = static_cast<uint16_t>(kept);
    state.changes.fetch_add(1);
}

void applyPendingLocked() {
    for (int k = 0; k < pendingCount; ++k) {
        const Pending& p = pending[k];
        switch (p.op) {
        case Op::Set:
            activateLocked(p.path, p.type, p.flags, p.time, p.stamp);
            break;
        case Op::Clear:
            deactivateLocked(p.path, p.stamp);
            break;
        case Op::ClearAll:
            clearAllLocked(p.time);
            break;
        }
    }
    pendingCount = 0;
}

void resetRotating() {
    error_location_rotate = 0xFFFF;
    error_type_rotate = 0xFFFF;
    error_act_loc_rotate = 0xFFFF;
    error_act_type_rotate = 0xFFFF;
    error_active_rotate = 0;
    error_state = 0;
    error_num_act = 0;
}

void publish(const Entry* entries, int count, int active) {
    error_state = static_cast<uint8_t>(count == 0 ? 0 : active > 0 ? 2 : 1);
    error_num_entries = static_cast<uint16_t>(count);
    error_num_act = static_cast<uint16_t>(active);
    for (int i = 0; i < ERROR_MGR_ENTRIES; ++i) {
        if (i >= count) {
            error_location[i] = 0;
            error_type[i] = 0;
            error_timestamp[i] = 0;
            error_timestamp_yyyymmdd[i] = 0;
            error_timestamp_hhmmss[i] = 0;
            error_duration[i] = 0;
            error_count[i] = 0;
            error_active[i] = 0;
            error_mil[i] = 0;
            continue;
        }
        const Entry& e = entries[i];
        timespec ts{static_cast<time_t>(e.time), 0};
        date_msd d{};
        conv_time_to_date(&ts, &d);
        error_location[i] = e.path;
        error_type[i] = e.type;
        error_timestamp[i] = e.time;
        error_timestamp_yyyymmdd[i] = d.YEAR * 10000u + d.MONTH * 100u + d.DAY;
        error_timestamp_hhmmss[i] = d.HOUR * 10000u + d.MIN * 100u + d.SEC;
        error_duration[i] = e.duration;
        error_count[i] = e.count;
        error_active[i] = e.flags & ERROR_MGR_FLAG_ACTIVE;
        error_mil[i] = (e.flags & ERROR_MGR_FLAG_LAMP) ? 1 : 0;
    }
}

uint32_t nowStamp() {
    return time_getTimestamp();
}

uint8_t powerIsGood() {
    uint8_t (*source)() = powerGood.load();
    return source ? source() : 1;
}

} // namespace

Entry unusedEntry() {
    Entry e;
    std::memset(&e, 0xFF, sizeof e);
    return e;
}

void encode(const Entry& e, uint8_t out[ERROR_MGR_ENTRY_SIZE]) {
    put_le16(out, e.path);
    put_le16(out + 2, e.type);
    put_le32(out + 4, e.time);
    put_le32(out + 8, e.stamp);
    put_le16(out + 12, e.typeId);
    put_le16(out + 14, e.duration);
    out[16] = e.count;
    out[17] = e.flags;
    out[18] = e.pad[0];
    out[19] = e.pad[1];
}

Entry decode(const uint8_t in[ERROR_MGR_ENTRY_SIZE]) {
    Entry e;
    e.path = get_le16(in);
    e.type = get_le16(in + 2);
    e.time = get_le32(in + 4);
    e.stamp = get_le32(in + 8);
    e.typeId = get_le16(in + 12);
    e.duration = get_le16(in + 14);
    e.count = in[16];
    e.flags = in[17];
    e.pad[0] = in[18];
    e.pad[1] = in[19];
    return e;
}

SEM_ID entryLock() {
    return lazyMutex(entryMutex);
}
SEM_ID storageLock() {
    return lazyMutex(storeMutex);
}

uint32_t nowSeconds() {
    timespec ts{};
    osClockGettime(CLOCK_REALTIME, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
}

} // namespace errmgr

using namespace errmgr;

uint8_t error_mgr_init() {
    SEM_ID lock = entryLock();
    SEM_ID store = storageLock();
    if (!lock || !store) {
        syslogx(LOG_ERR, "error_mgr_init(): SemMCreate error: %d", errno);
        return 0;
    }
    if (semTake(store, WAIT_FOREVER) != OK) return 0;
    if (semTake(lock, WAIT_FOREVER) != OK) {
        semGive(store);
        return 0;
    }
    // Pending reports survive the reset of the manager's state; they are applied on the
    // loaded memory below.
    for (Entry& e : state.entries)
        e = unusedEntry();
    state.count = 0;
    state.lamp = 0;
    state.changes = 0;
    state.stored = 0;
    state.shownAll = -1;
    state.allCountdown = 0;
    state.shownActive = -1;
    state.activeCountdown = 10;
    state.startDelay = 3;
    resetRotating();
    error_num_entries = 0;

    const uint8_t loaded = restoreLocked();
    if (loaded) {
        state.loaded = true;
        if (pendingLost)
            syslogx(LOG_ERR, "error_mgr_init(): %u error report(s) of the start-up lost",
                    static_cast<unsigned>(pendingLost));
        applyPendingLocked();
    }
    semGive(lock);
    semGive(store);
    if (!loaded) return 0;

    if (!raster_hookFunction(
            "ErrorMgr_StateMachine", 72, 100, [](int) { error_mgr_100ms(); }, 4096, RASTER_ANY_CPU,
            RASTER_NO_LIMIT))
        syslogx(LOG_ERR, "error_mgr_init, raster_hookFunction failed! (ErrorMgr_StateMachine)");
    if (!raster_hookFunction(
            "ErrorMgr_Storage", 89, 1000, [](int) { error_mgr_1000ms(); }, 4096, RASTER_ANY_CPU,
            RASTER_NO_LIMIT))
        syslogx(LOG_ERR, "error_mgr_init, raster_hookFunction failed! (ErrorMgr_Storage)");
    return error_mgr_registerShell() ? 1 : 0;
}

int error_mgr_set(int path, int type, uint8_t lamp) {
    error_mgr_set_mdl(path, type, lamp ? ERROR_MGR_FLAG_LAMP : 0);
    return 1;
}

int error_mgr_set_mdl(int path, int type, uint8_t flags) {
    if (!powerIsGood()) return 1;
    uint16_t pcode = 0, tcode = 0;
    if (!pathCode(path, &pcode) || !typeCode(path, type, &tcode)) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_set_mdl(): path %d with type %d refused", path, type);
        return 1;
    }
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_set_mdl(): semTake error");
        return 1;
    }
    const uint32_t time = nowSeconds();
    const uint32_t stamp = nowStamp();
    int result = 0;
    if (state.loaded)
        activateLocked(path, type, flags, time, stamp);
    else if (!pendingAdd({Op::Set, flags, path, type, time, stamp}))
        result = 1;
    semGive(lock);
    return result;
}

int error_mgr_clear(int path) {
    uint16_t pcode = 0;
    if (!pathCode(path, &pcode)) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_clear(): path %d refused", path);
        return 1;
    }
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_clear(): semTake error");
        return 1;
    }
    const uint32_t stamp = nowStamp();
    int result = 0;
    if (state.loaded)
        deactivateLocked(path, stamp);
    else if (!pendingAdd({Op::Clear, 0, path, 0, 0, stamp}))
        result = 1;
    semGive(lock);
    return result;
}

int error_mgr_clear_all() {
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_clear_all(): semTake error");
        return 1;
    }
    const uint32_t time = nowSeconds();
    const bool loaded = state.loaded;
    if (loaded)
        clearAllLocked(time);
    else
        pendingAdd({Op::ClearAll, 0, 0, 0, time, 0});
    semGive(lock);
    if (loaded) resetRotating();
    syslogx(LOG_DEBUG, "error_mgr_clear_all called");
    return 0;
}

int error_mgr_clear_all_gbc() {
    SYSLOGX_GUARDED(
        LOG_WARN,
        "error_mgr_clear_all_gbc(): Obsolete, use dedicated blue-block 'ErrorManagerClearAll(Trig)!");
    return error_mgr_clear_all();
}

uint8_t error_mgr_get_mil_state() {
    return state.lamp.load();
}

int error_mgr_get_path(uint16_t code, uint16_t* typeCodeOut) {
    if (!typeCodeOut) return 3;
    *typeCodeOut = 1;
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_get_path(): semTake error");
        return 0;
    }
    if (code != ERROR_MGR_UNUSED) {
        const int i = findPath(code);
        if (i >= 0) *typeCodeOut = state.entries[i].type;
    }
    semGive(lock);
    return 0;
}

const char* error_mgr_get_path_text(int path) {
    if (path < 0 || path >= ERROR_MGR_RAW_PATH_FIRST) return "";
    return error_mgr_path_event[path].text;
}

int error_mgr_get_version(uint8_t* version) {
    if (!version) return 0;
    *version = 1;
    return 1;
}

int error_mgr_get_state(uint32_t* out) {
    if (!out) return 1;
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) return 1;
    uint32_t s = 0;
    if (state.count > 0) {
        s = 1;
        for (int i = 0; i < state.count; ++i)
            if (state.entries[i].flags & ERROR_MGR_FLAG_ACTIVE) s = 2;
    }
    semGive(lock);
    *out = s;
    return 0;
}

int error_mgr_get_data(uint8_t* buffer, uint32_t size) {
    if (!buffer) return 0;
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_get_data(): semTake error");
        return 0;
    }
    uint32_t n = state.count;
    if (n > size / ERROR_MGR_DATA_RECORD) n = size / ERROR_MGR_DATA_RECORD;
    for (uint32_t i = 0; i < n; ++i) {
        const Entry& e = state.entries[i];
        uint8_t* p = buffer + i * ERROR_MGR_DATA_RECORD;
        put_le16(p, e.path);
        put_le16(p + 2, e.type);
        put_le32(p + 4, e.time);
        put_le16(p + 8, e.duration);
        p[10] = e.count;
        p[11] = e.flags & ERROR_MGR_FLAG_ACTIVE;
    }
    semGive(lock);
    return static_cast<int>(n);
}

void error_mgr_100ms() {
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_100ms(): semTake error");
        return;
    }
    int active = 0;
    uint8_t lamp = 0;
    int count = 0;
    for (; count < state.count && state.entries[count].path != ERROR_MGR_UNUSED; ++count) {
        Entry& e = state.entries[count];
        if (e.flags & ERROR_MGR_FLAG_LAMP) lamp = 1;
        if (!(e.flags & ERROR_MGR_FLAG_ACTIVE)) continue;
        ++active;
        if (e.duration != 0xFFFF) {
            ++e.duration;
            state.changes.fetch_add(1);
        }
    }
    state.lamp = lamp;
    Entry copy[ERROR_MGR_ENTRIES];
    std::memcpy(copy, state.entries, sizeof copy);
    semGive(lock);

    // Every entry in turn, each for 11 cycles.
    if (state.allCountdown == 0) {
        if (count > 0) {
            state.shownAll = state.shownAll + 1 < count ? state.shownAll + 1 : 0;
            const Entry& e = copy[state.shownAll];
            error_location_rotate = e.path;
            error_type_rotate = e.type;
            error_active_rotate = e.flags & ERROR_MGR_FLAG_ACTIVE;
            state.allCountdown = 10;
        }
    } else {
        --state.allCountdown;
    }

    // The active entries in turn, each for 11 cycles.
    if (state.activeCountdown < 10) {
        ++state.activeCountdown;
    } else if (active == 0) {
        error_act_loc_rotate = 0xFFFF;
        error_act_type_rotate = 0xFFFF;
    } else {
        for (int k = 1; k <= count; ++k) {
            const int j = (state.shownActive + k + count) % count;
            if (!(copy[j].flags & ERROR_MGR_FLAG_ACTIVE)) continue;
            error_act_loc_rotate = copy[j].path;
            error_act_type_rotate = copy[j].type;
            state.shownActive = j;
            state.activeCountdown = 0;
            break;
        }
    }
    publish(copy, count, active);
}

void error_mgr_1000ms() {
    if (state.startDelay > 0) {
        --state.startDelay;
        return;
    }
    error_mgr_WriteIntoMedia();
}

int error_mgr_shutdown() {
    error_mgr_WriteIntoMedia();
    return 0;
}

void error_mgr_reset() {
    if (SEM_ID m = entryMutex.exchange(nullptr)) semDelete(m);
    if (SEM_ID m = storeMutex.exchange(nullptr)) semDelete(m);
    for (Entry& e : state.entries)
        e = unusedEntry();
    state.count = 0;
    state.lamp = 0;
    state.changes = 0;
    state.stored = 0;
    state.loaded = false;
    state.shownAll = -1;
    state.allCountdown = 0;
    state.shownActive = -1;
    state.activeCountdown = 10;
    state.startDelay = 3;
    pendingCount = 0;
    pendingLost = 0;
    powerGood = nullptr;
    eventSink = nullptr;
}

void error_mgr_setEventSink(ErrorMgrEventSink sink) {
    eventSink.store(sink, std::memory_order_release);
}

void error_mgr_setPowerGoodSource(uint8_t (*source)()) {
    powerGood = source;
}

uint32_t error_mgr_pendingLost() {
    return pendingLost;
}
