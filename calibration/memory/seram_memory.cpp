// The calibration memory block: every measurable byte of the unit has its offset here as
// virtual address. The page logic comes with the calibration memory module.
#include <cstdint>

alignas(64) unsigned char seram_memory[0x60000];
uint32_t seramActiveOffset;
