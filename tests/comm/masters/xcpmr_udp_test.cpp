// The XCP master against this unit's own XCP slave over loopback UDP, through a relay that
// records the master's commands and can put the slave's clock a second ahead.
#include "calibration/xcp/xcp.h"
#include "comm/xcpmr/xcpmr_private.h"
#include "masters.h"
#include "services/timemod/timemod.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using bytes = pyref::bytes;

int boundSocket(sockaddr_in* bound) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(fd, reinterpret_cast<sockaddr*>(bound), &n);
    return fd;
}
bytes receive(int fd, int ms, sockaddr_in* from = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return {};
    uint8_t buf[2000];
    socklen_t n = sizeof(sockaddr_in);
    const ssize_t r =
        recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(from), from ? &n : nullptr);
    return r > 0 ? bytes(buf, buf + r) : bytes{};
}
// Adds v to the little-endian word at p (so is the host).
void add32(uint8_t* p, uint32_t v) {
    uint32_t w;
    std::memcpy(&w, p, 4), w += v, std::memcpy(p, &w, 4);
}

struct XcpUdp : Masters {
    int toMaster = -1, toSlave = -1;
    sockaddr_in relay{}, slave{}, master{};
    uint32_t ahead = 0; // added to the slave's clock on its way to the master

    void SetUp() override {
        Masters::SetUp();
        toMaster = boundSocket(&relay);
        toSlave = boundSocket(&slave); // a port the machine handed out, for the slave
        close(toSlave);
        platform::Settings s = platform::settings();
        s.xcpPort = ntohs(slave.sin_port);
        platform::setSettings(s);
        AppMan_init();
        ASSERT_EQ(xcpInitialize(), 0);
        sim::step(1);
        sockaddr_in mine{};
        toSlave = boundSocket(&mine);
        connect(toSlave, reinterpret_cast<sockaddr*>(&slave), sizeof slave);
    }
    void TearDown() override {
        xcpmr_reset();
        xcp_shutdown_now(), xcp_reset();
        close(toMaster), close(toSlave);
        Masters::TearDown();
    }
    // Instance 0 over UDP with 4-byte timestamps of 100 us: one DAQ on the 1 ms event of a
    // 4-, a 2- and a 1-byte variable of the signal page.
    void configure() {
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_ACTIVE, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TransportLayer, 0, 0);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_UDP_ADDRESS, 0, INADDR_LOOPBACK);
        cal<uint16_t>(VTADDR_CfgMat_XcpMr_UDP_PORT, 0, ntohs(relay.sin_port));
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_SIZE, 0, 4);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_RESOLUTION, 0, 5);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_TICKS, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_MRID, 0, 0);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_ODT_NUM, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_EVT_CHAN, 0, 2);
        cal<uint16_t>(VTADDR_CfgMat_XcpMr_DAQ_EVT_PRESC, 0, 1);
        const uint32_t adr[] = {0x25041000, 0x25041010,
                                0x25041029}; // usb_portsc1, usb_stall_cnt, usb_mediastate
        const uint8_t size[] = {4, 2, 1};
        for (size_t c = 0; c < 3; ++c) {
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_DAQ, c, 0);
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_SIZE, c, size[c]);
            cal<uint32_t>(VTADDR_CfgMat_XcpMr_CHAN_ADR, c, adr[c]);
        }
    }
    // Passes one datagram from the slave to the master, the clock shifted.
    void toMasterShifted(bytes d) {
        if (ahead && d.size() >= 12 && d[4] == 0xFF && d[0] == 8) add32(&d[8], ahead); // GET_DAQ_CLOCK
        if (ahead && d.size() >= 11 && d[4] == 0 && d[0] > 7) add32(&d[7], ahead);     // ODT 0's time stamp
        sendto(toMaster, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&master), sizeof master);
    }
    // Relays until the master sends nothing more (the first within firstMs); its commands as hex,
    // without the UDP header.
    std::vector<std::string> relayCommands(int firstMs = 2000) {
        std::vector<std::string> out;
        for (bytes c = receive(toMaster, firstMs, &master); !c.empty(); c = receive(toMaster, 300, &master)) {
            out.push_back(pyref::hex(c.data() + 4, c.size() - 4));
            while (!receive(toSlave, 0).empty()) { // DTOs the slave sent since: none is an answer
            }
            send(toSlave, c.data(), c.size(), 0);
            const bytes r = receive(toSlave, 300);
            pollfd next{toMaster, POLLIN, 0};
            if (!r.empty())
                toMasterShifted(r);
            else // no response: the master goes on when its wait ends
                for (int t = 0; t < 200 && poll(&next, 1, 0) == 0; ++t)
                    sim::step(1);
        }
        return out;
    }
    void start() {
        xcpmr_ini();
        sim::step(1000);
        xcpmr_10ms();
    }
    // Samples the 1 ms event and passes the DTO on; true once slot c shows `v`.
    bool dto(uint32_t c, uint32_t v) {
        // The slave packs DTOs into one datagram until a flush is due at the next one.
        xcpSendDAQ(2), xcp_100ms(), xcpSendDAQ(2);
        toMasterShifted(receive(toSlave, 2000));
        for (int i = 0; i < 2000 && slot(xcpmr_GetAddr, c) != v; ++i)
            poll(nullptr, 0, 1); // the master's receive task, in real time
        return slot(xcpmr_GetAddr, c) == v;
    }
};

TEST_F(XcpUdp, SetsUpTheSlavesDaqRelatesItsClockReadsItsValuesAndPollsIt) {
    // XCP commands: DISCONNECT first (a fresh start), CONNECT normal mode, GET_STATUS, DAQ processor
    // info (UDP), FREE_DAQ, ALLOC_DAQ 1, ALLOC_ODT DAQ 0 one ODT, ALLOC_ODT_ENTRY 3 entries,
    // SET_DAQ_PTR 0/0/0, WRITE_DAQ bit offset FF, size, extension, address (Intel), the list
    // mode (timestamp, event 2, prescaler 1), select, GET_DAQ_CLOCK, START_STOP_SYNCH start.
    const auto expect =
        words("fe ff00 fd da d6 d5000100 d400000001 d30000000003 e20000000000 e1ff040000100425 "
              "e1ff020010100425 e1ff010029100425 e010000002000100 de020000 dc dd01");
    // The slave's DAQ clock runs apart from the measurement time, once more a second ahead: the
    // difference is measured, and beyond half a second it is the offset of the time stamps.
    for (const uint32_t shift : {0u, 10000u}) {
        configure();
        ahead = shift;
        start();
        EXPECT_EQ(relayCommands(), expect);
        sim::waitIdle();
        ASSERT_EQ(xcpmr_status[0], 5);
        const auto wander =
            static_cast<int32_t>(time_getTimestamp() - static_cast<uint32_t>(time_get_time_100us()) - shift);
        EXPECT_EQ(xcpmr_getWander(0), wander);
        EXPECT_EQ(xcpmr_timestamp[0], wander > 4999 || wander < -4999 ? 2 : 3);
        usb_portsc1 = 0xA1B2C3D4u + shift;
        usb_stall_cnt = uint16_t{0x5566};
        usb_mediastate = uint8_t{0x77};
        EXPECT_TRUE(dto(0, 0xA1B2C3D4u + shift));
        EXPECT_EQ(slot(xcpmr_GetAddr, 1), 0x5566u);
        EXPECT_EQ(slot(xcpmr_GetAddr, 2), 0x77u);
        if (!shift) xcpmr_reset();
    }
    // A stranger's DTO with other values straight to the master's port; then the first clock poll
    // 100 cycles after the start, whose response comes behind it, and the keep-alive at 200.
    sockaddr_in any{};
    const int stranger = boundSocket(&any);
    const uint8_t d[] = {14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9};
    sendto(stranger, d, sizeof d, 0, reinterpret_cast<sockaddr*>(&master), sizeof master);
    close(stranger);
    for (const char* poll : {"dc", "fd"}) {
        for (int i = 0; i < 99; ++i)
            xcpmr_10ms();
        EXPECT_EQ(relayCommands(300), std::vector<std::string>{}) << "a cycle early";
        xcpmr_10ms();
        EXPECT_EQ(relayCommands(), std::vector<std::string>{poll});
    }
    EXPECT_EQ(slot(xcpmr_GetAddr, 0), 0xA1B2C3D4u + 10000);
}

// A DTO's slave time in units of 100 us (factor), plus the offset, stamps its cycle: past 2^24
// every step still counts.
TEST_F(Masters, DtoTimestampsKeepEveryStepPast2To24) {
    const struct {
        uint32_t ticks;
        double factor;
        int32_t offset;
        uint32_t stamp;
    } cases[] = {{16777217, 1, 0, 16777217},
                 {16777219, 1, -2, 16777217},
                 {3355443, 10, 1, 33554431},
                 {0x80000000, 8589934593.0, 5, 0x80000005}}; // 2^64 + 2^31: wraps as the clock does
    xmr::Inst in{};
    xmr::Daq daq{};
    daq.inst = &in, daq.inUse = 1, daq.started = 1;
    in.nDaq = 1, in.daqs = &daq, in.tsSize = 4;
    in.pidMap[0] = 0x80000000u;
    xcpmr_status[0] = 5;
    const MSG_Q_ID kept = xmr::daqQueue;
    xmr::daqQueue = msgQCreate(4, sizeof(xmr::DaqMsg), MSG_Q_FIFO);
    for (const auto& c : cases) {
        in.factor = c.factor, in.offset = c.offset;
        uint8_t p[12] = {0};
        std::memcpy(p + 1, &c.ticks, 4);
        xmr::UdpHandlePacket(&in, p, sizeof p);
        xmr::DaqMsg m{};
        ASSERT_EQ(msgQReceive(xmr::daqQueue, &m, sizeof m, NO_WAIT), static_cast<int>(sizeof m));
        EXPECT_EQ(m.stamp, c.stamp) << c.ticks;
    }
    msgQDelete(xmr::daqQueue);
    xmr::daqQueue = kept;
    xcpmr_status[0] = 0;
}

} // namespace
