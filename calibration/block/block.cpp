// The block itself and the image it starts as: start marker, EPK and parameter defaults in
// the reference page.
#include "calibration/block/block.h"
#include "calibration/block/word.h"

#include "services/bytes/bytes.h"
#include "services/checksum/crc.h"
#include "vyn/vartable.h"

#include <cstring>

static_assert(sizeof(VYN_EPK_TEXT) <= SERAM_EPK_SIZE, "EPK text does not fit its field");

alignas(64) unsigned char seram_memory[SERAM_BLOCK_SIZE];
seramWord<uint32_t> seramActiveOffset;

void seramImageDefaults(uint8_t* page) {
    std::memcpy(page, SERAM_START_MARKER, sizeof SERAM_START_MARKER);
    std::memcpy(page + SERAM_EPK_OFFSET, VYN_EPK_TEXT, sizeof VYN_EPK_TEXT);
#define VT_DEFAULT(addr, ctype, ...)                                                                         \
    do {                                                                                                     \
        static const ctype v[] = {__VA_ARGS__};                                                              \
        std::memcpy(page + (addr), v, sizeof v);                                                             \
    } while (0);
#include "vyn/vartable_rows.inc"
#undef VT_DEFAULT
}

int seramBuildDefaultImage(uint8_t* out, uint32_t len) {
    if (!out || len != SERAM_IMAGE_SIZE) return -1;
    std::memset(out, 0, len);
    seramImageDefaults(out);
    const uint16_t crc = crc16_ibm_accu(out, SERAM_DATASET_SIZE, 0);
    bytes::put_le16(out + SERAM_DATASET_SIZE, crc);
    return 0;
}

namespace {
// The image is in place before any code of the process runs.
[[maybe_unused]] const bool imageReady = (seramImageDefaults(seram_memory), true);
} // namespace

// Before the offsets are filled (the EPK is forwarded early) the text is still where it lies.
const char* seramGetEPKPtr() {
    return reinterpret_cast<const char*>(seram_memory + SERAM_EPK_OFFSET);
}

void seram_word::copy(void* dst, const void* src, uint32_t size, bool store) {
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    while (size) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(store ? d : s);
        const uint32_t w = size >= 8 && at % 8 == 0   ? 8
                           : size >= 4 && at % 4 == 0 ? 4
                           : size >= 2 && at % 2 == 0 ? 2
                                                      : 1;
        if (w == 8)
            moveWord<u64>(d, s, store);
        else if (w == 4)
            moveWord<u32>(d, s, store);
        else if (w == 2)
            moveWord<u16>(d, s, store);
        else
            moveWord<u8>(d, s, store);
        d += w, s += w, size -= w;
    }
}
