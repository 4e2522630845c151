// CCP master: up to two control units read over CCP on CAN.
#pragma once

#include <cstdint>

void ccpmr_ini();
void ccpmr_10ms();
// Value slot of a master channel (slot number in bits 0 to 11), null when there is none.
void* ccpmr_GetAddr(uint32_t address);

// What detaches a server list from the master DAQ that drives it.
using MeasDetach = void (*)(void* list);
// 1 when the list words (host order, `length` bytes) name only channels of one DAQ of this
// master (its number in *daq); then the DAQ drives the list and the routine detaches it.
int ccpmr_checkMeasList(const int32_t* words, uint32_t length, uint32_t* daq, int mode);
MeasDetach ccpmr_measlist_create(void* list, uint32_t daq);
