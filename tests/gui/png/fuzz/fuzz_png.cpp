// Fuzz target: arbitrary bytes through the PNG decoder, as they are and with every chunk's CRC
// made right, so that mutations reach the chunk and image data checks behind the CRC.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gui/png/png_decode.h"

namespace {

void decode(const uint8_t* data, size_t size) {
    PngImage img;
    if (png_decode(data, size, &img) == PNG_OK) {
        // Touch every pixel: the image must be as large as it says.
        volatile uint32_t sum = 0;
        for (size_t i = 0; i < size_t{img.width} * img.height; ++i)
            sum = sum + img.pixels[i];
    }
    png_image_free(&img);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    decode(data, size);
    std::vector<uint8_t> fixed(data, data + size);
    for (size_t at = 8; at + 12 <= fixed.size();) {
        uint64_t len =
            (uint64_t{fixed[at]} << 24) | (fixed[at + 1] << 16) | (fixed[at + 2] << 8) | fixed[at + 3];
        if (len > fixed.size() - at - 12) break;
        uLong crc = crc32(0, fixed.data() + at + 4, static_cast<uInt>(len + 4));
        for (int i = 0; i < 4; ++i)
            fixed[at + 8 + len + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        at += 12 + len;
    }
    decode(fixed.data(), fixed.size());
    return 0;
}
