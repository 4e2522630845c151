// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/xcpmr/xcpmr.h"

void xcpmr_ini() {}
void xcpmr_10ms() {}
void* xcpmr_GetAddr(uint32_t) {
    return nullptr;
}
// Not a master list: the server copies it per raster.
int xcpmr_checkMeasList(const int32_t*, uint32_t, uint32_t*, int) {
    return 0;
}
MeasDetach xcpmr_measlist_create(void*, uint32_t) {
    return nullptr;
}
