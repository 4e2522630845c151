// Command messages packed byte by byte, as the wire carries them: the 20-byte header (length,
// source, destination, the two context words, code), then big-endian fields.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace cimsg {

using Bytes = std::vector<uint8_t>;

inline Bytes message(uint16_t code, uint16_t src, uint16_t dst, uint32_t ctx1, uint32_t ctx2,
                     const Bytes& payload = {}) {
    Bytes m(20 + payload.size(), 0);
    const uint32_t words[] = {
        static_cast<uint32_t>(payload.size()), src, dst, ctx1 >> 16, ctx1, ctx2 >> 16, ctx2, code};
    for (size_t i = 0; i < 8; ++i) {
        m[2 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
        m[3 + 2 * i] = static_cast<uint8_t>(words[i]);
    }
    for (size_t i = 0; i < payload.size(); ++i)
        m[20 + i] = payload[i];
    return m;
}

// Big-endian fields: {value, width in bytes} in order.
inline Bytes fields(std::initializer_list<std::pair<uint32_t, int>> list) {
    Bytes b;
    for (auto [v, w] : list)
        for (int i = w - 1; i >= 0; --i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

inline uint32_t word(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 | b[at + 2] << 8 |
           b[at + 3];
}

} // namespace cimsg
