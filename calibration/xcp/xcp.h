// XCP slave on UDP: calibration and measurement access for a PC tool.
#pragma once

// 0 when the slave runs; anything else ends the start-up.
int xcpInitialize();
void xcp_shutdown_now();
// Samples the DAQ lists of event channel `event` (0: 100 ms, 1: 10 ms, 2: 1 ms).
void xcpSendDAQ(int event);
void xcp_100ms();
