// Serial network paths: opening and closing by command, and the sender lists per raster.
#include "comm/sernet/sernet.h"

#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "comm/routing/routing.h"
#include "platform/os/os.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/bytes/bytes.h"

#include <atomic>
#include <cstring>
#include <vector>

namespace {

using bytes::get_be16;
using bytes::get_be32;
using bytes::put_be16;
using bytes::put_be32;
constexpr uint16_t CMD_OPEN = 0x0300, CMD_CLOSE = 0x0301, CMD_RETURN_FUNC = 0x0107;
constexpr size_t OPEN_PAYLOAD = 20, REPLY_PAYLOAD = 16, CLOSE_PAYLOAD = 8;
constexpr uint16_t SENDING_ONLINE_SLOTS = 4; // a list by names that keeps only its newest entry

struct SenderList {
    SEM_ID mutex = nullptr;
    DynkommFifo* head = nullptr;
};
SenderList online[SERNET_RASTERS], offline[SERNET_RASTERS];
std::atomic<uint32_t> pathReplyHandle{0};

// Paths asked for whose reply may still come. A reply lost with its channel, or a peer that
// restarted meanwhile, would hold the sending FIFO and what the requester keeps for the path for
// good: such a path fails in the fifth second, as a refused one does.
constexpr uint8_t REPLY_SECONDS = 5;
struct Awaited {
    uint32_t fifo, context;
    uint8_t seconds;
};
std::vector<Awaited> awaited;
SEM_ID awaitedLock = nullptr;
std::atomic<uint32_t> expiryHandle{0};

SenderList* listOf(const DynkommFifo* f) {
    if (f->raster >= SERNET_RASTERS) return nullptr;
    return (f->flags & DK_FLAG_QUEUE) ? &offline[f->raster] : &online[f->raster];
}

// A 0x0107 message with the completion payload.
void completion(uint8_t* m, uint16_t source, uint16_t dest, uint32_t ctx1, uint32_t ctx2, uint32_t context,
                uint32_t fifoA, uint32_t fifoB, uint16_t pid) {
    ci_set_header(m, {static_cast<uint16_t>(REPLY_PAYLOAD), source, dest, ctx1, ctx2, CMD_RETURN_FUNC});
    put_be32(m + 20, context);
    put_be32(m + 24, fifoA);
    put_be32(m + 28, fifoB);
    put_be16(m + 32, pid);
    put_be16(m + 34, 0);
}

bool post(const uint8_t* m) {
    return comint_put_cmd(m, 1) == 1;
}

uint16_t roundUp4(uint16_t n) {
    return static_cast<uint16_t>((n + 3u) & ~3u);
}

// Slot count of a path request rounded up to a power of two; 0 when above 512.
uint16_t soundSlots(uint16_t n) {
    if (n > DK_SLOTS_MAX) return 0;
    uint16_t s = 1;
    while (s < n)
        s = static_cast<uint16_t>(s << 1);
    return s;
}

// A sending FIFO towards `dest` (routed by `kind`) under a new number; none when no number is left.
DynkommFifo* sendingFifo(uint16_t dest, uint32_t kind, uint16_t raster, uint16_t slots, uint16_t size,
                         uint16_t flags) {
    DynkommFifo* f = dynkomm_fifo_alloc(slots, size);
    if (!f) return nullptr;
    f->sourcePid = AppMan_getPID();
    f->destPid = dest;
    f->raster = raster;
    f->flags = flags;
    f->routeCode = kind == ROUTE_ETHERNET ? DK_ROUTE_ETHERNET : DK_ROUTE_LOCSOCK;
    if (!dynkomm_fifo_register(f)) {
        dynkomm_fifo_dispose(f);
        return nullptr;
    }
    return f;
}

bool routed(uint32_t kind) {
    return kind == ROUTE_ETHERNET || kind == ROUTE_LOCSOCK;
}

void send(SenderList& list, bool queued, const char* kind, int raster) {
    if (!list.mutex || semTake(list.mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "SerNet_man_sender: semTake() has failed on raster-idx 0x%lx %s",
                static_cast<long>(raster), kind);
        return;
    }
    uint8_t entry[DK_SLOT_MAX];
    for (DynkommFifo* f = list.head; f; f = f->link) {
        uint8_t header[BC2_DK_HEADER];
        put_be16(header, f->destPid);
        put_be16(header + 2, f->slotSize);
        put_be32(header + 4, f->partnerMagic);
        if (!queued) {
            if (dynkomm_read_copy(f, entry)) dyncom_send_eth_online(header, entry);
        } else {
            // An entry the peer's channel has no room for stays in its FIFO for a later round: a
            // reader slower than its data loses what the full FIFO refuses, counted where it is.
            while (dynkomm_peek_copy(f, entry, sizeof entry) && dyncom_send_eth(header, entry) >= 0)
                dynkomm_readdone(f);
        }
    }
    semGive(list.mutex);
}

// In the command task, as a peer's refusal: a reply that came first has completed its path
// there, and the failure then finds nothing waiting.
void failExpired(const uint8_t*, size_t, uint16_t) {
    std::vector<Awaited> expired;
    if (!awaitedLock || semTake(awaitedLock, WAIT_FOREVER) != OK) return;
    std::erase_if(awaited, [&](const Awaited& a) {
        if (a.seconds < REPLY_SECONDS) return false;
        expired.push_back(a);
        return true;
    });
    semGive(awaitedLock);
    const uint16_t own = AppMan_getPID();
    for (const Awaited& a : expired) {
        uint8_t m[CI_HEADER + REPLY_PAYLOAD];
        completion(m, own, own, a.fifo, pathReplyHandle.load(), a.context, 0, 0, own);
        dynkomm_open_serial_network_path_reply(m, sizeof m, own);
    }
}

} // namespace

void SerNet_man_ini() {
    for (int r = 0; r < SERNET_RASTERS; ++r) {
        online[r].head = offline[r].head = nullptr;
        if (!online[r].mutex) online[r].mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        if (!online[r].mutex) {
            syslogx(LOG_ERR, "SerNet_man_ini: SemMCreate() has failed on raster-idx 0x%lx online",
                    static_cast<long>(r));
            return;
        }
        if (!offline[r].mutex) offline[r].mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        if (!offline[r].mutex) {
            syslogx(LOG_ERR, "SerNet_man_ini: SemMCreate() has failed on raster-idx 0x%lx offline",
                    static_cast<long>(r));
            return;
        }
    }
    if (!awaitedLock) awaitedLock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!comint_resolve_routine(pathReplyHandle.load()))
        pathReplyHandle = comint_handle_routine(dynkomm_open_serial_network_path_reply);
    if (!comint_resolve_routine(expiryHandle.load())) expiryHandle = comint_handle_routine(failExpired);
}

void SerNet_man_1s() {
    if (!awaitedLock || semTake(awaitedLock, WAIT_FOREVER) != OK) return;
    bool expired = false;
    for (Awaited& a : awaited) {
        if (a.seconds < REPLY_SECONDS) ++a.seconds;
        expired = expired || a.seconds == REPLY_SECONDS;
    }
    semGive(awaitedLock);
    if (!expired) return;
    // One message for all of them (one that cannot be queued now is tried again next second).
    const uint16_t own = AppMan_getPID();
    uint8_t m[CI_HEADER + REPLY_PAYLOAD];
    completion(m, own, own, 0, expiryHandle.load(), 0, 0, 0, own);
    post(m);
}

uint16_t dynkomm_getslotnum_SerNet(int raster) {
    switch (raster) {
    case 0:
    case 10:
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
        return 512;
    case 1:
        return 256;
    case 2:
        return 128;
    case 3:
        return 64;
    case 4:
        return 32;
    case 5:
        return 16;
    case 6:
        return 8;
    case 7:
    case 8:
        return 4;
    default:
        return 2;
    }
}

DynkommFifo* SerNet_man_reserve(uint16_t slotSize, uint16_t slots, uint16_t flags, uint16_t raster,
                                uint16_t sourcePid, uint32_t handle) {
    DynkommFifo* f = dynkomm_fifo_alloc(slots, slotSize);
    if (!f) return nullptr;
    f->sourcePid = sourcePid;
    f->destPid = AppMan_getPID();
    f->raster = raster;
    f->flags = flags;
    f->routeCode = DK_ROUTE_LOCAL;
    f->ownHandle = handle;
    return f;
}

int SerNet_man_release_fifo(uint32_t magic) {
    DynkommFifo* f = dynkomm_fifo_unregister(magic, true);
    if (!f) return 0;
    SerNet_man_stop_sending(f);
    dynkomm_fifo_dispose(f);
    return 1;
}

void SerNet_man_start_sending(DynkommFifo* f) {
    SenderList* list = listOf(f);
    if (!list) return;
    if (!list->mutex || semTake(list->mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "SerNet_man_start_sending: semTake() has failed on raster-idx 0x%lx %s",
                static_cast<long>(f->raster), (f->flags & DK_FLAG_QUEUE) ? "offline" : "online");
        return;
    }
    f->link = list->head;
    list->head = f;
    semGive(list->mutex);
}

int SerNet_man_stop_sending(DynkommFifo* f) {
    SenderList* list = listOf(f);
    if (!list) return 0;
    if (!list->mutex || semTake(list->mutex, WAIT_FOREVER) != OK) {
        syslogx(LOG_ERR, "SerNet_man_stop_sending: semTake() has failed on raster-idx 0x%lx %s",
                static_cast<long>(f->raster), (f->flags & DK_FLAG_QUEUE) ? "offline" : "online");
        return 0;
    }
    int found = 0;
    for (DynkommFifo** p = &list->head; *p; p = &(*p)->link) {
        if (*p != f) continue;
        *p = f->link;
        f->link = nullptr;
        found = 1;
        break;
    }
    semGive(list->mutex);
    return found;
}

int dynkomm_openpath(uint16_t source, uint16_t dest, uint16_t entrySize, uint16_t raster, uint16_t slots,
                     uint16_t flags, uint32_t continuation, uint32_t context) {
    const uint16_t own = AppMan_getPID();
    const uint16_t size = roundUp4(entrySize);
    uint8_t m[CI_HEADER + OPEN_PAYLOAD];
    if (source == dest) {
        uint32_t magic = 0;
        if (source == own) {
            DynkommFifo* f = soundSlots(slots) ? dynkomm_fifo_alloc(soundSlots(slots), size) : nullptr;
            if (f) {
                f->sourcePid = f->destPid = own;
                f->raster = raster;
                f->flags = flags;
                magic = dynkomm_fifo_register(f);
                if (!magic)
                    dynkomm_fifo_dispose(f);
                else
                    f->partnerMagic = magic;
            }
        } else {
            dynkomm_error(0xE000, nullptr, 0);
        }
        // The requester hears of a failed local path too: its continuation always runs.
        completion(m, own, own, 0, continuation, context, magic, magic, magic ? dest : 0);
        return post(m) ? 1 : 0;
    }
    const uint32_t kind = routing_get_next(dest).kind;
    DynkommFifo* f = raster < SERNET_RASTERS && size <= DK_SLOT_MAX
                         ? sendingFifo(dest, kind, raster,
                                       routed(kind) ? dynkomm_getslotnum_SerNet(raster) : 1, size, flags)
                         : nullptr;
    if (!f) {
        completion(m, own, own, 0, continuation, context, 0, 0, own);
        post(m);
        return 0;
    }
    const uint32_t magic = f->magic;
    f->partnerMagic = continuation; // until the reply names the partner
    f->opening = 1;
    ci_set_header(m,
                  {static_cast<uint16_t>(OPEN_PAYLOAD), own, dest, magic, pathReplyHandle.load(), CMD_OPEN});
    put_be16(m + 20, source);
    put_be16(m + 22, dest);
    put_be16(m + 24, raster);
    put_be16(m + 26, size);
    put_be32(m + 28, context);
    put_be16(m + 32, slots);
    put_be16(m + 34, flags);
    put_be32(m + 36, 0);
    if (!post(m)) {
        if (!SerNet_man_release_fifo(magic))
            SYSLOGX_RATE_GUARDED(
                LOG_ERR, "dynkomm_open_serial_network_path() freeing f %X after comint failed", magic);
        return 0;
    }
    if (awaitedLock && semTake(awaitedLock, WAIT_FOREVER) == OK) {
        awaited.push_back({magic, context, 0});
        semGive(awaitedLock);
    }
    return 1;
}

void SerNet_man_openpath(const uint8_t* msg, size_t len) {
    if (len < CI_HEADER + OPEN_PAYLOAD) return;
    const uint16_t own = AppMan_getPID();
    const CiHeader h = ci_header(msg);
    const uint8_t* p = msg + CI_HEADER;
    const uint16_t source = get_be16(p), dest = get_be16(p + 2), raster = get_be16(p + 4);
    const uint16_t size = roundUp4(get_be16(p + 6));
    const uint32_t context = get_be32(p + 8);
    const uint16_t slots = soundSlots(get_be16(p + 12)), flags = get_be16(p + 14);
    uint8_t reply[CI_HEADER + REPLY_PAYLOAD];
    if (dest != own) {
        uint8_t fwd[CI_HEADER + OPEN_PAYLOAD];
        std::memcpy(fwd, msg, sizeof fwd);
        put_be16(fwd + 4, own);
        put_be16(fwd + 6, dest);
        put_be16(fwd + 2, OPEN_PAYLOAD);
        // Only one unit can be the next hop: a request for every unit comes back to each unit
        // that serves it and would be sent on again without end.
        if (dest >= ROUTING_PIDS || !post(fwd)) {
            completion(reply, own, source, h.context1, h.context2, context, 0, 0, own);
            post(reply);
        }
        return;
    }
    if (source >= ROUTING_PIDS) return; // no unit to answer
    // Slot count and size come from the network: a ring of up to 512 slots that a frame can
    // carry, within what one peer may hold here, or no path.
    const DkHeld held = dynkomm_held(source);
    const uint64_t after = uint64_t{held.bytes} + sizeof(DynkommFifo) + uint64_t{slots} * size;
    const bool room = held.paths < SERNET_PEER_PATHS && after <= SERNET_PEER_BYTES;
    if (!room)
        SYSLOGX_RATE_GUARDED(LOG_ERR,
                             "SerNet_man_openpath(): PID 0x%X holds %u paths (%u bytes) here, path refused",
                             source, held.paths, held.bytes);
    DynkommFifo* f = slots && size >= 4 && size <= DK_SLOT_MAX && room
                         ? SerNet_man_reserve(size, slots, flags, raster, source, h.context1)
                         : nullptr;
    const uint32_t magic = f ? dynkomm_fifo_register(f) : 0;
    if (f && !magic) dynkomm_fifo_dispose(f);
    if (magic) {
        f->ownHandle = h.context1;
        f->partnerMagic = magic;
        dynkomm_fifo_hold(f, source);
    }
    completion(reply, own, source, h.context1, h.context2, context, magic, magic, own);
    // Sent from here rather than queued: only the transport's answer tells whether the
    // requester can be reached, and a FIFO nobody will close must not stay.
    if (comint_put_cmd(reply, 0) != 1 && magic) dynkomm_fifo_dispose(dynkomm_fifo_unregister(magic, false));
}

void dynkomm_open_serial_network_path_reply(const uint8_t* msg, size_t len, uint16_t) {
    if (len < CI_HEADER + REPLY_PAYLOAD - 2) return;
    const CiHeader h = ci_header(msg);
    DynkommFifo* f = nullptr;
    // Only a sending FIFO of ours that waits for its reply: a stale or forged word does nothing.
    if (dynkomm_get_fifo(h.context1, &f) != 1 || !f->opening) return;
    f->opening = 0;
    if (awaitedLock && semTake(awaitedLock, WAIT_FOREVER) == OK) {
        std::erase_if(awaited, [&](const Awaited& a) { return a.fifo == h.context1; });
        semGive(awaitedLock);
    }
    const uint32_t continuation = f->partnerMagic;
    const uint32_t remote = get_be32(msg + 24);
    uint8_t m[CI_HEADER + REPLY_PAYLOAD] = {};
    std::memcpy(m, msg, len < sizeof m ? len : sizeof m);
    const ComintRoutine done = comint_resolve_routine(continuation);
    if (remote) {
        f->partnerMagic = remote;
        f->destPid = h.source;
        put_be32(m + 24, h.context1);
        // On its sender list before the continuation runs, which may close the path at once (its
        // list was killed meanwhile): the close then finds the FIFO there and frees it.
        SerNet_man_start_sending(f);
        if (done) done(m, sizeof m, h.source);
    } else {
        // No entry was ever sent into a path that did not open: its number is free at once. A
        // requester that refuses asks again without end, faster than delayed numbers come back.
        DynkommFifo* failed = dynkomm_fifo_unregister(h.context1, false);
        if (!failed)
            SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_open_serial_network_path_reply() fifo f %X already freed?",
                                 h.context1);
        dynkomm_fifo_dispose(failed);
        put_be32(m + 24, 0);
        put_be32(m + 28, 0);
        if (done) done(m, sizeof m, 0);
    }
}

void dynkomm_closepath(uint16_t source, uint32_t magic, uint16_t dest) {
    const uint16_t own = AppMan_getPID();
    if (source == dest) {
        if (!SerNet_man_release_fifo(magic))
            SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_closepath() fifo f %X already freed?", magic);
        return;
    }
    DynkommFifo* f = nullptr;
    if (dynkomm_get_fifo(magic, &f) != 1) return;
    uint8_t m[CI_HEADER + CLOSE_PAYLOAD];
    ci_set_header(m, {static_cast<uint16_t>(CLOSE_PAYLOAD), own, f->destPid, 0, 0, CMD_CLOSE});
    put_be32(m + 20, f->partnerMagic);
    put_be16(m + 24, own);
    put_be16(m + 26, f->destPid);
    if (!SerNet_man_stop_sending(f))
        SYSLOGX_RATE_GUARDED(LOG_ERR,
                             "dynkomm_close_SerNet_path(): tried to stop not listed fifo 0x%08X, pid 0x%02X",
                             magic, f->destPid);
    else
        SerNet_man_release_fifo(magic);
    post(m);
}

void SerNet_man_closepath(const uint8_t* msg, size_t len) {
    if (len < CI_HEADER + CLOSE_PAYLOAD) return;
    const uint16_t own = AppMan_getPID();
    const uint16_t dest = get_be16(msg + 26);
    if (dest != own) {
        if (dest >= ROUTING_PIDS) return; // as for opening: never every unit
        uint8_t fwd[CI_HEADER + CLOSE_PAYLOAD];
        std::memcpy(fwd, msg, sizeof fwd);
        put_be16(fwd + 2, CLOSE_PAYLOAD);
        put_be16(fwd + 4, own);
        put_be16(fwd + 6, dest);
        put_be16(fwd + 24, own);
        post(fwd);
        return;
    }
    // Only a receiving FIFO: the number of a sending or local one is known to peers too, and
    // this unit's measurements still write into it.
    dynkomm_fifo_free_receiving(get_be32(msg + 20), DK_ANY_PID);
}

void SerNet_man_sender_online(int raster) {
    if (raster >= 0 && raster < SERNET_RASTERS) send(online[raster], false, "online", raster);
}
void SerNet_man_sender_offline(int raster) {
    if (raster >= 0 && raster < SERNET_RASTERS) send(offline[raster], true, "offline", raster);
}
void SerNet_man_flush_online() {
    Dynkom_flush_eth(0);
}
void SerNet_man_flush_offline() {
    Dynkom_flush_eth(1);
}

DynkommFifo* dynkomm_fifo_link(uint32_t partner, uint16_t source, uint16_t dest, uint16_t raster,
                               uint16_t slots, uint16_t size, uint16_t flags) {
    if (size > DK_SLOT_MAX) return nullptr;
    if (source == dest)
        return dynkomm_fifo_create_local(
            partner, raster, soundSlots(slots < DK_SLOTS_MAX ? slots : DK_SLOTS_MAX), size, flags);
    const uint32_t kind = routing_get_next(dest).kind;
    if (!routed(kind)) return nullptr;
    // The requester's slot count sizes its own receiving FIFO, not this one: a queue-mode FIFO
    // must hold what its raster writes between two sender rounds.
    const uint16_t sending =
        (flags & DK_FLAG_QUEUE) ? dynkomm_getslotnum_SerNet(raster) : SENDING_ONLINE_SLOTS;
    DynkommFifo* f = sendingFifo(dest, kind, raster, sending, size, flags);
    if (!f) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_fifo_link(): no free magic on source for 0x%08X pid 0x%02X",
                             partner, dest);
        return nullptr;
    }
    f->partnerMagic = partner;
    SerNet_man_start_sending(f);
    return f;
}

uint32_t dynkomm_fifo_unlink(uint16_t source, uint16_t dest, uint32_t magic) {
    DynkommFifo* f = nullptr;
    if (dynkomm_get_fifo(magic, &f) != 1) {
        SYSLOGX_RATE_GUARDED(
            LOG_ERR, "dynkomm_fifo_unlink(): fifo magic not found on source side for 0x%08X pid 0x%02X",
            magic, dest);
        return 0;
    }
    if (source == dest) {
        dynkomm_fifo_free(magic);
        return 0;
    }
    const uint32_t partner = f->partnerMagic;
    if (!SerNet_man_release_fifo(magic))
        SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_fifo_unlink: fifo could delete 0x%08X pid 0x%02X", magic,
                             dest);
    return partner;
}

void SerNet_man_reset() {
    for (int r = 0; r < SERNET_RASTERS; ++r)
        online[r].head = offline[r].head = nullptr;
    awaited.clear();
}
