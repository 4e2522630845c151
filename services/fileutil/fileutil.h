// Small shared helpers: files on the drives, bounded strings, bit buffers, drive and network requests.
//
// Small shared helpers: files and paths on the unit's drives, bounded strings, diagnostic
// bit buffers, drive and USB requests, and the network commands for subnets and the
// default gateway. Every file access goes through the OS layer's devices.
// (The bounded length is the C library's strnlen.)
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <cstdint>

// ---- files and paths ---------------------------------------------------------------
// 1 when the file opens for reading, else 0.
int fexist(const char* path);
// Size in bytes; 0 for a null path, a missing file, a file of 4 GiB or more, or an error.
uint32_t fsize(const char* path);
// The whole file in a new zeroed buffer of size + 1 bytes (free() it), or null. `len`
// (optional) is 0 first and the size once the file was opened.
char* fload(const char* path, uint32_t* len);

// The last '/' or '\', or null.
const char* pathSlashRindex(const char* path);
// Splits into directory and file name; both buffers hold n bytes and are always terminated.
void pathSplitn(const char* path, char* dir, char* file, size_t n);
// The same, where without '/' or '\' a drive name ("usb_meas:") ends the directory.
void measPathSplitn(const char* path, char* dir, char* file, size_t n);

// Flushes the volume of the path's directory: 0 or -1.
int flushDir(const char* path);
int measFlushDir(const char* path);
// Flushes the open file itself: 0 or -1.
int flushDirViaFile(const char* path);
// Removes one file: 0, or -1 (null path, open or delete failed).
int removeFile(const char* path);
// Removes the files of `directory` whose extension begins with `extension` (its first
// three characters). Returns the number removed, or -1 when nothing could be examined.
int removeFileExt(const char* directory, const char* extension);

// ---- bounded strings ---------------------------------------------------------------
// Last `c` within the first n characters; null also when no NUL lies within them.
const char* strnrchr(const char* text, int c, size_t n);
// Copies at most n - 1 characters; a longer source keeps its tail. Always terminated (n > 0).
void strncpy_tail(char* dest, const char* src, size_t n);

// ---- drives and USB ----------------------------------------------------------------

// 0 when the manager reports the drive ("cfg:", "meas:" ...) available, else -1.
int driveAvailable(const char* drive);

// The manager call's result.
intptr_t usbMon_resetRequest(uint8_t request, uint8_t value);

// ---- diagnostic bit buffers --------------------------------------------------------
struct DiagBuff {
    uint32_t current;
    uint32_t latched;
    uint32_t seen;
};
struct DiagBuff16 {
    uint16_t current;
    uint16_t latched;
    uint16_t seen;
};

void DiagBuff_Initialize(DiagBuff* b);
void DiagBuff_Write(DiagBuff* b, uint32_t value, uint32_t mask);
void DiagBuff_OverWrite(DiagBuff* b, uint32_t value, uint32_t mask);
// errors = (current | latched) & mask, seen = seen & mask; then clears what it reported.
void DiagBuff_Read(DiagBuff* b, uint32_t mask, uint32_t* errors, uint32_t* seen);
uint32_t DiagBuff_GetErrorRaw(const DiagBuff* b, uint32_t mask, uint32_t* out);

void DiagBuff16_Initialize(DiagBuff16* b);
void DiagBuff16_Write(DiagBuff16* b, uint16_t value, uint16_t mask);
void DiagBuff16_OverWrite(DiagBuff16* b, uint16_t value, uint16_t mask);
void DiagBuff16_Read(DiagBuff16* b, uint16_t mask, uint16_t* errors, uint16_t* seen);
uint16_t DiagBuff16_GetErrorRaw(const DiagBuff16* b, uint16_t mask, uint16_t* out);

// ---- network configuration ---------------------------------------------------------
constexpr int MAX_SUBNETS = 10;
// Adds the /24 subnet of `address` (first octet in bits 24-31) to the interface.
int add_subnet(uint32_t address);
// Once per process.
int setDefaultGateway(uint32_t address);

// Tests: forget the subnets and the gateway.
void fileutil_reset();
