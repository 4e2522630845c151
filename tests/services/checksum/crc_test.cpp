#include "services/checksum/crc.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using pyref::bytes;

const char kCheck[] = "123456789";

TEST(Crc, CatalogueCheckValues) {
    EXPECT_EQ(crc16_ccitt(kCheck, 9), 0x29B1);             // CRC-16/IBM-3740
    EXPECT_EQ(crc16_ccitt_accu(kCheck, 9, 0), 0x31C3);     // CRC-16/XMODEM
    EXPECT_EQ(crc16_ccitt_lsb_accu(kCheck, 9, 0), 0x2189); // CRC-16/KERMIT
    EXPECT_EQ(crc16_ccitt_lsb_accu(kCheck, 9, 0xFFFF), 0x6F91);
    EXPECT_EQ(crc16_ibm_accu(kCheck, 9, 0), 0xBB3D); // CRC-16/ARC
    EXPECT_EQ(crc32_bsd(kCheck, 9), 0x2DFD2D88u);
    EXPECT_EQ(crc16_ccitt("abc", 3), 0x514A);
    EXPECT_EQ(crc32_bsd("abc", 3), 0xCA6598D0u);

    uint32_t running = 0xFFFFFFFF; // the common CRC-32 is this register, inverted at the end
    crc32_update(kCheck, 9, &running);
    EXPECT_EQ(~running, 0xCBF43926u);
}

TEST(Crc, EmptyBufferKeepsTheStartValue) {
    EXPECT_EQ(crc16_ccitt(nullptr, 0), 0xFFFF);
    EXPECT_EQ(crc16_ccitt_accu(nullptr, 0, 0x1234), 0x1234);
    EXPECT_EQ(crc16_ccitt_lsb_accu(nullptr, 0, 0xBEEF), 0xBEEF);
    EXPECT_EQ(crc16_ibm_accu(nullptr, 0, 0x0F0F), 0x0F0F);
    EXPECT_EQ(crc32_bsd(nullptr, 0), 0u);
    uint32_t running = 0xDEADBEEF;
    crc32_update(nullptr, 0, &running);
    EXPECT_EQ(running, 0xDEADBEEFu);
}

TEST(Crc, AccumulatingOverPiecesEqualsOneCall) {
    std::mt19937 rng(7);
    const bytes data = pyref::random_bytes(rng, 1000);
    for (size_t cut : {size_t(0), size_t(1), size_t(333), size_t(999), size_t(1000)}) {
        const uint8_t* p = data.data();
        const size_t rest = data.size() - cut;
        EXPECT_EQ(crc16_ccitt_accu(p + cut, rest, crc16_ccitt(p, cut)), crc16_ccitt(p, data.size()));
        EXPECT_EQ(crc16_ccitt_lsb_accu(p + cut, rest, crc16_ccitt_lsb_accu(p, cut, 0xFFFF)),
                  crc16_ccitt_lsb_accu(p, data.size(), 0xFFFF));
        EXPECT_EQ(crc16_ibm_accu(p + cut, rest, crc16_ibm_accu(p, cut, 0)),
                  crc16_ibm_accu(p, data.size(), 0));
        uint32_t running;
        crc32_start(&running);
        crc32_update(p, cut, &running);
        crc32_update(p + cut, rest, &running);
        EXPECT_EQ(running, crc32_bsd(p, data.size()));
    }
}

// Random buffers and start values against python3-crcmod (and zlib for CRC-32).
TEST(Crc, RandomBuffersMatchCrcmodAndZlib) {
    std::mt19937 rng(12345);
    std::vector<std::vector<bytes>> cases;
    for (int i = 0; i < 60; ++i) {
        const size_t len = i < 10 ? static_cast<size_t>(i) : rng() % 5000;
        const uint32_t start = i % 3 == 0 ? 0 : static_cast<uint32_t>(rng());
        cases.push_back({pyref::random_bytes(rng, len),
                         {uint8_t(start >> 24), uint8_t(start >> 16), uint8_t(start >> 8), uint8_t(start)}});
    }
    const auto ref = pyref::map(R"(
def f(data, start):
    s = int.from_bytes(start, 'big')
    s16 = s & 0xFFFF
    out = [crcmod.mkCrcFun(0x11021, initCrc=s16, rev=False, xorOut=0)(data),
           crcmod.mkCrcFun(0x11021, initCrc=s16, rev=True, xorOut=0)(data),
           crcmod.mkCrcFun(0x18005, initCrc=s16, rev=True, xorOut=0)(data),
           crcmod.mkCrcFun(0x104C11DB7, initCrc=s, rev=True, xorOut=0)(data),
           ~zlib.crc32(data, ~s & 0xFFFFFFFF) & 0xFFFFFFFF,
           ~zlib.crc32(data, 0xFFFFFFFF) & 0xFFFFFFFF]
    return ' '.join('%08x' % v for v in out)
)",
                                cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        const bytes& s = cases[i][1];
        const uint32_t start = uint32_t(s[0]) << 24 | uint32_t(s[1]) << 16 | uint32_t(s[2]) << 8 | s[3];
        const uint16_t s16 = static_cast<uint16_t>(start);
        uint32_t running = start;
        crc32_update(d.data(), d.size(), &running);
        char mine[80];
        std::snprintf(mine, sizeof mine, "%08x %08x %08x %08x %08x %08x",
                      crc16_ccitt_accu(d.data(), d.size(), s16),
                      crc16_ccitt_lsb_accu(d.data(), d.size(), s16), crc16_ibm_accu(d.data(), d.size(), s16),
                      running, running, crc32_bsd(d.data(), d.size()));
        EXPECT_EQ(mine, ref[i]) << "case " << i << ", length " << d.size();
    }
}

} // namespace
