// ADC FIFO and soft scheduler: the 1 ms samples in rings, the channel functions' call lists
// of rasters 0 to 9 and each raster's measurement copy.
#pragma once

void adc_fifo_ini();
void adc_fifo_1ms();
void adc_filter_stop();
void start_softSched();
