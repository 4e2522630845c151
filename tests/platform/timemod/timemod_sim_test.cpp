#include "platform/timemod/timemod_sim.h"

#include "platform/hw/hw.h"
#include "platform/hw/board_sim.h"
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
using u32s = std::vector<uint32_t>;
u32s regs(std::initializer_list<uintptr_t> offsets) {
    u32s v;
    for (uintptr_t off : offsets)
        v.push_back(reg(off));
    return v;
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
    // id, version, control; a slave without sync values has no signal
    EXPECT_EQ(regs({0x00, 0x04, 0x24, 0x08}), (u32s{timemodsim::ID, timemodsim::DEFAULT_VERSION, RUN, 1}));
    sim::step(7);
    EXPECT_EQ(regs({0x10, 0x18, 0x20}), (u32s{70, 70, timemodsim::GAP_PERIOD}));

    // Held in reset: no time, no state; the free-running counter goes on.
    set(0x24, 0);
    const uint32_t c0 = reg(0x1C);
    sim::step(5);
    EXPECT_EQ(regs({0x10, 0x14, 0x18, 0x08}), (u32s{0, 0, 0, 0}));
    EXPECT_EQ(reg(0x1C) - c0, 5u * 50000u);
    set(0x24, RUN | MASTER);
    sim::step(3);
    EXPECT_EQ(regs({0x10, 0x08}), (u32s{30, FULL_SYNC_STATUS})); // the master drives the line

    timemodsim::setStatus(0x12);
    timemodsim::setErrorCounters(0xABCDEF01);
    EXPECT_EQ(regs({0x08, 0x0C, 0x3C0}), (u32s{0x12, 0xABCDEF01, 0})); // unused offsets read 0
}

TEST_F(TimeSim, SlaveTakesTheNextGapValueAndLosesSyncWithoutIt) {
    sim::step(120);
    set(0x2C, 500000);                                   // the master's next-gap timestamp
    EXPECT_EQ(regs({0x2C, 0x10}), (u32s{500000, 1200})); // nothing changes before the gap
    toNextGap();
    EXPECT_EQ(regs({0x10, 0x08}), (u32s{500000, FULL_SYNC_STATUS}));
    sim::step(10);
    // steady time does not jump
    EXPECT_EQ(regs({0x10, 0x18, 0x20}),
              (u32s{500100, timemodsim::GAP_PERIOD + 100, 500000 + timemodsim::GAP_PERIOD}));

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
