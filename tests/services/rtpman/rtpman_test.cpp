// Application manager calls: the parameter block, symbols, failures and the watchdog test trigger.
#include "services/rtpman/rtpman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "support/stepped.h"

#include <cstring>

namespace {

struct Manager : testsupport::SteppedTest {
    AppParam block{0x25};
    uint8_t status = 1;
    std::vector<intptr_t> lastArgs;
    int feeds = 0, starves = 0;

    void SetUp() override {
        SteppedTest::SetUp();
        rtpman_reset();
        kmgr::clearFaults();
        block.ipv4Addr = (192u << 24) | (168u << 16) | (10u << 8) | 5u;
        kmgr::setHandler(KCALL_COMPAT_CHECK, [](const intptr_t* a) -> intptr_t {
            return a[1] == static_cast<intptr_t>(KCALL_APPMAN_ID) ? 0 : -1;
        });
        kmgr::setHandler(KCALL_APPMAN, [this](const intptr_t* a) -> intptr_t {
            lastArgs.assign(a, a + 8);
            auto** list = reinterpret_cast<void**>(a[5]);
            feeds += a[2] == APPMAN_REQ_WDOG_FEED;
            starves += a[2] == APPMAN_REQ_WDOG_STARVE;
            if (a[2] == APPMAN_REQ_READ_PARAM) {
                *reinterpret_cast<uint8_t*>(a[3]) = status;
                std::memcpy(list[0], &block, sizeof block);
            } else if (a[2] == APPMAN_REQ_SYMBOL) {
                if (std::strcmp(static_cast<const char*>(list[0]), "codegen_hookPartition_P1") != 0)
                    return -1;
                *reinterpret_cast<uintptr_t*>(a[3]) = 0x1234;
            }
            return 0;
        });
    }
    void TearDown() override {
        kmgr::setHandler(KCALL_COMPAT_CHECK, nullptr);
        kmgr::setHandler(KCALL_APPMAN, nullptr);
        SteppedTest::TearDown();
    }
};

TEST_F(Manager, ParametersSymbolsAndFailures) {
    RtpManUsr_setIndex(3);
    ASSERT_EQ(AppMan_init(), 1);
    EXPECT_EQ((std::vector<intptr_t>{lastArgs[0], lastArgs[1], lastArgs[4]}),
              (std::vector<intptr_t>{3, static_cast<intptr_t>(KCALL_APPMAN_ID), 1}));
    EXPECT_EQ(std::tuple(int(app_pid), std::string(device_ip_addr)), std::tuple(0x25, "192.168.10.5"));
    EXPECT_EQ(AppMan_getSymbolTableValue("codegen_hookPartition_P1"), 0x1234u);
    EXPECT_EQ(AppMan_getSymbolTableValue("missing"), 0u);
    status = 0; // the block could not be loaded
    EXPECT_EQ(AppMan_init(), 0);
    EXPECT_TRUE(logged("AppMan_init 3: ReadParam: load failed"));
    status = 1;
    for (unsigned call : {KCALL_APPMAN, KCALL_COMPAT_CHECK}) {
        kmgr::injectFault(call, -1);
        EXPECT_EQ(AppMan_init(), 0);
        kmgr::clearFaults();
    }
    kmgr::injectFault(KCALL_EPK_FORWARD, -1);
    EXPECT_EQ(RtpMan_ForwardEPK(), 0);
}

TEST_F(Manager, WatchdogTestTriggerStarvesOnce) {
    uint32_t pattern = 0;
    wdogapp_Feed(&pattern);
    wdog_test_trigger();
    wdog_test_trigger();
    EXPECT_EQ(std::pair(feeds, starves), std::pair(1, 1));
    EXPECT_TRUE(logged("wdog_test_trigger() launched! WDog will react soon!"));
}

} // namespace
