// Measurement server: serves this unit's channels to any client by address or name.
#pragma once

#include <cstdint>

void meas_man_ini();
void meas_man_10ms();
// Copies the lists requested at raster index `raster` with the time stamp `stamp` (100 us).
void meas_man_copy(int raster, uint32_t stamp);
