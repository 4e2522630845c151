// The byte-order helpers against byte sequences written out by hand.
#include "services/bytes/bytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Written at an odd offset between two guard bytes, which must stay as they were.
template <typename Put, typename V> Bytes written(Put put, V v, size_t size) {
    Bytes b(size + 3, 0xA5);
    put(b.data() + 1, v);
    EXPECT_EQ(b.front(), 0xA5);
    EXPECT_EQ(b[size + 1], 0xA5);
    EXPECT_EQ(b.back(), 0xA5);
    return Bytes(b.begin() + 1, b.begin() + 1 + static_cast<ptrdiff_t>(size));
}

TEST(Bytes, BigEndianPutsTheMostSignificantByteFirst) {
    EXPECT_EQ(written(bytes::put_be16, uint16_t{0xBEEF}, 2), (Bytes{0xBE, 0xEF}));
    EXPECT_EQ(written(bytes::put_be32, uint32_t{0x89ABCDEF}, 4), (Bytes{0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(written(bytes::put_be64, uint64_t{0xF102030405060708}, 8),
              (Bytes{0xF1, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}));
}

TEST(Bytes, LittleEndianPutsTheLeastSignificantByteFirst) {
    EXPECT_EQ(written(bytes::put_le16, uint16_t{0xBEEF}, 2), (Bytes{0xEF, 0xBE}));
    EXPECT_EQ(written(bytes::put_le32, uint32_t{0x89ABCDEF}, 4), (Bytes{0xEF, 0xCD, 0xAB, 0x89}));
    EXPECT_EQ(written(bytes::put_le64, uint64_t{0xF102030405060708}, 8),
              (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0xF1}));
}

// Bytes with the top bit set: a read that widened through a signed int would smear it.
TEST(Bytes, ReadsTakeTheSameBytesBackWithoutSignExtension) {
    const Bytes b{0x00, 0xFE, 0x80, 0x7F, 0x01, 0xC3, 0x96, 0x69, 0xFF};
    const uint8_t* p = b.data() + 1;
    EXPECT_EQ(bytes::get_be16(p), 0xFE80u);
    EXPECT_EQ(bytes::get_be32(p), 0xFE807F01u);
    EXPECT_EQ(bytes::get_be64(p), 0xFE807F01C39669FFull);
    EXPECT_EQ(bytes::get_le16(p), 0x80FEu);
    EXPECT_EQ(bytes::get_le32(p), 0x017F80FEu);
    EXPECT_EQ(bytes::get_le64(p), 0xFF6996C3017F80FEull);
}

} // namespace
