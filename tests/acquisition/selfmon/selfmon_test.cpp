// Self-monitoring on the simulated board: power good, supply and currents, sensor supplies and
// USB, life time, and the unit temperature against Python's interpolation of the characteristic.
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/board/board.h"
#include "acquisition/selfmon/selfmon.h"
#include "calibration/memory/seram.h"
#include "platform/devdata/devdata.h"
#include "platform/drives/drives.h"
#include "platform/hw/board_sim.h"
#include "services/nvramst/nvramst.h"
#include "services/rtpman/rtpman.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <cmath>

namespace {

// Volts as the converter delivers them (5 V = 4096 counts).
double quantised(double volts) {
    return std::round(volts * 4096.0 / 5.0) * 5.0 / 4096.0;
}

// The unit-temperature characteristic, interpolated by Python: the segment that holds x,
// or the end segment beyond the table.
std::vector<double> pythonDegrees(const std::vector<double>& volts) {
    std::vector<std::vector<pyref::bytes>> cases;
    for (double v : volts) {
        char text[32];
        cases.push_back({pyref::bytes(text, text + std::snprintf(text, sizeof text, "%.17g", v))});
    }
    std::vector<double> r;
    for (const std::string& d :
         pyref::map(R"(X = [0.133, 0.16, 0.194, 0.238, 0.294, 0.366, 0.464, 0.582, 0.739, 0.938, 1.196,
     1.514, 1.899, 2.339, 2.819, 3.309, 3.766, 4.148, 4.438, 4.645]
Y = [150, 140, 130, 120, 110, 100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 0, -10, -20, -30, -40]
def f(b):
    x, i = float(b), 0
    while i < len(X) - 2 and x >= X[i + 1]:
        i += 1
    return repr(Y[i] + (Y[i + 1] - Y[i]) * (x - X[i]) / (X[i + 1] - X[i])))",
                    cases))
        r.push_back(std::stod(d));
    return r;
}

struct Unit : testsupport::SteppedTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        SteppedTest::SetUp();
        rtpman_reset();
        seram_reset();
        selfmon_reset();
        hwsim::installBoard();
        ASSERT_EQ(gpio_ini(), 1);
        drives::install();
        deviceData("");
    }
    void TearDown() override { devdata::uninstall(); }
    void deviceData(const std::string& text) {
        dir.write("devdata.ini", text);
        ASSERT_TRUE(devdata::install(dir.path));
    }
    static void setCal(uint32_t vaddr, uint8_t v) { seram_memory[vaddr + seramActiveOffset] = v; }
    // Milliseconds of the 1 ms raster with the power-good input at `level`.
    static void ms(bool level, int n = 1) {
        hwsim::setDigitalIn(DIN_POWER_GOOD, level);
        for (int i = 0; i < n; ++i)
            power_vyn_1ms();
    }
    template <typename T> static int measure(int ch, double volts, void (*step)(), const T& field) {
        EXPECT_TRUE(hwsim::setAdcChannel(ch, volts));
        return step(), field;
    }
    void temperatureAt(double volts) {
        ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_TECU, volts));
        tecu_meas_1s();
    }
    static float storedMax() {
        float c = -999;
        EXPECT_EQ(nvramst_get_maxTECU(&c), 0);
        return c;
    }
};

TEST_F(Unit, PowerGoodAgainOnThe81stGoodMillisecondAndSupplyAndCurrentsKeptInTheirFields) {
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
    ms(false); // a drop during the countdown starts it again
    ms(true, 30);
    ms(false, 3);
    EXPECT_TRUE(logged("power_vyn_1ms: power false (re-)detected (ON for 30ms), set on_cnt from 50 to 80"));
    ms(true, 80);
    EXPECT_EQ(power_getPwrGood(), 0);
    ms(true);
    EXPECT_EQ(std::pair(int(power_getPwrGood()), hwsim::adcStarts() - starts), std::pair(1, uint64_t{2}));

    // Supply, then the unit's and the USB current; a reading below zero is 0, not the top of the field.
    for (auto [volts, want] : {std::pair{2.6501, 138}, {4.95, 255}, {-0.3, 0}})
        EXPECT_EQ(measure(16, volts, uecu_meas_1ms, ub), want) << volts;
    for (auto [volts, want] : {std::pair{1.5, 300}, {-0.5, 0}, {39.0, 7800}})
        EXPECT_EQ(measure(ADC_CH_IECU, volts, iecu_meas_10ms, iecu_unit), want) << volts;
    for (auto [volts, want] : {std::pair{2.75, 125}, {2.5, 0}, {2.4, -50}, {0.0, -125}})
        EXPECT_EQ(measure(ADC_CH_IUSB, volts, iusb_meas_10ms, iusb), want) << volts;
    uecu_override_pin(5);
    EXPECT_EQ(measure(5, 2.0, uecu_meas_1ms, ub), static_cast<int>(quantised(2.0) * 52.074));
}

TEST_F(Unit, SensorSuppliesUsbFaultFlagsAndLifeTime) {
    auto outputs = [] {
        return std::vector<bool>{hwsim::digitalOut(8), hwsim::digitalOut(9), hwsim::digitalOut(10),
                                 hwsim::digitalOut(11)};
    };
    EXPECT_EQ(outputs(), std::vector<bool>(4, false)) << "off until the first cycle";
    sensor_pwr_10ms(); // the image switches every supply on; the board's nominal supplies
    EXPECT_EQ(outputs(), std::vector<bool>(4, true));
    EXPECT_EQ(sens_5V_1_curr + sens_5V_2_curr + sens_10V_curr + sens_12V_curr, 0);
    // any nonzero value switches on
    setCal(VTADDR_SENS_10V_ENABLE, 0), setCal(VTADDR_SENS_5V_1_ENABLE, 7), setCal(VTADDR_USB_RESET, 1);
    sensor_pwr_10ms();
    EXPECT_EQ(outputs(), (std::vector<bool>{true, true, false, true}));
    setCal(VTADDR_USB_PWR_ENABLE, 0), setCal(VTADDR_USB_RESET, 0), sensor_pwr_10ms();
    std::vector<std::pair<int, int>> usb; // all three in the first cycle, then each change once
    for (const drives::UsbRequest& u : drives::usbLog())
        usb.emplace_back(u.kind, u.value);
    EXPECT_EQ(usb, (std::vector<std::pair<int, int>>{{0, 1}, {1, 0}, {2, 0}, {1, 1}, {0, 0}, {1, 0}}));

    // 4.4 V on the first 5 V supply, 51.7 on the second's current, the 10 V supply dead.
    ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_SENS_5V_1_U, 4400 / 5538.2) &&
                hwsim::setAdcChannel(ADC_CH_SENS_5V_2_I, 1.32) &&
                hwsim::setAdcChannel(ADC_CH_SENS_10V_U, -0.01) && hwsim::setDigitalIn(DIN_SUPPLY_12V, false));
    sensor_pwr_10ms();
    EXPECT_EQ(std::pair(int{sens_5V_2_i}, int{sens_10V_u}), std::pair(51, 0))
        << "below zero no wrap to 65535";
    EXPECT_EQ((std::vector<int>{sens_5V_1_curr, sens_5V_2_curr, sens_10V_curr, sens_12V_curr}),
              (std::vector<int>{1, 1, 1, 1}));
    ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_SENS_5V_2_I, 1.28)); // 50.2: not above 50
    sensor_pwr_10ms();
    EXPECT_EQ(sens_5V_2_curr, 0);
    // Below channel 16 the newest unfiltered sample is read, in millivolts.
    ASSERT_TRUE(hwsim::setAdcChannel(3, 2.0) && hwsim::setAdcChannel(26, 20.0)); // 104148 mV
    adc_fifo_reset(true), adc_fifo_inputPass();
    EXPECT_NEAR(getSensorPwrU(3), quantised(2.0) * 5207.4, 1.0);
    EXPECT_EQ(getSensorPwrU(26), 0xFFFF);

    // Life time counts seconds in tenths of an hour.
    deviceData("life_time = 3598\n");
    ltecu_meas_1s(), ltecu_meas_1s();
    uint32_t stored = 0;
    ASSERT_EQ(nvramst_get_lifeTime(&stored), 0);
    EXPECT_EQ(std::pair(int(ltecu), stored), std::pair(10, 3600u)) << "3600 s";
    selfmon_reset();
    deviceData("life_time = 23999999\n");
    ltecu_meas_1s();
    EXPECT_EQ(ltecu, 0xFFFF) << "66666 tenths do not fit";
}

// The lookup itself against Python's, also where the core temperature cannot show it: beyond
// either end of the table, and a result handed back through the pointer too.
TEST_F(Unit, LookupAgreesWithPythonInsideAndBeyondTheTable) {
    constexpr float TABLE_V[] = {0.133f, 0.16f,  0.194f, 0.238f, 0.294f, 0.366f, 0.464f,
                                 0.582f, 0.739f, 0.938f, 1.196f, 1.514f, 1.899f, 2.339f,
                                 2.819f, 3.309f, 3.766f, 4.148f, 4.438f, 4.645f};
    constexpr float TABLE_T[] = {150, 140, 130, 120, 110, 100, 90,  80,  70,  60,
                                 50,  40,  30,  20,  10,  0,   -10, -20, -30, -40};
    std::vector<double> xs(TABLE_V, TABLE_V + 20);
    for (int i = -20; i <= 560; ++i)
        xs.push_back(i * 0.01);
    const std::vector<double> want = pythonDegrees(xs);
    for (size_t i = 0; i < xs.size(); ++i) {
        float out = 0;
        EXPECT_NEAR(utils_lookup(&out, TABLE_T, static_cast<float>(xs[i]), TABLE_V, 19), want[i], 2e-3)
            << xs[i];
        EXPECT_NEAR(out, want[i], 2e-3);
    }
}

// The unit temperature's characteristic is read only through the core temperature.
TEST_F(Unit, TheCoreTemperatureFollowsPythonsLookupInsideAndBeyondTheTable) {
    std::vector<double> xs;
    for (int mv = 100; mv <= 4900; mv += 37)
        xs.push_back(quantised(mv / 1000.0));
    const std::vector<double> want = pythonDegrees(xs);
    deviceData("max_tecu = 200\n"); // high enough that no reading becomes a new maximum
    for (size_t i = 0; i < xs.size(); ++i) {
        const double core = want[i] + 40.0; // the converter's own readings, not too near a whole degree
        if (core < 0.0 || std::abs(core - std::round(core)) < 0.01) continue;
        temperatureAt(xs[i]);
        EXPECT_EQ(std::pair(int(tecu_core), int(utecu_core)),
                  std::pair(static_cast<int>(core), static_cast<int>(xs[i] * 1000.0 + 1e-9)))
            << xs[i] << " V";
    }
    EXPECT_EQ(std::pair(int(lttecu_max), storedMax()), std::pair(240, 200.0f));

    // A single knot; a zero-width segment is no division; a falling table gives the value at the bracket.
    const float one[] = {2.0f}, oneY[] = {7.0f}, flat[] = {1.0f, 1.0f, 1.0f}, down[] = {3.0f, 2.0f, 1.0f},
                ys[] = {5.0f, 6.0f, 7.0f};
    EXPECT_EQ(std::tuple(utils_lookup(nullptr, oneY, 5.0f, one, 0), utils_lookup(nullptr, ys, 0.5f, flat, 2),
                         utils_lookup(nullptr, ys, 4.0f, down, 2)),
              std::tuple(7.0f, 5.0f, 7.0f));
    EXPECT_TRUE(logged("utils_lookup() invalid code path"));

    // Outside the sensor range a fault; beyond the table extrapolated; a bad stored maximum ignored.
    selfmon_reset();
    deviceData("max_tecu = 61.5\n");
    temperatureAt(0.05);
    EXPECT_EQ(std::pair(int(lttecu_max), int(tecu_core)), std::pair(101, 60))
        << "stored maximum + 40; a fault reads 20 degC";
    temperatureAt(4.95);
    EXPECT_EQ(std::pair(int(tecu_core), storedMax()), std::pair(60, 61.5f))
        << "a faulty reading is no maximum";
    const std::vector<double> ends = pythonDegrees({quantised(0.12), quantised(4.9)});
    temperatureAt(0.12); // beyond 150 degC
    EXPECT_EQ(std::tuple(int(tecu_core), int(lttecu_max), storedMax()),
              std::tuple(int(ends[0] + 40.0), int(ends[0] + 40.0),
                         static_cast<float>(int(ends[0] + 40.0)) - 40.0f));
    temperatureAt(4.9); // below -40 degC: clamped to 0 instead of wrapping to the top of the byte
    EXPECT_EQ(std::pair(int(tecu_core), int(lttecu_max)), std::pair(0, int(ends[0] + 40.0)));

    selfmon_reset();
    deviceData("max_tecu = 300\n");
    temperatureAt(2.1); // 25.4 degC
    EXPECT_TRUE(logged("tecu_meas_1s: stored maximum temperature 300.0 out of range, ignored"));
    EXPECT_EQ(std::tuple(int(tecu_core), int(lttecu_max), storedMax()), std::tuple(65, 65, 25.0f))
        << "the first good reading is the maximum";
}

} // namespace
