#include "fixture.h"

#include <utility>

namespace {

using selfmontest::quantised;
using selfmontest::Unit;

TEST_F(Unit, SensorSuppliesAndUsbFollowTheirSwitches) {
    auto outputs = [] {
        return std::vector<bool>{hwsim::digitalOut(8), hwsim::digitalOut(9), hwsim::digitalOut(10),
                                 hwsim::digitalOut(11)};
    };
    EXPECT_EQ(outputs(), std::vector<bool>(4, false)) << "off until the first cycle";
    sensor_pwr_10ms(); // the image switches every supply on
    EXPECT_EQ(outputs(), std::vector<bool>(4, true));
    setCal(VTADDR_SENS_10V_ENABLE, 0);
    setCal(VTADDR_SENS_5V_1_ENABLE, 7); // any nonzero value switches on
    sensor_pwr_10ms();
    EXPECT_EQ(outputs(), (std::vector<bool>{true, true, false, true}));

    using Req = std::pair<int, int>;
    std::vector<Req> usb;
    setCal(VTADDR_USB_RESET, 1);
    sensor_pwr_10ms();
    setCal(VTADDR_USB_PWR_ENABLE, 0);
    setCal(VTADDR_USB_RESET, 0);
    sensor_pwr_10ms();
    for (const drives::UsbRequest& u : drives::usbLog())
        usb.emplace_back(u.kind, u.value);
    EXPECT_EQ(usb, (std::vector<Req>{{0, 1}, {1, 0}, {2, 0}, {1, 1}, {0, 0}, {1, 0}}))
        << "all three in the first cycle, then each change once";
}

TEST_F(Unit, SensorSupplyValuesAndFaultFlags) {
    sensor_pwr_10ms(); // the board's nominal supplies
    EXPECT_NEAR(sens_5V_1_u, 5000, 10);
    EXPECT_NEAR(sens_12V_u, 12000, 10);
    EXPECT_EQ(sens_10V_i, static_cast<int>(quantised(0.25) * 40 * 0.98039216));
    EXPECT_EQ(sens_5V_1_curr + sens_5V_2_curr + sens_10V_curr + sens_12V_curr, 0);

    // 4.4 V on the first 5 V supply, 51.7 on the second's current, the 10 V supply dead.
    ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_SENS_5V_1_U, 4400 / 5538.2));
    ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_SENS_5V_2_I, 1.32));
    ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_SENS_10V_U, -0.01));
    ASSERT_TRUE(hwsim::setDigitalIn(DIN_SUPPLY_12V, false));
    sensor_pwr_10ms();
    EXPECT_EQ(sens_5V_2_i, 51);
    EXPECT_EQ(sens_10V_u, 0) << "a reading below zero must not wrap to 65535";
    EXPECT_EQ((std::vector<int>{sens_5V_1_curr, sens_5V_2_curr, sens_10V_curr, sens_12V_curr}),
              (std::vector<int>{1, 1, 1, 1}));
    ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_SENS_5V_2_I, 1.28)); // 50.2: not above 50
    sensor_pwr_10ms();
    EXPECT_EQ(sens_5V_2_curr, 0);

    // Below channel 16 the newest unfiltered sample is read, in millivolts.
    ASSERT_TRUE(hwsim::setAdcChannel(3, 2.0));
    EXPECT_NEAR(getSensorPwrU(3), quantised(2.0) * 5207.4, 1.0);
    EXPECT_NEAR(getSensorPwrUpSeq(3), quantised(2.0) * 5538.2, 1.0);
    ASSERT_TRUE(hwsim::setAdcChannel(26, 20.0)); // 104148 mV
    EXPECT_EQ(getSensorPwrU(26), 0xFFFF);
}

TEST_F(Unit, LifeTimeCountsSecondsInTenthsOfAnHour) {
    deviceData("life_time = 3598\n");
    ltecu_meas_1s();
    EXPECT_EQ(ltecu, 9);
    ltecu_meas_1s();
    EXPECT_EQ(ltecu, 10) << "3600 s";
    uint32_t stored = 0;
    ASSERT_EQ(nvramst_get_lifeTime(&stored), 0);
    EXPECT_EQ(stored, 3600u);

    selfmon_reset();
    deviceData("life_time = 23999999\n");
    ltecu_meas_1s();
    EXPECT_EQ(ltecu, 0xFFFF) << "66666 tenths do not fit";
}

} // namespace
