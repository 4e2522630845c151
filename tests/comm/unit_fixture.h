// One unit on stepped time with the command interface running over the recording transport:
// PID 0x25, peers 0x30 and 0x32 reached over Ethernet, 0x31 not routed.
#pragma once

#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "comm/transport_fake.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/stepped.h"

#include <initializer_list>

namespace unit {

constexpr uint16_t OWN = 0x25, PEER = 0x30, UNROUTED = 0x31, FAR = 0x32;

// A command message packed byte by byte, as the wire carries it.
inline fake::Bytes message(uint16_t code, uint16_t src, uint16_t dst, uint32_t ctx1, uint32_t ctx2,
                           const fake::Bytes& payload = {}) {
    fake::Bytes m(20 + payload.size(), 0);
    const uint32_t words[] = {
        static_cast<uint32_t>(payload.size()), src, dst, ctx1 >> 16, ctx1, ctx2 >> 16, ctx2, code};
    for (size_t i = 0; i < 8; ++i) {
        m[2 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
        m[3 + 2 * i] = static_cast<uint8_t>(words[i]);
    }
    for (size_t i = 0; i < payload.size(); ++i)
        m[20 + i] = payload[i];
    return m;
}

// Big-endian fields: {value, width in bytes} in order.
inline fake::Bytes fields(std::initializer_list<std::pair<uint32_t, int>> list) {
    fake::Bytes b;
    for (auto [v, w] : list)
        for (int i = w - 1; i >= 0; --i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

inline uint32_t word(const fake::Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 | b[at + 2] << 8 |
           b[at + 3];
}

struct Unit : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        platform::Settings s;
        s.pid = OWN;
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0);
        ASSERT_EQ(AppMan_init(), 1);
        routing_ini();
        routing_set_table_entries({ROUTE_ETHERNET, 0xC0000230}, PEER, PEER);
        routing_set_table_entries({ROUTE_ETHERNET, 0xC0000232}, FAR, FAR);
        comint_ini();
        comint_reset();
        ASSERT_EQ(dynkomm_ini(), 1);
        fake::take(fake::commands);
    }
    void TearDown() override {
        sim::step(2);
        dynkomm_reset();
        fake::take(fake::commands);
        fake::take(fake::online);
        fake::take(fake::offline);
        SteppedTest::TearDown();
    }
    // Serves a message as if it had arrived for this unit, then lets "r_Comint" send what follows.
    void serve(const fake::Bytes& m) {
        ci_serve_command(m.data(), m.size());
        sim::step(1);
    }
    std::vector<fake::Bytes> sent() {
        sim::step(1);
        return fake::take(fake::commands);
    }
};

} // namespace unit
