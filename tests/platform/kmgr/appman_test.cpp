// The manager's application calls, with the argument orders the application uses.
#include "services/rtpman/rtpman.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

namespace {

constexpr intptr_t ID = 0x6E2B9D13;

intptr_t request(intptr_t req, intptr_t a4, intptr_t a5, const void* entry, intptr_t id = ID,
                 unsigned index = 0) {
    const void* list[1] = {entry};
    return kmgr_syscall(2753, index, id, req, a4, a5, reinterpret_cast<intptr_t>(list), 0, 0);
}

intptr_t watchdog(intptr_t req, uint32_t pattern = 0) {
    return request(req, 0, 1, &pattern);
}

struct Reactions {
    std::mutex m;
    std::vector<std::pair<std::string, bool>> seen;
    size_t count() {
        std::lock_guard<std::mutex> g(m);
        return seen.size();
    }
    std::pair<std::string, bool> last() {
        std::lock_guard<std::mutex> g(m);
        return seen.back();
    }
};

struct AppManager : ::testing::Test {
    platform::Settings s;
    Reactions reactions;

    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
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
        kmgr::clearFaults();
        kmgr::installAppManager();
        kmgr::setWatchdogReaction([this](const std::string& line, bool exitProcess) {
            std::lock_guard<std::mutex> g(reactions.m);
            reactions.seen.emplace_back(line, exitProcess);
        });
    }
    void TearDown() override { kmgr::setWatchdogReaction(nullptr); }
};

TEST_F(AppManager, ReadParametersFillsTheBlockByteExact) {
    for (intptr_t id : {ID, ID + 1, intptr_t{0}})
        EXPECT_EQ(kmgr_syscall(2752, 3, id), id == ID ? 0 : -1); // the compatibility check
    uint8_t buf[sizeof(AppParam) + 8];
    std::memset(buf, 0xEE, sizeof buf);
    uint8_t status = 0;
    ASSERT_EQ(request(0, reinterpret_cast<intptr_t>(&status), 1, buf), 0);
    EXPECT_EQ(status, 1);
    const uint8_t head[] = {0x2A, 2,    0,    0,    0x04, 0x03, 0x02, 0x01, 0x05, 0x0A, 0xA8,
                            0xC0, 0x00, 0xFF, 0xFF, 0xFF, 0xB3, 0x15, 0x02, 0x01, 1};
    EXPECT_EQ(std::memcmp(buf, head, sizeof head), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(buf + 21), "/units/u0");
    EXPECT_EQ(buf[21 + 127], 0); // the rest of the field is zero
    EXPECT_STREQ(reinterpret_cast<char*>(buf + 149), "/units/u0/nvram");
    EXPECT_EQ(buf[149 + 128], 0);
    EXPECT_EQ(buf[278] << 8 | buf[279], 0x2A07); // the list, as far as the block reaches
    EXPECT_EQ(std::vector<uint8_t>(buf + sizeof(AppParam), buf + sizeof buf), std::vector<uint8_t>(8, 0xEE));
    // The application's view of the same bytes.
    AppParam p;
    std::memcpy(&p, buf, sizeof p);
    EXPECT_EQ(std::make_tuple(+p.pid, uint32_t{p.baseBootCounter}, uint32_t{p.ipv4Addr}, uint32_t{p.ipv4Mask},
                              int{p.xcpPort}, int{p.bc2PortOffset}, +p.ccpEnable),
              std::tuple(0x2A, 0x01020304u, 0xC0A80A05u, 0xFFFFFF00u, 0x15B3, 0x0102, 1));

    s.allPids = {0x11}; // a single PID ends with zero
    install();
    ASSERT_EQ(request(0, reinterpret_cast<intptr_t>(&status), 1, buf), 0);
    EXPECT_EQ(buf[278] << 8 | buf[279], 0x1100);
}

TEST_F(AppManager, BadRequestsAreRefusedAndInjectedFaultsPreemptTheHandler) {
    uint8_t buf[sizeof(AppParam)];
    uint8_t status = 7;
    EXPECT_EQ(request(0, reinterpret_cast<intptr_t>(&status), 1, buf, ID ^ 1), -1);
    EXPECT_EQ(request(0, 0, 1, buf), -1);                                   // no status byte
    EXPECT_EQ(request(0, reinterpret_cast<intptr_t>(&status), 0, buf), -1); // empty list
    EXPECT_EQ(request(0, reinterpret_cast<intptr_t>(&status), 1, nullptr), -1);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(request(5, 0, 1, buf), -1); // no such request
    // Watchdog requests need a pattern word.
    EXPECT_EQ(request(1, 0, 1, nullptr), -1);
    EXPECT_EQ(kmgr_syscall(2753, 0, ID, 1, 0, 1, 0), -1);
    EXPECT_EQ(kmgr::watchdogStatus().feeds, 0u);

    kmgr::injectFault(2752, -1, 2);
    EXPECT_EQ(kmgr_syscall(2752, 0, ID), -1);
    EXPECT_EQ(kmgr_syscall(2752, 0, ID), -1);
    EXPECT_EQ(kmgr_syscall(2752, 0, ID), 0);
    kmgr::injectFault(2753, 0, 1); // "succeeds" without loading: the status byte tells
    status = 0;
    EXPECT_EQ(request(0, reinterpret_cast<intptr_t>(&status), 1, buf), 0);
    EXPECT_EQ(status, 0);
}

TEST_F(AppManager, SymbolLookupWritesTheValue) {
    kmgr::registerSymbol("codegen_hookPartition_P1", 0x12345678);
    uintptr_t value = 0;
    EXPECT_EQ(request(4, reinterpret_cast<intptr_t>(&value), 1, "codegen_hookPartition_P1"), 0);
    EXPECT_EQ(value, 0x12345678u);
    value = 99;
    EXPECT_EQ(request(4, reinterpret_cast<intptr_t>(&value), 1, "codegen_hookPartition_P4"), -1);
    kmgr::unregisterSymbol("codegen_hookPartition_P1");
    EXPECT_EQ(request(4, reinterpret_cast<intptr_t>(&value), 1, "codegen_hookPartition_P1"), -1);
    EXPECT_EQ(value, 99u);
}

TEST_F(AppManager, EpkSettingsAndInterruptsAreRecorded) {
    char epk[40];
    std::memset(epk, 'E', sizeof epk); // 32 characters and no NUL within them
    EXPECT_EQ(kmgr_syscall(2700, 0, reinterpret_cast<intptr_t>(epk)), 0);
    EXPECT_EQ(kmgr::forwardedEpk(), std::string(32, 'E'));
    EXPECT_EQ(kmgr_syscall(2700, 0, reinterpret_cast<intptr_t>("KVX2_VYN_0.1.0")), 0);
    EXPECT_EQ(kmgr::forwardedEpk(), "KVX2_VYN_0.1.0");
    EXPECT_EQ(kmgr::epkForwardCount(), 2u);
    EXPECT_EQ(kmgr_syscall(2700, 0, 0), -1);
    EXPECT_EQ(kmgr_syscall(2704, 0, 7, 42), 0);
    ASSERT_EQ(kmgr::informedSettings().size(), 1u);
    EXPECT_EQ(std::pair(kmgr::informedSettings()[0].setting, kmgr::informedSettings()[0].value),
              std::pair(7u, 42u));

    // index, queue name, interrupt, four words, 0
    EXPECT_EQ(kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>("/MQ_TsMr"), 63, 0, 0x40002038, 0, 2, 0), 0);
    kmgr::InterruptConnection c;
    ASSERT_TRUE(kmgr::interruptConnection(63, &c));
    EXPECT_EQ(std::tuple(c.queue, c.words[1], c.words[3]), std::tuple("/MQ_TsMr", 0x40002038, 2));
    EXPECT_FALSE(kmgr::interruptConnection(62, nullptr));
    EXPECT_EQ(kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>(""), 5), -1);

    // A new installation (a new boot) forgets them.
    install();
    EXPECT_EQ(kmgr::forwardedEpk(), "");
    EXPECT_TRUE(kmgr::informedSettings().empty());
    EXPECT_FALSE(kmgr::interruptConnection(63, nullptr));
}

TEST_F(AppManager, RaisedInterruptsReachTheConnectedQueue) {
    uint32_t word = 0xA5A5;
    EXPECT_FALSE(kmgr::raiseInterrupt(40, &word, sizeof word)); // not connected
    ASSERT_EQ(kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>("/MQ_test_irq40"), 40), 0);
    EXPECT_FALSE(kmgr::raiseInterrupt(40, &word, sizeof word)); // its queue does not exist yet
    MSG_Q_ID q = msgQOpen("/MQ_test_irq40", 1, 4, MSG_Q_FIFO, OM_CREATE);
    ASSERT_NE(q, nullptr);
    EXPECT_TRUE(kmgr::raiseInterrupt(40, &word, sizeof word));
    EXPECT_FALSE(kmgr::raiseInterrupt(40, &word, sizeof word)); // full: the interrupt is lost
    uint32_t got = 0;
    EXPECT_EQ(msgQReceive(q, &got, sizeof got, NO_WAIT), 4);
    EXPECT_EQ(got, 0xA5A5u);
}

TEST_F(AppManager, WatchdogIsWatchedOnlyOnceFed) {
    sim::step(5000);
    EXPECT_FALSE(kmgr::watchdogStatus().armed);
    for (int i = 0; i < 30; ++i) { // regular feeds keep it quiet
        ASSERT_EQ(watchdog(1, 0xCAFE), 0);
        sim::step(10);
    }
    EXPECT_TRUE(kmgr::watchdogStatus().armed);
    EXPECT_EQ(kmgr::watchdogStatus().lastPattern, 0xCAFEu);
    sim::step(90); // exactly the time-out: still in time
    EXPECT_EQ(reactions.count(), 0u);
    sim::step(1);
    ASSERT_EQ(reactions.count(), 1u);
    EXPECT_EQ(reactions.last(),
              std::pair(std::string("application watchdog of RTP 0 not fed for 101 ms"), false));
    sim::step(500); // one line per lapse
    EXPECT_EQ(reactions.count(), 1u);

    ASSERT_EQ(watchdog(1), 0); // a new feed starts a new watch
    sim::step(101);
    EXPECT_EQ(reactions.count(), 2u);
    EXPECT_EQ(kmgr::watchdogStatus().expiries, 2u);
    EXPECT_EQ(kmgr::watchdogStatus().feeds, 31u);
}

TEST_F(AppManager, StarvingReactsAtTheNextTick) {
    ASSERT_EQ(watchdog(2), 0); // before the first feed: recorded only
    sim::step(10);
    EXPECT_EQ(reactions.count(), 0u);
    EXPECT_EQ(kmgr::watchdogStatus().starves, 1u);

    s.watchdogExit = true;
    install();
    ASSERT_EQ(watchdog(1), 0);
    ASSERT_EQ(watchdog(2), 0);
    EXPECT_EQ(reactions.count(), 0u);
    sim::step(1);
    ASSERT_EQ(reactions.count(), 1u);
    EXPECT_EQ(reactions.last(),
              std::pair(std::string("application watchdog of RTP 0 starved, resetting the process"), true));
}

TEST_F(AppManager, ShutdownModeEndsTheWatch) {
    for (intptr_t req : {1, 3, 2})
        ASSERT_EQ(watchdog(req), 0);
    sim::step(1000);
    auto st = kmgr::watchdogStatus();
    EXPECT_TRUE(st.shutdown);
    EXPECT_EQ(std::tuple(st.feeds, st.starves, st.shutdowns), std::tuple(1u, 1u, 1u));
    EXPECT_EQ(watchdog(1), 0); // feeds after it are taken and change nothing
    sim::step(1000);
    EXPECT_EQ(reactions.count(), 0u);
}

} // namespace
