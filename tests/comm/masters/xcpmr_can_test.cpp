// The XCP master on CAN against a small XCP slave written in Python (xcp_can_slave.py), in
// both byte orders: two DAQs with absolute ODT numbers, their DTOs on the response identifier.
#include "masters.h"

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t CMD = 0x600, RESP = 0x601;

// The Python slave as a co-process, one line each way.
struct Slave {
    pid_t pid = -1;
    FILE* in = nullptr;
    FILE* out = nullptr;
    explicit Slave(const char* order) {
        const char* src = std::getenv("VYN_SOURCE_DIR");
        const std::string script = std::string(src ? src : ".") + "/tests/comm/masters/xcp_can_slave.py";
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(to[0], 0), dup2(from[1], 1);
            close(to[1]), close(from[0]);
            execl("/usr/bin/python3", "python3", script.c_str(), order, static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to[0]), close(from[1]);
        in = fdopen(to[1], "w"), out = fdopen(from[0], "r");
    }
    ~Slave() {
        if (in) fclose(in);
        if (out) fclose(out);
        if (pid > 0) waitpid(pid, nullptr, 0);
    }
    std::string ask(const std::string& line) {
        std::fprintf(in, "%s\n", line.c_str());
        std::fflush(in);
        return next();
    }
    std::string next() {
        char buf[256] = {};
        if (!std::fgets(buf, sizeof buf, out)) return "";
        std::string s(buf);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    }
};

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
        xcpmr_10ms();
        sim::waitIdle();
        EXPECT_TRUE(cansim::takeSent().empty()) << failed;
        EXPECT_EQ(xcpmr_status[0], failed ? 7 : 3) << failed;
        restart();
    }
}

TEST_F(XcpCan, ReadsTheDaqsOfAnIndependentSlaveInBothByteOrdersAndPastItsPidMap) {
    // "hi": the slave's PIDs run past the unit's PID map (250, 251, 252): the rest are read.
    for (const char* order : {"le", "be", "hi"}) {
        Slave slave(order);
        ASSERT_NE(slave.out, nullptr);
        configure();
        cal<uint8_t>(VTADDR_CfgMat_XcpMr_BIGENDIAN, 0, order[0] == 'b');
        xcpmr_ini();
        sim::step(1000);
        xcpmr_10ms();
        const auto sent =
            converse(RESP, [&](const pyref::bytes& c) { return pyref::unhex(slave.ask(pyref::hex(c))); });
        sim::waitIdle();
        ASSERT_EQ(xcpmr_status[0], 5) << order;
        // Disconnect, connect, status, free, alloc DAQs, 2 x ODTs, 3 x entries, 3 x pointer and
        // 5 x write, 2 x mode, 2 x select, start.
        EXPECT_EQ(sent.size(), 23u);
        std::string line = slave.ask("dto");
        for (; !line.empty() && line[0] != '='; line = slave.next())
            frame(RESP, pyref::unhex(line));
        sim::waitIdle();
        for (; !line.empty(); line = slave.next()) {
            unsigned c = 0;
            unsigned long v = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "=%u:%lu", &c, &v), 2);
            EXPECT_EQ(slot(xcpmr_GetAddr, c), v) << "channel " << c << " " << order;
        }
        restart();
    }
}

} // namespace
