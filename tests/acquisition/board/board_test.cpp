#include "acquisition/board/board.h"

#include "platform/hw/hw.h"
#include "platform/hw/hw_sim.h"
#include "platform/hw/board_sim.h"
#include "services/timemod/fpgacheck.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

struct Board : ::testing::Test {
    std::vector<testsupport::LogLine> seen;
    void SetUp() override {
        testsupport::logStart();
        fpga_resetModuleList();
        hwsim::installBoard();
    }
    void TearDown() override { hwsim::installBoard(); }
};

TEST_F(Board, DigitalInputsReadThePinsOfTheirBank) {
    ASSERT_EQ(gpio_ini(), 1);
    EXPECT_EQ(digital_ioIn(DIN_POWER_GOOD), 1) << "power-on: power good";
    for (int ch = 0; ch < 9; ++ch)
        ASSERT_TRUE(hwsim::setDigitalIn(ch, ch % 2 == 0));
    for (uint8_t ch = 0; ch < 9; ++ch)
        EXPECT_EQ(digital_ioIn(ch), ch % 2 == 0 ? 1 : 0) << int(ch);
    EXPECT_EQ(digital_ioIn(9), 0);
    EXPECT_TRUE(testsupport::logContains(seen, "digital_ioIn(): call to unknown channel"));
}

TEST_F(Board, DigitalOutputsAreDrivenOneAtATime) {
    EXPECT_FALSE(hwsim::digitalOut(8)) << "not driven before the controller is set up";
    digital_ioOut(8, 1);
    EXPECT_FALSE(hwsim::digitalOut(8));
    ASSERT_EQ(gpio_ini(), 1);
    digital_ioOut(8, 1);
    digital_ioOut(10, 5);
    digital_ioOut(0, 1);
    for (int out = 0; out < 12; ++out)
        EXPECT_EQ(hwsim::digitalOut(out), out == 0 || out == 8 || out == 10) << out;
    digital_ioOut(8, 0);
    EXPECT_FALSE(hwsim::digitalOut(8));
    EXPECT_TRUE(hwsim::digitalOut(10)) << "a masked write leaves the other pins";

    digital_ioOut(12, 1);
    EXPECT_TRUE(testsupport::logContains(seen, "digital_ioOut(): call to unknown channel"));

    ASSERT_TRUE(hwsim::removeBoardDevice(zynq::GPIO_BASE));
    EXPECT_EQ(gpio_ini(), 0);
}

TEST_F(Board, FpgaIdentityIsChecked) {
    EXPECT_EQ(ecfv_init(), 1) << "the board carries the expected identity";
    ASSERT_TRUE(hwsim::setFpgaIdentity(0x45434657, hwsim::BOARD_FPGA_VERSION));
    EXPECT_EQ(ecfv_init(), 0);
    ASSERT_TRUE(hwsim::setFpgaIdentity(hwsim::BOARD_FPGA_ID, 0x10200000)); // 1.02.0
    EXPECT_EQ(ecfv_init(), 0);
    EXPECT_TRUE(testsupport::logContains(seen, "'ECFV' version 1.02.00 not accepted"));
    ASSERT_TRUE(hwsim::setFpgaIdentity(hwsim::BOARD_FPGA_ID, 0x10100ABC)); // build hash only
    EXPECT_EQ(ecfv_init(), 1);

    ASSERT_TRUE(hwsim::removeBoardDevice(zynq::FPGA_IDENT_BASE));
    EXPECT_EQ(ecfv_init(), 0) << "nothing on the bus";
}

TEST_F(Board, ChipMonitorGettersReadTheirOwnRegisters) {
    const std::pair<const char*, uint32_t (*)()> getters[] = {
        {"temp", xadc_getChipTemp},          {"temp_min", xadc_getChipTemp_mn},
        {"temp_max", xadc_getChipTemp_mx},   {"vccint", xadc_getVccint},
        {"vccint_min", xadc_getVccint_mn},   {"vccint_max", xadc_getVccint_mx},
        {"vccpint", xadc_getVccpint},        {"vccpint_min", xadc_getVccpint_mn},
        {"vccpint_max", xadc_getVccpint_mx}, {"vccaux", xadc_getVccaux},
        {"vccaux_min", xadc_getVccaux_mn},   {"vccaux_max", xadc_getVccaux_mx},
        {"vccpaux", xadc_getVccpaux},        {"vccpaux_min", xadc_getVccpaux_mn},
        {"vccpaux_max", xadc_getVccpaux_mx}, {"vccmem", xadc_getVccMem},
    };
    for (const auto& [name, get] : getters) {
        for (const zynq::XadcReg& r : zynq::XADC_REGS)
            ASSERT_TRUE(hwsim::setXadcWord(r.offset, std::string(r.name) == name ? 0xBEE5 : 0));
        for (const auto& [other, otherGet] : getters)
            EXPECT_EQ(otherGet(), std::string(other) == name ? 0xBEE5u : 0u) << name << " read by " << other;
    }
    EXPECT_FALSE(hwsim::setXadcWord(0x20C, 1)) << "not a register of the chip monitor";
}

} // namespace
