#include "services/cipher/sha1.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

namespace {

using pyref::bytes;
using pyref::hex;

// Fed in random pieces of less than `maxPiece` bytes; checks that the context is wiped and that the
// one-call form agrees.
std::string sha1_hex(const bytes& d, std::mt19937& rng, size_t maxPiece) {
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    for (size_t pos = 0; pos < d.size();) {
        const size_t piece = std::min<size_t>(rng() % maxPiece, d.size() - pos);
        SHA1Update(&ctx, d.data() + pos, piece);
        pos += piece;
    }
    uint8_t digest[SHA1_DIGEST_SIZE], once[SHA1_DIGEST_SIZE];
    SHA1Final(digest, &ctx);
    EXPECT_EQ(bytes(reinterpret_cast<uint8_t*>(&ctx), reinterpret_cast<uint8_t*>(&ctx + 1)),
              bytes(sizeof ctx, 0))
        << "context not wiped";
    SHA1(once, d.data(), d.size());
    EXPECT_EQ(hex(once, sizeof once), hex(digest, sizeof digest));
    return hex(digest, sizeof digest);
}

TEST(Sha1, Fips180Examples) {
    std::mt19937 rng;
    const std::pair<std::string, const char*> examples[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& [msg, digest] : examples)
        EXPECT_EQ(sha1_hex(bytes(msg.begin(), msg.end()), rng, 2000), digest) << msg.size();
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
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(sha1_hex(cases[i][0], rng, 200), ref[i]) << "length " << cases[i][0].size();
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
        const bytes &key = cases[i][0], &data = cases[i][1];
        uint8_t mac[SHA1_DIGEST_SIZE];
        hmac_sha1(key.data(), key.size(), data.data(), data.size(), mac);
        EXPECT_EQ(hex(mac, sizeof mac), ref[i]) << "key length " << key.size();
    }
}

} // namespace
