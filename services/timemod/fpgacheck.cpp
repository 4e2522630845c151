#include "services/timemod/fpgacheck.h"

#include "services/syslog/syslog.h"

#include <cstdio>
#include <cstring>

namespace {

struct ModuleEntry {
    char name[5];
    uint32_t version;
};

// Written at board initialisation only, before any reader.
ModuleEntry moduleList[FPGA_MODULE_LIST_MAX];
int moduleCount;

void idName(uint32_t id, char out[5]) {
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((id >> (24 - 8 * i)) & 0xFF);
        out[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    out[4] = 0;
}

// The list index of the core, entered or updated.
int record(const char name[5], uint32_t version) {
    for (int i = 0; i < moduleCount; ++i) {
        if (std::strcmp(moduleList[i].name, name) == 0) {
            moduleList[i].version = version;
            return i;
        }
    }
    if (moduleCount >= FPGA_MODULE_LIST_MAX) return -1;
    std::memcpy(moduleList[moduleCount].name, name, 5);
    moduleList[moduleCount].version = version;
    return moduleCount++;
}

} // namespace

uint8_t fpga_IPCoreCompatibilityCheckMult(uint32_t id, uint32_t expectedId, uint32_t version,
                                          const uint32_t* accepted) {
    char name[5], expected[5];
    idName(id, name);
    idName(expectedId, expected);
    int ip = record(name, version);
    const unsigned major = (version >> 28) & 0x7, minor = (version >> 20) & 0xFF,
                   patch = (version >> 12) & 0xFF;
    if (version & 0x80000000u) {
        SYSLOGX_GUARDED(LOG_WARN, "APAL: Module ID '%4s': is dirty!  ip: %d, Ver %01X.%02X.%01X Hash:  %03X",
                        name, ip, major, minor, patch, version & 0xFFFu);
    }
    char why[96];
    if (id != expectedId) {
        std::snprintf(why, sizeof why, "ID '%s' (0x%08X) is not the expected '%s' (0x%08X)", name, id,
                      expected, expectedId);
        SYSLOGX_GUARDED(LOG_ERR, "fpga_IPCoreCompatibilityCheckMult: %s", why);
        return 0;
    }
    const uint32_t packed = fpga_versionOf(version);
    for (const uint32_t* v = accepted; v && *v; ++v)
        if (*v == packed) return 1;
    std::snprintf(why, sizeof why, "'%s' version %X.%02X.%02X not accepted", name, major, minor, patch);
    SYSLOGX_GUARDED(LOG_ERR, "fpga_IPCoreCompatibilityCheckMult: %s", why);
    return 0;
}

uint8_t fpga_IPCoreCompatibilityCheck(uint32_t id, uint32_t expectedId, uint32_t version,
                                      uint32_t requiredVersion) {
    char name[5];
    idName(id, name);
    record(name, version);
    return id == expectedId && version == requiredVersion ? 1 : 0;
}

int fpga_getModuleCount() {
    return moduleCount;
}

bool fpga_getModule(int index, char name[5], uint32_t* version) {
    if (index < 0 || index >= moduleCount) return false;
    if (name) std::memcpy(name, moduleList[index].name, 5);
    if (version) *version = moduleList[index].version;
    return true;
}

void fpga_resetModuleList() {
    moduleCount = 0;
}
