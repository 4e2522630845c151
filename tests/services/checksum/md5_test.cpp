#include "services/checksum/md5.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using pyref::bytes;

std::string md5_hex(const void* data, size_t len) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, len);
    uint8_t digest[16];
    md5_final(&ctx, digest);
    return pyref::hex(digest, 16);
}

bool all_zero(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

TEST(Md5, Rfc1321TestSuite) {
    const struct {
        const char* msg;
        const char* digest;
    } suite[] = {
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
    for (const auto& t : suite)
        EXPECT_EQ(md5_hex(t.msg, std::strlen(t.msg)), t.digest) << '"' << t.msg << '"';
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

    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        md5_context ctx;
        md5_init(&ctx);
        for (size_t pos = 0; pos < d.size();) {
            const size_t piece = std::min<size_t>(rng() % 150, d.size() - pos);
            md5_update(&ctx, d.data() + pos, piece);
            pos += piece;
        }
        uint8_t digest[16];
        md5_final(&ctx, digest);
        EXPECT_EQ(pyref::hex(digest, 16), ref[i]) << "length " << d.size();
        EXPECT_TRUE(all_zero(&ctx, sizeof ctx)) << "context not wiped";
    }
}

TEST(Md5, InvalidateWipesAndByteSwapReadsLittleEndian) {
    md5_context ctx;
    md5_init(&ctx);
    md5_update(&ctx, "some data", 9);
    md5_invalidate(&ctx);
    EXPECT_TRUE(all_zero(&ctx, sizeof ctx));

    uint32_t words[2];
    const uint8_t raw[8] = {0x01, 0x02, 0x03, 0x04, 0xAA, 0xBB, 0xCC, 0xDD};
    std::memcpy(words, raw, 8);
    byteSwap(words, 2);
    EXPECT_EQ(words[0], 0x04030201u);
    EXPECT_EQ(words[1], 0xDDCCBBAAu);
}

} // namespace
