// Measurement gateway: clients' lists, the requests to the serving units, delivery per raster
// and the watch over every serving PID.
//
// Locks: the handle mutex guards clients, handles, lists and the list heads; the request mutex
// the request queue. Where both are held the handle mutex is always taken first.
#include "comm/gw/gw.h"

#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/measman/meas_man.h"
#include "platform/os/os.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/timemod/timemod.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;
constexpr int PIDS = 64, RASTERS = 20, STATES = 12;
constexpr int16_t REQUEST_MS = 1500;
constexpr uint16_t OFFLINE_MS = 1500, POLL_MS = 150, KILL_DELAY = 100;
constexpr uint32_t NOT_MEASURING_MAX = 164;
constexpr int STARTS_PER_CYCLE = 20;
enum PidState : uint16_t { NOMEAS = 0, MEAS = 1, OFFLINE = 2, STARTUP = 3, KILLMEAS = 4 };
// A list's way from its set-up to its end; the statistics count the lists by these numbers.
enum ListState : uint32_t {
    SET_UP = 0,         // not started yet
    START_ASKED,        // started by a client, its request not sent yet
    TO_REQUEST,         // its request is to be sent (again)
    PID_AWAITED,        // its PID went offline before it ran
    REQUESTED,          // the create request is out, its reply awaited
    RUNNING,            // data arrive
    RUNNING_UNMEASURED, // running, but its PID reports no measurement
    STOP_SENT,          // killed after its request: the stop is out
    KILLED_UNREQUESTED, // killed before any request
    PID_LOST,           // ran until its PID went offline
    PID_LOSS_REPORTED,  // its readers were told
    REFUSED,            // too long, or refused too often: asked for no more
};

struct Mlist;
struct Handle {
    Mlist* list;
    uintptr_t user;
    uint32_t magic;
    gw_client_t* client;
    Handle *cprev, *cnext, *lprev, *lnext;
};

// One list on the wire, shared by the handles of its clients.
struct Mlist {
    uint16_t raster, pid;
    uint16_t listBytes;      // of the addresses, or of the names
    uint16_t requestedSpeed; // the raster divisor the clients want
    bool speedChangePending; // a by-name list's new divisor awaits its reply
    uint16_t confirmedSpeed; // the divisor the server was sent
    uint16_t fifoSlots;
    uint16_t type;               // bit 0 offline data, bit 1 entries newer than now are refused
    uint16_t entryBytes;         // one entry: the timestamp and the values
    uint16_t nameCount;          // of a by-name list
    bool byName;                 // names, asked for with 0x0510, not addresses
    uint32_t timeoutCalls;       // raster calls without data before the readers hear of it; 0 none
    bool timeoutReported;        // the time-out callback was told of the present outage
    uint32_t timeoutCountdown;   // raster calls left until the time-out
    uint32_t notMeasuringCycles; // 10 ms cycles its PID reported no measurement while it ran
    uint32_t negativeAnswers;    // 3 or more: a refused list is not asked for again
    uint8_t* listCopy;           // host-order address words, or the names
    uint32_t fifoRef;            // the FIFO the data arrive in
    uint32_t remoteListId;       // the server's name for it, from the create reply; 0 before
    Mlist *nextOfPid, *nextInRaster, *prevOfPid, *prevInRaster;
    Handle* handles; // newest first
    ListState state;
    uint32_t userCount;
    bool killRequested;
    uint16_t killDelay;     // ms from the stop (or the last entry) until a killed list is freed
    uint16_t killCountdown; // ms left of it
    bool exclusive;         // never shared, and its divisor may change
    uint16_t latency;       // from the create reply
    bool timestampError;    // an entry from the future came: asked for again
    bool inRasterList;      // on its raster's delivery list
    bool fifoGone;          // released under the running list (its unit restarted or went offline)
    uint32_t grantedAt;     // its unit's restarts counted here when it granted the list
    bool refused;           // its last answer refused it: told once, until a grant
    SyslogRateGuard refusedLog;
};

// A request outlives its list where its answer still has something to do here: the stop of a list
// by names frees the list's FIFO when it is answered or times out.
struct Request {
    Request *next, *prev;
    Mlist* list;
    uint32_t magic;
    uint16_t status;
    int16_t countdown;
    uint16_t entry;
    bool answered;
    bool byName;
    uint16_t pid;  // the unit it went to
    uint32_t fifo; // by names: the create's reserved FIFO number, or the FIFO the stop frees
};

struct PidRecord {
    uint16_t offlineReload;
    int16_t offlineCount;
    uint16_t pollReload;
    int16_t pollCount;
    uint16_t reported; // written by the command task: atomic accesses only
    uint16_t state;    // also read without the lock (telemetry, shell, diagnostics): atomic stores
    uint16_t previous, running, requests;
    Mlist* lists;
    uint32_t flagHandle;
};

enum MagicKind : uint8_t { NONE = 0, HANDLE = 1, REQUEST = 2 };
struct MagicSlot {
    MagicKind kind;
    void* target;
};

} // namespace

struct gw_client_t {
    gw_callbacks_t cb;
    Handle* head;
};

namespace {

PidRecord pids[PIDS];
Mlist* rasterLists[RASTERS];
Request* requestHead = nullptr;
MagicTable* gwMagics = nullptr;
MagicSlot* requestMagicArr = nullptr;
SEM_ID requestSem = nullptr, handleSem = nullptr;
std::atomic<bool> gatewayStop{false}; // set by the shutdown while the rasters run
uint16_t dataCntOnline[PIDS], dataCntOffline[PIDS], noDataCnt[PIDS], statCnt[PIDS];
uint16_t statState[PIDS][STATES];
const char* const stateNames[] = {"NOMEAS", "MEAS", "OFFLINE", "STARTUP", "KILLMEAS"};

bool later(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) > 0;
}

bool take(SEM_ID s, const char* what) {
    if (s && semTake(s, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_ERR, "%s(): Error acquiring semaphore %s", what, std::strerror(errno));
    return false;
}

uint16_t reportedOf(uint16_t pid) {
    return __atomic_load_n(&pids[pid].reported, __ATOMIC_ACQUIRE);
}
void setReported(uint16_t pid, uint16_t v) {
    __atomic_store_n(&pids[pid].reported, v, __ATOMIC_RELEASE);
}
uint16_t stateOf(uint16_t pid) {
    return __atomic_load_n(&pids[pid].state, __ATOMIC_RELAXED);
}
void setState(uint16_t pid, uint16_t v) {
    __atomic_store_n(&pids[pid].state, v, __ATOMIC_RELAXED);
}

// This unit reaches itself without the transport.
bool connected(uint16_t pid) {
    return pid == AppMan_getPID() || BC2_connected(pid);
}
bool capable(uint16_t pid, int capability) {
    return pid != AppMan_getPID() && BC2_getRemoteCapabilty(pid, capability) == 0;
}

uint32_t newMagic(MagicKind kind, void* target) {
    const uint32_t m = magicNumber_getNewMagic(gwMagics);
    if (m) requestMagicArr[m & 0xFFFF] = {kind, target};
    return m;
}
void dropMagic(uint32_t magic, bool delayed) {
    const int32_t i = magicNumber_magic2index(gwMagics, magic);
    if (i <= 0) return;
    requestMagicArr[i] = {NONE, nullptr};
    if (delayed)
        magicNumber_deleteMagic(gwMagics, magic);
    else
        magicNumber_deleteMagic_noTimeout(gwMagics, magic);
}
void* resolve(uint32_t magic, MagicKind kind) {
    const int32_t i = magicNumber_magic2index(gwMagics, magic);
    return i > 0 && requestMagicArr[i].kind == kind ? requestMagicArr[i].target : nullptr;
}

int call(const Handle* h, int entry, uint32_t status, const void* data) {
    const gw_callback_t& c = h->client->cb.entry[entry];
    return c.fn ? c.fn(status, data, h->user) : 0;
}
void callAll(const Mlist* l, int entry, uint32_t status, const void* data) {
    for (Handle* h = l->handles; h; h = h->lnext)
        call(h, entry, status, data);
}

bool isRunning(const Mlist* l) {
    return l->state == RUNNING || l->state == RUNNING_UNMEASURED;
}

// A list asked for again gets a new FIFO: the one before is freed, unless this unit writes it
// (a list of its own shares it with the server).
void replaceFifo(Mlist* l, uint32_t fifo) {
    if (l->fifoRef && l->fifoRef != fifo) dynkomm_fifo_free_receiving(l->fifoRef, l->pid);
    l->fifoRef = fifo;
    l->fifoGone = false;
    l->grantedAt = dynkomm_restarts(l->pid);
}

void linkRaster(Mlist* l) {
    if (l->inRasterList || l->raster >= RASTERS) return;
    l->prevInRaster = nullptr;
    l->nextInRaster = rasterLists[l->raster];
    if (l->nextInRaster) l->nextInRaster->prevInRaster = l;
    rasterLists[l->raster] = l;
    l->inRasterList = true;
}
void unlinkRaster(Mlist* l) {
    if (!l->inRasterList) return;
    if (l->prevInRaster)
        l->prevInRaster->nextInRaster = l->nextInRaster;
    else
        rasterLists[l->raster] = l->nextInRaster;
    if (l->nextInRaster) l->nextInRaster->prevInRaster = l->prevInRaster;
    l->nextInRaster = l->prevInRaster = nullptr;
    l->inRasterList = false;
}

void message(uint8_t* m, uint16_t code, uint16_t dest, uint32_t ctx1, uint32_t ctx2, uint16_t payload) {
    ci_set_header(m, {payload, AppMan_getPID(), dest, ctx1, ctx2, code});
}

// A numbered request that waits for the reply to entry `entry` of the list; not yet queued.
Request* newRequest(Mlist* l, uint16_t entry) {
    auto* r = new (std::nothrow) Request{};
    if (!r) return nullptr;
    r->list = l;
    r->byName = l->byName;
    r->pid = l->pid;
    r->countdown = REQUEST_MS;
    r->entry = entry;
    r->magic = newMagic(REQUEST, r);
    if (r->magic) return r;
    delete r;
    return nullptr;
}
// A request that was never queued.
void dropRequest(Request* r) {
    dropMagic(r->magic, false);
    delete r;
}
// Under the request mutex.
void enqueue(Request* r) {
    r->next = requestHead;
    if (requestHead) requestHead->prev = r;
    requestHead = r;
}

// Queues a request for the reply; under the handle mutex. 1 when sent.
int ciPutCmd(uint8_t* m, Mlist* l, uint16_t entry, uint32_t fifo = 0) {
    const uint16_t dest = ci_header(m).dest;
    if (dest < PIDS && pids[dest].state == OFFLINE) {
        put_be32(m + 8, 0);
        return 0;
    }
    Request* r = newRequest(l, entry);
    if (!r) return 0;
    r->fifo = fifo;
    put_be32(m + 8, r->magic);
    if (!take(requestSem, "gw_ci_put_cmd")) {
        dropRequest(r);
        return 0;
    }
    if (comint_put_cmd(m, 1) != 1) {
        semGive(requestSem);
        dropRequest(r);
        return 0;
    }
    enqueue(r);
    semGive(requestSem);
    return 1;
}

// The stop of a list that ran: 0x0502 straight, or 0x0512 through the request path.
int sendStop(Mlist* l) {
    uint8_t m[CI_HEADER];
    if (l->byName) {
        message(m, 0x0512, l->pid, 0, l->remoteListId, 0);
        return ciPutCmd(m, l, GW_CB_STOP, l->fifoRef);
    }
    message(m, 0x0502, l->pid, 0, l->remoteListId, 0);
    return comint_put_cmd(m, 1);
}

int speedInternal(Mlist* l, uint16_t speed) {
    if (!l->exclusive) return 0;
    l->requestedSpeed = speed;
    l->timeoutCountdown = l->timeoutCalls;
    if (!isRunning(l)) {
        SYSLOGX_RATE_GUARDED(
            LOG2_DEBUG,
            "gw_list_speed_internal: not sending speed cmd state %X, PID %X, FIFO %u, raster %u, type %u",
            l->state, l->pid, l->fifoRef, l->raster, l->type);
        return 0;
    }
    uint8_t m[CI_HEADER + 2];
    message(m, l->byName ? 0x0514 : 0x0503, l->pid, 0, l->remoteListId, 2);
    put_be16(m + CI_HEADER, speed);
    if (!ciPutCmd(m, l, 4)) return 0;
    if (l->byName)
        l->speedChangePending = true;
    else
        l->confirmedSpeed = speed;
    return 1;
}

// Under the handle mutex.
int startInternal(Mlist* l) {
    if (l->state >= REQUESTED && l->state <= KILLED_UNREQUESTED) return 0;
    if (l->listBytes > GW_LIST_MAX) {
        syslogx(LOG2_ERR,
                "gw_start_list_internal: Measlist exceeds length %d > %d: PID 0x%X, Raster %d, Fifoslots %d, "
                "Blocksize %d",
                l->listBytes, GW_LIST_MAX, l->pid, l->raster, l->fifoSlots, l->entryBytes);
        callAll(l, GW_CB_START, GW_TOO_LONG, nullptr);
        l->state = REFUSED;
        l->negativeAnswers = 3;
        return 0;
    }
    if (!l->byName) {
        uint8_t m[CI_HEADER + 12 + GW_LIST_MAX];
        message(m, 0x0500, l->pid, 0, 0, static_cast<uint16_t>(l->listBytes + 12));
        uint8_t* p = m + CI_HEADER;
        put_be16(p, l->raster);
        put_be16(p + 2, l->requestedSpeed);
        put_be16(p + 4, l->entryBytes);
        put_be16(p + 6, l->listBytes);
        put_be16(p + 8, l->fifoSlots);
        put_be16(p + 10, l->type);
        for (uint16_t i = 0; i < l->listBytes / 4; ++i) {
            int32_t w;
            std::memcpy(&w, l->listCopy + 4 * i, 4);
            put_be32(p + 12 + 4 * i, static_cast<uint32_t>(w));
        }
        l->state = REQUESTED;
        if (!ciPutCmd(m, l, GW_CB_START)) {
            l->state = TO_REQUEST;
            return 0;
        }
        ++pids[l->pid].requests;
        return 1;
    }
    Request* r = newRequest(l, GW_CB_START);
    if (!r) return 0;
    if (capable(l->pid, 1)) {
        if (!capable(l->pid, 2) && l->nameCount > 1) {
            SYSLOGX_RATE_GUARDED(
                LOG_ERR,
                "gw_start_list_internal: measByName with more than one channel not supported, ignoring "
                "%d channels",
                l->nameCount - 1);
            l->nameCount = 1;
            l->listBytes = static_cast<uint16_t>(std::strlen(reinterpret_cast<char*>(l->listCopy)) + 1);
        }
        if (!gw_pid_offline(l->pid) &&
            !(r->fifo =
                  meas_man_create2(r->magic, reinterpret_cast<char*>(l->listCopy), l->pid, l->raster,
                                   l->requestedSpeed, l->listBytes, l->nameCount, l->fifoSlots, l->type))) {
            l->state = TO_REQUEST;
            dropRequest(r);
            return 0;
        }
    }
    l->state = REQUESTED;
    ++pids[l->pid].requests;
    if (take(requestSem, "gw_start_list_internal")) {
        enqueue(r);
        semGive(requestSem);
    }
    return 1;
}

// A request that leaves the queue, answered or not. The FIFO number a create by names reserved
// goes back unless its grant made a FIFO under it: a peer that never answers takes none, and its
// late grant then finds nothing reserved (meas_man_meas2_create_reply, lateGrant).
void finish(Request* r, bool delayed) {
    if (r->byName && r->entry == GW_CB_START && r->fifo) dynkomm_free_magic_direct(r->fifo);
    dropMagic(r->magic, delayed);
    delete r;
}

// An answered request. Its number is free at once: a peer that refuses a list is asked again
// every cycle, and numbers held back for their delay would run the table out within minutes. A
// later reply naming it still names nothing: the same number comes round only once the table's
// cursor has moved on by 2^24.
void unqueue(Request* r) {
    if (r->prev)
        r->prev->next = r->next;
    else
        requestHead = r->next;
    if (r->next) r->next->prev = r->prev;
    finish(r, false);
}

// Frees a killed list; under the handle mutex. Its stop by names still waits for its answer.
void killInternal(Mlist* l) {
    if (!take(requestSem, "gw_kill_list_internal")) return;
    for (Request* r = requestHead; r; r = r->next)
        if (r->list == l) {
            r->answered = r->answered || !(r->byName && r->entry == GW_CB_STOP);
            r->list = nullptr;
        }
    semGive(requestSem);
    PidRecord& p = pids[l->pid];
    if (l->prevOfPid)
        l->prevOfPid->nextOfPid = l->nextOfPid;
    else if (p.lists == l)
        p.lists = l->nextOfPid;
    if (l->nextOfPid) l->nextOfPid->prevOfPid = l->prevOfPid;
    unlinkRaster(l);
    std::free(l->listCopy);
    delete l;
}

void unlinkHandle(Handle* h) {
    if (h->cprev)
        h->cprev->cnext = h->cnext;
    else
        h->client->head = h->cnext;
    if (h->cnext) h->cnext->cprev = h->cprev;
    Mlist* l = h->list;
    if (h->lprev)
        h->lprev->lnext = h->lnext;
    else
        l->handles = h->lnext;
    if (h->lnext) h->lnext->lprev = h->lprev;
}

void attach(Handle* h, gw_client_t* c, Mlist* l) {
    h->client = c;
    h->list = l;
    h->cnext = c->head;
    if (c->head) c->head->cprev = h;
    c->head = h;
    h->lnext = l->handles;
    if (l->handles) l->handles->lprev = h;
    l->handles = h;
}

uint32_t setup(gw_client_t* c, const void* words, bool byName, uintptr_t user, uint16_t length,
               uint16_t nameCount, uint16_t raster, uint16_t pid, uint16_t share, uint16_t type,
               uint16_t speed, uint16_t slots, uint16_t block, uint32_t timeout) {
    if (!c || !words || pid >= PIDS || raster >= RASTERS) return 0;
    if (slots == 0) slots = gw_getslotnum(raster);
    // Taken before the handle is made: a delete that finds the task waiting for the mutex ends it
    // there, with nothing of it to lose; holding the mutex, the task is not ended.
    if (!take(handleSem, "gw_setup_list")) return 0;
    auto* h = new (std::nothrow) Handle{};
    if (!h) {
        semGive(handleSem);
        syslogx(LOG_ERR, "gw_setup_list: alloc mhandle_p failed ");
        return 0;
    }
    h->user = user;
    uint32_t result = 0;
    Mlist* join = nullptr;
    if (share == 0)
        for (Mlist* l = pids[pid].lists; l && !join; l = l->nextOfPid) {
            const bool small = byName ? nameCount <= 1 : block <= 8;
            if (small && l->byName == byName && l->raster == raster && l->listBytes == length &&
                l->type == type && l->requestedSpeed == speed && l->fifoSlots == slots &&
                l->entryBytes == block && l->timeoutCalls == timeout && !l->exclusive && !l->killRequested &&
                l->userCount > 0 &&
                std::memcmp(l->listCopy, words, byName ? length : (length < 8 ? length : 8)) == 0)
                join = l;
        }
    if (join) {
        h->magic = newMagic(HANDLE, h);
        if (!h->magic) {
            syslogx(LOG_ERR,
                    "gw_setup_list: gw_get_magic failed @ NOT_STOPPABLE PID %X FIFO %u, raster %u, type %u",
                    pid, join->fifoRef, raster, type);
            delete h;
        } else {
            attach(h, c, join);
            ++join->userCount;
            if (isRunning(join)) call(h, GW_CB_START, GW_OK, &join->latency);
            result = h->magic;
        }
    } else {
        auto* l = new (std::nothrow) Mlist{};
        uint8_t* copy = l ? static_cast<uint8_t*>(std::malloc(length ? length : 1)) : nullptr;
        if (!copy) {
            syslogx(LOG_ERR, "gw_setup_list: get mlist_p failed @ STOPPABLE ");
            delete l;
            delete h;
        } else {
            std::memcpy(copy, words, length);
            l->listCopy = copy;
            l->byName = byName;
            l->nameCount = nameCount;
            l->raster = raster;
            l->pid = pid;
            l->listBytes = length;
            l->requestedSpeed = l->confirmedSpeed = speed;
            l->fifoSlots = slots;
            l->type = type;
            l->entryBytes = block;
            l->timeoutCalls = l->timeoutCountdown = timeout;
            l->state = SET_UP;
            l->userCount = 1;
            l->killDelay = l->killCountdown = KILL_DELAY;
            l->exclusive = share != 0;
            h->magic = newMagic(HANDLE, h);
            if (!h->magic) {
                syslogx(LOG_ERR,
                        "gw_setup_list: gw_get_magic failed @ STOPPABLE PID %X FIFO %u, raster %u, type %u",
                        pid, 0u, raster, type);
                std::free(copy);
                delete l;
                delete h;
            } else {
                attach(h, c, l);
                l->nextOfPid = pids[pid].lists;
                if (l->nextOfPid) l->nextOfPid->prevOfPid = l;
                pids[pid].lists = l;
                result = h->magic;
            }
        }
    }
    semGive(handleSem);
    return result;
}

void sendStateQuery(uint16_t pid) {
    uint8_t m[CI_HEADER];
    if (capable(pid, 1))
        message(m, 0x0516, pid, 0, AppMan_getPID(), 0);
    else
        message(m, 0x0505, pid, pids[pid].flagHandle, AppMan_getPID(), 0);
    comint_put_cmd(m, 1);
}

void logStatistics(uint16_t pid) {
    PidRecord& p = pids[pid];
    statCnt[pid] = 0;
    if (!p.lists) return;
    uint16_t per[STATES] = {};
    uint16_t n = 0;
    for (Mlist* l = p.lists; l; l = l->nextOfPid, ++n)
        if (l->state < STATES) ++per[l->state];
    statCnt[pid] = n;
    if (std::memcmp(per, statState[pid], sizeof per) == 0) return;
    std::memcpy(statState[pid], per, sizeof per);
    SYSLOGX_RATE_GUARDED(
        LOG2_INFO,
        "MeasGate: PID 0x%02X is %s, ReqM:%3u, RunM:%3u; mlist cnt:%3u, Cfg:%3u, P_Ini:%3u, P_Etry:%3u, "
        "P_Err:%3u, "
        "Stp:%3u, Meas:%3u, MeasPN:%3u, Dest:%3u",
        pid, p.state <= KILLMEAS ? stateNames[p.state] : "UNDEF", p.requests, p.running, n, per[0], per[1],
        per[2], per[3], per[4], per[5], per[6], per[7]);
    SYSLOGX_RATE_GUARDED(LOG2_INFO,
                         "   MeasGate(cont): PID 0x%02X: Ins_Dest:%3u, Off_Etry:%3u, Off_Err:%3u, StErr: %3u",
                         pid, per[8], per[9], per[10], per[11]);
}

// 1. Kills and restarts: killed lists are stopped and freed after their delay, lists with a
// time-stamp error are stopped for a new request.
void reapLists(uint16_t pid) {
    for (Mlist *l = pids[pid].lists, *next; l; l = next) {
        next = l->nextOfPid;
        if (l->killRequested && (l->state == STOP_SENT || l->state == KILLED_UNREQUESTED)) {
            if (l->killCountdown < 10)
                killInternal(l);
            else
                l->killCountdown = static_cast<uint16_t>(l->killCountdown - 10);
        } else if (l->killRequested) {
            if (l->state == SET_UP || l->state == START_ASKED) {
                l->state = KILLED_UNREQUESTED;
                l->killCountdown = l->killDelay;
            } else if (sendStop(l)) {
                l->state = STOP_SENT;
                l->killCountdown = l->killDelay;
            }
        } else if ((l->timestampError || l->fifoGone) && isRunning(l) &&
                   // A unit that restarted since it granted the list knows it no more: a stop
                   // would only come back as a report of a FIFO left behind (0x1100).
                   (dynkomm_restarts(pid) != l->grantedAt || sendStop(l))) {
            if (l->timestampError)
                SYSLOGX_RATE_GUARDED(
                    LOG_INFO, "gw_meas_monitoring(): restart block because of timestamp error PID 0x%02X",
                    pid);
            else
                SYSLOGX_RATE_GUARDED(LOG_INFO,
                                     "gw_meas_monitoring(): restart block, its FIFO is gone PID 0x%02X", pid);
            l->remoteListId = 0;
            l->state = TO_REQUEST;
            l->timestampError = false;
            l->fifoGone = false;
        }
    }
}

// 2. The PID's state from the answers, and the next query when the poll is due.
void takeReportedState(uint16_t pid) {
    PidRecord& p = pids[pid];
    p.offlineCount = static_cast<int16_t>(p.offlineCount - 10);
    p.pollCount = static_cast<int16_t>(p.pollCount - 10);
    const uint16_t reported = reportedOf(pid);
    if (reported != OFFLINE || p.offlineCount < 1) {
        if (!(reported == MEAS && p.state == KILLMEAS)) setState(pid, reported);
        if (p.pollCount < 1) {
            p.offlineCount = static_cast<int16_t>(p.offlineReload);
            p.pollCount = static_cast<int16_t>(p.pollReload);
            setReported(pid, OFFLINE);
            sendStateQuery(pid);
        }
    }
}

// 3. What each PID state does to the PID's lists; at most STARTS_PER_CYCLE requests a cycle.
struct Starts {
    int n = 0;
    void operator()(Mlist* l) {
        if (n < STARTS_PER_CYCLE && startInternal(l)) ++n;
    }
};
// Not yet asked for, waiting for its reply, or killed: no PID state changes it.
bool settled(const Mlist* l) {
    return l->state == SET_UP || l->state == REQUESTED || l->state == STOP_SENT ||
           l->state == KILLED_UNREQUESTED;
}
bool wasOnline(const PidRecord& p) {
    return p.previous == NOMEAS || p.previous == MEAS || p.previous == KILLMEAS;
}

void onNoMeasurement(uint16_t pid) {
    PidRecord& p = pids[pid];
    if (p.previous == KILLMEAS)
        SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: PID 0x%X finished kill all meas, setting up new meas",
                             pid);
    else if (!wasOnline(p))
        SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: PID 0x%X is detected online(PID_NOMEAS)", pid);
    Starts start;
    bool reset = false;
    for (Mlist* l = p.lists; l; l = l->nextOfPid) {
        if (settled(l)) continue;
        switch (l->state) {
        case RUNNING:
            l->state = RUNNING_UNMEASURED;
            l->notMeasuringCycles = 0;
            break;
        case RUNNING_UNMEASURED:
            if (++l->notMeasuringCycles > NOT_MEASURING_MAX) {
                l->state = TO_REQUEST;
                l->negativeAnswers = 0;
                reset = true;
                start(l);
            }
            break;
        default:
            if (!(l->state == REFUSED && l->negativeAnswers >= 3)) start(l);
        }
    }
    if (reset) {
        SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: PID 0x%X reset detected, restart measurement.", pid);
        for (Mlist* l = p.lists; l; l = l->nextOfPid)
            l->negativeAnswers = 0;
    }
}

void onMeasuring(uint16_t pid) {
    PidRecord& p = pids[pid];
    if (!wasOnline(p))
        SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: PID 0x%X is detected online(PID_MEAS)", pid);
    if (p.running == 0 && p.requests == 0) {
        gw_kill_pid(pid);
        setState(pid, KILLMEAS);
        p.pollCount = 10;
        SYSLOGX_RATE_GUARDED(
            LOG2_INFO,
            "MeasGate: PID 0x%X reports a measurement but none is registerd here. Kill all meas on "
            "client.",
            pid);
        return;
    }
    if (p.previous != MEAS) {
        uint32_t lists = 0, refused = 0;
        for (const Mlist* l = p.lists; l; l = l->nextOfPid)
            if (!l->killRequested && l->state != SET_UP) {
                ++lists;
                refused += l->refused || l->state == REFUSED;
            }
        if (refused)
            SYSLOGX_RATE_GUARDED(LOG2_INFO,
                                 "MeasGate: Measurement for PID 0x%X is running, %u of its %u lists refused",
                                 pid, refused, lists);
        else
            SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: Measurement for PID 0x%X is set up and running", pid);
    }
    Starts start;
    for (Mlist* l = p.lists; l; l = l->nextOfPid) {
        if (settled(l)) continue;
        switch (l->state) {
        case START_ASKED:
        case TO_REQUEST:
        case PID_AWAITED:
        case REFUSED:
            if (!(l->state == REFUSED && l->negativeAnswers >= 3)) {
                start(l);
                l->timestampError = false;
            }
            break;
        case RUNNING_UNMEASURED:
            l->state = RUNNING;
            [[fallthrough]];
        case RUNNING:
            if (l->exclusive && l->requestedSpeed != l->confirmedSpeed) {
                SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: GW_SERVICE_MEAS_SPEED repeated");
                speedInternal(l, l->requestedSpeed);
            }
            break;
        case PID_LOST:
        case PID_LOSS_REPORTED:
            callAll(l, GW_CB_START, GW_OK, nullptr);
            l->state = RUNNING;
            if (l->exclusive) speedInternal(l, l->requestedSpeed);
            break;
        default:
            SYSLOGX_RATE_GUARDED(LOG2_ERR,
                                 "measlist state undefined: state %X, PID %X, FIFO %u, raster %u, type %u",
                                 l->state, pid, l->fifoRef, l->raster, l->type);
        }
    }
}

void onOffline(uint16_t pid) {
    PidRecord& p = pids[pid];
    if (p.previous != OFFLINE) SYSLOGX_RATE_GUARDED(LOG2_INFO, "MeasGate: PID 0x%X is detected offline", pid);
    for (Mlist* l = p.lists; l; l = l->nextOfPid) {
        l->negativeAnswers = 0;
        if (l->state == TO_REQUEST) {
            callAll(l, GW_CB_START, GW_PID_OFFLINE, nullptr);
            l->state = PID_AWAITED;
        } else if (isRunning(l)) {
            callAll(l, GW_CB_START, GW_PID_OFFLINE, nullptr);
            l->state = PID_LOST;
        }
    }
}

void onKilling(uint16_t pid) {
    const PidRecord& p = pids[pid];
    if (p.running == 0 && p.requests == 0 && p.pollCount < 11) {
        gw_kill_pid(pid);
        SYSLOGX_RATE_GUARDED(
            LOG2_INFO,
            "MeasGate: repeat: PID 0x%X reports a measurement but none is registerd here. Kill all "
            "meas on "
            "client.",
            pid);
    }
}

// By PID state: no measurement, measuring, offline, start-up (nothing), kill sent.
void (*const byState[])(uint16_t) = {onNoMeasurement, onMeasuring, onOffline, nullptr, onKilling};

void monitorPid(uint16_t pid) {
    reapLists(pid);
    takeReportedState(pid);
    const uint16_t state = pids[pid].state;
    if (state < sizeof byState / sizeof byState[0] && byState[state]) byState[state](pid);
    logStatistics(pid);
}

// What a reply answers: the create request of a list by address or by names, or a speed change
// or stop of a list by names. A reply answers only a request of its kind, from the unit it went to.
enum ReplyKind { BY_ADDRESS, BY_NAMES, SPEED, STOP };
constexpr uint16_t ANY_UNIT = 0xFFFF;

// The request a reply names, if it waits for one of that kind (all but a stop with their list);
// under both mutexes.
Request* pending(uint32_t magic, ReplyKind kind, uint16_t source) {
    auto* r = static_cast<Request*>(resolve(magic, REQUEST));
    if (!r || r->answered || (source != ANY_UNIT && source != r->pid)) return nullptr;
    const bool listed = r->list != nullptr;
    switch (kind) {
    case BY_ADDRESS:
        return listed && r->entry == GW_CB_START && !r->byName ? r : nullptr;
    case BY_NAMES:
        return listed && r->entry == GW_CB_START && r->byName ? r : nullptr;
    case SPEED:
        return listed && r->entry == 4 && r->byName ? r : nullptr;
    default:
        return r->entry == GW_CB_STOP && r->byName ? r : nullptr;
    }
}

// A list here, other than `except`, that holds the list number `remote` of the unit `pid` or the
// FIFO `fifo`: a reply naming either is a copy of one already taken, or a stray one, and answers
// nothing. Under the handle mutex.
const Mlist* holder(uint16_t pid, uint32_t remote, uint32_t fifo, const Mlist* except) {
    if (pid >= PIDS) return nullptr;
    for (const Mlist* l = pids[pid].lists; l; l = l->nextOfPid)
        if (l != except && ((remote && l->remoteListId == remote) || (fifo && l->fifoRef == fifo))) return l;
    return nullptr;
}

// A grant that no list here waits for: nothing here reads or stops what it made, so it is stopped
// on its unit and the FIFO of its path freed (not one a list here still holds).
void stopUnread(uint16_t pid, uint32_t remote, uint32_t fifo, bool byName, const Mlist* l) {
    uint8_t stop[CI_HEADER];
    message(stop, byName ? 0x0512 : 0x0502, pid, 0, remote, 0);
    comint_put_cmd(stop, 1);
    if (!(l && l->fifoRef == fifo)) dynkomm_fifo_free_receiving(fifo, pid);
}

// A refusal of the list: its readers hear of it, and it is told once until it is granted.
void refuse(Mlist* l, uint32_t entry) {
    if (!l->refused && syslogx_rateguard(&l->refusedLog)) {
        if (l->byName) {
            char head[24] = {};
            std::memcpy(head, l->listCopy, l->listBytes < sizeof head - 1 ? l->listBytes : sizeof head - 1);
            syslogx(LOG2_ERR, "MeasGate: PID 0x%X refused the list of raster %u with %u names from %s",
                    l->pid, l->raster, l->nameCount, head);
        } else {
            uint32_t values = 0, first = 0;
            for (uint16_t i = 0; i + 4 <= l->listBytes; i += 4) {
                int32_t w;
                std::memcpy(&w, l->listCopy + i, 4);
                if (w <= 0) continue;
                if (!values++) first = static_cast<uint32_t>(w);
            }
            syslogx(LOG2_ERR, "MeasGate: PID 0x%X refused the list of raster %u with %u value%s from 0x%06X",
                    l->pid, l->raster, values, values == 1 ? "" : "s", first);
        }
    }
    l->refused = true;
    callAll(l, static_cast<int>(entry), GW_REFUSED, nullptr);
}

// A grant taken: the list runs on the FIFO it names.
void run(Mlist* l, uint32_t remote, uint32_t fifo) {
    replaceFifo(l, fifo);
    l->remoteListId = remote;
    l->refused = false;
    linkRaster(l);
    l->state = RUNNING;
    ++pids[l->pid].running;
}

// The server hands on the answers to requests by names (0x0511); it has made a FIFO for a grant
// of a request it reserved the FIFO's number for, and for nothing else.
void byNameReply(uint32_t requestMagic, uint32_t listMagic, uint32_t fifo, const uint8_t* records, size_t) {
    if (!take(handleSem, "gw_meascreate_reply_measByName")) return;
    // A grant's unit is the one its FIFO receives from.
    DynkommFifo* f = listMagic && fifo ? dynkomm_fifo_pin(fifo) : nullptr;
    const uint16_t source = f ? f->sourcePid : ANY_UNIT;
    dynkomm_fifo_unpin(f);
    if (take(requestSem, "gw_meascreate_reply_measByName")) {
        Request* r = listMagic && !f ? nullptr : pending(requestMagic, BY_NAMES, source);
        Mlist* l = r ? r->list : nullptr;
        const Mlist* held = listMagic ? holder(source, listMagic, fifo, l) : nullptr;
        if (r && !held) r->answered = true;
        semGive(requestSem);
        if (held) {
            SYSLOGX_RATE_GUARDED(LOG2_INFO,
                                 "MeasGate: grant of PID 0x%X for list 0x%08X names a list here, ignored",
                                 source, listMagic);
        } else if (listMagic && (!l || l->killRequested || l->state != REQUESTED)) {
            // Its request timed out, or its list was killed while it was out.
            if (f) stopUnread(source, listMagic, fifo, true, l);
        } else if (l && listMagic) {
            run(l, listMagic, fifo);
            callAll(l, GW_CB_START, GW_OK, records);
        } else if (l) {
            l->state = REFUSED;
            if (++l->negativeAnswers >= 3) {
                char head[20] = {};
                std::strncpy(head, reinterpret_cast<char*>(l->listCopy),
                             l->listBytes < 19 ? l->listBytes : 19);
                SYSLOGX_RATE_GUARDED(
                    LOG_ERR,
                    "gw_meascreate_reply_measByName(): got 3 negative answers for measlist, giving up "
                    "(pid 0x%02X, "
                    "req 0x%08X, List %s...",
                    l->pid, requestMagic, head);
            }
            refuse(l, GW_CB_START);
        }
    }
    if (semGive(handleSem) != OK)
        syslogx(LOG_ERR, "gw_meascreate_reply_measByName: failed to give semaphore %s", std::strerror(errno));
}

void serviceReply(uint32_t requestMagic, uint32_t result) {
    if (!take(handleSem, "gw_service_reply_meas2")) return;
    if (take(requestSem, "gw_service_reply_meas2")) {
        if (Request* r = pending(requestMagic, SPEED, ANY_UNIT)) {
            Mlist* l = r->list;
            if (result == 1)
                l->confirmedSpeed = l->requestedSpeed;
            else
                SYSLOGX_RATE_GUARDED(
                    LOG_ERR,
                    "gw_service_reply_meas2(): setting meas speed return FALSE, PID: 0x%02X, divisor %d",
                    l->pid, l->confirmedSpeed);
            l->speedChangePending = false;
            r->answered = true;
        }
        semGive(requestSem);
    }
    semGive(handleSem);
}

// The answer to a stop by names: only one that answers a stop asked here, still waiting, for the
// FIFO that stop frees (or naming none: the unit has nothing of the list left) frees that FIFO.
// Any other, a stray one naming a running list's FIFO say, frees nothing.
void stopReply(uint16_t pid, uint32_t requestMagic, uint32_t fifo, uint32_t result) {
    if (!take(handleSem, "gw_service_reply_meas2")) return;
    Request* r = nullptr;
    if (take(requestSem, "gw_service_reply_meas2")) {
        r = pending(requestMagic, STOP, pid);
        if (r && fifo && fifo != r->fifo) r = nullptr;
        if (r) r->answered = true;
        semGive(requestSem);
    }
    if (!r) {
        SYSLOGX_RATE_GUARDED(
            LOG_INFO, "MeasGate: stop answer of PID 0x%X for FIFO 0x%08X answers no stop asked here, ignored",
            pid, fifo);
    } else {
        if (result != 1)
            SYSLOGX_RATE_GUARDED(
                LOG_ERR, "gw_service_reply_meas2(): stopping measlist return FALSE, PID: 0x%02X", pid);
        if (r->fifo) dynkomm_fifo_free_receiving(r->fifo, pid);
    }
    semGive(handleSem);
}

// A grant by names whose FIFO number is reserved here no more: its request timed out or its list
// was killed, and nothing here will read or stop the list it made, unless a list here holds it.
void lateGrant(uint16_t pid, uint32_t listMagic) {
    if (pid >= PIDS || !take(handleSem, "gw_meascreate_reply_measByName")) return;
    if (holder(pid, listMagic, 0, nullptr)) {
        SYSLOGX_RATE_GUARDED(LOG2_INFO,
                             "MeasGate: grant of PID 0x%X for list 0x%08X names a list here, ignored", pid,
                             listMagic);
    } else {
        uint8_t stop[CI_HEADER];
        message(stop, 0x0512, pid, 0, listMagic, 0);
        comint_put_cmd(stop, 1);
    }
    semGive(handleSem);
}

void timestampError(const uint8_t* m, const char* what) {
    const CiHeader h = ci_header(m);
    if (h.context1 >= RASTERS) return;
    if (!take(handleSem, "gw_meas_timestamp_err")) return;
    for (Mlist* l = rasterLists[h.context1]; l; l = l->nextInRaster) {
        if (l->pid != h.source || l->remoteListId != h.context2) continue;
        if (isRunning(l))
            l->timestampError = true;
        else
            SYSLOGX_GUARDED(LOG_ERR, "%s(): got timestamp error while in state %d, ignored", what,
                            static_cast<int>(l->state));
        break;
    }
    semGive(handleSem);
}

} // namespace

const MeasManGatewaySink gw_measGatewaySink{byNameReply, serviceReply, gw_meas_state_reply, lateGrant,
                                            stopReply};

void gw_meas_ini() {
    requestHead = nullptr;
    for (Mlist*& r : rasterLists)
        r = nullptr;
    for (uint16_t pid = 0; pid < PIDS; ++pid) {
        PidRecord& p = pids[pid];
        p = PidRecord{OFFLINE_MS, 0, POLL_MS, 0, OFFLINE, OFFLINE, OFFLINE, 0, 0, nullptr, p.flagHandle};
        // What the 0x0505 query names for the 0x0103/0x0104 answer to set.
        comint_handle_drop(p.flagHandle);
        p.flagHandle = comint_handle_flag(&p.reported);
    }
    if (!requestSem) requestSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!requestSem) syslogx(LOG_ERR, "gw_meas_ini() semMCreate request failed");
    if (!handleSem) handleSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!handleSem) syslogx(LOG_ERR, "gw_meas_ini() semMCreate mhandle failed");
    if (!gwMagics) gwMagics = magicNumber_createMem(DK_MAGIC_COUNT, DK_MAGIC_DELAY);
    if (!requestMagicArr) requestMagicArr = new (std::nothrow) MagicSlot[DK_MAGIC_COUNT]{};
    if (!gwMagics || !requestMagicArr)
        syslogx(LOG_ERR, "gw_meas_ini(): failed to initialize magic number table");
    gatewayStop = false;
}

gw_client_t* gw_connect(const gw_callbacks_t* callbacks) {
    if (!callbacks) {
        syslogx(LOG_ERR, "gw_connect() callback_list NULL");
        return nullptr;
    }
    auto* c = new (std::nothrow) gw_client_t{};
    if (c) c->cb = *callbacks;
    return c;
}

uint32_t gw_setup_list(gw_client_t* c, const int32_t* list, uintptr_t user, uint16_t length, uint16_t raster,
                       uint16_t pid, uint16_t share, uint16_t type, uint16_t speed, uint16_t slots,
                       uint16_t block, uint32_t timeout) {
    // PID 0 in an address names this unit; a caller that passes it as it stands means itself.
    if (pid == 0) pid = AppMan_getPID();
    return setup(c, list, false, user, length, 0, raster, pid, share, type, speed, slots, block, timeout);
}

uint32_t gw_setup_list_measByName(gw_client_t* c, const char* device, const char* names, uintptr_t user,
                                  uint16_t namesLength, uint16_t nameCount, uint16_t raster, uint16_t share,
                                  uint16_t type, uint16_t speed, uint16_t slots, uint32_t timeout) {
    return setup(c, names, true, user, namesLength, nameCount, raster, pidByDevicename(device), share, type,
                 speed, slots, 0, timeout);
}

void gw_start_list(uint32_t magic) {
    if (!take(handleSem, "gw_start_list")) return;
    auto* h = static_cast<Handle*>(resolve(magic, HANDLE));
    Mlist* l = h ? h->list : nullptr;
    if (!l || (l->state >= START_ASKED && l->state <= RUNNING_UNMEASURED)) {
        // nothing to do
    } else if (l->state == STOP_SENT || l->state == KILLED_UNREQUESTED || l->state == REFUSED) {
        syslogx(LOG_ERR, "gw_start_list: try to use deleted measlist.");
    } else {
        if (!connected(l->pid)) callAll(l, GW_CB_START, GW_OFFLINE, nullptr);
        l->state = START_ASKED;
        l->timestampError = false;
    }
    semGive(handleSem);
}

void gw_start_all(gw_client_t* c) {
    if (!c || !take(handleSem, "gw_start_all")) return;
    for (Handle* h = c->head; h; h = h->cnext)
        gw_start_list(h->magic);
    semGive(handleSem);
}

void gw_kill_list(uint32_t magic) {
    if (!take(handleSem, "gw_kill_list")) return;
    auto* h = static_cast<Handle*>(resolve(magic, HANDLE));
    Mlist* l = h ? h->list : nullptr;
    if (l && !l->killRequested) {
        dropMagic(magic, true);
        if (l->userCount) --l->userCount;
        unlinkHandle(h);
        call(h, GW_CB_STOP, GW_OK, nullptr);
        delete h;
        if (l->userCount == 0) {
            // Set under the mutex, so no raster task reads the list's FIFO once the stop is out.
            if (l->state == SET_UP || l->state == START_ASKED)
                l->state = KILLED_UNREQUESTED;
            else if (sendStop(l))
                l->state = STOP_SENT;
            l->killRequested = true;
            l->killCountdown = l->killDelay;
        }
    }
    semGive(handleSem);
}

void gw_kill_all_lists(gw_client_t* c) {
    if (!c || !take(handleSem, "gw_kill_all_lists")) return;
    while (c->head) {
        Handle* h = c->head;
        if (h->list->killRequested) { // left unchanged by the kill: take it off the client all the same
            unlinkHandle(h);
            dropMagic(h->magic, true);
            delete h;
        } else {
            gw_kill_list(h->magic);
        }
    }
    semGive(handleSem);
}

int gw_disconnect(gw_client_t* c) {
    gw_kill_all_lists(c);
    delete c;
    return 0;
}

int gw_list_speed(gw_client_t* c, uint32_t magic, uint16_t speed) {
    if (!c || !take(handleSem, "gw_list_speed")) return 0;
    auto* h = static_cast<Handle*>(resolve(magic, HANDLE));
    const int r = h && h->client == c ? speedInternal(h->list, speed) : 0;
    semGive(handleSem);
    return r;
}

uint16_t pidByDevicename(const char* device) {
    struct Name {
        const char* name;
        uint16_t pid;
    };
    static const Name exact[] = {
        {"Q50", 34},     {"Q60", 34},     {"Q65", 34},  {"Q70", 34},   {"Q80", 34},    {"VLM8", 36},
        {"VLM7", 36},    {"VLM10", 36},   {"VLM9", 37}, {"VLM11", 37}, {"VLMS2p", 37}, {"KT6", 10},
        {"KT7", 10},     {"PRAQL", 39},   {"PRAQ", 3},  {"KX350", 4},  {"HNR4", 4},    {"ZOB", 35},
        {"KT6_LOG", 35}, {"KT7_LOG", 35}, {"QDV", 7},   {"QDV_A", 7},  {"QDV_B", 6},   {"WEMB3", 38}};
    static const Name suffix[] = {{"_FL", 40}, {"_FR", 41}, {"_RL", 42}, {"_RR", 43},
                                  {"_F", 44},  {"_R", 45},  {"_C", 46},  {"_GB", 47}};
    if (!device) return 0;
    for (const Name& n : exact)
        if (std::strcmp(device, n.name) == 0) return n.pid;
    if (const char* tail = std::strrchr(device, '_'))
        for (const Name& n : suffix)
            if (std::strcmp(tail, n.name) == 0) return n.pid;
    syslogx(LOG_ERR, "pidByDevicename(): device %s unknown!, pid 0 set", device);
    return 0;
}

uint16_t gw_getslotnum(int raster) {
    static const uint16_t slots[] = {512, 256, 128, 64, 32, 16, 8, 4, 4, 2, 512};
    return raster >= 0 && raster <= 10 ? slots[raster] : 2;
}

void gw_raster(int raster) {
    if (raster < 0 || raster >= RASTERS) return;
    const uint32_t now = time_getTimestamp();
    if (!take(handleSem, "gw_raster")) return;
    for (Mlist* l = rasterLists[raster]; l; l = l->nextInRaster) {
        if (isRunning(l) && !l->timestampError) {
            if (gatewayStop) break;
            // The command task may release the FIFO while its entries are handed on.
            DynkommFifo* f = dynkomm_fifo_pin(l->fifoRef);
            if (!f) l->fifoGone = true;
            // The writer of an online FIFO may come round to a slot while it is read: the clients
            // get a copy taken in loads that match its stores, never a torn entry.
            uint8_t copy[DK_SLOT_MAX];
            auto next = [&]() -> const uint8_t* {
                return dynkomm_peek_copy(f, copy, sizeof copy) ? copy : nullptr;
            };
            const uint8_t* entry = next();
            if (l->requestedSpeed != l->confirmedSpeed && !l->speedChangePending && !gw_pid_offline(l->pid)) {
                SYSLOGX_RATE_GUARDED(
                    LOG2_INFO, "gw_raster: PID 0x%X correcting divisor to %d, 0x%08x, ras=%u, to=%u/%u (%u)",
                    l->pid, l->requestedSpeed, static_cast<unsigned>(reinterpret_cast<uintptr_t>(l)),
                    l->raster, l->timeoutCountdown, l->timeoutCalls, l->timeoutReported);
                speedInternal(l, l->requestedSpeed);
            }
            if (!entry) {
                if (l->timeoutCountdown == 1) {
                    Handle* head = l->handles;
                    if (head && head->client->cb.entry[GW_CB_TIMEOUT].fn && !l->timeoutReported) {
                        l->timeoutReported = true;
                        call(head, GW_CB_TIMEOUT, GW_NODATA, &l->pid);
                    }
                    callAll(l, GW_CB_READ, GW_NODATA, nullptr);
                    ++noDataCnt[l->pid];
                    l->timeoutCountdown = l->timeoutCalls;
                }
                if (l->timeoutCountdown > 1 && l->requestedSpeed != 0) --l->timeoutCountdown;
            }
            bool tooNew = false;
            while (entry) {
                if ((l->type & 2) && later(get_be32(entry), now + 1000)) {
                    dynkomm_readdone(f);
                    tooNew = true;
                    entry = next();
                    continue;
                }
                if (l->timeoutReported) {
                    if (l->handles) call(l->handles, GW_CB_TIMEOUT, GW_OK, &l->pid);
                    l->timeoutReported = false;
                }
                l->timeoutCountdown = l->timeoutCalls;
                l->killCountdown = l->killDelay;
                bool taken = false;
                if (!l->killRequested)
                    for (Handle* h = l->handles; h; h = h->lnext)
                        taken = call(h, GW_CB_READ, GW_OK, entry) != 0 || taken;
                if (!taken) break;
                ++((l->type & 1) ? dataCntOffline : dataCntOnline)[l->pid];
                dynkomm_readdone(f);
                entry = next();
            }
            dynkomm_fifo_unpin(f);
            if (tooNew) l->timestampError = true;
        } else if (l->state == PID_LOST) {
            if (gatewayStop) break;
            callAll(l, GW_CB_READ, GW_OFFLINE, nullptr);
            l->state = PID_LOSS_REPORTED;
        }
    }
    if (semGive(handleSem) != OK) syslogx(LOG_ERR, "gw_raster: failed to give semaphore.");
}

void gw_meas_monitoring() {
    if (gatewayStop) return;
    for (uint16_t pid = 0; pid < PIDS; ++pid) {
        if (connected(pid) || stateOf(pid) != OFFLINE) {
            if (!take(handleSem, "gw_meas_monitoring")) return;
            // Seen under the mutex, which the stop takes after setting it: once the stop is
            // through, the rest of a pass that was under way asks no peer anything.
            if (gatewayStop) {
                semGive(handleSem);
                return;
            }
            monitorPid(pid);
            if (semGive(handleSem) != OK) {
                syslogx(LOG_ERR, "gw_meas_monitoring: failed to give semaphore.");
                return;
            }
        }
    }
    for (uint16_t pid = 0; pid < PIDS; ++pid)
        pids[pid].previous = stateOf(pid);
}

void gw_request_timeout() {
    if (gatewayStop) return;
    if (!take(handleSem, "gw_request_timeout")) return;
    if (!take(requestSem, "gw_request_timeout")) {
        semGive(handleSem);
        return;
    }
    // Expired requests leave the queue under the request mutex; their callbacks run after it
    // is given, under the handle mutex alone.
    Request* expired = nullptr;
    for (Request *r = requestHead, *next; r; r = next) {
        next = r->next;
        if (r->answered) {
            unqueue(r);
        } else if (r->countdown >= 11) {
            r->countdown = static_cast<int16_t>(r->countdown - 10);
        } else {
            if (r->prev)
                r->prev->next = r->next;
            else
                requestHead = r->next;
            if (r->next) r->next->prev = r->prev;
            r->next = expired;
            expired = r;
        }
    }
    semGive(requestSem);
    while (Request* r = expired) {
        expired = r->next;
        if (Mlist* l = r->list) {
            if (r->entry == GW_CB_START && l->state == REQUESTED) {
                SYSLOGX_RATE_GUARDED(
                    LOG2_INFO, "MeasGate: Request for measurement on PID 0x%X timed out, retry...", l->pid);
                l->state = TO_REQUEST;
            }
            if (r->entry == 4) l->speedChangePending = false;
            const bool addressStop = r->entry == GW_CB_STOP && !l->byName;
            if (r->entry != 4 && !addressStop)
                callAll(l, r->entry, r->status ? r->status : GW_TIMEOUT, nullptr);
        }
        // An unanswered stop by names: nothing here reads the stopped list's FIFO any more.
        if (r->byName && r->entry == GW_CB_STOP && r->fifo) dynkomm_fifo_free_receiving(r->fifo, r->pid);
        finish(r, true);
    }
    semGive(handleSem);
}

void gw_meas_1s() {
    magicNumber_garbageCollection(gwMagics);
}

void gw_stop() {
    gatewayStop = true;
    // At shutdown the gateway waits no longer than a tenth of a second, and gives only what it took.
    if (!handleSem || semTake(handleSem, sysClkRateGet() / 10) != OK) {
        syslogx(LOG_WARN, "gw_stop: Failed to take semaphore %s", std::strerror(errno));
        return;
    }
    for (uint16_t pid = 0; pid < PIDS; ++pid)
        if (pids[pid].state == MEAS && reportedOf(pid) != OFFLINE) {
            gw_kill_pid(pid);
            setState(pid, KILLMEAS);
        }
    if (semGive(handleSem) != OK) syslogx(LOG_ERR, "gw_stop: Failed to give semaphore.");
}

void gw_meas_state_reply(uint16_t pid, uint32_t state) {
    if (pid < PIDS) setReported(pid, static_cast<uint16_t>(state));
}

int gw_pid_offline(uint16_t pid) {
    return pid >= PIDS || stateOf(pid) == OFFLINE ? 1 : 0;
}

int gw_kill_pid(uint16_t pid) {
    uint8_t m[CI_HEADER];
    message(m, 0x0504, pid, 0, 0, 0);
    return comint_put_cmd(m, 1);
}

void gw_print_pidstate(void (*out)(const char*)) {
    char line[64];
    for (int pid = 0; pid < PIDS; ++pid) {
        const uint16_t state = stateOf(static_cast<uint16_t>(pid));
        if (state == OFFLINE) continue;
        std::snprintf(line, sizeof line, "PID: %i [0x%X] online", pid, pid);
        out(line);
        out(state == MEAS ? " -- measure is running\n" : " -- no measure\n");
    }
}

int gw_debugoutPID(uint16_t pid, uint16_t* out) {
    if (!out || pid >= PIDS) return 0;
    const PidRecord& p = pids[pid];
    const uint16_t head[] = {stateOf(pid),       p.requests,          p.running,     statCnt[pid],
                             dataCntOnline[pid], dataCntOffline[pid], noDataCnt[pid]};
    std::memcpy(out, head, sizeof head);
    std::memcpy(out + 7, statState[pid], sizeof statState[pid]);
    return 1;
}

void gw_meascreate_reply(const uint8_t* m, size_t len) {
    if (len < CI_HEADER + 4) return;
    const CiHeader h = ci_header(m);
    if (!take(handleSem, "gw_meascreate_reply")) return;
    if (take(requestSem, "gw_meascreate_reply")) {
        const uint32_t fifo = get_be32(m + CI_HEADER);
        Request* r = pending(h.context2, BY_ADDRESS, h.source);
        Mlist* l = r ? r->list : nullptr;
        const Mlist* held = holder(h.source, h.context1, fifo, l);
        if (r && !held) r->answered = true;
        semGive(requestSem);
        // The FIFO must be one that receives from the list's unit (pinned: a restart of that
        // unit may free it meanwhile).
        DynkommFifo* f = fifo && l ? dynkomm_fifo_pin(fifo) : nullptr;
        const bool sound = f && f->sourcePid == l->pid;
        dynkomm_fifo_unpin(f);
        if (held) {
            // A copy of the grant of a running list, or a stray grant naming one.
            SYSLOGX_RATE_GUARDED(
                LOG2_INFO,
                "MeasGate: grant of PID 0x%X for list 0x%08X, FIFO 0x%08X names a list here, ignored",
                h.source, h.context1, fifo);
        } else if (!l || l->state != REQUESTED || l->killRequested) {
            // A grant for no list that waits (its request timed out, or the list was killed).
            if (fifo) stopUnread(h.source, h.context1, fifo, false, l);
        } else if (!sound) {
            l->state = TO_REQUEST;
            refuse(l, r->entry);
        } else {
            run(l, h.context1, fifo);
            l->latency = len >= CI_HEADER + 6 ? get_be16(m + CI_HEADER + 4) : 0;
            for (Handle* hd = l->handles; hd; hd = hd->lnext)
                call(hd, r->entry, GW_OK, len >= CI_HEADER + 6 ? &l->latency : nullptr);
        }
    }
    if (semGive(handleSem) != OK)
        syslogx(LOG_ERR, "gw_meascreate_reply: failed to give semaphore %s", std::strerror(errno));
}

void gw_meas_timestamp_err(const uint8_t* m, size_t) {
    timestampError(m, "gw_meas_timestamp_err");
}
void gw_meas2_timestamp_err(const uint8_t* m, size_t) {
    timestampError(m, "gw_meas2_timestamp_err");
}

void gw_reset() {
    if (handleSem) semTake(handleSem, WAIT_FOREVER);
    for (PidRecord& p : pids)
        while (Mlist* l = p.lists) {
            while (Handle* h = l->handles) {
                unlinkHandle(h);
                dropMagic(h->magic, false);
                delete h;
            }
            killInternal(l);
        }
    while (requestHead)
        unqueue(requestHead);
    magicNumber_clear(gwMagics);
    std::memset(dataCntOnline, 0, sizeof dataCntOnline);
    std::memset(dataCntOffline, 0, sizeof dataCntOffline);
    std::memset(noDataCnt, 0, sizeof noDataCnt);
    std::memset(statCnt, 0, sizeof statCnt);
    std::memset(statState, 0, sizeof statState);
    if (handleSem) semGive(handleSem);
}
