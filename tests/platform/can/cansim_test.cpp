// The udp bus of the manager's CAN side, in a network namespace of the test's own whose loopback
// carries multicast: which frames arriving on a group reach the process's receive queue.
#include "platform/can/cansim.h"
#include "platform/kmgr/calls.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sched.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t PORT = 43113;
constexpr uint32_t GROUPS[2] = {0xEF4AA302, 0xEF4AA303}; // 239.74.163.2 and .3
constexpr uint32_t OTHER_HOST = 0x7F000002;              // an address of loopback the unit does not send from

sockaddr_in inet(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons(port);
    return a;
}

// Loopback up and the multicast groups routed onto it, as the README sets up a namespace.
bool ownNetwork(std::string* why) {
    if (unshare(CLONE_NEWNET) != 0)
        return *why = std::string("no network namespace: ") + strerror(errno), false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq r{};
    std::strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    rtentry route{};
    char dev[] = "lo";
    const sockaddr_in dst = inet(0xE0000000, 0), mask = inet(0xF0000000, 0);
    std::memcpy(&route.rt_dst, &dst, sizeof dst);
    std::memcpy(&route.rt_genmask, &mask, sizeof mask);
    route.rt_flags = RTF_UP;
    route.rt_dev = dev;
    const bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &r) == 0 &&
                    (r.ifr_flags |= IFF_UP | IFF_MULTICAST, ioctl(fd, SIOCSIFFLAGS, &r) == 0) &&
                    ioctl(fd, SIOCADDRT, &route) == 0;
    if (!ok) *why = std::string("loopback without multicast: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return ok;
}

// python-can's datagram of a classic frame with a 1-byte payload.
std::vector<uint8_t> datagram(uint32_t id) {
    cansim::Frame f;
    f.id = id;
    f.len = 1;
    f.data[0] = 0x5A;
    return cansim::encodeUdp(f, 1.0);
}

struct UdpBus : ::testing::Test {
    int listener = -1, raw = -1, plain = -1;
    MSG_Q_ID queue = nullptr;

    void SetUp() override {
        std::string why;
        if (!ownNetwork(&why)) GTEST_SKIP() << why;
        sim::configure(sim::TimeMode::Realtime, 1700000000);
        sim::startRealtime(); // the receiver works outside the clock; the waits below are real
        platform::Settings s;
        s.canUdp = true;
        platform::setSettings(s);
        ASSERT_TRUE(cansim::install(0, &why)) << why;
        queue = msgQOpen("/msgQ_RX_Can_0", CAN_RX_QUEUE_MSGS, sizeof(CanRxMsg), MSG_Q_FIFO, 0);
        ASSERT_NE(queue, nullptr);
        // A member of group 0 beside the unit, as python-can joins (to learn the unit's port).
        const int one = 1;
        const timeval wait{10, 0};
        const sockaddr_in g0 = inet(GROUPS[0], PORT);
        ip_mreq join{};
        join.imr_multiaddr = g0.sin_addr;
        listener = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_TRUE(setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                    setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
                    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
                    bind(listener, reinterpret_cast<const sockaddr*>(&g0), sizeof g0) == 0 &&
                    setsockopt(listener, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0)
            << strerror(errno);
        // Another host's frames: any source address and port, the UDP header written here.
        const sockaddr_in other = inet(OTHER_HOST, 0);
        raw = socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
        ASSERT_EQ(bind(raw, reinterpret_cast<const sockaddr*>(&other), sizeof other), 0) << strerror(errno);
        plain = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(plain, 0);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        cansim::uninstall();
        for (int fd : {listener, raw, plain})
            if (fd >= 0) close(fd);
        sim::stopRealtime();
    }

    static void listen(int node, uint32_t id) {
        ASSERT_EQ(kmgr_syscall(KCALL_CAN_REGISTER_RX, 0, node, 0, id, id), 0);
    }
    static void transmit(int node, uint32_t id) {
        const uint8_t data[1] = {0x5A};
        ASSERT_EQ(kmgr_syscall(KCALL_CAN_TRANSMIT, node, 0, id, 1, reinterpret_cast<intptr_t>(data), 0, 0),
                  0);
    }
    // The source the unit's frames arrive from, as the member of group 0 sees it.
    sockaddr_in unitSource() {
        transmit(0, 0x7FF);
        sockaddr_in from{};
        socklen_t n = sizeof from;
        uint8_t buf[256];
        EXPECT_GT(recvfrom(listener, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &n), 0)
            << strerror(errno);
        return from;
    }
    void sendFrom(uint16_t port, int node, uint32_t id) {
        const std::vector<uint8_t> d = datagram(id);
        std::vector<uint8_t> packet(sizeof(udphdr) + d.size());
        udphdr h{};
        h.source = htons(port);
        h.dest = htons(PORT);
        h.len = htons(static_cast<uint16_t>(packet.size()));
        std::memcpy(packet.data(), &h, sizeof h); // no checksum: allowed over IPv4
        std::memcpy(packet.data() + sizeof h, d.data(), d.size());
        const sockaddr_in to = inet(GROUPS[node], 0);
        ASSERT_EQ(
            sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
            static_cast<ssize_t>(packet.size()))
            << strerror(errno);
    }
    void sendPlain(int node, uint32_t id) {
        const std::vector<uint8_t> d = datagram(id);
        const sockaddr_in to = inet(GROUPS[node], PORT);
        ASSERT_EQ(sendto(plain, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(d.size()));
    }
    // The slots queued until every one of `wanted` came (up to 10 s each).
    std::set<uint32_t> receiveUntil(std::set<uint32_t> wanted) {
        std::set<uint32_t> got;
        CanRxMsg m;
        while (!std::includes(got.begin(), got.end(), wanted.begin(), wanted.end()) &&
               msgQReceive(queue, &m, sizeof m, 10000) == static_cast<int>(sizeof m))
            got.insert(m.slot);
        return got;
    }
};

// The unit does not hear its own frames on either group; a frame of another host is delivered
// also when it comes from the port the unit sends from.
TEST_F(UdpBus, OnlyTheUnitsOwnFramesAreDropped) {
    const sockaddr_in own = unitSource();
    ASSERT_NE(ntohl(own.sin_addr.s_addr), OTHER_HOST);
    for (int node = 0; node < 2; ++node) {
        const uint32_t mine = 0x100 + node, sameAddress = 0x200 + node, samePort = 0x300 + node;
        for (uint32_t id : {mine, sameAddress, samePort})
            listen(node, id);
        transmit(node, mine);
        sendFrom(ntohs(own.sin_port), node, samePort);
        sendPlain(node, sameAddress); // from the unit's address, another port
        const std::set<uint32_t> got = receiveUntil({samePort, sameAddress});
        EXPECT_EQ(got, (std::set<uint32_t>{samePort, sameAddress})) << "controller " << node;
    }
}

} // namespace
