// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/bc2/bc2.h"

void BC2_init() {}
void BC2_stop() {}
