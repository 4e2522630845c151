// Identification and version check of the FPGA fabric's IP cores, and the list of the
// cores checked so far with the versions they reported.
#pragma once

#include <cstdint>

// Version word: bit 31 unreleased build, bits 28-30 major, 20-27 minor, 12-19 patch,
// 0-11 build hash. Accepted versions are packed as major * 65536 + minor * 256 + patch.
constexpr uint32_t fpga_packVersion(uint32_t major, uint32_t minor, uint32_t patch) {
    return major << 16 | minor << 8 | patch;
}
constexpr uint32_t fpga_versionOf(uint32_t versionReg) {
    return fpga_packVersion((versionReg >> 28) & 0x7, (versionReg >> 20) & 0xFF, (versionReg >> 12) & 0xFF);
}

// Nonzero when `id` is `expectedId` and the version is one of `accepted` (ended by 0).
uint8_t fpga_IPCoreCompatibilityCheckMult(uint32_t id, uint32_t expectedId, uint32_t version,
                                          const uint32_t* accepted);

// 1 when `id` is `expectedId` and `version` is `requiredVersion`, word for word.
uint8_t fpga_IPCoreCompatibilityCheck(uint32_t id, uint32_t expectedId, uint32_t version,
                                      uint32_t requiredVersion);

constexpr int FPGA_MODULE_LIST_MAX = 16;
int fpga_getModuleCount();
// Name (four characters and a NUL) and version register of entry `index`; false past the end.
bool fpga_getModule(int index, char name[5], uint32_t* version);

// Tests (through timemod_reset): the list starts empty again.
void fpga_resetModuleList();
