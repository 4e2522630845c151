// A unit with CAN on the manager's local bus and the image's data page, for the CCP and XCP
// masters; scripted slaves answer the frames the masters send.
#pragma once

#include "calibration/block/block.h"
#include "calibration/memory/seram.h"
#include "comm/can/can.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/gw/gw.h"
#include "comm/xcpmr/xcpmr.h"
#include "platform/can/cansim.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "services/time/time_util.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>

// The frames of a conversation as hex words separated by blanks.
inline std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

struct Masters : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        platform::Settings s;
        s.pid = 0x25, s.ipv4 = 0x7F000001;
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0), AppMan_init();
        up();
        seram_reset(), seramInitializeOffsets();
        seramImageDefaults(seram_memory + seramActiveOffset);
        time_util_ini();
        gw_reset();
    }
    void TearDown() override {
        down();
        SteppedTest::TearDown();
    }
    void up() {
        std::string err;
        ASSERT_TRUE(cansim::install(0, &err)) << err;
        ASSERT_EQ(RtpManUsrCan_Init(), 1);
    }
    void down() { ccpmr_reset(), xcpmr_reset(), can_reset(), cansim::uninstall(); }
    // A new start of the process's CAN side and masters.
    void restart() { down(), up(); }
    template <class T> static void cal(uint32_t vaddr, size_t i, T v) {
        std::memcpy(seram_memory + vaddr + seramActiveOffset + i * sizeof(T), &v, sizeof v);
    }
    static void frame(uint32_t id, const pyref::bytes& data) {
        cansim::Frame f;
        f.id = id, f.len = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), f.data);
        cansim::inject(f);
        canPoll_1ms();
        sim::waitIdle();
    }
    // Runs the slave: each frame the master sends is recorded as hex and answered by `reply`
    // (nothing for an empty answer), until the master sends no more.
    std::vector<std::string> converse(uint32_t respId,
                                      const std::function<pyref::bytes(const pyref::bytes&)>& reply,
                                      size_t limit = 200) {
        std::vector<std::string> out;
        sim::waitIdle();
        for (auto sent = cansim::takeSent(); !sent.empty() && out.size() < limit; sent = cansim::takeSent())
            for (const cansim::Frame& f : sent) {
                const pyref::bytes b(f.data, f.data + f.len);
                out.push_back(pyref::hex(b));
                const pyref::bytes r = reply(b);
                if (!r.empty()) frame(respId, r);
            }
        return out;
    }
    // A value slot, read whole as the DAQ task stores it.
    static uint32_t slot(void* (*get)(uint32_t), uint32_t n) {
        return static_cast<std::atomic<uint32_t>*>(get(n))->load();
    }
};
