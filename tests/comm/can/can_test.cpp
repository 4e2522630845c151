// CAN input, output and checksums against Python references written from the bit-numbering
// rules and against crcmod, on the manager's local bus; the other expectations are the rules'
// own worked examples; CAN.xml into the tables.
#include "comm/can/can.h"
#include "comm/canin/canin.h"
#include "comm/canio/canio.h"
#include "comm/canout/canout.h"
#include "comm/gw/gw.h"
#include "platform/can/cansim.h"
#include "platform/os/os.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "services/time/time_util.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>

namespace {

using Out = CanOutSignal;
using Mb = CanOutMailBox;
using u32s = std::vector<uint32_t>;
using strings = std::vector<std::string>;

pyref::bytes params(uint32_t start, uint32_t len, uint32_t moto, bool sign) {
    return {uint8_t(start >> 8), uint8_t(start), uint8_t(len), uint8_t(moto | sign << 1)};
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
        can_ReceiveCnt[0] = can_ReceiveCnt[1] = 0; // counted from the test's first frame, in any order
        CanIn_initConfig();
        CanOut_initConfig();
        gw_reset();
        time_util_ini();
    }
    void TearDown() override {
        CanOut_reset();
        cansim::uninstall();
        SteppedTest::TearDown();
    }
    static void frame(uint32_t id, const pyref::bytes& data, uint8_t node = 0, bool ext = false) {
        cansim::Frame f{node, id, ext, data.size() > 8, false, uint8_t(data.size()), {}};
        std::copy(data.begin(), data.end(), f.data);
        cansim::inject(f);
        canPoll_1ms();
    }
    static void inRow(int r, uint32_t mb, uint32_t start, uint32_t len, uint32_t order, uint32_t type,
                      uint32_t rz = CANIN_SIG, uint32_t rzValue = 0, uint32_t timeout = CANIN_NO_TIMEOUT,
                      uint32_t timeoutValue = 0) {
        CanInSignalConf[r] = CanInSignal{mb, start, len, type, order, rz, rzValue, timeout, timeoutValue};
    }
    static Mb& mb(uint32_t i, uint32_t id, uint32_t dlc, int raster = 0, uint32_t intf = 0) {
        return CanOutMailBoxConf[i] = Mb{intf, id, dlc, uint8_t(dlc > 8), 0, raster};
    }
    // The data of the frames sent, as hex.
    static strings sent() {
        strings out;
        for (const cansim::Frame& f : cansim::takeSent())
            out.push_back(pyref::hex(f.data, f.len));
        return out;
    }
    // One gateway entry of a measurement list: address, size, value, ... (each value big-endian, as
    // delivered).
    static void deliver(std::initializer_list<uint32_t> values, uint32_t status = 0) {
        uintptr_t list = 0;
        uint32_t off = 0, entrySize = 0;
        pyref::bytes entry(512);
        for (auto it = values.begin(); it != values.end(); it += 3) {
            EXPECT_TRUE(CanOut_recordOf(it[0], &list, &off, &entrySize)) << std::hex << it[0];
            for (uint32_t k = 0; k < it[1]; ++k)
                entry[4 + off + k] = uint8_t(it[2] >> (8 * (it[1] - 1 - k)));
        }
        CanOut_man_meas_read(status, entry.data(), list);
    }
};

TEST_F(Can, InputAndOutputPlaceEverySignalAsTheBitRulesSay) {
    // The worked examples first, then random rows over every start bit, length (up to 64 bits
    // in 8 bytes: the low 32 bits are read), byte order and signedness of a 64-byte frame; then
    // constants of every placement packed into frames. Each case: frame or value, placement.
    // A signed 31-bit Intel signal extends its sign through the word.
    const u32s ex[] = {{4, 8, 0, 1, 0x4F},
                       {0, 16, 1, 1, 0xFE34},
                       {4, 4, 1, 1, 0x0E},
                       {0, 4, 1, 1, 0x0F},
                       {0, 31, 0, 0, 0xF85634FE}};
    std::mt19937 rng(24);
    pyref::bytes data = pyref::random_bytes(rng, 64);
    std::copy_n("\xFE\x34\x56\x78", 4, data.begin());
    std::vector<std::vector<pyref::bytes>> cases;
    for (int r = 0; r < CANIN_ROWS; ++r) {
        uint32_t len = 1 + rng() % 64, order = rng() % 2, type = rng() % 3, start = rng() % (513 - len);
        while (cmd_len(start, len) > 8)
            start = rng() % (513 - len);
        if (r < 5) std::tie(start, len, order, type) = std::tie(ex[r][0], ex[r][1], ex[r][2], ex[r][3]);
        inRow(r, 0, start, len, order, type);
        cases.push_back({data, params(start, len, order, type == CANIN_SIGNED)});
    }
    for (uint32_t i = 0; i < CANOUT_MAILBOXES; ++i) {
        const uint32_t len = 1 + rng() % 32, order = rng() % 2, start = rng() % (513 - len), v = rng();
        mb(i, 0x100 + i, 15);
        CanOutSignalConf[i] = Out{CANOUT_CONST, i, 0, 0, start, len, order, 0, 0, 0, 0, 0, 0, 0, v};
        cases.push_back({{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)},
                         params(start, len, order, 0)});
    }
    CanInMailBoxConf[0] = CanInMailBox{0, 0x123, 1};
    ASSERT_EQ(CanIn_init(), 0);
    ASSERT_EQ(CanOut_init(), 0);
    frame(0x123, data);
    CanOut_send_message(0);
    // The signal's frame bits from its least significant bit up: Intel counts byte * 8 + bit from
    // the start upward; Motorola numbers bit 0 as the most significant bit of byte 0 and runs from
    // the start (the most significant bit) to higher numbers.
    const auto ref = pyref::map(R"(
def bits(p):
    start, n, moto = p[0] << 8 | p[1], p[2], p[3] & 1
    if not moto: return [((start + i) // 8, (start + i) % 8) for i in range(n)]
    return [(s // 8, 7 - s % 8) for s in reversed(range(start, start + n))]
def f(d, p):
    n, v, frame = p[2], int.from_bytes(d, 'big'), bytearray(64)
    if len(d) == 4:
        for i, (b, k) in enumerate(bits(p)):
            if v >> i & 1: frame[b] |= 1 << k
        return frame.hex()
    v = sum(((d[b] >> k) & 1) << i for i, (b, k) in enumerate(bits(p)))
    return (v - (1 << n) if p[3] & 2 and v >> (n - 1) & 1 else v) & 0xFFFFFFFF
)",
                                cases);
    EXPECT_EQ((u32s{can_ReceiveCnt[0], memory_canin[0], memory_canin[1], memory_canin[2], memory_canin[3],
                    memory_canin[4]}),
              (u32s{1, 0x4F, 0xFE34, 0x0E, 0x0F, 0xF85634FE}));
    for (int r = 0; r < CANIN_ROWS; ++r)
        EXPECT_EQ(std::to_string(memory_canin[r]), ref[r]) << r;
    EXPECT_EQ(sent(), strings(ref.begin() + CANIN_ROWS, ref.end()));
}

TEST_F(Can, ChecksumsMatchCrcmodAndTheRulesOfEachType) {
    // Each case: the frame, then type, length and the 64-bit byte mask.
    std::mt19937 rng(3);
    std::vector<std::vector<pyref::bytes>> cases;
    for (int i = 0; i < 160; ++i) {
        const pyref::bytes d = pyref::random_bytes(rng, 64), mask = pyref::random_bytes(rng, 8);
        cases.push_back({d, {uint8_t("\x01\x02\x0A\x0B\x0C\x14\x15\x05"[i % 8]), uint8_t(rng() % 65)}});
        cases.back()[1].insert(cases.back()[1].end(), mask.begin(), mask.end());
    }
    // crcmod's initCrc is the start value XOR the final XOR: 0xFF ^ 0xFF.
    const auto ref = pyref::map(R"(
import functools, operator
crc = {20: crcmod.mkCrcFun(0x11D, 0, False, 0xFF), 21: crcmod.mkCrcFun(0x12F, 0, False, 0xFF)}
def f(d, p):
    t, n, m = p[0], p[1], int.from_bytes(p[2:], 'little')
    b = bytes(d[i] for i in range(n) if m >> i & 1)
    x, s = functools.reduce(operator.xor, b, 0), sum(b)
    while s > 0xFF: s = (s & 0xFF) + (s >> 8)
    return {1: x, 2: x ^ 0xFF, 10: sum(b) & 0xFF, 11: (sum(b) & 0xFF) ^ 0xFF, 12: s,
            20: crc.get(20, 0)(b), 21: crc.get(21, 0)(b)}.get(t, 0)
)",
                                cases);
    canOut_calcChksum_ini();
    strings ours;
    for (const auto& c : cases) {
        uint32_t mask[2];
        std::memcpy(mask, &c[1][2], 8);
        ours.push_back(std::to_string(canOut_calcChksum(c[1][0], mask[0], mask[1], c[1][1], c[0].data())));
    }
    EXPECT_EQ(ours, ref);
    // The published check values over "123456789".
    const auto* digits = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ((u32s{canOut_calcChksum(20, ~0u, 0, 9, digits), canOut_calcChksum(21, ~0u, 0, 9, digits)}),
              (u32s{0x4B, 0xDF}));
}

TEST_F(Can, InputMultiplexersAndTimeOuts) {
    // Row 2: a time-out of 0 never expires. Enough row-counter values for the tree to rotate.
    CanInMailBoxConf[3] = CanInMailBox{0, 0x80012345, 0};
    memory_canin[1] = 0x11110000;
    inRow(0, 3, 0, 8, 0, CANIN_UNSIGNED, CANIN_SIG, 0, 100, 0x1234);
    inRow(1, 3, 0, 16, 0, CANIN_UNSIGNED, CANIN_SIG, 0, 50, 0xABCDEF);
    inRow(2, 3, 0, 8, 0, CANIN_UNSIGNED, CANIN_SIG, 0, 0, 0x77);
    inRow(3, 3, 8, 8, 0, CANIN_UNSIGNED, CANIN_MUX);
    for (uint32_t k = 1; k <= 12; ++k)
        inRow(3 + int(k), 3, 16, 8, 0, CANIN_UNSIGNED, CANIN_MSIG, k);
    inRow(16, 3, 24, 8, 0, CANIN_UNSIGNED, CANIN_MSIG, 12);
    ASSERT_EQ(CanIn_init(), 0);
    // At start the time-out values with the rows' widths: the lowest byte, the lowest half-word,
    // and nothing of what the word held before.
    EXPECT_EQ((u32s(&memory_canin[0], &memory_canin[0] + 3)), (u32s{0x34, 0xCDEF, 0x77}));
    // Row-counter values 0 and 13 have no rows; the rows of the last frame lie beyond its data.
    for (uint8_t k = 0; k <= 13; ++k)
        frame(0x12345, {uint8_t(0x40 + k), k, uint8_t(0xA0 + k), uint8_t(0xB0 + k)}, 0, true);
    frame(0x12345, {0x50, 4}, 0, true);
    u32s expect = {0x50, 0x0450, 0x50, 4,    0xA1, 0xA2, 0xA3, 0xA4, 0xA5,
                   0xA6, 0xA7,   0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xBC};
    EXPECT_EQ(u32s(&memory_canin[0], &memory_canin[0] + 17), expect);
    // The rows' words at 1 ms steps: row 1 expires 50 ms after the last frame, row 0 100 ms after
    // it, once; a frame of DLC 0 starts no time-out again, a time-out of 0 never expires.
    u32s rows;
    auto supervise = [&rows](int ms, uint32_t row) {
        for (int i = 0; i < ms; ++i)
            CanIn_supervisor_1ms();
        rows.push_back(memory_canin[row]);
    };
    supervise(30, 1);
    frame(0x12345, {0x60, 6}, 0, true);
    supervise(49, 1);
    supervise(1, 1);
    frame(0x12345, {}, 0, true);
    supervise(49, 0);
    supervise(1, 0);
    memory_canin[0] = 5;
    supervise(1, 0);
    supervise(0, 2);
    EXPECT_EQ(rows, (u32s{0x0450, 0x0660, 0xCDEF, 0x60, 0x34, 5, 0x60}));
}

// A row that times out reads its time-out value as a frame carrying that value would leave it:
// the low `length` bits, sign-extended on a signed row, whatever the row held before.
TEST_F(Can, TimedOutRowsReadTheirValueAsIfReceived) {
    CanInMailBoxConf[0] = CanInMailBox{0, 0x300, 0};
    CanInMailBoxConf[1] = CanInMailBox{0, 0x301, 0};
    // start, length, type, time-out value; the bits a frame carries before, the word they read
    // as; the word the time-out leaves (by hand: -100 = 0xFF9C, -2048 = 0x800 in 12 bits).
    const u32s rows[] = {
        {0, 16, CANIN_SIGNED, 0, 0xFF06, 0xFFFFFF06, 0},                 // -250
        {16, 16, CANIN_SIGNED, 0, 0x8000, 0xFFFF8000, 0},                // -32768
        {32, 8, CANIN_SIGNED, 0, 0xFF, 0xFFFFFFFF, 0},                   // -1
        {40, 8, CANIN_SIGNED, 0xFFFFFFFE, 0x80, 0xFFFFFF80, 0xFFFFFFFE}, // -128, then -2
        {48, 16, CANIN_SIGNED, 0xFF9C, 0x7FFF, 0x7FFF, 0xFFFFFF9C},      // -100 as its 16 bits
        {0, 8, CANIN_UNSIGNED, 0xFFFFFFFF, 0x80, 0x80, 0xFF},            // mailbox 1 from here
        {8, 16, CANIN_UNSIGNED, 0x12345, 0xFFFF, 0xFFFF, 0x2345},
        {24, 12, CANIN_SIGNED, 0x800, 5, 5, 0xFFFFF800},   // -2048 as its 12 bits
        {36, 20, CANIN_SIGNED, 0xFFFFF, 1, 1, 0xFFFFFFFF}, // -1 as its 20 bits
        {56, 8, CANIN_UNSIGNED, 0x1FF, 0x7F, 0x7F, 0xFF},
    };
    pyref::bytes frames[2] = {pyref::bytes(8), pyref::bytes(8)};
    for (int r = 0; r < 10; ++r) {
        const u32s& x = rows[r];
        inRow(r, r < 5 ? 0 : 1, x[0], x[1], 0, x[2], CANIN_SIG, 0, 500, x[3]);
        for (uint32_t b = 0; b < x[1]; ++b)
            frames[r >= 5][(x[0] + b) / 8] |= uint8_t((x[4] >> b & 1) << ((x[0] + b) % 8));
        memory_canin[r] = 0x5A5A5A5A;
    }
    ASSERT_EQ(CanIn_init(), 0);
    auto words = [&rows](int column) {
        u32s w;
        for (int r = 0; r < 10; ++r)
            w.push_back(column < 0 ? uint32_t(memory_canin[r]) : rows[r][column]);
        return w;
    };
    EXPECT_EQ(words(-1), words(6)) << "at start";
    frame(0x300, frames[0]);
    frame(0x301, frames[1]);
    for (int ms = 0; ms < 499; ++ms)
        CanIn_supervisor_1ms();
    EXPECT_EQ(words(-1), words(5)) << "received";
    CanIn_supervisor_1ms();
    EXPECT_EQ(words(-1), words(6)) << "timed out";
}

// The check passes on their own: a row the frame cannot hold is refused alone (0), rows out of
// order stop the configuration (1).
TEST_F(Can, CheckPassesRefuseRowsAndStopAtMisorderedOnes) {
    const std::pair<std::vector<u32s>, const char*> cases[] = {
        // mailbox, kind, start, length, value
        {{{0, 0, 0, 0, 0}}, "CanIn_Init: Config Error: row 0 refused: length 0"},
        {{{0, 0, 4, 64, 0}}, "CanIn_Init: Config Error: row 0 refused: signal touches more than 8 bytes"},
        {{{3, 0, 0, 8, 0}, {2, 0, 0, 8, 0}}, "CanIn_Init: Config Error: mailbox index not up counting (1)"},
        {{{0, 1, 0, 8, 0}, {0, 0, 0, 8, 0}}, "not multiplexed signal config after row counter config (1)"},
        {{{0, 2, 0, 8, 0}}, "Config Error: multiplexed signal config before row counter config (0)"},
        {{{0, 1, 0, 8, 0}, {0, 2, 0, 8, 2}, {0, 2, 0, 8, 1}},
         "row counter values not sorted per message (2)"},
        {{{3, 0, 0, 8, 0}}, "CanOut_man: invalid time grid (0)"},
        {{{0, 1, 0, 8, 0}, {0, 1, 0, 8, 0}}, "CanOut_man: found double multiplexer (1)"},
        {{{0, 6, 0, 8, 0}}, "CanOut_man: found multiplexed signal without multiplexer (0)"},
        {{{0, 1, 0, 8, 0}, {0, 2, 0, 8, 2}, {0, 6, 0, 8, 1}}, "CanOut_man: found unsorted multiplexer (2)"},
        {{{0, 7, 0, 8, 0}}, "CanOut_man: found illegal multiplexer type(0)"},
    };
    for (const auto& [rows, log] : cases) {
        for (uint32_t i = 0; i < 4; ++i) {
            CanInMailBoxConf[i] = CanInMailBox{0, 0x10 + i, 0};
            mb(i, 0x10 + i, 8, i == 3 ? 20 : 0);
        }
        for (size_t r = 0; r < 3; ++r) {
            const u32s x = r < rows.size() ? rows[r] : u32s{CANIN_UNUSED_MB, 0, 0, 0, 0};
            inRow(int(r), x[0], x[2], x[3], 0, CANIN_UNSIGNED, x[1], x[4]);
            CanOutSignalConf[r] = Out{.kind = x[1], .mb = x[0], .sbit = x[2], .len = x[3], .rzValue = x[4]};
        }
        seen.clear();
        CanInPlan in;
        CanOutPlan out;
        const bool isOut = std::strstr(log, "CanOut"), refused = std::strstr(log, "refused");
        EXPECT_EQ(isOut ? CanOut_check(2, &out) : CanIn_check(2, &in), refused ? 0 : 1) << log;
        EXPECT_FALSE(refused && (isOut ? out.take[0] : in.take[0])) << log;
        EXPECT_TRUE(logged(log)) << log;
    }
}

// Rows the frame or the tables cannot hold are refused one by one at start; the others work.
TEST_F(Can, RowsTheFrameCannotHoldAreRefusedAtConfiguration) {
    CanInMailBoxConf[0] = CanInMailBox{0, 0x10, 0};
    const std::pair<u32s, const char*> bad[] = {// mailbox, start, length
                                                {{200, 0, 8}, "mailbox index out of range"},
                                                {{0, 0, 0}, "length 0"},
                                                {{0, 0, 65}, "signal touches more than 8 bytes"},
                                                {{0, 505, 8}, "signal beyond a 64-byte frame"}};
    for (int r = 0; r < 4; ++r)
        inRow(r, bad[r].first[0], bad[r].first[1], bad[r].first[2], 0, CANIN_UNSIGNED);
    inRow(4, 0, 0, 8, 0, CANIN_UNSIGNED);
    ASSERT_EQ(CanIn_init(), 0);
    for (int r = 0; r < 4; ++r)
        EXPECT_TRUE(
            logged("CanIn_Init: Config Error: row " + std::to_string(r) + " refused: " + bad[r].second))
            << r;
    frame(0x10, {42});
    EXPECT_EQ(memory_canin[4], 42u);
}

TEST_F(Can, OutputCountersRowGroupsChecksumsAndMeasuredValues) {
    for (uint32_t i = 0; i < 3; ++i)
        mb(i, 0x200 + i, i < 2 ? 8 : 4);
    Out* o = CanOutSignalConf;
    o[0] = Out{.kind = CANOUT_COUNTER, .mb = 0, .sbit = 0, .len = 8, .ctrStart = 5, .ctrEnd = 7};
    o[1] = Out{.kind = CANOUT_MUX, .mb = 0, .sbit = 8, .len = 8};
    for (uint32_t g = 1; g <= 3; ++g)
        o[1 + g] =
            Out{.kind = CANOUT_MCONST, .mb = 0, .sbit = 16, .len = 8, .rzValue = g, .constant = 0x11 * g};
    // Not over its own byte.
    o[5] = Out{.kind = CANOUT_CHECKSUM, .mb = 0, .sbit = 56, .len = 8, .chkType = 1, .chkMask = 0xFF};
    // 300.6 clamped to 255; -3.5 rounded away from 0 to -4; 0xBEEF whole (mask 0), its bits 4 to 11,
    // shifted right by 8; 100 * 0.5 + 10; 1.5 * 2 as a float.
    o[6] = Out{.mb = 1, .address = 0x40010, .dataType = 6, .len = 8, .fact = 1};
    o[7] = Out{.mb = 1, .address = 0x40014, .dataType = 6, .sbit = 8, .len = 8, .isSigned = 1, .fact = 1};
    o[8] = Out{.mb = 1, .address = 0x40018, .dataType = 3, .sbit = 16, .len = 16};
    o[9] = Out{.mb = 1, .address = 0x40018, .dataType = 3, .sbit = 32, .len = 8, .mask = 0x0FF0};
    o[10] = Out{.mb = 1, .address = 0x40018, .dataType = 3, .sbit = 40, .len = 8, .rshift = 8};
    o[11] = Out{.mb = 1, .address = 0x4001C, .dataType = 1, .sbit = 48, .len = 8, .fact = 0.5f, .offs = 10};
    o[12] = Out{.mb = 2, .address = 0x40020, .dataType = 6, .len = 32, .isFloat = 1, .fact = 2};
    ASSERT_EQ(CanOut_init(), 0);
    // The counter from start 5 to end 7, the row groups 1, 2, 3, 1 ..., the XOR of bytes 0 to 6;
    // the measured values 0 until delivered.
    strings expect;
    const uint8_t counters[] = {0, 1, 2, 3, 4, 5, 6, 7, 5, 6};
    for (int i = 0; i < 10; ++i) {
        CanOut_send_message(0);
        uint8_t f[8] = {counters[i], uint8_t(1 + i % 3), uint8_t(0x11 * (1 + i % 3))};
        f[7] = f[0] ^ f[1] ^ f[2];
        expect.insert(expect.end(), {pyref::hex(f, 8), "0000000000000000", "00000000"});
    }
    EXPECT_EQ(sent(), expect);
    deliver({0x40010, 4, 0x43964CCD, 0x40014, 4, 0xC0600000, 0x40018, 2, 0xBEEF, 0x4001C, 1, 100, 0x40020, 4,
             0x3FC00000});
    CanOut_send_message(0);
    expect = sent();
    EXPECT_EQ(expect, (strings{expect[0], "fffcefbeeebe3c00", "00004040"}));
    // Stopped at shutdown: nothing is built or sent any more.
    CanOut_stop();
    CanOut_send_message(0);
    EXPECT_TRUE(sent().empty());
}

// Signed sources of 1, 2 and 4 bytes keep their sign into signed fields; a list of the gateway
// takes at most 101 records of one PID and raster, a further record opens another.
TEST_F(Can, SignedSourcesOfEverySizeAndListsOfAtMost101Records) {
    mb(0, 0x210, 8);
    Out* o = CanOutSignalConf;
    for (uint32_t i = 0; i < 3; ++i)
        o[i] = Out{.mb = 0,
                   .address = 0x40010 + 4 * i,
                   .dataType = 2 * i,
                   .sbit = 16 * i,
                   .len = 16,
                   .isSigned = 1,
                   .fact = 1};
    for (uint32_t k = 0; k < 102; ++k) {
        mb(1 + k / 8, 0x300 + k / 8, 8, 1);
        o[3 + k] = Out{.mb = 1 + k / 8, .address = 0x40100 + k, .dataType = 1, .sbit = 8 * (k % 8), .len = 8};
    }
    ASSERT_EQ(CanOut_init(), 0);
    deliver({0x40010, 1, 0xFF, 0x40014, 2, 0xFFFE, 0x40018, 4, 0xFFFFFFFD});
    CanOut_send_message(0);
    EXPECT_EQ(sent(), strings{"fffffefffdff0000"});
    std::set<uintptr_t> lists;
    for (uint32_t k = 0; k < 102; ++k) {
        uintptr_t list = 0;
        uint32_t off = 0, size = 0;
        ASSERT_TRUE(CanOut_recordOf(0x40100 + k, &list, &off, &size));
        lists.insert(list);
        EXPECT_EQ(lists.size(), k < 101 ? 1u : 2u) << k;
    }
}

TEST_F(Can, RateLimitsAndStartDelays) {
    for (uint32_t i = 0; i < 4; ++i) {
        mb(i, 0x300 - i, 1, i == 1 ? 2 : 0, i / 3);
        CanOutSignalConf[i] = Out{.kind = CANOUT_CONST, .mb = i, .len = 8};
    }
    CanOutMailBoxConf[2].id = 0x80000001; // 29-bit: after every 11-bit one
    CanOutIntfConf[0].rateLimit = 0.5f;
    CanOutIntfConf[1] = CanOutIntf{0.25f, 5}; // 2.5 tenths, rounded to 3
    ASSERT_EQ(CanOut_init(), 0);
    u32s ids;
    std::string times;
    for (int ms = 0; ms < 25; ++ms, sim::step(1)) {
        if (ms == 0) CanOut_send_message(2);
        CanOut_send_message(0);
        for (const cansim::Frame& f : cansim::takeSent())
            f.node ? void(times += std::to_string(ms) + " ") : ids.push_back(f.id);
    }
    // One frame every 2 ms, lowest rank first, only frames with new content: 0x2FF is built
    // once, the 29-bit one ranks behind 0x300, which is rebuilt every millisecond.
    EXPECT_EQ(u32s(ids.begin(), ids.begin() + 4), (u32s{0x2FF, 0x300, 0x300, 0x300}));
    // From 5 ms on 3 tenths a millisecond: a frame whenever 10 have gathered.
    EXPECT_EQ(times, "8 11 14 18 21 24 ");
}

TEST_F(Can, EventMessagesFireOnTheirEdges) {
    // Rising, falling, both edges, both on a rate-limited interface; per check of the values 0,
    // 0x20, 0, 0x20, 0, none (not valid), 0x20: 0 nothing sent, e sent by the check, r by the 1 ms
    // raster after it.
    const std::string fired[] = {"0e0e000", "00e0e00", "0eeee00", "0rrrr00"};
    for (uint32_t edge = 0; edge < 4; ++edge) {
        Mb& m = mb(0, 0x50, 1, -1);
        std::tie(m.evAddress, m.evMask, m.evEdge) = std::make_tuple(0x40010u, 0x30u, std::min(edge, 2u));
        CanOutSignalConf[0] = Out{.kind = CANOUT_CONST, .mb = 0, .len = 8, .constant = 1};
        CanOutIntfConf[0].rateLimit = edge == 3;
        ASSERT_EQ(CanOut_init(), 0);
        std::string got;
        for (int v : {0, 0x20, 0, 0x20, 0, -1, 0x20}) {
            deliver({0x40010, 1, uint32_t(v)}, v < 0 ? GW_NODATA : 0);
            CanOut_event_message();
            const bool checked = !sent().empty();
            CanOut_send_message(0);
            got += checked ? 'e' : sent().empty() ? '0' : 'r';
        }
        EXPECT_EQ(got, fired[edge]) << edge;
    }
    // Event factors of the data page (CfgMat_CanOut_Mb_Event_quant_a[0]) that are not numbers or
    // beyond any integer (UBSan).
    for (float v : {NAN, 3e9f, -INFINITY, 2.7f}) {
        std::memcpy(seram_memory + 0x15628u + seramActiveOffset, &v, 4);
        CanOut_CfgMat_configure();
    }
    EXPECT_EQ(CanOutMailBoxConf[0].quant[0], 2.0f);
}

// A list whose source keeps dropping out and coming back logs at most 3 lines of each kind every
// 10 s, and counts what it held back; the first line of another list's new fault still comes
// at once. Paced as a loaded host's soak: 1,371 time-outs and returns in 20 minutes.
TEST_F(Can, ListTimeOutLinesAreRateGuardedPerList) {
    mb(0, 0x100, 8, 0);
    mb(1, 0x101, 8, 6);
    CanOutSignalConf[0] = Out{.mb = 0, .address = 0x40010, .dataType = 1, .len = 8};
    CanOutSignalConf[1] = Out{.mb = 1, .address = 0x05012345, .dataType = 1, .len = 8};
    ASSERT_EQ(CanOut_init(), 0);
    uintptr_t own = 0, other = 0;
    uint32_t off = 0, size = 0, pid = 0;
    ASSERT_TRUE(CanOut_recordOf(0x40010, &own, &off, &size));
    ASSERT_TRUE(CanOut_recordOf(0x05012345, &other, &off, &size));
    const std::string down = "CanOut_man_meas_tout: PID:0x0 timeout",
                      up = "CanOut_man_meas_tout: PID:0x0 back online";
    const int flaps = 1371;
    for (int i = 0; i < flaps; ++i) {
        CanOut_man_meas_tout(GW_NODATA, &pid, own);
        sim::step(437);
        CanOut_man_meas_tout(0, &pid, own);
        sim::step(438);
        if (i == 2) {
            EXPECT_EQ((std::vector{countLogged(down), countLogged(up)}), (std::vector{3, 3}));
        }
        if (i == flaps / 2) {
            CanOut_man_meas_tout(GW_NODATA, &pid, other);
            EXPECT_EQ(countLogged("CanOut_man_meas_tout: PID:0x5 timeout, DATA, 6"), 1);
        }
        logged("");
    }
    // One more of each after a quiet interval tells what the last one held back.
    sim::step(10000);
    CanOut_man_meas_tout(GW_NODATA, &pid, own);
    CanOut_man_meas_tout(0, &pid, own);
    int lines[2] = {countLogged(down), countLogged(up)}, heldBack = 0;
    for (const testsupport::LogLine& l : seen) {
        unsigned at = 0, n = 0;
        if (std::sscanf(l.text.c_str(), "Syslogx message 0x%x: %u similar messages suppressed", &at, &n) == 2)
            heldBack += int(n);
    }
    // 3 lines per 10 s of the 1,200 s run and the closing interval, each kind.
    const int bound = 3 * (flaps * 875 / 10000 + 2);
    EXPECT_LE(lines[0], bound);
    EXPECT_LE(lines[1], bound);
    EXPECT_EQ(lines[0] + lines[1] + heldBack, 2 * flaps + 2);
}

// Rows 0, 2 and 4 read PID 5's values, row 3 one of this unit: PID 5's list is refused at every
// request, runs, times out and is refused again. Each refusal and the time-out name its rows once,
// as many as the line holds (64 rows of one list: the rest counted).
TEST_F(Can, RowsOfARefusedOrTimedOutListAreToldOncePerOutage) {
    mb(0, 0x100, 8, 6);
    mb(1, 0x80012345, 8, 6);
    Out* o = CanOutSignalConf;
    o[0] = Out{.mb = 0, .address = 0x05000010, .dataType = 1, .len = 8};
    o[1] = Out{.kind = CANOUT_CONST, .mb = 0, .sbit = 8, .len = 8, .constant = 7};
    o[2] = Out{.mb = 0, .address = 0x05000020, .dataType = 3, .sbit = 16, .len = 16};
    o[3] = Out{.mb = 1, .address = 0x40010, .dataType = 1, .len = 8};
    o[4] = Out{.mb = 1, .address = 0x05000010, .dataType = 1, .sbit = 8, .len = 8};
    for (uint32_t r = 5; r < 69; ++r) {
        mb(2 + r / 8, 0x200 + r / 8, 8, 3);
        o[r] = Out{.mb = 2 + r / 8, .address = 0x05000100 + r, .dataType = 1, .sbit = 8 * (r % 8), .len = 8};
    }
    ASSERT_EQ(CanOut_init(), 0);
    uintptr_t peer = 0, wide = 0;
    uint32_t off = 0, size = 0;
    ASSERT_TRUE(CanOut_recordOf(0x05000010, &peer, &off, &size));
    ASSERT_TRUE(CanOut_recordOf(0x05000105, &wide, &off, &size));
    const std::string refused =
        "CanOut_man: PID 0x5 raster 6 refused, rows without value: 0x100:0 0x100:2 0x12345:4";
    for (int n = 0; n < 50; ++n)
        CanOut_man_meas_start(GW_REFUSED, nullptr, peer);
    EXPECT_EQ((std::vector{countLogged(refused), countLogged("rows without value")}), (std::vector{1, 1}));
    CanOut_man_meas_start(GW_OK, nullptr, peer);
    deliver({0x05000010, 1, 1});
    const uint16_t pid = 5;
    CanOut_man_meas_tout(GW_NODATA, &pid, peer);
    EXPECT_TRUE(logged(
        "CanOut_man_meas_tout: PID:0x5 timeout, DATA, 6; rows without value: 0x100:0 0x100:2 0x12345:4"));
    CanOut_man_meas_start(GW_REFUSED, nullptr, peer);
    EXPECT_EQ(countLogged(refused), 2);
    CanOut_man_meas_start(GW_REFUSED, nullptr, wide);
    ASSERT_EQ(countLogged("CanOut_man: PID 0x5 raster 3 refused, rows without value: 0x200:5 0x200:6 "), 1);
    const std::string line = seen.back().text;
    int named = 0, more = 0;
    for (size_t at = line.find(" 0x2"); at != std::string::npos; at = line.find(" 0x2", at + 1))
        ++named;
    EXPECT_EQ(std::sscanf(line.substr(line.rfind(" +")).c_str(), " +%d more", &more), 1) << line;
    EXPECT_EQ(named + more, 64) << line;
}

// An event message whose mask is 0 can see no edge: it is logged at start and never sent.
TEST_F(Can, EventWithMaskZeroNeverFires) {
    Mb& m = mb(0, 0x50, 1, -1);
    m.evAddress = 0x40010;
    CanOutSignalConf[0] = Out{.kind = CANOUT_CONST, .mb = 0, .len = 8, .constant = 1};
    ASSERT_EQ(CanOut_init(), 0);
    EXPECT_TRUE(logged("CanOut_man: event mask 0 never fires (0)"));
    for (uint32_t v : {0, 1, 0, 1}) {
        deliver({0x40010, 1, v});
        CanOut_event_message();
        CanOut_send_message(0);
    }
    EXPECT_TRUE(sent().empty());
}

// While the configuration task registers and compiles, the 1 ms raster polls and sends; a
// rate-limited interface sends from the 1 ms raster while the 2 ms raster builds its frames.
// TSan watches both; every frame sent must be whole (both counters and the CRC of one build).
TEST_F(Can, RastersRunWhileTheConfigurationIsBuiltAndFramesAreRebuilt) {
    CanInMailBoxConf[0] = CanInMailBox{0, 0x10, 0};
    inRow(0, 0, 0, 8, 0, CANIN_UNSIGNED);
    Out* o = CanOutSignalConf;
    mb(0, 0x20, 15, 1);
    o[0] = Out{.kind = CANOUT_COUNTER, .mb = 0, .len = 32, .ctrEnd = ~0u};
    o[1] = Out{.kind = CANOUT_COUNTER, .mb = 0, .sbit = 480, .len = 32, .ctrEnd = ~0u};
    o[2] = Out{.kind = CANOUT_CHECKSUM, .mb = 0, .sbit = 64, .len = 8, .chkType = 20, .chkMask = ~0ull};
    // Interface 1 without a rate limit, from both rasters.
    for (uint32_t i = 1; i < 3; ++i) {
        mb(i, 0x20 + i, 1, int(i) - 1, 1);
        o[2 + i] = Out{.kind = CANOUT_CONST, .mb = i, .len = 8, .constant = 7};
    }
    CanOutIntfConf[0].rateLimit = 8;
    // A master's registration at start-up, and its frame arriving while the file's are registered.
    ASSERT_EQ(canRegisterRxFunc(1, CAN_FMT_STD, 0x7E8, nullptr, 0), 0);
    frame(0x7E8, {1}, 1);
    cansim::inject(cansim::Frame{1, 0x7E8, false, false, false, 1, {2}});
    std::atomic<bool> done{false};
    std::atomic<int> rounds{0};
    const TASK_ID r1ms = taskSpawnFn("r1ms", 100, 0, 0, [&done, &rounds] {
        for (bool last = false; !last; last = done) {
            canPoll_1ms();
            CanOut_event_message();
            CanOut_send_message(0);
            ++rounds;
        }
    });
    ASSERT_EQ(CanIn_init(), 0);
    ASSERT_EQ(CanOut_init(), 0);
    frame(0x10, {0x2A});
    // the 2 ms raster, beside a hundred rounds of the 1 ms one at least once the frames are built,
    // however late a loaded host lets that one run
    const int built = rounds.load();
    for (int i = 0; i < 3000 || rounds.load() - built < 100; ++i)
        CanOut_send_message(1);
    done = true;
    ASSERT_EQ(taskWaitExit(r1ms, WAIT_FOREVER), OK);
    EXPECT_EQ(memory_canin[0], 0x2Au);
    size_t whole = 0;
    for (const cansim::Frame& f : cansim::takeSent())
        if (f.id == 0x20 && f.data[8] == canOut_calcChksum(20, ~0x100u, ~0u, 64, f.data) &&
            std::equal(f.data, f.data + 4, f.data + 60))
            whole++;
        else if (f.id == 0x20)
            ADD_FAILURE() << "torn: " << pyref::hex(f.data, 64);
    EXPECT_GT(whole, 0u);
    EXPECT_GT(canout_sendmsg_ctr[1], 10u);
}

// A whole file into the tables; after a parse error what was read before is compiled, but an
// output message a row of which was not read stays off the bus, and where the file breaks off so
// does the message it broke off in.
TEST_F(Can, FileFillsTheTablesUpToAParseError) {
    const pyref::bytes text =
        pyref::run(std::string("cat ") + std::getenv("VYN_SOURCE_DIR") + "/tests/comm/can/tables.xml");
    const std::string file(text.begin(), text.end()), head = file.substr(0, file.find("<!-- cut"));
    const std::string row1 =
        R"(<CanSignal chIdx="1" msgIdx="0" sBit="8" len="8" bigEndian="maybe" RCType="SIG"
        adrType="None" data_type="UINT8" signed="false" float="false"/>)";
    const char *one = "1 signals in 1 messages", *none = "0 signals in 0 messages",
               *cutOff = "read before the file breaks off: ";
    const struct {
        std::string tail;
        const char *error, *compiled, *leftOut;
    } cases[] = {
        {row1 + "</CanOut></Can>", "attribute has wrong value (maybe)", none,
         "CanOut message 0 left out: its signal row was not read"},
        {row1 + R"(<CanChecksum chIdx="2" msgIdx="0" sBit="56" len="8" bigEndian="false" type="1"
            chkSumByteMask="127"/></CanOut></Can>)",
         "(maybe)", none, "CanOut message 0 left out: its checksum row was not read"},
        {R"(<CanCounter chIdx="2" msgIdx="0" sBit="56" len="8" bigEndian="false" start="x" end="7"/>)",
         "attribute has wrong number (start)", none,
         "CanOut message 0 left out: its counter row was not read"},
        {"</CanOut><CanIn></CanIn></Can>", "XmlCanIOParse(): <CanIn> found twice", one, ""},
        {R"(<CanMb idx="128" intf="0" canDlc="8" canId="11" event="R10ms" fdf="false" brs="false"/>
            </CanOut></Can>)",
         "parseCanOut: index out of range", one, ""},
        {"", "XmlCanIOParse(): unexpected EOF", none, cutOff},
        {"<CanCounter chIdx=\"2", "XmlCanIOParse(): unexpected EOF", none, cutOff},
        // Message 0 has its counter; message 1 (0x11) breaks off inside its own.
        {R"(<CanCounter chIdx="1" msgIdx="0" sBit="48" len="8" bigEndian="false" start="0" end="15"/>
            <CanMb idx="1" intf="0" canDlc="8" canId="11" event="R10ms" fdf="false" brs="false"/>
            <CanConstant chIdx="2" msgIdx="1" sBit="0" len="8" bigEndian="false" RCType="SIG" value="2"/>
            <CanCounter chIdx="3" msgIdx="1" sBit="48")",
         "XmlCanIOParse(): unexpected EOF", "2 signals in 1 messages", "breaks off: 1"},
    };
    for (const auto& c : cases) {
        CanIn_initConfig();
        CanOut_initConfig();
        seen.clear();
        EXPECT_EQ(XmlCanIOParse((head + c.tail).c_str()), -1);
        EXPECT_EQ(CanInSignalConf[7].mb, 3u) << "the input section stays";
        EXPECT_EQ(CanOut_init(), 0);
        EXPECT_TRUE(logged(std::string("XmlCanIOParse(): xml config parse error: ")) && logged(c.error))
            << c.error;
        EXPECT_TRUE(logged(std::string("CanOut_Init: CanOut configured ") + c.compiled) && logged(c.leftOut))
            << c.error;
    }
    ASSERT_EQ(XmlCanIOParse(file.c_str()), 0);
    const CanInMailBox& in = CanInMailBoxConf[3];
    const CanInSignal &a = CanInSignalConf[7], &b = CanInSignalConf[8];
    EXPECT_EQ((u32s{in.intf, in.id, in.fd, a.mb, a.sbit, a.len, a.type, a.order, a.rzType, a.timeout, b.type,
                    b.rzType, b.rzValue, b.timeout, b.timeoutValue}),
              (u32s{1, 0x80000123, 1, 3, 12, 16, CANIN_SIGNED, 1, CANIN_SIG, CANIN_NO_TIMEOUT, CANIN_FLOAT,
                    CANIN_MSIG, 2, 100, 9}));
    const Mb& m = CanOutMailBoxConf[2];
    const Out* o = CanOutSignalConf;
    const CanOutIntf& intf = CanOutIntfConf[1];
    EXPECT_EQ((std::vector<double>{intf.rateLimit, double(intf.startDelay), o[4].fact}),
              (std::vector<double>{0.25, 500, 1}));
    EXPECT_EQ(
        (std::vector<int64_t>{m.intf, m.id, m.dlc, m.raster, m.evAddress, m.evMask, m.evType, m.evEdge}),
        (std::vector<int64_t>{1, 0x1A0, 8, -1, 0x03040010, 0x0F00, 2, 0}));
    EXPECT_EQ((std::vector<uint64_t>{o[4].address, o[5].chkType, o[5].chkMask, o[6].kind, o[6].ctrStart,
                                     o[6].ctrEnd, o[7].kind}),
              (std::vector<uint64_t>{0x05012345, 20, ~0ull, CANOUT_COUNTER, 5, 7, CANOUT_MCONST}));
}

// A file that breaks off or is broken before an output message's last row: the message stays off
// the bus with a line that names it; the messages the file had moved on from still go out.
TEST_F(Can, MessagesWhoseRowsMayLieBeyondTheBreakStayOffTheBus) {
    auto row = [](const char* elem, int ch, int mb, const char* rest) {
        return "<" + std::string(elem) + " chIdx=\"" + std::to_string(ch) + "\" msgIdx=\"" +
               std::to_string(mb) + "\" len=\"8\" bigEndian=\"false\" " + rest;
    };
    auto canMb = [](int idx) {
        return "<CanMb idx=\"" + std::to_string(idx) + "\" intf=\"0\" canDlc=\"8\" canId=\"10" +
               std::to_string(idx) + "\" event=\"R1ms\" fdf=\"false\" brs=\"false\"/>\n";
    };
    const char *counter = "sBit=\"48\" start=\"0\" end=\"15\"",
               *checksum = "sBit=\"56\" type=\"20\" chkSumByteMask=\"127\"/>";
    // Message 0 whole; message 1 up to its counter row, its checksum row after the break.
    const std::string whole0 = "<Can><CanOut>\n" + canMb(0) +
                               row("CanConstant", 0, 0, "sBit=\"0\" RCType=\"SIG\" value=\"171\"/>") +
                               row("CanCounter", 1, 0, counter) + "/>" + row("CanChecksum", 2, 0, checksum),
                      upTo1 = whole0 + canMb(1) +
                              row("CanConstant", 3, 1, "sBit=\"0\" RCType=\"SIG\" value=\"205\"/>"),
                      chk1 = row("CanChecksum", 5, 1, checksum), end = "</CanOut></Can>";
    const std::string cut =
        "XmlCanIOParse(): CanOut messages left out, not all of their rows read before the "
        "file breaks off: ";
    const std::string badEnd =
        "XmlCanIOParse(): CanOut messages left out, not all of their rows read before an end tag that does "
        "not match in line ";
    const struct {
        std::string text, leftOut;
    } cases[] = {
        {upTo1 + row("CanCounter", 4, 1, counter) + "/>" + chk1.substr(0, 40), cut + "1"},
        {upTo1 + row("CanCounter", 4, 1, counter) + "/>", cut + "1"},
        {upTo1 + row("CanCounter", 4, 1, counter) + "></CanCountr>" + chk1 + end,
         "XmlCanIOParse(): CanOut message 1 left out: its counter row was not read"},
        // A misspelt end tag: the file goes on, and the line says where it stopped being read.
        {upTo1 + row("CanCounter", 4, 1, counter) + "/></CanMbb>" + chk1 + end, badEnd + "4: 1"},
        // Well-formed: a row after message 1's checksum that cannot be read.
        {upTo1 + row("CanCounter", 4, 1, counter) + "/>" + chk1 +
             row("CanSignal", 6, 1,
                 "sBit=\"8\" RCType=\"SIG\" adrType=\"None\" data_type=\"UINT8\" "
                 "signed=\"maybe\" float=\"false\"/>") +
             end,
         "XmlCanIOParse(): CanOut message 1 left out: its signal row was not read"},
        // The file went on to message 1 after message 0 and back: no message can be taken as whole.
        {whole0 + canMb(1) + row("CanConstant", 3, 1, "sBit=\"0\" RCType=\"SIG\" value=\"205\"/>") +
             row("CanConstant", 6, 0, "sBit=\"8\" RCType=\"SIG\" value=\"1\"/>"),
         cut + "0 1"},
        // Message 1's mailbox read but none of its rows: it is named as well.
        {whole0 + canMb(1), cut + "1"},
        {whole0 + canMb(1).substr(0, canMb(1).find("/>")) + "></CanMbb>" +
             row("CanConstant", 3, 1, "sBit=\"0\" RCType=\"SIG\" value=\"205\"/>") + end,
         badEnd + "3: 1"},
        {whole0 + canMb(1) + row("CanConstant", 3, 1, "sBit=\"0\" RCType=\"SIG\" value=\"x\"/>") + end,
         "XmlCanIOParse(): CanOut message 1 left out: its constant row was not read"},
        {whole0 + canMb(1) +
             "<CanConstant chIdx=\"3\" msgIdx=\"x\" sBit=\"8\" len=\"8\" bigEndian=\"false\" RCType=\"SIG\" "
             "value=\"1\"/>" +
             end,
         "XmlCanIOParse(): CanOut messages left out, a row that names no message was not read: 1"},
        // A mailbox the whole file gives no row is not left out by the error, but for want of a row.
        {whole0 + canMb(1) + row("CanConstant", 3, 0, "sBit=\"8\" RCType=\"SIG\" value=\"x\"/>") + end,
         "XmlCanIOParse(): CanOut message 0 left out: its constant row was not read\n"
         "XmlCanIOParse(): CanOut messages left out, without a row: 1"},
        // A row that names no message, where the file is at message 1.
        {upTo1 + row("CanCounter", 4, 1, counter) + "/>" + chk1 +
             "<CanConstant chIdx=\"6\" msgIdx=\"x\" sBit=\"8\" len=\"8\" bigEndian=\"false\" RCType=\"SIG\" "
             "value=\"1\"/>" +
             end,
         "XmlCanIOParse(): CanOut messages left out, a row that names no message was not read: 1"},
        // A second output section is not read: message 0's row there neither.
        {whole0 + "</CanOut><CanOut>" + row("CanConstant", 6, 0, "sBit=\"8\" RCType=\"SIG\" value=\"1\"/>") +
             end,
         "XmlCanIOParse(): CanOut message 0 left out: its constant row was not read"},
    };
    // Message 0 as it goes out three times: the constant, the counter 0, 1, 2, CRC-8/SAE-J1850 over
    // bytes 0 to 6 (crcmod's initial value is the start value XOR the final XOR).
    const strings frames0 = pyref::map(R"(
crc = crcmod.mkCrcFun(0x11D, 0, False, 0xFF)
def f(c):
    d = bytes([0xAB, 0, 0, 0, 0, 0, c[0]])
    return (d + bytes([crc(d)])).hex()
)",
                                       {{{0}}, {{1}}, {{2}}});
    for (const auto& c : cases) {
        CanIn_initConfig();
        CanOut_initConfig();
        logged("");
        seen.clear();
        EXPECT_EQ(XmlCanIOParse(c.text.c_str()), -1) << c.text;
        ASSERT_EQ(CanOut_init(), 0);
        for (int i = 0; i < 3; ++i)
            CanOut_send_message(0);
        EXPECT_EQ(sent(), c.leftOut.find(" 0") == std::string::npos ? frames0 : strings{}) << c.text;
        std::string lines;
        logged("");
        for (const testsupport::LogLine& l : seen)
            if (l.text.find("left out") != std::string::npos) lines += (lines.empty() ? "" : "\n") + l.text;
        EXPECT_EQ(lines, c.leftOut) << c.text;
    }
}

// A well-formed file with messages that no row names: they cannot go out, and one line names them.
TEST_F(Can, MessagesWithoutRowsAreNamed) {
    const std::string mb =
        R"(<CanMb intf="0" canDlc="1" canId="100" event="R1ms" fdf="false" brs="false" idx=")";
    const std::string text =
        "<Can><CanOut>" + mb + "0\"/>" + mb + "3\"/>" + mb + "7\"/>" +
        R"(<CanConstant chIdx="0" msgIdx="3" sBit="0" len="8" bigEndian="false" RCType="SIG"
                             value="171"/></CanOut></Can>)";
    logged("");
    seen.clear();
    ASSERT_EQ(XmlCanIOParse(text.c_str()), 0);
    logged("");
    EXPECT_EQ(countLogged("left out"), 1);
    EXPECT_TRUE(logged("XmlCanIOParse(): CanOut messages left out, without a row: 0 7"));
}

// The demo unit's file cut at every byte of its output section: a message goes out only once the
// file has moved on from it (to the next message or past the section's end), and then whole.
TEST_F(Can, DemoFileCutAnywhereSendsOnlyWholeMessages) {
    const pyref::bytes bytes =
        pyref::run(std::string("cat ") + std::getenv("VYN_SOURCE_DIR") + "/examples/unit0/cfg/CAN.xml");
    const std::string file(bytes.begin(), bytes.end());
    const size_t from = file.find("<CanOut>"),
                 moved = file.find("/>", file.find("<CanMb idx=\"1\"", from)) + 2,
                 closed = file.find("</CanOut>") + 9;
    ASSERT_LT(moved, closed);
    // Nothing is measured here: every signal reads 0; the counter is 0 in the first frame.
    const std::string frame100 = pyref::map(R"(
def f(d):
    return (d + bytes([crcmod.mkCrcFun(0x11D, 0, False, 0xFF)(d)])).hex()
)",
                                            {{pyref::bytes(7)}})[0];
    strings wrong;
    for (size_t p = from; p <= file.size(); ++p) {
        CanIn_initConfig();
        CanOut_initConfig();
        XmlCanIOParse(file.substr(0, p).c_str());
        ASSERT_EQ(CanOut_init(), 0);
        CanOut_send_message(3);
        CanOut_send_message(6);
        std::string got, expect = std::string(p >= moved ? "100:" + frame100 + " " : "") +
                                  (p >= closed ? "101:000000 " : "");
        for (const cansim::Frame& f : cansim::takeSent())
            got += std::to_string(f.id - 0x100 + 100) + ":" + pyref::hex(f.data, f.len) + " ";
        if (got != expect) wrong.push_back(std::to_string(p) + " " + got);
        logged("");
        seen.clear();
    }
    EXPECT_EQ(wrong, strings{});
}

} // namespace
