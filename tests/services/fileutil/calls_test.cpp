#include "services/fileutil/fileutil.h"
#include "support/logcapture.h"

#include "services/rtpman/rtpman.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Call {
    intptr_t a[8];
    std::string text; // a[1] read as a text, where the call carries one
};

struct ManagerCalls : ::testing::Test {
    std::vector<Call> calls;
    intptr_t result = 0;
    std::vector<testsupport::LogLine> seen;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        testsupport::logStart();
        platform::Settings s;
        s.ipv4 = 0xC0A80025; // 192.168.0.37
        platform::setSettings(s);
        kmgr::clearFaults();
        kmgr::installAppManager();
        RtpManUsr_setIndex(3);
        ASSERT_EQ(AppMan_init(), 1);
        fileutil_reset();
    }
    void TearDown() override {
        for (unsigned n : {2694u, 2705u, 2706u, 2708u})
            kmgr::setHandler(n, nullptr);
    }
    // Records every call of `number` and answers `result`.
    void capture(unsigned number, bool hasText) {
        kmgr::setHandler(number, [this, hasText](const intptr_t* a) {
            Call c;
            std::memcpy(c.a, a, sizeof c.a);
            if (hasText && a[1]) c.text = reinterpret_cast<const char*>(a[1]);
            calls.push_back(c);
            return result;
        });
    }
};

TEST_F(ManagerCalls, DriveAvailabilityAndUsbArgumentOrder) {
    capture(2694, true);
    result = 1;
    EXPECT_EQ(driveAvailable("cfg:"), 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::tuple(calls[0].a[0], calls[0].text, calls[0].a[2]),
              std::tuple(3, "cfg:", 1)); // index first
    for (intptr_t r : {0, -1}) {
        result = r;
        EXPECT_EQ(driveAvailable("meas:"), -1);
    }
    EXPECT_EQ(driveAvailable(nullptr), -1);
    EXPECT_EQ(calls.size(), 3u);

    // The USB request alone carries the request kind first, then its value.
    calls.clear();
    capture(2708, false);
    result = 7;
    EXPECT_EQ(usbMon_resetRequest(USB_REQ_REG_RESET, 1), 7);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::vector<intptr_t>(calls[0].a, calls[0].a + 8),
              (std::vector<intptr_t>{2, 1, 0, 0, 0, 0, 0, 0}));
}

TEST_F(ManagerCalls, SubnetsAreAddedOncePerSlash24UpToTen) {
    capture(2705, true);
    EXPECT_EQ(add_subnet(0xC0A80001), -1); // own subnet
    EXPECT_EQ(add_subnet(0xC0A800FE), -1);
    EXPECT_TRUE(calls.empty());

    result = 0;
    EXPECT_EQ(add_subnet(0x0A010203), 0); // 10.1.2.3
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].a[0], 3);
    EXPECT_EQ(calls[0].text, "gem0 inet add 10.1.2.37 netmask 255.255.255.0");
    EXPECT_EQ(add_subnet(0x0A010299), -1); // same /24
    EXPECT_EQ(calls.size(), 1u);

    result = -1; // the manager's result is handed back
    EXPECT_EQ(add_subnet(0x0A010300), -1);
    EXPECT_EQ(calls.size(), 2u);
    result = 0;
    for (uint32_t net = 4; net < 12; ++net)
        EXPECT_EQ(add_subnet(0x0A010000 | net << 8), 0);
    EXPECT_EQ(calls.size(), 10u);
    EXPECT_EQ(add_subnet(0x0A020304), -1);
    EXPECT_EQ(calls.size(), 10u);
    EXPECT_TRUE(testsupport::logContains(seen, "add_subnet: too many subnets (ignored): 10.2.3.4"));
    EXPECT_EQ(add_subnet(0x0A010203), -1); // known ones are still refused quietly
}

TEST_F(ManagerCalls, DefaultGatewayOnlyOnce) {
    capture(2706, true);
    result = 0;
    EXPECT_EQ(setDefaultGateway(0xC0A80001), 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].a[0], 3);
    EXPECT_EQ(calls[0].text, "add default 192.168.0.1");
    EXPECT_EQ(setDefaultGateway(0xC0A80002), -1);
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_TRUE(testsupport::logContains(
        seen, "setStandardGateway: tried to set standard gateway 2nd time: 192.168.0.2"));
}

} // namespace
