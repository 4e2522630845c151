// Inside the FIFO module: what adc_fifo_reset starts afresh.
#pragma once

void adc_rangemon_reset();
