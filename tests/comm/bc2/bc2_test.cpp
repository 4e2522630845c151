// The transport on loopback against a scripted peer: a connection coming in while the channel
// is being made must leave one socket and one receive task per channel.
#include "comm/bc2/bc2.h"
#include "comm/sockreg/sockreg.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/stepped.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <semaphore>
#include <unistd.h>

namespace {

constexpr uint32_t OWN_ADDR = 0x7F000002, PEER_ADDR = 0x7F000001; // the unit connects actively
constexpr uint16_t OWN = 0x10, PEER = 0x11;

sockaddr_in at(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons(port);
    return a;
}
int tcp(uint32_t addr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = at(addr, port);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return fd;
}

// Connects in to the unit's daemon for `type` with the peer's end kept here.
int peerEnd[2] = {-1, -1}, activeEnd = -1;
std::binary_semaphore dkConnected{0};
void connectIn(int type) {
    const int l = tcp(OWN_ADDR, 0);
    listen(l, 1);
    sockaddr_in la{};
    socklen_t n = sizeof la;
    getsockname(l, reinterpret_cast<sockaddr*>(&la), &n);
    peerEnd[type] = tcp(PEER_ADDR, 0);
    connect(peerEnd[type], reinterpret_cast<const sockaddr*>(&la), sizeof la);
    sockaddr_in from{};
    n = sizeof from;
    const int fd = bcSocket_accept(l, reinterpret_cast<sockaddr*>(&from), &n);
    close(l);
    bc2_accepted(type, 0, fd, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
}

int dkListener = -1;
void race(int point, uint32_t pid, int type) {
    if (pid != PEER) return;
    if (point == 0 && type == 0) connectIn(0);      // CI: the peer connects in during the first activation
    if (point == 1 && type == 1 && activeEnd < 0) { // DK: ... while the unit's own connect completes
        pollfd l{dkListener, POLLIN, 0};
        activeEnd = poll(&l, 1, 5000) == 1 ? accept(dkListener, nullptr, nullptr) : -2;
        connectIn(1);
        dkConnected.release();
    }
}

// The transport's fixed ports must not meet the units other tests run on this host's loopback:
// the test runs in a network namespace of its own, with its loopback up.
bool ownNetwork(std::string* why) {
    if (unshare(CLONE_NEWNET) != 0)
        return *why = "no network namespace: " + std::string(strerror(errno)), false;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq r{};
    std::strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &r) == 0 &&
                    (r.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &r) == 0);
    if (fd >= 0) close(fd);
    if (!up) *why = "loopback not up";
    return up;
}

struct Bc2 : testsupport::SteppedTest {
    void SetUp() override {
        SteppedTest::SetUp();
        std::string why;
        if (!ownNetwork(&why)) GTEST_SKIP() << why;
    }
};

TEST_F(Bc2, AConnectionComingInWhileTheChannelIsMadeLeavesOneSocketAndOneTask) {
    platform::Settings s;
    s.pid = OWN;
    s.ipv4 = OWN_ADDR;
    platform::setSettings(s);
    kmgr::installAppManager();
    RtpManUsr_setIndex(0);
    ASSERT_EQ(AppMan_init(), 1);
    dkListener = tcp(PEER_ADDR, BC2_PORT_DK);
    ASSERT_EQ(listen(dkListener, 4), 0);
    bc2_setRaceHook(race);
    BC2_init();

    const sockaddr_in self = at(PEER_ADDR, 0), unit = at(OWN_ADDR, BC2_PORT_PRESENCE);
    bool connected = false;
    // Until the unit listens and connects; a new source port each time, since other units on
    // this host may share the presence port.
    for (uint32_t n = 1; n < 100 && !connected; ++n) {
        uint8_t p[BC2_PRESENCE_SIZE];
        bc2_build_presence(p, PEER_ADDR, PEER, uint64_t{1} << OWN, 0, 0, n, 0);
        const int udp = socket(AF_INET, SOCK_DGRAM, 0);
        bind(udp, reinterpret_cast<const sockaddr*>(&self), sizeof self);
        sendto(udp, p, sizeof p, 0, reinterpret_cast<const sockaddr*>(&unit), sizeof unit);
        close(udp);
        sim::step(1);
        connected = dkConnected.try_acquire_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(connected);

    // The unit's own DK socket is closed (the one accepted stays), and CI has a single task.
    pollfd p{activeEnd, POLLIN, 0};
    uint8_t b;
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_LE(recv(activeEnd, &b, 1, MSG_DONTWAIT), 0);
    for (int fd : peerEnd) {
        pollfd q{fd, POLLIN, 0};
        EXPECT_EQ(poll(&q, 1, 0), 0);
    }
    const auto names = sim::taskNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "r_CI_PID11"), 1);

    sim::startRealtime(); // the tasks wind down on their own time
    BC2_stop();
    sim::stopRealtime();
    bc2_setRaceHook(nullptr);
    bcSocket_reset();
    for (int fd : {dkListener, activeEnd, peerEnd[0], peerEnd[1]})
        close(fd);
}

} // namespace
