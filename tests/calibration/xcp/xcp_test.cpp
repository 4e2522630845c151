// The slave's tasks and timer on the unit's clock, with a tool on loopback: four stepped
// seconds without a command clear the master-present flag (and, with the force switch, end
// the session in the receive task); shutdown tells the tool and ends both transport tasks.
#include "calibration/memory/seram.h"
#include "calibration/xcp/xcp.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/stepped.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_port = htons(port), a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

struct Xcp : testsupport::SteppedTest {
    int tool = -1;
    sockaddr_in slave{};

    void SetUp() override {
        SteppedTest::SetUp();
        seram_reset(), seramInitializeOffsets();
        tool = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = loopback(0);
        socklen_t n = sizeof a;
        ASSERT_EQ(bind(tool, reinterpret_cast<sockaddr*>(&a), n), 0);
        // The slave's port: one this machine just handed out, free again.
        const int probe = socket(AF_INET, SOCK_DGRAM, 0);
        bind(probe, reinterpret_cast<sockaddr*>(&a), n);
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
    void send(bytes packet) {
        packet.insert(packet.begin(), {static_cast<uint8_t>(packet.size()), 0, 0, 0});
        sendto(tool, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&slave), sizeof slave);
    }
    // The next packet the slave sends, or nothing within `ms`.
    bytes receive(int ms = 2000) {
        pollfd p{tool, POLLIN, 0};
        uint8_t buf[300];
        if (poll(&p, 1, ms) != 1) return {};
        const ssize_t n = recv(tool, buf, sizeof buf, 0);
        return n > 4 ? bytes(buf + 4, buf + n) : bytes{};
    }
};

TEST_F(Xcp, FourSteppedSecondsWithoutCommandClearTheMasterAndWithTheSwitchEndTheSession) {
    for (int on : {0, 1}) {
        xcp_activate_xcp_comms_reset(on);
        send({0xFF, 0});
        ASSERT_EQ(receive().at(0), 0xFF);
        send({0xFD});
        ASSERT_EQ(receive().at(0), 0xFF);
        sim::step(1); // the receive task is done with the command (armed within this tick)
        EXPECT_EQ(xcpMasterPresent(), 1);
        sim::step(3997);
        EXPECT_EQ(xcpMasterPresent(), 1);
        sim::step(2);
        EXPECT_EQ(xcpMasterPresent(), 0);
        send({0xFD});
        EXPECT_EQ(receive(on ? 300 : 2000).empty(), on == 1) << on;
        EXPECT_EQ(xcpConnectionGetState(0), on ? 0u : 2u);
    }
    EXPECT_TRUE(logged("XCP: Force Disconnect"));
    EXPECT_TRUE(logged("XCP: DISCONNECTED"));
}

TEST_F(Xcp, ShutdownTellsTheToolAndEndsBothTasks) {
    send({0xFF, 0});
    ASSERT_EQ(receive().at(0), 0xFF);
    // A DAQ list set up and started while the 1 ms event samples.
    for (const bytes& b : {bytes{0xD5, 0, 1, 0}, bytes{0xD4, 0, 0, 0, 2}, bytes{0xD3, 0, 0, 0, 0, 1},
                           bytes{0xD3, 0, 0, 0, 1, 1}, bytes{0xE1, 0xFF, 4, 0, 0, 0, 4, 0x25},
                           bytes{0xE1, 0xFF, 2, 0, 0, 0, 4, 0x25}, bytes{0xE0, 0, 0, 0, 2, 0, 1, 0},
                           bytes{0xDE, 2, 0, 0}, bytes{0xDD, 1}}) {
        send(b);
        for (int i = 0; i < 20; ++i)
            xcpSendDAQ(2);
    }
    xcp_shutdown_now();
    const bytes reset{0xFD, 0x07, 'R', 'E', 'S', 'E', 'T'};
    bytes r = receive();
    while (!r.empty() && r != reset)
        r = receive(300);
    EXPECT_EQ(r, reset);
    EXPECT_EQ(taskNameToId("r_xcpEth0"), TASK_ID_NULL);
    EXPECT_EQ(taskNameToId("r_xcpEthDTO0"), TASK_ID_NULL);
}

} // namespace
