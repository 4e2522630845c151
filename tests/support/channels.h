// Channel-function datasets built field by field, and the fixture the tests of the channel
// functions share: datasets loaded into the data page from index 0, their outputs measured,
// their input lists served by the test in place of the gateway, and their 10 ms call list run a
// cycle at a time as the soft scheduler runs it (with the adjustment cycle after it).
#pragma once

#include "acquisition/awm/awm_private.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cstring>
#include <initializer_list>
#include <map>
#include <vector>

namespace testsupport {

// A dataset: head (tag, length, type, output code), output function 0 1 0 0 0 1, footer.
struct DS {
    std::vector<uint8_t> b;
    uint16_t board = 0; // its board channel

    DS(uint16_t type, uint16_t len, uint16_t code = 6) : b(len) {
        put<uint16_t>(0, AWM_HEAD_TAG).put<uint16_t>(2, len).put<uint16_t>(4, type).put<uint16_t>(8, code);
        if (len > 40) floats(16, {0, 1, 0, 0, 0, 1});
        put<uint16_t>(len - 2u, AWM_FOOT_TAG);
    }
    template <class T> DS& put(uint32_t off, T v) {
        std::memcpy(b.data() + off, &v, sizeof v);
        return *this;
    }
    DS& floats(uint32_t off, std::initializer_list<float> v) {
        for (float f : v)
            put(off, f), off += 4;
        return *this;
    }
    // An input reference: the word, the value times `factor`, the data type.
    DS& ref(uint32_t off, uint32_t word, uint16_t type = 6, float factor = 1) {
        return put(off, word).floats(off + 8, {0, factor, 0, 0, 0, 1}).put<uint16_t>(off + 32, type);
    }
    // Formula tokens: opcodes with float operands, then the end 0xFF.
    DS& tokens(uint32_t off, std::initializer_list<std::pair<uint8_t, float>> t) {
        for (auto [op, v] : t)
            b[off] = op, put(off + 1, v), off += 5;
        b[off] = 0xFF;
        return *this;
    }
    DS& on(uint16_t boardChannel) {
        board = boardChannel;
        return *this;
    }
};

// Input lists the channel functions started, by their reference word.
inline std::map<awm_input_buf*, uint32_t>& inputLists() {
    static std::map<awm_input_buf*, uint32_t> lists;
    return lists;
}

struct Channels : SteppedTest {
    ScratchDir dir;
    std::vector<void*> started;
    uint32_t ts = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard();
        seram_reset();
        seramInitializeOffsets();
        nvram_dbs_reset();
        ASSERT_TRUE(nvmem::install(dir.path));
        ASSERT_EQ(nvram_dbs_init(), 1);
        awm_man_reset();
        seramSetDownloadHooks(&awm_man_downloadHooks), seramMeasSetChannelSource(&awm_man_channelSource);
        inputLists().clear();
        awm_gw_setStandIn([](const uint8_t* ref, awm_input_buf* b, uint16_t) {
            if (ref)
                inputLists()[b] = awm_rd<uint32_t>(ref, 0);
            else
                inputLists().erase(b);
        });
    }
    void TearDown() override {
        load({});
        EXPECT_TRUE(inputLists().empty()) << "every input list stopped";
        awm_gw_setStandIn(nullptr);
        nvram_dbs_reset();
        nvmem::uninstall();
        SteppedTest::TearDown();
    }
    // What ran before stopped; the datasets from index 0 with their board channels, adjustment
    // slot = index; the manager's start (none for an empty list).
    void load(const std::vector<DS>& list) {
        for (void* m : started)
            awm_man_AWM_shutdownMeasure(m);
        started.clear();
        awm_man_reset();
        if (list.empty()) return;
        uint32_t at = VTADDR_CfgMat_VC_config;
        for (size_t i = 0; i < list.size(); ++i) {
            std::memcpy(seram_memory + at, list[i].b.data(), list[i].b.size());
            at += static_cast<uint32_t>(list[i].b.size());
            const uint16_t slot = static_cast<uint16_t>(i);
            std::memcpy(seram_memory + VTADDR_CfgMat_AdjIndex + 2 * i, &slot, 2);
            std::memcpy(seram_memory + VTADDR_CfgMat_Board_Channel + 2 * i, &list[i].board, 2);
        }
        awm_man_ini();
    }
    // Where output `out` of dataset `idx` is measured (error_toggle when refused).
    template <class T = float> T* measure(uint16_t idx, uint8_t out, uint16_t raster = 3) {
        void* addr = nullptr;
        void* m = awm_man_AWM_setupMeasure(awm_vc_id(idx, out), raster, &addr);
        if (m) started.push_back(m);
        return static_cast<T*>(addr);
    }
    template <class T> T& instance(uint16_t idx) {
        return *static_cast<T*>(awm_man_get_cfg_by_chan(idx)->instance);
    }
    // What the gateway delivers to every list of the reference word: raw bits, a float signal.
    static void deliver(uint32_t word, uint32_t raw) {
        for (auto& [b, w] : inputLists())
            if (w == word) awm_gw_deliver(b, raw);
    }
    static void feed(uint32_t word, double v) {
        const float f = static_cast<float>(v);
        uint32_t raw;
        std::memcpy(&raw, &f, 4);
        deliver(word, raw);
    }
    static void lapse(uint32_t word) {
        for (auto& [b, w] : inputLists())
            if (w == word) awm_gw_lapse(b);
    }
    // Cycles of one raster's call list, 10 ms apart in measurement time.
    void cycle(int n = 1, uint16_t raster = 3) {
        for (int i = 0; i < n; ++i) {
            awm_sched_call(raster, ts += 100);
            if (raster == 3) awm_man_adjust();
        }
    }
};

} // namespace testsupport
