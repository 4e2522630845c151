// Event service: a bounded lock-free queue between the error manager (which sends under its
// own mutex, from any task) and the raster "EventService", which delivers the events.
#include "logging/eventlog/eventlog.h"

#include "services/raster/raster.h"
#include "platform/os/os.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstring>

namespace {

static_assert((EVENTLOG_QUEUE_SIZE & (EVENTLOG_QUEUE_SIZE - 1)) == 0, "queue size is a power of two");
constexpr uint32_t MASK = EVENTLOG_QUEUE_SIZE - 1;

// A bounded multi-producer queue of sequenced cells. A cell's sequence number is kept minus
// its index, so that the zero-initialised array is the empty queue.
struct Cell {
    std::atomic<uint32_t> seq;
    EventLogEntry data;
};
Cell cells[EVENTLOG_QUEUE_SIZE];
std::atomic<uint32_t> enqueuePos{0};
std::atomic<uint32_t> dequeuePos{0};
std::atomic<uint32_t> droppedCount{0};

bool enqueue(const EventLogEntry& e) {
    uint32_t pos = enqueuePos.load(std::memory_order_relaxed);
    Cell* cell;
    for (;;) {
        cell = &cells[pos & MASK];
        const uint32_t seq = cell->seq.load(std::memory_order_acquire) + (pos & MASK);
        const int32_t dif = static_cast<int32_t>(seq - pos);
        if (dif == 0) {
            if (enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
        } else if (dif < 0) {
            return false; // full
        } else {
            pos = enqueuePos.load(std::memory_order_relaxed);
        }
    }
    cell->data = e;
    cell->seq.store(pos + 1 - (pos & MASK), std::memory_order_release);
    return true;
}

bool dequeue(EventLogEntry* out) {
    uint32_t pos = dequeuePos.load(std::memory_order_relaxed);
    Cell* cell;
    for (;;) {
        cell = &cells[pos & MASK];
        const uint32_t seq = cell->seq.load(std::memory_order_acquire) + (pos & MASK);
        const int32_t dif = static_cast<int32_t>(seq - (pos + 1));
        if (dif == 0) {
            if (dequeuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
        } else if (dif < 0) {
            return false; // empty
        } else {
            pos = dequeuePos.load(std::memory_order_relaxed);
        }
    }
    *out = cell->data;
    cell->seq.store(pos + MASK + 1 - (pos & MASK), std::memory_order_release);
    return true;
}

// Delivered events: written by the service raster, taken by their reader.
std::atomic<SEM_ID> deliveredMutex{nullptr};
EventLogEntry delivered[EVENTLOG_DELIVERED_SIZE];
int deliveredHead; // oldest
int deliveredCount;

SEM_ID deliveredLock() {
    SEM_ID m = deliveredMutex.load();
    if (m) return m;
    SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!made) return nullptr;
    if (!deliveredMutex.compare_exchange_strong(m, made)) {
        semDelete(made);
        return m;
    }
    return made;
}

// Written by the service raster only.
bool hooked;
uint32_t droppedReported;
bool overloadSet;

void copyText(char* dst, const char* src) {
    std::memset(dst, 0, EVENTLOG_TEXT_SIZE);
    if (src) std::strncpy(dst, src, EVENTLOG_TEXT_SIZE - 1);
}

} // namespace

void eventlogging_send(const uint8_t* record, const char* pathText, const char* typeText) {
    if (!record) return;
    EventLogEntry e;
    std::memcpy(e.record, record, EVENTLOG_RECORD_SIZE);
    copyText(e.pathText, pathText);
    copyText(e.typeText, typeText);
    if (!enqueue(e)) droppedCount.fetch_add(1);
}

void eventlogging_service_10ms() {
    SEM_ID lock = deliveredLock();
    EventLogEntry e;
    while (dequeue(&e)) {
        if (!lock || semTake(lock, WAIT_FOREVER) != OK) {
            SYSLOGX_GUARDED(LOG_ERR, "eventlogging_service_10ms(): semTake error");
            continue;
        }
        if (deliveredCount == EVENTLOG_DELIVERED_SIZE) { // the oldest gives way
            deliveredHead = (deliveredHead + 1) % EVENTLOG_DELIVERED_SIZE;
            --deliveredCount;
        }
        delivered[(deliveredHead + deliveredCount) % EVENTLOG_DELIVERED_SIZE] = e;
        ++deliveredCount;
        semGive(lock);
    }
    // An overload is reported here, outside the sender's locks; the error manager does not
    // forward its EVENTLOGGING path, so this cannot loop.
    const uint32_t dropped = droppedCount.load();
    if (dropped != droppedReported) {
        SYSLOGX_GUARDED(LOG_WARN, "EventService: %u event(s) discarded, queue full",
                        static_cast<unsigned>(dropped - droppedReported));
        droppedReported = dropped;
        error_mgr_set(ERROR_MGR_PATH_EVENTLOGGING, ERROR_MGR_ERR_TYPE_EVENTS_DISCARDED, 0);
        overloadSet = true;
    } else if (overloadSet) {
        error_mgr_clear(ERROR_MGR_PATH_EVENTLOGGING);
        overloadSet = false;
    }
}

int eventlogging_service_init() {
    if (hooked) return 1;
    if (!raster_hookFunction(
            "EventService", 67, 10, [](int) { eventlogging_service_10ms(); }, 4096, RASTER_ANY_CPU,
            RASTER_NO_LIMIT)) {
        syslogx(LOG_ERR, "eventlogging_service_init(): raster_hookFunction failed! (EventService)");
        return 0;
    }
    hooked = true;
    return 1;
}

void eventlogging_cmd(const uint8_t*) {
    // The event loggers belong to the measurements' file store, which this build does not
    // have: no logger exists to take the record.
}

void eventChannelsInit() {}
void eventChannels_10ms() {}

int eventlogging_takeDelivered(EventLogEntry* out, int max) {
    SEM_ID lock = deliveredLock();
    if (!out || max <= 0 || !lock || semTake(lock, WAIT_FOREVER) != OK) return 0;
    int n = 0;
    while (n < max && deliveredCount > 0) {
        out[n++] = delivered[deliveredHead];
        deliveredHead = (deliveredHead + 1) % EVENTLOG_DELIVERED_SIZE;
        --deliveredCount;
    }
    semGive(lock);
    return n;
}

uint32_t eventlogging_dropped() {
    return droppedCount.load();
}

void eventlogging_reset() {
    for (Cell& c : cells)
        c.seq.store(0);
    enqueuePos = 0;
    dequeuePos = 0;
    droppedCount = 0;
    if (SEM_ID m = deliveredMutex.exchange(nullptr)) semDelete(m);
    deliveredHead = 0;
    deliveredCount = 0;
    hooked = false;
    droppedReported = 0;
    overloadSet = false;
}
