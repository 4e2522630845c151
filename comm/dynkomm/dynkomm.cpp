// Data FIFOs and their registry. A FIFO belongs to the registry record (and, for a sending
// FIFO, the sender list) that refers to it; it is freed only after every reference is gone,
// so no operation ever reads a released FIFO.
#include "comm/dynkomm/dynkomm.h"

#include "comm/routing/routing.h"
#include "platform/os/os.h"
#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr size_t HEADER = (sizeof(DynkommFifo) + 7) & ~size_t{7};
static_assert(HEADER == sizeof(DynkommFifo), "slots follow the header at an 8-byte boundary");

// Relaxed atomic copies: slots are shared by one writer and one reader without a lock, and
// a reader that raced the writer finds out by the counts and throws its copy away.
void copyIn(uint8_t* dst, const uint8_t* src, size_t n) {
    dynkomm_slot_put(dst, src, n);
}
void copyOut(uint8_t* dst, const uint8_t* src, size_t n) {
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t w = __atomic_load_n(reinterpret_cast<const uint32_t*>(src + i), __ATOMIC_RELAXED);
        std::memcpy(dst + i, &w, 4);
    }
    for (; i < n; ++i)
        dst[i] = __atomic_load_n(src + i, __ATOMIC_RELAXED);
}

bool queueMode(const DynkommFifo* f) {
    return f->flags & DK_FLAG_QUEUE;
}

constexpr int HOLDERS = ROUTING_PIDS;
static_assert(HOLDERS * DK_PID_SHARE < DK_MAGIC_COUNT, "every PID's share fits the table at once");
std::atomic<uint32_t> heldPaths[HOLDERS], heldBytes[HOLDERS];
std::atomic<uint32_t> restarts[HOLDERS];

uint32_t bytesOf(const DynkommFifo* f) {
    return static_cast<uint32_t>(HEADER + static_cast<size_t>(f->slots) * ((f->slotSize + 3u) & ~3u));
}

} // namespace

void dynkomm_fifo_hold(DynkommFifo* f, uint16_t pid) {
    if (!f || f->holder || pid >= HOLDERS) return;
    f->holder = static_cast<uint16_t>(pid + 1);
    heldPaths[pid].fetch_add(1);
    heldBytes[pid].fetch_add(bytesOf(f));
}

DkHeld dynkomm_held(uint16_t pid) {
    if (pid >= HOLDERS) return {0, 0};
    return {heldPaths[pid].load(), heldBytes[pid].load()};
}

DynkommFifo* dynkomm_fifo_alloc(uint16_t slots, uint16_t slotSize) {
    if (slots == 0 || slots > DK_SLOTS_MAX || (slots & (slots - 1))) return nullptr;
    void* mem = std::calloc(1, HEADER + static_cast<size_t>(slots) * ((slotSize + 3u) & ~3u));
    if (!mem) return nullptr;
    auto* f = new (mem) DynkommFifo{};
    f->validity = DK_FIFO_VALID;
    f->slots = slots;
    f->slotMask = static_cast<uint16_t>(slots - 1);
    f->slotSize = slotSize;
    return f;
}

namespace {
constexpr uint32_t DISPOSED = 0x80000000u;
void release(DynkommFifo* f) {
    if (f->holder) {
        heldPaths[f->holder - 1].fetch_sub(1);
        heldBytes[f->holder - 1].fetch_sub(bytesOf(f));
    }
    f->validity = DK_FIFO_RELEASED;
    f->~DynkommFifo();
    std::free(f);
}
} // namespace

void dynkomm_fifo_dispose(DynkommFifo* f) {
    if (f && (f->pins.fetch_or(DISPOSED, std::memory_order_acq_rel) & ~DISPOSED) == 0) release(f);
}

void dynkomm_fifo_unpin(DynkommFifo* f) {
    if (f && f->pins.fetch_sub(1, std::memory_order_acq_rel) == (DISPOSED | 1)) release(f);
}

uint8_t* dynkomm_write(DynkommFifo* f) {
    if (!f || f->validity != DK_FIFO_VALID) return nullptr;
    const uint32_t w = f->writeCount.load(std::memory_order_relaxed);
    if (queueMode(f) && w - f->readCount.load(std::memory_order_acquire) >= f->slots) return nullptr;
    f->claimed.store(w + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    return f->slot(w);
}

void dynkomm_writedone(DynkommFifo* f) {
    f->writeCount.fetch_add(1, std::memory_order_release);
}

bool dynkomm_write_copy(DynkommFifo* f, const void* data) {
    uint8_t* s = dynkomm_write(f);
    if (!s) return false;
    copyIn(s, static_cast<const uint8_t*>(data), f->slotSize);
    dynkomm_writedone(f);
    return true;
}

uint8_t* dynkomm_read(DynkommFifo* f) {
    if (!f || f->validity != DK_FIFO_VALID) return nullptr;
    const uint32_t w = f->writeCount.load(std::memory_order_acquire);
    const uint32_t r = f->readCount.load(std::memory_order_relaxed);
    if (r == w) return nullptr;
    return f->slot(queueMode(f) ? r : w - 1);
}

void dynkomm_readdone(DynkommFifo* f) {
    if (queueMode(f))
        f->readCount.fetch_add(1, std::memory_order_release);
    else
        f->readCount.store(f->writeCount.load(std::memory_order_acquire), std::memory_order_release);
}

namespace {
// The entry a reader takes next into `o`, its write count in `w`. Online, false when there is
// none (w == r) and when the writer came round to its slot in each of three tries (w != r).
bool copyNext(DynkommFifo* f, uint8_t* o, uint32_t r, uint32_t& w) {
    if (queueMode(f)) {
        // The writer takes the slot again only once the reader released it.
        w = f->writeCount.load(std::memory_order_acquire);
        if (r == w) return false;
        copyOut(o, f->slot(r), f->slotSize);
        return true;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        w = f->writeCount.load(std::memory_order_acquire);
        if (w == r) return false;
        copyOut(o, f->slot(w - 1), f->slotSize);
        std::atomic_thread_fence(std::memory_order_acquire);
        // The writer has begun entries up to claimed - 1; one of them lands in the copied
        // slot once claimed - w reaches the slot count.
        if (f->claimed.load(std::memory_order_relaxed) - w < f->slots) return true;
    }
    return false;
}
} // namespace

bool dynkomm_read_copy(DynkommFifo* f, void* out) {
    if (!f || f->validity != DK_FIFO_VALID) return false;
    const uint32_t r = f->readCount.load(std::memory_order_relaxed);
    uint32_t w;
    if (copyNext(f, static_cast<uint8_t*>(out), r, w)) {
        f->readCount.store(queueMode(f) ? r + 1 : w, std::memory_order_release);
        return true;
    }
    if (w != r) f->readCount.store(f->writeCount.load(std::memory_order_acquire), std::memory_order_release);
    return false;
}

bool dynkomm_peek_copy(DynkommFifo* f, void* out, size_t room) {
    if (!f || f->validity != DK_FIFO_VALID || f->slotSize > room) return false;
    uint32_t w;
    return copyNext(f, static_cast<uint8_t*>(out), f->readCount.load(std::memory_order_relaxed), w);
}

// ---- registry ------------------------------------------------------------------------------

namespace {

constexpr uint32_t NONE = 0, RESERVED = 1, CREATED = 2;
// `owner`: the PID whose share the number counts to, from its draw to its deletion.
struct Record {
    uint32_t state;
    DynkommFifo* fifo;
    uint16_t owner;
};
Record records[DK_MAGIC_COUNT];
std::atomic<MagicTable*> dkMagics{nullptr};
SEM_ID registryMutex = nullptr;
MagicCounters lastCounters{};
std::atomic<uint32_t> owned[HOLDERS];

struct Registry {
    Registry() { ok = registryMutex && semTake(registryMutex, WAIT_FOREVER) == OK; }
    ~Registry() {
        if (ok) semGive(registryMutex);
    }
    bool ok;
};

// The record of a valid number (under the registry lock), else none.
Record* recordOf(uint32_t magic) {
    const int32_t i = magicNumber_magic2index(dkMagics.load(), magic);
    return i < 0 ? nullptr : &records[i];
}

uint16_t routeCodeOf(uint16_t pid) {
    if (pid == AppMan_getPID()) return DK_ROUTE_LOCAL;
    switch (routing_get_next(pid).kind) {
    case ROUTE_ETHERNET:
        return DK_ROUTE_ETHERNET;
    case ROUTE_LOCSOCK:
        return DK_ROUTE_LOCSOCK;
    default:
        return DK_ROUTE_LOCAL;
    }
}

DkErrorRecord errorRing[DK_ERROR_RING];
std::atomic<uint32_t> errorCount{0};

} // namespace

int dynkomm_ini() {
    if (!registryMutex) registryMutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!dkMagics.load()) dkMagics = magicNumber_createMem(DK_MAGIC_COUNT, DK_MAGIC_DELAY);
    if (!dkMagics.load() || !registryMutex) {
        syslogx(LOG_ERR, "dynkomm_ini(): failed to initialize magic number table");
        return 0;
    }
    return 1;
}

namespace {

// The guard of the line that tells a share refused (anew at the tests' reset).
SyslogRateGuard shareLog;

// Under the registry lock: a number counted to the share of `pid`; 0 beyond that share (logged)
// or when the table has none left.
uint32_t draw(uint16_t pid, uint32_t state, DynkommFifo* fifo, const char* what) {
    MagicTable* t = dkMagics.load();
    if (!t) {
        syslogx(LOG_ERR, "dynkomm_get_magic() no magic number table!!");
        return 0;
    }
    if (pid >= HOLDERS) return 0;
    if (owned[pid].load(std::memory_order_relaxed) >= DK_PID_SHARE) {
        if (syslogx_rateguard(&shareLog))
            syslogx(LOG_ERR, "%s(): PID 0x%X holds its share of %u data FIFOs, refused", what, pid,
                    DK_PID_SHARE);
        return 0;
    }
    const uint32_t m = magicNumber_getNewMagic(t);
    if (!m) {
        const MagicCounters c = magicNumber_counters(t);
        SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_get_magic() out of magics del %u used %u cnt %u", c.waiting,
                             c.inUse, c.count);
        return 0;
    }
    owned[pid].fetch_add(1, std::memory_order_relaxed);
    records[m & 0xFFFF] = {state, fifo, pid};
    return m;
}

// Under the registry lock: the number goes (after its delay, or at once) and with it what it
// indexes, so that nothing is left under the entry when the table hands it out again.
bool drop(uint32_t magic, bool delayed) {
    MagicTable* t = dkMagics.load();
    const int32_t i = magicNumber_magic2index(t, magic);
    if (i < 0) return false;
    const int gone =
        delayed ? magicNumber_deleteMagic(t, magic) : magicNumber_deleteMagic_noTimeout(t, magic);
    if (gone != 1) return false;
    Record& rec = records[i];
    if (rec.owner < HOLDERS) owned[rec.owner].fetch_sub(1, std::memory_order_relaxed);
    rec = {NONE, nullptr, 0};
    return true;
}

// The other end of a FIFO: the unit it serves or receives from; this unit for a local one.
uint16_t peerOf(const DynkommFifo* f) {
    return f->sourcePid == AppMan_getPID() ? f->destPid : f->sourcePid;
}

} // namespace

uint32_t dynkomm_get_magic() {
    Registry r;
    return draw(AppMan_getPID(), NONE, nullptr, "dynkomm_get_magic");
}

// The receiving FIFO of one of this unit's own requests: it counts to this unit's share, whichever
// unit will write it.
uint32_t dynkomm_fifo_reserve(uint16_t pid) {
    Registry r;
    const uint32_t m =
        draw(AppMan_getPID(), pid == AppMan_getPID() ? NONE : RESERVED, nullptr, "dynkomm_fifo_reserve");
    if (!m) SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_fifo_reserve(): could not get magic nummer for fifo");
    return m;
}

int dynkomm_fifo_prepare(uint32_t magic) {
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec) {
        SYSLOGX_GUARDED(LOG_ERR, "dynkomm_fifo_prepare(): invalid get magic nummer for fifo 0x%08x", magic);
        return 0;
    }
    rec->state = RESERVED;
    rec->fifo = nullptr;
    return 1;
}

int dynkomm_fifo_set(uint32_t magic, DynkommFifo* fifo) {
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec) {
        SYSLOGX_GUARDED(LOG_ERR, "dynkomm_fifo_set(): invalid get magic number for fifo 0x%08x", magic);
        return 0;
    }
    rec->state = CREATED;
    rec->fifo = fifo;
    if (fifo) fifo->magic = magic;
    return 1;
}

DynkommFifo* dynkomm_fifo_create(uint32_t magic, uint16_t sourcePid, uint32_t partnerMagic, uint16_t destPid,
                                 uint16_t raster, uint16_t slots, uint16_t slotSize, uint16_t flags) {
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec) {
        SYSLOGX_GUARDED(LOG_ERR, "dynkomm_fifo_init(): magic not valid");
        return nullptr;
    }
    if (rec->state != RESERVED) {
        SYSLOGX_GUARDED(LOG_ERR, "dynkomm_fifo_init(): fifo state not expected %d, 0x%08x",
                        static_cast<int>(rec->state),
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(rec->fifo)));
        return nullptr;
    }
    DynkommFifo* f = dynkomm_fifo_alloc(slots, slotSize);
    if (!f) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_fifo_init(): no memory for fifo");
        return nullptr;
    }
    f->ownHandle = magic;
    f->magic = magic;
    f->partnerMagic = partnerMagic;
    f->sourcePid = sourcePid;
    f->destPid = destPid;
    f->raster = raster;
    f->flags = flags;
    f->routeCode = routeCodeOf(destPid);
    rec->state = CREATED;
    rec->fifo = f;
    return f;
}

DynkommFifo* dynkomm_fifo_create_local(uint32_t magic, uint16_t raster, uint16_t slots, uint16_t slotSize,
                                       uint16_t flags) {
    if (!dynkomm_fifo_prepare(magic)) {
        SYSLOGX_GUARDED(LOG_ERR, "dynkomm_fifo_create_local(): illegal magic creating local fifo 0x%08x",
                        magic);
        return nullptr;
    }
    const uint16_t own = AppMan_getPID();
    DynkommFifo* f = dynkomm_fifo_create(magic, own, magic, own, raster, slots, slotSize, flags);
    if (!f) {
        dynkomm_free_magic_direct(magic);
        SYSLOGX_RATE_GUARDED(LOG_ERR, "dynkomm_fifo_create_local(): not able to create local fifo 0x%08x",
                             magic);
    }
    return f;
}

uint32_t dynkomm_fifo_activate(uint32_t magic, uint16_t pid, uint16_t raster, uint16_t slots,
                               uint16_t slotSize, uint16_t flags) {
    const uint16_t own = AppMan_getPID();
    if (pid == own) return magic;
    if (!dynkomm_fifo_create(magic, pid, magic, own, raster, slots, slotSize, flags)) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "dynkomm_fifo_activate(): fifo (0x%08X) pid 0x0x%02X could not been activated", magic,
                        pid);
        return 0;
    }
    return magic;
}

uint32_t dynkomm_fifo_register(DynkommFifo* fifo) {
    Registry r;
    const uint32_t m = draw(peerOf(fifo), CREATED, fifo, "dynkomm_fifo_register");
    if (!m) return 0;
    fifo->magic = m;
    fifo->ownHandle = m;
    return m;
}

DynkommFifo* dynkomm_fifo_unregister(uint32_t magic, bool delayed) {
    DynkommFifo* f = nullptr;
    {
        Registry r;
        Record* rec = recordOf(magic);
        if (!rec) return nullptr;
        f = rec->fifo;
        drop(magic, delayed);
    }
    if (f) f->magic = 0;
    return f;
}

int dynkomm_fifo_free(uint32_t magic) {
    if (magicNumber_magic2index(dkMagics.load(), magic) < 0) return 0;
    dynkomm_fifo_dispose(dynkomm_fifo_unregister(magic, true));
    return 1;
}

namespace {
// Under the registry lock.
bool receives(const DynkommFifo* f, uint16_t source) {
    const uint16_t own = AppMan_getPID();
    return f->destPid == own && f->sourcePid != own && (source == DK_ANY_PID || f->sourcePid == source);
}
// Under the registry lock: out of the registry (its number deleted with the delay) and freed, or
// left to the last reader that pinned it.
void dropReceiving(Record& rec) {
    DynkommFifo* f = rec.fifo;
    drop(f->magic, true);
    f->magic = 0;
    dynkomm_fifo_dispose(f);
}
} // namespace

int dynkomm_fifo_free_receiving(uint32_t magic, uint16_t source) {
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec || rec->state != CREATED || !rec->fifo || !receives(rec->fifo, source)) return 0;
    dropReceiving(*rec);
    return 1;
}

uint32_t dynkomm_fifo_free_receiving_all(uint16_t source, bool restarted) {
    if (source == AppMan_getPID()) return 0;
    // Counted before the FIFOs go: a reader that finds one gone sees the restart too.
    if (restarted && source < HOLDERS) restarts[source].fetch_add(1);
    // A part of the registry at a time: the receive tasks and the rasters' readers take the lock
    // in between.
    constexpr uint32_t PART = 1024;
    uint32_t n = 0;
    for (uint32_t first = 0; first < DK_MAGIC_COUNT; first += PART) {
        Registry r;
        for (uint32_t i = first; i < first + PART; ++i) {
            Record& rec = records[i];
            if (rec.state == CREATED && rec.fifo && receives(rec.fifo, source)) {
                dropReceiving(rec);
                ++n;
            }
        }
    }
    return n;
}

uint32_t dynkomm_restarts(uint16_t pid) {
    return pid < HOLDERS ? restarts[pid].load() : 0;
}

int dynkomm_get_fifo(uint32_t magic, DynkommFifo** fifo) {
    if (fifo) *fifo = nullptr;
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec) return 0;
    if (rec->state != CREATED) return 2;
    if (fifo) *fifo = rec->fifo;
    return 1;
}

DynkommFifo* dynkomm_fifo_pin(uint32_t magic) {
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec || rec->state != CREATED || !rec->fifo) return nullptr;
    rec->fifo->pins.fetch_add(1, std::memory_order_relaxed);
    return rec->fifo;
}

namespace {
int freeReserved(uint32_t magic, bool delayed) {
    Registry r;
    const Record* rec = recordOf(magic);
    return rec && rec->state != CREATED && !rec->fifo && drop(magic, delayed) ? 1 : 0;
}
} // namespace

int dynkomm_free_magic(uint32_t magic) {
    return freeReserved(magic, true);
}
int dynkomm_free_magic_direct(uint32_t magic) {
    return freeReserved(magic, false);
}

DkPutResult dynkomm_fifo_put(uint32_t magic, const uint8_t* data, size_t len, DkFifoInfo* info) {
    Registry r;
    Record* rec = recordOf(magic);
    if (!rec || rec->state != CREATED || !rec->fifo) return DK_PUT_NO_FIFO;
    DynkommFifo* f = rec->fifo;
    if (info) *info = {f->sourcePid, f->flags, f->slots, f->raster};
    if (len > f->slotSize) return DK_PUT_TOO_LONG;
    uint8_t* s = dynkomm_write(f);
    if (!s) return DK_PUT_FULL;
    copyIn(s, data, len);
    // A slot may be larger than any record (its size came from a peer): zero it piecewise.
    static const uint8_t zeros[DK_SLOT_MAX] = {};
    for (size_t at = len; at < f->slotSize; at += sizeof zeros)
        copyIn(s + at, zeros, f->slotSize - at < sizeof zeros ? f->slotSize - at : sizeof zeros);
    dynkomm_writedone(f);
    return DK_PUT_OK;
}

void dynkomm_1s() {
    MagicTable* t = dkMagics.load();
    if (!t) return;
    magicNumber_garbageCollection(t);
    lastCounters = magicNumber_counters(t);
}

MagicCounters dynkomm_counters() {
    return magicNumber_counters(dkMagics.load());
}

void dynkomm_tidy_up(const uint8_t* message, size_t len) {
    if (!message || len < 20) return;
    const uint32_t word2 = bytes::get_be32(message + 12);
    SYSLOGX_GUARDED(LOG_WARN, "dynkomm_tidy_up(): mem leak:  fifo will remain 0x%08x", word2);
}

void dynkomm_error_ini() {
    errorCount = 0;
}

void dynkomm_error(uint32_t code, const void* object, size_t len) {
    DkErrorRecord& rec = errorRing[errorCount.fetch_add(1) % DK_ERROR_RING];
    rec = {code, {}};
    if (object) std::memcpy(rec.object, object, len < sizeof rec.object ? len : sizeof rec.object);
}

uint32_t dynkomm_error_count() {
    return errorCount.load();
}
DkErrorRecord dynkomm_error_get(uint32_t n) {
    return errorRing[n % DK_ERROR_RING];
}

void dynkomm_reset() {
    for (Record& rec : records) {
        if (rec.fifo) dynkomm_fifo_dispose(rec.fifo);
        rec = {NONE, nullptr, 0};
    }
    for (auto& n : owned)
        n = 0;
    magicNumber_clear(dkMagics.load());
    errorCount = 0;
    syslogx_rateguard_reset(&shareLog);
}
