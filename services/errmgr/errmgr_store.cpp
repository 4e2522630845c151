// The error memory in the non-volatile store: element 256 holds the 20 entries, element 257
// the EPK they belong to. A different calibration dataset starts an empty memory.
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"

#include "calibration/block/block.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"

#include <cstdio>
#include <cstring>

namespace errmgr {

namespace {

void identity(char out[ERROR_MGR_ID_SIZE]) {
    std::memset(out, 0, ERROR_MGR_ID_SIZE);
    // The EPK field is 32 bytes and need not be terminated.
    std::snprintf(out, ERROR_MGR_ID_SIZE, "%.*s", static_cast<int>(SERAM_EPK_SIZE), seramGetEPKPtr());
}

bool writeRecord(uint32_t index, const Entry& e) {
    uint8_t raw[ERROR_MGR_ENTRY_SIZE];
    encode(e, raw);
    return nvram_dbs_write(ERROR_MGR_NV_ENTRIES, index, raw, ERROR_MGR_ENTRY_SIZE) ==
           static_cast<int>(ERROR_MGR_ENTRY_SIZE);
}

// Keeps the records that read completely, in their order, without gaps and without a second
// entry for one path; moved records are written to their new place, so that the store holds
// the packed list.
bool loadEntries() {
    int kept = 0;
    for (uint32_t r = 0; r < ERROR_MGR_ENTRIES; ++r) {
        uint8_t raw[ERROR_MGR_ENTRY_SIZE];
        if (nvram_dbs_read(ERROR_MGR_NV_ENTRIES, r, raw, ERROR_MGR_ENTRY_SIZE) !=
            static_cast<int>(ERROR_MGR_ENTRY_SIZE)) {
            syslogx(LOG_WARN, "error_mgr_init: error memory %d was corrupt, skipping entry.",
                    static_cast<int>(r));
            continue;
        }
        const Entry e = decode(raw);
        if (e.path == ERROR_MGR_UNUSED) continue;
        bool doublet = false;
        for (int k = 0; k < kept; ++k)
            doublet = doublet || state.entries[k].path == e.path;
        if (doublet) {
            syslogx(LOG_WARN, "error_mgr_init: error memory %d was doublet, skipping entry.",
                    static_cast<int>(r));
            continue;
        }
        state.entries[kept] = e;
        if (static_cast<uint32_t>(kept) != r && !writeRecord(static_cast<uint32_t>(kept), e)) return false;
        ++kept;
    }
    const Entry unused = unusedEntry();
    uint8_t unusedRaw[ERROR_MGR_ENTRY_SIZE];
    encode(unused, unusedRaw);
    for (int r = kept; r < ERROR_MGR_ENTRIES; ++r) {
        state.entries[r] = unused;
        uint8_t raw[ERROR_MGR_ENTRY_SIZE];
        const bool isUnused =
            nvram_dbs_read(ERROR_MGR_NV_ENTRIES, static_cast<uint32_t>(r), raw, ERROR_MGR_ENTRY_SIZE) ==
                static_cast<int>(ERROR_MGR_ENTRY_SIZE) &&
            std::memcmp(raw, unusedRaw, sizeof raw) == 0;
        if (!isUnused && !writeRecord(static_cast<uint32_t>(r), unused)) return false;
    }
    return true;
}

bool resetMemory(const char id[ERROR_MGR_ID_SIZE]) {
    for (uint32_t r = 0; r < ERROR_MGR_ENTRIES; ++r)
        if (!writeRecord(r, unusedEntry())) return false;
    return nvram_dbs_write(ERROR_MGR_NV_ID, 0, id, ERROR_MGR_ID_SIZE) == static_cast<int>(ERROR_MGR_ID_SIZE);
}

} // namespace

uint8_t restoreLocked() {
    char id[ERROR_MGR_ID_SIZE];
    identity(id);
    for (Entry& e : state.entries)
        e = unusedEntry();
    state.count = 0;

    char stored[ERROR_MGR_ID_SIZE + 1] = {};
    const int got = nvram_dbs_read(ERROR_MGR_NV_ID, 0, stored, ERROR_MGR_ID_SIZE);
    bool ok;
    if (got == static_cast<int>(ERROR_MGR_ID_SIZE) && std::memcmp(stored, id, ERROR_MGR_ID_SIZE) == 0) {
        ok = loadEntries();
    } else {
        if (got != static_cast<int>(ERROR_MGR_ID_SIZE))
            syslogx(LOG_WARN, "error_mgr_init: nv error memory id is invalid, reset entries and set id.");
        else
            syslogx(LOG_WARN,
                    "error_mgr_init: nv error memory id is different. pst: [%s], nv: [%s], reset entries and "
                    "set id.",
                    id, stored);
        for (Entry& e : state.entries)
            e = unusedEntry();
        ok = resetMemory(id);
    }
    if (!ok) {
        for (Entry& e : state.entries)
            e = unusedEntry();
        return 0;
    }
    int n = 0;
    while (n < ERROR_MGR_ENTRIES && state.entries[n].path != ERROR_MGR_UNUSED)
        ++n;
    state.count = static_cast<uint16_t>(n);
    // After a restart every entry is history.
    for (int i = 0; i < n; ++i)
        state.entries[i].flags = static_cast<uint8_t>(state.entries[i].flags & ~ERROR_MGR_FLAG_ACTIVE);
    return 1;
}

} // namespace errmgr

using namespace errmgr;

uint8_t error_mgr_RestoreFromMedia() {
    SEM_ID store = storageLock();
    SEM_ID lock = entryLock();
    if (!store || !lock || semTake(store, WAIT_FOREVER) != OK) return 0;
    if (semTake(lock, WAIT_FOREVER) != OK) {
        semGive(store);
        return 0;
    }
    const uint8_t r = restoreLocked();
    semGive(lock);
    semGive(store);
    return r;
}

uint8_t error_mgr_WriteIntoMedia() {
    // The storage lock keeps the 1 s raster's write and the shutdown's write apart: the store
    // must not write one element from two tasks at once.
    SEM_ID store = storageLock();
    if (!store || semTake(store, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_WriteIntoMedia(): semTake error");
        return 0;
    }
    if (state.changes.load() == state.stored) {
        semGive(store);
        return 1;
    }
    SEM_ID lock = entryLock();
    if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
        semGive(store);
        SYSLOGX_GUARDED(LOG_ERR, "error_mgr_WriteIntoMedia(): semTake error");
        return 0;
    }
    Entry copy[ERROR_MGR_ENTRIES];
    std::memcpy(copy, state.entries, sizeof copy);
    const uint32_t noted = state.changes.load();
    semGive(lock);

    for (uint32_t r = 0; r < ERROR_MGR_ENTRIES; ++r) {
        uint8_t raw[ERROR_MGR_ENTRY_SIZE];
        encode(copy[r], raw);
        if (nvram_dbs_write_lowprio(ERROR_MGR_NV_ENTRIES, r, raw, ERROR_MGR_ENTRY_SIZE) !=
            static_cast<int>(ERROR_MGR_ENTRY_SIZE)) {
            SYSLOGX_GUARDED(LOG_ERR, "error_mgr_WriteIntoMedia(): nvwrite all error %d", static_cast<int>(r));
            semGive(store);
            return 0;
        }
    }
    state.stored = noted;
    semGive(store);
    return 1;
}
