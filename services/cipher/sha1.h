// SHA-1 (FIPS 180-4) on a caller-owned context, and HMAC-SHA1 (RFC 2104).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SHA1_DIGEST_SIZE = 20;
constexpr int SHA1_BLOCK_SIZE = 64;

struct SHA1_CTX {
    uint32_t state[5];
    uint32_t count[2]; // message length in bits: low, high
    uint8_t buffer[SHA1_BLOCK_SIZE];
};
static_assert(sizeof(SHA1_CTX) == 92);

void SHA1Transform(uint32_t state[5], const uint8_t block[SHA1_BLOCK_SIZE]);
void SHA1Init(SHA1_CTX* ctx);
void SHA1Update(SHA1_CTX* ctx, const void* data, size_t len);
// Writes the digest (big-endian words) and zeroes the context.
void SHA1Final(uint8_t digest[SHA1_DIGEST_SIZE], SHA1_CTX* ctx);
void SHA1(uint8_t digest[SHA1_DIGEST_SIZE], const void* data, size_t len);

// Keys longer than one block are hashed first, as RFC 2104 requires.
void hmac_sha1(const void* key, size_t keyLen, const void* data, size_t len,
               uint8_t digest[SHA1_DIGEST_SIZE]);
