// The simulated hardware: register blocks by physical address and the board's devices behind them.
//
// Registers of the simulated hardware. The application maps a register block by its
// physical address; plain memory windows are read and written directly, registers with
// side effects (counters, clear-on-read bits) go through hw_read32/hw_write32.
#pragma once

#include <cstddef>
#include <cstdint>

// Address of the process's window onto a physical register block, or nullptr when no
// simulated device sits there.
volatile uint32_t* hw_map(uintptr_t physAddr, size_t size);
uint32_t hw_read32(uintptr_t physAddr);
void hw_write32(uintptr_t physAddr, uint32_t value);
