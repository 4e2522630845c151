// Analog-input core: the converter's channels as volts, the pull-ups and the wiring diagnostic.
//
// Analog-input core: identity check, enable, the filtered and unfiltered result of channel 0
// to 31 as volts (held while the wiring diagnostic runs), the pull-ups of the 16 analog
// inputs through the port expander, and the wiring diagnostic of the inputs.
#pragma once

#include <cstdint>

uint32_t adc_getID();
uint32_t adc_getVersion();
// Sets (nonzero) or clears control bit 0, leaving the others.
void adc_enable(uint8_t on);
// Restarts the converter (after a power dip); 1.
uint8_t adc_reInit();
// 1 when the core is "Madc" in version 0x0001030D (then enabled), else 0 (left off).
uint8_t adc_init();
// Volts of a channel's filtered / unfiltered result; 0.0 from channel 32. While the supply
// is not good, or while held, the path's last value.
float adc_getVoltageTS(uint16_t channel);
float adc_getVoltageUnfilTS(uint16_t channel);
// The unfiltered result even while held (the diagnostic's own path).
float adc_getVoltageBypassUnfilTS(uint16_t channel);
void adc_setHold(uint8_t hold);
// What says whether the supply is good (self-monitoring, wired by the start-up; null: good).
void adc_setPowerGoodSource(uint8_t (*source)());

// Pull-up `channel` (0 to 15) of bank 1 or 2 on or off; bank 1 is expander device 0, bank 2
// device 1. The words keep the requested state whatever the expander did.
void adc_pullup_set(uint8_t bank, uint8_t channel, uint8_t on);
uint32_t adc_pullup_get(uint8_t bank);
// Writes bank 1's stored state to the expander again; 1.
uint8_t adc_pullup_reInit();
// All pull-ups off; 1.
uint8_t adc_pullup_init();
// ana01..ana16: the unfiltered volts of inputs 0 to 15 (100 ms raster).
void ana_100ms();

// Wiring diagnostic: entry `index` (0 to 33) tests `channel` of `type` (0x100 analog; 0x500,
// 0x600, 0xA00 are kept but not tested); `config`: bits 15-22 pull-up bank, 23-30 pull-up
// channel in the bank, 31 pull-up configured on. Channels of 16 and above are refused.
constexpr int ADC_DIAG_ENTRIES = 34;
void adc_diagnostic_ini(uint16_t index, uint16_t type, uint16_t channel, uint32_t config);
// Starts the test in "r_adcDiagTask" when ADC_DIAGNOSTIC goes from 0 to 1 (100 ms raster).
void adc_diagnostic_100ms();
void adc_diagnostic_task();
void adc_diagnostic_wait4PullUp(int ticks);
// What sets the pull-ups back to their configuration after a test (the channel functions'
// set-up, wired by the start-up; null: each tested input's configured pull-up).
void adc_diagnostic_setRestore(void (*restore)());

// Tests: hold, last values, pull-up words, power-good source and diagnostic table cleared.
void adc_reset();
