// Stands in for the module until it is built: succeeds and does nothing.
#include "acquisition/vyndata/vyndata.h"

void vyn_data_1ms() {}
void vyn_data_10ms() {}
void vyn_data_100ms() {}
