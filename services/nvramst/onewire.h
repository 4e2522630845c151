// The board's 8-byte 1-Wire ROM id, read through the kernel-side manager.
#pragma once

#include <cstdint>

constexpr unsigned OW_CALL_READ_ROMID = 2698;
constexpr int OW_ROMID_SIZE = 8;

int onewire_init();
// Fills `romId`; when the read fails it logs "Reading OWID failed" and gives eight zeros.
void ow_readRomID(uint8_t* romId);
