// The slave on the unit's clock with a tool on loopback: every command's answer byte by byte,
// the refusals with the XCP error codes, DAQ lists and their DTOs in one counter sequence with
// the responses, the master-present timer, the socket registry and the shutdown.
#include "calibration/memory/seram.h"
#include "calibration/xcp/xcp_private.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/loopback.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <cstring>
#include <functional>
#include <future>
#include <regex>
#include <set>
#include <thread>

namespace {

using bytes = std::vector<uint8_t>;

bytes unhex(std::string text) {
    std::erase(text, ' ');
    return pyref::unhex(text);
}
int toolSocket(sockaddr_in* bound = nullptr) {
    const int fd = testsupport::boundSocket(SOCK_DGRAM, INADDR_LOOPBACK, 0, bound);
    const int big = 32 << 20; // a burst of DTOs waits here until it is read
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    return fd;
}

struct Xcp : testsupport::SteppedTest {
    int tool = -1;
    sockaddr_in slave{}, toolAt{};
    std::vector<std::pair<uint16_t, bytes>> frames; // CTR and packet of every frame, in order
    std::vector<size_t> datagrams;                  // their datagrams' sizes
    std::vector<size_t> in;                         // each frame's datagram

    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset(), seramInitializeOffsets();
        // Known bytes at 0x100 of both pages, "123456789" at 0x200, before the tasks start.
        for (int i = 0; i < 256; ++i)
            seram_memory[0x100 + i] = static_cast<uint8_t>(0x10 + i),
                                 seram_memory[0x20100 + i] = static_cast<uint8_t>(0x20 + i);
        std::memcpy(seram_memory + 0x200, "123456789", 9);
        tool = toolSocket(&toolAt);
        close(toolSocket(&slave)); // the slave's port: one this machine just handed out, free again
        platform::Settings s;
        s.pid = 0x25, s.xcpPort = ntohs(slave.sin_port);
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0), AppMan_init();
        ASSERT_EQ(xcpInitialize(), 0);
        sim::step(1); // the socket is bound, both tasks wait
    }
    void TearDown() override { xcp_shutdown_now(), xcp_reset(), close(tool), SteppedTest::TearDown(); }
    // Reads datagrams until `until` holds or `ms` pass without one.
    template <typename F> void receive(F until, int ms = 2000, int fd = -1) {
        for (bytes b; !until() && !(b = testsupport::datagram(fd < 0 ? tool : fd, ms)).empty();) {
            datagrams.push_back(b.size());
            for (size_t i = 0, len; i + 4 <= b.size(); i += 4 + len)
                len = b[i] | b[i + 1] << 8, in.push_back(datagrams.size() - 1),
                frames.push_back({static_cast<uint16_t>(b[i + 2] | b[i + 3] << 8),
                                  bytes(b.begin() + i + 4, b.begin() + i + 4 + len)});
        }
    }
    // The answers in hex to commands in hex, one after the other ("" where none comes within `ms`;
    // a loaded host may take a second); DTOs on the way are kept. A request after '!' is a whole
    // datagram.
    std::string cmd(std::initializer_list<std::string> requests, int from = -1, int ms = 2000) {
        std::string all;
        for (const std::string& r : requests) {
            bytes d = unhex(r.substr(r[0] == '!'));
            if (r[0] != '!') d.insert(d.begin(), {static_cast<uint8_t>(d.size()), 0, 0, 0});
            sendto(from < 0 ? tool : from, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&slave),
                   sizeof slave);
            const size_t before = frames.size();
            auto answer = [&] {
                for (size_t i = before; i < frames.size(); ++i)
                    if (frames[i].second[0] >= 0xFD) return pyref::hex(frames[i].second);
                return std::string();
            };
            receive([&] { return !answer().empty(); }, ms, from);
            all += answer();
        }
        return all;
    }
    // A command as the receive task hands it on, run here while that task waits in its select.
    void handOn(const std::string& request, const sockaddr_in* from = nullptr) {
        bytes d = unhex(request);
        d.insert(d.begin(), {static_cast<uint8_t>(d.size()), 0, 0, 0});
        xcpEthDatagram(&xcpCps[0], d.data(), static_cast<uint32_t>(d.size()), from ? from : &toolAt);
    }
    // The transmit task held at its queue, as when the sender falls behind: a flush item wakes it
    // and it parks at its next receive; what is queued meanwhile waits for the release.
    TASK_ID holdSender() {
        const TASK_ID tx = taskNameToId("r_xcpEthDTO0");
        taskSuspend(tx), xcpEthDtoFlush(&xcpCps[0]), sim::waitIdle();
        return tx;
    }
    void releaseSender(TASK_ID tx) { taskResume(tx), sim::waitIdle(); }
    size_t dtos() const {
        return std::count_if(frames.begin(), frames.end(), [](const auto& f) { return f.second[0] < 0xFD; });
    }
    // Lists 0, 1, ... of one entry per ODT, `sizes` bytes at the working page, each on its
    // `event`, running.
    struct List {
        bytes sizes;
        uint8_t event, prescaler = 1;
    };
    void daqLists(const std::vector<List>& lists) {
        const auto count = static_cast<uint8_t>(lists.size());
        ASSERT_EQ(cmd({"ff 00", "d5 00" + pyref::hex({count, 0})}), "ff0580ffff000101ff");
        for (uint8_t l = 0; l < count; ++l)
            ASSERT_EQ(cmd({"d4 00" + pyref::hex({l, 0, uint8_t(lists[l].sizes.size())})}), "ff");
        for (uint8_t l = 0; l < count; ++l) {
            const List& list = lists[l];
            for (uint8_t odt = 0; odt < list.sizes.size(); ++odt)
                ASSERT_EQ(cmd({"d3 00" + pyref::hex({l, 0, odt, 1}), "e2 00" + pyref::hex({l, 0, odt, 0}),
                               "e1 ff" + pyref::hex({list.sizes[odt]}) + "00 00010225"}),
                          "ffffff");
            ASSERT_EQ(cmd({"e0 10" + pyref::hex({l, 0, list.event, 0, list.prescaler, 0}),
                           "de 02" + pyref::hex({l, 0})}),
                      "ffff00");
        }
        ASSERT_EQ(cmd({"dd 01"}), "ff");
    }
    void daqList(const bytes& sizes, uint8_t event, uint8_t prescaler = 1) {
        daqLists({{sizes, event, prescaler}});
    }
    // The 10 ms raster's tick, as the unit's passes it to the transport.
    void tick() { xcp_10ms(), sim::waitIdle(); }
};

// One session: request > answer in hex ('.' any digit, nothing: no answer), '|' between pairs,
// '#' a comment; '@' before a request: from another tool. Layouts and codes of the XCP standard: 0xFF
// positive, 0xFE and an error: 20 CMD_UNKNOWN, 21 CMD_SYNTAX, 22 OUT_OF_RANGE, 23 WRITE_PROTECTED, 24
// ACCESS_DENIED, 25 ACCESS_LOCKED, 26 PAGE_NOT_VALID, 27 MODE_NOT_VALID, 28 SEGMENT_NOT_VALID, 29 SEQUENCE,
// 30 MEMORY_OVERFLOW. Addresses little-endian, the PID (0x25, or 0x0A for any unit) in the top byte.
const char* const kSession = R"(
fd > | ff 01 > | ff 00 > ff 05 80 ff ff00 01 01 | ff 01 >  # only CONNECT mode 0: resource, modes, sizes
fd > ff 00 00 00 0000 | fc > fe 00 | fb > ff 00 00 00 00 00 00 10 | f7 > ff 00 | f8 > ff 04 ........
fa 00 > ff 01 00 00 03000000 56594e | fa 02 > ff 01 00 00 00000000 | fa 09 > fe 22  # GET_ID
f6 00 00 00 00010025 > ff | f5 04 > ff 10111213 | f5 04 > ff 14151617 | f5 ff > fe 22  # MTA, UPLOAD
f6 00 00 00 0001020a > ff | f5 02 > ff 2021 | f6 00 00 01 00010025 > fe 22 | f6 00 00 00 0001000b > fe 22
f6 00 00 > fe 21 | f4 02 00 00 04010025 > ff 1415 | f4 02 00 01 04010025 > fe 22  # SHORT_UPLOAD
f4 02 00 00 04010026 > fe 22 | f4 ff 00 00 00010025 > fe 22 | f4 04 00 00 00007025 > fe 25
ed 02 00 00 00010025 aabb > fe 24 | ed 02 00 01 00010225 aabb > fe 22 | ed f8 00 00 00010225 > fe 22
ed 04 00 00 00010225 aa > fe 21 | ed 02 00 00 00010225 aabb > ff  # SHORT_DOWNLOAD
f6 00 00 00 02010225 > ff | f0 02 ccdd > ff | f4 04 00 00 00010225 > ff aabbccdd  # DOWNLOAD
f0 fe > fe 22 | f0 03 09 > fe 21 | f6 00 00 00 00010025 > ff | f0 01 09 > fe 24  # reference page
eb 01 00 01 > ff | ea 01 00 > ff 00 00 01 | ea 02 00 > ff 00 00 00 | f4 02 00 00 00010025 > ff aabb
eb 83 00 00 > ff | ea 01 00 > ff 00 00 00 | eb 01 01 00 > fe 28 | eb 01 00 02 > fe 26  # SET_CAL_PAGE
ea 03 00 > fe 27 | ea 01 01 > fe 28 | e9 > ff 01 01  # GET_CAL_PAGE, GET_PAG_PROCESSOR_INFO
e8 00 00 00 > ff 00 00 00 00000025 | e8 00 00 01 > ff 00 00 00 00000200 | e8 01 00 00 > ff 02 00 00 00 00
e8 02 00 00 > fe 22 | e8 00 01 00 > fe 28  # GET_SEGMENT_INFO
e7 00 00 00 > ff 0a 00 00 | e7 00 00 01 > ff 2a 00 00 | e7 00 00 02 > fe 26 | e7 00 01 00 > fe 28
f9 01 3412 > fe 22 | f9 02 0000 > fe 22  # a store only in freeze mode
e5 00 00 > ff 00 00 | e6 01 00 > ff | e5 00 00 > ff 00 01 | e6 01 01 > fe 28 | e5 00 01 > fe 28
e6 00 00 > ff | e4 00 01 00 00 > fe 23 | e4 01 00 00 01 > fe 28 | e4 00 02 00 01 > fe 26  # COPY_CAL_PAGE
e4 00 00 00 01 > ff | f4 02 00 00 00010225 > ff 1011
f6 00 00 00 00020025 > ff | f3 00 00 00 09000000 > ff 08 00 00 b1290000  # CRC-16/CCITT-FALSE check value
f3 00 00 00 00ffffff > fe 22 | f1 21 0180 > fe 21 | f1 20 3412 > fe 21  # USER_CMD: sub-command, service
f1 20 2080 > fe 21 | f1 20 0180 > ff 05 00 | f5 05 > ff 4b56583200  # nothing to write; the product
f4 01 00 00 ff036025 > ff 00 | f4 02 00 00 ff036025 > fe 25  # the diagnostic upload buffer's end
da > ff 13 0400 0400 00 80 | d9 > ff 01 fc 01 fc 5c 0100 | d8 00 0000 > ff 06 01 ff 0000 | d8 00 0400 > fe 22
d7 00 0000 > ff 04 01 00 01 08 0c | d7 00 0200 > ff 04 01 00 01 06 0e | d7 00 0300 > ff 04 01 00 00 00 0f
d7 00 0400 > fe 22 | dc > ff 00 00 00 ........ | d4 00 0000 01 > fe 29 | d3 00 0000 00 01 > fe 29
d5 00 0500 > fe 22 | d5 00 0100 > ff | d5 00 0100 > fe 29 | d3 00 0000 00 01 > fe 29  # ALLOC_DAQ
d4 00 0400 01 > fe 22 | d4 00 0000 02 > ff | d3 00 0000 02 01 > fe 22 | d3 00 0000 00 02 > ff
d3 00 0000 01 01 > ff | e2 00 0000 00 02 > fe 22 | e2 00 0000 00 00 > ff  # SET_DAQ_PTR
e1 00 04 00 00000425 > fe 22 | e1 ff 04 01 00000425 > fe 22 | e1 ff 04 00 00000426 > fe 22 | e1 ff > fe 21
e1 ff f5 00 00000425 > ff | e1 ff 04 00 00000425 > fe 30 | e1 ff 03 00 00000425 > ff  # 245 + 4 + 7
e1 ff 01 00 00000425 > fe 22 | e0 10 0000 0400 01 00 > fe 22 | e0 10 0400 0200 01 00 > fe 22
e0 10 0000 0200 01 00 > ff | de 03 0000 > fe 27 | de 02 0400 > fe 22 | de 02 0000 > ff 00 | dd 03 > fe 22
dd 01 > ff | fd > ff 40 00 00 0000 | dd 00 > ff | d6 > ff | d4 00 0000 01 > fe 29
db > fe 20 | df > fe 20 | e3 > fe 20 | ec > fe 20 | ee > fe 20 | f2 > fe 20 | d2 > fe 20 | c8 > fe 20
@fd > | @fe > | fd > ff 00 00 00 0000 | @ff 00 > ff 05 80 ff ff00 01 01 | fd >  # another tool connects
@!0000 0000 > | @!0200 0000 fd > | @!0100 0000 fd 0100 0000 fe > ff 00 00 00 0000  # LEN; one packet only
@fe > ff | @fd >  # DISCONNECT
)";

TEST_F(Xcp, EveryCommandAnswersInTheStandardsLayoutAndRefusesWithItsErrorCode) {
    const int other = toolSocket();
    std::istringstream lines(kSession);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream pairs(line.substr(0, line.find('#')));
        for (std::string pair; std::getline(pairs, pair, '|');) {
            const size_t to = pair.find('>'), at = pair.find('@'); // at + 1: 0 when there is none
            std::string want = pair.substr(to + 1);
            std::erase(want, ' ');
            const std::string got = cmd({pair.substr(at + 1, to - at - 1)},
                                        at == std::string::npos ? -1 : other, want.empty() ? 300 : 2000);
            EXPECT_TRUE(std::regex_match(got, std::regex(want))) << pair << " answered " << got;
        }
    }
    EXPECT_TRUE(logged("XCP Connect: User defined mode not supported") &&
                logged("XCP Command SHORT_UPLOAD: Error OUT_OF_RANGE"));
    close(other);
}

// The request column of the command table, as lengths with the code: one byte short is a syntax
// error, whatever the command would make of its bytes.
TEST_F(Xcp, ARequestOneByteShortOfItsCommandsFieldsIsASyntaxError) {
    ASSERT_EQ(cmd({"ff 00"}), "ff0580ffff000101");
    const std::pair<std::string, size_t> rows[] = {
        {"fa", 2}, // GET_ID: type
        {"f9", 4}, // SET_REQUEST: mode, session configuration id
        {"f6", 8}, // SET_MTA: extension, address
        {"f5", 2}, // UPLOAD: n
        {"f4", 8}, // SHORT_UPLOAD: n, extension, address
        {"f3", 8}, // BUILD_CHECKSUM: block size
        {"f1", 4}, // USER_CMD: sub-command, service id
        {"f0", 2}, // DOWNLOAD: n
        {"ed", 8}, // SHORT_DOWNLOAD: n, extension, address
        {"eb", 4}, // SET_CAL_PAGE: mode, segment, page
        {"ea", 3}, // GET_CAL_PAGE: mode, segment
        {"e8", 4}, // GET_SEGMENT_INFO: mode, segment, info
        {"e7", 4}, // GET_PAGE_INFO: segment, page
        {"e6", 3}, // SET_SEGMENT_MODE: mode, segment
        {"e5", 3}, // GET_SEGMENT_MODE: segment
        {"e4", 5}, // COPY_CAL_PAGE: source segment and page, destination segment and page
    };
    for (const auto& [code, length] : rows)
        EXPECT_EQ(cmd({code + std::string(2 * (length - 2), '0')}), "fe21") << code;
    EXPECT_EQ(cmd({"fd"}), "ff000000"
                           "0000")
        << "the session goes on";
}

TEST_F(Xcp, ResponsesAndDtosShareOneCounterAndAListFollowsItsEventAndPrescaler) {
    daqList({93, 97}, 2);
    for (int event = 0; event < 5; ++event) {
        xcpSendDAQ(2), sim::step(1);
        EXPECT_EQ(cmd({"fd"}), "ff4000000000");
    }
    ASSERT_EQ(dtos(), 10u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].first, i + 1) << i;
    // ODT 0: its number, list 0, a time stamp in 100 us, 93 bytes; ODT 1: 97 bytes.
    const bytes &odt0 = frames[frames.size() - 3].second, &odt1 = frames[frames.size() - 2].second;
    EXPECT_EQ(bytes(odt0.begin() + 7, odt0.end()),
              bytes(seram_memory + 0x20100, seram_memory + 0x20100 + 93));
    EXPECT_EQ(pyref::hex(bytes(odt1.begin(), odt1.begin() + 5)) + std::to_string(odt1.size()),
              "0100002021100");
    uint32_t stamp[2];
    std::memcpy(&stamp[0], &frames[frames.size() - 6].second[3], 4), std::memcpy(&stamp[1], &odt0[3], 4);
    EXPECT_NEAR(stamp[1] - stamp[0], 10, 1); // a millisecond; the timer's 3 ns counts round down

    // Bound to the 10 ms event at every third: events 1, 4 and 7 there, none elsewhere; each pair
    // (208 bytes) leaves with the tick after the event that made it, as the 10 ms raster runs them.
    ASSERT_EQ(cmd({"e0 10 0000 0100 03 00", "de 02 0000", "dd 01"}), "ffff00ff");
    std::vector<size_t> seen;
    for (int event = 0; event < 8; seen.push_back(dtos() - 10), ++event)
        xcpSendDAQ(2), xcpSendDAQ(0), xcpSendDAQ(1), tick(), receive([] { return false; }, 20);
    EXPECT_EQ(seen, (std::vector<size_t>{2, 2, 2, 4, 4, 4, 6, 6}));
    EXPECT_EQ(cmd({"dd 00"}), "ff");
    xcpSendDAQ(1);
    EXPECT_EQ(cmd({"fd"}), "ff0000000000");
    EXPECT_EQ(dtos(), 16u);
}

TEST_F(Xcp, SixteenFullOdtsOnTheMillisecondEventLoseNothingAndAnOverloadShowsAsACounterGap) {
    bytes full(16, 252);
    full[0] = 248;
    daqList(full, 2);
    const size_t before = frames.size(), sent = datagrams.size();
    // A millisecond each: a frame of 259 bytes fills more than a datagram and travels alone, all
    // sixteen within their millisecond.
    for (int event = 0; event < 50; ++event) {
        xcpSendDAQ(2), sim::step(1);
        receive([&] { return frames.size() == before + 16 * (event + 1); });
    }
    ASSERT_EQ(frames.size(), before + 800);
    EXPECT_EQ(cmd({"fd"}), "ff4000000000");
    ASSERT_EQ(frames.size(), before + 801);
    std::vector<size_t> alone(800, 259);
    alone.push_back(10); // the response
    EXPECT_EQ(std::vector<size_t>(datagrams.begin() + sent, datagrams.end()), alone);

    // Twenty events while the sender is held: the DTO buffer keeps them all.
    TASK_ID tx = holdSender();
    for (int event = 0; event < 20; ++event)
        xcpSendDAQ(2);
    releaseSender(tx);
    EXPECT_EQ(cmd({"fd"}), "ff4000000000");
    ASSERT_EQ(frames.size(), before + 801 + 321);
    for (size_t i = before + 1; i < frames.size(); ++i)
        ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[i - 1].first + 1)) << i;

    // A thousand must lose some: whole events, counted in the gap of the counter before the
    // response queued behind them.
    const size_t held = frames.size();
    tx = holdSender();
    for (int event = 0; event < 1000; ++event)
        xcpSendDAQ(2);
    handOn("fd");
    releaseSender(tx);
    receive([&] { return frames.size() > held && frames.back().second[0] == 0xFF; });
    ASSERT_EQ(pyref::hex(frames.back().second), "ff4000000000");
    const size_t got = frames.size() - held - 1;
    EXPECT_TRUE(got > 0 && got < 16000 && got % 16 == 0) << got;
    EXPECT_EQ(static_cast<uint16_t>(frames.back().first - frames[held - 1].first), 16001u)
        << "every DTO counted, sent or lost";
    for (size_t i = held + 1; i + 1 < frames.size(); ++i)
        ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[i - 1].first + 1)) << i;
    EXPECT_EQ(datagrams.back(), 10u);
    for (size_t i = sent; i + 1 < datagrams.size(); ++i)
        ASSERT_TRUE(datagrams[i] == 259 || datagrams[i] == 10) << i;
}

// A processor taken away for 300 ms (a loaded host does that to the unit): afterwards the 1 ms
// raster catches up on its ticks ahead of the transmit task. Three times as many cycles as the
// transmit queue has items, 1.2 MB of frames: every DTO still leaves, none in a datagram beyond
// the packing rule.
TEST_F(Xcp, CyclesCaughtUpAfterAStallOfThreeHundredMillisecondsAllLeave) {
    bytes full(16, 252);
    full[0] = 248;
    daqList(full, 2);
    const size_t held = frames.size(), sent = datagrams.size();
    const TASK_ID tx = holdSender();
    for (int event = 0; event < 300; ++event)
        xcpSendDAQ(2);
    handOn("fd");
    releaseSender(tx);
    receive([&] { return frames.size() > held && frames.back().second[0] == 0xFF; });
    ASSERT_EQ(frames.size() - held, 4801u);
    for (size_t i = held; i < frames.size(); ++i)
        ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[held - 1].first + i - held + 1)) << i;
    EXPECT_EQ(std::vector<size_t>(datagrams.begin() + sent, datagrams.end() - 1),
              std::vector<size_t>(4800, 259));
    EXPECT_FALSE(logged("xcpSendCpDAQ(): msgQSend Error"));
}

// Where a cycle does not fit before the end of the DTO buffer, the next starts at its beginning;
// what is left there holds frames of an earlier lap. A lap of cycles of 4096 bytes fills the whole
// buffer, the next cycles leave two bytes at its end (less than a frame's LEN and CTR), full ones
// then leave more. Every frame leaves whole, its ODT and size in order, its count the next.
TEST_F(Xcp, FramesLeaveWholeWhereTheBufferEndsBeforeACycle) {
    auto run = [&](const bytes& sizes, int events) {
        daqList(sizes, 2);
        const size_t held = frames.size();
        for (int done = 0; done < events; done += 50) { // fifty at a time, well within the buffer
            const int upTo = std::min(done + 50, events);
            const TASK_ID tx = holdSender();
            for (int e = done; e < upTo; ++e)
                xcpSendDAQ(2);
            releaseSender(tx), xcpEthDtoFlush(&xcpCps[0]), sim::waitIdle();
            receive([&] { return frames.size() == held + 16u * upTo; });
        }
        ASSERT_EQ(frames.size(), held + 16u * events);
        for (size_t i = held; i < frames.size(); ++i) {
            const size_t odt = (i - held) % 16;
            ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[held - 1].first + i - held + 1)) << i;
            ASSERT_EQ(frames[i].second[0], odt) << i;
            ASSERT_EQ(frames[i].second.size(), sizes[odt] + (odt ? 3u : 7u)) << i;
        }
    };
    bytes sizes(16, 252);
    sizes[0] = 248, sizes[15] = 204; // 7 + 248 + 15 * 3 + 14 * 252 + 204 + 16 * 4 = 4096
    run(sizes, XCP_DTO_BUFFER / 4096);
    sizes[15] = 252;
    uint32_t cycle = 16 * 259;
    for (size_t i = 1; XCP_DTO_BUFFER % cycle != 2; i = i % 15 + 1, --cycle)
        --sizes[i];
    run(sizes, static_cast<int>(XCP_DTO_BUFFER / cycle) + 30);
    sizes = bytes(16, 252), sizes[0] = 248;
    run(sizes, XCP_DTO_BUFFER / (16 * 259) + 30);
}

// DTO frames share datagrams of at most 255 bytes: whole frames, one event's or the next's too, a
// larger one alone. A datagram leaves when no frame could join it, before a response, or with the
// 10 ms tick. Sizes by hand: a frame is LEN and CTR (4 bytes) and the DTO, whose header is 7 bytes
// in ODT 0 (with the time stamp) and 3 in the others.
TEST_F(Xcp, DtoFramesShareDatagramsOfAtMost255BytesAndLeaveFullOrWithTheTick) {
    auto since = [&](size_t from) { return std::vector<size_t>(datagrams.begin() + from, datagrams.end()); };
    // An event on the clock as it stands, the tick after it where asked: what it sends has
    // arrived before time moves on.
    auto event = [&](size_t datagramsThen, bool ticked = false) {
        xcpSendDAQ(2);
        if (ticked) xcp_10ms();
        sim::waitIdle();
        receive([&] { return datagrams.size() == datagramsThen; });
    };
    auto held = [&](int events, size_t datagramsThen, const std::function<void()>& after = {}) {
        const TASK_ID tx = holdSender();
        for (int i = 0; i < events; ++i)
            xcpSendDAQ(2);
        if (after) after();
        releaseSender(tx);
        receive([&] { return datagrams.size() == datagramsThen; });
    };
    // Three DTOs of 100 bytes an event: two to a datagram of 208 across events, the one left at
    // the third event's end waits for the tick.
    daqList({93, 97, 97}, 2);
    size_t at = datagrams.size();
    event(at + 1), event(at + 2), event(at + 5, true);
    EXPECT_EQ(since(at), (std::vector<size_t>{208, 208, 208, 208, 104}));
    // Two events queued back to back while the sender is held, and the tick: six frames in three
    // datagrams. A flush or a response queued behind one event sends its third frame ahead of it.
    at = datagrams.size();
    held(2, at + 3, [] { xcp_10ms(); });
    held(1, at + 5, [] { xcpEthDtoFlush(&xcpCps[0]); });
    held(1, at + 8, [&] { handOn("fd"); });
    EXPECT_EQ(since(at), (std::vector<size_t>{208, 208, 208, 208, 104, 208, 104, 10}));
    ASSERT_EQ(pyref::hex(frames.back().second), "ff4000000000");

    // Frames of 255, 8, 247, 8 and 248 bytes: the first fills a datagram alone, 8 and 247 fill
    // one together, 8 and 248 would make 256; 248 waits (7 bytes left, room for a DTO of one
    // byte) until the next event's first frame cannot join it, the second event's until the tick.
    daqList({244, 1, 240, 1, 241}, 2);
    at = datagrams.size();
    event(at + 3), event(at + 8, true);
    EXPECT_EQ(since(at), (std::vector<size_t>{255, 255, 8, 248, 255, 255, 8, 248}));

    // A sender held for 50 events catches up in datagrams of the same sizes, none lost.
    at = datagrams.size();
    const size_t framesAt = frames.size();
    held(50, at + 200, [] { xcp_10ms(); });
    std::vector<size_t> want;
    for (int i = 0; i < 50; ++i)
        want.insert(want.end(), {255, 255, 8, 248});
    EXPECT_EQ(since(at), want);
    ASSERT_EQ(frames.size(), framesAt + 250);
    for (size_t i = framesAt + 1; i < frames.size(); ++i)
        ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[i - 1].first + 1)) << i;

    // A full datagram leaves at once, whatever is queued behind it: here a CONNECT, whose counter
    // starts again at 1.
    daqList({244}, 2);
    at = datagrams.size();
    held(1, at + 2, [&] { handOn("ff 00"); });
    EXPECT_EQ(since(at), (std::vector<size_t>{255, 12}));
    EXPECT_EQ(frames.back().first, 1);
    // One that waits for more frames leaves ahead of it, in the count of the session it ends.
    daqList({12}, 2);
    at = datagrams.size();
    xcpSendDAQ(2), sim::waitIdle();
    ASSERT_EQ(cmd({"ff 00"}), "ff0580ffff000101");
    EXPECT_EQ(since(at), (std::vector<size_t>{23, 12}));
    EXPECT_EQ(frames[frames.size() - 2].first, 10);
}

// A DTO of the 100 or 10 ms event does not wait for the 10 ms tick: on the stepped clock it has
// arrived before time moves on. Frames whose queue item a full queue refused leave with the tick,
// which wakes the sender where nothing else would.
TEST_F(Xcp, ADtoOfASlowEventLeavesWithItsCycleAndOneAFullQueueHeldWithTheTick) {
    // 12 bytes on the 100 ms event at every tenth for 2.5 s: events 0, 10 and 20.
    daqList({12}, 0, 10);
    std::vector<int> arrived;
    for (int event = 0; event < 25; ++event, sim::step(100)) {
        const size_t had = frames.size();
        xcpSendDAQ(0), sim::waitIdle();
        receive([&] { return frames.size() > had; }, event % 10 ? 20 : 2000);
        if (frames.size() == had) continue;
        arrived.push_back(event);
        ASSERT_EQ(frames.back().second.size(), 19u);
    }
    EXPECT_EQ(arrived, (std::vector<int>{0, 10, 20}));

    // Two DTOs of 50 bytes on the 10 ms event: each event's datagram of 108 bytes.
    daqList({43, 47}, 1);
    const size_t at = datagrams.size();
    for (int event = 0; event < 5; ++event, sim::step(10)) {
        xcpSendDAQ(1), sim::waitIdle();
        receive([&] { return datagrams.size() == at + event + 1; });
        ASSERT_EQ(datagrams.size(), at + event + 1) << event;
        EXPECT_EQ(datagrams.back(), 108u);
    }
    // An event whose queue item a full queue refused: nothing more is queued for its frames once
    // the queue has drained (here a hundred responses); the tick sends them.
    const TASK_ID tx = holdSender();
    xcpTxItem response{};
    response.kind = XCP_TX_CTO, response.length = 1, response.packet[0] = 0xFF;
    while (msgQSend(xcpCps[0].txQueue, &response, sizeof response, NO_WAIT, MSG_PRI_NORMAL) == OK) {
    }
    const size_t had = dtos(), all = frames.size();
    xcpSendDAQ(1);
    releaseSender(tx);
    receive([] { return false; }, 20);
    ASSERT_EQ(frames.size(), all + 100);
    tick();
    receive([&] { return dtos() == had + 2; });
    ASSERT_EQ(frames.size(), all + 102);
    for (size_t i = all; i < frames.size(); ++i)
        ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[all - 1].first + i - all + 1)) << i;
}

// The rasters for a stepped second: every tick the 1 ms event, every tenth the 10 ms event and
// the transport's tick, every hundredth the 100 ms event after that tick, once the sender has
// caught up. One 12-byte ODT on each event: a tool counts every DTO once, in the packet counter's
// order, a slow event's in the tick that made it, the 1 ms event's the tick after at the latest,
// those in about a hundred datagrams; a response in between is not held for the tick but follows
// every DTO made before it.
TEST_F(Xcp, SmallDtosShareDatagramsAtMostOneTickLongAndAResponseIsNotHeld) {
    daqLists({{{12}, 2}, {{12}, 1}, {{12}, 0}});
    const size_t first = frames.size();
    auto slowDtos = [&] {
        return static_cast<size_t>(std::count_if(frames.begin() + first, frames.end(), [](const auto& f) {
            return f.second[0] < 0xFD && f.second[1] > 0;
        }));
    };
    std::vector<size_t> made; // DTOs made by the end of each tick
    for (size_t t = 0, n = 0, slow = 0; t < 1000; ++t) {
        xcpSendDAQ(2), ++n;
        if (t % 10 == 0) xcpSendDAQ(1), xcp_10ms(), sim::waitIdle(), ++n, ++slow;
        if (t % 100 == 0) xcpSendDAQ(0), ++n, ++slow;
        sim::waitIdle(), made.push_back(n);
        receive([&] { return slowDtos() >= slow; });
        ASSERT_EQ(slowDtos(), slow) << t;
        if (t >= 10) {
            receive([&] { return dtos() >= made[t - 10]; });
            ASSERT_GE(dtos(), made[t - 10]) << t;
        }
        if (t == 504) {
            ASSERT_EQ(cmd({"fd"}), "ff4000000000") << "without the clock moving on";
            EXPECT_EQ(dtos(), n);
        }
        sim::step(1);
    }
    ASSERT_EQ(cmd({"fd"}), "ff4000000000");
    EXPECT_EQ(dtos(), made.back());
    for (size_t i = first + 1; i < frames.size(); ++i)
        ASSERT_EQ(frames[i].first, static_cast<uint16_t>(frames[i - 1].first + 1)) << i;
    std::set<size_t> fast; // datagrams holding the 1 ms event's DTOs
    for (size_t i = first; i < frames.size(); ++i)
        if (frames[i].second[0] == 0 && frames[i].second[1] == 0) fast.insert(in[i]);
    EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                            [](const auto& f) { return f.second[0] == 0 && f.second[1] == 2; }),
              10);
    EXPECT_LE(fast.size(), 110u) << "datagrams of the 1 ms event's DTOs";
}

// A queue that stays full floods one text; the others are still heard, the shutdown's event's too.
TEST_F(Xcp, EveryTextOfAFullTransmitQueueKeepsItsOwnFloodGuard) {
    ASSERT_EQ(cmd({"ff 00"}), "ff0580ffff000101");
    const TASK_ID tx = holdSender();
    xcpTxItem item{};
    item.kind = XCP_TX_FLUSH;
    while (msgQSend(xcpCps[0].txQueue, &item, sizeof item, NO_WAIT, MSG_PRI_NORMAL) == OK) {
    }
    for (int i = 0; i < 20; ++i) // its queue item lost each time: the reset's text floods
        handOn("ff 00");
    handOn("dd 00"); // stops DAQ and flushes
    EXPECT_TRUE(logged("xcpEthDtoFlush(): msgQSend() error"));
    // The shutdown after twenty lost responses: its event is lost too and told. It then waits for
    // room for the transport's stop, which the sender makes once it runs again.
    std::promise<void> counted;
    std::thread shutdown([&] {
        sim::adoptThread(), counted.set_value();
        xcp_shutdown_now(), sim::releaseThread();
    });
    counted.get_future().wait();
    sim::waitIdle(); // the shutdown waits for room
    EXPECT_EQ(countLogged("xcp_shutdown_now(): msgQSend() error"), 1);
    releaseSender(tx);
    shutdown.join();
}

// A tool at the limited broadcast address, which a socket without SO_BROADCAST cannot send to:
// every answer fails. A flood of failed responses leaves the failed DTOs heard.
TEST_F(Xcp, AFloodOfFailedResponsesLeavesTheFailedDtosHeard) {
    sockaddr_in broadcast = toolAt;
    broadcast.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    for (const char* request :
         {"ff 00", "d5 00 0100", "d4 00 0000 01", "d3 00 0000 00 01", "e2 00 0000 00 00",
          "e1 ff 04 00 00010225", "e0 10 0000 0200 01 00", "de 02 0000", "dd 01"})
        handOn(request, &broadcast);
    for (int i = 0; i < 20; ++i)
        handOn("fd", &broadcast);
    sim::waitIdle();
    EXPECT_TRUE(logged("xcpEthTxFrameCTO(): sendto() failed"));
    xcpSendDAQ(2), tick();
    EXPECT_TRUE(logged("xcpEthTxFrameDTO(): sendto() failed"));
}

TEST_F(Xcp, FourSteppedSecondsWithoutCommandClearTheMasterAndWithTheSwitchEndTheSession) {
    sim::step(10000); // the connection lines' rate window of earlier sessions has passed
    for (int on : {0, 1}) {
        xcp_activate_xcp_comms_reset(on);
        ASSERT_EQ(cmd({"ff 00", "fd"}), "ff0580ffff000101ff0000000000");
        sim::step(1); // the receive task is done with the command (armed within this tick)
        EXPECT_EQ(xcpMasterPresent(), 1);
        sim::step(2000);
        EXPECT_EQ(cmd({"db"}), "fe20"); // unknown commands do not count
        sim::step(1997);
        EXPECT_EQ(xcpMasterPresent(), 1);
        sim::step(2);
        EXPECT_EQ(xcpMasterPresent(), 0);
        EXPECT_EQ(cmd({"fd"}, -1, 300).empty(), on == 1) << on;
        EXPECT_EQ(xcpConnectionGetState(0), on ? 0u : 2u);
    }
    EXPECT_TRUE(logged("XCP: TIMEOUT on instance number 0") && logged("XCP: Force Disconnect") &&
                logged("XCP: DISCONNECTED"));
}

// After FREE_DAQ the DAQ pointer names nothing: a write is refused. ALLOC_ODT again after the
// entries (allowed after ALLOC_ODT_ENTRY) replaces the list's ODTs and frees the old ones with
// their entries' handles (the leak check at the end of this process would tell).
TEST_F(Xcp, AWriteAfterFreeDaqIsRefusedAndAllocOdtAgainReplacesTheOdts) {
    EXPECT_EQ(cmd({"ff 00", "d5 00 0100", "d4 00 0000 01", "d3 00 0000 00 02", "e2 00 0000 00 00",
                   "e1 ff 04 00 00000425", "d6", "e1 ff 04 00 00000425"}),
              "ff0580ffff000101" + std::string(12, 'f') + "fe22");
    EXPECT_EQ(cmd({"d5 00 0100", "d4 00 0000 02", "d3 00 0000 00 01", "d3 00 0000 01 01", "e2 00 0000 00 00",
                   "e1 ff 04 00 00000425", "d4 00 0000 01", "d3 00 0000 00 01", "e2 00 0000 01 00"}),
              std::string(16, 'f') + "fe22")
        << "its second ODT went with the first allocation";
}

// An ODT entry is read only within the object its address names: one that runs past it (a CCP
// master's 32-bit slot, the memory's last 4 bytes, the memory's end) is out of range and leaves
// the pointer; those that fit are sampled, 8 bytes on the last 8 and the error pattern among them.
uint32_t slotValue = 0x11223344;

TEST_F(Xcp, AnOdtEntryRunningPastTheValueItNamesIsOutOfRange) {
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR,
                             [](uint32_t a) -> void* { return (a & 0xFFF) == 3 ? &slotValue : nullptr; });
    for (uint32_t i = 0; i < 8; ++i)
        seram_memory[SERAM_BLOCK_SIZE - 8 + i] = static_cast<uint8_t>(0xB0 + i);
    // Addresses of PID 0x25: slot 3 of class 29, the memory's last 4 and 8 bytes, its end, and one
    // beyond it (no object: the error pattern).
    const std::string slot = "03007425", last4 = "fcff0525", last8 = "f8ff0525", end = "00000625",
                      beyond = "01000625";
    ASSERT_EQ(cmd({"ff 00", "d5 00 0100", "d4 00 0000 01", "d3 00 0000 00 03", "e2 00 0000 00 00"}),
              "ff0580ffff000101ffffffff");
    EXPECT_EQ(cmd({"e1 ff 08 00" + slot, "e1 ff 05 00" + slot, "e1 ff 08 00" + last4, "e1 ff 01 00" + end}),
              "fe22fe22fe22fe22");
    EXPECT_EQ(cmd({"e1 ff 04 00" + slot, "e1 ff 08 00" + last8, "e1 ff ec 00" + beyond}), "ffffff");
    ASSERT_EQ(cmd({"e0 10 0000 0200 01 00", "de 02 0000", "dd 01"}), "ffff00ff");
    xcpSendDAQ(2);
    ASSERT_EQ(cmd({"dd 00"}), "ff");
    ASSERT_EQ(dtos(), 1u);
    const bytes& dto =
        std::find_if(frames.begin(), frames.end(), [](const auto& f) { return f.second[0] < 0xFD; })->second;
    EXPECT_EQ(pyref::hex(bytes(dto.begin() + 7, dto.end())),
              "44332211b0b1b2b3b4b5b6b7" + std::string(2 * 236, '0'));
    seramMeasSetMasterSource(MEAS_CLASS_CCPMR, nullptr);
}

TEST_F(Xcp, TheRegistryHoldsTenSocketsAndTheShutdownClosesThemAfterTellingTheTool) {
    daqList({4}, 2); // a DAQ list running while the 1 ms event samples
    // The slave's socket, a listening one and seven more; a connection accepted is the tenth.
    const int listening = xcpSocket_get(AF_INET, SOCK_STREAM, 0);
    for (int i = 0; i < 7; ++i)
        xcpSocket_get(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    socklen_t n = sizeof a;
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listening, reinterpret_cast<sockaddr*>(&a), n), listen(listening, 2);
    getsockname(listening, reinterpret_cast<sockaddr*>(&a), &n);
    const int peers[2] = {socket(AF_INET, SOCK_STREAM, 0), socket(AF_INET, SOCK_STREAM, 0)};
    for (int peer : peers)
        connect(peer, reinterpret_cast<sockaddr*>(&a), n);
    EXPECT_GE(xcpSocket_accept(listening, nullptr, nullptr), 0);
    EXPECT_EQ(xcpSocket_get(AF_INET, SOCK_DGRAM, 0), -1);
    EXPECT_EQ(xcpSocket_accept(listening, nullptr, nullptr), -1);
    EXPECT_EQ(errno, 35);
    EXPECT_TRUE(logged("xcpSocket::get_socket(): maximum socket reached, no socket given") &&
                logged("xcpSocket::accept_socket(): maximum socket reached, no socket added to the array"));

    for (int i = 0; i < 20; ++i)
        xcpSendDAQ(2);
    xcp_shutdown_now();
    receive([&] { return frames.back().second[0] == 0xFD; });
    EXPECT_EQ(pyref::hex(frames.back().second), "fd07" + pyref::hex(bytes{'R', 'E', 'S', 'E', 'T'}));
    EXPECT_TRUE(taskNameToId("r_xcpEth0") == TASK_ID_NULL && taskNameToId("r_xcpEthDTO0") == TASK_ID_NULL);
    EXPECT_TRUE(xcpSocket_isShutdown() && logged("xcpSocket shutdown - closing 10 pending sockets"));
    // The registry's lines at 143, the third band's debug level.
    const auto line = std::find_if(seen.begin(), seen.end(), [](const auto& l) {
        return l.text.find("pending sockets") != std::string::npos;
    });
    EXPECT_EQ(line->priority, 143);
    EXPECT_EQ(xcpSocket_get(AF_INET, SOCK_DGRAM, 0), -1);
    close(peers[0]), close(peers[1]);
}

// A tool that sets up and starts a DAQ list of two ODTs in each of 200 sessions, each begun with
// a CONNECT that ends the one before: every session allocates anew, and what the sessions before
// took is given back (the sanitizer build's leak check sees anything kept).
TEST_F(Xcp, EachSessionsDaqListsGoWithIt) {
    for (int session = 0; session < 200 && !HasFatalFailure(); ++session)
        daqList({4, 8}, 2);
}

// The diagnostic services' interface version, and the clock in seconds, big-endian: the test's
// calendar starts at 1700000000 (0x6553F100) less than a second before.
TEST_F(Xcp, DiagnosticServicesTellTheInterfaceVersionAndTheClock) {
    EXPECT_EQ(cmd({"ff 00", "f1 20 0080", "f5 04", "f1 20 8b80", "f5 04"}), "ff0580ffff000101"
                                                                            "ff0400ff312e3800"
                                                                            "ff0400ff6553f100");
}

} // namespace
