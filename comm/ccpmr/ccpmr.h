// CCP master: up to two control units read over CCP on CAN.
#pragma once

#include <cstdint>

void ccpmr_ini();
void ccpmr_10ms();
// Value slot of a master channel (slot number in bits 0 to 11), null when there is none.
void* ccpmr_GetAddr(uint32_t address);
