#include "platform/timemod/timemod_sim.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <gtest/gtest.h>

namespace {

constexpr uintptr_t B = zynq::TIME_BASE;
constexpr uint32_t RUN = 1u << 2, MASTER = 1u << 1;
constexpr uint32_t FULL_SYNC_STATUS = 3u | 1u << 16 | 15u << 4 | 63u << 20;
constexpr uint64_t GAP_TICKS = timemodsim::GAP_PERIOD / 10;

uint32_t reg(uintptr_t off) {
    return hw_read32(B + off);
}
void set(uintptr_t off, uint32_t v) {
    hw_write32(B + off, v);
}

struct TimeSim : ::testing::Test {
    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        hwsim::installBoard(); // the plain window the module replaces
        timemodsim::install();
    }
    // Ticks until the next gap has just passed.
    void toNextGap() {
        uint32_t left = reg(0x20) - reg(0x10);
        sim::step((left + 9) / 10);
    }
};

TEST_F(TimeSim, PowerOnStateAndReset) {
    EXPECT_EQ(reg(0x00), timemodsim::ID);
    EXPECT_EQ(reg(0x04), timemodsim::DEFAULT_VERSION);
    EXPECT_EQ(reg(0x24), RUN);
    EXPECT_EQ(reg(0x08), 1u); // a slave without sync values: no signal
    sim::step(7);
    EXPECT_EQ(reg(0x10), 70u);
    EXPECT_EQ(reg(0x18), 70u);
    EXPECT_EQ(reg(0x20), timemodsim::GAP_PERIOD);

    // Held in reset: no time, no state; the free-running counter goes on.
    set(0x24, 0);
    uint32_t c0 = reg(0x1C);
    sim::step(5);
    EXPECT_EQ(reg(0x10), 0u);
    EXPECT_EQ(reg(0x14), 0u);
    EXPECT_EQ(reg(0x18), 0u);
    EXPECT_EQ(reg(0x08), 0u);
    EXPECT_EQ(reg(0x1C) - c0, 5u * 50000u);
    set(0x24, RUN | MASTER);
    sim::step(3);
    EXPECT_EQ(reg(0x10), 30u);
    EXPECT_EQ(reg(0x08), FULL_SYNC_STATUS); // the master drives the line

    timemodsim::setStatus(0x12);
    EXPECT_EQ(reg(0x08), 0x12u);
    timemodsim::setErrorCounters(0xABCDEF01);
    EXPECT_EQ(reg(0x0C), 0xABCDEF01u);
    EXPECT_EQ(reg(0x3C0), 0u); // unused offsets read 0
}

TEST_F(TimeSim, SlaveTakesTheNextGapValueAndLosesSyncWithoutIt) {
    sim::step(120);
    set(0x2C, 500000); // the master's next-gap timestamp
    EXPECT_EQ(reg(0x2C), 500000u);
    EXPECT_EQ(reg(0x10), 1200u); // nothing changes before the gap
    toNextGap();
    EXPECT_EQ(reg(0x10), 500000u);
    EXPECT_EQ(reg(0x08), FULL_SYNC_STATUS);
    sim::step(10);
    EXPECT_EQ(reg(0x10), 500100u);
    EXPECT_EQ(reg(0x18), timemodsim::GAP_PERIOD + 100u); // steady time does not jump
    EXPECT_EQ(reg(0x20), 500000u + timemodsim::GAP_PERIOD);

    for (int i = 0; i < 2; ++i) {
        toNextGap();
        EXPECT_EQ(reg(0x08), FULL_SYNC_STATUS) << i;
    }
    toNextGap(); // three gaps without a value
    EXPECT_EQ(reg(0x08), 1u);
}

TEST_F(TimeSim, InterruptsNeedEnableAndAConnection) {
    kmgr::installAppManager();
    MSG_Q_ID q = msgQOpen("/MQ_TsMr", 10, 4, MSG_Q_FIFO, OM_CREATE);
    ASSERT_NE(q, nullptr);
    uint32_t msg;
    while (msgQReceive(q, &msg, sizeof msg, NO_WAIT) > 0) {
    }
    toNextGap();
    EXPECT_EQ(timemodsim::interruptsDelivered() + timemodsim::interruptsLost(), 0u);

    set(0x34, 2); // enabled but not connected
    toNextGap();
    EXPECT_EQ(timemodsim::interruptsLost(), 1u);

    const char* name = "/MQ_TsMr";
    ASSERT_EQ(kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>(name), 63, 0, static_cast<intptr_t>(B + 0x38),
                           0, 2, 0),
              0);
    toNextGap();
    EXPECT_EQ(timemodsim::interruptsDelivered(), 1u);
    ASSERT_EQ(msgQReceive(q, &msg, sizeof msg, NO_WAIT), 4);
    EXPECT_EQ(msg, 3 * timemodsim::GAP_PERIOD);

    // A full queue loses the surplus instead of blocking the clock.
    for (int i = 0; i < 11; ++i)
        sim::step(GAP_TICKS);
    EXPECT_EQ(msgQNumMsgs(q), 10);
    EXPECT_EQ(timemodsim::interruptsLost(), 2u);
    msgQClose(q);
}

} // namespace
