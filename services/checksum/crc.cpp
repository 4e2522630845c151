#include "services/checksum/crc.h"

#include <array>

namespace {

// Standard 256-entry tables, built at compile time so they are constant data.
constexpr std::array<uint16_t, 256> msb_table16(uint16_t poly) {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ poly : c << 1);
        t[i] = c;
    }
    return t;
}

template <typename T> constexpr std::array<T, 256> lsb_table(T poly) {
    std::array<T, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int b = 0; b < 8; ++b)
            c = static_cast<T>((c & 1) ? (c >> 1) ^ poly : c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr auto crc16_table_1021 = msb_table16(0x1021);
constexpr auto crc16_table_8408 = lsb_table<uint16_t>(0x8408);
constexpr auto crc16_table_a001 = lsb_table<uint16_t>(0xA001);
constexpr auto crc32_table_edb88320 = lsb_table<uint32_t>(0xEDB88320u);

template <typename T> T reflected(const std::array<T, 256>& table, const void* buf, size_t len, T crc) {
    const auto* p = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < len; ++i)
        crc = static_cast<T>(table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8));
    return crc;
}

} // namespace

uint16_t crc16_ccitt_accu(const void* buf, size_t len, uint16_t crc) {
    const auto* p = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < len; ++i)
        crc = static_cast<uint16_t>(crc16_table_1021[((crc >> 8) ^ p[i]) & 0xFF] ^ (crc << 8));
    return crc;
}

uint16_t crc16_ccitt(const void* buf, size_t len) {
    return crc16_ccitt_accu(buf, len, 0xFFFF);
}

uint16_t crc16_ccitt_lsb_accu(const void* buf, size_t len, uint16_t start) {
    return reflected(crc16_table_8408, buf, len, start);
}

uint16_t crc16_ibm_accu(const void* buf, size_t len, uint16_t start) {
    return reflected(crc16_table_a001, buf, len, start);
}

void crc32_start(uint32_t* crc) {
    *crc = 0;
}

void crc32_update(const void* buf, size_t len, uint32_t* crc) {
    *crc = reflected(crc32_table_edb88320, buf, len, *crc);
}

uint32_t crc32_bsd(const void* buf, size_t len) {
    uint32_t crc;
    crc32_start(&crc);
    crc32_update(buf, len, &crc);
    return crc;
}
