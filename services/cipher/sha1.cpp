#include "services/cipher/sha1.h"

#include "services/bytes/bytes.h"

#include <cstring>

namespace {

constexpr uint32_t rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

void wipe(void* p, size_t n) {
    // volatile so the wipe of key-dependent state is not dropped as a dead store
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        v[i] = 0;
}

} // namespace

void SHA1Transform(uint32_t state[5], const uint8_t block[SHA1_BLOCK_SIZE]) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = bytes::get_be32(block + 4 * t);
    for (int t = 16; t < 80; ++t)
        w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5a827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8f1bbcdc;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6;
        }
        const uint32_t temp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    wipe(w, sizeof(w));
}

void SHA1Init(SHA1_CTX* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xc3d2e1f0;
    ctx->count[0] = 0;
    ctx->count[1] = 0;
}

void SHA1Update(SHA1_CTX* ctx, const void* data, size_t len) {
    if (len == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    const size_t used = (ctx->count[0] >> 3) & 63;
    // 64-bit bit count; lengths beyond 2^61 bytes wrap as the standard's length field does
    const uint64_t bits = (uint64_t(ctx->count[1]) << 32 | ctx->count[0]) + (uint64_t(len) << 3);
    ctx->count[0] = static_cast<uint32_t>(bits);
    ctx->count[1] = static_cast<uint32_t>(bits >> 32);

    size_t i = 0;
    if (used + len >= SHA1_BLOCK_SIZE) {
        i = SHA1_BLOCK_SIZE - used;
        std::memcpy(ctx->buffer + used, p, i);
        SHA1Transform(ctx->state, ctx->buffer);
        for (; i + SHA1_BLOCK_SIZE <= len; i += SHA1_BLOCK_SIZE)
            SHA1Transform(ctx->state, p + i);
        std::memcpy(ctx->buffer, p + i, len - i);
    } else {
        std::memcpy(ctx->buffer + used, p, len);
    }
}

void SHA1Final(uint8_t digest[SHA1_DIGEST_SIZE], SHA1_CTX* ctx) {
    uint8_t length[8];
    bytes::put_be32(length, ctx->count[1]);
    bytes::put_be32(length + 4, ctx->count[0]);
    static const uint8_t pad[SHA1_BLOCK_SIZE] = {0x80};
    const size_t used = (ctx->count[0] >> 3) & 63;
    SHA1Update(ctx, pad, used < 56 ? 56 - used : 120 - used);
    SHA1Update(ctx, length, 8);
    for (int i = 0; i < SHA1_DIGEST_SIZE / 4; ++i)
        bytes::put_be32(digest + 4 * i, ctx->state[i]);
    wipe(ctx, sizeof(*ctx));
}

void SHA1(uint8_t digest[SHA1_DIGEST_SIZE], const void* data, size_t len) {
    SHA1_CTX ctx;
    SHA1Init(&ctx);
    SHA1Update(&ctx, data, len);
    SHA1Final(digest, &ctx);
}

void hmac_sha1(const void* key, size_t keyLen, const void* data, size_t len,
               uint8_t digest[SHA1_DIGEST_SIZE]) {
    uint8_t k[SHA1_BLOCK_SIZE] = {};
    if (keyLen > SHA1_BLOCK_SIZE)
        SHA1(k, key, keyLen);
    else if (keyLen)
        std::memcpy(k, key, keyLen);

    uint8_t pad[SHA1_BLOCK_SIZE];
    SHA1_CTX ctx;
    for (int i = 0; i < SHA1_BLOCK_SIZE; ++i)
        pad[i] = k[i] ^ 0x36;
    SHA1Init(&ctx);
    SHA1Update(&ctx, pad, sizeof(pad));
    SHA1Update(&ctx, data, len);
    uint8_t inner[SHA1_DIGEST_SIZE];
    SHA1Final(inner, &ctx);

    for (int i = 0; i < SHA1_BLOCK_SIZE; ++i)
        pad[i] = k[i] ^ 0x5c;
    SHA1Init(&ctx);
    SHA1Update(&ctx, pad, sizeof(pad));
    SHA1Update(&ctx, inner, sizeof(inner));
    SHA1Final(digest, &ctx);
    wipe(k, sizeof(k));
    wipe(pad, sizeof(pad));
    wipe(inner, sizeof(inner));
}
