// Physical addresses of the unit's register blocks and the layout of their registers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zynq {

constexpr uintptr_t GPIO_BASE = 0xE000A000; // processor-system GPIO controller
constexpr size_t GPIO_SIZE = 0x1000;
constexpr uintptr_t FPGA_IDENT_BASE = 0x43C00000; // FPGA identification core
constexpr uintptr_t TIME_BASE = 0x43C10000;       // time-synchronisation (TIME) module
constexpr uintptr_t ADC_BASE = 0x40006000;        // analog-input core
constexpr uintptr_t AXI_SPI_BASE = 0x41E00000;
constexpr uintptr_t PWM_OUT_BASE = 0x43C30000;
constexpr uintptr_t LED_ARRAY_BASE = 0x43C40000;
constexpr uintptr_t ROT_SPEED_BASE = 0x43C50000; // rotational-speed core
constexpr uintptr_t XADC_BASE = 0x43C70000;      // chip monitor (AXI XADC)
constexpr size_t CORE_SIZE = 0x1000;             // each FPGA core's register block
// Display controller: layer n's control register at 0x40010138 + 0x80 * n (3 = on, 0 = off),
// the colour saturation at 0x400101B0; offsets into the block below.
constexpr uintptr_t DISPLAY_LAYERS_BASE = 0x40010000;

constexpr int DISPLAY_LAYERS = 5;
constexpr uintptr_t DISPLAY_LAYER_REG0 = 0x138; // layer n at DISPLAY_LAYER_REG0 + DISPLAY_LAYER_STEP * n
constexpr uintptr_t DISPLAY_LAYER_STEP = 0x80;
constexpr uint32_t DISPLAY_LAYER_ON = 3;
constexpr uintptr_t DISPLAY_COLSAT_REG = 0x1B0;

// Processor-system GPIO, per bank: masked writes of the low and high 16 outputs (bits 31-16
// a mask, 1 = keep), output data, pin levels, direction (1 = output) and output enable.
constexpr uintptr_t GPIO_MASK_DATA_LSW(int bank) {
    return 0x000 + 8 * static_cast<uintptr_t>(bank);
}
constexpr uintptr_t GPIO_DATA(int bank) {
    return 0x040 + 4 * static_cast<uintptr_t>(bank);
}
constexpr uintptr_t GPIO_DATA_RO(int bank) {
    return 0x060 + 4 * static_cast<uintptr_t>(bank);
}
constexpr uintptr_t GPIO_DIRM(int bank) {
    return 0x204 + 0x40 * static_cast<uintptr_t>(bank);
}
constexpr uintptr_t GPIO_OEN(int bank) {
    return 0x208 + 0x40 * static_cast<uintptr_t>(bank);
}
constexpr int GPIO_BANKS = 4;
// The unit's digital inputs 0 to 8 are pins 0 to 8 of EMIO bank 2, its digital outputs 0 to
// 11 pins 0 to 11 of EMIO bank 3.
constexpr int GPIO_DIN_BANK = 2;
constexpr int GPIO_DIN_COUNT = 9;
constexpr int GPIO_DOUT_BANK = 3;
constexpr int GPIO_DOUT_COUNT = 12;

// Analog-input core: identification, version, control (bit 0 converter enabled), then the
// filtered and the unfiltered result of channel c (signed 16-bit, 5 V = 4096) at + 4 * c.
constexpr uintptr_t ADC_REG_ID = 0x000;
constexpr uintptr_t ADC_REG_VERSION = 0x004;
constexpr uintptr_t ADC_REG_CONTROL = 0x008;
constexpr uintptr_t ADC_REG_FILTERED = 0x100;
constexpr uintptr_t ADC_REG_UNFILTERED = 0x200;
constexpr int ADC_CHANNELS = 32;
constexpr double ADC_VOLTS_PER_COUNT = 5.0 / 4096.0;

// AXI SPI core (the subset the board uses): soft reset (write 0xA), control (bit 1 enable,
// bit 2 master), status (bit 2 transmit empty), transmit and receive data, slave select
// (active low, bit n = slave n). A word written to the transmit register is one 16-bit
// transfer to the selected slave; its answer is in the receive register at once.
constexpr uintptr_t SPI_REG_RESET = 0x40;
constexpr uintptr_t SPI_REG_CONTROL = 0x60;
constexpr uintptr_t SPI_REG_STATUS = 0x64;
constexpr uintptr_t SPI_REG_TX = 0x68;
constexpr uintptr_t SPI_REG_RX = 0x6C;
constexpr uintptr_t SPI_REG_SELECT = 0x70;
constexpr uint32_t SPI_RESET_KEY = 0xA;
constexpr uint32_t SPI_CONTROL_ENABLE = 1u << 1;
constexpr uint32_t SPI_CONTROL_MASTER = 1u << 2;
constexpr uint32_t SPI_STATUS_TX_EMPTY = 1u << 2;
// MAX7301 port expander on slave 0: a transfer is bit 15 read, bits 14-8 register, bits 7-0
// data; a read answers with the register's value. Registers: configuration (bit 0 normal
// operation), port configuration of ports 4 to 31 (2 bits a port, 01 output), one register
// per port from 0x24 (port 4) to 0x3F (port 31). Pin n of the expander is port n + 4; the
// pull-up of analog input n sits on pin n, switched on by a low level.
constexpr uint32_t MAX7301_READ = 0x8000;
constexpr uint8_t MAX7301_REG_CONFIG = 0x04;
constexpr uint8_t MAX7301_REG_PORTCFG_FIRST = 0x09; // ports 4-7, to 0x0F: ports 28-31
constexpr uint8_t MAX7301_REG_PORTCFG_LAST = 0x0F;
constexpr uint8_t MAX7301_REG_PORT_FIRST = 0x24; // port 4 = pin 0
constexpr int MAX7301_PINS = 28;

// Rotational-speed core: identification, version, control (bit 0 enabled), the input levels
// (bit n = input n), and per input the period of its signal in microseconds (0: no signal).
constexpr uintptr_t REV_REG_ID = 0x000;
constexpr uintptr_t REV_REG_VERSION = 0x004;
constexpr uintptr_t REV_REG_CONTROL = 0x008;
constexpr uintptr_t REV_REG_LEVELS = 0x00C;
constexpr uintptr_t REV_REG_PERIOD = 0x100; // + 4 * input
constexpr int REV_CHANNELS = 4;

// PWM output core: identification, version, control (bit 0 enabled), fault bits (bit n:
// output n overloaded), and per output its period and high time in counts of the 100 MHz
// core clock (period 0: off).
constexpr uintptr_t PWM_REG_ID = 0x000;
constexpr uintptr_t PWM_REG_VERSION = 0x004;
constexpr uintptr_t PWM_REG_CONTROL = 0x008;
constexpr uintptr_t PWM_REG_FAULT = 0x00C;
constexpr uintptr_t PWM_REG_PERIOD = 0x100; // + 8 * output
constexpr uintptr_t PWM_REG_HIGH = 0x104;   // + 8 * output
constexpr int PWM_CHANNELS = 8;
constexpr double PWM_CLOCK_HZ = 100e6;

// LED array core: identification, version, control (bit 0: the LEDs are driven), and LED n (0
// to 9) of the module at position p (1 top, 2 left, 3 right of the display) as 0x00RRGGBB at
// LED_REG_RGB + 4 * (LED_PER_MODULE * (p - 1) + n).
constexpr uintptr_t LED_REG_ID = 0x000;
constexpr uintptr_t LED_REG_VERSION = 0x004;
constexpr uintptr_t LED_REG_CONTROL = 0x008;
constexpr uintptr_t LED_REG_RGB = 0x100;
constexpr int LED_MODULES = 3;
constexpr int LED_PER_MODULE = 10;

// FPGA identification core: identification and version word.
constexpr uintptr_t FPGA_IDENT_REG_ID = 0x000;
constexpr uintptr_t FPGA_IDENT_REG_VERSION = 0x004;

// Chip monitor: the status registers of the AXI XADC (16-bit codes in the low half-word).
struct XadcReg {
    const char* name;
    uintptr_t offset;
};
constexpr XadcReg XADC_REGS[] = {
    {"temp", 0x200},        {"temp_min", 0x290},    {"temp_max", 0x280},    {"vccint", 0x204},
    {"vccint_min", 0x294},  {"vccint_max", 0x284},  {"vccpint", 0x234},     {"vccpint_min", 0x2B0},
    {"vccpint_max", 0x2A0}, {"vccaux", 0x208},      {"vccaux_min", 0x298},  {"vccaux_max", 0x288},
    {"vccpaux", 0x238},     {"vccpaux_min", 0x2B4}, {"vccpaux_max", 0x2A4}, {"vccmem", 0x23C},
};

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
    {"xadc", XADC_BASE, CORE_SIZE},
};

constexpr bool blocksDisjoint() {
    for (const Block& a : BOARD_BLOCKS)
        for (const Block& b : BOARD_BLOCKS)
            if (&a != &b && a.base < b.base + b.size && b.base < a.base + a.size) return false;
    return true;
}
static_assert(blocksDisjoint(), "two register blocks of the map overlap");

} // namespace zynq
