#include "acquisition/board/board.h"

#include "platform/hw/board_sim.h"
#include "platform/hw/hw.h"
#include "services/timemod/fpgacheck.h"
#include "support/errors.h"
#include "support/stepped.h"

using testsupport::errors;

namespace {

struct Board : testsupport::SteppedTest {
    void SetUp() override { SteppedTest::SetUp(), fpga_resetModuleList(), hwsim::installBoard(); }
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

TEST_F(Board, PwmOutputsRotationalSpeedsAndTheExpanderAnswerOnTheirChannelsOnly) {
    ASSERT_EQ(pwmout_init(), 1);
    PwmOut_Set(0, 95.0f, 1000.0f); // the display's backlight at power-on
    PwmOut_Set(3, 150.0f, 20000.0f);
    PwmOut_Set(8, 50.0f, 100.0f);
    EXPECT_TRUE(logged("PwmOut_Set(): no such channel 8"));
    double duty[2], hz[2];
    ASSERT_TRUE(hwsim::pwmOutput(0, &duty[0], &hz[0]) && hwsim::pwmOutput(3, &duty[1], &hz[1]));
    EXPECT_EQ(std::vector({duty[0], hz[0], duty[1], hz[1]}), std::vector({95.0, 1000.0, 100.0, 20000.0}));
    ASSERT_TRUE(hwsim::setPwmFault(3, true));
    pwmdiag_100ms(), pwmdiag_100ms();
    ASSERT_TRUE(hwsim::setPwmFault(3, false));
    pwmdiag_100ms(), pwmdiag_100ms();
    EXPECT_EQ(errors, (std::vector<std::pair<int, int>>{{362, 12}, {362, 12}, {362, 0}}))
        << "PWM04, current limit";
    pwmout_shutdown();
    ASSERT_TRUE(hwsim::pwmOutput(0, &duty[0], &hz[0]));
    EXPECT_EQ(std::pair(duty[0], hz[0]), std::pair(0.0, 0.0));

    ASSERT_EQ(RotationalSpeed_Init(), 1);
    ASSERT_TRUE(hwsim::setRevFrequency(2, 250.0));
    EXPECT_EQ(std::pair(RotationalSpeed_GetSpeed(2), RotationalSpeed_GetSpeed(4)), std::pair(250.0f, 0.0f));
    EXPECT_TRUE(logged("RotationalSpeed channel no 4 doesn't exist on this target!"));

    ASSERT_TRUE(spi_IOInit() == 1 && max7301_Init() == 1);
    EXPECT_EQ(std::vector({max7301_Digital_Write(0, 27, 0), max7301_Digital_Write(0, 28, 0),
                           max7301_Digital_Write(1, 0, 0)}),
              std::vector<uint8_t>({1, 0, 0}));
    EXPECT_TRUE(logged("max7301_Digital_Write (Device = 0): write access failed"));
    ASSERT_TRUE(hwsim::removeBoardDevice(zynq::AXI_SPI_BASE));
    EXPECT_EQ(std::pair(spi_IOInit(), max7301_Init()), std::pair(uint8_t{0}, uint8_t{0}));
}

} // namespace
