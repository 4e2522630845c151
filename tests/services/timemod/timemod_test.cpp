// TIME module over its simulated core: identification, timestamps, status, control and the gap
// interrupt's messages.
#include "services/timemod/fpgacheck.h"
#include "services/timemod/timemod.h"
#include "support/stepped.h"

#include "services/rtpman/rtpman.h"
#include "platform/hw/hw.h"
#include "platform/hw/hw_sim.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/timemod/timemod_sim.h"
#include "vyn/vartable.h"

namespace {

using u32s = std::vector<uint32_t>;

uint32_t reg(uintptr_t off) {
    return hw_read32(TIME_MODULE_BASE + off);
}

struct TimeModule : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        timemodsim::install();
        timemod_reset();
    }
    size_t countLogged(const std::string& needle) {
        logged(needle);
        return std::count_if(seen.begin(), seen.end(),
                             [&](auto& l) { return l.text.find(needle) != std::string::npos; });
    }
    // Runs `body` in a task (it may wait on the clock) and steps time until it is done.
    void inTask(std::function<void()> body) {
        std::atomic<bool> done{false};
        taskSpawnFn("t_timemod", 100, 0, 0, [&] {
            body();
            done = true;
        });
        for (int i = 0; i < 1000 && !done; ++i)
            sim::step(1);
        ASSERT_TRUE(done);
    }
};

TEST_F(TimeModule, IdentificationAcceptsTheListedVersionsOnly) {
    EXPECT_EQ(time_init(), 1);
    EXPECT_EQ(time_getID(), 0x5453594Eu);
    char name[5];
    uint32_t version = 0;
    ASSERT_TRUE(fpga_getModule(0, name, &version));
    EXPECT_STREQ(name, "TSYN");
    EXPECT_EQ(version, timemodsim::DEFAULT_VERSION);

    // 1.01.0B, 1.02.00, 1.03.00 with any build hash, an unreleased build (with a warning); then refused.
    for (auto [v, ok] : {std::pair{0x1010B123u, 1},
                         {0x10200000u, 1},
                         {0x10300FFFu, 1},
                         {0x903002A7u, 1},
                         {0x1010A000u, 0},
                         {0x10400000u, 0},
                         {0x20300000u, 0},
                         {0x00300000u, 0}}) {
        timemodsim::setIdentity(timemodsim::ID, v);
        EXPECT_EQ(time_init(), ok) << std::hex << v;
    }
    EXPECT_EQ(fpga_getModuleCount(), 1); // one entry per core
    EXPECT_TRUE(logged("APAL: Module ID 'TSYN': is dirty!  ip: 0, Ver 1.03.0 Hash:  2A7"));
    timemodsim::setIdentity(0x4D616463, 0x10300000); // another core in its place
    EXPECT_EQ(time_init(), 0);
    hwsim::removeDevice(TIME_MODULE_BASE); // nothing on the bus
    EXPECT_EQ(time_init(), 0);
}

TEST_F(TimeModule, TimestampsFollowTheClock) {
    const u32s before = {time_getTimestamp(), time_getTimeSteady(), reg(TIME_REG_FREE_RUN)};
    sim::step(25);
    EXPECT_EQ(time_getTimestamp_reg(), time_getTimestamp());
    // 100 us units; the free-running counter at 50 MHz
    EXPECT_EQ((u32s{time_getTimestamp() - before[0], time_getTimeSteady() - before[1],
                    reg(TIME_REG_FREE_RUN) - before[2]}),
              (u32s{250, 250, 25 * 50000}));
}

TEST_F(TimeModule, StatusFieldsAndSyncStateLog) {
    // Full sync with external sync, pin high, sync quality 10, signal, short circuit, quality 43.
    timemodsim::setStatus(3u | 1u << 2 | 1u << 3 | 0xAu << 4 | 1u << 16 | 1u << 17 | 43u << 20);
    timemodsim::setErrorCounters(0x70000123);
    EXPECT_EQ((u32s{time_getSyncState(), time_getSyncState(), time_getSyncXState(), time_getSyncState_reg(),
                    time_getExtSyncFlag(), time_getPinLevel(), time_getQualitySync(), time_getSignalFlag(),
                    time_getShortCircuitFlag(), time_getQualitySignal(), time_getGapErrorCnt(),
                    time_getGlitchesCnt()}),
              (u32s{3, 3, 7, 3, 1, 1, 10, 1, 1, 43, 7, 0x123}));
    EXPECT_EQ(countLogged("syncState EXT_FULL_SYNC at LocTime"), 1u);
    EXPECT_TRUE(logged("q signal 43 signal 1 q sync 10"));

    // Every change of the extended state logs once; the register read never does.
    for (auto [word, text] : {std::pair{3u, "syncState FULL_SYNC"},
                              {2u, "syncState SYNC_SIGNAL"},
                              {1u | 1u << 2, "syncState EXT_NO_SIGNAL"},
                              {0u, "syncState UNKNOWN"}}) {
        timemodsim::setStatus(word);
        time_getSyncState_reg();
        time_getSyncState();
        time_getSyncState();
        EXPECT_EQ(countLogged(text), 1u) << text;
    }

    // The measurement block, every 10 ms.
    timemodsim::setStatus(2u | 1u << 2 | 5u << 4 | 1u << 16 | 9u << 20);
    timemodsim::setErrorCounters(0x1FFFFFFF);
    time_MrSetControl(1);
    sim::step(3);
    timedistr_measdata_10ms();
    EXPECT_EQ((u32s{ts_value, ts_steady, ts_gaperrcnt, ts_glcnt, ts_state, ts_qsignal, ts_qsync, ts_extsync,
                    ts_signal, ts_short_circ, ts_pinlevel, ts_master}),
              (u32s{time_getTimestamp(), time_getTimeSteady(), 1, 0x0FFFFFFF, 2, 9, 5, 1, 1, 0, 0, 1}));
}

TEST_F(TimeModule, ControlBitsAndInitialisation) {
    EXPECT_EQ(reg(TIME_REG_CONTROL), TIME_CTRL_RUN);
    time_MrSetControl(1);
    EXPECT_EQ(reg(TIME_REG_CONTROL), TIME_CTRL_RUN | TIME_CTRL_MASTER | TIME_CTRL_SWITCH);
    EXPECT_EQ(time_getMaster(), 1);
    time_switchIOPin(1);
    time_MrSetControl(0); // leaves the other bits
    EXPECT_EQ(reg(TIME_REG_CONTROL), TIME_CTRL_RUN | TIME_CTRL_IOPIN);
    EXPECT_EQ(time_getMaster(), 0);

    // Not master: a reset pulse restarts the timestamp, then master mode.
    sim::step(50);
    ASSERT_GE(time_getTimestamp(), 500u);
    inTask([] { time_initTimeModule(); });
    EXPECT_EQ(reg(TIME_REG_CONTROL), TIME_CTRL_RUN | TIME_CTRL_MASTER | TIME_CTRL_IOPIN);
    EXPECT_LT(time_getTimestamp(), 20u);
    // Already master: no reset pulse, the timestamp runs on.
    sim::step(50);
    const uint32_t before = time_getTimestamp();
    time_initTimeModule();
    EXPECT_EQ(time_getTimestamp(), before);
}

TEST_F(TimeModule, InterruptMessagesOnTheTimeServiceQueue) {
    kmgr::clearFaults();
    kmgr::installAppManager();
    RtpManUsr_setIndex(0);
    MSG_Q_ID q = msgQOpen(TIME_ISR_QUEUE, 10, 4, MSG_Q_FIFO, OM_CREATE);
    ASSERT_NE(q, nullptr);
    uint32_t msg;
    while (msgQReceive(q, &msg, sizeof msg, NO_WAIT) > 0) {
    }
    kmgr::injectFault(KCALL_INTR_CONNECT, -1);
    EXPECT_EQ(time_initMrIsr(), -1);
    EXPECT_EQ(reg(TIME_REG_IRQ_ENABLE), 0u);
    sim::step(timemodsim::GAP_PERIOD / 10);
    EXPECT_EQ(msgQNumMsgs(q), 0);

    ASSERT_EQ(time_initMrIsr(), 0);
    kmgr::InterruptConnection c;
    ASSERT_TRUE(kmgr::interruptConnection(TIME_INTERRUPT, &c));
    EXPECT_EQ(c.queue, "/MQ_TsMr");
    EXPECT_EQ((std::vector<intptr_t>(c.words, c.words + 4)),
              (std::vector<intptr_t>{0, static_cast<intptr_t>(TIME_MODULE_BASE + TIME_REG_IRQ_ACK), 0, 2}));
    EXPECT_EQ(reg(TIME_REG_IRQ_ENABLE), TIME_IRQ_ENABLE_BIT);

    // One 4-byte message per gap: the timestamp at the gap, as the next-gap register promised.
    const uint32_t next = time_getNextGapTimestamp();
    sim::step((next - time_getTimestamp()) / 10 - 1);
    EXPECT_EQ(msgQNumMsgs(q), 0);
    for (uint32_t gap = next; gap < next + 2 * timemodsim::GAP_PERIOD; gap += timemodsim::GAP_PERIOD) {
        sim::step(gap == next ? 1 : timemodsim::GAP_PERIOD / 10);
        ASSERT_EQ(msgQNumMsgs(q), 1);
        ASSERT_EQ(msgQReceive(q, &msg, sizeof msg, NO_WAIT), 4);
        EXPECT_EQ(msg, gap);
        EXPECT_EQ(time_getNextGapTimestamp(), gap + timemodsim::GAP_PERIOD);
    }
    msgQClose(q);
}

} // namespace
