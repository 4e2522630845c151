// Device-data store client: the board's identity and life data through the manager.
//
// Device-data store client: the board's identity and life data (MAC address, part and
// serial number, revision, life time, maximum temperatures, crash and brick counters),
// each item one call into the kernel-side manager.
//
// A getter fills the caller's buffer, which must hold the whole item, and returns the
// manager's result (0 on success; on failure the buffer is left as it was). Texts are 16
// bytes padded with NULs; a text of 16 characters has no NUL.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <cstdint>

// 1, or 0 when the manager refuses the interface ("compatibility check failed").
int nvramst_init();
// The store's state byte (1 = usable), 0 when the call fails.
uint8_t nvramst_iniOk();
int nvramst_enableWrites();
int nvramst_disableWrites();
void nvramst_shutdown();

int nvramst_get_mac(uint8_t* mac);
int nvramst_set_mac(const uint8_t* mac);
int nvramst_get_lifeTime(uint32_t* seconds);
int nvramst_set_lifeTime(const uint32_t* seconds);
int nvramst_get_maxTECU(float* celsius);
int nvramst_set_maxTECU(const float* celsius);
int nvramst_get_partNumber(char* text);
int nvramst_set_partNumber(const char* text);
int nvramst_get_serialNumber(char* text);
int nvramst_set_serialNumber(const char* text);
int nvramst_get_revisionID(uint32_t* id);
int nvramst_set_revisionID(const uint32_t* id);
int nvramst_get_revDates(uint8_t* dates);
int nvramst_set_revDates(const uint8_t* dates);
int nvramst_get_crashCounter(uint32_t* count);
int nvramst_set_crashCounter(const uint32_t* count);
// The counter, 0 when the call fails.
uint8_t nvramst_get_brickCounter();
int nvramst_set_brickCounter(uint8_t count);
int nvramst_get_maxTDisp(float* celsius);
int nvramst_set_maxTDisp(const float* celsius);
