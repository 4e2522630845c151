// Channels for the display's tests and benchmarks: a float channel set by hand, and a gateway
// that records the display's requests and hands its lists values while they live.
#pragma once

#include "display/app/disp_data.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace dtest {

// A channel whose value the test sets, big-endian as the gateway delivers it, read through a
// record of the given display mode, type, mask and quantisation (b x + c).
struct Feed {
    CData d{nullptr};
    CDataMeas m;
    explicit Feed(uint32_t mode = DISPMODE_NORMAL, uint16_t type = TYPE_FLOAT, uint32_t mask = 0xFFFFFFFF,
                  float b = 1, float c = 0)
        : m(0, mask, CData::convDataType(type)) {
        d.type = m.type, d.mask = mask, d.shift = m.shift, d.dispmode = mode;
        d.quant[1] = b, d.quant[2] = c;
        d.setMeas(&m);
    }
    void set(float v) { put(m, v); }
    static void put(CDataMeas& m, float v) {
        uint32_t w;
        std::memcpy(&w, &v, 4);
        const uint8_t be[4] = {static_cast<uint8_t>(w >> 24), static_cast<uint8_t>(w >> 16),
                               static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w)};
        m.putData(be);
    }
    // The value of these raw bytes.
    double put(std::vector<uint8_t> bytes) {
        bytes.resize(8);
        m.putData(bytes.data());
        d.updateData();
        return d.value;
    }
    // The text of the value in the format.
    std::string text(const char* fmt, double v) {
        set(static_cast<float>(v));
        d.updateData();
        d.value = v; // the full double, beyond the float's precision
        char out[255];
        d.getDataStr(fmt, out, sizeof out);
        return out;
    }
};

// The measurement gateway as the display sees it. A list lives from its start to the disconnect;
// other tasks may read into the live lists meanwhile.
struct FakeGateway {
    static inline std::mutex m;
    static inline std::vector<std::vector<int32_t>> requests;
    static inline std::vector<uintptr_t> users; // the live lists
    static inline std::vector<uint16_t> pids, blocks, rasters;
    static inline std::vector<uint32_t> timeouts;
    static inline gw_callbacks_t cb{};
    static inline int disconnects = 0;
    static void reset() {
        std::lock_guard<std::mutex> l(m);
        requests.clear(), users.clear(), pids.clear(), blocks.clear(), rasters.clear(), timeouts.clear();
        disconnects = 0;
    }
    static gw_client_t* connect(const gw_callbacks_t* c) {
        std::lock_guard<std::mutex> l(m);
        cb = *c;
        return reinterpret_cast<gw_client_t*>(0x1000);
    }
    static uint32_t setup(gw_client_t*, const int32_t* list, uintptr_t user, uint16_t bytes, uint16_t raster,
                          uint16_t pid, uint16_t, uint16_t, uint16_t, uint16_t, uint16_t block,
                          uint32_t timeout) {
        std::lock_guard<std::mutex> l(m);
        requests.emplace_back(list, list + bytes / 4);
        users.push_back(user);
        pids.push_back(pid);
        blocks.push_back(block);
        rasters.push_back(raster);
        timeouts.push_back(timeout);
        return static_cast<uint32_t>(requests.size());
    }
    static void startAll(gw_client_t*) {
        std::lock_guard<std::mutex> l(m);
        for (uintptr_t u : users)
            cb.entry[GW_CB_START].fn(GW_OK, nullptr, u);
    }
    static int disconnect(gw_client_t*) {
        std::lock_guard<std::mutex> l(m);
        ++disconnects;
        for (uintptr_t u : users)
            cb.entry[GW_CB_STOP].fn(GW_OK, nullptr, u);
        users.clear();
        return 0;
    }
    // An entry (time stamp and values) or a status for list `list` (every live list: -1).
    static void read(int list, uint32_t status, std::vector<uint8_t> entry = {}) {
        std::lock_guard<std::mutex> l(m);
        for (size_t i = 0; i < users.size(); ++i)
            if (list < 0 || static_cast<size_t>(list) == i)
                cb.entry[GW_CB_READ].fn(status, entry.empty() ? nullptr : entry.data(), users[i]);
    }
    static const DispGatewayOps* ops() {
        static const DispGatewayOps o = {connect, setup, startAll, disconnect};
        return &o;
    }
};

} // namespace dtest
