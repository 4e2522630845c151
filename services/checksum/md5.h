// MD5 message digest (RFC 1321) on a caller-owned context.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_context {
    uint32_t buf[4];   // state words A, B, C, D
    uint32_t bytes[2]; // bytes hashed so far: low, high
    uint32_t in[16];   // block buffer
};
static_assert(sizeof(md5_context) == 88);

void md5_init(md5_context* ctx);
void md5_update(md5_context* ctx, const void* data, size_t len);
// Writes the 16-byte digest and zeroes the context.
void md5_final(md5_context* ctx, uint8_t digest[16]);
void md5_invalidate(md5_context* ctx);

// Turns each group of four bytes b0..b3 in place into the native word b0 | b1 << 8 | b2 << 16 | b3 << 24
// (a no-op on little-endian processors; its own inverse).
void byteSwap(uint32_t* buf, unsigned words);
