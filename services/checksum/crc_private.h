// The two ways crc32_update computes, each callable on its own so both can be checked on any
// machine that has them.
#pragma once

#include <cstddef>
#include <cstdint>

// Sixteen table lookups per sixteen bytes; runs everywhere.
uint32_t crc32_table(const void* buf, size_t len, uint32_t crc);
// Whether this processor can fold with carry-less multiplication.
bool crc32_folded_available();
// Folds 64 bytes at a time with carry-less multiplication, the tail through the tables. Call it
// only where crc32_folded_available().
uint32_t crc32_folded(const void* buf, size_t len, uint32_t crc);
