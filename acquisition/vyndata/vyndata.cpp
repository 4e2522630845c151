// Cyclic signal-page updates of the application channels: the lap-trigger input's level
// every millisecond (bit 0 of its byte, the rest of the byte kept). No application channel
// is due every 10 or 100 ms on this unit.
#include "acquisition/vyndata/vyndata.h"

#include "acquisition/board/board.h"
#include "vyn/vartable.h"

void vyn_data_1ms() {
    if (!pinConfig_getLaptrigEnabled()) return;
    const uint8_t byte = B_Laptriggerpin;
    B_Laptriggerpin = static_cast<uint8_t>((byte & ~1u) | digital_ioIn(DIN_LAPTRIGGER));
}

void vyn_data_10ms() {}
void vyn_data_100ms() {}
