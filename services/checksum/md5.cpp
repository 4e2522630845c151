#include "services/checksum/md5.h"

#include "services/bytes/bytes.h"

#include <cstring>

namespace {

constexpr uint32_t rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

constexpr uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
constexpr uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
constexpr uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
constexpr uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

// T[i] = floor(2^32 * |sin(i + 1)|)
constexpr uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// One 64-byte block; x holds its sixteen words already in native order.
void md5_transform(uint32_t state[4], const uint32_t x[16]) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = F(b, c, d);
            k = i;
            break;
        case 1:
            f = G(b, c, d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = H(b, c, d);
            k = (3 * i + 5) % 16;
            break;
        default:
            f = I(b, c, d);
            k = (7 * i) % 16;
            break;
        }
        const uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + x[k] + T[i], S[round][i % 4]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void process_buffer(md5_context* ctx) {
    byteSwap(ctx->in, 16);
    md5_transform(ctx->buf, ctx->in);
}

} // namespace

void byteSwap(uint32_t* buf, unsigned words) {
    auto* p = reinterpret_cast<unsigned char*>(buf);
    for (unsigned i = 0; i < words; ++i, p += 4) {
        const uint32_t w = bytes::get_le32(p);
        std::memcpy(p, &w, 4);
    }
}

void md5_init(md5_context* ctx) {
    ctx->buf[0] = 0x67452301;
    ctx->buf[1] = 0xefcdab89;
    ctx->buf[2] = 0x98badcfe;
    ctx->buf[3] = 0x10325476;
    ctx->bytes[0] = 0;
    ctx->bytes[1] = 0;
}

void md5_update(md5_context* ctx, const void* data, size_t len) {
    if (len == 0) return;
    const auto* p = static_cast<const uint8_t*>(data);
    auto* block = reinterpret_cast<uint8_t*>(ctx->in);
    const uint32_t before = ctx->bytes[0];
    ctx->bytes[0] = before + static_cast<uint32_t>(len);
    if (ctx->bytes[0] < before) ctx->bytes[1]++;
    ctx->bytes[1] += static_cast<uint32_t>(static_cast<uint64_t>(len) >> 32);

    const size_t used = before & 63;
    if (used) {
        const size_t space = 64 - used;
        if (len < space) {
            std::memcpy(block + used, p, len);
            return;
        }
        std::memcpy(block + used, p, space);
        process_buffer(ctx);
        p += space;
        len -= space;
    }
    for (; len >= 64; p += 64, len -= 64) {
        std::memcpy(block, p, 64);
        process_buffer(ctx);
    }
    std::memcpy(block, p, len);
}

void md5_final(md5_context* ctx, uint8_t digest[16]) {
    auto* block = reinterpret_cast<uint8_t*>(ctx->in);
    const size_t used = ctx->bytes[0] & 63;
    block[used] = 0x80;
    if (used + 1 > 56) {
        std::memset(block + used + 1, 0, 64 - used - 1);
        process_buffer(ctx);
        std::memset(block, 0, 56);
    } else {
        std::memset(block + used + 1, 0, 56 - used - 1);
    }
    byteSwap(ctx->in, 14);
    // Message length in bits, low word first.
    ctx->in[14] = ctx->bytes[0] << 3;
    ctx->in[15] = ctx->bytes[1] << 3 | ctx->bytes[0] >> 29;
    md5_transform(ctx->buf, ctx->in);
    byteSwap(ctx->buf, 4);
    std::memcpy(digest, ctx->buf, 16);
    md5_invalidate(ctx);
}

void md5_invalidate(md5_context* ctx) {
    // volatile so the wipe of the state is not dropped as a dead store
    volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(ctx);
    for (size_t i = 0; i < sizeof(*ctx); ++i)
        p[i] = 0;
}
