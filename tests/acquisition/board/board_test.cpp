#include "acquisition/board/board.h"

#include "platform/hw/board_sim.h"
#include "platform/hw/hw.h"
#include "services/timemod/fpgacheck.h"
#include "support/stepped.h"

namespace {

struct Board : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        fpga_resetModuleList();
        hwsim::installBoard();
    }
    void TearDown() override { hwsim::installBoard(); }
};

TEST_F(Board, DigitalInputsReadThePinsOfTheirBankAndOutputsAreDrivenOneAtATime) {
    digital_ioOut(8, 1);
    EXPECT_FALSE(hwsim::digitalOut(8)) << "not driven before the controller is set up";
    ASSERT_EQ(gpio_ini(), 1);
    EXPECT_EQ(digital_ioIn(DIN_POWER_GOOD), 1) << "power-on: power good";
    for (uint8_t ch = 0; ch < 9; ++ch) {
        ASSERT_TRUE(hwsim::setDigitalIn(ch, ch % 2 == 0));
        EXPECT_EQ(digital_ioIn(ch), ch % 2 == 0 ? 1 : 0) << int(ch);
    }
    EXPECT_EQ(digital_ioIn(9), 0);
    EXPECT_TRUE(logged("digital_ioIn(): call to unknown channel"));

    // Outputs are driven one at a time.
    digital_ioOut(8, 1), digital_ioOut(10, 5), digital_ioOut(0, 1);
    for (int out = 0; out < 12; ++out)
        EXPECT_EQ(hwsim::digitalOut(out), out == 0 || out == 8 || out == 10) << out;
    digital_ioOut(8, 0);
    EXPECT_TRUE(!hwsim::digitalOut(8) && hwsim::digitalOut(10)) << "a masked write leaves the other pins";

    digital_ioOut(12, 1);
    EXPECT_TRUE(logged("digital_ioOut(): call to unknown channel"));

    ASSERT_TRUE(hwsim::removeBoardDevice(zynq::GPIO_BASE));
    EXPECT_EQ(gpio_ini(), 0);
}

TEST_F(Board, FpgaIdentityIsChecked) {
    EXPECT_EQ(ecfv_init(), 1) << "the board carries the expected identity";
    ASSERT_TRUE(hwsim::setFpgaIdentity(0x45434657, hwsim::BOARD_FPGA_VERSION));
    EXPECT_EQ(ecfv_init(), 0);
    ASSERT_TRUE(hwsim::setFpgaIdentity(hwsim::BOARD_FPGA_ID, 0x10200000)); // 1.02.0
    EXPECT_EQ(ecfv_init(), 0);
    EXPECT_TRUE(logged("'ECFV' version 1.02.00 not accepted"));
    ASSERT_TRUE(hwsim::setFpgaIdentity(hwsim::BOARD_FPGA_ID, 0x10100ABC)); // build hash only
    EXPECT_EQ(ecfv_init(), 1);

    ASSERT_TRUE(hwsim::removeBoardDevice(zynq::FPGA_IDENT_BASE));
    EXPECT_EQ(ecfv_init(), 0) << "nothing on the bus";
}

} // namespace
