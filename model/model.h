// The generated model partitions and their step functions.
#pragma once

#include <cstdint>

// 1 when the partitions were found and initialised.
uint8_t simulink_initialize();
// Runs the step `call` (0 or 1) of rate index `rate` (0 to 9, 16 the lap rate).
void callSimulinkFunc(int rate, int call);

// Tests: no partition found, their state forgotten.
void model_reset();
