#include "services/rtpman/rtpman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/sim.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using testsupport::logContains;
using testsupport::LogLine;

namespace {

struct Manager : ::testing::Test {
    AppParam block{};
    uint8_t status = 1;
    std::vector<intptr_t> lastArgs;
    int feeds = 0, starves = 0;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        testsupport::logStart();
        rtpman_reset();
        kmgr::clearFaults();
        block.pid = 0x25;
        block.ipv4Addr = (192u << 24) | (168u << 16) | (10u << 8) | 5u;
        std::strcpy(block.homeDir, "/home/unit");
        kmgr::setHandler(KCALL_COMPAT_CHECK, [](const intptr_t* a) -> intptr_t {
            return a[1] == static_cast<intptr_t>(KCALL_APPMAN_ID) ? 0 : -1;
        });
        kmgr::setHandler(KCALL_APPMAN, [this](const intptr_t* a) -> intptr_t {
            lastArgs.assign(a, a + 8);
            auto** list = reinterpret_cast<void**>(a[5]);
            switch (a[2]) {
            case APPMAN_REQ_READ_PARAM:
                *reinterpret_cast<uint8_t*>(a[3]) = status;
                std::memcpy(list[0], &block, sizeof block);
                return 0;
            case APPMAN_REQ_WDOG_FEED:
                feeds++;
                return 0;
            case APPMAN_REQ_WDOG_STARVE:
                starves++;
                return 0;
            case APPMAN_REQ_SYMBOL:
                if (std::strcmp(static_cast<const char*>(list[0]), "codegen_hookPartition_P1") != 0)
                    return -1;
                *reinterpret_cast<uintptr_t*>(a[3]) = 0x1234;
                return 0;
            }
            return -1;
        });
    }
    void TearDown() override {
        kmgr::setHandler(KCALL_COMPAT_CHECK, nullptr);
        kmgr::setHandler(KCALL_APPMAN, nullptr);
    }
};

TEST_F(Manager, ParametersAreReadAndCopied) {
    RtpManUsr_setIndex(3);
    ASSERT_EQ(AppMan_init(), 1);
    EXPECT_EQ(lastArgs[0], 3);
    EXPECT_EQ(lastArgs[1], static_cast<intptr_t>(KCALL_APPMAN_ID));
    EXPECT_EQ(lastArgs[4], 1);
    EXPECT_EQ(AppMan_getPID(), 0x25);
    EXPECT_EQ(app_pid, 0x25);
    EXPECT_STREQ(device_ip_addr, "192.168.10.5");
    EXPECT_STREQ(AppMan_getHomeDir(), "/home/unit");
    EXPECT_EQ(AppMan_getSymbolTableValue("codegen_hookPartition_P1"), 0x1234u);
    std::vector<LogLine> seen;
    EXPECT_EQ(AppMan_getSymbolTableValue("missing"), 0u);
    EXPECT_TRUE(logContains(seen, "AppMan_getSymbolTableValue(3): SysCall failed"));
}

TEST_F(Manager, FailuresAreReportedWithTheirTexts) {
    std::vector<LogLine> seen;
    status = 0;
    EXPECT_EQ(AppMan_init(), 0);
    EXPECT_TRUE(logContains(seen, "AppMan_init 0: ReadParam: load failed"));
    status = 1;
    kmgr::injectFault(KCALL_APPMAN, -1);
    EXPECT_EQ(AppMan_init(), 0);
    EXPECT_TRUE(logContains(seen, "AppMan_init 0: ReadParam: SysCall failed"));
    kmgr::injectFault(KCALL_COMPAT_CHECK, -1);
    EXPECT_EQ(AppMan_init(), 0);
    EXPECT_TRUE(logContains(seen, "AppMan_init 0: compatibility check failed"));
    kmgr::injectFault(KCALL_EPK_FORWARD, -1);
    EXPECT_EQ(RtpMan_ForwardEPK(), 0);
    EXPECT_TRUE(logContains(seen, "RtpMan_ForwardEPK: Forwarding EPK failed"));
}

TEST_F(Manager, WatchdogTestTriggerStarvesOnce) {
    uint32_t pattern = 0;
    wdogapp_Feed(&pattern);
    EXPECT_EQ(feeds, 1);
    wdog_test_trigger();
    wdog_test_trigger();
    EXPECT_EQ(starves, 1);
    std::vector<LogLine> seen;
    logContains(seen, "");
    int launched = 0;
    for (auto& l : seen)
        if (l.text == "wdog_test_trigger() launched! WDog will react soon!") launched++;
    EXPECT_EQ(launched, 1);
}

} // namespace
