// The XCP master against the tests' XCP slave over loopback UDP: the commands of the table, the
// slave's clock related to this unit's, DTOs with time stamps, datagrams of others, the polls.
#include "comm/xcpmr/xcpmr_private.h"
#include "masters.h"
#include "services/timemod/timemod.h"
#include "support/loopback.h"

namespace {

using bytes = pyref::bytes;
using testsupport::datagram;

struct XcpUdp : Masters {
    int sock = -1;
    sockaddr_in self{}, master{};

    void SetUp() override {
        Masters::SetUp();
        sock = testsupport::boundSocket(SOCK_DGRAM, INADDR_LOOPBACK, 0, &self);
    }
    void TearDown() override { Masters::TearDown(), close(sock); }
    // Instance 0 over UDP with 4-byte timestamps of 100 us: one DAQ on event 2 of a 4-, a 2- and a
    // 1-byte value.
    void configure() {
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_ACTIVE, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TransportLayer, 0, 0);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_UDP_ADDRESS, 0, INADDR_LOOPBACK);
        cal<uint16_t>(VTADDR_CfgMat_XcpMr_UDP_PORT, 0, ntohs(self.sin_port));
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_SIZE, 0, 4);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_RESOLUTION, 0, 5);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_TICKS, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_MRID, 0, 0);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_ODT_NUM, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_EVT_CHAN, 0, 2);
        cal<uint16_t>(VTADDR_CfgMat_XcpMr_DAQ_EVT_PRESC, 0, 1);
        const uint32_t adr[] = {0x1000, 0x1010, 0x1029};
        const uint8_t size[] = {4, 2, 1};
        for (size_t c = 0; c < 3; ++c) {
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_DAQ, c, 0);
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_SIZE, c, size[c]);
            cal<uint32_t>(VTADDR_CfgMat_XcpMr_CHAN_ADR, c, adr[c]);
        }
    }
    // One datagram {LEN, CTR} and the packet to the master.
    void send(const bytes& packet, int fd = -1) {
        bytes d = {uint8_t(packet.size()), uint8_t(packet.size() >> 8), 0, 0};
        d.insert(d.end(), packet.begin(), packet.end());
        sendto(fd < 0 ? sock : fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&master),
               sizeof master);
    }
    // Answers the master's commands until it sends no more (the first within firstMs): the
    // commands as hex, without the UDP header.
    std::vector<std::string> serve(Slave& slave, int firstMs = 2000) {
        std::vector<std::string> out;
        for (bytes c = datagram(sock, firstMs, &master); c.size() > 4; c = datagram(sock, 300, &master)) {
            const bytes command(c.begin() + 4, c.end());
            out.push_back(pyref::hex(command));
            send(slave.answer(command));
        }
        return out;
    }
    // True once the master holds, within two seconds, what a cycle of the slave's DTOs carries
    // (sent to it or not).
    bool dtos(const Slave& slave, bool sent = true) {
        std::map<uint32_t, uint32_t> values;
        for (const bytes& f : slave.cycle(&values))
            if (sent) send(f);
        const auto held = [&] {
            for (const auto& [c, v] : values)
                if (slot(xcpmr_GetAddr, c) != v) return false;
            return !values.empty();
        };
        for (int i = 0; i < 2000 && !held(); ++i)
            poll(nullptr, 0, 1); // the master's receive task, in real time
        return held();
    }
};

TEST_F(XcpUdp, SetsUpTheSlavesDaqRelatesItsClockReadsItsValuesAndPollsIt) {
    // XCP commands: DISCONNECT first (a fresh start), CONNECT normal mode, GET_STATUS, DAQ processor
    // info (UDP), FREE_DAQ, ALLOC_DAQ 1, ALLOC_ODT DAQ 0 one ODT, ALLOC_ODT_ENTRY 3 entries,
    // SET_DAQ_PTR 0/0/0, WRITE_DAQ bit offset FF, size, extension, address (Intel), the list
    // mode (timestamp, event 2, prescaler 1), select, GET_DAQ_CLOCK, START_STOP_SYNCH start.
    const auto expect =
        words("fe ff00 fd da d6 d5000100 d400000001 d30000000003 e20000000000 e1ff040000100000 "
              "e1ff020010100000 e1ff010029100000 e010000002000100 de020000 dc dd01");
    // The slave's DAQ clock 3 ticks of 100 us ahead of this unit's, then more than 2^24 ticks: the
    // difference is measured to the tick, and beyond half a second it is the offset of the stamps.
    Slave slave{false, 0, true};
    for (const uint32_t ahead : {3u, 16777219u}) {
        configure(), xcpmr_ini(), sim::step(1000), xcpmr_10ms();
        slave.clock = time_getTimestamp() + ahead; // no tick passes while the two talk
        EXPECT_EQ(serve(slave), expect);
        sim::waitIdle();
        ASSERT_EQ(xcpmr_status[0], 5);
        EXPECT_EQ(xcpmr_getWander(0), -static_cast<int32_t>(ahead));
        EXPECT_EQ(xcpmr_timestamp[0], ahead > 4999 ? 2 : 3);
        EXPECT_TRUE(dtos(slave)) << ahead;
        if (ahead == 3) xcpmr_reset();
    }
    // A stranger's DTO with other values straight to the master's port; then the first clock poll
    // 100 cycles after the start and the keep-alive at 200.
    const int stranger = testsupport::boundSocket(SOCK_DGRAM);
    send({0, 0, 0, 0, 0, 9, 9, 9, 9, 9, 9, 9}, stranger);
    close(stranger);
    for (const char* poll : {"dc", "fd"}) {
        for (int i = 0; i < 99; ++i)
            xcpmr_10ms();
        EXPECT_EQ(serve(slave, 300), std::vector<std::string>{}) << "a cycle early";
        xcpmr_10ms();
        EXPECT_EQ(serve(slave), std::vector<std::string>{poll});
    }
    EXPECT_TRUE(dtos(slave, false)) << "the slave's values stay";
}

// Each timestamp unit of the standard (1 ns ... 1 s, 1 ps ... 100 ps) with its ticks: the slave's
// clock read in its unit is related to this unit's to the tick (modulo 2^32, as the clock wraps);
// a difference of 4999 ticks is no offset, 5000 is; an unknown unit starts nothing.
TEST_F(XcpUdp, TheStandardsTimestampUnitsRelateTheSlavesClock) {
    const std::tuple<uint8_t, uint32_t, uint32_t> units[] = {
        // code, ticks, 100 us per slave tick
        {0, 100000, 1},     {1, 10000, 1},     {2, 1000, 1},    {3, 100, 1},  {4, 10, 1},
        {5, 1, 1},          {6, 1, 10},        {7, 1, 100},     {8, 1, 1000}, {9, 1, 10000},
        {10, 100000000, 1}, {11, 10000000, 1}, {12, 1000000, 1}};
    Slave slave{false, 0, true};
    // The slave's clock from this unit's time; the difference measured and the timestamp state.
    auto relate = [&](uint8_t code, uint32_t ticks, const std::function<uint32_t(uint32_t)>& clockAt) {
        configure();
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_RESOLUTION, 0, code);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_TICKS, 0, ticks);
        xcpmr_ini(), sim::step(1000), xcpmr_10ms();
        const uint32_t now = time_getTimestamp();
        slave.clock = clockAt(now);
        serve(slave);
        sim::waitIdle();
        const std::tuple got(now, xcpmr_getWander(0), static_cast<int>(xcpmr_timestamp[0]));
        xcpmr_reset();
        return got;
    };
    for (auto [code, ticks, per] : units) {
        const auto [now, wander, state] = relate(code, ticks, [](uint32_t) { return 1000003u; });
        EXPECT_EQ(wander, static_cast<int32_t>(now - 1000003ull * per)) << int(code);
    }
    for (const auto& edge : {std::pair{4999, 3}, {5000, 2}}) {
        const uint32_t behind = static_cast<uint32_t>(edge.first);
        const auto got = relate(5, 1, [behind](uint32_t now) { return now - behind; });
        EXPECT_EQ(std::tuple(std::get<1>(got), std::get<2>(got)), std::tuple(edge.first, edge.second));
    }
    configure();
    cal<uint8_t>(VTADDR_CfgMat_XcpMr_TIMESTAMP_RESOLUTION, 0, 13);
    xcpmr_ini(), sim::step(1000), xcpmr_10ms();
    EXPECT_EQ(serve(slave, 300), std::vector<std::string>{});
    EXPECT_EQ(xcpmr_status[0], 7);
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

namespace {

// A peer may send the same offline list again and again: the checks that refuse it, or that find
// it mixed, say so a few times, not once per request.
TEST_F(Masters, ListChecksThatAPeerRepeatsAreToldUnderARateGuard) {
    cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_DAQ, 0, 0);
    cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_MRID, 0, 0);
    cal<uint8_t>(VTADDR_CfgMat_CcpMr_CHAN_DAQ, 0, 0);
    cal<uint8_t>(VTADDR_CfgMat_CcpMr_DAQ_MRID, 0, 0);
    const int32_t xcp = 28 << 18, ccp = 29 << 18;
    // no master instance runs: the lists of a DAQ find none, and a mixed list is told as mixed too
    const int32_t lone[][4] = {{-4, xcp | 0, 0, 0}, {-4, ccp | 0, 0, 0}};
    const int32_t mixed[][5] = {{-4, xcp | 0, 0x41000, 0, 0}, {-4, ccp | 0, 0x41000, 0, 0}};
    for (int n = 0; n < 50; ++n) {
        uint32_t daq = 0;
        EXPECT_EQ(xcpmr_checkMeasList(lone[0], sizeof lone[0], &daq, 1), 0);
        EXPECT_EQ(ccpmr_checkMeasList(lone[1], sizeof lone[1], &daq, 1), 0);
        EXPECT_EQ(xcpmr_checkMeasList(mixed[0], sizeof mixed[0], &daq, 1), 0);
        EXPECT_EQ(ccpmr_checkMeasList(mixed[1], sizeof mixed[1], &daq, 1), 0);
    }
    for (const char* line : {"xcpmr_meas: could not find xcpmr_handle", "ccpmr_meas: ccpmr not initialized",
                             "XCPMR: mixture XCPMR and normal channel detected",
                             "CCPMR: mixture CCPMR and normal channel detected"}) {
        EXPECT_GE(countLogged(line), 1) << line;
        EXPECT_LT(countLogged(line), 10) << line;
    }
}

} // namespace
