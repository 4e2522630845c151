#include "services/cipher/sha1.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using pyref::bytes;
using pyref::hex;

std::string sha1_hex(const void* data, size_t len) {
    uint8_t digest[SHA1_DIGEST_SIZE];
    SHA1(digest, data, len);
    return hex(digest, sizeof digest);
}

TEST(Sha1, Fips180Examples) {
    EXPECT_EQ(sha1_hex("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
    const char* two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(sha1_hex(two, std::strlen(two)), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex(nullptr, 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");

    // one million 'a', fed in uneven pieces
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    const std::string chunk(997, 'a');
    size_t left = 1000000;
    while (left) {
        const size_t n = std::min(left, chunk.size());
        SHA1Update(&ctx, chunk.data(), n);
        left -= n;
    }
    uint8_t digest[SHA1_DIGEST_SIZE];
    SHA1Final(digest, &ctx);
    EXPECT_EQ(hex(digest, sizeof digest), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    const bytes zero(sizeof ctx, 0);
    EXPECT_EQ(std::memcmp(&ctx, zero.data(), sizeof ctx), 0) << "context not wiped";
}

TEST(Sha1, RandomBuffersInPiecesMatchHashlib) {
    std::mt19937 rng(31);
    std::vector<size_t> lengths = {55, 56, 63, 64, 65, 119, 120, 128};
    for (int i = 0; i < 30; ++i)
        lengths.push_back(rng() % 8000);
    std::vector<std::vector<bytes>> cases;
    for (size_t len : lengths)
        cases.push_back({pyref::random_bytes(rng, len)});
    const auto ref = pyref::map("def f(d): return hashlib.sha1(d).hexdigest()", cases);

    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        SHA1_CTX ctx;
        SHA1Init(&ctx);
        for (size_t pos = 0; pos < d.size();) {
            const size_t piece = std::min<size_t>(rng() % 200, d.size() - pos);
            SHA1Update(&ctx, d.data() + pos, piece);
            pos += piece;
        }
        uint8_t digest[SHA1_DIGEST_SIZE];
        SHA1Final(digest, &ctx);
        EXPECT_EQ(hex(digest, sizeof digest), ref[i]) << "length " << d.size();
        EXPECT_EQ(sha1_hex(d.data(), d.size()), ref[i]);
    }
}

// Keys shorter than, equal to and longer than the 64-byte block, against Python's hmac.
TEST(HmacSha1, RandomKeysAndDataMatchPython) {
    std::mt19937 rng(8);
    std::vector<std::vector<bytes>> cases;
    for (size_t keyLen : {0, 1, 16, 20, 63, 64, 65, 100, 200})
        for (int j = 0; j < 3; ++j)
            cases.push_back({pyref::random_bytes(rng, keyLen), pyref::random_bytes(rng, rng() % 300)});
    const auto ref = pyref::map("def f(k, d): return hmac.new(k, d, 'sha1').hexdigest()", cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& key = cases[i][0];
        const bytes& data = cases[i][1];
        uint8_t mac[SHA1_DIGEST_SIZE];
        hmac_sha1(key.data(), key.size(), data.data(), data.size(), mac);
        EXPECT_EQ(hex(mac, sizeof mac), ref[i]) << "key length " << key.size();
    }
}

} // namespace
