#include "services/nvram/nvram.h"
#include "services/nvram/nvram_private.h"

#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"
#include "services/syslog/syslog.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

namespace {

static_assert(std::size(nvramElemsClone) == 23 && std::size(nvramElemsNoClone) == 7);
static_assert(std::size(nvramElemsClone) + std::size(nvramElemsNoClone) == NVRAM_ELEMENTS);

constexpr bool recordsFit(const nvram_elem_t* t, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (t[i].size > NVRAM_RECORD_MAX) return false;
    return true;
}
static_assert(recordsFit(nvramElemsClone, std::size(nvramElemsClone)));
static_assert(recordsFit(nvramElemsNoClone, std::size(nvramElemsNoClone)));

constexpr uint32_t SLOT_HEADER = 4;
constexpr uint32_t SLOT_MAX = NVRAM_RECORD_MAX + SLOT_HEADER;

struct nvramIntern {
    uint8_t* image;
    uint32_t offset; // of the image in non-volatile memory
    const nvram_elem_t* desc;
};

nvramIntern nvramInterns[NVRAM_ELEMENTS];
// Descriptors the interns point at: copies, so that test tables need not outlive init.
nvram_elem_t descriptors[NVRAM_ELEMENTS];
std::atomic<bool> init_done{false};
// Writes update RAM only, for the repair of an erased store; nvram_dbs_repair_end stores them.
// Cleared only once they are stored, under holdLock, which a write takes while it is set: the
// images are not copied while a task writes into them, and no write reaches the memory before
// the repair, whose older copy of that slot would come after it.
std::atomic<bool> holding{false};
SEM_ID holdLock;

// Taken while the repair holds writes back; `held` tells whether it still did under the lock.
struct HoldGuard {
    bool locked = false, held = false;
    HoldGuard() {
        if (!holding.load()) return;
        locked = semTake(holdLock, WAIT_FOREVER) == OK;
        held = holding.load();
    }
    ~HoldGuard() {
        if (locked) semGive(holdLock);
    }
};

std::atomic<bool> onceReadIndex{false}; // shared by "index too high" and "CRC failed" on read
std::atomic<bool> onceWriteIndex{false};
std::atomic<bool> onceReadLength{false};
std::atomic<bool> onceWriteLength{false};

bool firstTime(std::atomic<bool>& flag) {
    return !flag.exchange(true);
}

// A slot's header as the processor stores it: CRC, then counter, each little-endian.
uint16_t slotCrc(const uint8_t* slot) {
    return bytes::get_le16(slot);
}
uint16_t slotCounter(const uint8_t* slot) {
    return bytes::get_le16(slot + 2);
}
// Stamps the slot with its counter and the CRC of the data it now holds.
void sealSlot(uint8_t* slot, uint32_t size, uint16_t counter) {
    bytes::put_le16(slot, crc16_ccitt(slot + SLOT_HEADER, size));
    bytes::put_le16(slot + 2, counter);
}
bool slotValid(const uint8_t* slot, uint32_t size) {
    return slotCrc(slot) == crc16_ccitt(slot + SLOT_HEADER, size);
}

nvramIntern* lookup(uint32_t id) {
    // ids 0 to 22 are indexes 0 to 22, ids 256 to 262 indexes 23 to 29
    constexpr size_t nClone = std::size(nvramElemsClone);
    size_t index;
    if (id < nClone)
        index = id;
    else if (id >= NVRAM_NOCLONE_FIRST_ID && id - NVRAM_NOCLONE_FIRST_ID < std::size(nvramElemsNoClone))
        index = id - NVRAM_NOCLONE_FIRST_ID + nClone;
    else
        return nullptr;
    if (!nvramInterns[index].desc) return nullptr;
    return &nvramInterns[index];
}

void releaseImages() {
    for (auto& in : nvramInterns) {
        std::free(in.image);
        in = nvramIntern{};
    }
}

// The two slots of record r.
int nvram_get_mirror_ptrs(const nvramIntern& e, uint32_t r, uint8_t** a, uint8_t** b) {
    if (r >= e.desc->count) return -1;
    const uint32_t slot = nvram_slot_size(*e.desc);
    *a = e.image + 2u * r * slot;
    *b = e.image + (2u * r + 1u) * slot;
    return 0;
}

// Which mirror is newer: 0 = A, 1 = B, -1 = none valid; `next` is the counter of the next write.
// A counter only counts when its CRC holds; the comparison wraps at 65536, equal picks A.
int nvram_decide_index(const uint8_t* a, const uint8_t* b, uint32_t size, uint16_t* next) {
    const bool va = slotValid(a, size);
    const bool vb = slotValid(b, size);
    int newer;
    if (!va && !vb)
        newer = -1;
    else if (va && (!vb || static_cast<int16_t>(slotCounter(a) - slotCounter(b)) >= 0))
        newer = 0;
    else
        newer = 1;
    *next = newer < 0 ? 0 : static_cast<uint16_t>(slotCounter(newer == 0 ? a : b) + 1u);
    return newer;
}

const uint8_t* nvram_get_mirror_ptr_read(const nvramIntern& e, uint32_t r) {
    uint8_t *a, *b;
    if (nvram_get_mirror_ptrs(e, r, &a, &b) < 0) {
        if (firstTime(onceReadIndex)) syslogx(LOG_ERR, "nvram_get_mirror_ptr_read: VYN index too high");
        return nullptr;
    }
    uint16_t next;
    const int newer = nvram_decide_index(a, b, e.desc->size, &next);
    if (newer < 0) {
        if (firstTime(onceReadIndex))
            syslogx(
                LOG_ERR,
                "nvram_get_mirror_ptr_read: VYN mirror id %d index %d could not be determined, CRC failed",
                static_cast<int>(e.desc->id), static_cast<int>(r));
        return nullptr;
    }
    return newer == 0 ? a : b;
}

// The slot to write (the one that is not newer), the newer valid slot (null when none) and
// the counter the write gets.
int nvram_get_mirror_ptr_write(const nvramIntern& e, uint32_t r, uint8_t** target, const uint8_t** newer,
                               uint16_t* next) {
    uint8_t *a, *b;
    if (nvram_get_mirror_ptrs(e, r, &a, &b) < 0) {
        if (firstTime(onceWriteIndex)) syslogx(LOG_ERR, "nvram_get_mirror_ptr_write: VYN index too high");
        return -1;
    }
    const int n = nvram_decide_index(a, b, e.desc->size, next);
    *target = n == 0 ? b : a;
    *newer = n < 0 ? nullptr : (n == 0 ? a : b);
    return 0;
}

int dbs_write_internal(uint32_t id, uint32_t idx, const void* src, uint32_t len, bool lowprio) {
    if (!init_done.load()) {
        SYSLOGX_GUARDED(LOG_ERR, "nvram_dbs_write: request rejected init not done, id %d idx %d",
                        static_cast<int>(id), static_cast<int>(idx));
        return 0;
    }
    nvramIntern* e = lookup(id);
    if (!e) {
        SYSLOGX_GUARDED(LOG_ERR, "nvram_dbs_write: VYN unknown id %d", static_cast<int>(id));
        return -1;
    }
    const uint32_t size = e->desc->size;
    if (len > size) {
        if (firstTime(onceWriteLength))
            syslogx(LOG_ERR, "nvram_dbs_write: VYN try to write more bytes than allowed");
        len = size;
    }
    const HoldGuard hold;
    uint8_t* target;
    const uint8_t* newer;
    uint16_t next;
    if (nvram_get_mirror_ptr_write(*e, idx, &target, &newer, &next) < 0) return -1;
    if (!src) return 0;

    // The target is the older mirror; what it held before is no part of the record. Start
    // from the newer record so that a short write changes only the bytes it names.
    const uint32_t slotSize = nvram_slot_size(*e->desc);
    uint8_t before[SLOT_MAX];
    std::memcpy(before, target, slotSize);
    uint8_t* data = target + SLOT_HEADER;
    std::memset(data, 0, slotSize - SLOT_HEADER);
    if (newer) std::memcpy(data, newer + SLOT_HEADER, size);
    std::memcpy(data, src, len);
    sealSlot(target, size, next);

    if (hold.held) return static_cast<int>(len);
    const uint32_t offset = e->offset + static_cast<uint32_t>(target - e->image);
    const intptr_t r = kmgr_syscall(lowprio ? KCALL_NVRAM_PERSIST_LOWPRIO : KCALL_NVRAM_PERSIST,
                                    reinterpret_cast<intptr_t>(target), slotSize, offset);
    if (r != 0) {
        // Not stored: the record must read as it will after a restart.
        std::memcpy(target, before, slotSize);
        return 0;
    }
    return static_cast<int>(len);
}

intptr_t loadImage(nvramIntern& in) {
    return kmgr_syscall(KCALL_NVRAM_LOAD, reinterpret_cast<intptr_t>(in.image), nvram_image_size(*in.desc),
                        in.offset);
}

// Lays one region's elements out from `base` and loads them. False ends the init.
bool initRegion(const nvram_elem_t* table, size_t n, size_t firstIndex, uint32_t firstId, uint32_t base,
                uint32_t limit, const char* exceeded, uint32_t* used) {
    uint32_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        const nvram_elem_t& d = table[i];
        const uint32_t expected = firstId + static_cast<uint32_t>(i);
        if (d.id != expected)
            syslogx(LOG_ERR, "nvram_dbs_init: VYN wrong id %d, expected %d", static_cast<int>(d.id),
                    static_cast<int>(expected));
        const uint64_t image = uint64_t{nvram_slot_size(d)} * d.count * 2u;
        if (d.size > NVRAM_RECORD_MAX || total + image > limit) {
            syslogx(LOG_CRIT, exceeded, static_cast<int>(d.id));
            return false;
        }
        nvramIntern& in = nvramInterns[firstIndex + i];
        descriptors[firstIndex + i] = d;
        in.desc = &descriptors[firstIndex + i];
        in.offset = base + total;
        total += static_cast<uint32_t>(image);
        if (image == 0) continue; // nothing to hold or load
        in.image = static_cast<uint8_t*>(std::calloc(image, 1));
        if (!in.image) {
            syslogx(LOG_CRIT, "nvram_dbs_init: VYN out of memory");
            return false;
        }
        // A failed load must stop the start: carrying on with zeroed images would let every
        // owner write its defaults over what is stored.
        const intptr_t r = loadImage(in);
        if (r != 0) {
            syslogx(LOG_CRIT, "nvram_dbs_init: VYN loading element %d failed (%d)", static_cast<int>(d.id),
                    static_cast<int>(r));
            return false;
        }
    }
    *used = total;
    return true;
}

} // namespace

int nvram_dbs_init_tables(const nvram_elem_t* clone, size_t nClone, const nvram_elem_t* noClone,
                          size_t nNoClone) {
    init_done = false;
    releaseImages();
    if (nClone > std::size(nvramElemsClone) || nNoClone > std::size(nvramElemsNoClone)) return 0;
    uint32_t usedClone = 0, usedNoClone = 0;
    if (!initRegion(clone, nClone, 0, 0, NVRAM_CLONE_BASE, NVRAM_CLONE_LIMIT,
                    "nvram_dbs_init VYN with element %d the assigned nvram size is exceeded!", &usedClone) ||
        !initRegion(noClone, nNoClone, std::size(nvramElemsClone), NVRAM_NOCLONE_FIRST_ID, NVRAM_NOCLONE_BASE,
                    NVRAM_NOCLONE_LIMIT,
                    "nvram_dbs_init with element %d the assigned nvram size is exceeded!", &usedNoClone)) {
        releaseImages();
        return 0;
    }
    init_done = true;
    syslogx(LOG_DEBUG, "nvram_dbs_init: used space for VYN NV doublestore clone: %d (%d), no clone: %d (%d)",
            static_cast<int>(usedClone), static_cast<int>(NVRAM_CLONE_LIMIT), static_cast<int>(usedNoClone),
            static_cast<int>(NVRAM_NOCLONE_LIMIT));
    return 1;
}

int nvram_dbs_init() {
    return nvram_dbs_init_tables(nvramElemsClone, std::size(nvramElemsClone), nvramElemsNoClone,
                                 std::size(nvramElemsNoClone));
}

int nvram_dbs_read(uint32_t id, uint32_t idx, void* dst, uint32_t len) {
    if (!init_done.load()) {
        SYSLOGX_GUARDED(LOG_ERR, "nvram_dbs_read: request rejected init not done, id %d idx %d",
                        static_cast<int>(id), static_cast<int>(idx));
        return -1;
    }
    const nvramIntern* e = lookup(id);
    if (!e) {
        SYSLOGX_GUARDED(LOG_ERR, "nvram_dbs_read: VYN unknown id %d", static_cast<int>(id));
        return -1;
    }
    if (len > e->desc->size) {
        if (firstTime(onceReadLength))
            syslogx(LOG_ERR, "nvram_dbs_read: VYN requested more bytes than allowed");
        len = e->desc->size;
    }
    const uint8_t* m = nvram_get_mirror_ptr_read(*e, idx);
    if (!m) return -1;
    if (!dst) return 0;
    std::memcpy(dst, m + SLOT_HEADER, len);
    return static_cast<int>(len);
}

int nvram_dbs_write(uint32_t id, uint32_t idx, const void* src, uint32_t len) {
    return dbs_write_internal(id, idx, src, len, false);
}

int nvram_dbs_write_lowprio(uint32_t id, uint32_t idx, const void* src, uint32_t len) {
    return dbs_write_internal(id, idx, src, len, true);
}

namespace {
// The newest mirror (0 A, 1 B) whose records are all valid with one counter; -1 when neither is.
// `next` is the counter a whole write gets: one above every valid counter of the element.
int wholeMirror(const nvramIntern& e, uint16_t* next) {
    const uint32_t n = e.desc->count, size = e.desc->size;
    bool whole[2] = {n > 0, n > 0};
    uint16_t counter[2] = {0, 0};
    int top = -1; // the highest valid counter seen, wrapping as the mirrors' counters do
    for (uint32_t r = 0; r < n; ++r) {
        uint8_t* slot[2];
        nvram_get_mirror_ptrs(e, r, &slot[0], &slot[1]);
        for (int m = 0; m < 2; ++m) {
            if (!slotValid(slot[m], size)) {
                whole[m] = false;
                continue;
            }
            const uint16_t c = slotCounter(slot[m]);
            if (r == 0) counter[m] = c;
            whole[m] = whole[m] && c == counter[m];
            if (top < 0 || static_cast<int16_t>(c - top) > 0) top = c;
        }
    }
    int newest = -1;
    if (whole[0] && (!whole[1] || static_cast<int16_t>(counter[0] - counter[1]) >= 0))
        newest = 0;
    else if (whole[1])
        newest = 1;
    *next = top < 0 ? 0 : static_cast<uint16_t>(top + 1);
    return newest;
}

// The element for a whole read or write of len bytes; null (after the log) when it is none.
nvramIntern* wholeElement(uint32_t id, uint32_t len, const char* who) {
    if (!init_done.load()) {
        SYSLOGX_GUARDED(LOG_ERR, "%s: request rejected init not done, id %d", who, static_cast<int>(id));
        return nullptr;
    }
    nvramIntern* e = lookup(id);
    if (!e || !e->image || len != e->desc->size * e->desc->count) {
        SYSLOGX_GUARDED(LOG_ERR, "%s: VYN id %d has no element of %u bytes", who, static_cast<int>(id),
                        static_cast<unsigned>(len));
        return nullptr;
    }
    return e;
}
} // namespace

int nvram_dbs_read_all(uint32_t id, void* dst, uint32_t len) {
    const nvramIntern* e = wholeElement(id, len, "nvram_dbs_read_all");
    if (!e) return -1;
    uint16_t next;
    const int m = wholeMirror(*e, &next);
    if (m < 0) return -1;
    if (!dst) return 0;
    const uint32_t size = e->desc->size;
    for (uint32_t r = 0; r < e->desc->count; ++r) {
        uint8_t* slot[2];
        nvram_get_mirror_ptrs(*e, r, &slot[0], &slot[1]);
        std::memcpy(static_cast<uint8_t*>(dst) + r * size, slot[m] + SLOT_HEADER, size);
    }
    return static_cast<int>(len);
}

int nvram_dbs_write_all(uint32_t id, const void* src, uint32_t len) {
    nvramIntern* e = wholeElement(id, len, "nvram_dbs_write_all");
    if (!e) return -1;
    if (!src) return 0;
    const HoldGuard hold;
    const uint32_t image = nvram_image_size(*e->desc), size = e->desc->size;
    std::unique_ptr<uint8_t[]> before(new (std::nothrow) uint8_t[image]);
    if (!before) return 0;
    std::memcpy(before.get(), e->image, image);
    uint16_t next;
    const int target = wholeMirror(*e, &next) == 0 ? 1 : 0;
    for (uint32_t r = 0; r < e->desc->count; ++r) {
        uint8_t* slot[2];
        nvram_get_mirror_ptrs(*e, r, &slot[0], &slot[1]);
        uint8_t* t = slot[target];
        std::memset(t + SLOT_HEADER, 0, nvram_slot_size(*e->desc) - SLOT_HEADER);
        std::memcpy(t + SLOT_HEADER, static_cast<const uint8_t*>(src) + r * size, size);
        sealSlot(t, size, next);
    }
    if (hold.held) return static_cast<int>(len);
    // The other mirror goes out as it is stored: a cut anywhere leaves it whole.
    if (kmgr_syscall(KCALL_NVRAM_PERSIST, reinterpret_cast<intptr_t>(e->image), image, e->offset) != 0) {
        std::memcpy(e->image, before.get(), image);
        return 0;
    }
    return static_cast<int>(len);
}

int nvram_dbs_repair_begin() {
    if (!init_done.load() || holding.load()) return 0;
    if (!holdLock) holdLock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!holdLock) return 0; // every write then stores itself
    for (const nvramIntern& e : nvramInterns) {
        if (!e.image) continue;
        for (uint32_t r = 0; r < e.desc->count; ++r) {
            uint8_t *a, *b;
            nvram_get_mirror_ptrs(e, r, &a, &b);
            if (slotValid(a, e.desc->size) || slotValid(b, e.desc->size)) return 0;
        }
    }
    holding = true;
    return 1;
}

int nvram_dbs_repair_end() {
    if (!holding.load()) return 1;
    if (semTake(holdLock, WAIT_FOREVER) != OK) return 0;
    // One persist call over both regions: what lies between them is loaded and written back as
    // it is.
    uint32_t lo = UINT32_MAX, hi = 0;
    for (const nvramIntern& e : nvramInterns)
        if (e.image) {
            lo = std::min(lo, e.offset);
            hi = std::max(hi, e.offset + nvram_image_size(*e.desc));
        }
    bool stored = lo >= hi;
    if (!stored) {
        std::unique_ptr<uint8_t[]> span(new (std::nothrow) uint8_t[hi - lo]);
        stored =
            span && kmgr_syscall(KCALL_NVRAM_LOAD, reinterpret_cast<intptr_t>(span.get()), hi - lo, lo) == 0;
        if (stored) {
            for (const nvramIntern& e : nvramInterns)
                if (e.image) std::memcpy(span.get() + (e.offset - lo), e.image, nvram_image_size(*e.desc));
            stored =
                kmgr_syscall(KCALL_NVRAM_PERSIST, reinterpret_cast<intptr_t>(span.get()), hi - lo, lo) == 0;
        }
        // Not stored: the records must read as they will after a restart.
        if (!stored)
            for (nvramIntern& e : nvramInterns)
                if (e.image) loadImage(e);
    }
    holding = false;
    semGive(holdLock);
    return stored ? 1 : 0;
}

void nvram_dbs_reset() {
    init_done = false;
    holding = false;
    releaseImages();
    onceReadIndex = false;
    onceWriteIndex = false;
    onceReadLength = false;
    onceWriteLength = false;
}
