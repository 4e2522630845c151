// Diagnostic services: identity and diagnostic data of the unit, and its clock, for a PC tool.
//
// A service fills the upload buffer, which the tool then reads at its address, or opens the
// download buffer, which the tool fills and commits with service 0x8020. Both buffers sit at fixed
// addresses outside the calibration block and the measurement classes, so that the XCP slave
// reaches them with its ordinary memory commands.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t DIAG_UPLOAD_ADDR = 0x600000;
constexpr uint32_t DIAG_UPLOAD_SIZE = 1024;
constexpr uint32_t DIAG_DOWNLOAD_ADDR = 0x601000;
constexpr uint32_t DIAG_DOWNLOAD_SIZE = 256;

// Runs service `id`: 0, with the result length and second result byte and the address the
// tool reads (*uplAddr) or writes (*dwnAddr, 0 when none); 1 for a failed or unknown service,
// which leaves both buffers as they were.
int diagService(uint16_t id, const uint8_t* params, uint32_t* uplAddr, uint8_t* length, uint8_t* second,
                uint32_t* dwnAddr);
// Executes the pending write command with the download buffer's content.
bool diagService_write(const uint8_t* dwnBuf);
// [address, address + length) lies inside the buffer.
bool diagService_addrInUplBuf(uint32_t address, uint32_t length);
bool diagService_addrInDwnBuf(uint32_t address, uint32_t length);
// Copies out of the upload buffer or into the download buffer; false outside them.
bool diagService_read(uint32_t address, void* dst, uint32_t length);
bool diagService_store(uint32_t address, const void* src, uint32_t length);

// The Car ID: the configured text, else the product name, "_" and the serial number.
void diagService_GetCarId(char* dst, size_t size);
void diagService_GetProductName(char* dst, size_t size);

// The logging application's maximum file counts (partition 1, partition 2, USB drive), handed
// on by the XCP slave from what the start-up hands it; null: 0.
void diagService_setFileCounts(const uint32_t* part1, const uint32_t* part2, const uint32_t* usb);

// Tests: buffers cleared, nothing pending.
void diagService_reset();
