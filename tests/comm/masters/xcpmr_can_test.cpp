// The XCP master on CAN against the tests' XCP slave, in both byte orders: two DAQs with
// absolute ODT numbers, their DTOs on the response identifier.
#include "masters.h"

namespace {

constexpr uint32_t CMD = 0x600, RESP = 0x601;

struct XcpCan : Masters {
    void configure() {
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_ACTIVE, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_TransportLayer, 0, 1);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_CANINTF, 0, 0);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_CMD_CANID, 0, CMD);
        cal<uint32_t>(VTADDR_CfgMat_XcpMr_CMDRET_CANID, 0, RESP);
        for (size_t d = 0; d < 2; ++d) {
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_MRID, d, 0);
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_ODT_NUM, d, 2);
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_EVT_CHAN, d, static_cast<uint8_t>(d));
            cal<uint32_t>(VTADDR_CfgMat_XcpMr_DAQ_CANID, d, RESP); // DTOs share the response identifier
        }
        // DAQ 0: 4, 2 and 1 byte in one ODT; DAQ 1: two 4-byte channels, one ODT each.
        const uint8_t daq[] = {0, 0, 0, 1, 1}, size[] = {4, 2, 1, 4, 4};
        const uint32_t adr[] = {0x100, 0x200, 0x300, 0x1234, 0x2468};
        for (size_t c = 0; c < 5; ++c) {
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_DAQ, c, daq[c]);
            cal<uint8_t>(VTADDR_CfgMat_XcpMr_CHAN_SIZE, c, size[c]);
            cal<uint32_t>(VTADDR_CfgMat_XcpMr_CHAN_ADR, c, adr[c]);
        }
    }
};

TEST_F(XcpCan, InstancesThatDoNotRunStaySilentOnFramesOfTheirIdentifiers) {
    // One whose set-up failed with the response identifier bound (DAQ 1's eight bytes do not fit
    // one ODT), and one present but off while another master talks to the slave.
    for (const bool failed : {true, false}) {
        configure();
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_DAQ_ODT_NUM, 1, failed ? 1 : 2);
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_ACTIVE, 0, failed ? 1 : 0);
        xcpmr_ini();
        for (int i = 0; i < 3; ++i)
            frame(RESP, {0xFF, 0, 0, 0, 0, 0, 0, 0}), frame(RESP, {0xFE, 0x20, 0, 0, 0, 0, 0, 0});
        frame(RESP, {0x00, 1, 2, 3, 4, 5, 6, 7});
        xcpmr_10ms(), sim::waitIdle();
        EXPECT_TRUE(cansim::takeSent().empty()) << failed;
        EXPECT_EQ(xcpmr_status[0], failed ? 7 : 3) << failed;
        restart();
    }
}

TEST_F(XcpCan, ReadsTheDaqsOfAnIndependentSlaveInBothByteOrdersAndPastItsPidMap) {
    // Last: the slave's PIDs run past the unit's PID map (250, 251, 252): the rest are read.
    for (const auto& [be, first] : {std::pair{false, 0}, {true, 0}, {false, 250}}) {
        Slave slave{be, first};
        configure();
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_BIGENDIAN, 0, slave.be);
        xcpmr_ini(), sim::step(1000), xcpmr_10ms();
        const auto sent = converse(RESP, [&](const pyref::bytes& c) { return slave.answer(c); });
        sim::waitIdle();
        ASSERT_EQ(xcpmr_status[0], 5) << slave.first;
        // Disconnect, connect, status, free, alloc DAQs, 2 x ODTs, 3 x entries, 3 x pointer and
        // 5 x write, 2 x mode, 2 x select, start.
        EXPECT_EQ(sent.size(), 23u);
        std::map<uint32_t, uint32_t> values;
        for (const pyref::bytes& f : slave.cycle(&values))
            frame(RESP, f);
        sim::waitIdle();
        EXPECT_EQ(values.size(), slave.first ? 4u : 5u) << "PID 252 is beyond the map";
        for (const auto& [c, v] : values)
            EXPECT_EQ(slot(xcpmr_GetAddr, c), v) << "channel " << c << " " << slave.be << slave.first;
        restart();
    }
}

} // namespace
