// CCP master: up to two control units read over CCP on CAN.
#pragma once

#include "comm/measman/meas_man.h"

#include <cstdint>

void ccpmr_ini();
void ccpmr_10ms();
// Value slot of a master channel (slot number in bits 0 to 11), null when there is none.
void* ccpmr_GetAddr(uint32_t address);

// 1 when the list words (`length` bytes; mode 1: host order, 0: big-endian as on the wire) name
// only channels of one DAQ of this master (its configuration index in *daq); then the DAQ drives
// the list and the routine detaches it.
int ccpmr_checkMeasList(const int32_t* words, uint32_t length, uint32_t* daq, int mode);
MeasDetach ccpmr_measlist_create(void* list, uint32_t daq);
// The two above, as the measurement server ties lists to this master's DAQs.
extern const MeasManMaster ccpmr_measMaster;
void ccpmr_measlist_destroy(void* list);

// Tests: ends the tasks and forgets every instance.
void ccpmr_reset();
