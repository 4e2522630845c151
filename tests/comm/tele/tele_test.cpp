// Telemetry: frames to a pseudo-terminal behind "/tyCo/0", each checked with crcmod's
// CRC-16/MCRF4XX; the JSON status text checked by jq; the modem's status read with the usual
// spacing; the JSON tokenizer against Python's json module and the rules of its cases.
#include "comm/chandata/chandata.h"
#include "comm/gw/gw.h"
#include "comm/tele/json.h"
#include "comm/tele/tele.h"
#include "platform/os/osfs_sim.h"
#include "platform/timemod/timemod_sim.h"
#include "services/timemod/timemod.h"
#include "support/loopback.h"
#include "support/pyref.h"
#include "support/stepped.h"
#include "vyn/vartable.h"

#include <fcntl.h>
#include <tuple>
#include <termios.h>
#include <thread>

namespace {

using pyref::bytes;
constexpr uint16_t OWN = 0x25;

std::vector<std::pair<std::string, std::string>> pairs(const std::string& text, size_t size = 100) {
    JsonParse p;
    p.setBuff(text.data(), text.size());
    std::vector<std::pair<std::string, std::string>> out;
    std::vector<char> k(size), v(size);
    while (p.getNext(k.data(), size, v.data(), size))
        out.emplace_back(k.data(), v.data());
    return out;
}

TEST(Json, ReadsWhatPythonsJsonModuleReadsCompactOrSpaced) {
    const std::vector<std::string> texts = {
        R"({"a":"x","b":12})", R"({ "rsrp": -95, "band" : "3" ,"cid":"1A2B" })",
        "{\n  \"s\": \"a\\\"b\\\\c\\u0041\",\n  \"n\": 1.5\n}", R"({"plmn": "262-01", "ping": 23})"};
    std::vector<std::vector<bytes>> cases;
    for (const auto& t : texts)
        cases.push_back({bytes(t.begin(), t.end())});
    const auto ref = pyref::map(R"(
import json
def f(t):
    return '|'.join(k + '=' + str(v) for k, v in json.loads(t.decode()).items())
)",
                                cases);
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string mine;
        for (const auto& [k, v] : pairs(texts[i]))
            mine += (mine.empty() ? "" : "|") + k + "=" + v;
        EXPECT_EQ(mine, ref[i]) << texts[i];
    }
}

TEST(Json, ValuesThatAreNoStringOrNumberAndCutTexts) {
    using P = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(pairs(R"({"t":true,"c":2})"), (P{{"t", ""}, {"c", "2"}}));
    EXPECT_EQ(pairs(R"({"e":1e3,"f":5})"), (P{{"e", "1"}, {"f", "5"}})) << "a number stops at the e";
    EXPECT_EQ(pairs(R"({"longkey":"v"})", 4), (P{{"lon", "v"}})) << "cut to its buffer";
    EXPECT_EQ(pairs(R"({"a":"x)"), P{}) << "ends inside a string";
    EXPECT_EQ(pairs(R"({"a":12)"), P{}) << "ends right after a number";
    EXPECT_EQ(pairs(R"({"p":+5,"q":-2.5})"), (P{{"p", "+5"}, {"q", "-2.5"}})) << "signs belong to a number";
    EXPECT_EQ(pairs(R"({"a":1},"b":"x")"), (P{{"a", "1"}})) << "the closing brace ends the object";
}

TEST(TeleJson, ModemStatusWithStandardSpacingSetsTheSignals) {
    const std::string s = R"({ "plmn": "262-01", "cid": "1A2B3", "band": 300, "cpu_load": "45.7",
        "ping": 23, "rsrp": -95, "ethernet_in": 70000, "ethernet_out": 12, "wan_out": -4 })";
    tele_json_modem(s.data(), s.size());
    EXPECT_EQ(
        (std::tuple{tele_modem_plmn, tele_modem_cid, tele_modem_band, tele_modem_cpuLoad, tele_modem_ping,
                    tele_modem_rsrp, tele_modem_ethIn, tele_modem_ethOut, tele_modem_wanOut}),
        (std::tuple<uint32_t, uint32_t, uint8_t, uint8_t, uint8_t, int8_t, uint16_t, uint16_t, uint16_t>{
            262001, 0x1A2B3, 255, 91, 5, 5, 65535, 12, 0}));
}

TEST(TeleJson, StatusTextIsJsonForJq) {
    const double lap = 1234.5, lat = 48.1234567, lon = 11.5, nan = std::nan(""), huge = 1e39;
    const uint32_t crc = 0xDEADBEEF;
    struct Case {
        const double *l, *a, *o;
        const uint32_t* c;
        std::string expect; // jq -c -S
    } cases[] = {
        {&lap, &lat, &lon, &crc,
         R"({"dcp_ini_crc":3735928559,"gps_lat":48.123455,"gps_long":11.5,"lapdist":1235,"prjcode":77,"sw_id":3})"},
        {nullptr, nullptr, nullptr, &crc, R"({"dcp_ini_crc":3735928559,"prjcode":77,"sw_id":3})"},
        {&nan, &lat, nullptr, nullptr, R"({"gps_lat":48.123455})"},
        {&lap, &huge, &huge, nullptr, R"({"lapdist":1235})"}, // no single precision value
    };
    for (const Case& c : cases) {
        char text[300];
        const size_t n = tele_json_text(text, sizeof text, c.l, c.a, c.o, c.c, 77, 3);
        pyref::TempFile f(std::string(text, n));
        const bytes out = pyref::run("jq -e -c -S . " + f.path());
        EXPECT_EQ(std::string(out.begin(), out.end()), c.expect + "\n") << text;
    }
}

// The gateway's raster task delivers a channel while telemetry reads it: each value read is one
// that was delivered, quantised from its own raw value, never older than the one read before.
// The gateway delivers a 32-bit word (after the entry's time stamp) to the channel.
void deliver(ChanData& ch, uint32_t w) {
    const uint8_t entry[8] = {0, 0, 0, 0, uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
    ChanData::readCyclic(0, entry, reinterpret_cast<uintptr_t>(&ch));
}

TEST(TeleChannel, ValuesDeliveredWhileTelemetryReadsThemAreReadWhole) {
    ChanData ch(0x40010, 5, 0, 2, 2); // an unsigned 32-bit value v, quantised v x 2 + 2
    constexpr uint32_t N = 20000;
    std::thread gateway([&ch] {
        for (uint32_t k = 1; k <= N; ++k)
            deliver(ch, k);
    });
    double v = 0, last = 0;
    int backwards = 0;
    for (uint32_t reads = 0; last < 2 * N + 2 && reads < 100 * N; ++reads, last = v)
        chan_meas_getValue(&ch, &v, nullptr), backwards += v < last;
    gateway.join();
    chan_meas_getValue(&ch, &v, nullptr);
    EXPECT_EQ(std::pair(v, backwards), std::pair(2.0 * N + 2, 0));
}

// Telemetry sets its channels up from two tasks at once, the enable channel at its start and the
// JSON status's channels in their own task: the first set-ups of the process (first in this group)
// connect the class's one gateway client without a race, which the thread sanitizer's build tells.
// The gateway is left unset (its lists are refused), as the frame tests below need it.
TEST(TeleChannel, TheFirstSetUpsFromTwoTasksAtOnceShareTheClassClient) {
    ChanData enable(0x25040010, 1, 0, 1, 0), lapDist(0x25040020, 5, 0, 1, 0);
    std::atomic<int> ready{0};
    const auto setUp = [&ready](ChanData* ch) {
        for (++ready; ready.load() < 2;) {
        }
        chan_meas_setup(ch, 3, 3);
    };
    std::thread json(setUp, &lapDist);
    setUp(&enable);
    json.join();
    EXPECT_EQ(enable.magic + lapDist.magic, 0u);
}

// Descriptions as CAN.xml and telemetry read them: mask, scale, unscaled b = 0, the last value
// kept when the data is lost; floats beyond the integer forms or not numbers give the limit or 0.
TEST(ChannelDescription, QuantisesAndSaturates) {
    testsupport::logStart();
    const struct {
        const char* attrs;
        std::vector<uint8_t> value; // big-endian as delivered
        double expect;
    } cases[] = {
        {R"(type="UINT16" mask="0F00" b="1" c="0" f="1")", {0x12, 0x34}, 2},
        {R"(type="SINT16" mask="0" b="1" c="0" f="1")", {0xFF, 0x38}, -200},
        {R"(type="UINT8" mask="0" b="2" c="10" f="1")", {30}, 10},
        {R"(type="FLOAT" mask="0" b="1" c="0" f="2")", {0x3F, 0xC0, 0, 0}, 3},
        {R"(type="UINT8" mask="0" b="0" c="10" f="3")", {7}, 7},
    };
    for (const auto& c : cases) {
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
        EXPECT_EQ(std::pair(v, status), std::pair(c.expect, uint8_t{0})) << c.attrs;
        EXPECT_EQ(chan_meas_getValue(&ch, &v, nullptr), 0) << "read twice: no new data";
        ChanData::readCyclic(6, nullptr, reinterpret_cast<uintptr_t>(&ch));
        EXPECT_EQ(chan_meas_getValue(&ch, &v, &status), 0);
        EXPECT_EQ(std::pair(v, status), std::pair(c.expect, uint8_t{1})) << "lost: the last value stays";
    }
    std::vector<testsupport::LogLine> seen;
    EXPECT_TRUE(
        testsupport::logContains(seen, "ChanData: quantisation parameter B of  is 0.0, value unscaled"));
    XmlScan scan(R"(<Chan type="FLOAT" adr="40010" mask="0" a="0" b="1" c="0" d="0" e="0" f="1"/>)");
    XmlTok_t tok;
    scan.getTok(&tok);
    ChanData ch(&scan, &tok);
    const struct {
        uint32_t bits;
        int32_t quant;
        uint32_t raw;
    } floats[] = {{0x7149F2CA, INT32_MAX, 0xFFFFFFFF}, // 1e30
                  {0xF149F2CA, INT32_MIN, 0},          // -1e30
                  {0x7FC00000, 0, 0},                  // NaN
                  {0xC0600000, -3, 0xFFFFFFFD}};       // -3.5
    for (const auto& c : floats) {
        deliver(ch, c.bits);
        int32_t q = 1;
        uint32_t r = 1;
        ch.getQuantData(q);
        ch.getRawData(r);
        EXPECT_EQ(std::pair(q, r), std::pair(c.quant, c.raw)) << std::hex << c.bits;
    }
}

struct Tele : testsupport::SteppedTest {
    int master = -1;
    tele_record fast[2]{}, slow[3]{};

    void SetUp() override {
        SteppedTest::SetUp();
        gw_reset(), timemodsim::install(), time_init();
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
                    osfs::addSerialDevice("/tyCo/0", ptsname(master)));
        tele_app_ini();
    }
    void TearDown() override {
        tele_reset();
        osfs::addSerialDevice("/tyCo/0", "");
        close(master);
        gw_reset();
        SteppedTest::TearDown();
    }
    static void record(tele_record& r, uint16_t pid, uint8_t block, const bytes& values) {
        r = tele_record{};
        r.pid = pid, r.block = block, r.entrySize = static_cast<uint16_t>(4 + values.size());
        tele_record_state(&r, 1, 1);
        bytes entry = {0, 0, 0, 0};
        entry.insert(entry.end(), values.begin(), values.end());
        tele_record_put(&r, entry.data());
    }
    bytes read(int ms) {
        bytes out;
        while (testsupport::readable(master, ms)) {
            uint8_t buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
            ms = 50;
        }
        return out;
    }
};

TEST_F(Tele, SerialFramesCarryBlockZeroAndTheSlowBlocksInTurnWithTheirCrc) {
    record(fast[0], OWN, 0, {0x11, 0x22});
    record(fast[1], OWN, 0, {0x33, 0x44, 0x55});
    tele_record_state(&fast[1], 1, 0); // no valid data: zeros of its length
    tele[0] = {fast, 2};
    for (uint8_t b = 1; b <= 3; ++b)
        record(slow[b - 1], OWN, b, bytes(b, static_cast<uint8_t>(0xA0 + b))), tele[b] = {&slow[b - 1], 1};
    // A line left as a terminal's would send the header's 0x0A as 0x0D 0x0A.
    const int line = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios t{};
    ASSERT_EQ(tcgetattr(line, &t), 0);
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(line, TCSANOW, &t), 0);
    close(line);
    tele_start_t s{};
    s.kind = 1, s.config.medium = 0, s.config.baudRate = 9600, s.config.projectCode = 0x120A,
    s.config.swId = 7, s.config.extraDelay = 20;
    ASSERT_EQ(tele_app_start(&s), 1);
    sim::step(1000); // the frame task idled at 1000 ms without a frame function
    sim::step(300);
    const bytes stream = read(2000);
    EXPECT_EQ(telemetry_state, 1);
    // Frames of 18, 19 and 20 bytes 46, 47 and 48 ms apart: slow block 1 every 141 ms, with 57
    // bytes sent in that time: 404 bytes/s, 57 x 800 / 141 = 323.
    EXPECT_EQ((std::tuple{tele_slowblock_dt, tele_data_rate, tele_data_rate_kBit}),
              std::tuple(141, 404, 323));
    // Split at the length byte; each frame's CRC, block 0 and the slow block number checked by
    // Python with crcmod (CRC-16/MCRF4XX, check value 0x6F91). Each frame of n bytes is followed
    // (n * 1000 + 3000) / (9600 / 11) + extra delay + 2 ms later by the next (time stamp in 0.1 ms).
    std::vector<std::vector<bytes>> cases;
    uint32_t last = 0, lastSize = 0;
    for (size_t at = 0; at + 10 <= stream.size(); at += lastSize) {
        const auto from = stream.begin() + static_cast<long>(at);
        const uint32_t size = from[3] + 2u,
                       stamp = uint32_t{from[6]} << 24 | from[7] << 16 | from[8] << 8 | from[9];
        cases.push_back({bytes(from, from + size)});
        if (lastSize) {
            EXPECT_EQ(stamp - last, 10 * ((lastSize * 1000 + 3000) / 872 + 22)) << cases.size();
        }
        last = stamp, lastSize = size;
    }
    ASSERT_GE(cases.size(), 5u);
    const auto ref = pyref::map(R"(
crc = crcmod.mkCrcFun(0x11021, initCrc=0xFFFF, rev=True, xorOut=0)
assert crc(b'123456789') == 0x6F91
def f(fr):
    L = fr[3]
    ok = int.from_bytes(fr[L:L + 2], 'big') == crc(fr[:L])
    return f"{ok} {fr[:3].hex()} {fr[4]} {fr[5]} {fr[10:15].hex()} {fr[15:L].hex()}"
)",
                                cases);
    const std::string slowHex[] = {"a1", "a2a2", "a3a3a3"};
    for (size_t i = 0; i < ref.size(); ++i)
        EXPECT_EQ(ref[i], "True 0a1207 9 " + std::to_string(i % 3) + " 1122000000 " + slowHex[i % 3]) << i;
    tele_app_stop();
    EXPECT_EQ(telemetry_state, 0);
}

// At a baud rate whose frames would follow each other within a few milliseconds they still come
// 40 ms apart; the slow blocks run through slot 7 and back to the first present one.
TEST_F(Tele, FramesComeAtLeast40msApartAndTheSlowBlocksTurnAfterSlot7) {
    record(fast[0], OWN, 0, {0x11});
    tele[0] = {fast, 1};
    record(slow[0], OWN, 2, {0xA2}), tele[2] = {&slow[0], 1};
    record(slow[1], OWN, 7, {0xA7}), tele[7] = {&slow[1], 1};
    tele_start_t s{};
    s.kind = 1, s.config.medium = 0, s.config.baudRate = 115200;
    ASSERT_EQ(tele_app_start(&s), 1);
    sim::step(1000);
    sim::step(200);
    const bytes stream = read(2000);
    std::string blocks; // header byte 5 of each frame: its slow block's number - 1
    std::vector<uint32_t> stamps;
    for (size_t at = 0; at + 10 <= stream.size(); at += stream[at + 3] + 2u) {
        blocks += std::to_string(stream[at + 5]);
        stamps.push_back(uint32_t{stream[at + 6]} << 24 | stream[at + 7] << 16 | stream[at + 8] << 8 |
                         stream[at + 9]);
    }
    ASSERT_GE(stamps.size(), 4u);
    EXPECT_EQ(blocks.substr(0, 4), "1616");
    for (size_t i = 1; i < stamps.size(); ++i)
        EXPECT_EQ(stamps[i] - stamps[i - 1], 400u) << i;
}

TEST_F(Tele, AnEnableChannelRoundedToZeroHoldsTheFrames) {
    ChanData enable(0x40010, 6, 0, 1, 0); // a float
    tele_start_t s{};
    s.kind = 1, s.config.medium = 0, s.config.baudRate = 9600, s.config.enable = &enable;
    ASSERT_EQ(tele_app_start(&s), 1);
    sim::step(1000);
    for (const auto& [bits, state] :
         {std::pair{0x3ECCCCCDu, 6}, {0xBF19999Au, 1}, {0x3ECCCCCDu, 6}}) { // 0.4, -0.6
        deliver(enable, bits), sim::step(50);
        EXPECT_EQ(telemetry_state, state) << std::hex << bits;
    }
    tele_app_stop();
}

TEST_F(Tele, StartsThatCouldNotWorkAreRefused) {
    tele_start_t s{};
    s.kind = 1, s.config.medium = 0, s.config.baudRate = 10;
    EXPECT_EQ(tele_app_start(&s), 0) << "a period that divides by baud / 11 = 0";
    static tele_record big{};
    record(big, OWN, 0, bytes(246, 1)); // 10 + 246 > 255
    tele[0] = {&big, 1};
    s.config.baudRate = 115200;
    EXPECT_EQ(tele_app_start(&s), 0) << "a frame whose length does not fit its byte";
    big.entrySize = 4 + 245;
    EXPECT_EQ(tele_app_start(&s), 1);
    // A data rate that times two slow slots wraps 32 bits to 0
    static tele_record slow2[2]{};
    tele[1] = {&slow2[0], 1}, tele[2] = {&slow2[1], 1};
    s.config.medium = 2, s.config.address = 0x7F000001, s.config.dataRate = 0x80000000;
    EXPECT_EQ(tele_app_start(&s), 1);
}

TEST_F(Tele, EachStopClosesTheSocketAndThePortOfItsStart) {
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    tele_start_t s{};
    s.kind = 1, s.config.baudRate = 9600, s.config.address = 0x7F000001, s.config.port = 5010;
    long before = 0;
    for (int round = 0; round < 4; ++round) {
        for (uint8_t medium : {0, 2}) {
            s.config.medium = medium;
            ASSERT_EQ(tele_app_start(&s), 1);
            tele_app_stop();
        }
        sim::waitIdle();
        if (round == 0) before = descriptors(); // the JSON tasks' sockets stay
    }
    EXPECT_EQ(descriptors(), before);
}

} // namespace
