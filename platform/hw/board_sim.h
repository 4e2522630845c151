// The simulated board (platform side): a device at every block of the address map, and the
// inputs tests and tools set. Never included by application code.
#pragma once

#include "platform/hw/zynq_map.h"

namespace hwsim {

// Puts a zero-filled register window at every block of the board (again after a removal).
void installBoard();
// Takes the board's device at `base` away; false when no board block starts there.
bool removeBoardDevice(uintptr_t base);

// The board's surroundings, as tests and tools set them; installBoard restores the
// power-on state (supply, temperature and sensor supplies nominal, power-good and 12 V status
// high, the identity words of the cores this board carries). False for a channel or
// register the board does not have.
bool setAdcChannel(int channel, double volts); // filtered and unfiltered result
bool setDigitalIn(int channel, bool level);
// The level digital output `channel` drives; false while it is not driven (an input).
bool digitalOut(int channel);
bool setXadcWord(uintptr_t offset, uint32_t value);
bool setFpgaIdentity(uint32_t id, uint32_t version);
// Times the analog-input converter was switched on (control bit 0 from clear to set).
uint64_t adcStarts();

// What the board carries after installBoard.
constexpr uint32_t BOARD_FPGA_ID = 0x45434656;      // "ECFV"
constexpr uint32_t BOARD_FPGA_VERSION = 0x10100000; // 1.01.0
constexpr uint32_t BOARD_ADC_ID = 0x4D616463;       // "Madc"
constexpr uint32_t BOARD_ADC_VERSION = 0x0001030D;

} // namespace hwsim
