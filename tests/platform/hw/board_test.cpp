#include "platform/hw/hw.h"
#include "platform/hw/hw_sim.h"
#include "platform/hw/board_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace {

using namespace zynq;

uint32_t adc(uintptr_t off) {
    return hw_read32(ADC_BASE + off);
}
uint32_t gpio(uintptr_t off) {
    return hw_read32(GPIO_BASE + off);
}

struct SimulatedBoard : ::testing::Test {
    void SetUp() override { hwsim::installBoard(); }
    void TearDown() override { hwsim::installBoard(); }
};

TEST_F(SimulatedBoard, AnalogChannelsHoldSignedCountsOfTheirVoltage) {
    struct Case {
        double volts;
        uint32_t counts;
    };
    for (const Case& c : {Case{2.5, 0x800}, {-0.001220703125, 0xFFFF}, {1.0003, 819}, {-50.0, 0x8000}}) {
        ASSERT_TRUE(hwsim::setAdcChannel(31, c.volts));
        EXPECT_EQ(adc(ADC_REG_FILTERED + 4 * 31), c.counts) << c.volts;
        EXPECT_EQ(adc(ADC_REG_UNFILTERED + 4 * 31), c.counts) << c.volts;
    }
    EXPECT_FALSE(hwsim::setAdcChannel(32, 1.0));
    EXPECT_FALSE(hwsim::setAdcChannel(0, std::nan("")));
    EXPECT_EQ(adc(ADC_REG_FILTERED + 4 * 16), 2171u) << "power-on supply 13.8 V behind its divider";
}

TEST_F(SimulatedBoard, ConverterStartsAreCountedAndIdentityIsReadOnly) {
    EXPECT_EQ(hwsim::adcStarts(), 0u) << "installBoard restarts the count";
    hw_write32(ADC_BASE + ADC_REG_CONTROL, 1);
    hw_write32(ADC_BASE + ADC_REG_CONTROL, 1); // already on
    hw_write32(ADC_BASE + ADC_REG_CONTROL, 0);
    hw_write32(ADC_BASE + ADC_REG_CONTROL, 3);
    EXPECT_EQ(hwsim::adcStarts(), 2u);
    EXPECT_EQ(adc(ADC_REG_CONTROL), 3u);
    const uint32_t id = adc(ADC_REG_ID);
    hw_write32(ADC_BASE + ADC_REG_ID, 0);
    EXPECT_EQ(adc(ADC_REG_ID), id);
}

TEST_F(SimulatedBoard, GpioMaskedWritesAndPinLevels) {
    // Power-on: power good (2) and the 12 V status (4) high on the input bank.
    EXPECT_EQ(gpio(GPIO_DATA_RO(GPIO_DIN_BANK)), 0x14u);
    ASSERT_TRUE(hwsim::setDigitalIn(2, false));
    ASSERT_TRUE(hwsim::setDigitalIn(8, true));
    EXPECT_EQ(gpio(GPIO_DATA_RO(GPIO_DIN_BANK)), 0x110u);

    const int b = GPIO_DOUT_BANK;
    hw_write32(GPIO_BASE + GPIO_DIRM(b), 0xFFF);
    hw_write32(GPIO_BASE + GPIO_OEN(b), 0xFFF);
    hw_write32(GPIO_BASE + GPIO_MASK_DATA_LSW(b), 0x0000FFFF); // every low pin high
    EXPECT_EQ(gpio(GPIO_DATA(b)), 0xFFFFu);
    hw_write32(GPIO_BASE + GPIO_MASK_DATA_LSW(b), 0xFFFE0000); // pin 0 low, the rest kept
    EXPECT_EQ(gpio(GPIO_DATA(b)), 0xFFFEu);
    hw_write32(GPIO_BASE + GPIO_MASK_DATA_LSW(b) + 4, 0xFFFE0001); // pin 16 high
    EXPECT_EQ(gpio(GPIO_DATA(b)), 0x1FFFEu);
    EXPECT_EQ(gpio(GPIO_DATA_RO(b)), 0xFFEu) << "only the pins set as outputs show their level";
    EXPECT_TRUE(hwsim::digitalOut(11));
    hw_write32(GPIO_BASE + GPIO_OEN(b), 0x7FF);
    EXPECT_FALSE(hwsim::digitalOut(11)) << "output disabled";
}

TEST_F(SimulatedBoard, SettersAndDevicesMayRunInDifferentThreads) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            hwsim::setDigitalIn(i % 9, i & 1);
            hwsim::setAdcChannel(i % 32, (i % 100) * 0.05);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        hw_write32(GPIO_BASE + GPIO_MASK_DATA_LSW(3), 0xFFFE0000u | (i & 1));
        (void)gpio(GPIO_DATA_RO(GPIO_DIN_BANK));
        (void)adc(ADC_REG_FILTERED + 4 * (i % 32));
    }
    stop = true;
    writer.join();
}

} // namespace
