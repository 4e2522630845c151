// CAN.xml into the tables, channel descriptions, and the udp bus's datagrams against python-can.
#include "comm/canin/canin.h"
#include "comm/canio/canio.h"
#include "comm/canout/canout.h"
#include "comm/chandata/chandata.h"
#include "platform/can/cansim.h"
#include "support/pyref.h"
#include "support/stepped.h"

namespace {

struct CanIo : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        CanIn_initConfig();
        CanOut_initConfig();
    }
};

const char* IN = R"(<CanIn>
  <CanMb idx="3" intf="1" canId="80000123" fdf="true"/>
  <CanSignal chIdx="7" msgIdx="3" sBit="12" len="16" bigEndian="True" outType="SINT16" RCType="SIG"/>
  <CanSignal chIdx="8" msgIdx="3" sBit="0" len="8" bigEndian="false" outType="FLOAT" timeout="100"
             timeoutValue="9" RCType="MSIG" RCValue="2"/>
</CanIn>)";

TEST_F(CanIo, FileFillsTheTables) {
    const std::string text = std::string("<?xml version=\"1.0\"?><Can>") + IN + R"(<CanOut>
  <Intf idx="1" rateLimt="0.25" startDelay="500"/>
  <CanMb idx="2" intf="1" canDlc="8" canId="1A0" event="EventBased" fdf="false" brs="false">
    <Chan type="SINT16" adr="40010" mask="0F00" a="0" b="1" c="0" d="0" e="0" f="1" pid="3"/>
    <Other/>
  </CanMb>
  <CanSignal chIdx="4" msgIdx="2" sBit="8" len="12" bigEndian="false" RCType="SIG" adrType="meas_by_address"
             pid="5" adr="00012345" data_type="UINT16" signed="false" float="false"/>
  <CanChecksum chIdx="5" msgIdx="2" sBit="56" len="8" bigEndian="false" type="20"
               chkSumByteMask="18446744073709551615"/>
  <CanCounter chIdx="6" msgIdx="2" sBit="0" len="4" bigEndian="false" start="5" end="7"/>
  <CanConstant chIdx="7" msgIdx="2" sBit="4" len="4" bigEndian="false" RCType="MSIG" value="3"/>
</CanOut></Can>)";
    ASSERT_EQ(XmlCanIOParse(text.c_str()), 0);
    const CanInMailBox& mb = CanInMailBoxConf[3];
    EXPECT_EQ((std::vector<uint32_t>{mb.intf, mb.id, mb.fd}), (std::vector<uint32_t>{1, 0x80000123, 1}));
    const CanInSignal& a = CanInSignalConf[7];
    const CanInSignal& b = CanInSignalConf[8];
    EXPECT_EQ((std::vector<uint32_t>{a.mb, a.sbit, a.len, a.type, a.order, a.rzType, a.timeout}),
              (std::vector<uint32_t>{3, 12, 16, CANIN_SIGNED, 1, CANIN_SIG, CANIN_NO_TIMEOUT}));
    EXPECT_EQ((std::vector<uint32_t>{b.type, b.rzType, b.rzValue, b.timeout, b.timeoutValue}),
              (std::vector<uint32_t>{CANIN_FLOAT, CANIN_MSIG, 2, 100, 9}));
    EXPECT_FLOAT_EQ(CanOutIntfConf[1].rateLimit, 0.25f);
    EXPECT_EQ(CanOutIntfConf[1].startDelay, 500);
    const CanOutMailBox& om = CanOutMailBoxConf[2];
    EXPECT_EQ((std::vector<int64_t>{om.intf, om.id, om.dlc, om.raster, om.evAddress, om.evMask, om.evType,
                                    om.evEdge}),
              (std::vector<int64_t>{1, 0x1A0, 8, -1, 0x03040010, 0x0F00, 2, 0}));
    EXPECT_EQ(CanOutSignalConf[4].address, 0x05012345u);
    EXPECT_FLOAT_EQ(CanOutSignalConf[4].fact, 1.0f);
    EXPECT_EQ(CanOutSignalConf[5].chkMask, ~uint64_t{0});
    EXPECT_EQ(CanOutSignalConf[5].chkType, 20u);
    EXPECT_EQ((std::vector<uint32_t>{CanOutSignalConf[6].kind, CanOutSignalConf[6].ctrStart,
                                     CanOutSignalConf[6].ctrEnd}),
              (std::vector<uint32_t>{CANOUT_COUNTER, 5, 7}));
    EXPECT_EQ(CanOutSignalConf[7].kind, CANOUT_MCONST);
}

TEST_F(CanIo, ParseErrorsKeepTheSectionsFinishedBeforeAndDropTheFailedOne) {
    struct Case {
        const char* tail;
        const char* error;
    } cases[] = {
        {"<CanIn></CanIn></Can>", "XmlCanIOParse(): <CanIn> found twice"},
        // The output section breaks after its counter row: it must not go out half-configured.
        {R"(<CanOut><CanCounter chIdx="6" msgIdx="2" sBit="0" len="4" bigEndian="false" start="0" end="3"/>
             <CanMb idx="200" intf="0" canDlc="8" canId="1" event="R10ms" fdf="false" brs="false"/></CanOut></Can>)",
         "parseCanOut: index out of range"},
        {"<CanOut>", "no element found"},
    };
    for (const Case& c : cases) {
        CanIn_initConfig();
        CanOut_initConfig();
        seen.clear();
        const std::string text = std::string("<Can>") + IN + c.tail;
        EXPECT_EQ(XmlCanIOParse(text.c_str()), -1) << c.tail;
        EXPECT_TRUE(logged("XmlCanIOParse(): xml config parse error: ") && logged(c.error)) << c.error;
        EXPECT_EQ(CanInSignalConf[7].mb, 3u) << "the input section stays";
        EXPECT_EQ(CanOutSignalConf[6].mb, CANOUT_UNUSED_MB) << "the broken output section is dropped";
    }
}

TEST_F(CanIo, ChannelDescriptionsQuantise) {
    struct Case {
        const char* attrs;
        std::vector<uint8_t> value; // big-endian as delivered
        double expect;
    } cases[] = {
        {R"(type="UINT16" mask="0F00" b="1" c="0" f="1")", {0x12, 0x34}, 2},
        {R"(type="SINT16" mask="0" b="1" c="0" f="1")", {0xFF, 0x38}, -200},
        {R"(type="UINT8" mask="0" b="2" c="10" f="1")", {30}, 10},
        {R"(type="FLOAT" mask="0" b="1" c="0" f="2")", {0x3F, 0xC0, 0, 0}, 3},
        {R"(type="UINT8" mask="0" b="0" c="10" f="3")", {7}, 7}, // b = 0: unscaled
    };
    for (const Case& c : cases) {
        const std::string text = std::string("<Chan adr=\"40010\" a=\"0\" d=\"0\" e=\"0\" ") + c.attrs + "/>";
        XmlScan scan(text.c_str());
        XmlTok_t tok;
        scan.getTok(&tok);
        ChanData ch(&scan, &tok);
        std::vector<uint8_t> entry = {0, 0, 0, 0};
        entry.insert(entry.end(), c.value.begin(), c.value.end());
        ChanData::readCyclic(0, entry.data(), reinterpret_cast<uintptr_t>(&ch));
        double v = 0;
        uint8_t status = 9;
        EXPECT_EQ(chan_meas_getValue(&ch, &v, &status), 1);
        EXPECT_DOUBLE_EQ(v, c.expect) << c.attrs;
        EXPECT_EQ(status, 0);
        EXPECT_EQ(chan_meas_getValue(&ch, &v, nullptr), 0) << "read twice: no new data";
        ChanData::readCyclic(6, nullptr, reinterpret_cast<uintptr_t>(&ch));
        EXPECT_EQ(chan_meas_getValue(&ch, &v, &status), 0);
        EXPECT_EQ(status, 1);
        EXPECT_DOUBLE_EQ(v, c.expect) << "the last value stays";
    }
    EXPECT_TRUE(logged("quantisation parameter B"));
}

// Delivered float values beyond the integer forms, or not numbers, give the limit or 0 (UBSan).
TEST_F(CanIo, ChannelValuesBeyondTheIntegerFormsSaturate) {
    XmlScan scan(R"(<Chan type="FLOAT" adr="40010" mask="0" a="0" b="1" c="0" d="0" e="0" f="1"/>)");
    XmlTok_t tok;
    scan.getTok(&tok);
    ChanData ch(&scan, &tok);
    const struct {
        uint32_t bits;
        int32_t quant;
        uint32_t raw;
    } cases[] = {{0x7149F2CA, INT32_MAX, 0xFFFFFFFF}, // 1e30
                 {0xF149F2CA, INT32_MIN, 0},          // -1e30
                 {0x7FC00000, 0, 0},                  // NaN
                 {0xC0600000, -3, 0xFFFFFFFD}};       // -3.5
    for (const auto& c : cases) {
        const uint8_t entry[8] = {
            0, 0, 0, 0, uint8_t(c.bits >> 24), uint8_t(c.bits >> 16), uint8_t(c.bits >> 8), uint8_t(c.bits)};
        ChanData::readCyclic(0, entry, reinterpret_cast<uintptr_t>(&ch));
        int32_t q = 1;
        uint32_t r = 1;
        ch.getQuantData(q);
        ch.getRawData(r);
        EXPECT_EQ(q, c.quant) << std::hex << c.bits;
        EXPECT_EQ(r, c.raw) << std::hex << c.bits;
    }
}

TEST(CanUdp, DatagramsAreWhatPythonCanSendsAndReads) {
    // python-can's own pack and unpack, with its dlc as the byte count.
    const auto ref = pyref::map(R"(
import can
from can.interfaces.udp_multicast.utils import pack_message, unpack_message
def f(d):
    if d[0] == 0:
        m = can.Message(arbitration_id=0x1ABCDEF0 >> 4, is_extended_id=True, data=bytes(range(12)), is_fd=True,
                        bitrate_switch=True)
        return pack_message(m).hex()
    m = unpack_message(bytes(d[1:]))
    return f"{m.arbitration_id:x} {m.is_extended_id} {m.is_fd} {m.bitrate_switch} {m.dlc} {m.data.hex()}"
)",
                                {{{0}}, {[] {
                                     cansim::Frame f;
                                     f.id = 0x7A1;
                                     f.len = 3;
                                     f.data[0] = 0xDE;
                                     f.data[1] = 0xAD;
                                     f.data[2] = 0x01;
                                     pyref::bytes b = cansim::encodeUdp(f, 1.5);
                                     b.insert(b.begin(), 1);
                                     return b;
                                 }()}});
    cansim::Frame f;
    const pyref::bytes packed = pyref::unhex(ref[0]);
    ASSERT_TRUE(cansim::decodeUdp(packed.data(), packed.size(), &f));
    EXPECT_EQ((std::vector<uint32_t>{f.id, f.ext, f.fd, f.brs, f.len}),
              (std::vector<uint32_t>{0x1ABCDEF, 1, 1, 1, 12}));
    EXPECT_EQ(pyref::hex(f.data, f.len), "000102030405060708090a0b");
    EXPECT_EQ(ref[1], "7a1 False False False 3 dead01");
}

} // namespace
