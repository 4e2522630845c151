// Checksums: the catalogued CRCs here, MD5 in md5.h.
//
// Table-driven CRCs that guard stored and transmitted data, each a catalogued CRC.
// The _accu forms continue a CRC over several buffers: pass the previous result as start value.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16, polynomial 0x1021, MSB first, no final XOR.
uint16_t crc16_ccitt_accu(const void* buf, size_t len, uint16_t start);
// CRC-16/CCITT-FALSE (CRC-16/IBM-3740): crc16_ccitt_accu from 0xFFFF.
uint16_t crc16_ccitt(const void* buf, size_t len);
// CRC-16, reflected polynomial 0x8408, LSB first, no final XOR (start 0: CRC-16/KERMIT).
uint16_t crc16_ccitt_lsb_accu(const void* buf, size_t len, uint16_t start);
// CRC-16, reflected polynomial 0xA001, no final XOR (start 0: CRC-16/ARC).
uint16_t crc16_ibm_accu(const void* buf, size_t len, uint16_t start);

// CRC-32 register, reflected polynomial 0xEDB88320, no final inversion.
void crc32_start(uint32_t* crc);
void crc32_update(const void* buf, size_t len, uint32_t* crc);
// Start 0, no final inversion: not the common CRC-32 (which starts at and inverts with 0xFFFFFFFF).
uint32_t crc32_bsd(const void* buf, size_t len);
