// The command queue, "r_Comint", the dispatch by command code and the error ring.
#include "comm/comint/comint.h"

#include "comm/bc2/bc2.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "platform/os/os.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/timeserv/timeserv.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;

MSG_Q_ID queue = nullptr;
std::atomic<bool> queueFailing{false};
std::atomic<int> highestFill{0};

// Each queue message carries its source behind the message itself: a peer's PID,
// BC2_SOURCE_OTHER, or OWN for the unit's own.
constexpr int SOURCES = BC2_SOURCE_OTHER + 1;
constexpr int32_t OWN = SOURCES;
constexpr size_t SLOT = CI_QUEUE_MESSAGE + sizeof(int32_t);
std::atomic<int> held[SOURCES];
std::atomic<int> peersHeld{0};
std::atomic<int> waiting[SOURCES];
SEM_ID room[SOURCES];
// The source that what the command task queues counts to: the one whose message it serves.
thread_local int32_t servingFor = OWN;

int sourceOf(int source) {
    return source >= 0 && source < SOURCES ? source : BC2_SOURCE_OTHER;
}

// The peers heard on the network share CI_PEER_ROOM with the others, the sender asking among them.
int shareOf(int source) {
    uint64_t sharing = udp_get_detect_mask();
    if (source < 64) sharing |= uint64_t{1} << source;
    const int share = CI_PEER_ROOM / (std::popcount(sharing) + 1);
    return share > 0 ? share : 1;
}

// A peer that asks faster than it reads its answers: each of its messages waiting here is answered
// on its command channel, so it is given room for another only while those answers, with what waits
// in that channel's queue already, fit the part of the queue kept for answers (the rest is for the
// unit's own messages to it). A source without a command channel has no answers waiting.
constexpr size_t ANSWER_ROOM = BC2_SEND_QUEUE * 3 / 4;
bool answersFit(long backlog, int held) {
    return backlog < 0 ||
           static_cast<size_t>(backlog) + static_cast<size_t>(held + 1) * CI_QUEUE_MESSAGE <= ANSWER_ROOM;
}
long backlogOf(int source) {
    return source < 64 ? BC2_ciWaiting(static_cast<uint32_t>(source)) : -1;
}

bool hasRoom(int source) {
    const int h = held[source].load();
    return h < shareOf(source) && peersHeld.load() < CI_PEER_ROOM && answersFit(backlogOf(source), h);
}

void count(int32_t source) {
    if (source == OWN) return;
    ++held[source];
    ++peersHeld;
}

void wake(int source) {
    if (waiting[source].load() && room[source]) semGive(room[source]);
}

// A message of `source` taken (or not queued after all): a receive task waiting for its room
// wakes; all of them when the peers had filled their room.
void uncount(int32_t source) {
    if (source == OWN) return;
    --held[source];
    if (peersHeld.fetch_sub(1) < CI_PEER_ROOM) return wake(source);
    for (int s = 0; s < SOURCES; ++s)
        wake(s);
}

// Counts a message of `source` within its share: false when it holds its share already, or its
// answers would not fit.
bool reserve(int source) {
    const int share = shareOf(source);
    const long backlog = backlogOf(source);
    int h = held[source].load();
    do {
        if (h >= share || !answersFit(backlog, h)) return false;
    } while (!held[source].compare_exchange_weak(h, h + 1));
    if (peersHeld.fetch_add(1) < CI_PEER_ROOM) return true;
    uncount(source);
    return false;
}

// Posts a message counted to `source` already; on failure the count is given back. 1 queued, 0
// refused.
int post(const uint8_t* message, int32_t source) {
    const CiHeader h = ci_header(message);
    // A longer payload does not fit a queue message; it is refused rather than cut.
    if (h.length > CI_QUEUE_PAYLOAD_MAX || !queue) {
        uncount(source);
        return 0;
    }
    uint8_t buf[SLOT] = {};
    std::memcpy(buf, message, CI_HEADER + h.length);
    std::memcpy(buf + CI_QUEUE_MESSAGE, &source, sizeof source);
    const STATUS st = msgQSend(queue, buf, sizeof buf, NO_WAIT, MSG_PRI_NORMAL);
    if (st != OK) {
        uncount(source);
        if (!queueFailing.exchange(true))
            SYSLOGX_GUARDED(LOG_WARN,
                            "Sending CI msg 0x%X to comint task failed, %X->%X, Q status %X, Q Err %X",
                            h.code, h.source, h.dest, static_cast<unsigned>(st), 0u);
        return 0;
    }
    if (queueFailing.exchange(false))
        SYSLOGX_GUARDED(LOG_INFO, "Sending CI msg 0x%X to comint task back alive, %X->%X", h.code, h.source,
                        h.dest);
    return 1;
}

// The copy for this unit of a message for every unit, counted to `source` already, and the message
// sent to all: 1 when it went.
int broadcast(const uint8_t* message, int32_t source) {
    const CiHeader h = ci_header(message);
    if (!comint_put_eth(message)) {
        uncount(source);
        return 0;
    }
    if (h.length <= CI_QUEUE_PAYLOAD_MAX) {
        uint8_t local[CI_HEADER + CI_QUEUE_PAYLOAD_MAX];
        std::memcpy(local, message, CI_HEADER + h.length);
        put_be16(local + 6, AppMan_getPID());
        post(local, source);
    } else {
        uncount(source);
    }
    return 1;
}

// Handlers of the services above, handed in by the start-up; a short table, looked up by code.
constexpr int HANDLERS = 64;
struct Registered {
    uint16_t code;
    ComintHandler serve;
    ComintReplyHandler reply;
};
Registered handlers[HANDLERS];
std::atomic<int> handlerCount{0};

Registered* findHandler(uint16_t code) {
    const int n = handlerCount.load();
    for (int i = 0; i < n; ++i)
        if (handlers[i].code == code) return &handlers[i];
    return nullptr;
}

void registerHandler(uint16_t code, ComintHandler serve, ComintReplyHandler reply) {
    Registered* r = findHandler(code);
    if (!r) {
        const int i = handlerCount.load();
        if (i == HANDLERS) return;
        r = &handlers[i];
        r->code = code;
        r->serve = serve;
        r->reply = reply;
        handlerCount = i + 1;
        return;
    }
    r->serve = serve;
    r->reply = reply;
}

CiErrorRecord errorRing[CI_ERROR_RING];
std::atomic<uint32_t> errorCount{0};

void serveTask() {
    // Messages for other units wait for the transport; this unit's own (its measurements among
    // them) are served without it when it cannot be had.
    while (!comint_status()) {
        if (BC2_ciMulticastFailed()) {
            syslogx(LOG_ERR, "Comint_Task: no command multicast channel, serving this unit only");
            break;
        }
        taskDelay(sysClkRateGet() / 10);
    }
    uint8_t msg[SLOT];
    for (;;) {
        const int n = msgQReceive(queue, msg, sizeof msg, WAIT_FOREVER);
        if (n == ERROR) {
            syslogx(LOG_ERR, "Comint_Task: msgQReceive() result: %s", std::strerror(errno));
            if (taskDeleteRequested()) return;
            continue;
        }
        int32_t source;
        std::memcpy(&source, msg + CI_QUEUE_MESSAGE, sizeof source);
        uncount(source);
        servingFor = source;
        const int waiting = msgQNumMsgs(queue);
        if (waiting > highestFill) {
            highestFill = waiting;
            if (waiting > 100)
                syslogx(LOG_DEBUG, "Comint_Task: msgQ_comint() filled upto: %d of %d", waiting,
                        CI_QUEUE_DEPTH);
        }
        if (get_be16(msg + 6) != AppMan_getPID()) {
            if (comint_put_cmd(msg, 0) != 1) comint_error(CI_ERR_FORWARD, msg);
        } else {
            ci_serve_command(msg, CI_QUEUE_MESSAGE);
        }
        servingFor = OWN;
    }
}

} // namespace

CiHeader ci_header(const uint8_t* m) {
    return {get_be16(m + 2), get_be16(m + 4),  get_be16(m + 6),
            get_be32(m + 8), get_be32(m + 12), get_be16(m + 16)};
}

void ci_set_header(uint8_t* m, const CiHeader& h) {
    std::memset(m, 0, CI_HEADER);
    put_be16(m + 2, h.length);
    put_be16(m + 4, h.source);
    put_be16(m + 6, h.dest);
    put_be32(m + 8, h.context1);
    put_be32(m + 12, h.context2);
    put_be16(m + 16, h.code);
}

void comint_ini() {
    if (queue) return;
    for (SEM_ID& r : room)
        r = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    queue = msgQCreate(CI_QUEUE_DEPTH, SLOT, MSG_Q_PRIORITY);
    if (!queue) {
        syslogx(LOG_CRIT, "comint_ini(): Failed to create message queue");
        return;
    }
    if (taskSpawn("r_Comint", 73, VX_FP_TASK, 50000,
                  [](intptr_t, intptr_t, intptr_t, intptr_t) { serveTask(); }) == TASK_ID_NULL)
        syslogx(LOG_CRIT, "comint_ini(): Failed to start Comint_Task");
}

int comint_queue_cmd(const uint8_t* message) {
    if (!message) {
        syslogx(LOG_BARE_DEBUG, "No valid message for comint message queue");
        return 0;
    }
    const int32_t source = servingFor;
    count(source);
    return post(message, source);
}

int comint_queue_from(const uint8_t* message, int source) {
    if (!message) return 0;
    if (ci_header(message).length > CI_QUEUE_PAYLOAD_MAX || !queue) return 0;
    source = sourceOf(source);
    if (!reserve(source)) return -1;
    return post(message, source) ? 1 : -1;
}

int comint_forward_from(const uint8_t* message, int source) {
    const CiHeader h = ci_header(message);
    if (h.dest == AppMan_getPID()) return comint_queue_from(message, source);
    if (h.dest != CI_PID_ALL) return comint_put_cmd(message, 0);
    source = sourceOf(source);
    if (!reserve(source)) return -1;
    const int ok = broadcast(message, source);
    if (!ok) comint_error(CI_ERR_SEND, message);
    return ok;
}

bool comint_wait_room(int source, int ticks) {
    source = sourceOf(source);
    if (hasRoom(source)) return true;
    if (ticks == NO_WAIT) return false;
    ++waiting[source];
    // A take after this check gives the semaphore: no wake is lost.
    if (!hasRoom(source)) {
        if (room[source])
            semTake(room[source], ticks);
        else
            taskDelay(ticks);
    }
    --waiting[source];
    return hasRoom(source);
}

uint16_t comint_put_cmd(const uint8_t* message, int fromOutside) {
    const CiHeader h = ci_header(message);
    const uint16_t own = AppMan_getPID();
    int ok;
    uint32_t failure = CI_ERR_SEND;
    if (h.dest == own || fromOutside == 1) {
        ok = comint_queue_cmd(message);
    } else if (h.dest == CI_PID_ALL) {
        const int32_t source = servingFor;
        count(source);
        ok = broadcast(message, source);
    } else {
        switch (routing_get_next(h.dest).kind) {
        case ROUTE_ETHERNET:
            ok = comint_put_eth(message);
            break;
        case ROUTE_LOCSOCK:
            ok = comint_put_locSock(message);
            break;
        default:
            ok = 0;
            failure = CI_ERR_ROUTE;
        }
    }
    if (!ok) comint_error(failure, message);
    return ok ? 1 : 0;
}

void comint_setHandler(uint16_t code, ComintHandler handler) {
    registerHandler(code, handler, nullptr);
}
void comint_setReplyHandler(uint16_t code, ComintReplyHandler handler) {
    registerHandler(code, nullptr, handler);
}

namespace {

// The services below the command interface, served without being handed in.
struct Fixed {
    uint16_t code;
    ComintHandler serve;
};
constexpr Fixed FIXED[] = {
    {0x0100, routing_set_table_entries_cmd},
    {0x0101, routing_set_table_entries_by_list_cmd},
    {0x0102, routing_initialize_routing_table_cmd},
    {0x0103, routing_return_cmd},
    {0x0104, routing_return_false_cmd},
    {0x0105, routing_bounce_cmd},
    {0x0106, routing_bounce_return_cmd},
    {0x0107, routing_return_func},
    {0x0600, timeserv_distributeTime_cmd},
    {0x0602, timeserv_newSystemTime_cmd},
    {0x0603, timeserv_suggestOwnTime_cmd},
    {0x1100, dynkomm_tidy_up},
};

} // namespace

ComintHandler comint_handlerOf(uint16_t code) {
    for (const Fixed& f : FIXED)
        if (f.code == code) return f.serve;
    const Registered* r = findHandler(code);
    return r ? r->serve : nullptr;
}

void ci_serve_command(const uint8_t* message, size_t len) {
    if (!message || len < CI_HEADER) return;
    const CiHeader h = ci_header(message);
    // Handlers read no further than the payload the message holds.
    const size_t n = CI_HEADER + h.length <= len ? CI_HEADER + h.length : len;
    if (const ComintHandler serve = comint_handlerOf(h.code)) return serve(message, n);
    const Registered* r = findHandler(h.code);
    if (r && r->reply) {
        uint8_t reply[CI_HEADER + CI_QUEUE_PAYLOAD_MAX];
        const size_t rn = r->reply(message, n, reply, sizeof reply);
        if (rn >= CI_HEADER) comint_put_cmd(reply, 1);
    } else {
        comint_error(CI_ERR_CODE, message);
    }
}

// ---- context handles -------------------------------------------------------------------------

namespace {

constexpr uint32_t HANDLE_SLOTS = 1024;
enum Kind : uint8_t { FREE = 0, FLAG = 1, ROUTINE = 2 };
struct HandleSlot {
    Kind kind;
    uint16_t generation;
    void* target;
};
HandleSlot handleSlots[HANDLE_SLOTS];
std::atomic<SEM_ID> handleMutex{nullptr};

SEM_ID handleLock() {
    SEM_ID m = handleMutex.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!handleMutex.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

// A handle: generation (1..0x7FFF) in the high half, slot index (1..1023) in the low half.
uint32_t makeHandle(Kind kind, void* target) {
    SEM_ID m = handleLock();
    if (!m || semTake(m, WAIT_FOREVER) != OK) return 0;
    uint32_t handle = 0;
    for (uint32_t i = 1; i < HANDLE_SLOTS; ++i) {
        HandleSlot& s = handleSlots[i];
        if (s.kind != FREE) continue;
        s.generation = static_cast<uint16_t>(s.generation % 0x7FFF + 1);
        s.kind = kind;
        s.target = target;
        handle = static_cast<uint32_t>(s.generation) << 16 | i;
        break;
    }
    semGive(m);
    return handle;
}

void* resolve(uint32_t handle, Kind kind) {
    const uint32_t i = handle & 0xFFFF;
    if (i == 0 || i >= HANDLE_SLOTS) return nullptr;
    SEM_ID m = handleLock();
    if (!m || semTake(m, WAIT_FOREVER) != OK) return nullptr;
    const HandleSlot& s = handleSlots[i];
    void* t = s.kind == kind && s.generation == handle >> 16 ? s.target : nullptr;
    semGive(m);
    return t;
}

} // namespace

uint32_t comint_handle_flag(uint16_t* flag) {
    return makeHandle(FLAG, flag);
}
uint32_t comint_handle_routine(ComintRoutine routine) {
    return makeHandle(ROUTINE, reinterpret_cast<void*>(routine));
}
ComintRoutine comint_resolve_routine(uint32_t handle) {
    return reinterpret_cast<ComintRoutine>(resolve(handle, ROUTINE));
}

void comint_handle_drop(uint32_t handle) {
    const uint32_t i = handle & 0xFFFF;
    if (i == 0 || i >= HANDLE_SLOTS) return;
    SEM_ID m = handleLock();
    if (!m || semTake(m, WAIT_FOREVER) != OK) return;
    if (handleSlots[i].generation == handle >> 16) handleSlots[i].kind = FREE;
    semGive(m);
}

// ---- error ring ---------------------------------------------------------------------------------

void comint_error_ini() {
    errorCount = 0;
}

void comint_error(uint32_t code, const uint8_t* message) {
    CiErrorRecord& r = errorRing[errorCount.fetch_add(1) % CI_ERROR_RING];
    r.code = code;
    std::memcpy(r.header, message, sizeof r.header);
}

uint32_t comint_error_count() {
    return errorCount.load();
}
CiErrorRecord comint_error_get(uint32_t n) {
    return errorRing[n % CI_ERROR_RING];
}

// ---- command group 0x01 ---------------------------------------------------------------------

namespace {

void routingReply(const uint8_t* request, bool done) {
    const CiHeader rq = ci_header(request);
    uint8_t reply[CI_HEADER];
    ci_set_header(reply, {0, AppMan_getPID(), rq.source, 0, rq.context1,
                          static_cast<uint16_t>(done ? 0x0103 : 0x0104)});
    comint_put_cmd(reply, 1);
}

void setFlag(const uint8_t* message, uint16_t value) {
    auto* flag = static_cast<uint16_t*>(resolve(ci_header(message).context2, FLAG));
    if (flag) __atomic_store_n(flag, value, __ATOMIC_RELEASE);
}

} // namespace

void routing_set_table_entries_cmd(const uint8_t* m, size_t len) {
    bool ok = false;
    if (len >= CI_HEADER + 12) {
        const uint16_t first = get_be16(m + 20), last = get_be16(m + 22);
        SYSLOGX_RATE_GUARDED(LOG_DEBUG, "routing_set_table_entries_cmd entering start_pid %X, end_pid %X",
                             first, last);
        ok = routing_set_table_entries({get_be32(m + 24), get_be32(m + 28)}, first, last) == 1;
    }
    routingReply(m, ok);
}

void routing_set_table_entries_by_list_cmd(const uint8_t* m, size_t len) {
    const size_t entries = (len - CI_HEADER) / 12;
    bool ok = true;
    for (size_t i = 0; i < entries; ++i) {
        const uint8_t* e = m + CI_HEADER + 12 * i;
        const uint16_t pid = static_cast<uint16_t>(get_be32(e));
        SYSLOGX_RATE_GUARDED(LOG_DEBUG, "routing_set_table_entries_by_list_cmd entering pid %X", pid);
        if (ok) ok = routing_set_table_entries({get_be32(e + 4), get_be32(e + 8)}, pid, pid) == 1;
    }
    routingReply(m, ok);
}

void routing_initialize_routing_table_cmd(const uint8_t*, size_t) {
    routing_ini();
}

void routing_return_cmd(const uint8_t* m, size_t) {
    setFlag(m, 1);
}
void routing_return_false_cmd(const uint8_t* m, size_t) {
    setFlag(m, 0);
}

void routing_bounce_cmd(const uint8_t* m, size_t len) {
    const CiHeader rq = ci_header(m);
    uint8_t echo[CI_HEADER + CI_QUEUE_PAYLOAD_MAX];
    const size_t payload = len - CI_HEADER <= CI_QUEUE_PAYLOAD_MAX ? len - CI_HEADER : CI_QUEUE_PAYLOAD_MAX;
    ci_set_header(echo,
                  {static_cast<uint16_t>(payload), rq.dest, rq.source, rq.context2, rq.context1, 0x0106});
    std::memcpy(echo + CI_HEADER, m + CI_HEADER, payload);
    comint_put_cmd(echo, 1);
}

void routing_bounce_return_cmd(const uint8_t* m, size_t len) {
    const CiHeader h = ci_header(m);
    if (h.context2 == 0) return;
    if (ComintRoutine r = comint_resolve_routine(h.context2)) r(m + CI_HEADER, len - CI_HEADER, h.source);
}

void routing_return_func(const uint8_t* m, size_t len) {
    const CiHeader h = ci_header(m);
    if (ComintRoutine r = comint_resolve_routine(h.context2)) r(m, len, h.source);
}

void comint_reset() {
    handlerCount = 0;
    for (HandleSlot& s : handleSlots)
        s.kind = FREE;
    errorCount = 0;
    queueFailing = false;
    highestFill = 0;
    if (queue) {
        // What goes unserved gives its source's room back, as a served message does.
        uint8_t msg[SLOT];
        while (msgQReceive(queue, msg, sizeof msg, NO_WAIT) != ERROR) {
            int32_t source;
            std::memcpy(&source, msg + CI_QUEUE_MESSAGE, sizeof source);
            uncount(source);
        }
    }
}
