// Inside the analog-input module: the parts adc_reset starts afresh.
#pragma once

#include <cstdint>

void adc_resetDriver();
void adc_resetDiagnostic();
// Error type of a wiring from the mean millivolts with the pull-up on and off: 6 short to
// ground, 5 short to battery, 7 open line, 0 good.
int adc_diagnostic_classify(float on, float off);
