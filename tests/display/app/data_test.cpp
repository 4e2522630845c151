// Channel values and the data manager: decoding, quantisation, the texts of every display mode
// (formats checked against Python's bytes formatting), and the manager's lists over a fake gateway.
#include "channels.h"
#include "display/app/disp_data.h"
#include "services/rtpman/rtpman.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using dtest::Feed;

TEST(DisplayData, RawValuesDecodeByTypeAndMask) {
    struct Case {
        uint16_t type;
        uint32_t mask;
        std::vector<uint8_t> bytes;
        double value;
    } cases[] = {
        {TYPE_UINT16, 0xFFFF, {0x12, 0x34}, 4660},
        {TYPE_SINT16, 0xFFFF, {0xFF, 0xFE}, -2},
        {TYPE_FLOAT, 0xFFFFFFFF, {0x3F, 0x80, 0, 0}, 1.0},
        {TYPE_UINT16, 0x00F0, {0x12, 0x34}, 3},   // (0x1234 & 0xF0) >> 4
        {TYPE_SINT16, 0x00F0, {0xFF, 0x00}, -16}, // signed: the shift alone
        {TYPE_SINT8, 0xFF, {0x80}, -128},
        {TYPE_UINT8, 0xFF, {0x80}, 128},
        {TYPE_SINT32, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}, -1},
        {TYPE_UINT32, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}, 4294967295.0},
        {TYPE_BOOL, 0x01, {0x01}, 1},
        {TYPE_NONE, 0, {0x55}, 0},
    };
    for (const Case& c : cases) {
        Feed ch(DISPMODE_NORMAL, c.type, c.mask);
        EXPECT_EQ(ch.put(c.bytes), c.value) << "type " << c.type << " mask " << c.mask;
        EXPECT_TRUE(ch.d.getMeasUpdateState());
    }
    // A rational quantisation; a zero denominator gives no error.
    Feed q(DISPMODE_NORMAL, TYPE_UINT8, 0xFF, 0.5f, 10.0f);
    EXPECT_EQ(q.put({40}), 30.0);
    q.d.quant[5] = 0;
    EXPECT_TRUE(std::isinf(q.put({40})));
}

// Every format piece as Python's bytes % formatting prints it; the separator 0x81 stays.
TEST(DisplayData, NormalTextsFollowThePrintfRules) {
    const std::vector<std::pair<std::string, double>> cases = {
        {"%.0f", 2.6},
        {"%.1f", 2.0},
        {"%8.3f", -3.14159},
        {"%-+9.2e", 12345.678},
        {"%G", 1e-7},
        {"%#.0f", 3.0},
        {"%05.1f km", 7.25},
        {"%.1f\x81%.0f", 1.25},
        {"%.2f\x81"
         "bar",
         0.125},
        {"RPM %.0f %%", 9000},
        {"%.0f", -0.4},
        {"%E", -1e300},
        {"%g", INFINITY},
        {"%.1lf", 2.25},
        {"%.12f", 1.0 / 3},
        {"%12.3e", -0.00123},
    };
    std::vector<std::vector<pyref::bytes>> in;
    for (const auto& [fmt, v] : cases) {
        char num[64];
        std::snprintf(num, sizeof num, "%.17g", v);
        in.push_back({pyref::bytes(fmt.begin(), fmt.end()), pyref::bytes(num, num + std::strlen(num))});
    }
    const auto want = pyref::map(R"(
def f(fmt, v):
    v = float(v)
    out = b''
    for piece in fmt.replace(b'\x81', b'\x81\n').split(b'\n'):
        out += piece % v if b'%' in piece.replace(b'%%', b'') else piece.replace(b'%%', b'%')
    if out.endswith(b'.'):
        out = out[:-1]
    if out == b'-0':
        out = b'0'
    return out.hex()
)",
                                 in);
    for (size_t i = 0; i < cases.size(); ++i) {
        Feed ch;
        const std::string got = ch.text(cases[i].first.c_str(), cases[i].second);
        EXPECT_EQ(pyref::hex(reinterpret_cast<const uint8_t*>(got.data()), got.size()), want[i])
            << "format " << cases[i].first;
    }
}

// Formats the mode cannot print safely are shown as they stand, logged once.
TEST(DisplayData, UnprintableFormatsShowLiterally) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"%s", "%s"},     {"%d rpm", "%d rpm"},     {"%n", "%n"},         {"%*f", "%*f"},
        {"%Lf", "%Lf"},   {"%.1f%.1f", "%.1f%.1f"}, {"%9999f", "%9999f"}, {"%.1f\x81%x", "1.5\x81%x"},
        {"%llf", "%llf"}, {"%hf", "%hf"},           {"50%", "50%"},
    };
    for (const auto& [fmt, want] : cases) {
        Feed ch;
        EXPECT_EQ(ch.text(fmt.c_str(), 1.5), want) << fmt;
    }
    // Text modes take one %s per piece; a wide field is cut to the buffer.
    Feed t(DISPMODE_ASCII);
    EXPECT_EQ(t.text("[%-3s]\x81%s", 65), "[A  ]\x81"
                                          "A");
    EXPECT_EQ(t.text("%f", 65), "%f");
    EXPECT_EQ(t.text("%300s", 65).size(), 254u);
}

TEST(DisplayData, TimeVerbalAndAsciiModes) {
    vtab_entry_s minus{nullptr, nullptr, nullptr, 0, "R", -1};
    vtab_entry_s one{nullptr, nullptr, &minus, 1, "1", 1};
    vtab_s gear{"gear", "?", &one, nullptr};
    struct Case {
        uint32_t mode;
        double v;
        const char* want;
    } cases[] = {
        {DISPMODE_TIME_HH_MM_SS, 3725.4, "01:02:05"},
        {DISPMODE_TIME_HH_MM_SS, -61, "-00:01:01"},
        {DISPMODE_TIME_HH_MM_SS, 1e300, "596523:14:07"}, // saturated at 2^31 - 1 s
        {DISPMODE_TIME_MM_SS_MS, 83.456, "01:23:46"},
        {DISPMODE_TIME_U_SSS_MS, -5, "000:00"},
        {DISPMODE_TIME_U_SSS_MS, 12.345, "012:35"},
        {DISPMODE_TIME_S_SSS_MS, 1.239, " 001:23"},
        {DISPMODE_TIME_S_SSS_MS, -1.239, "-001:23"},
        {DISPMODE_TIME_S_SSS_MS, -INFINITY, "-21474836:48"},
        {DISPMODE_VERBAL, 1.4, "1"},
        {DISPMODE_VERBAL, 0.5, "1"},
        {DISPMODE_ASCII, 64.5, "A"},
        {DISPMODE_VERBAL, -1, "R"}, // the table orders its numbers as unsigned
        {DISPMODE_VERBAL, 7, "?"},
        {DISPMODE_ASCII, 65, "A"},
        {DISPMODE_TIME_HH_MM_SS, NAN, ""},
        {DISPMODE_NORMAL, NAN, ""},
        {DISPMODE_VISIBILITY, 1, ""},
    };
    for (const Case& c : cases) {
        Feed ch(c.mode);
        ch.d.vtab = &gear;
        EXPECT_EQ(ch.text(c.mode == DISPMODE_NORMAL ? "%.1f" : "%s", c.v), c.want) << c.mode << " " << c.v;
    }
    // Before the first value and after a time-out every mode is empty.
    Feed ch(DISPMODE_TIME_HH_MM_SS);
    char before[255] = "x", after[255] = "x";
    ch.d.getDataStr("%s", before, sizeof before);
    ch.text("%s", 1);
    ch.d.setTimeout();
    ch.d.getDataStr("%s", after, sizeof after);
    EXPECT_EQ(std::string(before) + std::string(after), "");
}

// ---- manager over a fake gateway -----------------------------------------------------------

using dtest::FakeGateway;

struct DisplayManager : ::testing::Test {
    void SetUp() override {
        FakeGateway::reset();
        CDataManager_setGateway(FakeGateway::ops());
        app_pid = 0x25;
    }
    void TearDown() override {
        CDataManager_setGateway(nullptr);
        app_pid = 0;
    }
    static display_elem_s box(uint32_t adr, uint16_t type, float b = 1) {
        display_elem_s e{};
        e.type = ELEM_ALPHANUMERIC;
        e.alphanum.dispmode = DISPMODE_NORMAL;
        e.alphanum.ch_input = {adr, 0xFFFFFFFF, 0, b, 0, 0, 0, 1, type};
        return e;
    }
};

TEST_F(DisplayManager, RequestsGroupByWidthAndShareEqualChannels) {
    CDataManager dm;
    display_elem_s a = box(0x03000010, TYPE_UINT32), b = box(0x03000020, TYPE_UINT32),
                   c = box(0x03000030, TYPE_UINT8);
    display_elem_s twin = box(0x03000010, TYPE_UINT32, 2); // same channel, own quantisation
    display_elem_s bar = a;
    bar.type = ELEM_BARGRAPH;
    bar.bargraph.ch_input = a.alphanum.ch_input;
    CData* da = dm.addData(&a, 4, CDATA_VALUE);
    dm.addData(&b, 4, CDATA_VALUE);
    dm.addData(&c, 4, CDATA_VALUE);
    CData* dt = dm.addData(&twin, 4, CDATA_VALUE);
    CData* dbar = dm.addData(&bar, 4, CDATA_VALUE);
    EXPECT_EQ(dm.addData(&a, 4, CDATA_VIS), nullptr); // always shown: no visibility channel
    EXPECT_EQ(std::tuple(dt->getMeas(), dbar->getMeas()), std::tuple(da->getMeas(), da->getMeas()));
    dm.createMeaslists();
    dm.startMeasurement();
    ASSERT_EQ(FakeGateway::requests.size(), 1u);
    // The later registered first; the final 0 ends the request.
    EXPECT_EQ(FakeGateway::requests[0], (std::vector<int32_t>{-4, 0x20, 0x10, 0, -1, 0x30, 0, 0}));
    EXPECT_EQ(std::tuple(FakeGateway::blocks[0], FakeGateway::rasters[0], FakeGateway::timeouts[0]),
              std::tuple(13, 4, 5u));
    FakeGateway::read(0, GW_OK, {0, 0, 0, 1, 0, 0, 0, 7, 0, 0, 0, 21, 9});
    for (CData* d : {da, dt})
        d->updateData();
    EXPECT_EQ(std::tuple(da->value, dt->value), std::tuple(21, 42));
}

TEST_F(DisplayManager, DeviceZeroIsThisUnitAndListsSplitByDeviceAndSize) {
    CDataManager dm;
    std::vector<display_elem_s> elems;
    elems.push_back(box(0x00040010, TYPE_FLOAT));
    elems.push_back(box(0x22000010, TYPE_FLOAT));
    for (uint32_t i = 0; i < 200; ++i)
        elems.push_back(box(0x03000000 + 4 * i, TYPE_UINT32));
    for (auto& e : elems)
        dm.addData(&e, 4, CDATA_VALUE);
    dm.createMeaslists();
    dm.startMeasurement();
    size_t own = 0, of34 = 0, of3 = 0;
    for (size_t i = 0; i < FakeGateway::pids.size(); ++i) {
        EXPECT_LE(FakeGateway::requests[i].size() * 4, GW_LIST_MAX);
        own += FakeGateway::pids[i] == 0x25;
        of34 += FakeGateway::pids[i] == 34;
        of3 += FakeGateway::pids[i] == 3;
    }
    // A new list once 4 x words reaches 464: 114 channels in the first.
    EXPECT_EQ(std::tuple(own, of34, of3), std::tuple(1u, 1u, 2u));
    dm.stopMeasurement();
    EXPECT_EQ(std::tuple(FakeGateway::disconnects, dm.lists(), dm.records()),
              std::tuple(1, nullptr, nullptr));
}

TEST_F(DisplayManager, TimeoutsAndKilledListsMakeValuesStale) {
    CDataManager dm;
    display_elem_s e7 = box(0x07000010, TYPE_UINT8), e20 = box(0x14000010, TYPE_UINT8);
    display_elem_s e34 = box(0x22000010, TYPE_UINT8), e70 = box(0x46000010, TYPE_UINT8);
    CData* d = dm.addData(&e7, 4, CDATA_VALUE);
    for (display_elem_s* e : {&e20, &e34, &e70})
        dm.addData(e, 4, CDATA_VALUE);
    dm.createMeaslists();
    dm.startMeasurement();
    int l7 = 0;
    while (FakeGateway::pids[static_cast<size_t>(l7)] != 7)
        ++l7;
    FakeGateway::read(l7, GW_OK, {0, 0, 0, 0, 5});
    for (int i = 0; i < 4; ++i)
        FakeGateway::read(l7, GW_NODATA);
    EXPECT_TRUE(d->getMeasUpdateState()) << "four reports keep the value";
    FakeGateway::read(l7, GW_NODATA);
    EXPECT_FALSE(d->getMeasUpdateState());
    FakeGateway::read(l7, GW_OK, {0, 0, 0, 0, 5});
    EXPECT_TRUE(d->getMeasUpdateState());
    FakeGateway::read(l7, GW_OFFLINE);
    EXPECT_FALSE(d->getMeasUpdateState());
    FakeGateway::read(-1, GW_NODATA);
    bool all = true, any = true;
    uint16_t least = 0, most = 0;
    uint32_t total = 0, bits = 0;
    dm.getStatus(&all, &any, &least, &most, &total, &bits);
    EXPECT_EQ(std::tuple(all, any, least, most, total, bits),
              std::tuple(false, false, 1, 6, 9u, 1u << 0 | 1u << 1 | 1u << 4 | 1u << 31));
    dm.stopMeasurement();
    CDataManager none;
    none.getStatus(&all, &any, &least, &most, nullptr, nullptr);
    EXPECT_EQ(std::tuple(all, any, least, most), std::tuple(true, false, 65535, 0));
}

} // namespace
