// The slave on the unit's clock with a tool on loopback: every command's answer byte by byte,
// the refusals with the XCP error codes, DAQ lists and their DTOs in one counter sequence with
// the responses, the master-present timer, the socket registry and the shutdown.
#include "calibration/memory/seram.h"
#include "calibration/xcp/xcp_private.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/stepped.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const std::string& text) {
    bytes b;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] != ' ') b.push_back(static_cast<uint8_t>(std::stoul(text.substr(i++, 2), nullptr, 16)));
    return b;
}
std::string hexOf(const bytes& b) {
    std::string s;
    char two[3];
    for (uint8_t v : b)
        std::snprintf(two, sizeof two, "%02X", v), s += two;
    return s;
}
sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_port = htons(port), a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
int toolSocket() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const int big = 32 << 20; // a burst of DTOs waits here until it is read
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
    return fd;
}

struct Frame {
    uint16_t ctr;
    bytes packet;
};

struct Xcp : testsupport::SteppedTest {
    int tool = -1;
    sockaddr_in slave{};
    std::vector<Frame> frames;     // every frame received, in order
    std::vector<size_t> datagrams; // their datagrams' sizes

    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset(), seramInitializeOffsets();
        // Known bytes at 0x100 of both pages, "123456789" at 0x200, before the tasks start.
        for (int i = 0; i < 256; ++i)
            seram_memory[0x100 + i] = static_cast<uint8_t>(0x10 + i),
                                 seram_memory[0x20100 + i] = static_cast<uint8_t>(0x20 + i);
        std::memcpy(seram_memory + 0x200, "123456789", 9);
        tool = toolSocket();
        // The slave's port: one this machine just handed out, free again.
        const int probe = toolSocket();
        socklen_t n = sizeof slave;
        getsockname(probe, reinterpret_cast<sockaddr*>(&slave), &n);
        close(probe);
        platform::Settings s;
        s.pid = 0x25, s.xcpPort = ntohs(slave.sin_port);
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0), AppMan_init();
        ASSERT_EQ(xcpInitialize(), 0);
        sim::step(1); // the socket is bound, both tasks wait
    }
    void TearDown() override {
        xcp_shutdown_now(), xcp_reset();
        close(tool);
        SteppedTest::TearDown();
    }
    void send(bytes packet, int from = -1) {
        packet.insert(packet.begin(), {static_cast<uint8_t>(packet.size()), 0, 0, 0});
        sendto(from < 0 ? tool : from, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&slave),
               sizeof slave);
    }
    // Reads datagrams until `until` holds or `ms` pass without one.
    template <typename F> void receive(F until, int ms = 2000, int fd = -1) {
        uint8_t buf[65536];
        pollfd p{fd < 0 ? tool : fd, POLLIN, 0};
        while (!until() && poll(&p, 1, ms) == 1) {
            const ssize_t n = recv(p.fd, buf, sizeof buf, 0);
            datagrams.push_back(static_cast<size_t>(n));
            for (ssize_t i = 0; i + 4 <= n; i += 4 + (buf[i] | buf[i + 1] << 8))
                frames.push_back({static_cast<uint16_t>(buf[i + 2] | buf[i + 3] << 8),
                                  bytes(buf + i + 4, buf + i + 4 + (buf[i] | buf[i + 1] << 8))});
        }
    }
    // The answer to one command ("" when none comes), DTOs on the way kept in `frames`.
    std::string cmd(const bytes& packet, int from = -1) {
        const size_t before = frames.size();
        send(packet, from);
        auto answered = [&] {
            for (size_t i = before; i < frames.size(); ++i)
                if (frames[i].packet.at(0) >= 0xFD) return true;
            return false;
        };
        receive(answered, answered() ? 0 : 300, from);
        for (size_t i = before; i < frames.size(); ++i)
            if (frames[i].packet[0] >= 0xFD) return hexOf(frames[i].packet);
        return "";
    }
    size_t dtos() const {
        size_t n = 0;
        for (const Frame& f : frames)
            n += f.packet[0] < 0xFD;
        return n;
    }
    // List 0 with one entry per ODT of `sizes` bytes at the working page, on `event`, running.
    void daqList(const std::vector<uint8_t>& sizes, uint8_t event, uint8_t prescaler = 1) {
        ASSERT_EQ(cmd({0xD5, 0, 1, 0}), "FF");
        ASSERT_EQ(cmd({0xD4, 0, 0, 0, static_cast<uint8_t>(sizes.size())}), "FF");
        for (uint8_t odt = 0; odt < sizes.size(); ++odt) {
            ASSERT_EQ(cmd({0xD3, 0, 0, 0, odt, 1}), "FF");
            ASSERT_EQ(cmd({0xE2, 0, 0, 0, odt, 0}), "FF");
            ASSERT_EQ(cmd({0xE1, 0xFF, sizes[odt], 0, 0, 0x01, 0x02, 0x25}), "FF");
        }
        ASSERT_EQ(cmd({0xE0, 0x10, 0, 0, event, 0, prescaler, 0}), "FF");
        ASSERT_EQ(cmd({0xDE, 2, 0, 0}), "FF00");
        ASSERT_EQ(cmd({0xDD, 1}), "FF");
    }
};

// One session, in order: request and answer in hex ('.' any digit, "" no answer). Layouts and
// codes of the XCP standard: 0xFF positive, 0xFE and an error code: 20 CMD_UNKNOWN, 21 CMD_SYNTAX,
// 22 OUT_OF_RANGE, 23 WRITE_PROTECTED, 24 ACCESS_DENIED, 25 ACCESS_LOCKED, 26 PAGE_NOT_VALID,
// 27 MODE_NOT_VALID, 28 SEGMENT_NOT_VALID, 29 SEQUENCE, 30 MEMORY_OVERFLOW. The slave's PID is
// 0x25; addresses are little-endian, the PID in their top byte.
const struct {
    const char* request;
    const char* answer;
} kSession[] = {
    {"FD", ""},
    {"FF 01", ""},                       // disconnected: only CONNECT, and only mode 0
    {"FF 00", "FF 05 80 FF FF00 01 01"}, // CONNECT: resource, comm mode, MAX_CTO, MAX_DTO, versions
    {"FF 01", ""},                       // user-defined mode
    {"FD", "FF 00 00 00 0000"},          // GET_STATUS
    {"FC", "FE 00"},                     // SYNCH
    {"FB", "FF 00 00 00 00 00 00 10"},   // GET_COMM_MODE_INFO: driver version 1.0
    {"FA 00", "FF 01 00 00 03000000 56594E"},
    {"FA 02", "FF 01 00 00 00000000"},
    {"FA 09", "FE 22"},
    {"F8", "FF 04 ........"},
    {"F7", "FF 00"}, // GET_SEED, UNLOCK
    {"F6 00 00 00 00010025", "FF"},
    {"F5 04", "FF 10111213"},
    {"F5 04", "FF 14151617"}, // MTA advances
    {"F6 00 00 00 0001020A", "FF"},
    {"F5 02", "FF 2021"}, // PID 10
    {"F6 00 00 01 00010025", "FE 22"},
    {"F6 00 00 00 0001000B", "FE 22"},
    {"F6 00 00", "FE 21"},
    {"F5 FF", "FE 22"},
    {"F4 02 00 00 04010025", "FF 1415"},
    {"F4 02 00 01 04010025", "FE 22"}, // extension 1
    {"F4 02 00 00 04010026", "FE 22"},
    {"F4 FF 00 00 00010025", "FE 22"},
    {"F4 04 00 00 00007025", "FE 25"}, // nothing readable there
    {"ED 02 00 00 00010025 AABB", "FE 24"},
    {"ED 02 00 01 00010225 AABB", "FE 22"},
    {"ED F8 00 00 00010225", "FE 22"},
    {"ED 04 00 00 00010225 AA", "FE 21"},
    {"ED 02 00 00 00010225 AABB", "FF"},
    {"F6 00 00 00 02010225", "FF"},
    {"F0 02 CCDD", "FF"},
    {"F4 04 00 00 00010225", "FF AABBCCDD"},
    {"F0 FE", "FE 22"},
    {"F0 03 09", "FE 21"},
    {"F6 00 00 00 00010025", "FF"},
    {"F0 01 09", "FE 24"}, // the reference page
    // Paging: the working page for ECU access reaches through the reference page's addresses.
    {"EB 01 00 01", "FF"},
    {"EA 01 00", "FF 00 00 01"},
    {"EA 02 00", "FF 00 00 00"},
    {"F4 02 00 00 00010025", "FF AABB"},
    {"EB 83 00 00", "FF"},
    {"EA 01 00", "FF 00 00 00"},
    {"EB 01 01 00", "FE 28"},
    {"EB 01 00 02", "FE 26"},
    {"EA 03 00", "FE 27"},
    {"EA 01 01", "FE 28"},
    {"E9", "FF 01 01"},
    {"E8 00 00 00", "FF 00 00 00 00000025"},
    {"E8 00 00 01", "FF 00 00 00 00000200"},
    {"E8 01 00 00", "FF 02 00 00 00 00"},
    {"E8 02 00 00", "FE 22"},
    {"E8 00 01 00", "FE 28"},
    {"E7 00 00 00", "FF 0A 00 00"},
    {"E7 00 00 01", "FF 2A 00 00"},
    {"E7 00 00 02", "FE 26"},
    {"E7 00 01 00", "FE 28"},
    {"F9 01 3412", "FE 22"}, // a store only in freeze mode
    {"E5 00 00", "FF 00 00"},
    {"E6 01 00", "FF"},
    {"E5 00 00", "FF 00 01"},
    {"E6 01 01", "FE 28"},
    {"E5 00 01", "FE 28"},
    {"E6 00 00", "FF"},
    {"F9 02 0000", "FE 22"},
    {"E4 00 01 00 00", "FE 23"},
    {"E4 01 00 00 01", "FE 28"},
    {"E4 00 02 00 01", "FE 26"},
    {"E4 00 00 00 01", "FF"},
    {"F4 02 00 00 00010225", "FF 1011"}, // reference onto working page
    // CRC-16/CCITT-FALSE of "123456789" is 0x29B1; a block past the memory's end is refused.
    {"F6 00 00 00 00020025", "FF"},
    {"F3 00 00 00 09000000", "FF 08 00 00 B1290000"},
    {"F3 00 00 00 00FFFFFF", "FE 22"},
    {"F1 21 0180", "FE 21"},
    {"F1 20 3412", "FE 21"}, // USER_CMD: sub-command, service
    // DAQ processor.
    {"DA", "FF 13 0400 0400 00 80"},
    {"D9", "FF 01 FC 01 FC 5C 0100"},
    {"D8 00 0000", "FF 06 01 FF 0000"},
    {"D8 00 0400", "FE 22"},
    {"D7 00 0000", "FF 04 01 00 01 08 0C"},
    {"D7 00 0200", "FF 04 01 00 01 06 0E"},
    {"D7 00 0300", "FF 04 01 00 00 00 0F"},
    {"D7 00 0400", "FE 22"},
    {"DC", "FF 00 00 00 ........"},
    {"D4 00 0000 01", "FE 29"},
    {"D3 00 0000 00 01", "FE 29"},
    {"D5 00 0500", "FE 22"},
    {"D5 00 0100", "FF"},
    {"D5 00 0100", "FE 29"},
    {"D3 00 0000 00 01", "FE 29"},
    {"D4 00 0400 01", "FE 22"},
    {"D4 00 0000 02", "FF"},
    {"D3 00 0000 02 01", "FE 22"},
    {"D3 00 0000 00 02", "FF"},
    {"D3 00 0000 01 01", "FF"},
    {"E2 00 0000 00 02", "FE 22"},
    {"E2 00 0000 00 00", "FF"},
    {"E1 00 04 00 00000425", "FE 22"},
    {"E1 FF 04 01 00000425", "FE 22"},
    {"E1 FF 04 00 00000426", "FE 22"},
    {"E1 FF", "FE 21"},
    {"E1 FF F5 00 00000425", "FF"},
    {"E1 FF 04 00 00000425", "FE 30"}, // 245 + 4 + 7 = 256
    {"E1 FF 03 00 00000425", "FF"},
    {"E1 FF 01 00 00000425", "FE 22"}, // past the entries
    {"E0 10 0000 0400 01 00", "FE 22"},
    {"E0 10 0400 0200 01 00", "FE 22"},
    {"E0 10 0000 0200 01 00", "FF"},
    {"DE 03 0000", "FE 27"},
    {"DE 02 0400", "FE 22"},
    {"DE 02 0000", "FF 00"},
    {"DD 03", "FE 22"},
    {"DD 01", "FF"},
    {"FD", "FF 40 00 00 0000"},
    {"DD 00", "FF"},
    {"D6", "FF"},
    {"D4 00 0000 01", "FE 29"},
    {"FE", "FF"},
    {"FD", ""}, // DISCONNECT
};

TEST_F(Xcp, EveryCommandAnswersInTheStandardsLayoutAndRefusesWithItsErrorCode) {
    for (const auto& [request, answer] : kSession) {
        std::string pattern;
        for (char c : std::string(answer))
            if (c != ' ') pattern += c;
        const std::string got = cmd(hex(request));
        bool same = got.size() == pattern.size();
        for (size_t i = 0; same && i < got.size(); ++i)
            same = pattern[i] == '.' || pattern[i] == got[i];
        EXPECT_TRUE(same) << request << " answered " << got << ", not " << pattern;
    }
    // Unknown codes, among them commands of the standard the slave does not serve.
    ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
    for (uint8_t code : {0xDB, 0xDF, 0xE3, 0xEC, 0xEE, 0xEF, 0xF2, 0xD2, 0xC8, 0x00})
        EXPECT_EQ(cmd({code}), "FE20") << int{code};
    EXPECT_TRUE(logged("XCP Connect: User defined mode not supported"));
    EXPECT_TRUE(logged("XCP Command SHORT_UPLOAD: Error OUT_OF_RANGE"));
}

TEST_F(Xcp, ResponsesAndDtosCarryOneCounterSequenceAndDtosTheSampledBytes) {
    ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
    daqList({93, 97}, 2);
    for (int event = 0; event < 5; ++event) {
        xcpSendDAQ(2);
        sim::step(1);
        EXPECT_EQ(cmd({0xFD}), "FF4000000000");
    }
    ASSERT_EQ(dtos(), 10u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].ctr, i + 1) << i;
    // ODT 0: its number, list 0, a time stamp in 100 us, 93 bytes; ODT 1: 97 bytes.
    std::vector<const Frame*> dto;
    for (const Frame& f : frames)
        if (f.packet[0] < 0xFD) dto.push_back(&f);
    EXPECT_EQ(dto[0]->packet.size(), 100u);
    EXPECT_EQ(bytes(dto[0]->packet.begin() + 7, dto[0]->packet.end()),
              bytes(seram_memory + 0x20100, seram_memory + 0x20100 + 93));
    EXPECT_EQ(hexOf(bytes(dto[1]->packet.begin(), dto[1]->packet.begin() + 5)), "0100002021");
    EXPECT_EQ(dto[1]->packet.size(), 100u);
    uint32_t stamp[2];
    std::memcpy(&stamp[0], &dto[0]->packet[3], 4), std::memcpy(&stamp[1], &dto[2]->packet[3], 4);
    EXPECT_NEAR(stamp[1] - stamp[0], 10, 1); // a millisecond; the timer's 3 ns counts round down
}

TEST_F(Xcp, SixteenFullOdtsOnTheMillisecondEventLoseNothingAndAnOverloadShowsAsACounterGap) {
    ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
    std::vector<uint8_t> full(16, 252);
    full[0] = 248;
    daqList(full, 2);
    const size_t before = frames.size(), sent = datagrams.size();
    // A millisecond each: every event's 16 frames of 259 bytes in datagrams of one Ethernet frame.
    for (int event = 0; event < 50; ++event) {
        xcpSendDAQ(2);
        sim::step(1);
    }
    receive([&] { return frames.size() == before + 800; });
    ASSERT_EQ(frames.size(), before + 800);
    EXPECT_EQ(std::vector<size_t>(datagrams.begin() + sent, datagrams.begin() + sent + 4),
              (std::vector<size_t>{1295, 1295, 1295, 259}));
    EXPECT_EQ(datagrams.size() - sent, 200u);
    // Twenty events at once, faster than they can be sent: still none lost.
    for (int event = 0; event < 20; ++event)
        xcpSendDAQ(2);
    sim::waitIdle();
    receive([&] { return frames.size() == before + 1120; });
    ASSERT_EQ(frames.size(), before + 1120);
    for (size_t i = before; i < frames.size(); ++i)
        ASSERT_EQ(frames[i].ctr, frames[before].ctr + i - before) << i;
    // A thousand at once must lose some: the master counts them in the gaps of the counter, and
    // the response queued behind them arrives behind them.
    const uint16_t last = frames.back().ctr;
    for (int event = 0; event < 1000; ++event)
        xcpSendDAQ(2);
    EXPECT_EQ(cmd({0xFD}), "FF4000000000");
    const uint16_t stop = frames.back().ctr;
    receive([] { return false; }, 100);
    EXPECT_EQ(frames.back().ctr, stop);
    EXPECT_EQ(static_cast<uint16_t>(stop - last - 1), 16000u) << "every DTO counted, sent or lost";
    EXPECT_LT(frames.size() - before, 1120u + 16000u + 1u);
    for (size_t i = before + 1; i < frames.size(); ++i)
        ASSERT_LT(frames[i - 1].ctr, frames[i].ctr) << i;
}

TEST_F(Xcp, AListRunsOnItsEventAtItsPrescalerUntilStopped) {
    ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
    daqList({4}, 1, 3); // the 10 ms event, every third
    std::vector<size_t> seen;
    for (int event = 0; event < 8; ++event) {
        xcpSendDAQ(2), xcpSendDAQ(0), xcpSendDAQ(1);
        sim::waitIdle();
        receive([&] { return false; }, 20);
        seen.push_back(dtos());
    }
    EXPECT_EQ(seen, (std::vector<size_t>{1, 1, 1, 2, 2, 2, 3, 3}));
    EXPECT_EQ(cmd({0xDD, 0}), "FF");
    xcpSendDAQ(1);
    EXPECT_EQ(cmd({0xFD}), "FF0000000000");
    EXPECT_EQ(dtos(), 3u);
}

TEST_F(Xcp, OnlyTheConnectedToolIsHeardUntilAnotherConnectsAndFramesMustHoldTheirLength) {
    const int other = toolSocket();
    ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
    EXPECT_EQ(cmd({0xFD}, other) + cmd({0xFE}, other), ""); // nor someone else's DISCONNECT
    EXPECT_EQ(cmd({0xFD}), "FF0000000000");
    EXPECT_EQ(cmd({0xFF, 0}, other), "FF0580FFFF000101");
    EXPECT_EQ(cmd({0xFD}), "");
    // LEN beyond the datagram or 0: dropped; a longer datagram: its first packet only.
    for (const char* datagram : {"0000 0000", "0200 0000 FD", "0100 0000 FD" /* then 295 bytes */}) {
        bytes d = hex(datagram);
        if (d[0] == 1) d.resize(300);
        sendto(other, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&slave), sizeof slave);
    }
    frames.clear();
    receive([&] { return false; }, 300, other);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(hexOf(frames[0].packet), "FF0000000000");
    close(other);
}

TEST_F(Xcp, FourSteppedSecondsWithoutCommandClearTheMasterAndWithTheSwitchEndTheSession) {
    for (int on : {0, 1}) {
        xcp_activate_xcp_comms_reset(on);
        ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
        ASSERT_EQ(cmd({0xFD}), "FF0000000000");
        sim::step(1); // the receive task is done with the command (armed within this tick)
        EXPECT_EQ(xcpMasterPresent(), 1);
        sim::step(2000);
        EXPECT_EQ(cmd({0xDB}), "FE20"); // unknown commands do not count
        sim::step(1997);
        EXPECT_EQ(xcpMasterPresent(), 1);
        sim::step(2);
        EXPECT_EQ(xcpMasterPresent(), 0);
        EXPECT_EQ(cmd({0xFD}).empty(), on == 1) << on;
        EXPECT_EQ(xcpConnectionGetState(0), on ? 0u : 2u);
    }
    EXPECT_TRUE(logged("XCP: TIMEOUT on instance number 0"));
    EXPECT_TRUE(logged("XCP: Force Disconnect"));
    EXPECT_TRUE(logged("XCP: DISCONNECTED"));
}

TEST_F(Xcp, TheRegistryHoldsTenSocketsAndTheShutdownClosesThemAfterTellingTheTool) {
    ASSERT_EQ(cmd({0xFF, 0}), "FF0580FFFF000101");
    daqList({4}, 2); // a DAQ list running while the 1 ms event samples
    std::vector<int> fds;
    for (int i = 1; i < 10; ++i) // the slave's own socket is the first
        fds.push_back(xcpSocket_get(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(xcpSocket_get(AF_INET, SOCK_DGRAM, 0), -1);
    EXPECT_TRUE(logged("xcpSocket::get_socket(): maximum socket reached, no socket given"));
    sockaddr_in a = loopback(0);
    socklen_t n = sizeof a;
    bind(fds[0], reinterpret_cast<sockaddr*>(&a), n), listen(fds[0], 2);
    getsockname(fds[0], reinterpret_cast<sockaddr*>(&a), &n);
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    connect(peer, reinterpret_cast<sockaddr*>(&a), n);
    EXPECT_EQ(std::pair(xcpSocket_accept(fds[0], nullptr, nullptr), errno), std::pair(-1, 35));
    EXPECT_TRUE(logged("xcpSocket::accept_socket(): maximum socket reached, no socket added to the array"));
    EXPECT_EQ(xcpSocket_close(fds[1]), 0);
    const int second = socket(AF_INET, SOCK_STREAM, 0);
    connect(second, reinterpret_cast<sockaddr*>(&a), n);
    EXPECT_GE(xcpSocket_accept(fds[0], nullptr, nullptr), 0);
    EXPECT_EQ(std::pair(xcpSocket_close(fds[1]), errno), std::pair(-1, 9));
    EXPECT_TRUE(logged("xcpSocket::close_socket(" + std::to_string(fds[1]) + "): invalid file descriptor"));
    close(peer), close(second);

    for (int i = 0; i < 20; ++i)
        xcpSendDAQ(2);
    xcp_shutdown_now();
    receive([&] { return !frames.empty() && frames.back().packet[0] == 0xFD; });
    EXPECT_EQ(hexOf(frames.back().packet), "FD07" + hexOf({'R', 'E', 'S', 'E', 'T'}));
    EXPECT_EQ(taskNameToId("r_xcpEth0"), TASK_ID_NULL);
    EXPECT_EQ(taskNameToId("r_xcpEthDTO0"), TASK_ID_NULL);
    EXPECT_TRUE(xcpSocket_isShutdown());
    EXPECT_TRUE(logged("xcpSocket shutdown - closing 10 pending sockets"));
    EXPECT_EQ(xcpSocket_get(AF_INET, SOCK_DGRAM, 0), -1);
}

} // namespace
