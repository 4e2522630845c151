#include "services/time/time_util.h"
#include "services/time/calendar_private.h"

#include "platform/hw/hw.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstdio>

namespace {

constexpr uintptr_t GTIMER_LOW = 0xF8F00200;
constexpr uintptr_t GTIMER_HIGH = 0xF8F00204;
constexpr uint64_t NS_PER_COUNT = 3;

// Written once by start-up before any reader; the flag publishes it.
timespec applStart{};
std::atomic<bool> applStartTaken{false};

} // namespace

uint64_t timecpu_getHWticks() {
    // The halves are read separately: a carry between them shows as a changed high word.
    uint32_t high;
    uint32_t low;
    uint32_t again;
    do {
        high = hw_read32(GTIMER_HIGH);
        low = hw_read32(GTIMER_LOW);
        again = hw_read32(GTIMER_HIGH);
    } while (high != again);
    return (static_cast<uint64_t>(high) << 32) | low;
}

uint64_t time_get_time_ns_u64() {
    return timecpu_getHWticks() * NS_PER_COUNT;
}
uint64_t time_get_time_us() {
    return time_get_time_ns_u64() / 1000u;
}
uint64_t time_get_time_100us() {
    return time_get_time_ns_u64() / 100000u;
}
uint64_t time_get_time_ms() {
    return time_get_time_ns_u64() / 1000000u;
}

void timecpu_getTimeElapsed(timespec* out) {
    if (!out) return;
    uint64_t ns = time_get_time_ns_u64();
    out->tv_sec = static_cast<time_t>(ns / 1000000000u);
    out->tv_nsec = static_cast<long>(ns % 1000000000u);
}

uint64_t timeDT_Init(timeDT* stamp) {
    uint64_t now = timecpu_getHWticks();
    if (stamp) *stamp = now;
    return now;
}

uint64_t timeDT_GetElapsed_Ticks(timeDT* stamp, uint8_t update) {
    if (!stamp) return 0;
    uint64_t now = timecpu_getHWticks();
    uint64_t elapsed = now - *stamp;
    if (update == 1) *stamp = now;
    return elapsed;
}

uint64_t timeDT_GetElapsed_us(timeDT* stamp, uint8_t update) {
    return timeDT_GetElapsed_Ticks(stamp, update) * NS_PER_COUNT / 1000u;
}

uint64_t timeDT_GetElapsed_ms(timeDT* stamp, uint8_t update) {
    return timeDT_GetElapsed_Ticks(stamp, update) * NS_PER_COUNT / 1000000u;
}

void time_util_ini() {
    if (osClockGettime(CLOCK_MONOTONIC, &applStart) != 0)
        SYSLOGX_GUARDED(LOG_ERR, "time_util_ini: could not get application start time");
    applStartTaken.store(true, std::memory_order_release);
}

void clock_difftime(const timespec* a, const timespec* b, timespec* out) {
    if (!a || !b || !out) return;
    const timespec x = *a; // out may be one of the operands
    const timespec y = *b;
    *out = timespec{};
    const bool borrow = x.tv_nsec < y.tv_nsec;
    if (x.tv_sec < y.tv_sec || (x.tv_sec == y.tv_sec && borrow)) {
        std::printf("clock_difftime() calculated negative time \n");
        return;
    }
    out->tv_sec = x.tv_sec - y.tv_sec - (borrow ? 1 : 0);
    out->tv_nsec = x.tv_nsec - y.tv_nsec + (borrow ? 1000000000L : 0L);
}

void clock_appltime(timespec* out) {
    if (!out) return;
    timespec now{};
    if (osClockGettime(CLOCK_MONOTONIC, &now) != 0) {
        SYSLOGX_GUARDED(LOG_ERR, "clock_appltime: could not get time");
        *out = timespec{};
        return;
    }
    if (!applStartTaken.load(std::memory_order_acquire)) {
        SYSLOGX_GUARDED(LOG_ERR, "clock_appltime: start time not set");
        *out = timespec{};
        return;
    }
    clock_difftime(&now, &applStart, out);
}

int32_t raster2rate(int32_t rasterIndex) {
    static constexpr int32_t rates[] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 1, -1, 6000};
    if (rasterIndex < 0 || rasterIndex >= static_cast<int32_t>(sizeof rates / sizeof rates[0])) return -1;
    return rates[rasterIndex];
}

void time_util_reset() {
    applStartTaken.store(false, std::memory_order_release);
    applStart = timespec{};
    calendar_reset();
}
