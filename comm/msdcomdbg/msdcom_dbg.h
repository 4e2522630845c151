// Communication diagnostics of the device network: per-PID counters and pings.
#pragma once

#include <cstddef>
#include <cstdint>

// Every 10 ms: pings the peer MSDCOM_DBG_PING_PID with echo requests.
void msdcom_dbg_10ms();
// Every 100 ms: copies the transport's and the gateway's counters into the signals.
void msdcom_dbg();
// The echo's answer routine (payload: u32 send time, u16 slot, u16 loop; big-endian).
void pingCallBack(const uint8_t* payload, size_t len, uint16_t pid);

// Tests: the ping table back to its first call.
void msdcom_dbg_reset();
