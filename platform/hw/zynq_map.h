// Physical addresses of the unit's register blocks, and the simulated board that puts a
// device at each of them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zynq {

constexpr uintptr_t GPIO_BASE = 0xE000A000; // processor-system GPIO controller
constexpr size_t GPIO_SIZE = 0x1000;
constexpr uintptr_t FPGA_IDENT_BASE = 0x43C00000; // FPGA identification core
constexpr uintptr_t TIME_BASE = 0x43C10000;       // time-synchronisation (TIME) module
constexpr uintptr_t ADC_BASE = 0x43C20000;        // analog-input core
constexpr uintptr_t AXI_SPI_BASE = 0x41E00000;
constexpr uintptr_t PWM_OUT_BASE = 0x43C30000;
constexpr uintptr_t LED_ARRAY_BASE = 0x43C40000;
constexpr uintptr_t ROT_SPEED_BASE = 0x43C50000; // rotational-speed core
constexpr uintptr_t DISPLAY_LAYERS_BASE = 0x43C60000;
constexpr size_t CORE_SIZE = 0x1000; // each FPGA core's register block

// Display controller: one control register per layer (3 = on, 0 = off) and the colour
// saturation, as offsets into its block.
constexpr int DISPLAY_LAYERS = 5;
constexpr uintptr_t DISPLAY_LAYER_REG0 = 0x138; // layer n at DISPLAY_LAYER_REG0 + DISPLAY_LAYER_STEP * n
constexpr uintptr_t DISPLAY_LAYER_STEP = 0x80;
constexpr uint32_t DISPLAY_LAYER_ON = 3;
constexpr uintptr_t DISPLAY_COLSAT_REG = 0x1B0;

struct Block {
    const char* name;
    uintptr_t base;
    size_t size;
};

constexpr Block BOARD_BLOCKS[] = {
    {"gpio", GPIO_BASE, GPIO_SIZE},
    {"fpga_ident", FPGA_IDENT_BASE, CORE_SIZE},
    {"time", TIME_BASE, CORE_SIZE},
    {"adc", ADC_BASE, CORE_SIZE},
    {"axi_spi", AXI_SPI_BASE, CORE_SIZE},
    {"pwm_out", PWM_OUT_BASE, CORE_SIZE},
    {"led_array", LED_ARRAY_BASE, CORE_SIZE},
    {"rot_speed", ROT_SPEED_BASE, CORE_SIZE},
    {"display_layers", DISPLAY_LAYERS_BASE, CORE_SIZE},
};

} // namespace zynq

namespace hwsim {

// Puts a zero-filled register window at every block of the board (again after a removal).
void installBoard();
// Takes the board's device at `base` away; false when no board block starts there.
bool removeBoardDevice(uintptr_t base);

} // namespace hwsim
