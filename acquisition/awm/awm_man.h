// Channel-function manager: the channel functions of the calibration data page, their call
// lists and outputs.
#pragma once

#include <cstdint>

void awm_man_ini();
// No call list runs any more until the process restarts.
void awm_man_stop();
// Measurement of a channel-function output (vc_id): a nonzero measurement handle, with the
// output value's address in *valueAddr; null when there is no such output.
void* awm_man_AWM_setupMeasure(uint32_t vcId, uint16_t raster, void** valueAddr);
uint16_t awm_man_AWM_getLatency(void* handle);
int awm_man_AWM_shutdownMeasure(void* handle);
// A download into the volatile adapt page: stores the adjustment records it touched.
void awm_man_dwnl_adj_data(const void* data, const void* physAddr, uint16_t length);
// The call list of raster 0 to 9 for the slot stamped `ts` (soft scheduler).
void awm_sched_call(uint16_t raster, uint32_t ts);
// The 10 ms adjustment cycle (soft scheduler, after raster 3's measurement copy).
void awm_man_adjust();
// Set-up of the board input channels from the calibration: pull-ups of analog inputs 1 to
// 16, their range monitoring and wiring diagnostic (also after a wiring test).
void awm_man_hwt_ini();

// Characteristic curve: the value at x of the curve through (xs[i], ys[i]), i = 0 .. last,
// xs rising; linear between the points and extended along the first and last segment.
void awm_0x02_lookup(float* out, const float* ys, float x, const float* xs, int last);
// The indexes of the points bracketing x.
void awm_0x02_binarysearch(int* lower, int* upper, float x, const float* xs, int last);
