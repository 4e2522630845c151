// XCP master: up to eight control units read over XCP on CAN or UDP.
#pragma once

#include "comm/measman/meas_man.h"

#include <cstdint>

void xcpmr_ini();
void xcpmr_10ms();
// Value slot of a master channel (slot number in bits 0 to 11), null when there is none.
void* xcpmr_GetAddr(uint32_t address);

// 1 when the list words (`length` bytes; mode 1: host order, 0: big-endian as on the wire) name
// only channels of one DAQ of this master (its configuration index in *daq); then the DAQ drives
// the list and the routine detaches it.
int xcpmr_checkMeasList(const int32_t* words, uint32_t length, uint32_t* daq, int mode);
MeasDetach xcpmr_measlist_create(void* list, uint32_t daq);
// The two above, as the measurement server ties lists to this master's DAQs.
extern const MeasManMaster xcpmr_measMaster;
void xcpmr_measlist_destroy(void* list);

// The last measured difference between this unit's clock and the slave's (100 us).
int32_t xcpmr_getWander(int instance);

// Tests: ends the tasks, closes the sockets and forgets every instance.
void xcpmr_reset();
