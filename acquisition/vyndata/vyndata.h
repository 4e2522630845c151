// Cyclic signal-page updates of the application channels.
#pragma once

void vyn_data_1ms();
void vyn_data_10ms();
void vyn_data_100ms();
