// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/ccpmr/ccpmr.h"

void ccpmr_ini() {}
void ccpmr_10ms() {}
void* ccpmr_GetAddr(uint32_t) {
    return nullptr;
}
