#include "services/cipher/aes.h"

#include "support/pyref.h"

#include <gtest/gtest.h>

namespace {

using pyref::bytes;
using pyref::hex;
using pyref::unhex;

// openssl enc over `data` with the given cipher, key and options.
bytes openssl_enc(const std::string& cipher, const bytes& key, const std::string& extra, const bytes& data) {
    pyref::TempFile in(data);
    return pyref::run("openssl enc -" + cipher + " -K " + hex(key) + " " + extra + " -in " + in.path());
}

// Every 16-byte block of `data` through an ECB function.
bytes ecb(const AES_ctx& ctx, bytes data, void (*f)(const AES_ctx*, uint8_t*)) {
    for (size_t off = 0; off < data.size(); off += 16)
        f(&ctx, data.data() + off);
    return data;
}

TEST(Aes, Fips197Vectors) {
    const char* vectors[][3] = {
        // Appendix C.1, then B
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
    };
    AES_ctx ctx;
    for (const auto& [key, plain, cipher] : vectors) {
        AES_init_ctx(&ctx, unhex(key).data());
        EXPECT_EQ(hex(ecb(ctx, unhex(plain), AES_ECB_encrypt)), cipher);
        EXPECT_EQ(hex(ecb(ctx, unhex(cipher), AES_ECB_decrypt)), plain);
    }
    // Appendix A.1 (the key of B): the last round key, w[40..43]
    EXPECT_EQ(hex(ctx.RoundKey + 160, 16), "d014f9a8c9ee2589e13f0cc8b6630ca6");
}

// ECB over random keys and lengths; CTR in one call, with counters whose low bytes carry (up to a wrap
// of all 128 bits).
TEST(Aes, EcbAndCtrMatchOpenssl) {
    std::mt19937 rng(2024);
    for (int i = 0; i < 8; ++i) {
        const bytes key = pyref::random_bytes(rng, 16),
                    plain = pyref::random_bytes(rng, 16 * (1 + rng() % 40));
        AES_ctx ctx;
        AES_init_ctx(&ctx, key.data());
        const bytes enc = ecb(ctx, plain, AES_ECB_encrypt);
        EXPECT_EQ(hex(enc), hex(openssl_enc("aes-128-ecb", key, "-nopad", plain))) << "key " << hex(key);
        EXPECT_EQ(ecb(ctx, enc, AES_ECB_decrypt), plain);
    }
    for (const bytes& iv :
         {pyref::random_bytes(rng, 16), unhex("000102030405060708090a0b0c0d0efe"),
          unhex("0102030405060708ffffffffffffffff"), unhex("ffffffffffffffffffffffffffffffff")}) {
        const bytes key = pyref::random_bytes(rng, 16), plain = pyref::random_bytes(rng, 1 + rng() % 700);
        AES_ctx ctx;
        AES_init_ctx_iv(&ctx, key.data(), iv.data());
        bytes data = plain;
        AES_CTR_xcrypt_buffer(&ctx, data.data(), data.size());
        EXPECT_EQ(hex(data), hex(openssl_enc("aes-128-ctr", key, "-iv " + hex(iv), plain)))
            << "iv " << hex(iv);
        AES_ctx_set_iv(&ctx, iv.data());
        AES_CTR_xcrypt_buffer(&ctx, data.data(), data.size());
        EXPECT_EQ(data, plain);
    }
}

TEST(Aes, CtrAdvancesOneCounterPerStartedBlock) {
    std::mt19937 rng(5);
    const bytes key = pyref::random_bytes(rng, 16);
    const bytes iv = unhex("00000000000000000000000000000aff");
    const bytes stream = openssl_enc("aes-128-ctr", key, "-iv " + hex(iv), bytes(96, 0)); // keystream

    AES_ctx ctx;
    AES_init_ctx_iv(&ctx, key.data(), iv.data());
    // 20 bytes use two counter values; the carry out of the last byte reaches the one before it
    bytes piece(20, 0);
    AES_CTR_xcrypt_buffer(&ctx, piece.data(), piece.size());
    EXPECT_EQ(hex(ctx.Iv, 16), "00000000000000000000000000000b01");
    EXPECT_EQ(piece, bytes(stream.begin(), stream.begin() + 20));
    // the rest of the second block is dropped: the next call starts with the third counter value
    piece.assign(16, 0);
    AES_CTR_xcrypt_buffer(&ctx, piece.data(), piece.size());
    EXPECT_EQ(piece, bytes(stream.begin() + 32, stream.begin() + 48));

    // pieces that are multiples of 16 continue the stream seamlessly; an empty call leaves the counter alone
    AES_ctx_set_iv(&ctx, iv.data());
    bytes data(96, 0);
    AES_CTR_xcrypt_buffer(&ctx, data.data(), 32);
    AES_CTR_xcrypt_buffer(&ctx, nullptr, 0);
    AES_CTR_xcrypt_buffer(&ctx, data.data() + 32, 48);
    AES_CTR_xcrypt_buffer(&ctx, data.data() + 80, 16);
    EXPECT_EQ(data, stream);
}

} // namespace
