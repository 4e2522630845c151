// One unit on stepped time with the command interface running over the recording transport:
// PID 0x25, peers 0x30 and 0x32 reached over Ethernet, 0x31 not routed.
#pragma once

#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "comm/transport_fake.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/cimsg.h"
#include "support/stepped.h"

namespace unit {

constexpr uint16_t OWN = 0x25, PEER = 0x30, UNROUTED = 0x31, FAR = 0x32;

using cimsg::fields;
using cimsg::message;
using cimsg::word;

// On a stepped test, or on a fixture built on one (its set-up runs first).
template <class Base = testsupport::SteppedTest> struct UnitOn : Base {
    void SetUp() override {
        Base::SetUp();
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
        Base::TearDown();
    }
    // Serves a message as if it had arrived for this unit, then lets "r_Comint" send what follows.
    void serve(const fake::Bytes& m) { ci_serve_command(m.data(), m.size()), sim::step(1); }
    std::vector<fake::Bytes> sent() {
        sim::step(1);
        return fake::take(fake::commands);
    }
};
using Unit = UnitOn<>;

} // namespace unit
