#include "fixture.h"

namespace {

using selfmontest::quantised;
using selfmontest::Unit;

struct PowerGood : Unit {
    // Milliseconds of the 1 ms raster with the power-good input at `level`.
    void ms(bool level, int n = 1) {
        hwsim::setDigitalIn(DIN_POWER_GOOD, level);
        for (int i = 0; i < n; ++i)
            power_vyn_1ms();
    }
};

TEST_F(PowerGood, GoodAgainOnThe81stGoodMillisecondConverterRestartedOnThe70th) {
    EXPECT_EQ(power_getPwrGood(), 1) << "errors raised during start-up must count";
    ms(true, 10);
    ms(false);
    EXPECT_EQ(power_getPwrGood(), 0) << "from the first low millisecond";
    ms(false, 4);

    const uint64_t starts = hwsim::adcStarts();
    for (int good = 1; good <= 81; ++good) {
        ms(true);
        ASSERT_EQ(power_getPwrGood(), good == 81 ? 1 : 0) << "good millisecond " << good;
        ASSERT_EQ(hwsim::adcStarts() - starts, good >= 70 ? 1u : 0u) << "good millisecond " << good;
    }
    EXPECT_EQ(b_pwr_good, 1);

    // A drop during the countdown starts it again.
    ms(false);
    ms(true, 30);
    ms(false, 3);
    EXPECT_EQ(logCount("power_vyn_1ms: power false (re-)detected (ON for 30ms), set on_cnt from 50 to 80"),
              1);
    ms(true, 80);
    EXPECT_EQ(power_getPwrGood(), 0);
    ms(true);
    EXPECT_EQ(power_getPwrGood(), 1);
    EXPECT_EQ(hwsim::adcStarts() - starts, 2u);
}

TEST_F(Unit, SupplyAndCurrentsAreScaledAndKeptInTheirFields) {
    struct Case {
        double volts;
        int want;
    };
    // A reading below zero is 0, not the top of the field.
    for (const Case& c : {Case{2.6501, 138}, {4.95, 255}, {-0.3, 0}}) {
        ASSERT_TRUE(hwsim::setAdcChannel(16, c.volts));
        uecu_meas_1ms();
        EXPECT_EQ(ub, c.want) << c.volts;
    }
    ASSERT_TRUE(hwsim::setAdcChannel(5, 2.0));
    uecu_override_pin(5);
    uecu_meas_1ms();
    EXPECT_EQ(ub, static_cast<int>(quantised(2.0) * 52.074));

    for (const Case& c : {Case{1.5, 300}, {-0.5, 0}, {39.0, 7800}}) {
        ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_IECU, c.volts));
        iecu_meas_10ms();
        EXPECT_EQ(iecu_unit, c.want) << c.volts;
    }
    for (const Case& c : {Case{2.75, 125}, {2.5, 0}, {2.4, -50}, {0.0, -125}}) {
        ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_IUSB, c.volts));
        iusb_meas_10ms();
        EXPECT_EQ(iusb, c.want) << c.volts;
    }
}

} // namespace
