// Network time service: the measurement time, exported while this unit is time master and
// followed otherwise.
#pragma once

// enable: run the service; master: this unit may become time master.
void timeserv_init(int enable, int master);
void timeserv_MeasTime_ini();
// The 1 ms step of the measurement time (1 ms raster).
void timeserv_MeasTime_1ms();

#include "services/time/time_util.h"

#include <cstddef>
#include <cstdint>

// Handlers of the command group 0x06 (network time): 0x0600 distribute the time, 0x0602 new
// system time, 0x0603 a unit suggests its own time.
void timeserv_distributeTime_cmd(const uint8_t* message, size_t len);
void timeserv_newSystemTime_cmd(const uint8_t* message, size_t len);
void timeserv_suggestOwnTime_cmd(const uint8_t* message, size_t len);

// Sends the new calendar time to all units (command 0x0602).
void timeserv_newSystemTime(date_msd date);
