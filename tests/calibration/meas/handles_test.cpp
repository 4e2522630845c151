// Virtual conversion tables (every output type with clamping, rounding and NaN; registration,
// shared rules, the end of the rule table) and measurement handles of every kind: memory,
// conversion table, channel-function output and CCP/XCP-master slot, in both byte orders.
#define FAKES_DEFINE
#include "services/rtpman/rtpman.h"
#include "calibration/conv/conv.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/memory/seram.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cmath>
#include <cstring>

#include "calibration/fakes.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint32_t OWN = 0x25000000;
constexpr uint32_t RECORD_INVALID_REQUEST = 481 * 1000 + 34;

struct Handles : testsupport::SteppedTest {
    seramMeasHandle h{};
    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset(), seramInitializeOffsets(), conv_reset(), seramMeas_reset(), fakes::reset();
        app_pid = 7;
    }
    bytes copy(uint32_t size, bool bigEndian = false) {
        bytes out(size, 0xCC);
        (bigEndian ? seramMeasCopy_bigEndian : seramMeasCopy)(out.data(), size, &h);
        return out;
    }
    void setup(uint32_t address, uint16_t raster = 0) { seramMeasSetupMeas(address, raster, &h); }
    // The handle reads the toggling error pattern, and an invalid request is recorded.
    void expectErrorPattern() {
        EXPECT_EQ(
            std::tuple(h.kind, h.source, h.channel),
            std::tuple(uint32_t{SERAM_MEAS_MEMORY}, reinterpret_cast<uintptr_t>(seramErrorToggle), nullptr));
        EXPECT_EQ(fakes::errorsSet, std::vector<int>{RECORD_INVALID_REQUEST});
        fakes::errorsSet.clear();
    }
};
using Conv = Handles;

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

// One entry over `in` of the source type, measured into 12 bytes of which the output type's carry.
TEST_F(Conv, EveryOutputType) {
    const double nan = std::nan("");
    // Rounding half away from zero; clamping to the output range; the float maxima of u32 and s32,
    // which lie one beyond what the types hold; NaN as 0 for integers and booleans, NaN for floats;
    // booleans and floats.
    // in, source and output type, factor, offset, expected (NaN: a NaN is expected)
    const std::tuple<double, uint8_t, uint8_t, float, float, double> cases[] = {
        {-7, CONV_S32, CONV_S16, 0.5f, 0, -4},
        {0.49999997, CONV_F32, CONV_U8, 1, 0, 0},
        {-0.5, CONV_F32, CONV_S8, 1, 0, -1},
        {1000, CONV_U16, CONV_U16, 0.001f, 0.4f, 1},
        {300, CONV_F32, CONV_U8, 1, 0, 255},
        {-40000, CONV_S32, CONV_S16, 1, 0, -32768},
        {-1e300, CONV_F64, CONV_F64, 1, 0, -3.40282347e38f},
        {5e9, CONV_F32, CONV_U32, 1, 0, 4294967295.0},
        {4294967040.0, CONV_F32, CONV_U32, 1, 0, 4294967040.0},
        {-3e9, CONV_F32, CONV_S32, 1, 0, -2147483648.0},
        {3000000000.0, CONV_U32, CONV_S32, 0.5f, -1e9f, 500000000},
        {nan, CONV_F64, CONV_U32, 1, 0, 0},
        {nan, CONV_F64, CONV_F64, 1, 0, nan},
        {0.6, CONV_F32, CONV_BOOL, 1, 0, 1},
        {3, CONV_U8, CONV_F64, 0.1f, 0, static_cast<double>(0.1f * 3.0f)}};
    for (const auto& [in, src, out, factor, offset, expected] : cases) {
        conv_reset();
        uint8_t raw[8] = {}, buf[12];
        putAs[src](raw, in);
        convEntry_t entry{raw, 0, src, out};
        const uint32_t count = 1;
        const convRule_t rule{factor, offset};
        convTable_t table{&entry, &count, &rule};
        EXPECT_TRUE(convRegisterVirtualMeasTable(0, &table));
        std::memset(buf, 0xCC, sizeof buf);
        convMeasCopy(0x800000, buf, sizeof buf);
        const double got = getAs[out](buf);
        EXPECT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected)))
            << in << " type " << int(src) << " -> " << int(out) << ": " << got;
        EXPECT_EQ(std::vector<uint8_t>(buf + widths[out], buf + 12),
                  std::vector<uint8_t>(12 - widths[out], 0));
    }
    EXPECT_TRUE(logged("convMeasCopy(): NaN occured in measurement-label at address 0x"));
}

TEST_F(Conv, MissingEntriesAndRefusedRegistrations) {
    seram_1s();                           // the error pattern turns to 0x7F
    EXPECT_FALSE(convCheckAdr(0x800000)); // no page

    float f = 1.0f;
    convEntry_t e{&f, 0, CONV_F32, CONV_F32},
        bad[] = {{&f, 0, 9, CONV_F32}, {nullptr, 0, CONV_F32, CONV_F32}};
    const uint32_t one = 1;
    const convRule_t r{1, 0};
    convTable_t t{&e, &one, &r}, t1{&bad[0], &one, &r}, t2{&bad[1], &one, &r};
    EXPECT_FALSE(convRegisterVirtualMeasTable(8, &t)); // no such page
    ASSERT_TRUE(convRegisterVirtualMeasTable(7, &t));
    EXPECT_FALSE(convRegisterVirtualMeasTable(7, &t));              // in use
    EXPECT_TRUE(convCheckAdr(0xF00000) && !convCheckAdr(0xF00001)); // index == count
    uint32_t w = 0;
    convMeasCopy(0xF00001, &w, 4);
    EXPECT_EQ(w, SERAM_ERROR_PATTERN);
    // An unknown type, no variable, no table: refused.
    EXPECT_FALSE(convRegisterVirtualMeasTable(1, &t1) || convRegisterVirtualMeasTable(1, &t2) ||
                 convRegisterVirtualMeasTable(1, nullptr) || convCheckAdr(0x900000));
}

// A rule equal in factor and offset to one already known is shared, also across partitions.
TEST_F(Conv, EqualRulesAreShared) {
    float a = 3.0f, b = 4.0f;
    convEntry_t first[] = {{&a, 0, CONV_F32, CONV_F32}, {&b, 1, CONV_F32, CONV_F32}},
                second[] = {{&b, 0, CONV_F32, CONV_F32}, {&a, 1, CONV_F32, CONV_F32}};
    const uint32_t two = 2;
    const convRule_t rules0[] = {{1, 0}, {2, 0}}, rules1[] = {{1, 0}, {1, 0.5f}}; // factor, offset
    convTable_t t0{first, &two, rules0}, t1{second, &two, rules1};
    ASSERT_TRUE(convRegisterVirtualMeasTable(0, &t0) && convRegisterVirtualMeasTable(1, &t1));
    EXPECT_EQ(convRuleCount(), 3u);
    std::vector<float> out(4);
    for (uint32_t i = 0; i < 4; ++i)
        convMeasCopy((i < 2 ? 0x800000 : 0x900000) + i % 2, &out[i], 4);
    EXPECT_EQ(out, (std::vector<float>{3, 8, 4, 3.5f}));
}

TEST_F(Conv, TheRuleTableStopsAtItsEnd) {
    float a = 2.0f, out = 0;
    static convEntry_t big[600];
    static convRule_t rules[600];
    for (uint32_t i = 0; i < 600; ++i) {
        big[i] = {&a, static_cast<uint16_t>(i < 500 ? i : i - 500), CONV_F32, CONV_F32};
        rules[i] = {static_cast<float>(i + 1), 0.0f};
    }
    const uint32_t first = 500, second = 20, third = 11;
    convTable_t full{big, &first, rules}, over{big + 500, &second, rules + 500},
        fits{big + 500, &third, rules + 500};
    ASSERT_TRUE(convRegisterVirtualMeasTable(0, &full));
    // Twenty new rules do not fit: the page is refused whole and nothing changes; eleven fit: 511 rules.
    EXPECT_FALSE(convRegisterVirtualMeasTable(1, &over));
    EXPECT_EQ(convRuleCount(), 500u);
    EXPECT_FALSE(convCheckAdr(0x900000));
    ASSERT_TRUE(convRegisterVirtualMeasTable(1, &fits));
    convMeasCopy(0x90000A, &out, 4);
    EXPECT_EQ(out, 2 * 511.0f);
    EXPECT_FALSE(convRegisterVirtualMeasTable(2, &full)); // only known rules, but the table counts as full
}

TEST_F(Handles, MemoryValuesInBothByteOrdersUpToTheBlockEndThenTheFlippingErrorPattern) {
    // Native values packed by Python's struct, read back in both orders.
    const auto ref = pyref::map(
        "import struct\nv = (-1234.5625, 3.25, 0xBEEF, 0xDEADBEEF)\n"
        "def f(b): return struct.pack('=dfHxxI', *v).hex() + ' ' + struct.pack('>dfHI', *v).hex()\n",
        {{bytes{}}});
    const bytes native = pyref::unhex(ref[0].substr(0, 40));
    std::memcpy(seram_memory + 0x40100, native.data(), native.size());
    std::string got;
    for (auto [addr, size] : {std::pair{0x40100u, 8u}, {0x40108u, 4u}, {0x4010Cu, 2u}, {0x40110u, 4u}}) {
        setup(OWN | addr);
        got += pyref::hex(copy(size, true));
    }
    EXPECT_EQ(pyref::hex(native) + " " + got, ref[0]);

    // Sizes other than 2, 4 and 8 keep their order.
    setup(OWN | 0x40100);
    EXPECT_EQ(copy(3, true), bytes(seram_memory + 0x40100, seram_memory + 0x40103));

    // The block's end is the last accepted address.
    std::memset(seram_memory + 0x5FFFC, 0x5A, 4);
    setup(OWN | 0x5FFFC);
    EXPECT_EQ(copy(8), (bytes{0x5A, 0x5A, 0x5A, 0x5A, 0, 0, 0, 0})); // the zeroed tail behind the block
    setup(OWN | 0x60000);
    EXPECT_EQ(copy(252), bytes(252, 0)); // a DAQ entry at the very end stays in memory
    EXPECT_TRUE(fakes::errorsSet.empty());
    setup(OWN | 0x60001);
    expectErrorPattern();
    setup(OWN | 0x7C0200, 3); // a channel function that does not exist
    expectErrorPattern();     // flipping once a second
    EXPECT_EQ(copy(4), bytes(4, 0));
    seram_1s();
    EXPECT_EQ(copy(252), bytes(252, 0x7F));
    seram_1s();
    EXPECT_EQ(copy(8), bytes(8, 0));
}

TEST_F(Handles, ChannelFunctionOutputsAndMasterSlotsComeBeforeMemory) {
    const float v = 12.5f;
    std::memcpy(fakes::channelValue, &v, 4);
    setup(0x07000000 | fakes::channelVcId, 3);
    ASSERT_EQ(std::pair(h.kind, fakes::channelSetups.size()),
              std::pair(uint32_t{SERAM_MEAS_CHANNEL}, size_t{1}));
    // Set up without the owner PID.
    EXPECT_EQ(std::tuple(fakes::channelSetups[0], seramMeasGetLatency(&h)),
              std::tuple(std::pair(fakes::channelVcId, uint16_t{3}), 7));
    EXPECT_EQ(copy(4), bytes(fakes::channelValue, fakes::channelValue + 4));
    seramMeasFreeMeas(&h);
    seramMeasFreeMeas(&h); // freed once only
    EXPECT_EQ(std::tuple(h.kind, fakes::channelShutdowns.size(), fakes::errorsSet.size()),
              std::tuple(0u, 1u, 0u));

    // Classes 28, 29 and 31 lie below 0x800000 but are never calibration memory.
    setup(OWN | (29u << 18) | 3); // CCP master slot 3
    EXPECT_EQ(h.source, reinterpret_cast<uintptr_t>(&fakes::masterSlot[0]));
    setup(OWN | (28u << 18) | 5); // XCP master slot 5
    fakes::masterSlot[1] = 0x01020304;
    EXPECT_EQ(copy(4, true), (bytes{1, 2, 3, 4}));
    EXPECT_TRUE(fakes::errorsSet.empty());
    setup(OWN | (28u << 18) | 6); // no such master channel
    expectErrorPattern();
}

// A handle knows how many bytes its object has from the address on: what lies behind it is no
// part of the value, and no copy reads it (the bytes beyond read as 0).
TEST_F(Handles, EveryHandleTellsItsObjectsBytesAndNoCopyReadsBeyondThem) {
    auto fits = [&](uint32_t address, uint32_t size) {
        setup(address);
        return seramMeasFits(&h, size);
    };
    // Memory up to the block's end at 0x60000, which holds nothing more.
    EXPECT_TRUE(fits(OWN | 0x5FFF8, 8) && fits(OWN | 0x5FFFC, 4) && fits(OWN | 0x60000, 0) &&
                fits(OWN, 0x60000));
    EXPECT_FALSE(fits(OWN | 0x5FFF8, 9) || fits(OWN | 0x5FFFC, 5) || fits(OWN | 0x60000, 1) ||
                 fits(OWN, 0x60001));
    // A master's value slot is one 32-bit word.
    fakes::masterSlot[1] = 0x04030201;
    EXPECT_TRUE(fits(OWN | (28u << 18) | 5, 4));
    EXPECT_FALSE(fits(OWN | (28u << 18) | 5, 5));
    EXPECT_EQ(copy(8), (bytes{1, 2, 3, 4, 0, 0, 0, 0}));
    // A channel-function output as wide as its function says.
    fakes::channelSize = 2;
    std::memcpy(fakes::channelValue, "\x11\x22\x33\x44", 4);
    EXPECT_TRUE(fits(fakes::channelVcId, 2));
    EXPECT_EQ(copy(4), (bytes{0x11, 0x22, 0, 0}));
    EXPECT_EQ(copy(4, true), (bytes{0, 0, 0x22, 0x11}));
    EXPECT_FALSE(seramMeasFits(&h, 4));
    seramMeasFreeMeas(&h);
    // A conversion's result has 8 bytes.
    float f = 2.0f;
    convEntry_t e{&f, 0, CONV_F32, CONV_F64};
    const uint32_t one = 1;
    const convRule_t r{1, 0};
    convTable_t t{&e, &one, &r};
    ASSERT_TRUE(convRegisterVirtualMeasTable(0, &t));
    EXPECT_TRUE(fits(0x800000, 8));
    EXPECT_FALSE(fits(0x800000, 9));
    // The error pattern has 256 bytes; more read as 0.
    EXPECT_TRUE(fits(OWN | 0x60001, 256));
    EXPECT_FALSE(fits(OWN | 0x60001, 257));
    fakes::errorsSet.clear();
    seram_1s();
    bytes pattern(256, 0x7F);
    pattern.resize(300, 0);
    EXPECT_EQ(copy(300), pattern);
    // A cleared handle names nothing.
    seramMeasClearHandle(&h);
    EXPECT_TRUE(seramMeasFits(&h, 0) && !seramMeasFits(&h, 1) && !seramMeasFits(nullptr, 0));
    EXPECT_EQ(copy(4), bytes(4, 0));
}

TEST_F(Handles, BlockAddressesAsMeasAddresses) {
    EXPECT_EQ(seramConvertAddr2SeramAddr(seram_memory + 0x41740), 0x07041740u);
    app_pid = 0x125; // only the low byte is a PID; outside the block there is none
    int local;
    EXPECT_EQ(std::tuple(seramConvertAddr2SeramAddr(seram_memory), seramConvertAddr2SeramAddr(&local),
                         seramConvertAddr2SeramAddr(seram_memory + SERAM_BLOCK_SIZE)),
              std::tuple(0x25000000u, 0u, 0u));
}

} // namespace
