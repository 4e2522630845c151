// CAN input, output and checksums against Python references written from the bit-numbering
// rules and against crcmod, on the manager's local bus.
#include "comm/can/can.h"
#include "comm/canin/canin.h"
#include "comm/canout/canout.h"
#include "comm/gw/gw.h"
#include "platform/can/cansim.h"
#include "platform/os/os.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <random>

namespace {

// The signal's frame bits from its least significant bit up: Intel counts byte * 8 + bit from
// the start upward; Motorola numbers bit 0 as the most significant bit of byte 0 and runs from
// the start (the most significant bit) to higher numbers.
const char* BITS = R"(
def bits(p):
    start, n, moto = p[0] << 8 | p[1], p[2], p[3] & 1
    if not moto: return [((start + i) // 8, (start + i) % 8) for i in range(n)]
    return [(s // 8, 7 - s % 8) for s in reversed(range(start, start + n))]
)";

std::vector<uint8_t> params(uint32_t start, uint32_t len, bool moto, bool sign) {
    return {static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start), static_cast<uint8_t>(len),
            static_cast<uint8_t>(moto | sign << 1)};
}

struct Can : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        platform::setSettings(platform::Settings{});
        std::string err;
        ASSERT_TRUE(cansim::install(0, &err)) << err;
        RtpManUsr_setIndex(0);
        ASSERT_EQ(RtpManUsrCan_Init(), 1);
        CanIn_reset();
        std::fill(&memory_canin[0], &memory_canin[0] + CANIN_ROWS, 0u);
        CanIn_initConfig();
        CanOut_initConfig();
        gw_reset();
    }
    void TearDown() override {
        CanOut_reset();
        cansim::uninstall();
        SteppedTest::TearDown();
    }
    static void frame(uint32_t id, const std::vector<uint8_t>& data, uint8_t node = 0) {
        cansim::Frame f;
        f.node = node;
        f.id = id;
        f.fd = data.size() > 8;
        f.len = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), f.data);
        cansim::inject(f);
        canPoll_1ms();
    }
    static void inRow(int r, uint32_t mb, uint32_t start, uint32_t len, uint32_t order, uint32_t type,
                      uint32_t rz = CANIN_SIG, uint32_t rzValue = 0, uint32_t timeout = CANIN_NO_TIMEOUT,
                      uint32_t timeoutValue = 0) {
        CanInSignalConf[r] = CanInSignal{mb, start, len, type, order, rz, rzValue, timeout, timeoutValue};
    }
    static CanOutSignal& outRow(int r, uint32_t mb, uint32_t kind, uint32_t start, uint32_t len,
                                uint32_t order = 0) {
        CanOutSignal& s = CanOutSignalConf[r];
        s = CanOutSignal{};
        s.kind = kind;
        s.mb = mb;
        s.sbit = start;
        s.len = len;
        s.order = order;
        return s;
    }
    static void outMb(int i, uint32_t id, uint32_t dlc, int raster = 0) {
        CanOutMailBoxConf[i] = CanOutMailBox{};
        CanOutMailBoxConf[i].intf = 0;
        CanOutMailBoxConf[i].id = id;
        CanOutMailBoxConf[i].dlc = dlc;
        CanOutMailBoxConf[i].kind = dlc > 8;
        CanOutMailBoxConf[i].raster = raster;
    }
    // The data of the frames sent, as hex.
    static std::vector<std::string> sent() {
        std::vector<std::string> out;
        for (const cansim::Frame& f : cansim::takeSent())
            out.push_back(pyref::hex(f.data, f.len));
        return out;
    }
};

TEST_F(Can, InputDecodesEveryPlacementAsTheBitRulesSay) {
    // The Part's worked examples first, then random rows over every start bit, length, byte
    // order and signedness of a 64-byte frame.
    struct Ex {
        uint32_t start, len, order, type, expect;
    };
    std::vector<uint8_t> data = {0xFE, 0x34, 0x56, 0x78};
    const Ex ex[] = {{4, 8, 0, 1, 0x4F},
                     {0, 16, 1, 1, 0xFE34},
                     {4, 4, 1, 1, 0x0E},
                     {0, 4, 1, 1, 0x0F},
                     {0, 8, 0, 0, 0xFFFFFFFE}};
    std::mt19937 rng(24);
    data.resize(64);
    for (size_t i = 4; i < 64; ++i)
        data[i] = static_cast<uint8_t>(rng());
    std::vector<std::vector<pyref::bytes>> cases;
    for (int r = 0; r < CANIN_ROWS; ++r) {
        const uint32_t len = r < 5 ? ex[r].len : 1 + rng() % 32, order = r < 5 ? ex[r].order : rng() % 2;
        const uint32_t start = r < 5 ? ex[r].start : rng() % (513 - len),
                       type = r < 5 ? ex[r].type : rng() % 3;
        inRow(r, 0, start, len, order, type);
        cases.push_back({data, params(start, len, order, type == CANIN_SIGNED)});
    }
    CanInMailBoxConf[0] = CanInMailBox{0, 0x123, 1};
    ASSERT_EQ(CanIn_init(), 0);
    frame(0x123, data);
    const auto ref = pyref::map(std::string(BITS) + R"(
def f(d, p):
    n = p[2]
    v = sum(((d[b] >> k) & 1) << i for i, (b, k) in enumerate(bits(p)))
    if p[3] & 2 and v >> (n - 1) & 1: v -= 1 << n
    return v & 0xFFFFFFFF
)",
                                cases);
    for (int r = 0; r < CANIN_ROWS; ++r) {
        EXPECT_EQ(std::to_string(memory_canin[r]), ref[r])
            << "row " << r << " start " << CanInSignalConf[r].sbit << " len " << CanInSignalConf[r].len;
        if (r < 5) {
            EXPECT_EQ(memory_canin[r], ex[r].expect) << r;
        }
    }
    EXPECT_EQ(can_ReceiveCnt[0], 1u);
}

TEST_F(Can, OutputPacksEveryPlacementAsTheBitRulesSay) {
    std::mt19937 rng(7);
    for (int batch = 0; batch < 3; ++batch) {
        CanOut_initConfig();
        std::vector<std::vector<pyref::bytes>> cases;
        for (int i = 0; i < CANOUT_MAILBOXES; ++i) {
            const uint32_t len = 1 + rng() % 32, order = rng() % 2, start = rng() % (513 - len);
            outMb(i, 0x100 + i, 15);
            outRow(i, i, CANOUT_CONST, start, len, order).constant = static_cast<uint32_t>(rng());
            const uint32_t v = CanOutSignalConf[i].constant;
            cases.push_back({{static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)},
                             params(start, len, order, false)});
        }
        ASSERT_EQ(CanOut_init(), 0);
        CanOut_send_message(0);
        const auto ref = pyref::map(std::string(BITS) + R"(
def f(v, p):
    v, d = int.from_bytes(v, 'big'), bytearray(64)
    for i, (b, k) in enumerate(bits(p)):
        if v >> i & 1: d[b] |= 1 << k
    return d.hex()
)",
                                    cases);
        const auto out = sent();
        ASSERT_EQ(out.size(), ref.size());
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i], ref[i]) << "start " << CanOutSignalConf[i].sbit << " len "
                                      << CanOutSignalConf[i].len << " order " << CanOutSignalConf[i].order;
    }
}

TEST_F(Can, ChecksumsMatchCrcmodAndTheRulesOfEachType) {
    std::mt19937 rng(3);
    std::vector<std::vector<pyref::bytes>> cases;
    std::vector<std::tuple<uint32_t, uint64_t, uint8_t, pyref::bytes>> mine;
    const uint32_t types[] = {1, 2, 10, 11, 12, 20, 21, 5};
    for (int i = 0; i < 160; ++i) {
        const uint32_t type = types[i % 8];
        const uint64_t mask = i < 8 ? ~uint64_t{0} : (uint64_t{rng()} << 32 | rng());
        const uint8_t len = static_cast<uint8_t>(i < 8 ? 9 : rng() % 65);
        pyref::bytes d =
            i < 8 ? pyref::bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'} : pyref::random_bytes(rng, 64);
        d.resize(64);
        mine.emplace_back(type, mask, len, d);
        pyref::bytes p = {static_cast<uint8_t>(type), len};
        for (int k = 0; k < 8; ++k)
            p.push_back(static_cast<uint8_t>(mask >> (8 * k)));
        cases.push_back({d, p});
    }
    // crcmod's initCrc is the start value XOR the final XOR: 0xFF ^ 0xFF.
    const auto ref = pyref::map(R"(
crc = {20: crcmod.mkCrcFun(0x11D, 0, False, 0xFF), 21: crcmod.mkCrcFun(0x12F, 0, False, 0xFF)}
def f(d, p):
    t, n, m = p[0], p[1], int.from_bytes(p[2:], 'little')
    b = bytes(d[i] for i in range(n) if m >> i & 1)
    x = 0
    for c in b: x ^= c
    s = sum(b)
    while s > 0xFF: s = (s & 0xFF) + (s >> 8)
    return {1: x, 2: x ^ 0xFF, 10: sum(b) & 0xFF, 11: (sum(b) & 0xFF) ^ 0xFF, 12: s,
            20: crc.get(20, 0)(b), 21: crc.get(21, 0)(b)}.get(t, 0)
)",
                                cases);
    canOut_calcChksum_ini();
    for (size_t i = 0; i < mine.size(); ++i) {
        auto& [type, mask, len, d] = mine[i];
        EXPECT_EQ(std::to_string(canOut_calcChksum(type, static_cast<uint32_t>(mask),
                                                   static_cast<uint32_t>(mask >> 32), len, d.data())),
                  ref[i])
            << "type " << type << " case " << i;
    }
    // The published check values of the two CRCs, over "123456789".
    EXPECT_EQ(canOut_calcChksum(20, ~0u, ~0u, 9, std::get<3>(mine[5]).data()), 0x4B);
    EXPECT_EQ(canOut_calcChksum(21, ~0u, ~0u, 9, std::get<3>(mine[6]).data()), 0xDF);
}

TEST_F(Can, MultiplexedRowsAndTimeOutValues) {
    CanInMailBoxConf[3] = CanInMailBox{0, 0x80012345, 0}; // 29-bit
    inRow(0, 3, 0, 8, 0, CANIN_UNSIGNED, CANIN_SIG, 0, 100, 0x1234);
    inRow(1, 3, 8, 8, 0, CANIN_UNSIGNED, CANIN_MUX);
    inRow(2, 3, 16, 8, 0, CANIN_UNSIGNED, CANIN_MSIG, 1);
    inRow(3, 3, 16, 16, 0, CANIN_UNSIGNED, CANIN_MSIG, 2);
    inRow(4, 3, 24, 8, 0, CANIN_UNSIGNED, CANIN_MSIG, 2);
    inRow(5, 3, 16, 8, 0, CANIN_UNSIGNED, CANIN_MSIG, 4);
    ASSERT_EQ(CanIn_init(), 0);
    EXPECT_EQ(memory_canin[0], 0x34u) << "an 8-bit row's time-out value takes its lowest byte at start";
    auto sendExt = [](std::vector<uint8_t> d) {
        cansim::Frame f;
        f.id = 0x12345;
        f.ext = true;
        f.len = static_cast<uint8_t>(d.size());
        std::copy(d.begin(), d.end(), f.data);
        cansim::inject(f);
        canPoll_1ms();
    };
    struct Step {
        std::vector<uint8_t> data;
        uint32_t expect[6];
    } steps[] = {
        {{7, 1, 0xAA, 0xBB}, {7, 1, 0xAA, 0, 0, 0}},
        {{8, 2, 0xCC, 0xDD}, {8, 2, 0xAA, 0xDDCC, 0xDD, 0}},
        {{9, 3, 0xEE, 0xFF}, {9, 3, 0xAA, 0xDDCC, 0xDD, 0}}, // no rows for 3
        {{10, 4}, {10, 4, 0xAA, 0xDDCC, 0xDD, 0}},           // row 5 lies beyond the data: skipped
        {{}, {10, 4, 0xAA, 0xDDCC, 0xDD, 0}},                // DLC 0 changes nothing
    };
    for (auto& s : steps) {
        sendExt(s.data);
        for (int r = 0; r < 6; ++r)
            EXPECT_EQ(memory_canin[r], s.expect[r]) << "row " << r << " after " << pyref::hex(s.data);
    }
    for (int i = 0; i < 99; ++i)
        CanIn_supervisor_1ms();
    EXPECT_EQ(memory_canin[0], 10u);
    CanIn_supervisor_1ms();
    EXPECT_EQ(memory_canin[0], 0x34u) << "100 ms after the last frame";
    memory_canin[0] = 5;
    CanIn_supervisor_1ms();
    EXPECT_EQ(memory_canin[0], 5u) << "written once per expiry";
    sendExt({1}); // row 0 only: it starts its time-out again
    for (int i = 0; i < 50; ++i)
        CanIn_supervisor_1ms();
    EXPECT_EQ(memory_canin[0], 1u);
}

TEST_F(Can, RowsTheFrameCannotHoldAreRefusedAtConfiguration) {
    CanInMailBoxConf[0] = CanInMailBox{0, 0x10, 0};
    const uint32_t bad[][3] = {{200, 0, 8}, {0, 0, 0}, {0, 0, 33}, {0, 505, 8}}; // mailbox, start, length
    for (int r = 0; r < 4; ++r)
        inRow(r, bad[r][0], bad[r][1], bad[r][2], 0, CANIN_UNSIGNED);
    inRow(4, 0, 0, 8, 0, CANIN_UNSIGNED);
    ASSERT_EQ(CanIn_init(), 0);
    for (int r = 0; r < 4; ++r)
        EXPECT_TRUE(logged("CanIn_Init: Config Error: row " + std::to_string(r) + " refused")) << r;
    frame(0x10, {42});
    EXPECT_EQ(memory_canin[4], 42u);

    CanIn_reset();
    inRow(0, 3, 0, 8, 0, CANIN_UNSIGNED);
    inRow(1, 2, 0, 8, 0, CANIN_UNSIGNED);
    CanInMailBoxConf[2] = CanInMailBoxConf[3] = CanInMailBox{0, 0x11, 0};
    EXPECT_EQ(CanIn_init(), 1);
    EXPECT_TRUE(logged("CanIn_Init: Config Error: mailbox index not up counting (1)"));
}

TEST_F(Can, OutputCountersRowGroupsChecksumsAndMeasuredValues) {
    outMb(0, 0x200, 8);
    outRow(0, 0, CANOUT_COUNTER, 0, 8).ctrStart = 5;
    CanOutSignalConf[0].ctrEnd = 7;
    outRow(1, 0, CANOUT_MUX, 8, 8);
    outRow(2, 0, CANOUT_MCONST, 16, 8).rzValue = 1;
    CanOutSignalConf[2].constant = 0x11;
    outRow(3, 0, CANOUT_MCONST, 16, 8).rzValue = 2;
    CanOutSignalConf[3].constant = 0x22;
    outRow(4, 0, CANOUT_CHECKSUM, 56, 8).chkType = 1;
    CanOutSignalConf[4].chkMask = 0xFF; // its own byte 7 drops out
    outMb(1, 0x201, 4);
    CanOutSignal& u8 = outRow(5, 1, CANOUT_SIG, 0, 8);
    u8.address = 0x40010;
    u8.dataType = 6;
    u8.fact = 1;
    CanOutSignal& s8 = outRow(6, 1, CANOUT_SIG, 8, 8);
    s8.address = 0x40014;
    s8.dataType = 6;
    s8.fact = 1;
    s8.isSigned = 1;
    CanOutSignal& whole = outRow(7, 1, CANOUT_SIG, 16, 16); // mask 0: the whole value
    whole.address = 0x40018;
    whole.dataType = 3;
    ASSERT_EQ(CanOut_init(), 0);
    CanOutIntfConf[0].rateLimit = 0;

    for (int i = 0; i < 5; ++i)
        CanOut_send_message(0);
    std::vector<std::string> out = sent();
    const std::vector<std::string> expect = {"0001110000000010", "00", "0102220000000021", "00",
                                             "0201110000000012", "00", "0302220000000023", "00",
                                             "0401110000000014", "00"};
    // Message 1 goes out with its bits 0 until its values are delivered.
    ASSERT_EQ(out.size(), 10u);
    for (size_t i = 0; i < 10; i += 2)
        EXPECT_EQ(out[i], expect[i]) << i;
    EXPECT_EQ(out[1], "00000000");

    uintptr_t list = 0;
    uint32_t off[3], size = 0;
    const uint32_t addr[3] = {0x40010, 0x40014, 0x40018};
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(CanOut_recordOf(addr[i], &list, &off[i], &size));
    std::vector<uint8_t> entry(4 + size);
    auto put = [&](int i, uint32_t w, int bytes) {
        for (int k = 0; k < bytes; ++k)
            entry[4 + off[i] + k] = static_cast<uint8_t>(w >> (8 * (bytes - 1 - k)));
    };
    put(0, 0x43964CCD, 4); // 300.6f: clamped to 255
    put(1, 0xC0600000, 4); // -3.5f: -4
    put(2, 0xBEEF, 2);
    CanOut_man_meas_read(0, entry.data(), list);
    CanOut_send_message(0);
    out = sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], "fffcefbe");
}

TEST_F(Can, RateLimitSpreadsFramesInIdentifierOrder) {
    for (int i = 0; i < 3; ++i) {
        outMb(i, 0x300 - i, 1, i == 1 ? 2 : 0);
        outRow(i, i, CANOUT_CONST, 0, 8).constant = static_cast<uint32_t>(i);
    }
    CanOutMailBoxConf[2].id = 0x80000001; // 29-bit: after every 11-bit one
    CanOutIntfConf[0].rateLimit = 0.5f;
    ASSERT_EQ(CanOut_init(), 0);
    std::vector<uint32_t> ids;
    for (int ms = 0; ms < 8; ++ms) {
        if (ms == 0) CanOut_send_message(2);
        CanOut_send_message(0);
        for (const cansim::Frame& f : cansim::takeSent())
            ids.push_back(f.id);
    }
    // One frame every 2 ms, lowest rank first, only frames with new content: 0x2FF is built
    // once, the 29-bit one ranks behind 0x300, which is rebuilt every millisecond.
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x2FF, 0x300, 0x300, 0x300}));
}

TEST_F(Can, EventWithMaskZeroNeverFires) {
    outMb(0, 0x50, 1, -1);
    CanOutMailBoxConf[0].evAddress = 0x40010;
    outRow(0, 0, CANOUT_CONST, 0, 8).constant = 1;
    ASSERT_EQ(CanOut_init(), 0);
    EXPECT_TRUE(logged("CanOut_man: event mask 0 never fires (0)"));
    uintptr_t list;
    uint32_t off, size;
    ASSERT_TRUE(CanOut_recordOf(0x40010, &list, &off, &size));
    std::vector<uint8_t> entry(4 + size);
    for (uint8_t v : {0, 1, 0, 1}) {
        entry[4 + off] = v;
        CanOut_man_meas_read(0, entry.data(), list);
        CanOut_event_message();
    }
    EXPECT_TRUE(sent().empty());
}

// CAN.xml is compiled in its own task while the 1 ms raster polls and sends (TSan).
TEST_F(Can, ConfigurationTaskRegistersWhileTheRastersRun) {
    CanInMailBoxConf[0] = CanInMailBox{0, 0x10, 0};
    inRow(0, 0, 0, 8, 0, CANIN_UNSIGNED);
    outMb(0, 0x20, 1);
    outRow(0, 0, CANOUT_CONST, 0, 8).constant = 7;
    ASSERT_EQ(canRegisterRxFunc(1, CAN_FMT_STD, 0x7E8, nullptr, 0), 0); // a master's, at start-up
    frame(0x7E8, {1}, 1);
    cansim::inject(cansim::Frame{1, 0x7E8, false, false, false, 1, {2}}); // arrives while registering
    std::atomic<bool> done{false};
    const TASK_ID raster = taskSpawnFn("r1ms", 100, 0, 0, [&done] {
        for (bool last = false; !last;) {
            last = done;
            canPoll_1ms();
            CanOut_event_message();
            CanOut_send_message(0);
        }
    });
    ASSERT_EQ(CanIn_init(), 0);
    ASSERT_EQ(CanOut_init(), 0);
    cansim::Frame f;
    f.id = 0x10;
    f.len = 1;
    f.data[0] = 0x2A;
    cansim::inject(f);
    done = true;
    ASSERT_EQ(taskWaitExit(raster, WAIT_FOREVER), OK);
    EXPECT_EQ(memory_canin[0], 0x2Au);
    EXPECT_EQ(sent().back(), "07");
}

// Event factors of the data page that are not numbers or beyond any integer (UBSan).
TEST_F(Can, DataPageEventFactorsOutOfRangeAreTakenSafely) {
    const float q[] = {NAN, 3e9f, -INFINITY, 2.7f};
    for (float v : q) {
        std::memcpy(seram_memory + 0x15628u + seramActiveOffset, &v, 4); // CfgMat_CanOut_Mb_Event_quant_a[0]
        CanOut_CfgMat_configure();
    }
    EXPECT_EQ(CanOutMailBoxConf[0].quant[0], 2.0f);
}

} // namespace
