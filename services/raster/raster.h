// Raster scheduler: the base tick turned into the releases of periodic and event raster tasks.
//
// Raster scheduler: turns the 1 ms base tick "/BASETICK0" into the releases of up to 64
// raster tasks (periodic or event-triggered), watches their backlogs for the application
// watchdog, offers a tick-based delay list and stops the rasters at shutdown.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os/os.h"

constexpr int RASTER_MAX_TASKS = 64;
constexpr int RASTER_NAME_LEN = 64;
constexpr int RASTER_RUNTIME_POINTS = 8;
constexpr int32_t RASTER_NO_LIMIT = -1;
constexpr int RASTER_ANY_CPU = -1;

// Event ids of the lap rasters (released by raster_triggerTask).
constexpr int32_t RASTER_EVENT_LAP = -4;
constexpr int32_t RASTER_EVENT_LAP_SB_PER = -7;

// A raster body; called once per release with the raster's slot index.
using RasterBody = void (*)(int slot);

uint8_t raster_initializeStep0();
uint8_t raster_initializeStep1();
// periodOrEvent: > 0 period in base ticks, < 0 event id. cpu: RASTER_ANY_CPU or a processor
// number. watchdogLimit: RASTER_NO_LIMIT or the largest tolerated backlog (>= 1).
uint8_t raster_hookFunction(const char* name, int priority, int32_t periodOrEvent, RasterBody body,
                            size_t stackSize, int cpu, int32_t watchdogLimit);
int raster_triggerTask(int32_t eventId);
// measTime in units of 100 us: the periodic rasters are re-phased to it at the next tick.
void rasterTaskSyncTo100ms(uint32_t measTime);
// Blocks the caller until `ticks` base ticks have passed; sem is the caller's own
// (binary or counting, empty) semaphore. 1 after the wait, 0 at once.
int raster_taskDelay(SEM_ID sem, int32_t ticks);
void raster_shutdown();

// Run-time statistics.
void raster_setSemMaxValue(uint32_t slot, uint32_t pending);
void raster_setRuntime(uint32_t slot, uint32_t point);
void raster_clearTaskMax();
void raster_printStatus();

// Body of the "WATCHDOG" raster hooked by step 1.
void raster_watchdogTask(int slot);
