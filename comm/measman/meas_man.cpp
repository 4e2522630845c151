// Measurement server: lists of this unit's values per requester and raster, copied per raster
// into the FIFO of the path back to the requester.
#include "comm/measman/meas_man.h"
#include "comm/measman/meas_man_private.h"

#include "calibration/meas/seram_meas.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "comm/sernet/sernet.h"
#include "platform/os/os.h"
#include "services/errmgr/errmgr.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/timemod/timemod.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;
constexpr uint32_t TAG_OPENING = 0xDEAD0EA5, TAG_ACTIVE = 0x0EA5E518;
constexpr int RASTERS = 20;
constexpr uint16_t RASTER_DAQ = 13;
constexpr uint32_t LIST_MAX = 480;
constexpr uint16_t TYPE_OFFLINE = 1, TYPE_LOGGED = 2, TYPE_KEEP_ZERO = 4;
constexpr size_t RECORD = 20;
static_assert(MEAS_NAMES_MAX == (CI_QUEUE_PAYLOAD_MAX - 16) / RECORD,
              "the records of a reply fit its payload");
constexpr int ERR_PATH_SYNC = 482, ERR_TYPE_SYNC = 32;

// a later than b on the wrapping 100 us clock
bool later(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}
bool isGroup(int32_t w) {
    return w == -1 || w == -2 || w == -4 || w == -8;
}

// One value of a list's entry, resolved once when the list is made: the address of a word
// aligned to its width to load in one access, or (conversion tables, unaligned values) the
// handle to copy it through.
enum CopyOp : uint16_t { LOAD1, LOAD2, LOAD4, LOAD8, THROUGH };
struct CopyStep {
    const void* from;
    uint16_t size;
    CopyOp op;
};

struct MeasList {
    uint32_t tag;
    uint32_t sendFifo; // magic of the sending FIFO
    DynkommFifo* fifo;
    uint32_t reqContext;
    uint32_t recvHandle;
    MeasList* next;
    uint32_t lastCopy;
    uint32_t raster; // where it is linked; RASTER_DAQ for master-driven lists
    uint16_t speed, countdown;
    uint32_t magic; // the identifier handed to the requester
    MeasDetach detach;
    const MeasManMaster* master; // the master whose DAQ is to drive it, once it runs
    uint32_t daq;
    uint16_t requester, pathPid;
    uint16_t type, length, values, words;
    uint8_t stopped, byNames;
    uint16_t steps;
    uint64_t born; // the count of lists made here when it was made
    int32_t* word;
    seramMeasHandle* handle;
    CopyStep* plan;
};

MeasList* heads[RASTERS];
SEM_ID rasterLock[RASTERS];
MagicTable* mmMagics = nullptr;
MeasList** measHdrMagicArr = nullptr; // by entry index of a list magic
uint32_t openReplyRoutine = 0;
std::atomic<uint32_t> dataLoss[RASTERS];
std::atomic<uint32_t> blockStopped[RASTERS];
// The second's loss count, read by the diagnostics' task.
std::atomic<uint32_t> dataLossSum{0};
uint32_t lastLossLogged = 0, lastStoppedLogged = 0, stoppedSecondAgo = 0;
std::atomic<uint8_t> copyOfflineData{0};
uint8_t offlineRequested = 0, offlineLogged = 0, syncErrorSet = 0;
std::atomic<uint32_t> virtChanRegistered{0}, canIoInitialized{0};
uint32_t syncErrorDelay = 0, onSyncDelay = 10, syncHold = 0, calls10ms = 0;
std::atomic<const MeasManGatewaySink*> sink{nullptr};
std::atomic<const MeasManMaster*> masters[2];

// Each requester holds at most its share of the list numbers, so that none can make the table
// refuse another's list: the lists it holds, opening or running. Each list holds a data FIFO
// here as well, which with the paths the requester may hold here stays within its share of the
// data FIFOs: its lists never leave this unit's own lists from it without a path.
constexpr uint32_t SHARE = DK_PID_SHARE - SERNET_PEER_PATHS;
std::atomic<uint32_t> held[ROUTING_PIDS];
std::atomic<uint64_t> listsMade{0};
// A requester's kill mark, set by its kill-all and by its reset: its lists made before the mark
// are gone, those still waiting for their path once the path's reply comes. Done is the mark the
// command task has carried out.
std::atomic<uint64_t> killMark[ROUTING_PIDS], killDone[ROUTING_PIDS];
std::atomic<uint32_t> resetRoutine{0};

bool lockRaster(uint32_t r) {
    return r < RASTERS && rasterLock[r] && semTake(rasterLock[r], WAIT_FOREVER) == OK;
}
void unlockRaster(uint32_t r) {
    semGive(rasterLock[r]);
}

MeasList* allocList(uint32_t words) {
    const size_t size =
        sizeof(MeasList) + words * (sizeof(CopyStep) + sizeof(seramMeasHandle) + sizeof(int32_t));
    auto* raw = static_cast<uint8_t*>(std::calloc(1, size));
    if (!raw) return nullptr;
    auto* l = reinterpret_cast<MeasList*>(raw);
    l->plan = reinterpret_cast<CopyStep*>(raw + sizeof(MeasList));
    l->handle = reinterpret_cast<seramMeasHandle*>(l->plan + words);
    l->word = reinterpret_cast<int32_t*>(l->handle + words);
    l->words = static_cast<uint16_t>(words);
    return l;
}

void freeList(MeasList* l) {
    for (uint16_t i = 0; i < l->words; ++i)
        seramMeasFreeMeas(&l->handle[i]);
    l->tag = TAG_OPENING ^ 0xFFFFFFFF;
    std::free(l);
}

// The list a magic names, or none.
MeasList* listOf(uint32_t magic) {
    if (!mmMagics || !measHdrMagicArr) return nullptr;
    const int32_t i = magicNumber_magic2index(mmMagics, magic);
    return i > 0 ? measHdrMagicArr[i] : nullptr;
}

// A number for a new list of `pid`, counted to its share; 0 beyond the share (logged) or when
// every number is in use.
uint32_t newList(uint16_t pid, const char* what) {
    if (pid >= ROUTING_PIDS) return 0;
    if (held[pid].load() >= SHARE) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "%s(): PID 0x%X holds its share of %u lists, list refused", what, pid,
                             SHARE);
        return 0;
    }
    const uint32_t magic = magicNumber_getNewMagic(mmMagics);
    if (magic)
        held[pid].fetch_add(1);
    else
        SYSLOGX_RATE_GUARDED(LOG_ERR, "%s(): could not get magic number", what);
    return magic;
}

// The number goes, and with it the list it names: nothing stays under its entry for the table to
// hand out again.
void giveBack(uint32_t magic, uint16_t pid, bool delayed) {
    const int gone = delayed ? magicNumber_deleteMagic(mmMagics, magic)
                             : magicNumber_deleteMagic_noTimeout(mmMagics, magic);
    if (gone != 1) return;
    measHdrMagicArr[magic & 0xFFFF] = nullptr;
    if (pid < ROUTING_PIDS) held[pid].fetch_sub(1);
}

void forget(MeasList* l, bool delayed) {
    giveBack(l->magic, l->requester, delayed);
}

// Made before its requester's last kill-all or reset: the requester knows nothing of it any more.
bool orphaned(const MeasList* l) {
    return l->requester < ROUTING_PIDS && l->born < killMark[l->requester].load();
}

// Every list of `pid` made so far is to go; the mark to carry out.
uint64_t markKill(uint16_t pid) {
    const uint64_t mark = listsMade.load() + 1;
    uint64_t was = killMark[pid].load();
    while (was < mark && !killMark[pid].compare_exchange_weak(was, mark)) {
    }
    return mark;
}

void send(uint16_t code, uint16_t dest, uint32_t ctx1, uint32_t ctx2, const uint8_t* payload = nullptr,
          size_t n = 0) {
    uint8_t m[CI_HEADER + CI_QUEUE_PAYLOAD_MAX] = {};
    ci_set_header(m, {static_cast<uint16_t>(n), AppMan_getPID(), dest, ctx1, ctx2, code});
    if (n) std::memcpy(m + CI_HEADER, payload, n);
    comint_put_cmd(m, 1);
}

void refuseCreate(uint16_t dest, uint32_t requestContext) {
    const uint8_t zero[4] = {};
    send(0x0501, dest, 0, requestContext, zero, 4);
}

void link(MeasList* l) {
    if (!lockRaster(l->raster)) return;
    l->next = heads[l->raster];
    __atomic_store_n(&heads[l->raster], l, __ATOMIC_RELEASE);
    unlockRaster(l->raster);
}

// Takes the list out of its raster; false when it was not there.
bool unlink(MeasList* l) {
    if (!lockRaster(l->raster)) return false;
    bool found = false;
    for (MeasList** p = &heads[l->raster]; *p; p = &(*p)->next) {
        if (*p != l) continue;
        __atomic_store_n(p, l->next, __ATOMIC_RELEASE);
        found = true;
        break;
    }
    unlockRaster(l->raster);
    return found;
}

// Notes the master DAQ whose channels alone make the list; it is tied to the DAQ once it runs.
void checkMaster(MeasList* l) {
    if (!(l->type & TYPE_OFFLINE)) return;
    for (auto& m : masters) {
        const MeasManMaster* master = m.load();
        uint32_t daq = 0;
        if (master && master->check(l->word, l->length, &daq, 1)) {
            l->master = master;
            l->daq = daq;
            return;
        }
    }
}

// A list that runs: to the master DAQ that drives it, if any, and into its raster, where a
// kill-all and the state queries find it (nothing copies the DAQ raster's lists by raster).
void attach(MeasList* l) {
    if (l->master && (l->detach = l->master->create(l, l->daq))) l->raster = RASTER_DAQ;
    link(l);
}

int stopList(MeasList* l, int keepFifo) {
    if (!l) return 1;
    if (l->tag != TAG_ACTIVE) return 0;
    if (!unlink(l)) return 0;
    l->tag = TAG_OPENING ^ 0xFFFFFFFF;
    if (l->detach) l->detach(l);
    if (!keepFifo) dynkomm_closepath(AppMan_getPID(), l->sendFifo, l->requester);
    freeList(l);
    return 1;
}

// Checks the list words of a request: groups of -1/-2/-4/-8, their addresses and a 0, ended by
// a further 0 that is the last of `words`. Returns the value bytes of one entry, or -1. Every
// word of the list is set up and copied, so none may follow the end nor stand outside a group.
int32_t parseList(const uint8_t* p, uint32_t words, uint16_t* values) {
    uint32_t i = 0;
    int32_t bytes = 0;
    *values = 0;
    while (i < words) {
        const auto g = static_cast<int32_t>(get_be32(p + 4 * i++));
        if (g == 0) return i == words ? bytes : -1;
        if (!isGroup(g)) return -1;
        for (;;) {
            if (i >= words) return -1;
            const auto w = static_cast<int32_t>(get_be32(p + 4 * i++));
            if (w == 0) break;
            if (isGroup(w) || w < 0) return -1;
            bytes -= g;
            ++*values;
        }
    }
    return -1;
}

void openReply(const uint8_t* m, size_t len, uint16_t) {
    if (len < CI_HEADER + 14) return;
    MeasList* l = listOf(get_be32(m + 20));
    if (!l || l->tag != TAG_OPENING) return;
    l->tag = TAG_ACTIVE;
    uint32_t sending = get_be32(m + 24);
    if (sending && orphaned(l)) {
        dynkomm_closepath(AppMan_getPID(), sending, l->requester);
        sending = 0;
    }
    DynkommFifo* f = nullptr;
    if (sending == 0 || dynkomm_get_fifo(sending, &f) != 1) {
        refuseCreate(l->requester, l->reqContext);
        forget(l, false);
        freeList(l);
        return;
    }
    l->sendFifo = sending;
    l->fifo = f;
    l->recvHandle = get_be32(m + 28);
    l->pathPid = get_be16(m + 32);
    l->lastCopy = time_getTimestamp();
    attach(l);
    if (l->type & TYPE_LOGGED) {
        if (!offlineLogged) syslogx(LOG_INFO, "meas_man_openreply: offline data requested");
        offlineLogged = 1;
        offlineRequested = 1;
        syncErrorDelay = 100;
    }
    uint8_t p[4 + 2 * LIST_MAX / 4];
    put_be32(p, l->recvHandle);
    size_t n = 4;
    for (uint16_t i = 0; i < l->words; ++i)
        if (l->word[i] != 0 && !isGroup(l->word[i])) {
            put_be16(p + n, seramMeasGetLatency(&l->handle[i]));
            n += 2;
        }
    send(0x0501, l->requester, l->magic, l->reqContext, p, n);
}

// The copy plan of a list whose words and handles are set: group by group, value by value. A value
// whose group is wider than its object goes through the handle, which reads zeros beyond it.
void plan(MeasList* l) {
    uint16_t n = 0, size = 0;
    for (uint16_t i = 0; i < l->words; ++i) {
        const int32_t w = l->word[i];
        if (isGroup(w)) {
            size = static_cast<uint16_t>(-w);
        } else if (w != 0) {
            const seramMeasHandle& h = l->handle[i];
            const bool word = h.kind != SERAM_MEAS_CONV && size <= h.size && h.source % size == 0;
            const auto op = size == 1 ? LOAD1 : size == 2 ? LOAD2 : size == 4 ? LOAD4 : LOAD8;
            l->plan[n++] = {word ? reinterpret_cast<const void*>(h.source) : &h, size, word ? op : THROUGH};
        }
    }
    l->steps = n;
}

// Names every value whose group is wider than the object its address names: it carries the
// object's bytes, then zeros, and the list's other values flow as ever. Several to a line, each
// line under one guard, so that a peer's lists cannot flood the log.
SyslogRateGuard wideLog;
void noteWide(const MeasList* l, const char* what) {
    constexpr int ROOM = SYSLOG_TEXT_MAX - 25; // the entries' room, before the line's end
    char line[SYSLOG_TEXT_MAX];
    int at = 0;
    auto flush = [&] {
        if (at && syslogx_rateguard(&wideLog)) syslogx(LOG_WARN, "%s: the bytes beyond are 0", line);
        at = 0;
    };
    uint32_t size = 0;
    for (uint16_t i = 0; i < l->words; ++i) {
        const int32_t w = l->word[i];
        if (isGroup(w)) {
            size = static_cast<uint32_t>(-w);
            continue;
        }
        if (w == 0 || seramMeasFits(&l->handle[i], size)) continue;
        char one[64];
        const int n = std::snprintf(one, sizeof one, "0x%06X of PID 0x%X holds %u bytes, read as %u",
                                    static_cast<unsigned>(w) & 0xFFFFFF, l->requester,
                                    static_cast<unsigned>(l->handle[i].size), static_cast<unsigned>(size));
        if (at && at + 2 + n > ROOM) flush();
        at += at ? std::snprintf(line + at, sizeof line - static_cast<size_t>(at), "; %s", one)
                 : std::snprintf(line, sizeof line, "%s(): %s", what, one);
    }
    flush();
}

// Stops the lists of `pid` made before `before`, as its kill-all does: their paths close and
// their numbers go.
void killLists(uint16_t pid, uint64_t before) {
    for (int r = 0; r < RASTERS; ++r) {
        for (;;) {
            MeasList* victim = nullptr;
            if (lockRaster(static_cast<uint32_t>(r))) {
                for (MeasList* l = heads[r]; l && !victim; l = l->next)
                    if (l->requester == pid && l->born < before) victim = l;
                unlockRaster(static_cast<uint32_t>(r));
            }
            if (!victim) break;
            forget(victim, true);
            const uint32_t sending = victim->sendFifo;
            const bool byNames = victim->byNames;
            stopList(victim, byNames ? 1 : 0);
            if (byNames) dynkomm_fifo_unlink(AppMan_getPID(), pid, sending);
        }
    }
}

// In the command task: the running lists of `pid` made before its kill mark go; those waiting for
// their path go when its reply comes (openReply).
void carryOut(uint16_t pid) {
    const uint64_t mark = killMark[pid].load();
    if (mark == killDone[pid].load()) return;
    killLists(pid, mark);
    killDone[pid] = mark;
}

// In the command task: the resets the device network reported.
void carryOutResets(const uint8_t*, size_t, uint16_t) {
    for (uint16_t pid = 0; pid < ROUTING_PIDS; ++pid)
        carryOut(pid);
}

bool resetsPending() {
    for (uint16_t pid = 0; pid < ROUTING_PIDS; ++pid)
        if (killMark[pid].load() != killDone[pid].load()) return true;
    return false;
}

// Asks the command task to carry out the resets; one that cannot be queued now is asked again
// within a second.
void queueResets() {
    const uint16_t own = AppMan_getPID();
    uint8_t m[CI_HEADER];
    ci_set_header(m, {0, own, own, 0, resetRoutine.load(), 0x0107});
    comint_put_cmd(m, 1);
}

// Loads a word as the task that writes it stores it.
template <class W> W load(const void* from) {
    return __atomic_load_n(static_cast<const W*>(from), __ATOMIC_RELAXED);
}

// Each value goes big-endian into the slot through dynkomm_slot_put: the sender may be copying
// the slot while it is filled.
void copyList(MeasList* l, uint32_t raster, uint32_t stamp) {
    uint8_t* slot = dynkomm_write(l->fifo);
    if (!slot) {
        dataLoss[raster].fetch_add(1, std::memory_order_relaxed);
        return;
    }
    uint8_t v[8];
    put_be32(v, stamp);
    dynkomm_slot_put(slot, v, 4);
    uint8_t* at = slot + 4;
    for (const CopyStep *s = l->plan, *end = s + l->steps; s != end; ++s) {
        switch (s->op) {
        case LOAD1:
            v[0] = load<seram_word::u8>(s->from);
            dynkomm_slot_put(at, v, 1);
            break;
        case LOAD2:
            put_be16(v, load<seram_word::u16>(s->from));
            dynkomm_slot_put(at, v, 2);
            break;
        case LOAD4:
            put_be32(v, load<seram_word::u32>(s->from));
            dynkomm_slot_put(at, v, 4);
            break;
        case LOAD8:
            bytes::put_be64(v, load<seram_word::u64>(s->from));
            dynkomm_slot_put(at, v, 8);
            break;
        default:
            seramMeasCopy_bigEndian(v, s->size, static_cast<const seramMeasHandle*>(s->from));
            dynkomm_slot_put(at, v, s->size);
        }
        at += s->size;
    }
    dynkomm_writedone(l->fifo);
}

bool found(uint16_t pid) {
    for (int r = 0; r < RASTERS; ++r) {
        if (!lockRaster(static_cast<uint32_t>(r))) continue;
        bool hit = false;
        for (MeasList* l = heads[r]; l && !hit; l = l->next)
            hit = l->requester == pid;
        unlockRaster(static_cast<uint32_t>(r));
        if (hit) return true;
    }
    return false;
}

bool answersState() {
    return virtChanRegistered.load() && canIoInitialized.load();
}

} // namespace

void meas_man_ini() {
    for (int r = 0; r < RASTERS; ++r) {
        heads[r] = nullptr;
        dataLoss[r] = 0;
        blockStopped[r] = 0;
        if (!rasterLock[r]) rasterLock[r] = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    }
    copyOfflineData = 0;
    offlineRequested = 0;
    syncErrorDelay = 0;
    if (!mmMagics) mmMagics = magicNumber_createMem(DK_MAGIC_COUNT, DK_MAGIC_DELAY);
    if (!measHdrMagicArr) measHdrMagicArr = new (std::nothrow) MeasList* [DK_MAGIC_COUNT] {};
    if (!mmMagics || !measHdrMagicArr)
        syslogx(LOG_ERR, "meas_man_ini(): failed to initialize magic number table");
    if (!comint_resolve_routine(openReplyRoutine)) openReplyRoutine = comint_handle_routine(openReply);
    if (!comint_resolve_routine(resetRoutine.load())) resetRoutine = comint_handle_routine(carryOutResets);
}

void meas_man_setGatewaySink(const MeasManGatewaySink* s) {
    sink = s;
}

void meas_man_virtChan_registered() {
    virtChanRegistered = 1;
}
void meas_man_CanIO_initialized() {
    canIoInitialized = 1;
}
uint8_t meas_man_copy_offline_data_enabled() {
    return copyOfflineData.load();
}
uint32_t meas_man_get_data_loss_cnt() {
    return dataLossSum;
}
uint32_t htonl_float(uint32_t bits) {
    return __builtin_bswap32(bits);
}

void meas_man_setMaster(int which, const MeasManMaster* master) {
    if (which == 0 || which == 1) masters[which] = master;
}

void meas_man_copy_daq(void* list, uint32_t stamp) {
    auto* l = static_cast<MeasList*>(list);
    if (l->countdown == 0) {
        l->countdown = l->speed;
    } else if (l->countdown > 1) {
        --l->countdown;
    } else {
        copyList(l, RASTER_DAQ, stamp);
        l->countdown = l->speed;
    }
}

void meas_man_copy(int raster, uint32_t stamp) {
    if (raster < 0 || raster >= RASTERS) return;
    const auto r = static_cast<uint32_t>(raster);
    if (!__atomic_load_n(&heads[r], __ATOMIC_ACQUIRE)) return;
    if (!lockRaster(r)) return;
    const uint32_t now = time_getTimestamp();
    if (heads[r] && stamp == 0 && !(heads[r]->type & TYPE_KEEP_ZERO)) stamp = now;
    uint32_t stopped = 0;
    for (MeasList* l = heads[r]; l; l = l->next) {
        if (l->stopped) ++stopped;
        if (l->countdown == 0) {
            l->countdown = l->speed;
            continue;
        }
        if (l->countdown > 1) {
            --l->countdown;
            continue;
        }
        bool allowed = !(l->type & TYPE_LOGGED);
        if (!allowed && copyOfflineData.load() && !l->stopped) {
            if (later(l->lastCopy, now)) {
                l->stopped = 1;
                send(l->byNames ? 0x0518 : 0x0506, l->requester, r, l->magic);
            } else {
                l->lastCopy = now;
                allowed = true;
            }
        }
        if (!allowed) continue;
        copyList(l, r, stamp);
        l->countdown = l->speed;
    }
    blockStopped[r] = stopped;
    unlockRaster(r);
}

void meas_man_10ms() {
    if (syncErrorDelay) --syncErrorDelay;
    if (time_getSyncState() != TIME_SYNC_FULL) {
        if (syncHold) {
            --syncHold;
        } else {
            onSyncDelay = 10;
            copyOfflineData = 0;
            if (syncErrorDelay == 0 && offlineRequested && !syncErrorSet) {
                error_mgr_set(ERR_PATH_SYNC, ERR_TYPE_SYNC, 1);
                syncErrorSet = 1;
                syslogx(LOG_INFO, "meas_man_10ms: set ERROR_MGR_ERR_TYPE_SYNC_ERROR");
            }
        }
    } else {
        if (syncErrorSet) {
            error_mgr_clear(ERR_PATH_SYNC);
            syncErrorSet = 0;
            syslogx(LOG_INFO, "meas_man_10ms: clr ERROR_MGR_ERR_TYPE_SYNC_ERROR");
        }
        if (onSyncDelay) {
            if (onSyncDelay == 10) syslogx(LOG_INFO, "meas_man_10ms: reached TIMESERVER_STATE_FULL_SYNC");
            if (--onSyncDelay == 0) copyOfflineData = 1;
        }
        syncHold = 500;
    }
    if (++calls10ms % 100) return;
    // Once a second, as the gateway's and the data FIFOs' tables: the numbers of stopped lists
    // come back after their delay, however many lists the peers create in a run.
    magicNumber_garbageCollection(mmMagics);
    if (resetsPending()) queueResets();
    uint32_t loss = 0, stopped = 0;
    for (int r = 0; r < RASTERS; ++r) {
        loss += dataLoss[r].load();
        stopped += blockStopped[r].load();
    }
    if (loss != lastLossLogged) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "meas_man_10ms(): data loss update: loss count :%d",
                             static_cast<int>(loss));
        lastLossLogged = loss;
    }
    dataLossSum = loss;
    if (stopped != lastStoppedLogged && stopped == stoppedSecondAgo) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "meas_man_10ms(): stopped measbocks found:%d",
                             static_cast<int>(stopped));
        lastStoppedLogged = stopped;
    }
    stoppedSecondAgo = stopped;
}

void meas_man_create(const uint8_t* m, size_t len) {
    if (len < CI_HEADER + 12) return;
    const CiHeader h = ci_header(m);
    const uint8_t* p = m + CI_HEADER;
    const uint16_t raster = get_be16(p), speed = get_be16(p + 2), block = get_be16(p + 4),
                   length = get_be16(p + 6);
    const uint16_t type = get_be16(p + 10);
    uint16_t slots = get_be16(p + 8);
    // Everything below comes from the network: a list that is not well formed, or whose values
    // do not fit the entry it names, is refused.
    uint16_t values = 0;
    const int32_t bytes = length >= 4 && length <= LIST_MAX && length % 4 == 0 && length <= h.length - 12
                              ? parseList(p + 12, length / 4u, &values)
                              : -1;
    MeasList* l = raster < RASTERS && bytes >= 0 && 4 + bytes <= block && block <= DK_SLOT_MAX
                      ? allocList(length / 4u)
                      : nullptr;
    const uint32_t magic = l ? newList(h.source, "meas_man_create") : 0;
    if (!magic) {
        if (l) std::free(l);
        refuseCreate(h.source, h.context1);
        return;
    }
    if (slots == 0) slots = dynkomm_getslotnum_SerNet(raster);
    l->tag = TAG_OPENING;
    l->magic = magic;
    l->born = listsMade.fetch_add(1) + 1;
    l->requester = h.source;
    l->reqContext = h.context1;
    l->speed = l->countdown = speed;
    l->raster = raster;
    l->type = type;
    l->length = length;
    l->values = values;
    for (uint16_t i = 0; i < l->words; ++i) {
        l->word[i] = static_cast<int32_t>(get_be32(p + 12 + 4 * i));
        if (l->word[i] != 0 && !isGroup(l->word[i]))
            seramMeasSetupMeas(static_cast<uint32_t>(l->word[i]), raster, &l->handle[i]);
    }
    noteWide(l, "meas_man_create");
    plan(l);
    checkMaster(l);
    measHdrMagicArr[magic & 0xFFFF] = l;
    if (!dynkomm_openpath(AppMan_getPID(), h.source, block, raster, slots, type & TYPE_OFFLINE,
                          openReplyRoutine, magic)) {
        // A path that could not even be asked for has told the continuation already, or never will.
        if (listOf(magic) == l && l->tag == TAG_OPENING) {
            refuseCreate(h.source, h.context1);
            forget(l, false);
            freeList(l);
        }
    }
}

void meas_man_break(const uint8_t* m, size_t) {
    const CiHeader h = ci_header(m);
    MeasList* l = listOf(h.context2);
    if (l && l->tag == TAG_ACTIVE && !l->byNames) {
        forget(l, true);
        if (stopList(l, 0)) return;
    }
    send(0x1100, h.source, 0, h.context1);
}

void meas_man_speed(const uint8_t* m, size_t len) {
    if (len < CI_HEADER + 2) return;
    MeasList* l = listOf(ci_header(m).context2);
    if (!l || l->tag != TAG_ACTIVE) return;
    l->speed = l->countdown = get_be16(m + CI_HEADER);
}

void meas_man_kill_my_measurements(const uint8_t* m, size_t) {
    const uint16_t pid = ci_header(m).source;
    if (pid >= ROUTING_PIDS) return;
    markKill(pid);
    carryOut(pid);
}

void meas_man_get_measurement_state(const uint8_t* m, size_t) {
    if (!answersState()) return;
    const CiHeader h = ci_header(m);
    send(found(static_cast<uint16_t>(h.context2)) ? 0x0103 : 0x0104, h.source, 0, h.context1);
}

void meas_man_get_measurement_state2(const uint8_t* m, size_t) {
    if (!answersState()) return;
    const CiHeader h = ci_header(m);
    uint8_t p[4];
    put_be32(p, found(static_cast<uint16_t>(h.context2)) ? 1 : 0);
    send(0x0517, h.source, h.context2, h.context1, p, 4);
}

void meas_man_get_measurement_state2_reply(const uint8_t* m, size_t len) {
    const MeasManGatewaySink* s = sink.load();
    if (len < CI_HEADER + 4 || !s) return;
    s->stateReply(ci_header(m).source, get_be32(m + CI_HEADER));
}

size_t meas_man_resolve_names(const char* names, size_t namesLength, uint16_t count, MeasNameValue* v) {
    size_t n = 0, at = 0;
    for (uint16_t index = 0; index < count && at < namesLength; ++index) {
        const void* end = std::memchr(names + at, 0, namesLength - at);
        if (!end) {
            SYSLOGX_GUARDED(LOG_ERR, "meas_man_create2_cmd(): measlist no chr(0) ending, remaining ignored");
            break;
        }
        const size_t nameLen = static_cast<size_t>(static_cast<const char*>(end) - (names + at));
        const char* name = names + at;
        at += nameLen + 1;
        if (nameLen >= 200) {
            SYSLOGX_GUARDED(LOG_ERR, "meas_man_create2_cmd(): name too long, signal ignored");
            continue;
        }
        char base[200];
        std::memcpy(base, name, nameLen + 1);
        bool element = false;
        uint32_t i = 0;
        if (nameLen && base[nameLen - 1] == ']') {
            size_t d = nameLen - 1;
            while (d > 0 && base[d - 1] >= '0' && base[d - 1] <= '9')
                --d;
            if (d == nameLen - 1 || d == 0 || base[d - 1] != '[' || nameLen - 1 - d > 9) {
                SYSLOGX_GUARDED(LOG_ERR, "meas_man_create2_cmd(): measlist parse error (%s)", base);
                continue;
            }
            i = static_cast<uint32_t>(std::strtoul(base + d, nullptr, 10));
            base[d - 1] = 0;
            element = true;
        }
        const meascalinfo_t* info = meascalinfo_getInfo(base);
        if (!info) continue;
        if (element && info->count <= 1) {
            SYSLOGX_GUARDED(LOG_ERR,
                            "meas_man_create2_cmd(): array element request, but %s is scalar, ignored", base);
            continue;
        }
        if (!element && info->count > 1) {
            SYSLOGX_GUARDED(LOG_ERR, "meas_man_create2_cmd(): %s is array, but scalar requested, ignored",
                            base);
            continue;
        }
        // The element must lie within the variable.
        if (element && i >= info->count) {
            SYSLOGX_GUARDED(LOG_ERR, "meas_man_create2_cmd(): measlist parse error (%s)", name);
            continue;
        }
        const uint32_t size = getSizeofType(info->type);
        if ((size != 1 && size != 2 && size != 4) || n == MEAS_NAMES_MAX) continue;
        v[n++] = {(info->meas_address + size * i) & 0xFFFFFF, index, info, size};
    }
    return n;
}

namespace {

// The 20-byte channel record of a value at `offset` of the entry.
void putRecord(uint8_t* rec, uint16_t offset, const MeasNameValue& v, uint16_t latency) {
    const float factor = v.info->factor;
    const float inv = 1.0f / factor, off = -v.info->offset / factor;
    uint32_t bi, bo;
    std::memcpy(&bi, &inv, 4);
    std::memcpy(&bo, &off, 4);
    put_be16(rec, offset);
    put_be16(rec + 2, v.index);
    put_be16(rec + 4, latency);
    rec[6] = static_cast<uint8_t>(v.info->type);
    rec[7] = 0;
    put_be32(rec + 8, bi);
    put_be32(rec + 12, bo);
    put_be32(rec + 16, v.info->mask);
}

// The list's words in groups of 4, 2 and 1 bytes with their handles at `raster`, and a channel
// record per value from `records`. Returns the entry's size before rounding (stamp and values).
uint16_t fillByNames(MeasList* l, const MeasNameValue* v, size_t n, uint16_t raster, uint8_t* records) {
    uint16_t w = 0, offset = 4;
    size_t count = 0;
    for (uint32_t size : {4u, 2u, 1u}) {
        bool open = false;
        for (size_t k = 0; k < n; ++k) {
            if (v[k].size != size) continue;
            if (!open) l->word[w++] = -static_cast<int32_t>(size);
            open = true;
            l->word[w] = static_cast<int32_t>(v[k].address);
            seramMeasSetupMeas(v[k].address, raster, &l->handle[w]);
            putRecord(records + RECORD * count++, offset, v[k], seramMeasGetLatency(&l->handle[w]));
            ++w;
            offset = static_cast<uint16_t>(offset + size);
        }
        if (open) l->word[w++] = 0;
    }
    l->word[w++] = 0;
    l->words = w;
    l->length = static_cast<uint16_t>(4 * w);
    l->values = static_cast<uint16_t>(n);
    plan(l);
    return offset;
}

} // namespace

void meas_man_create2_cmd(const uint8_t* m, size_t len) {
    if (len < CI_HEADER + 12) return;
    const CiHeader h = ci_header(m);
    const uint8_t* p = m + CI_HEADER;
    const uint16_t raster = get_be16(p), speed = get_be16(p + 2), namesLength = get_be16(p + 4),
                   count = get_be16(p + 6);
    uint16_t slots = get_be16(p + 8);
    const uint16_t type = get_be16(p + 10);
    uint8_t refused[12] = {};
    auto refuse = [&] { send(0x0511, h.source, h.context2, h.context1, refused, sizeof refused); };
    if (raster >= RASTERS || namesLength > h.length - 12) return refuse();
    MeasNameValue v[MEAS_NAMES_MAX];
    const size_t n = meas_man_resolve_names(reinterpret_cast<const char*>(p + 12), namesLength, count, v);
    if (n == 0) return refuse();
    const uint32_t magic = newList(h.source, "meas_man_create2_cmd");
    if (!magic) return refuse();
    // Words: up to three groups of {-size, addresses, 0}, then the final 0.
    MeasList* l = allocList(static_cast<uint32_t>(n) + 3 * 2 + 1);
    if (!l) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "meas_man_create2_cmd(): could not get memory for measlist");
        giveBack(magic, h.source, false);
        return refuse();
    }
    l->magic = magic;
    l->requester = h.source;
    l->born = listsMade.fetch_add(1) + 1;
    uint8_t reply[CI_QUEUE_PAYLOAD_MAX] = {};
    const uint16_t offset = fillByNames(l, v, n, raster, reply + 16);
    noteWide(l, "meas_man_create2_cmd");
    l->speed = speed;
    l->countdown = 0;
    l->type = type;
    l->raster = raster;
    l->recvHandle = h.context2;
    l->byNames = 1;
    checkMaster(l);
    if (slots == 0) slots = dynkomm_getslotnum_SerNet(raster);
    const auto entry = static_cast<uint16_t>((offset + 3u) & ~3u);
    l->fifo =
        dynkomm_fifo_link(h.context2, AppMan_getPID(), h.source, raster, slots, entry, type & TYPE_OFFLINE);
    if (!l->fifo) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "meas_man_create2_cmd(): could not link dynkomm fifo");
        forget(l, false);
        freeList(l);
        return refuse();
    }
    l->sendFifo = l->fifo->magic;
    l->lastCopy = time_getTimestamp();
    l->tag = TAG_ACTIVE;
    measHdrMagicArr[magic & 0xFFFF] = l;
    put_be32(reply, magic);
    put_be16(reply + 4, slots);
    put_be16(reply + 6, entry);
    put_be16(reply + 8, type);
    put_be16(reply + 10, raster);
    send(0x0511, h.source, h.context2, h.context1, reply, 16 + RECORD * n);
    attach(l);
}

void meas_man_meas2_create_reply(const uint8_t* m, size_t len) {
    const MeasManGatewaySink* s = sink.load();
    const CiHeader h = ci_header(m);
    const uint32_t reserved = h.context1;
    const uint32_t list = len >= CI_HEADER + 16 ? get_be32(m + CI_HEADER) : 0;
    auto report = [&](uint32_t magic, uint32_t fifo, const uint8_t* records, size_t bytes) {
        if (s) s->createReply(h.context2, magic, fifo, records, bytes);
    };
    if (reserved == 0) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "meas_man_meas2_create_reply(): got magic 0 as target fifo, no chance to tidy up");
        return report(0, 0, nullptr, 0);
    }
    // Only the first answer finds its FIFO number still reserved: a copy, or a stray reply naming
    // the FIFO of a running list, neither stops that list nor frees its number. A grant whose
    // number was given back (its request timed out, or its list was killed) made a list on its
    // unit that nothing here reads: the gateway stops it unless a list here holds it.
    const int state = dynkomm_get_fifo(reserved, nullptr);
    if (state != 2) {
        SYSLOGX_RATE_GUARDED(
            LOG_INFO,
            "meas_man_meas2_create_reply(): fifo 0x%08X of PID 0x%X is reserved for no request, ignored",
            reserved, h.source);
        if (state == 0 && list && s && s->lateGrant) s->lateGrant(h.source, list);
        return;
    }
    if (list == 0) {
        dynkomm_free_magic_direct(reserved);
        return report(0, 0, nullptr, 0);
    }
    const uint8_t* p = m + CI_HEADER;
    const uint32_t fifo = dynkomm_fifo_activate(reserved, h.source, get_be16(p + 10), get_be16(p + 4),
                                                get_be16(p + 6), get_be16(p + 8) & TYPE_OFFLINE);
    if (!fifo) {
        send(0x0512, h.source, 0, list);
        dynkomm_free_magic_direct(reserved);
        return report(0, 0, nullptr, 0);
    }
    const size_t bytes = (len - CI_HEADER - 16) / RECORD * RECORD;
    report(list, fifo, p + 16, bytes);
}

void meas_man_break2(const uint8_t* m, size_t) {
    const CiHeader h = ci_header(m);
    MeasList* l = listOf(h.context2);
    uint32_t partner = 0;
    int result = 0;
    if (l && l->byNames && l->tag == TAG_ACTIVE) {
        forget(l, true);
        // The FIFO leads to the requester, whoever asks for the stop: unlinked towards another
        // unit it would be freed as a local one while the sender still holds it.
        const uint32_t sending = l->sendFifo;
        const uint16_t requester = l->requester;
        result = stopList(l, 1);
        partner = dynkomm_fifo_unlink(AppMan_getPID(), requester, sending);
    }
    if (h.context1 == 0) return;
    uint8_t p[4];
    put_be32(p, static_cast<uint32_t>(result));
    send(0x0513, h.source, partner, h.context1, p, 4);
}

// Only the gateway knows which stops it asked for: it frees the FIFO of an answered stop, and no
// other that a stray answer names (a running list's, say).
void meas_man_break2_reply(const uint8_t* m, size_t len) {
    const CiHeader h = ci_header(m);
    const uint32_t result = len >= CI_HEADER + 4 ? get_be32(m + CI_HEADER) : 0;
    if (const MeasManGatewaySink* s = sink.load(); s && s->stopReply)
        s->stopReply(h.source, h.context2, h.context1, result);
}

void meas_man_speed2(const uint8_t* m, size_t len) {
    const CiHeader h = ci_header(m);
    MeasList* l = listOf(h.context2);
    const bool valid = l && l->byNames && l->tag == TAG_ACTIVE && len >= CI_HEADER + 2;
    if (valid) l->speed = get_be16(m + CI_HEADER);
    uint8_t p[4];
    put_be32(p, valid ? 1 : 0);
    send(0x0515, h.source, h.context2, h.context1, p, 4);
}

void meas_man_speed2_reply(const uint8_t* m, size_t len) {
    const CiHeader h = ci_header(m);
    const MeasManGatewaySink* s = sink.load();
    if (h.context2 && s && len >= CI_HEADER + 4) s->serviceReply(h.context2, get_be32(m + CI_HEADER));
}

uint32_t meas_man_create2(uint32_t requestMagic, const char* names, uint16_t pid, uint16_t raster,
                          uint16_t speed, uint16_t namesLength, uint16_t nameCount, uint16_t slots,
                          uint16_t type) {
    if (namesLength >= 1468 || namesLength > CI_QUEUE_PAYLOAD_MAX - 12) return 0;
    const uint32_t reserved = dynkomm_fifo_reserve(pid);
    if (!reserved) return 0;
    uint8_t p[CI_QUEUE_PAYLOAD_MAX];
    put_be16(p, raster);
    put_be16(p + 2, speed);
    put_be16(p + 4, namesLength);
    put_be16(p + 6, nameCount);
    put_be16(p + 8, slots);
    put_be16(p + 10, type);
    std::memcpy(p + 12, names, namesLength);
    uint8_t msg[CI_HEADER + CI_QUEUE_PAYLOAD_MAX];
    ci_set_header(
        msg, {static_cast<uint16_t>(12 + namesLength), AppMan_getPID(), pid, requestMagic, reserved, 0x0510});
    std::memcpy(msg + CI_HEADER, p, 12u + namesLength);
    if (comint_put_cmd(msg, 1) != 1) {
        dynkomm_free_magic_direct(reserved);
        return 0;
    }
    return reserved;
}

void meas_man_requesterReset(uint16_t pid) {
    if (pid >= ROUTING_PIDS) return;
    markKill(pid);
    queueResets();
}

void meas_man_reset() {
    for (int r = 0; r < RASTERS; ++r)
        while (MeasList* l = heads[r]) {
            heads[r] = l->next;
            forget(l, false);
            freeList(l);
        }
    // Lists still opening stand in no raster's list, only under their number.
    if (measHdrMagicArr)
        for (uint32_t i = 0; i < DK_MAGIC_COUNT; ++i)
            if (MeasList* l = measHdrMagicArr[i]) measHdrMagicArr[i] = nullptr, freeList(l);
    // Numbers still in their deletion delay would be short to the next test.
    magicNumber_clear(mmMagics);
    for (int pid = 0; pid < ROUTING_PIDS; ++pid)
        held[pid] = 0, killMark[pid] = 0, killDone[pid] = 0;
    listsMade = 0;
    virtChanRegistered = 0;
    canIoInitialized = 0;
    copyOfflineData = 0;
    offlineRequested = offlineLogged = syncErrorSet = 0;
    syncErrorDelay = syncHold = calls10ms = 0;
    onSyncDelay = 10;
    dataLossSum = lastLossLogged = lastStoppedLogged = stoppedSecondAgo = 0;
    syslogx_rateguard_reset(&wideLog);
    sink = nullptr;
}
