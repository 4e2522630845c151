// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/ccpmr/ccpmr.h"

void ccpmr_ini() {}
void ccpmr_10ms() {}
void* ccpmr_GetAddr(uint32_t) {
    return nullptr;
}
// Not a master list: the server copies it per raster.
int ccpmr_checkMeasList(const int32_t*, uint32_t, uint32_t*, int) {
    return 0;
}
MeasDetach ccpmr_measlist_create(void*, uint32_t) {
    return nullptr;
}
