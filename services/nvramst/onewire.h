// The board's 8-byte 1-Wire ROM id, read through the kernel-side manager.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstdint>

int onewire_init();
// Fills `romId`; when the read fails it logs "Reading OWID failed" and gives eight zeros.
void ow_readRomID(uint8_t* romId);
