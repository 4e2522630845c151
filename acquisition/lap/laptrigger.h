// Lap trigger: lap and outing events of this unit and of the others.
#pragma once

#include <cstdint>

// Measurement time stamp of the last lap event.
uint32_t laptrigger_getLapTimeStamp();
