// State shared by the error manager's files, and the test access to it.
#pragma once

#include "platform/os/os.h"
#include "services/errmgr/errmgr.h"

#include <atomic>
#include <cstdint>

namespace errmgr {

// One entry; the same fields, little-endian, are the record of element 256.
struct Entry {
    uint16_t path;     // path code, ERROR_MGR_UNUSED for an unused entry
    uint16_t type;     // type code
    uint32_t time;     // last activation, seconds since 1970
    uint32_t stamp;    // measurement time stamp of the last forwarded activation
    uint16_t typeId;   // type id of the last forwarded activation
    uint16_t duration; // 100 ms cycles spent active, stops at 0xFFFF
    uint8_t count;     // activations, stops at 255
    uint8_t flags;     // ERROR_MGR_FLAG_*
    uint8_t pad[2];    // stored as held
};

Entry unusedEntry();
void encode(const Entry& e, uint8_t out[ERROR_MGR_ENTRY_SIZE]);
Entry decode(const uint8_t in[ERROR_MGR_ENTRY_SIZE]);

struct State {
    Entry entries[ERROR_MGR_ENTRIES];
    uint16_t count;                // entries in use (slots 0 to count - 1)
    std::atomic<uint8_t> lamp;     // some entry carries the lamp bit
    std::atomic<uint32_t> changes; // activations, deactivations, clear-all, duration ticks
    uint32_t stored;               // `changes` at the last complete write (under the storage lock)
    bool loaded;                   // the memory is loaded: reports apply at once
    // rotating displays of the 100 ms cycle
    int shownAll;
    int allCountdown;
    int shownActive;
    int activeCountdown;
    int startDelay; // 1 s cycles before the first write
};

extern State state;

// The entries' mutex and the storage lock, created on first use so that reports made before
// error_mgr_init are kept. Null when the OS refused.
SEM_ID entryLock();
SEM_ID storageLock();

uint32_t nowSeconds();

// Loads the memory; called with both locks held.
uint8_t restoreLocked();

} // namespace errmgr

// ---- tests ----------------------------------------------------------------------------------
// Forgets everything (entries, pending reports, displays, the power-good source and the event
// sink) and deletes the locks.
void error_mgr_reset();
// Reports made before error_mgr_init that did not fit the pending list.
uint32_t error_mgr_pendingLost();
