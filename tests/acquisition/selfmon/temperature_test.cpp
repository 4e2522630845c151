#include "fixture.h"

#include "support/pyref.h"

#include <sstream>

namespace {

using selfmontest::quantised;
using selfmontest::Unit;

// The unit-temperature characteristic, interpolated by Python: the segment that holds x,
// or the end segment beyond the table.
std::vector<double> pythonDegrees(const std::vector<double>& volts) {
    std::ostringstream in;
    in.precision(17);
    for (double v : volts)
        in << v << "\n";
    pyref::TempFile input(in.str());
    pyref::TempFile script(R"(import sys
X = [0.133, 0.16, 0.194, 0.238, 0.294, 0.366, 0.464, 0.582, 0.739, 0.938, 1.196, 1.514, 1.899,
     2.339, 2.819, 3.309, 3.766, 4.148, 4.438, 4.645]
Y = [150, 140, 130, 120, 110, 100, 90, 80, 70, 60, 50, 40, 30, 20, 10, 0, -10, -20, -30, -40]
def degrees(x):
    i = 0
    while i < len(X) - 2 and x >= X[i + 1]:
        i += 1
    return Y[i] + (Y[i + 1] - Y[i]) * (x - X[i]) / (X[i + 1] - X[i])
for line in open(sys.argv[1]):
    print(repr(degrees(float(line))))
)");
    const pyref::bytes out = pyref::run("/usr/bin/python3 " + script.path() + " " + input.path());
    std::vector<double> r;
    std::istringstream lines(std::string(out.begin(), out.end()));
    for (std::string l; std::getline(lines, l);)
        r.push_back(std::stod(l));
    return r;
}

constexpr float TABLE_V[] = {0.133f, 0.16f,  0.194f, 0.238f, 0.294f, 0.366f, 0.464f, 0.582f, 0.739f, 0.938f,
                             1.196f, 1.514f, 1.899f, 2.339f, 2.819f, 3.309f, 3.766f, 4.148f, 4.438f, 4.645f};
constexpr float TABLE_T[] = {150, 140, 130, 120, 110, 100, 90,  80,  70,  60,
                             50,  40,  30,  20,  10,  0,   -10, -20, -30, -40};

TEST(Interpolation, LookupAgreesWithPythonInsideAndBeyondTheTable) {
    std::vector<double> xs;
    for (int i = -20; i <= 560; ++i)
        xs.push_back(i * 0.01);
    for (float v : TABLE_V)
        xs.push_back(v);
    const std::vector<double> want = pythonDegrees(xs);
    ASSERT_EQ(want.size(), xs.size());
    for (size_t i = 0; i < xs.size(); ++i) {
        const float x = static_cast<float>(xs[i]);
        float out = 0;
        EXPECT_NEAR(utils_lookup(&out, TABLE_T, x, TABLE_V, 19), want[i], 2e-3) << "at " << xs[i] << " V";
        EXPECT_NEAR(out, want[i], 2e-3);
    }
}

TEST(Interpolation, SingleKnotAndBadTables) {
    const float one[] = {2.0f}, oneY[] = {7.0f};
    EXPECT_EQ(utils_lookup(nullptr, oneY, 5.0f, one, 0), 7.0f);
    testsupport::logStart();
    std::vector<testsupport::LogLine> seen;
    const float flat[] = {1.0f, 1.0f, 1.0f}, down[] = {3.0f, 2.0f, 1.0f}, ys[] = {5.0f, 6.0f, 7.0f};
    EXPECT_EQ(utils_lookup(nullptr, ys, 0.5f, flat, 2), 5.0f) << "no division by a zero-width segment";
    EXPECT_TRUE(testsupport::logContains(seen, "utils_lookup() invalid code path"));
    EXPECT_EQ(utils_lookup(nullptr, ys, 4.0f, down, 2), 7.0f) << "the value at the bracket";
}

struct Temperature : Unit {
    void at(double volts) {
        ASSERT_TRUE(hwsim::setAdcChannel(ADC_CH_TECU, volts));
        tecu_meas_1s();
    }
    float storedMax() {
        float c = -999;
        EXPECT_EQ(nvramst_get_maxTECU(&c), 0);
        return c;
    }
};

TEST_F(Temperature, InsideTheTableTheCoreTemperatureFollowsTheCurve) {
    deviceData("max_tecu = 200\n"); // high enough that no reading becomes a new maximum
    std::vector<double> volts;
    for (int mv = 100; mv <= 4900; mv += 37)
        volts.push_back(quantised(mv / 1000.0));
    const std::vector<double> want = pythonDegrees(volts);
    int checked = 0;
    for (size_t i = 0; i < volts.size(); ++i) {
        const double core = want[i] + 40.0;
        if (core < 0.0 || core - std::floor(core) < 0.01 || core - std::floor(core) > 0.99) continue;
        at(volts[i]);
        EXPECT_EQ(tecu_core, static_cast<int>(core)) << volts[i] << " V";
        EXPECT_EQ(utecu_core, static_cast<int>(volts[i] * 1000.0 + 1e-9)) << volts[i] << " V";
        checked++;
    }
    EXPECT_GT(checked, 100);
    EXPECT_EQ(lttecu_max, 240);
    EXPECT_EQ(storedMax(), 200.0f);
}

TEST_F(Temperature, OutsideTheSensorRangeAFaultBeyondTheTableExtrapolated) {
    deviceData("max_tecu = 61.5\n");
    at(0.05);
    EXPECT_EQ(lttecu_max, 101) << "stored maximum + 40";
    EXPECT_EQ(tecu_core, 60) << "a fault reads 20 degC";
    at(4.95);
    EXPECT_EQ(tecu_core, 60);
    EXPECT_EQ(storedMax(), 61.5f) << "a faulty reading is no maximum";

    at(0.12); // beyond 150 degC
    const double hot = pythonDegrees({quantised(0.12)})[0];
    EXPECT_GT(hot, 150.0);
    EXPECT_EQ(tecu_core, static_cast<int>(hot + 40.0));
    EXPECT_EQ(lttecu_max, tecu_core) << "a new maximum";
    EXPECT_EQ(storedMax(), static_cast<float>(tecu_core) - 40.0f);

    at(4.9); // below -40 degC: clamped to 0 instead of wrapping to the top of the byte
    EXPECT_LT(pythonDegrees({quantised(4.9)})[0], -40.0);
    EXPECT_EQ(tecu_core, 0);
    EXPECT_EQ(lttecu_max, static_cast<int>(hot + 40.0));
}

TEST_F(Temperature, AStoredMaximumOutsideTheByteIsIgnored) {
    deviceData("max_tecu = 300\n");
    at(2.1); // 25.4 degC
    EXPECT_TRUE(testsupport::logContains(
        seen, "tecu_meas_1s: stored maximum temperature 300.0 out of range, ignored"));
    EXPECT_EQ(tecu_core, 65);
    EXPECT_EQ(lttecu_max, 65) << "the first good reading is the maximum";
    EXPECT_EQ(storedMax(), 25.0f);

    selfmon_reset();
    deviceData(""); // never programmed
    at(2.1);
    EXPECT_EQ(lttecu_max, 65);
    EXPECT_EQ(storedMax(), 25.0f);
}

} // namespace
