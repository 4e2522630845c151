// Recording stand-ins for what the calibration modules call in other subsystems. One source
// of each calibration test defines FAKES_DEFINE before including this, which defines them
// there, so that the link stubs of those subsystems are not pulled in.
#pragma once

#include "app/subsystems.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fakes {

struct AdjDownload {
    std::vector<uint8_t> data;
    const void* phys;
    uint16_t length;
};

struct Channel {
    uint32_t vcId;
    uint16_t raster;
};

inline int awmStops;
inline std::vector<AdjDownload> adjDownloads;
inline std::vector<int> errorsSet; // path * 1000 + type
inline std::vector<std::string> shellCommands;
inline int shellResult = 1;
// Channel functions: the vc_id that has an output, its value and latency.
inline uint32_t channelVcId = 0x7C0100; // class 31, dataset 1, output 0
inline uint8_t channelValue[8];
inline uint16_t channelLatency = 7;
inline std::vector<Channel> channelSetups;
inline std::vector<void*> channelShutdowns;
inline uint32_t masterSlot[2]; // CCP, XCP master value slots

inline void reset() {
    awmStops = 0;
    adjDownloads.clear();
    errorsSet.clear();
    shellCommands.clear();
    shellResult = 1;
    channelSetups.clear();
    channelShutdowns.clear();
}

} // namespace fakes

#ifdef FAKES_DEFINE
void awm_man_stop() {
    fakes::awmStops++;
}
void awm_man_dwnl_adj_data(const void* data, const void* phys, uint16_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    fakes::adjDownloads.push_back({std::vector<uint8_t>(p, p + length), phys, length});
}
void* awm_man_AWM_setupMeasure(uint32_t vcId, uint16_t raster, void** value) {
    fakes::channelSetups.push_back({vcId, raster});
    if (vcId != fakes::channelVcId) return nullptr;
    *value = fakes::channelValue;
    return &fakes::channelLatency;
}
uint16_t awm_man_AWM_getLatency(void* handle) {
    return *static_cast<uint16_t*>(handle);
}
int awm_man_AWM_shutdownMeasure(void* handle) {
    fakes::channelShutdowns.push_back(handle);
    return 1;
}
int msd_shellAddCommand(const char* name, int (*)(int, char**)) {
    fakes::shellCommands.emplace_back(name);
    return fakes::shellResult;
}
int error_mgr_set(int path, int type, uint8_t) {
    fakes::errorsSet.push_back(path * 1000 + type);
    return 1;
}
int cmdFuncGetScrutInfo(int, char**) {
    return 0;
}
void* ccpmr_GetAddr(uint32_t address) {
    return (address & 0xFFF) == 3 ? &fakes::masterSlot[0] : nullptr;
}
void* xcpmr_GetAddr(uint32_t address) {
    return (address & 0xFFF) == 5 ? &fakes::masterSlot[1] : nullptr;
}
#endif
