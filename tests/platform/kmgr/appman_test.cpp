// The manager's application calls, with the argument orders the application uses.
#include "platform/kmgr/appman.h"
#include "support/stepped.h"
#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"

#include <cstring>

namespace {

constexpr intptr_t ID = 0x6E2B9D13;

intptr_t request(intptr_t req, intptr_t a4, intptr_t a5, const void* entry, intptr_t id = ID) {
    const void* list[1] = {entry};
    return kmgr_syscall(2753, 0, id, req, a4, a5, reinterpret_cast<intptr_t>(list), 0, 0);
}
intptr_t watchdog(intptr_t req, uint32_t pattern = 0) {
    return request(req, 0, 1, &pattern);
}

struct AppManager : testsupport::SteppedTest {
    platform::Settings s;
    std::vector<std::pair<std::string, bool>> reactions;

    void SetUp() override {
        SteppedTest::SetUp();
        s.pid = 0x2A;
        s.coreAffinity = 2;
        s.baseBootCounter = 0x01020304;
        s.ipv4 = 0xC0A80A05;
        s.mask = 0xFFFFFF00;
        s.xcpPort = 0x15B3;
        s.bc2PortOffset = 0x0102;
        s.ccpEnable = 1;
        s.homeDir = "/units/u0";
        s.nvramDir = "/units/u0/nvram";
        s.allPids = {0x2A, 0x07, 0x09};
        s.watchdogTimeoutMs = 100;
        install();
    }
    void install() {
        platform::setSettings(s);
        kmgr::installAppManager();
        kmgr::setWatchdogReaction(
            [this](const std::string& line, bool exitProcess) { reactions.emplace_back(line, exitProcess); });
    }
    size_t count() const { return reactions.size(); } // the clock thread is idle once step returns
    void TearDown() override { kmgr::setWatchdogReaction(nullptr); }
};

TEST_F(AppManager, ReadParametersFillsTheBlockByteExactAndBadRequestsAreRefused) {
    EXPECT_EQ(kmgr_syscall(2752, 3, ID), 0); // the compatibility check
    char buf[sizeof(AppParam) + 8];
    std::memset(buf, 0xEE, sizeof buf);
    uint8_t status = 7;
    const intptr_t st = reinterpret_cast<intptr_t>(&status);
    for (intptr_t r : {request(0, st, 1, buf, ID ^ 1), request(0, 0, 1, buf), request(0, st, 0, buf),
                       request(0, st, 1, nullptr), request(5, 0, 1, buf), request(1, 0, 1, nullptr),
                       kmgr_syscall(2753, 0, ID, 1, 0, 1, 0), kmgr_syscall(2752, 3, ID + 1),
                       kmgr_syscall(2752, 3, 0), request(4, st, 1, "codegen_hookPartition_P4"),
                       kmgr_syscall(2700, 0, 0), kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>(""), 5)})
        EXPECT_EQ(r, -1);
    EXPECT_EQ(status, 7);

    ASSERT_EQ(request(0, st, 1, buf), 0);
    EXPECT_EQ(status, 1);
    // pid, core, boot counter, address, mask, ports (little-endian), CCP; two paths; the PID list
    std::string want("\x2A\x02\0\0\x04\x03\x02\x01\x05\x0A\xA8\xC0\0\xFF\xFF\xFF\xB3\x15\x02\x01\x01", 21);
    (want += "/units/u0").resize(21 + 128, '\0');
    (want += "/units/u0/nvram").resize(149 + 129, '\0');
    want += "\x2A\x07" + std::string(8, '\xEE'); // the list as far as the block reaches; nothing beyond
    EXPECT_EQ(std::string(buf, buf + sizeof buf), want);
}

TEST_F(AppManager, SymbolsEpkAndInterruptsAreRecordedUntilTheNextBoot) {
    kmgr::registerSymbol("codegen_hookPartition_P1", 0x12345678);
    uintptr_t value = 0;
    EXPECT_EQ(request(4, reinterpret_cast<intptr_t>(&value), 1, "codegen_hookPartition_P1"), 0);
    EXPECT_EQ(value, 0x12345678u);

    char epk[40];
    std::memset(epk, 'E', sizeof epk); // 32 characters and no NUL within them
    EXPECT_EQ(kmgr_syscall(2700, 0, reinterpret_cast<intptr_t>(epk)), 0);
    EXPECT_EQ(kmgr::forwardedEpk(), std::string(32, 'E'));

    // index, queue name, interrupt, four words, 0 (the messages: tests/services/timemod)
    ASSERT_EQ(kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>("/MQ_test_irq40"), 40, 0, 0x40002038, 0, 2, 0),
              0);
    EXPECT_TRUE(kmgr::interruptConnection(40, nullptr));

    install(); // a new boot forgets them
    EXPECT_EQ(std::pair(kmgr::forwardedEpk(), kmgr::interruptConnection(40, nullptr)),
              std::pair(std::string(), false));
}

TEST_F(AppManager, WatchdogIsWatchedOnlyOnceFedUntilShutdown) {
    ASSERT_EQ(watchdog(2), 0); // starving before the first feed: recorded only
    sim::step(5000);
    EXPECT_EQ(kmgr::watchdogStatus().starves, 1u);
    for (int i = 0; i < 30; ++i, sim::step(10)) // regular feeds keep it quiet
        ASSERT_EQ(watchdog(1, 0xCAFE), 0);
    sim::step(90); // exactly the time-out: still in time
    EXPECT_EQ(count(), 0u);
    sim::step(501);
    ASSERT_EQ(count(), 1u) << "one line per lapse";
    EXPECT_EQ(reactions[0],
              std::pair(std::string("application watchdog of RTP 0 not fed for 101 ms"), false));
    ASSERT_EQ(watchdog(1), 0); // a new feed starts a new watch
    sim::step(101);
    EXPECT_EQ(kmgr::watchdogStatus().expiries, 2u);

    s.watchdogExit = true;
    install();
    ASSERT_EQ(watchdog(1), 0);
    ASSERT_EQ(watchdog(2), 0);
    sim::step(1); // starving reacts at the next tick
    ASSERT_EQ(count(), 3u);
    EXPECT_EQ(reactions[2],
              std::pair(std::string("application watchdog of RTP 0 starved, resetting the process"), true));

    install();
    for (intptr_t req : {1, 3, 2, 1}) // shutdown mode ends the watch; feeds after it change nothing
        ASSERT_EQ(watchdog(req), 0);
    sim::step(1000);
    EXPECT_TRUE(kmgr::watchdogStatus().shutdown);
    EXPECT_EQ(count(), 3u);
}

} // namespace
