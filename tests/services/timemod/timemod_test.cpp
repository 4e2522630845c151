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

using TimeModule = testsupport::SteppedWith<timemodsim::install, timemod_reset>;

TEST_F(TimeModule, IdentificationAcceptsTheListedVersionsOnly) {
    EXPECT_EQ(time_init(), 1);
    EXPECT_EQ(time_getID(), 0x5453594Eu); // "TSYN"
    // 1.01.0B, 1.02.00, 1.03.00 with any build hash, an unreleased build (with a warning); then refused.
    int i = 0;
    for (uint32_t v : {0x1010B123u, 0x10200000u, 0x10300FFFu, 0x903002A7u, 0x1010A000u, 0x10400000u,
                       0x20300000u, 0x00300000u}) {
        timemodsim::setIdentity(timemodsim::ID, v);
        EXPECT_EQ(time_init(), i++ < 4) << std::hex << v;
    }
    EXPECT_EQ(fpga_getModuleCount(), 1); // one entry per core
    EXPECT_TRUE(logged("APAL: Module ID 'TSYN': is dirty!  ip: 0, Ver 1.03.0 Hash:  2A7"));
    timemodsim::setIdentity(0x4D616463, 0x10300000); // another core in its place
    EXPECT_EQ(time_init(), 0);
    hwsim::removeDevice(TIME_MODULE_BASE); // nothing on the bus
    EXPECT_EQ(time_init(), 0);
}

TEST_F(TimeModule, TimestampsFollowTheClockAndStatusFieldsReachTheMeasurementBlock) {
    timedistr_measdata_10ms();
    const u32s before = {time_getTimestamp(), ts_value, ts_steady, reg(TIME_REG_FREE_RUN)};
    sim::step(25);
    timedistr_measdata_10ms();
    EXPECT_EQ(time_getTimestamp_reg(), time_getTimestamp());
    // 100 us units; the free-running counter at 50 MHz
    EXPECT_EQ((u32s{time_getTimestamp() - before[0], ts_value - before[1], ts_steady - before[2],
                    reg(TIME_REG_FREE_RUN) - before[3]}),
              (u32s{250, 250, 250, 25 * 50000}));

    // The status and error counter words as the measurement block shows them every 10 ms; a change
    // of the extended sync state is logged.
    time_MrSetControl(1);
    const struct {
        uint32_t status, errors;
        u32s want; // state, q signal, q sync, ext sync, signal, short circuit, pin, gap errors, glitches
    } cases[] = {
        {3u | 1u << 2 | 1u << 3 | 0xAu << 4 | 1u << 16 | 1u << 17 | 43u << 20,
         0x70000123,
         {3, 43, 10, 1, 1, 1, 1, 7, 0x123}},
        {2u | 1u << 2 | 5u << 4 | 1u << 16 | 9u << 20, 0x1FFFFFFF, {2, 9, 5, 1, 1, 0, 0, 1, 0x0FFFFFFF}},
        {2u | 1u << 2 | 1u << 3 | 1u << 20, 0x80000001, {2, 1, 0, 1, 0, 0, 1, 8, 1}}, // pin high, no signal
    };
    for (const auto& c : cases) {
        timemodsim::setStatus(c.status);
        timemodsim::setErrorCounters(c.errors);
        timedistr_measdata_10ms();
        EXPECT_EQ((u32s{ts_state, ts_qsignal, ts_qsync, ts_extsync, ts_signal, ts_short_circ, ts_pinlevel,
                        ts_gaperrcnt, ts_glcnt, ts_master}),
                  (u32s{c.want[0], c.want[1], c.want[2], c.want[3], c.want[4], c.want[5], c.want[6],
                        c.want[7], c.want[8], 1}));
        EXPECT_EQ((u32s{time_getSyncState(), time_getSyncXState(), time_getSyncState_reg()}),
                  (u32s{c.want[0], c.want[0] | 4, c.want[0]}));
    }
    EXPECT_TRUE(logged("syncState EXT_FULL_SYNC at LocTime"));
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
    EXPECT_TRUE(logged("syncState EXT_FULL_SYNC at LocTime")); // a change of the extended state is logged
    // The flags each on its own (bit 26 lies beyond the signal quality): external sync with a short
    // circuit, then with the pin high; extended state, flags, qualities, counters.
    const std::pair<uint32_t, u32s> more[] = {
        {1u | 1u << 2 | 0xFu << 4 | 1u << 17 | 0x3Fu << 20 | 1u << 26, {5, 1, 0, 15, 0, 1, 63, 8, 1}},
        {2u | 1u << 2 | 1u << 3 | 0x1u << 20, {6, 1, 1, 0, 0, 0, 1, 8, 1}}};
    timemodsim::setErrorCounters(0x80000001);
    for (const auto& [status, want] : more) {
        timemodsim::setStatus(status);
        EXPECT_EQ((u32s{time_getSyncXState(), time_getExtSyncFlag(), time_getPinLevel(),
                        time_getQualitySync(), time_getSignalFlag(), time_getShortCircuitFlag(),
                        time_getQualitySignal(), time_getGapErrorCnt(), time_getGlitchesCnt()}),
                  want)
            << std::hex << status;
    }
    const uint32_t steady = time_getTimeSteady();
    sim::step(25);
    EXPECT_EQ(time_getTimeSteady() - steady, 250u); // 100 us units
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
    std::atomic<bool> done{false};
    taskSpawnFn("t_timemod", 100, 0, 0, [&done] { // it waits on the clock
        time_initTimeModule();
        done = true;
    });
    for (int i = 0; i < 1000 && !done; ++i)
        sim::step(1);
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
    EXPECT_EQ(std::pair(c.queue, c.words[1]),
              std::pair(std::string("/MQ_TsMr"), intptr_t(TIME_MODULE_BASE + TIME_REG_IRQ_ACK)));
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
