// Communication diagnostics of the device network: per-PID counters and pings.
#pragma once

void msdcom_dbg_10ms();
void msdcom_dbg();
