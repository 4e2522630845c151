// Channel functions (AWM): those of the calibration data page, their call lists and outputs.
#pragma once

#include "calibration/memory/seram.h"
#include "calibration/meas/seram_meas.h"

#include <atomic>
#include <cstdint>

// Reads CfgMat_VC_config, creates the instances, builds the call lists, loads the adjustment
// records and sets up the board inputs.
void awm_man_ini();
// No call list runs any more until the process restarts.
void awm_man_stop();
// Nonzero once stopped (download, store, shutdown).
extern std::atomic<uint8_t> AWM_sched_STOP;
// Measurement of a channel-function output (vc_id): a nonzero measurement handle, with the
// output value's address in *valueAddr and its width in bytes in *valueSize; null when there is
// no such output.
void* awm_man_AWM_setupMeasure(uint32_t vcId, uint16_t raster, void** valueAddr,
                               uint32_t* valueSize = nullptr);
uint16_t awm_man_AWM_getLatency(void* handle);
int awm_man_AWM_shutdownMeasure(void* handle);
// A download into the volatile adapt page: stores the adjustment records it touched.
void awm_man_dwnl_adj_data(const void* data, const void* physAddr, uint16_t length);
// What the calibration memory reaches the manager by: the measurements of the outputs above,
// and a download's stop and adjustment records.
extern const seramMeasChannelSource awm_man_channelSource;
extern const seramDownloadHooks awm_man_downloadHooks;
// The call list of raster 0 to 9 for the slot stamped `ts` (soft scheduler).
void awm_sched_call(uint16_t raster, uint32_t ts);
// The channel-function scheduler's semaphore, for the model partition's steps: they run in the
// raster tasks and share the lap function's parameters, results and records with the call lists.
void awm_sched_lock();
void awm_sched_unlock();
// The 10 ms adjustment cycle (soft scheduler, after raster 3's measurement copy).
void awm_man_adjust();
// Starts an offset adjustment of the virtual channel when it has a dataset and none runs.
void awm_man_trigger_adjust(uint16_t index);
// Set-up of the board input channels from the calibration: pull-ups of analog inputs 1 to
// 16, and for the inputs a channel function reads their range monitoring and wiring
// diagnostic (also after a wiring test).
void awm_man_hwt_ini();

// Characteristic curve: bracketing breakpoints of x in the strictly increasing xs[0..last]
// (last limited to 15), and the curve value there, the outer segments extended linearly.
// Shared with other users of curves (display brightness).
void awm_0x02_binarysearch(uint16_t* lower, uint16_t* upper, float x, const float* xs, uint16_t lastIndex);
void awm_0x02_lookup(float* result, const float* ys, float x, const float* xs, uint16_t lastIndex);

// Tests: every instance, context and list freed, tables, adjustment states and the stop flag
// cleared, the hand-ins withdrawn.
void awm_man_reset();
