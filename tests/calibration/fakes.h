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

struct fakes {
    static inline int awmStops;
    static inline std::vector<std::pair<std::vector<uint8_t>, const void*>> adjDownloads; // data, where
    static inline std::vector<int> errorsSet; // path * 1000 + type
    static inline std::vector<std::string> shellCommands;
    // Channel functions: the vc_id that has an output, its value and latency.
    static inline uint32_t channelVcId = 0x7C0100; // class 31, dataset 1, output 0
    static inline uint8_t channelValue[8];
    static inline uint32_t channelSize = sizeof channelValue; // the width the channel tells
    static inline uint16_t channelLatency = 7;
    static inline std::vector<std::pair<uint32_t, uint16_t>> channelSetups; // vc_id, raster
    static inline std::vector<void*> channelShutdowns;
    static inline uint32_t masterSlot[2]; // CCP, XCP master value slots

    static void awmStop() { awmStops++; }
    static void adjWritten(const void* data, const void* phys, uint16_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        adjDownloads.push_back({{p, p + n}, phys});
    }
    static void* channelSetup(uint32_t vcId, uint16_t raster, void** value, uint32_t* size) {
        channelSetups.push_back({vcId, raster});
        return vcId == channelVcId ? (*value = channelValue, *size = channelSize, &channelLatency) : nullptr;
    }
    static uint16_t latencyOf(void* handle) { return *static_cast<uint16_t*>(handle); }
    static int channelShutdown(void* handle) { return channelShutdowns.push_back(handle), 1; }
    static void* ccpSlot(uint32_t address) { return (address & 0xFFF) == 3 ? &masterSlot[0] : nullptr; }
    static void* xcpSlot(uint32_t address) { return (address & 0xFFF) == 5 ? &masterSlot[1] : nullptr; }

    static void reset() {
        static const seramDownloadHooks hooks{awmStop, adjWritten};
        static const seramMeasChannelSource channels{channelSetup, latencyOf, channelShutdown};
        awmStops = 0, adjDownloads.clear(), errorsSet.clear(), shellCommands.clear();
        channelSetups.clear(), channelShutdowns.clear(), channelSize = sizeof channelValue;
        seramSetDownloadHooks(&hooks), seramMeasSetChannelSource(&channels);
        seramMeasSetMasterSource(MEAS_CLASS_CCPMR, ccpSlot),
            seramMeasSetMasterSource(MEAS_CLASS_XCPMR, xcpSlot);
    }
};

#ifdef FAKES_DEFINE
int msd_shellAddCommand(const char* name, int (*)(int, char**)) {
    return fakes::shellCommands.emplace_back(name), 1;
}
int error_mgr_set(int path, int type, uint8_t) {
    return fakes::errorsSet.push_back(path * 1000 + type), 1;
}
#endif
