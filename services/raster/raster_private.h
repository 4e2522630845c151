// Test access to the raster scheduler's state.
#pragma once

#include "services/raster/raster.h"

// Ends the notify and raster tasks (delete request, then waits for them), deletes their
// semaphores, frees the delay list and clears the table, flags and statistics.
void raster_reset();

// Base ticks since the last release of a periodic slot, -1 for a free slot.
int32_t raster_getTickCounter(int slot);

// The delay list in order: callers' semaphores and their remaining ticks relative to the
// node before. Returns the number of nodes (at most max are copied).
int raster_getDelayList(SEM_ID* sems, int32_t* ticks, int max);
