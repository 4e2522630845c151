// Dynamic communication: data FIFOs, the magic-number tables and the data-FIFO registry.
//
// Dynamic communication: data FIFOs (rings of fixed-size slots, one writer and one reader),
// the magic-number tables that name FIFOs and measurement lists, and the registry that maps
// data-FIFO numbers to FIFOs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- magic numbers -------------------------------------------------------------------
// A number is the table cursor with the boot byte on top: bits 0-15 the entry index, 16-23
// the generation, 24-31 the boot byte. Index 0 is never handed out, so 0 names nothing.
struct MagicTable;
MagicTable* magicNumber_createMem(uint32_t count, uint32_t delay);
void magicNumber_freeMem(MagicTable* table);
uint32_t magicNumber_getNewMagic(MagicTable* table);
int32_t magicNumber_magic2index(MagicTable* table, uint32_t magic);
int magicNumber_deleteMagic(MagicTable* table, uint32_t magic);
int magicNumber_deleteMagic_noTimeout(MagicTable* table, uint32_t magic);
void magicNumber_garbageCollection(MagicTable* table);
// Tests: every number free again, handed out from the start (the table and its lock stay).
void magicNumber_clear(MagicTable* table);
struct MagicCounters {
    uint32_t inUse, waiting, count;
};
MagicCounters magicNumber_counters(MagicTable* table);

// ---- FIFOs ---------------------------------------------------------------------------
constexpr uint16_t DK_FIFO_VALID = 0xA710;
constexpr uint16_t DK_FIFO_RELEASED = 0xDEAD;
constexpr uint16_t DK_FLAG_QUEUE = 1; // every entry kept in order, writer refused when full
constexpr uint16_t DK_ROUTE_LOCAL = 0;
constexpr uint16_t DK_ROUTE_ETHERNET = 240;
constexpr uint16_t DK_ROUTE_LOCSOCK = 241;
constexpr uint16_t DK_SLOT_MAX = 1464; // a 1472-byte frame less one record header
constexpr uint16_t DK_SLOTS_MAX = 512;

struct DynkommFifo {
    DynkommFifo* link; // next in its sender list
    uint32_t ownHandle;
    uint32_t partnerMagic;
    std::atomic<uint32_t> readCount;
    std::atomic<uint32_t> writeCount;
    uint16_t routeCode;
    uint16_t validity;
    uint16_t sourcePid;
    uint16_t destPid;
    uint16_t slots;
    uint16_t slotMask;
    uint16_t slotSize;
    uint16_t raster;
    uint16_t flags;
    // Entries the writer has begun: a reader that copied a slot checks it to tell whether the
    // writer came round to that slot meanwhile.
    std::atomic<uint32_t> claimed;
    uint32_t magic;   // the number it is registered under here, 0 while unregistered
    uint16_t opening; // a sending FIFO whose path reply has not come yet
    // Readers that looked it up and read it outside the registry lock; the top bit once it is
    // disposed, so that the last of them frees it.
    std::atomic<uint32_t> pins;
    uint16_t holder; // PID + 1 of the peer that holds it as a path's receiving FIFO, 0 none
    uint8_t* slot(uint32_t count) {
        return reinterpret_cast<uint8_t*>(this + 1) + (count & slotMask) * slotSize;
    }
};

// A zero-filled FIFO with the validity tag; `slots` must be a power of two (1..512).
DynkommFifo* dynkomm_fifo_alloc(uint16_t slots, uint16_t slotSize);
// Frees a FIFO no list or registry record refers to any more; one still pinned is freed by its
// last unpin.
void dynkomm_fifo_dispose(DynkommFifo* fifo);
// What the receiving FIFOs of one peer's paths take here: counted when a path is opened for
// the peer (dynkomm_fifo_hold), uncounted when the FIFO is freed, whichever way.
struct DkHeld {
    uint32_t paths, bytes;
};
void dynkomm_fifo_hold(DynkommFifo* fifo, uint16_t pid);
DkHeld dynkomm_held(uint16_t pid);

// The slot to fill, or none (no validity tag; queue mode and full). Then writedone.
uint8_t* dynkomm_write(DynkommFifo* fifo);
void dynkomm_writedone(DynkommFifo* fifo);
// Stores `n` bytes into a slot being filled. The reader of an online FIFO may be copying that
// slot meanwhile (it throws the copy away by the counts), so the slot takes only relaxed atomic
// stores, as the reader loads it: whole words where they are aligned, a lone aligned 16-bit
// value in one, bytes elsewhere. Inline: the measurement copy stores every value through it.
inline void dynkomm_slot_put(uint8_t* at, const void* from, size_t n) {
    using u16 = uint16_t __attribute__((may_alias));
    using u32 = uint32_t __attribute__((may_alias));
    const auto* v = static_cast<const uint8_t*>(from);
    size_t i = 0;
    if (n == 2 && reinterpret_cast<uintptr_t>(at) % 2 == 0) {
        u16 w;
        __builtin_memcpy(&w, v, 2);
        __atomic_store_n(reinterpret_cast<u16*>(at), w, __ATOMIC_RELAXED);
        return;
    }
    for (; i < n && reinterpret_cast<uintptr_t>(at + i) % 4; ++i)
        __atomic_store_n(at + i, v[i], __ATOMIC_RELAXED);
    for (; i + 4 <= n; i += 4) {
        u32 w;
        __builtin_memcpy(&w, v + i, 4);
        __atomic_store_n(reinterpret_cast<u32*>(at + i), w, __ATOMIC_RELAXED);
    }
    for (; i < n; ++i)
        __atomic_store_n(at + i, v[i], __ATOMIC_RELAXED);
}
// Writes one entry (slot size bytes from `data`); false when refused.
bool dynkomm_write_copy(DynkommFifo* fifo, const void* data);
// The slot to read (queue mode: oldest; else newest), or none when empty. Then readdone.
uint8_t* dynkomm_read(DynkommFifo* fifo);
void dynkomm_readdone(DynkommFifo* fifo);
// Copies the next entry out and consumes it. In online mode a writer that came round to the
// slot during the copy makes it try again, and after three tries the entry is dropped: no torn
// entry is ever delivered. False when there is nothing to read.
bool dynkomm_read_copy(DynkommFifo* fifo, void* out);
// Copies the entry dynkomm_read names into `out` and leaves it to readdone, for a reader that may
// not take it. The same loads and tries as dynkomm_read_copy; after three torn tries there is
// nothing to read this time. False also for a slot larger than `room`.
bool dynkomm_peek_copy(DynkommFifo* fifo, void* out, size_t room);

// ---- the data-FIFO registry ------------------------------------------------------------
constexpr uint32_t DK_MAGIC_COUNT = 65536;
constexpr uint32_t DK_MAGIC_DELAY = 240;
// Every number in use counts to one PID of the 64 of the network: the unit at the other end of
// its FIFO (this unit for its local FIFOs and for the FIFOs it reserves for its own requests).
// A PID holds at most its share, so that all of them at their share still fit the table's 65,535
// numbers and none can take what another draws from; a number counts until it is deleted.
constexpr uint32_t DK_PID_SHARE = (DK_MAGIC_COUNT - 1) / 64;

int dynkomm_ini();
// A number of this unit's share (no FIFO under it yet).
uint32_t dynkomm_get_magic();
// The number of a receiving FIFO for a request of this unit's to `pid`, from this unit's share.
uint32_t dynkomm_fifo_reserve(uint16_t pid);
int dynkomm_fifo_prepare(uint32_t magic);
int dynkomm_fifo_set(uint32_t magic, DynkommFifo* fifo);
DynkommFifo* dynkomm_fifo_create(uint32_t magic, uint16_t sourcePid, uint32_t partnerMagic, uint16_t destPid,
                                 uint16_t raster, uint16_t slots, uint16_t slotSize, uint16_t flags);
DynkommFifo* dynkomm_fifo_create_local(uint32_t magic, uint16_t raster, uint16_t slots, uint16_t slotSize,
                                       uint16_t flags);
uint32_t dynkomm_fifo_activate(uint32_t magic, uint16_t pid, uint16_t raster, uint16_t slots,
                               uint16_t slotSize, uint16_t flags);
// Registers a FIFO under a new number (which becomes its own handle), counted to the unit at its
// other end; 0 beyond that unit's share or when none is left.
uint32_t dynkomm_fifo_register(DynkommFifo* fifo);
// Takes the FIFO out of the registry and deletes its number (with the delay, or at once);
// returns the FIFO, which the caller now owns alone, or none for a number that is not valid.
DynkommFifo* dynkomm_fifo_unregister(uint32_t magic, bool delayed);
// Unregisters and frees; 0 when the number is not valid (so nothing is freed twice).
int dynkomm_fifo_free(uint32_t magic);
// Receiving FIFOs: written here by another unit's paths or lists. Frees the one registered under
// `magic` when it receives from `source` (any unit: DK_ANY_PID); 1 when freed.
constexpr uint16_t DK_ANY_PID = 0xFFFF;
int dynkomm_fifo_free_receiving(uint32_t magic, uint16_t source);
// Frees every FIFO that receives from `source`: once a unit restarted or went offline, nothing
// closes what its paths hold here. A restart is counted: the unit knows nothing any more of what
// it served before. How many went.
uint32_t dynkomm_fifo_free_receiving_all(uint16_t source, bool restarted);
// How often `pid` was seen to restart (0 for a PID above 63).
uint32_t dynkomm_restarts(uint16_t pid);
// 1 with the FIFO, 2 when the number is reserved without a FIFO, 0 when it is not valid.
int dynkomm_get_fifo(uint32_t magic, DynkommFifo** fifo);
// The FIFO registered under the number, pinned so that a release meanwhile does not free it
// under its reader; none when there is no such FIFO. Every pin ends with an unpin.
DynkommFifo* dynkomm_fifo_pin(uint32_t magic);
void dynkomm_fifo_unpin(DynkommFifo* fifo);
// Frees a number that is still only reserved (after its delay, or at once), under the registry
// lock: a FIFO made under it meanwhile keeps it. 1 when freed.
int dynkomm_free_magic(uint32_t magic);
int dynkomm_free_magic_direct(uint32_t magic);

// Writes a received entry into the FIFO registered under `magic`, under the registry lock so
// that a FIFO being released is never written. `info` (may be null) gets the FIFO's fields.
enum DkPutResult { DK_PUT_NO_FIFO = 0, DK_PUT_OK = 1, DK_PUT_FULL = 2, DK_PUT_TOO_LONG = 3 };
struct DkFifoInfo {
    uint16_t sourcePid, flags, slots, raster;
};
DkPutResult dynkomm_fifo_put(uint32_t magic, const uint8_t* data, size_t len, DkFifoInfo* info);

// Once a second from the 1000 ms raster: ages the deleted numbers so that they come back.
void dynkomm_1s();
MagicCounters dynkomm_counters();
// Handler of 0x1100: a peer reports a FIFO it could not free.
void dynkomm_tidy_up(const uint8_t* message, size_t len);

// Error ring: code and the first 40 bytes of the object concerned (zeros where none).
constexpr int DK_ERROR_RING = 8;
struct DkErrorRecord {
    uint32_t code;
    uint8_t object[40];
};
void dynkomm_error_ini();
void dynkomm_error(uint32_t code, const void* object, size_t len);
uint32_t dynkomm_error_count();
DkErrorRecord dynkomm_error_get(uint32_t n);

// Tests: frees every registered FIFO and empties the table, which keeps its lock (the OS layer
// keeps the record of a deleted semaphore, so a table made anew for every test or fuzz input
// would grow the process).
void dynkomm_reset();
