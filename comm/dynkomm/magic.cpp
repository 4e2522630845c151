// Magic-number tables: numbers that stay recognisably stale after their entry is reused.
#include "comm/dynkomm/dynkomm.h"

#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "services/sysrole/sysrole.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint8_t FREE = 0, IN_USE = 1, WAITING = 2;

// `next` links the entry into the queue of its state (free, or waiting in deletion order); index
// 0, which is never handed out, ends a queue.
struct Entry {
    uint8_t state, generation, boot;
    uint16_t next;
    uint32_t due; // waiting: the collection from which on it is free
};

struct Queue {
    uint16_t head, tail;
};

// Read once, when the first table is made.
std::atomic<int> bootByte{-1};

} // namespace

// Numbers come from the free entries first. Where none is left, the entry that has waited longest
// for its deletion delay is taken: a number that waits never makes the table refuse, and its
// generation moves on, so the stale number still names nothing. Each step is O(1).
struct MagicTable {
    uint32_t inUse, waiting, delay, count, collections;
    Queue free, waitingQueue;
    SEM_ID mutex;
    Entry* entries;
};

namespace {

bool lock(MagicTable* t, const char* what) {
    if (t->mutex && semTake(t->mutex, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_ERR, "%s(): Error acquiring semaphore %s", what, std::strerror(errno));
    return false;
}

void push(MagicTable* t, Queue& q, uint32_t index) {
    t->entries[index].next = 0;
    if (q.tail)
        t->entries[q.tail].next = static_cast<uint16_t>(index);
    else
        q.head = static_cast<uint16_t>(index);
    q.tail = static_cast<uint16_t>(index);
}

uint32_t pop(MagicTable* t, Queue& q) {
    const uint32_t index = q.head;
    if (!index) return 0;
    q.head = t->entries[index].next;
    if (!q.head) q.tail = 0;
    return index;
}

// Every entry but index 0 free, in index order.
void reset(MagicTable* t) {
    for (uint32_t i = 0; i < t->count; ++i)
        t->entries[i] = Entry{};
    t->free = t->waitingQueue = Queue{};
    for (uint32_t i = 1; i < t->count; ++i)
        push(t, t->free, i);
    t->inUse = t->waiting = t->collections = 0;
}

// The entry of a valid number, else none. Under the table's mutex.
Entry* valid(MagicTable* t, uint32_t magic) {
    const uint32_t index = magic & 0xFFFF;
    if (magic == 0 || index == 0 || index >= t->count) return nullptr;
    Entry* e = &t->entries[index];
    if (e->state != IN_USE || e->generation != ((magic >> 16) & 0xFF) || e->boot != (magic >> 24))
        return nullptr;
    return e;
}

// A number given back: its generation moves on at once, so that it names nothing from now on.
void release(MagicTable* t, Entry* e, bool delayed) {
    const auto index = static_cast<uint32_t>(e - t->entries);
    --t->inUse;
    ++e->generation;
    if (delayed) {
        e->state = WAITING;
        e->due = t->collections + (t->delay > 255 ? 255 : t->delay) + 1;
        ++t->waiting;
        push(t, t->waitingQueue, index);
    } else {
        e->state = FREE;
        push(t, t->free, index);
    }
}

} // namespace

MagicTable* magicNumber_createMem(uint32_t count, uint32_t delay) {
    if (count < 2 || count > 65536 || (count & (count - 1))) return nullptr;
    auto* t = new (std::nothrow) MagicTable{};
    if (!t) return nullptr;
    t->entries = new (std::nothrow) Entry[count]{};
    if (!t->entries) {
        delete t;
        return nullptr;
    }
    if (bootByte.load() < 0) bootByte = static_cast<int>(boot_count_get() & 0xFF);
    t->delay = delay;
    t->count = count;
    reset(t);
    t->mutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!t->mutex) syslogx(LOG_ERR, "magicNumber_createMem() semMCreate magic failed");
    return t;
}

void magicNumber_freeMem(MagicTable* t) {
    if (!t) return;
    if (t->mutex) semDelete(t->mutex);
    delete[] t->entries;
    delete t;
}

void magicNumber_clear(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_clear")) return;
    reset(t);
    semGive(t->mutex);
}

uint32_t magicNumber_getNewMagic(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_getNewMagic")) return 0;
    uint32_t index = pop(t, t->free);
    if (!index && (index = pop(t, t->waitingQueue)) != 0) --t->waiting;
    uint32_t magic = 0;
    if (index) {
        Entry& e = t->entries[index];
        e.state = IN_USE;
        e.boot = static_cast<uint8_t>(bootByte.load());
        magic = static_cast<uint32_t>(e.boot) << 24 | static_cast<uint32_t>(e.generation) << 16 | index;
        ++t->inUse;
    }
    semGive(t->mutex);
    return magic;
}

int32_t magicNumber_magic2index(MagicTable* t, uint32_t magic) {
    if (!t || !lock(t, "magicNumber_magic2index")) return -1;
    const int32_t index = valid(t, magic) ? static_cast<int32_t>(magic & 0xFFFF) : -1;
    semGive(t->mutex);
    return index;
}

int magicNumber_deleteMagic(MagicTable* t, uint32_t magic) {
    if (!t || magic == 0) return 0;
    if (!lock(t, "magicNumber_deleteMagic")) return -1;
    Entry* e = valid(t, magic);
    if (e) release(t, e, true);
    semGive(t->mutex);
    return e ? 1 : 0;
}

int magicNumber_deleteMagic_noTimeout(MagicTable* t, uint32_t magic) {
    if (!t || magic == 0) return 0;
    if (!lock(t, "magicNumber_deleteMagic_noTimeout")) return -1;
    Entry* e = valid(t, magic);
    if (e) release(t, e, false);
    semGive(t->mutex);
    return e ? 1 : 0;
}

// All waiting entries have the same delay: they come due in the order they wait in.
void magicNumber_garbageCollection(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_garbageCollection")) return;
    ++t->collections;
    while (t->waitingQueue.head &&
           static_cast<int32_t>(t->collections - t->entries[t->waitingQueue.head].due) >= 0) {
        const uint32_t index = pop(t, t->waitingQueue);
        t->entries[index].state = FREE;
        --t->waiting;
        push(t, t->free, index);
    }
    semGive(t->mutex);
}

MagicCounters magicNumber_counters(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_counters")) return {};
    const MagicCounters c{t->inUse, t->waiting, t->count};
    semGive(t->mutex);
    return c;
}
