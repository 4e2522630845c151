// XCP master: up to eight control units read over XCP on CAN or UDP.
#pragma once

#include <cstdint>

void xcpmr_ini();
void xcpmr_10ms();
// Value slot of a master channel (slot number in bits 0 to 11), null when there is none.
void* xcpmr_GetAddr(uint32_t address);
