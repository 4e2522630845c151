// Virtual conversion tables: converting into every output type with clamping, rounding and
// NaN; registration, shared rules and the end of the rule table.
#include "calibration/conv/conv.h"
#include "calibration/memory/seram.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

using testsupport::logContains;
using testsupport::LogLine;

namespace {

struct Conv : ::testing::Test {
    std::vector<LogLine> seen;
    void SetUp() override {
        testsupport::logStart();
        seram_reset();
        conv_reset();
    }
    bool logged(const std::string& text) { return logContains(seen, text); }
};

// One entry over a double, read as the given source type, measured into 8 bytes.
struct Case {
    double in;
    uint8_t src, out;
    float factor, offset;
    double expected; // NaN: a NaN is expected
};

template <typename T> void put(uint8_t* p, double v) {
    const T t = static_cast<T>(v);
    std::memcpy(p, &t, sizeof t);
}
template <typename T> double get(const uint8_t* p) {
    T t;
    std::memcpy(&t, p, sizeof t);
    return static_cast<double>(t);
}
// By type code: bool, u8, s8, u16, s16, u32, s32, f32, f64.
void (*const putAs[])(uint8_t*, double) = {put<uint8_t>,  put<uint8_t>, put<int8_t>,
                                           put<uint16_t>, put<int16_t>, put<uint32_t>,
                                           put<int32_t>,  put<float>,   put<double>};
double (*const getAs[])(const uint8_t*) = {get<uint8_t>,  get<uint8_t>, get<int8_t>,
                                           get<uint16_t>, get<int16_t>, get<uint32_t>,
                                           get<int32_t>,  get<float>,   get<double>};
const size_t widths[] = {1, 1, 1, 2, 2, 4, 4, 4, 8};

double measureCase(const Case& c) {
    conv_reset();
    uint8_t raw[8] = {};
    putAs[c.src](raw, c.in);
    convEntry_t entry{raw, 0, c.src, c.out};
    const uint32_t count = 1;
    const convRule_t rule{c.factor, c.offset};
    convTable_t table{&entry, &count, &rule};
    EXPECT_TRUE(convRegisterVirtualMeasTable(0, &table));
    uint8_t buf[12];
    std::memset(buf, 0xCC, sizeof buf);
    convMeasCopy(0x800000, buf, sizeof buf);
    for (size_t i = widths[c.out]; i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], 0) << "byte " << i; // at most 8 carry
    return getAs[c.out](buf);
}

TEST_F(Conv, EveryOutputType) {
    const double nan = std::nan("");
    const Case cases[] = {
        // rounding half away from zero
        {-7, CONV_S32, CONV_S16, 0.5f, 0, -4},
        {7, CONV_S32, CONV_S16, 0.5f, 0, 4},
        {2.5, CONV_F32, CONV_U8, 1, 0, 3},
        {0.49999997, CONV_F32, CONV_U8, 1, 0, 0},
        {-0.5, CONV_F32, CONV_S8, 1, 0, -1},
        {1000, CONV_U16, CONV_U16, 0.001f, 0.4f, 1},
        // clamping to the output range
        {300, CONV_F32, CONV_U8, 1, 0, 255},
        {-3, CONV_F32, CONV_U8, 1, 0, 0},
        {-200, CONV_F32, CONV_S8, 1, 0, -128},
        {-40000, CONV_S32, CONV_S16, 1, 0, -32768},
        {1e300, CONV_F64, CONV_F32, 1, 0, 3.40282347e38f},
        {-1e300, CONV_F64, CONV_F64, 1, 0, -3.40282347e38f},
        // the float maxima of u32 and s32 lie one beyond what the types hold
        {5e9, CONV_F32, CONV_U32, 1, 0, 4294967295.0},
        {4294967040.0, CONV_F32, CONV_U32, 1, 0, 4294967040.0},
        {3e9, CONV_F32, CONV_S32, 1, 0, 2147483647.0},
        {-3e9, CONV_F32, CONV_S32, 1, 0, -2147483648.0},
        {1e12, CONV_F64, CONV_S32, 1, 0, 2147483647.0},
        {3000000000.0, CONV_U32, CONV_S32, 0.5f, -1e9f, 500000000},
        // NaN: 0 for integers and booleans, NaN for floats
        {nan, CONV_F32, CONV_S32, 1, 0, 0},
        {nan, CONV_F64, CONV_U32, 1, 0, 0},
        {nan, CONV_F32, CONV_BOOL, 1, 0, 0},
        {nan, CONV_F32, CONV_F32, 1, 0, nan},
        {nan, CONV_F64, CONV_F64, 1, 0, nan},
        // booleans and floats
        {0.4, CONV_F32, CONV_BOOL, 1, 0, 0},
        {0.6, CONV_F32, CONV_BOOL, 1, 0, 1},
        {200, CONV_BOOL, CONV_BOOL, 1, 0, 1},
        {-3, CONV_S8, CONV_BOOL, 1, 0, 0},
        {3, CONV_U8, CONV_F64, 0.1f, 0, static_cast<double>(0.1f * 3.0f)},
        {0.1, CONV_F64, CONV_F32, 1, 0, 0.1f},
    };
    for (const Case& c : cases) {
        const double got = measureCase(c);
        if (std::isnan(c.expected))
            EXPECT_TRUE(std::isnan(got)) << c.in;
        else
            EXPECT_EQ(got, c.expected) << c.in << " type " << int(c.src) << " -> " << int(c.out);
    }
    EXPECT_TRUE(logged("convMeasCopy(): NaN occured in measurement-label at address 0x"));
    EXPECT_TRUE(logged("virtual A2L-address 0x800000"));
}

TEST_F(Conv, MissingEntriesAndRefusedRegistrations) {
    seram_1s();
    uint8_t buf[300];
    convMeasCopy(0x800000, buf, sizeof buf); // no page
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 256), std::vector<uint8_t>(256, 0x7F));
    EXPECT_EQ(std::vector<uint8_t>(buf + 256, buf + 300), std::vector<uint8_t>(44, 0));
    EXPECT_FALSE(convCheckAdr(0x800000));
    EXPECT_TRUE(logged("conversion_checkadr(): Virtual page 0 does not exist, measuring 0x800000"));

    float f = 1.0f;
    convEntry_t e{&f, 0, CONV_F32, CONV_F32};
    const uint32_t one = 1;
    const convRule_t r{1, 0};
    convTable_t t{&e, &one, &r};
    EXPECT_FALSE(convRegisterVirtualMeasTable(8, &t));
    EXPECT_TRUE(logged("convRegisterVirtualMeasTable(): Virtual page index too high"));
    ASSERT_TRUE(convRegisterVirtualMeasTable(7, &t));
    EXPECT_TRUE(logged("convRegisterVirtualMeasTable(): Successfully done. New table size: 1 of 512"));
    EXPECT_FALSE(convRegisterVirtualMeasTable(7, &t));
    EXPECT_TRUE(logged("convRegisterVirtualMeasTable(): Virtual page already in use"));
    EXPECT_TRUE(convCheckAdr(0xF00000));
    EXPECT_FALSE(convCheckAdr(0xF00001)); // index == count
    uint32_t w = 0;
    convMeasCopy(0xF00001, &w, 4);
    EXPECT_EQ(w, SERAM_ERROR_PATTERN);

    convEntry_t bad[] = {{&f, 0, 9, CONV_F32}, {nullptr, 0, CONV_F32, CONV_F32}};
    for (convEntry_t& b : bad) {
        convTable_t tb{&b, &one, &r};
        EXPECT_FALSE(convRegisterVirtualMeasTable(1, &tb));
    }
    EXPECT_TRUE(logged("convRegisterVirtualMeasTable(): Virtual page 1 entry 0 invalid"));
    EXPECT_FALSE(convRegisterVirtualMeasTable(1, nullptr));
    EXPECT_FALSE(convCheckAdr(0x900000));
}

TEST_F(Conv, PartitionsShareRules) {
    float a = 2.0f, b = 3.0f;
    convEntry_t e1[] = {{&a, 1, CONV_F32, CONV_F32}, {&a, 0, CONV_F32, CONV_F32}};
    convEntry_t e2[] = {{&b, 0, CONV_F32, CONV_F32}};
    const uint32_t n1 = 2, n2 = 1;
    const convRule_t r1[] = {{1.0f, 0.0f}, {2.0f, 1.0f}};
    const convRule_t r2[] = {{1.0f, 0.0f}};
    convTable_t t1{e1, &n1, r1}, t2{e2, &n2, r2};
    ASSERT_TRUE(convRegisterVirtualMeasTable(0, &t1));
    ASSERT_TRUE(convRegisterVirtualMeasTable(1, &t2));
    EXPECT_EQ(convRuleCount(), 2u);
    EXPECT_EQ(e2[0].rule, e1[1].rule); // {1.0, 0.0} once
    float out[2];
    convMeasCopy(0x800000, &out[0], 4);
    convMeasCopy(0x900000, &out[1], 4);
    EXPECT_EQ(std::pair(out[0], out[1]), std::pair(5.0f, 3.0f));
}

TEST_F(Conv, RuleTableStopsAtItsEnd) {
    float v = 1.0f;
    static convEntry_t big[600];
    static convRule_t rules[600];
    for (uint32_t i = 0; i < 600; ++i) {
        big[i] = {&v, static_cast<uint16_t>(i < 500 ? i : i - 500), CONV_F32, CONV_F32};
        rules[i] = {static_cast<float>(i + 1), 0.0f};
    }
    const uint32_t first = 500, second = 20, third = 11;
    convTable_t t1{big, &first, rules};
    ASSERT_TRUE(convRegisterVirtualMeasTable(0, &t1));
    // Twenty new rules do not fit: the page is refused whole and nothing changes.
    convTable_t t2{big + 500, &second, rules + 500};
    EXPECT_FALSE(convRegisterVirtualMeasTable(1, &t2));
    EXPECT_TRUE(logged("convRegisterVirtualMeasTable(): Virtual page entries exceeded"));
    EXPECT_EQ(convRuleCount(), 500u);
    for (uint32_t i = 0; i < second; ++i)
        EXPECT_EQ(big[500 + i].rule, i);
    EXPECT_FALSE(convCheckAdr(0x900000));
    convTable_t t3{big + 500, &third, rules + 500}; // eleven fit: 511 rules
    ASSERT_TRUE(convRegisterVirtualMeasTable(1, &t3));
    float out;
    convMeasCopy(0x90000A, &out, 4);
    EXPECT_EQ(out, 511.0f);
    EXPECT_FALSE(convRegisterVirtualMeasTable(2, &t1)); // only known rules, but the table counts as full
}

} // namespace
