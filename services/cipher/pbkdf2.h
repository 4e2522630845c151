// PBKDF2 with HMAC-SHA1 (RFC 8018) for the keys of the channel archive.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t PBKDF2_MAX_SALT = 16;

// Derives outLen bytes from the zero-terminated password and the salt; only the first 16 salt bytes
// count. Returns 0, or -1 (output untouched) for a null password or output, a null salt with a nonzero
// length, or zero iterations.
int pbkdf2(const char* password, const uint8_t* salt, size_t saltLen, uint32_t iterations, uint8_t* out,
           size_t outLen);
