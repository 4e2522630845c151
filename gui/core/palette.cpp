#include "gui/core/palette.h"

#include <array>
#include <cstddef>

namespace {

constexpr std::array<uint8_t, 768> makePalette() {
    std::array<uint8_t, 768> p{};
    auto set = [&p](int i, int r, int g, int b) {
        p[static_cast<std::size_t>(3 * i)] = static_cast<uint8_t>(r);
        p[static_cast<std::size_t>(3 * i + 1)] = static_cast<uint8_t>(g);
        p[static_cast<std::size_t>(3 * i + 2)] = static_cast<uint8_t>(b);
    };
    // Bit 0 red, bit 1 green, bit 2 blue; dark at 191, bright at 255.
    for (int i = 1; i < 7; ++i)
        set(i, i & 1 ? 191 : 0, i & 2 ? 191 : 0, i & 4 ? 191 : 0);
    set(7, 192, 192, 192);
    set(8, 128, 128, 128);
    for (int i = 1; i < 7; ++i)
        set(8 + i, i & 1 ? 255 : 0, i & 2 ? 255 : 0, i & 4 ? 255 : 0);
    set(15, 255, 255, 255);
    for (int i = 0; i < 216; ++i)
        set(16 + i, (i % 6) * 51, (i / 6 % 6) * 51, (i / 36) * 51);
    for (int i = 0; i < 16; ++i)
        set(232 + i, i * 17, i * 17, i * 17);
    return p;
}

constexpr std::array<uint8_t, 768> kPalette = makePalette();

} // namespace

const uint8_t DefPalette256[768] = {
#define P(i) kPalette[i]
#define P8(i) P(i), P(i + 1), P(i + 2), P(i + 3), P(i + 4), P(i + 5), P(i + 6), P(i + 7)
#define P64(i) P8(i), P8(i + 8), P8(i + 16), P8(i + 24), P8(i + 32), P8(i + 40), P8(i + 48), P8(i + 56)
    P64(0),   P64(64),  P64(128), P64(192), P64(256), P64(320),
    P64(384), P64(448), P64(512), P64(576), P64(640), P64(704),
#undef P64
#undef P8
#undef P
};
