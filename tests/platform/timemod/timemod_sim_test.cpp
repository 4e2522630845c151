#include "platform/timemod/timemod_sim.h"
#include "support/stepped.h"

#include "platform/hw/board_sim.h"
#include "platform/hw/hw.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr.h"

namespace {

constexpr uintptr_t B = zynq::TIME_BASE;
// 100 us units: one gap a second
constexpr uint32_t RUN = 4, MASTER = 2, PERIOD = 10000, FULL = 3 | 1 << 16 | 15 << 4 | 63 << 20;
using u32s = std::vector<uint32_t>;

struct TimeSim : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        hwsim::installBoard(); // the plain window the module replaces
        timemodsim::install();
    }
    static void set(uintptr_t off, uint32_t v) { hw_write32(B + off, v); }
    static u32s regs(std::initializer_list<uintptr_t> offs) {
        u32s v;
        for (uintptr_t off : offs)
            v.push_back(hw_read32(B + off));
        return v;
    }
    // Ticks until the next gap has just passed.
    void toNextGap() { sim::step((regs({0x20})[0] - regs({0x10})[0] + 9) / 10); }
};

TEST_F(TimeSim, SlaveSyncResetMasterAndInterrupts) {
    sim::step(7); // control, status (a slave without sync values has no signal), time, gap times
    EXPECT_EQ(regs({0x24, 0x08, 0x10, 0x18, 0x20}), (u32s{RUN, 1, 70, 70, PERIOD}));
    set(0x2C, 500000); // the master's next-gap timestamp
    toNextGap();
    EXPECT_EQ(regs({0x10, 0x08}), (u32s{500000, FULL}));
    sim::step(10); // steady time does not jump
    EXPECT_EQ(regs({0x10, 0x18, 0x20}), (u32s{500100, PERIOD + 100, 500000 + PERIOD}));
    toNextGap(), toNextGap();
    EXPECT_EQ(regs({0x08}), u32s{FULL});
    toNextGap(); // three gaps without a value
    EXPECT_EQ(regs({0x08}), u32s{1});

    set(0x24, 0); // held in reset: no time, no state
    sim::step(5);
    EXPECT_EQ(regs({0x10, 0x14, 0x18, 0x08}), (u32s{0, 0, 0, 0}));
    set(0x24, RUN | MASTER), sim::step(3);
    EXPECT_EQ(regs({0x10, 0x08}), (u32s{30, FULL})); // the master drives the line

    kmgr::installAppManager();
    MSG_Q_ID q = msgQOpen("/MQ_TsMr", 10, 4, MSG_Q_FIFO, OM_CREATE);
    set(0x34, 2); // enabled but not connected
    toNextGap();
    EXPECT_EQ(std::pair(timemodsim::interruptsDelivered(), timemodsim::interruptsLost()),
              std::pair(0ul, 1ul));
    ASSERT_EQ(
        kmgr_syscall(2695, 0, reinterpret_cast<intptr_t>("/MQ_TsMr"), 63, 0, intptr_t(B + 0x38), 0, 2, 0), 0);
    sim::step(11 * PERIOD / 10); // a full queue loses the surplus instead of blocking the clock
    EXPECT_EQ(msgQNumMsgs(q), 10);
    EXPECT_EQ(std::pair(timemodsim::interruptsDelivered(), timemodsim::interruptsLost()),
              std::pair(10ul, 2ul));
}

} // namespace
