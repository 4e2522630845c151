// Recording stand-ins for what the calibration modules call in other subsystems: the
// channel functions and the CCP/XCP masters hand themselves in (reset() installs these), the
// error manager and the shell are replaced at link time — one source of each calibration
// test defines FAKES_DEFINE before including this, which defines them there.
#pragma once

#include "calibration/memory/seram.h"
#include "calibration/meas/seram_meas.h"

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

inline void awmStop() {
    awmStops++;
}
inline void adjWritten(const void* data, const void* phys, uint16_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    adjDownloads.push_back({std::vector<uint8_t>(p, p + length), phys, length});
}
inline void* channelSetup(uint32_t vcId, uint16_t raster, void** value) {
    channelSetups.push_back({vcId, raster});
    if (vcId != channelVcId) return nullptr;
    *value = channelValue;
    return &channelLatency;
}
inline uint16_t channelLatencyOf(void* handle) {
    return *static_cast<uint16_t*>(handle);
}
inline int channelShutdown(void* handle) {
    channelShutdowns.push_back(handle);
    return 1;
}
inline void* ccpSlot(uint32_t address) {
    return (address & 0xFFF) == 3 ? &masterSlot[0] : nullptr;
}
inline void* xcpSlot(uint32_t address) {
    return (address & 0xFFF) == 5 ? &masterSlot[1] : nullptr;
}
inline const seramDownloadHooks downloadHooks{awmStop, adjWritten};
inline const seramMeasChannelSource channelSource{channelSetup, channelLatencyOf, channelShutdown};

inline void reset() {
    awmStops = 0;
    adjDownloads.clear();
    errorsSet.clear();
    shellCommands.clear();
    shellResult = 1;
    channelSetups.clear();
    channelShutdowns.clear();
    seramSetDownloadHooks(&downloadHooks);
    seramMeasSetChannelSource(&channelSource);
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, ccpSlot);
    seramMeasSetMasterSource(MEAS_CLASS_XCPMR, xcpSlot);
}

} // namespace fakes

#ifdef FAKES_DEFINE
int msd_shellAddCommand(const char* name, int (*)(int, char**)) {
    fakes::shellCommands.emplace_back(name);
    return fakes::shellResult;
}
int error_mgr_set(int path, int type, uint8_t) {
    fakes::errorsSet.push_back(path * 1000 + type);
    return 1;
}
#endif
