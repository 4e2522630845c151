// Stands in for the module until it is built: succeeds and does nothing.
#include "acquisition/awm/awm_man.h"

void awm_man_ini() {}
void awm_man_stop() {}
// No channel function exists: every output measurement is refused.
void* awm_man_AWM_setupMeasure(uint32_t, uint16_t, void**) {
    return nullptr;
}
uint16_t awm_man_AWM_getLatency(void*) {
    return 0;
}
int awm_man_AWM_shutdownMeasure(void*) {
    return 0;
}
void awm_man_dwnl_adj_data(const void*, const void*, uint16_t) {}
