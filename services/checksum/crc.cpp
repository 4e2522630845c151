#include "services/checksum/crc.h"

#include <array>

namespace {

// Slicing by sixteen: table k gives the CRC of a byte followed by k zero bytes, so sixteen
// independent lookups fold sixteen input bytes at once. Table 0 is the standard 256-entry table.
constexpr size_t SLICES = 16;
template <typename T> using Tables = std::array<std::array<T, 256>, SLICES>;

constexpr Tables<uint16_t> msb_tables16(uint16_t poly) {
    Tables<uint16_t> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ poly : c << 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < SLICES; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>(t[0][t[k - 1][i] >> 8] ^ (t[k - 1][i] << 8));
    return t;
}

template <typename T> constexpr Tables<T> lsb_tables(T poly) {
    Tables<T> t{};
    for (unsigned i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int b = 0; b < 8; ++b)
            c = static_cast<T>((c & 1) ? (c >> 1) ^ poly : c >> 1);
        t[0][i] = c;
    }
    for (size_t k = 1; k < SLICES; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<T>(t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8));
    return t;
}

constexpr auto crc16_tables_1021 = msb_tables16(0x1021);
constexpr auto crc16_tables_8408 = lsb_tables<uint16_t>(0x8408);
constexpr auto crc16_tables_a001 = lsb_tables<uint16_t>(0xA001);
constexpr auto crc32_tables_edb88320 = lsb_tables<uint32_t>(0xEDB88320u);

// Sixteen bytes: those the register does not meet are folded first, off the critical path of
// the register, then the ones it does meet.
template <typename T> T reflected(const Tables<T>& t, const void* buf, size_t len, T crc) {
    const auto* p = static_cast<const uint8_t*>(buf);
    constexpr size_t W = sizeof(T);
    for (; len >= SLICES; len -= SLICES, p += SLICES) {
        T rest = 0;
#pragma GCC unroll 16
        for (size_t i = W; i < SLICES; ++i)
            rest = static_cast<T>(rest ^ t[SLICES - 1 - i][p[i]]);
        T mixed = 0;
#pragma GCC unroll 4
        for (size_t i = 0; i < W; ++i)
            mixed = static_cast<T>(mixed ^ t[SLICES - 1 - i][p[i] ^ ((crc >> (8 * i)) & 0xFF)]);
        crc = static_cast<T>(rest ^ mixed);
    }
    for (; len > 0; --len, ++p)
        crc = static_cast<T>(t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8));
    return crc;
}

} // namespace

uint16_t crc16_ccitt_accu(const void* buf, size_t len, uint16_t crc) {
    const auto& t = crc16_tables_1021;
    const auto* p = static_cast<const uint8_t*>(buf);
    // Most significant bit first: the register meets the first two bytes of each group.
    for (; len >= SLICES; len -= SLICES, p += SLICES) {
        uint16_t rest = 0;
#pragma GCC unroll 16
        for (size_t i = 2; i < SLICES; ++i)
            rest = static_cast<uint16_t>(rest ^ t[SLICES - 1 - i][p[i]]);
        crc = static_cast<uint16_t>(rest ^ t[SLICES - 1][p[0] ^ (crc >> 8)] ^
                                    t[SLICES - 2][p[1] ^ (crc & 0xFF)]);
    }
    for (; len > 0; --len, ++p)
        crc = static_cast<uint16_t>(t[0][((crc >> 8) ^ *p) & 0xFF] ^ (crc << 8));
    return crc;
}

uint16_t crc16_ccitt(const void* buf, size_t len) {
    return crc16_ccitt_accu(buf, len, 0xFFFF);
}

uint16_t crc16_ccitt_lsb_accu(const void* buf, size_t len, uint16_t start) {
    return reflected(crc16_tables_8408, buf, len, start);
}

uint16_t crc16_ibm_accu(const void* buf, size_t len, uint16_t start) {
    return reflected(crc16_tables_a001, buf, len, start);
}

void crc32_start(uint32_t* crc) {
    *crc = 0;
}

void crc32_update(const void* buf, size_t len, uint32_t* crc) {
    *crc = reflected(crc32_tables_edb88320, buf, len, *crc);
}

uint32_t crc32_bsd(const void* buf, size_t len) {
    uint32_t crc;
    crc32_start(&crc);
    crc32_update(buf, len, &crc);
    return crc;
}
