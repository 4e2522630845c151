// AES-128 (ECB, CTR), SHA-1, HMAC-SHA1 and PBKDF2 against the published vectors and against
// Python's hashlib, hmac and cryptography (OpenSSL) over random inputs.
#include "services/cipher/aes.h"
#include "services/cipher/pbkdf2.h"
#include "services/cipher/sha1.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

namespace {

using pyref::bytes;
using pyref::hex;
using pyref::random_bytes;
using pyref::unhex;

std::string sha1(const bytes& d, std::mt19937& rng, size_t maxPiece) {
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    for (size_t pos = 0, piece; pos < d.size(); pos += piece) // in random pieces
        SHA1Update(&ctx, d.data() + pos, piece = std::min<size_t>(rng() % maxPiece, d.size() - pos));
    uint8_t digest[SHA1_DIGEST_SIZE];
    SHA1Final(digest, &ctx);
    EXPECT_EQ(bytes(reinterpret_cast<uint8_t*>(&ctx), reinterpret_cast<uint8_t*>(&ctx + 1)),
              bytes(sizeof ctx, 0))
        << "context not wiped";
    return hex(digest, sizeof digest);
}

// The vectors of FIPS 197 (Appendix C.1, then B), then random keys and whole blocks against Python.
TEST(Aes, EcbMatchesFips197AndPython) {
    std::vector<std::vector<bytes>> cases = {
        {unhex("000102030405060708090a0b0c0d0e0f"), unhex("00112233445566778899aabbccddeeff")},
        {unhex("2b7e151628aed2a6abf7158809cf4f3c"), unhex("3243f6a8885a308d313198a2e0370734")}};
    std::mt19937 rng(2024);
    for (int i = 0; i < 8; ++i)
        cases.push_back({random_bytes(rng, 16), random_bytes(rng, 16 * (1 + rng() % 40))});
    auto want =
        pyref::map("from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes\n"
                   "def f(k, d): return Cipher(algorithms.AES(k), modes.ECB()).encryptor().update(d).hex()\n",
                   cases);
    want[0] = "69c4e0d86a7b0430d8cdb78070b4c55a", want[1] = "3925841d02dc09fbdc118597196a0b32";
    for (size_t i = 0; i < cases.size(); ++i) {
        AES_ctx ctx;
        AES_init_ctx(&ctx, cases[i][0].data());
        bytes data = cases[i][1];
        for (size_t off = 0; off < data.size(); off += 16)
            AES_ECB_encrypt(&ctx, data.data() + off);
        EXPECT_EQ(hex(data), want[i]) << hex(cases[i][0]);
    }
}

// Decryption undoes the FIPS 197 vectors (Appendix C.1, then B); the last round key of Appendix A.1.
TEST(Aes, Fips197DecryptionAndTheLastRoundKey) {
    AES_ctx ctx;
    for (auto [key, plain, cipher] :
         {std::tuple{"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
                     "69c4e0d86a7b0430d8cdb78070b4c55a"},
          {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
           "3925841d02dc09fbdc118597196a0b32"}}) {
        AES_init_ctx(&ctx, unhex(key).data());
        bytes block = unhex(cipher);
        AES_ECB_decrypt(&ctx, block.data());
        EXPECT_EQ(hex(block), plain);
    }
    EXPECT_EQ(hex(ctx.RoundKey + 160, 16), "d014f9a8c9ee2589e13f0cc8b6630ca6"); // w[40..43]
}

// Random keys and lengths with counters whose low bytes carry (up to a wrap of all 128 bits).
TEST(Aes, CtrMatchesPython) {
    std::mt19937 rng(2024);
    std::vector<std::vector<bytes>> cases;
    for (const char* iv : {"000102030405060708090a0b0c0d0efe", "0102030405060708ffffffffffffffff",
                           "ffffffffffffffffffffffffffffffff", "00000000000000000000000000000aff"})
        cases.push_back({random_bytes(rng, 16), unhex(iv), random_bytes(rng, 1 + rng() % 700)});
    const auto want = pyref::map(
        "from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes\n"
        "def f(k, iv, d): return Cipher(algorithms.AES(k), modes.CTR(iv)).encryptor().update(d).hex()\n",
        cases);
    auto ctr = [](const bytes& key, const bytes& iv, bytes data) {
        AES_ctx ctx;
        AES_init_ctx_iv(&ctx, key.data(), iv.data());
        AES_CTR_xcrypt_buffer(&ctx, data.data(), data.size());
        return hex(data);
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(ctr(cases[i][0], cases[i][1], cases[i][2]), want[i]) << hex(cases[i][1]);
    // A call that ends inside a block drops the rest of it: the next one starts with the next counter
    // value, and the carry out of the last byte reaches the one before it. Empty calls change nothing.
    const bytes &key = cases.back()[0], &iv = cases.back()[1];
    const bytes stream = unhex(ctr(key, iv, bytes(64)));
    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, key.data(), iv.data());
    bytes piece(20, 0);
    AES_CTR_xcrypt_buffer(&ctx, piece.data(), piece.size());
    EXPECT_EQ(hex(ctx.Iv, 16), "00000000000000000000000000000b01");
    AES_CTR_xcrypt_buffer(&ctx, nullptr, 0);
    piece.resize(36);
    AES_CTR_xcrypt_buffer(&ctx, piece.data() + 20, 16);
    EXPECT_EQ(hex(piece), hex(stream).substr(0, 40) + hex(stream).substr(64, 32));
}

TEST(Sha1, LongFips180ExampleAndRandomBuffersInPiecesMatchHashlib) {
    std::mt19937 rng(31);
    EXPECT_EQ(sha1(bytes(1000000, 'a'), rng, 2000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"); // FIPS 180
    std::vector<std::vector<bytes>> cases;
    for (size_t len : {0, 55, 56, 63, 64, 65, 119, 120, 128})
        cases.push_back({random_bytes(rng, len)});
    for (int i = 0; i < 30; ++i)
        cases.push_back({random_bytes(rng, rng() % 8000)});
    for (size_t keyLen : {0, 1, 16, 20, 63, 64, 65, 100, 200}) // keys around the 64-byte block
        cases.push_back({random_bytes(rng, rng() % 300), random_bytes(rng, keyLen)});
    const auto want = pyref::map("def f(d, k=None): return (hmac.new(k, d, 'sha1') if k is not None else "
                                 "hashlib.sha1(d)).hexdigest()",
                                 cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const bytes& d = cases[i][0];
        uint8_t mac[SHA1_DIGEST_SIZE];
        if (cases[i].size() == 2) hmac_sha1(cases[i][1].data(), cases[i][1].size(), d.data(), d.size(), mac);
        EXPECT_EQ(cases[i].size() == 1 ? sha1(d, rng, 200) : hex(mac, sizeof mac), want[i]) << i;
    }
}

std::string derive(const bytes& password, const bytes& salt, uint32_t iterations, size_t len) {
    bytes out(len);
    const std::string pw(password.begin(), password.end());
    EXPECT_EQ(::pbkdf2(pw.c_str(), salt.data(), salt.size(), iterations, out.data(), out.size()), 0);
    return hex(out);
}

// RFC 6070 (the 2^24-iteration vector left out for time, the one with a NUL inside the password does
// not apply), salts beyond 16 bytes cut, then random printable passwords up to 80 bytes (keys beyond
// the block are hashed first), salts up to 16 bytes and lengths across blocks against hashlib.
TEST(Pbkdf2, Rfc6070VectorsSaltCutAndRandomInputsMatchHashlib) {
    const bytes pw{'p', 'a', 's', 's', 'w', 'o', 'r', 'd'}, salt{'s', 'a', 'l', 't'};
    EXPECT_EQ(derive(pw, salt, 4096, 20), "4b007901b765489abead49d926f721d065a429c1");
    std::mt19937 rng(4711);
    const bytes longSalt = random_bytes(rng, 36);
    EXPECT_EQ(derive(pw, longSalt, 100, 25),
              derive(pw, bytes(longSalt.begin(), longSalt.begin() + 16), 100, 25));
    std::vector<std::vector<bytes>> cases{
        {bytes(16, 'K'), {1, 2, 3, 4, 5, 6, 7, 8}, {0x03, 0xE8}, {34}}}; // the archive's
    for (int i = 0; i < 40; ++i) {
        bytes password(i < 5 ? static_cast<size_t>(60 + i) : rng() % 81), count{0, uint8_t(1 + rng() % 60)};
        for (auto& c : password)
            c = static_cast<uint8_t>(' ' + rng() % 95);
        cases.push_back({password, random_bytes(rng, rng() % 17), count, {uint8_t(1 + rng() % 70)}});
    }
    const auto want = pyref::map(
        "def f(p, s, c, n): return hashlib.pbkdf2_hmac('sha1', p, s, int.from_bytes(c, 'big'), n[0]).hex()",
        cases);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(derive(cases[i][0], cases[i][1], cases[i][2][0] << 8 | cases[i][2][1], cases[i][3][0]),
                  want[i])
            << i;
    // Invalid arguments fail without writing; an empty salt is valid.
    bytes out(20, 0xAA);
    EXPECT_EQ((std::vector{::pbkdf2(nullptr, salt.data(), 4, 1, out.data(), 20),
                           ::pbkdf2("pw", nullptr, 4, 1, out.data(), 20),
                           ::pbkdf2("pw", salt.data(), 4, 0, out.data(), 20),
                           ::pbkdf2("pw", salt.data(), 4, 1, nullptr, 20)}),
              std::vector(4, -1));
    EXPECT_EQ(out, bytes(20, 0xAA));
    EXPECT_EQ(::pbkdf2("pw", nullptr, 0, 1, out.data(), out.size()), 0);
}

} // namespace
