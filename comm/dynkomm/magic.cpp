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

struct Entry {
    uint8_t countdown, state, generation, boot;
};

// Read once, when the first table is made.
std::atomic<int> bootByte{-1};

} // namespace

struct MagicTable {
    uint32_t inUse, waiting, delay, mask, count, cursor;
    SEM_ID mutex;
    Entry* entries;
};

namespace {

bool lock(MagicTable* t, const char* what) {
    if (t->mutex && semTake(t->mutex, WAIT_FOREVER) == OK) return true;
    syslogx(LOG_ERR, "%s(): Error acquiring semaphore %s", what, std::strerror(errno));
    return false;
}

// The entry of a valid number, else none. Under the table's mutex.
Entry* valid(MagicTable* t, uint32_t magic) {
    const uint32_t index = magic & 0xFFFF;
    if (magic == 0 || index == 0 || index >= t->count) return nullptr;
    Entry* e = &t->entries[index];
    if (e->state != IN_USE || e->countdown != 0 || e->generation != ((magic >> 16) & 0xFF) ||
        e->boot != (magic >> 24))
        return nullptr;
    return e;
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
    t->mask = count - 1;
    t->count = count;
    t->cursor = 1;
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
    for (uint32_t i = 0; i < t->count; ++i)
        t->entries[i] = Entry{};
    t->inUse = t->waiting = 0;
    t->cursor = 1;
    semGive(t->mutex);
}

uint32_t magicNumber_getNewMagic(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_getNewMagic")) return 0;
    uint32_t magic = 0;
    if (t->inUse + t->waiting + 1 < t->count) {
        // At least two entries are free and index 0 is only one of them: this ends.
        while ((t->cursor & t->mask) == 0 || t->entries[t->cursor & t->mask].state != FREE)
            ++t->cursor;
        const auto boot = static_cast<uint8_t>(bootByte.load());
        const auto generation = static_cast<uint8_t>(t->cursor >> 16);
        t->entries[t->cursor & t->mask] = {0, IN_USE, generation, boot};
        magic = static_cast<uint32_t>(boot) << 24 | static_cast<uint32_t>(generation) << 16 |
                (t->cursor & t->mask);
        ++t->inUse;
        ++t->cursor;
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
    if (e) {
        e->state = WAITING;
        e->countdown = static_cast<uint8_t>(t->delay > 255 ? 255 : t->delay);
        --t->inUse;
        ++t->waiting;
    }
    semGive(t->mutex);
    return e ? 1 : 0;
}

int magicNumber_deleteMagic_noTimeout(MagicTable* t, uint32_t magic) {
    if (!t || magic == 0) return 0;
    if (!lock(t, "magicNumber_deleteMagic_noTimeout")) return -1;
    Entry* e = valid(t, magic);
    if (e) {
        e->state = FREE;
        --t->inUse;
    }
    semGive(t->mutex);
    return e ? 1 : 0;
}

void magicNumber_garbageCollection(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_garbageCollection")) return;
    uint32_t toSee = t->waiting;
    uint32_t index = t->cursor & t->mask;
    for (uint32_t n = 0; n < t->count && toSee > 0; ++n, index = (index - 1) & t->mask) {
        Entry& e = t->entries[index];
        if (e.state != WAITING) continue;
        --toSee;
        if (e.countdown == 0) {
            e.state = FREE;
            --t->waiting;
        } else {
            --e.countdown;
        }
    }
    semGive(t->mutex);
}

MagicCounters magicNumber_counters(MagicTable* t) {
    if (!t || !lock(t, "magicNumber_counters")) return {};
    const MagicCounters c{t->inUse, t->waiting, t->count};
    semGive(t->mutex);
    return c;
}
