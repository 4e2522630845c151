// Network time service: the measurement time, exported while time master and followed otherwise.
#pragma once

#include "services/time/time_util.h"

#include <cstddef>
#include <cstdint>
#include <ctime>

// writeAccess: the service may set the clocks; master: this unit is the time master.
// 1, or 0 when the master's queue or task was not created.
int timeserv_init(int writeAccess, int master);
int timeserv_init_as_array(const int flags[2]);
void timeserv_MeasTime_ini();
// The 1 ms step of the measurement time (1 ms raster).
void timeserv_MeasTime_1ms();
// The measurement time in 100 us units.
uint32_t timeserv_getMeasTime();
// What else is re-phased to the measurement time with the rasters (the soft scheduler of the
// inputs, handed in by the start-up).
void timeserv_setSoftSchedSync(void (*sync)(uint32_t measTime));

// The command interface sits above this service: the start-up hands in how it sends a command
// message (header and payload, big-endian) and whether it is ready.
void timeserv_setCommandInterface(uint16_t (*send)(const uint8_t* message, int fromOutside), int (*ready)());

// Handlers of the command group 0x06 (network time): 0x0600 distribute the time, 0x0602 new
// system time, 0x0603 a unit suggests its own time.
void timeserv_distributeTime_cmd(const uint8_t* message, size_t len);
void timeserv_newSystemTime_cmd(const uint8_t* message, size_t len);
void timeserv_suggestOwnTime_cmd(const uint8_t* message, size_t len);

void timeserv_readSystemTime(date_msd* date);
// 1 when the real-time clock and system time (or at least the system time) were set.
int timeserv_setTime(date_msd date, uint32_t qualifier);
int timeserv_setOSTime(const timespec* ts);
// Sends 0x0602 with the date to all units.
void timeserv_newSystemTime(date_msd date);
// The flag that the master's identity is known; the outputs only when it is.
int timeserv_getMasterIds(uint32_t* id, uint32_t* bootCount);
// 0 and out = date - system time (zero when negative); -1 for a null argument or an invalid date.
int timeserv_getDiffTime(const date_msd* date, timespec* out);
void timeserv_sendTime(const timespec* now);
void timeserv_exportTime();
uint32_t timeserv_getQualifier();

// Writes the real-time clock and sets the system time (one manager call): nonzero on success.
int rtc_writeAndSetSystemTime(const date_msd* date);

// Tests: back to the state before timeserv_init (the master task, if any, stays).
void timeserv_reset();
