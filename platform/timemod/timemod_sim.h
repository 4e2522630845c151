// The simulated TIME module: its register block, driven by the one simulated clock.
//
// Timestamp and time steady count 100 us from the moment the module leaves reset (control
// bit 2); the free-running counter counts 20 ns and never stops. Every GAP_PERIOD the sync
// line has a gap: a value written to the next-gap register becomes the timestamp there,
// and with the interrupt enabled a 4-byte message (the timestamp at the gap) goes through
// the manager's connection of interrupt 63. Until a test fixes it, the status follows the
// control register: full sync as master, or as slave while next-gap values keep arriving
// (one of the last three gaps); no signal otherwise; 0 in reset.
#pragma once

#include <cstdint>

namespace timemodsim {

constexpr uint32_t ID = 0x5453594E;
constexpr uint32_t DEFAULT_VERSION = 0x103002A7; // 1.03.00, build hash 0x2A7
constexpr uint32_t GAP_PERIOD = 10000;           // 100 us units: one gap per second
constexpr int INTERRUPT = 63;

// Puts the module at its address (in place of the board's plain window) in its power-on
// state: running, slave, interrupt disabled, default identity, status following control.
void install();

// Fixes the status register to `bits` (until the next install).
void setStatus(uint32_t bits);
void setErrorCounters(uint32_t word);
void setIdentity(uint32_t id, uint32_t version);

// Interrupt messages delivered, and those the connection did not take (no connection,
// no queue, queue full).
uint64_t interruptsDelivered();
uint64_t interruptsLost();

} // namespace timemodsim
