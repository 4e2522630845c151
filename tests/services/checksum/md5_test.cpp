#include "services/checksum/md5.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using pyref::bytes;

bool wiped(const md5_context& ctx) {
    return bytes(reinterpret_cast<const uint8_t*>(&ctx), reinterpret_cast<const uint8_t*>(&ctx + 1)) ==
           bytes(sizeof ctx, 0);
}

// Fed in pieces of up to `maxPiece` bytes (0: in one piece).
std::string md5_hex(const bytes& d, std::mt19937& rng, size_t maxPiece = 0) {
    md5_context ctx;
    md5_init(&ctx);
    for (size_t pos = 0; pos < d.size();) {
        const size_t piece = maxPiece ? std::min<size_t>(rng() % maxPiece, d.size() - pos) : d.size();
        md5_update(&ctx, d.data() + pos, piece);
        pos += piece;
    }
    uint8_t digest[16];
    md5_final(&ctx, digest);
    EXPECT_TRUE(wiped(ctx)) << "context not wiped";
    return pyref::hex(digest, 16);
}

TEST(Md5, Rfc1321TestSuite) {
    std::mt19937 rng;
    const char* suite[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [msg, digest] : suite)
        EXPECT_EQ(md5_hex(bytes(msg, msg + std::strlen(msg)), rng), digest) << '"' << msg << '"';
}

// Lengths around the padding boundaries and random sizes, fed in random pieces, against hashlib.
TEST(Md5, RandomBuffersInPiecesMatchHashlib) {
    std::mt19937 rng(99);
    std::vector<size_t> lengths = {55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000};
    for (int i = 0; i < 30; ++i)
        lengths.push_back(rng() % 10000);
    std::vector<std::vector<bytes>> cases;
    for (size_t len : lengths)
        cases.push_back({pyref::random_bytes(rng, len)});
    const auto ref = pyref::map("def f(d): return hashlib.md5(d).hexdigest()", cases);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(md5_hex(cases[i][0], rng, 150), ref[i]) << "length " << cases[i][0].size();
}

TEST(Md5, InvalidateWipesAndByteSwapReadsLittleEndian) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "some data", 9);
    md5_invalidate(&ctx);
    EXPECT_TRUE(wiped(ctx));
    uint32_t words[2];
    std::memcpy(words, "\x01\x02\x03\x04\xAA\xBB\xCC\xDD", 8);
    byteSwap(words, 2);
    EXPECT_EQ(words[0], 0x04030201u);
    EXPECT_EQ(words[1], 0xDDCCBBAAu);
}

} // namespace
