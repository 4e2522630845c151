// Simulated devices behind hw_map/hw_read32/hw_write32 (platform side).
#pragma once

#include <cstdint>
#include <functional>

namespace hwsim {

using ReadFn = std::function<uint32_t(uintptr_t offset)>;
using WriteFn = std::function<void(uintptr_t offset, uint32_t value)>;

// A device occupying [base, base + size). Reads and writes of hw_read32/hw_write32 go to
// the functions; hw_map hands out `window` (may be null for devices without one).
void addDevice(uintptr_t base, size_t size, ReadFn read, WriteFn write, volatile uint32_t* window = nullptr);
// A plain memory window (register file) of `size` bytes, zero-filled; returns it.
volatile uint32_t* addMemory(uintptr_t base, size_t size);
void removeDevice(uintptr_t base);

} // namespace hwsim
