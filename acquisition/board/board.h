// Board drivers over the registers of platform/hw: GPIO, FPGA identity, XADC, SPI, PWM, speeds.
//
// The processor-system GPIO (digital inputs and outputs), the FPGA identification core, the chip
// monitor (XADC), the SPI core with the port expander of the analog pull-ups, the PWM output core
// and the rotational-speed core.
#pragma once

#include <cstdint>

// 1 when the GPIO controller answers; sets the digital inputs as inputs and drives the
// digital outputs (all low until written).
uint8_t gpio_ini();
// 1 when the identification core carries the expected identity in an accepted version.
uint8_t ecfv_init();

constexpr uint8_t DIN_POWER_GOOD = 2;
constexpr uint8_t DIN_MODEM_BUSY = 3;
constexpr uint8_t DIN_SUPPLY_12V = 4;
constexpr uint8_t DOUT_SENS_5V_1 = 8;
constexpr uint8_t DOUT_SENS_5V_2 = 9;
constexpr uint8_t DOUT_SENS_10V = 10;
constexpr uint8_t DOUT_SENS_12V = 11;

// Level 0 or 1 of digital input 0 to 8; other channels log and read 0.
uint8_t digital_ioIn(uint8_t channel);
// Drives digital output 0 to 11 low (0) or high (nonzero); other outputs log.
void digital_ioOut(uint8_t output, uint8_t level);

// Chip monitor words, as the XADC reports them.
uint32_t xadc_getChipTemp();
uint32_t xadc_getChipTemp_mn();
uint32_t xadc_getChipTemp_mx();
uint32_t xadc_getVccint();
uint32_t xadc_getVccint_mn();
uint32_t xadc_getVccint_mx();
uint32_t xadc_getVccpint();
uint32_t xadc_getVccpint_mn();
uint32_t xadc_getVccpint_mx();
uint32_t xadc_getVccaux();
uint32_t xadc_getVccaux_mn();
uint32_t xadc_getVccaux_mx();
uint32_t xadc_getVccpaux();
uint32_t xadc_getVccpaux_mn();
uint32_t xadc_getVccpaux_mx();
uint32_t xadc_getVccMem();

// Hardware-variant answers of this unit: which inputs and interfaces the board carries.
inline void pinConfig_init() {}
inline void pinConfig_getGpsDevice() {}
inline uint8_t pinConfig_getAnaEnabled() {
    return 1;
}
inline uint8_t pinConfig_getRevEnabled() {
    return 1;
}
inline uint8_t pinConfig_getLaptrigEnabled() {
    return 1;
}
inline uint8_t pinConfig_getCAN2Enabled() {
    return 1;
}
inline uint8_t pinConfig_getRS232GPSEnabled() {
    return 1;
}
inline uint8_t pinConfig_getRS232TeleEnabled() {
    return 1;
}
inline uint8_t pinConfig_getRS232Enabled() {
    return 1;
}
inline uint8_t pinConfig_getCANmaxIntf() {
    return 2;
}

// Lap-trigger input.
constexpr uint8_t DIN_LAPTRIGGER = 0;

// 1 when the AXI SPI core answers as master.
uint8_t spi_IOInit();
// 1 when the port expander answered and was configured (every pin an output, high).
uint8_t max7301_Init();
// Drives pin 0 to 27 of expander `device` (only 0 exists); 1 when the expander took it.
uint8_t max7301_Digital_Write(uint32_t device, uint8_t pin, uint8_t level);

// PWM outputs 0 to 7: 1 when the core is accepted (all outputs off); switched off at
// shutdown; overloads reported every 100 ms (error path PWM01 and up, current limit).
uint8_t pwmout_init();
// Duty in percent and frequency in Hz of one output; a frequency of 0 switches it off.
void PwmOut_Set(int channel, float duty, float frequency);
void pwmout_shutdown();
void pwmdiag_100ms();

// Rotational-speed core: 1 when accepted; each input's frequency in Hz (0.0 without signal);
// the input levels (bit n = input n) copied every 100 ms.
uint8_t RotationalSpeed_Init();
float RotationalSpeed_GetSpeed(uint8_t channel);
void rev_in_vyn_100ms();
uint8_t rev_in_levels();
