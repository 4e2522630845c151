// Inside the GPS module.
#pragma once

#include "platform/os/os.h"

// Asks the task to end and waits for it.
void gps_endTask(const char* name);
void gps_trackdet_reset();
