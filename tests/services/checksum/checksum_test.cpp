// CRCs and MD5 against the catalogue's check values and python3-crcmod, zlib and hashlib over
// random buffers.
#include "services/checksum/crc.h"
#include "services/checksum/crc_private.h"
#include "services/checksum/md5.h"
#include "support/pyref.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

namespace {

using pyref::bytes;

// Fed in random pieces of less than `maxPiece` bytes; the context is wiped at the end.
std::string md5(const bytes& d, std::mt19937& rng, size_t maxPiece) {
    md5_context ctx;
    md5_init(&ctx);
    for (size_t pos = 0, piece; pos < d.size(); pos += piece)
        md5_update(&ctx, d.data() + pos, piece = std::min<size_t>(rng() % maxPiece, d.size() - pos));
    uint8_t digest[16];
    md5_final(&ctx, digest);
    EXPECT_EQ(pyref::hex(reinterpret_cast<uint8_t*>(&ctx), sizeof ctx), std::string(2 * sizeof ctx, '0'));
    return pyref::hex(digest, 16);
}

TEST(Checksum, CatalogueValues) {
    const char* c = "123456789";
    EXPECT_EQ(
        (std::vector<unsigned>{crc16_ccitt(c, 9), crc16_ccitt_accu(c, 9, 0), crc16_ccitt_lsb_accu(c, 9, 0),
                               crc16_ibm_accu(c, 9, 0), crc32_bsd(c, 9), crc16_ccitt("abc", 3)}),
        (std::vector<unsigned>{0x29B1 /* IBM-3740 */, 0x31C3 /* XMODEM */, 0x2189 /* KERMIT */,
                               0xBB3D /* ARC */, 0x2DFD2D88u, 0x514A}));
    uint32_t running = 0xFFFFFFFF; // the common CRC-32 is this register, inverted at the end
    crc32_update(c, 9, &running);
    EXPECT_EQ(~running, 0xCBF43926u);
}

// Buffers around the padding boundaries and random ones (empty ones included) with start values:
// a start value is what continues a CRC over several buffers.
TEST(Checksum, RandomBuffersMatchCrcmodAndZlib) {
    std::mt19937 rng(12345);
    std::vector<std::vector<bytes>> cases;
    for (size_t len : {0, 1, 2, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 129})
        cases.push_back({pyref::random_bytes(rng, len), pyref::random_bytes(rng, 4)});
    for (int i = 0; i < 50; ++i)
        cases.push_back(
            {pyref::random_bytes(rng, rng() % 5000), i % 3 ? pyref::random_bytes(rng, 4) : bytes(4, 0)});
    const auto want = pyref::map(R"(
def f(data, start):
    s = int.from_bytes(start, 'little'); s16 = s & 0xFFFF
    c = lambda poly, init, rev: crcmod.mkCrcFun(poly, initCrc=init, rev=rev, xorOut=0)(data)
    out = [c(0x11021, s16, False), c(0x11021, s16, True), c(0x18005, s16, True), c(0x104C11DB7, s, True),
           ~zlib.crc32(data, ~s & 0xFFFFFFFF) & 0xFFFFFFFF, ~zlib.crc32(data, 0xFFFFFFFF) & 0xFFFFFFFF]
    return ' '.join('%08x' % v for v in out)
)",
                                 cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        uint32_t start, running;
        std::memcpy(&start, cases[i][1].data(), 4);
        const uint16_t s16 = static_cast<uint16_t>(start);
        crc32_update(d.data(), d.size(), &(running = start));
        char got[80];
        std::snprintf(got, sizeof got, "%08x %08x %08x %08x %08x %08x",
                      crc16_ccitt_accu(d.data(), d.size(), s16),
                      crc16_ccitt_lsb_accu(d.data(), d.size(), s16), crc16_ibm_accu(d.data(), d.size(), s16),
                      running, running, crc32_bsd(d.data(), d.size()));
        EXPECT_EQ(got, want[i]) << "case " << i << ", length " << d.size();
    }
}

// zlib's CRC-32 starts and ends inverted; the register here does neither.
uint32_t zlib_register(const uint8_t* p, size_t len, uint32_t start) {
    return ~static_cast<uint32_t>(crc32(~start & 0xFFFFFFFFu, p, static_cast<uInt>(len)));
}

// Each CRC-32 path on its own (the folded one where the processor has it): every length through
// a few folded blocks and the table tail, at every alignment, and large buffers.
TEST(Checksum, Crc32PathsMatchZlib) {
    std::mt19937 rng(777);
    const bytes data = pyref::random_bytes(rng, (1 << 20) + 3 + 16);
    using Path = uint32_t (*)(const void*, size_t, uint32_t);
    std::vector<std::pair<const char*, Path>> paths{{"table", crc32_table}};
#if defined(__x86_64__)
    EXPECT_TRUE(crc32_folded_available()) << "the folded path goes untested";
#endif
    if (crc32_folded_available()) paths.emplace_back("folded", crc32_folded);
    for (const auto& [name, path] : paths) {
        int failures = 0;
        for (size_t align = 0; align < 16; ++align)
            for (size_t len = 0; len <= 300 && failures < 5; ++len) {
                const uint32_t start = static_cast<uint32_t>(rng());
                const uint8_t* p = data.data() + align;
                const uint32_t want = zlib_register(p, len, start), got = path(p, len, start);
                if (got != want) ++failures;
                EXPECT_EQ(got, want) << name << ", length " << len << ", alignment " << align;
            }
        for (size_t align : {0, 5}) {
            const uint8_t* p = data.data() + align;
            const size_t len = (1 << 20) + 3;
            EXPECT_EQ(path(p, len, 0x12345678), zlib_register(p, len, 0x12345678)) << name << ", 1 MB";
        }
    }
}

// A CRC run through crc32_update in pieces of any size equals the one over the whole buffer.
TEST(Checksum, Crc32InPiecesEqualsWhole) {
    std::mt19937 rng(4242);
    const bytes data = pyref::random_bytes(rng, 20000);
    const uint32_t whole = zlib_register(data.data(), data.size(), 0);
    EXPECT_EQ(crc32_bsd(data.data(), data.size()), whole);
    for (size_t maxPiece : {1, 7, 64, 65, 200, 5000}) {
        uint32_t running;
        crc32_start(&running);
        for (size_t pos = 0, piece; pos < data.size(); pos += piece) {
            piece = std::min<size_t>(rng() % (maxPiece + 1), data.size() - pos);
            crc32_update(data.data() + pos, piece, &running);
        }
        EXPECT_EQ(running, whole) << "pieces up to " << maxPiece;
    }
}

TEST(Checksum, Md5WipeAndByteSwap) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "some data", 9);
    md5_invalidate(&ctx);
    EXPECT_EQ(pyref::hex(reinterpret_cast<uint8_t*>(&ctx), sizeof ctx), std::string(2 * sizeof ctx, '0'));
    uint32_t words[2];
    std::memcpy(words, "\x01\x02\x03\x04\xAA\xBB\xCC\xDD", 8);
    byteSwap(words, 2);
    EXPECT_EQ((std::vector{words[0], words[1]}), (std::vector{0x04030201u, 0xDDCCBBAAu}));
}

// Buffers around the padding boundaries and random ones, empty ones included, fed in pieces.
TEST(Checksum, Md5OfRandomBuffersMatchesHashlib) {
    std::mt19937 rng(12345);
    std::vector<std::vector<bytes>> cases;
    for (size_t len : {0, 1, 2, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 129})
        cases.push_back({pyref::random_bytes(rng, len)});
    for (int i = 0; i < 30; ++i)
        cases.push_back({pyref::random_bytes(rng, rng() % 3000)});
    const auto want = pyref::map("def f(data): return hashlib.md5(data).hexdigest()\n", cases);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(md5(cases[i][0], rng, 150), want[i]) << "case " << i << ", length " << cases[i][0].size();
}

} // namespace
