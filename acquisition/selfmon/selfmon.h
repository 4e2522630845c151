// Unit self-monitoring: supply, currents, chip monitor, temperature and life time.
//
// Unit self-monitoring: supply voltage and a debounced power-good flag every millisecond,
// supply, USB and sensor-supply currents and voltages every 10 ms (switching the sensor
// supplies and the USB power as calibrated), the chip monitor every 100 ms, the unit
// temperature with its all-time maximum and the life time every second.
#pragma once

#include <cstdint>

constexpr int32_t POWER_ON_DELAY_MS = 80;    // good again on the 81st millisecond of good input
constexpr int32_t POWER_ADC_RESTART_AT = 10; // converter restart when this many remain
constexpr uint16_t UECU_DEFAULT_PIN = 16;

// Analog channels of the board's own measurements.
constexpr uint16_t ADC_CH_IECU = 17;
constexpr uint16_t ADC_CH_TECU = 18;
constexpr uint16_t ADC_CH_SENS_10V_I = 20;
constexpr uint16_t ADC_CH_SENS_5V_1_I = 21;
constexpr uint16_t ADC_CH_SENS_5V_2_I = 22;
constexpr uint16_t ADC_CH_SENS_10V_U = 23;
constexpr uint16_t ADC_CH_SENS_5V_1_U = 24;
constexpr uint16_t ADC_CH_SENS_5V_2_U = 25;
constexpr uint16_t ADC_CH_SENS_12V_U = 26;
constexpr uint16_t ADC_CH_IUSB = 27;

void power_vyn_1ms();
// 1 while the supply is good; 0 from the first millisecond of a drop until 81 ms after its
// return. 1 at start.
uint8_t power_getPwrGood();

void uecu_meas_1ms();
void uecu_override_pin(uint16_t channel);

void iecu_meas_10ms();
void iusb_meas_10ms();
void sensor_pwr_10ms();
// Conversions of a sensor-supply channel (below 16: the newest unfiltered sample).
uint8_t getSensorPwrI(uint16_t channel);      // current, 0 to 255
uint16_t getSensorPwrUpSeq(uint16_t channel); // millivolts of a supply behind the 5538.2 divider
uint16_t getSensorPwrU(uint16_t channel);     // millivolts of a supply behind the 5207.4 divider

void xadc_meas_100ms();
void tecu_meas_1s();
void ltecu_meas_1s();

// Brackets x in the ascending table xs[0..n]: both at an end when x lies outside, else
// hi = lo + 1.
void utils_binarysearch(uint16_t* lo, uint16_t* hi, float x, const float* xs, uint16_t n);
// Linear interpolation of ys over xs[0..n], extrapolated with the end segments. The result
// is also written to *out when out is not null.
float utils_lookup(float* out, const float* ys, float x, const float* xs, uint16_t n);

// Tests: power good, counters, first-call flags and applied USB values back to the start.
void selfmon_reset();
