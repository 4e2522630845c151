// Ciphers of the channel archive: AES-128 here, SHA-1 and HMAC in sha1.h, PBKDF2 in pbkdf2.h.
//
// AES-128 (FIPS 197) in ECB and counter mode on a caller-owned context; allocation-free.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int AES_BLOCKLEN = 16;
constexpr int AES_KEYLEN = 16;
constexpr int AES_keyExpSize = 176;

struct AES_ctx {
    uint8_t RoundKey[AES_keyExpSize]; // 11 round keys
    uint8_t Iv[AES_BLOCKLEN];         // counter block
};

void AES_init_ctx(AES_ctx* ctx, const uint8_t key[AES_KEYLEN]);
void AES_init_ctx_iv(AES_ctx* ctx, const uint8_t key[AES_KEYLEN], const uint8_t iv[AES_BLOCKLEN]);
void AES_ctx_set_iv(AES_ctx* ctx, const uint8_t iv[AES_BLOCKLEN]);

// One block, in place.
void AES_ECB_encrypt(const AES_ctx* ctx, uint8_t block[AES_BLOCKLEN]);
void AES_ECB_decrypt(const AES_ctx* ctx, uint8_t block[AES_BLOCKLEN]);

// Counter mode, in place (encryption and decryption are the same). Every call starts a new keystream
// block and the counter (a 128-bit big-endian number) advances once per started block, so the unused
// rest of a partial last block is dropped: split a stream only at multiples of 16 bytes.
void AES_CTR_xcrypt_buffer(AES_ctx* ctx, uint8_t* buf, size_t length);
