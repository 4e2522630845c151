// XCP slave on UDP: calibration and measurement access for a PC tool.
//
// A tool connects to the unit's XCP port, reads and writes the calibration memory, switches and
// stores pages, runs dynamic DAQ lists on the 100, 10 and 1 ms events and reaches the diagnostic
// services.
#pragma once

#include <cstdint>

// The modules above the slave that a store request and the diagnostic services reach; the
// start-up hands them in before xcpInitialize. Null members: nothing to call, counts 0.
struct xcpAppHooks {
    void (*stopChannelFunctions)();
    void (*lockRemoteInit)();        // of logging
    const uint32_t* maxFileCount[3]; // logging partition 1, partition 2, USB drive
};
void xcpSetAppHooks(const xcpAppHooks* hooks);

// 0 when the slave runs; anything else ends the start-up.
int xcpInitialize();
// Process shutdown: tells a connected tool, stops the DAQ lists and the transport's tasks.
void xcp_shutdown_now();
// Samples the DAQ lists of event channel `event` (0: 100 ms, 1: 10 ms, 2: 1 ms).
void xcpSendDAQ(int event);
// 10 ms raster, after event 1 is sampled: the tick for every connection point's transport.
void xcp_10ms();

// 0 disconnected, 2 connected, 3 no such connection point.
uint32_t xcpConnectionGetState(uint32_t number);
// Set by every command of a connected tool, cleared after four seconds without one.
uint8_t xcpMasterPresent();
// With the switch on, those four seconds also disconnect the tool. The switch's address.
uint8_t* xcp_activate_xcp_comms_reset(int on);

// Tests: after xcp_shutdown_now, everything back to before xcpInitialize.
void xcp_reset();
