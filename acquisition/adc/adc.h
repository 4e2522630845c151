// Analog-input core: 16 analog inputs and the board's own measurements, their pull-ups,
// diagnostics and range monitoring.
#pragma once

#include <cstdint>

// 1 when the core answers.
uint8_t adc_init();
// Volts of a channel's filtered result.
float adc_getVoltageTS(uint16_t channel);
// The newest unfiltered sample in millivolts.
float adc_get_adc_unfil_newest(uint16_t channel);
// Restarts the converter (after a power dip).
uint8_t adc_reInit();
uint8_t adc_pullup_init();
// Writes the pull-ups again.
uint8_t adc_pullup_reInit();
void ana_100ms();
void adc_rangemon_100ms();
void adc_diagnostic_100ms();
