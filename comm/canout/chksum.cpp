#include "comm/canout/canout.h"

namespace {

uint8_t crc_table_0x1D[256], crc_table_0x2F[256];

void table(uint8_t poly, uint8_t* t) {
    for (int v = 0; v < 256; ++v) {
        uint8_t c = static_cast<uint8_t>(v);
        for (int i = 0; i < 8; ++i)
            c = static_cast<uint8_t>(c & 0x80 ? (c << 1) ^ poly : c << 1);
        t[v] = c;
    }
}

} // namespace

void canOut_calcChksum_ini() {
    table(0x1D, crc_table_0x1D);
    table(0x2F, crc_table_0x2F);
}

int skip(uint32_t maskLow, uint32_t maskHigh, uint32_t index) {
    const uint32_t word = index < 32 ? maskLow : maskHigh;
    return !(word >> (index % 32) & 1);
}

uint8_t canOut_calcChksum(uint32_t type, uint32_t maskLow, uint32_t maskHigh, uint8_t length,
                          const uint8_t* frame) {
    const bool crc = type == 20 || type == 21;
    const uint8_t* t = type == 20 ? crc_table_0x1D : crc_table_0x2F;
    uint32_t c = crc ? 0xFF : 0;
    for (uint32_t i = 0; i < length && i < 64; ++i) {
        if (skip(maskLow, maskHigh, i)) continue;
        if (type == 1 || type == 2)
            c ^= frame[i];
        else if (type >= 10 && type <= 12)
            c += frame[i];
        else if (crc)
            c = t[(frame[i] ^ c) & 0xFF];
    }
    switch (type) {
    case 1:
    case 10:
        return static_cast<uint8_t>(c);
    case 2:
    case 11:
    case 20:
    case 21:
        return static_cast<uint8_t>(c ^ 0xFF);
    case 12:
        while (c & 0xFF00)
            c = (c & 0xFF) + (c >> 8);
        return static_cast<uint8_t>(c);
    default:
        return 0;
    }
}
