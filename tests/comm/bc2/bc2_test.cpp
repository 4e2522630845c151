// The transport on loopback against a scripted peer, in a network namespace of the test's own:
// the presence rounds on the stepped clock, and the races between a connection coming in, the
// unit's own connect and a disconnect from another task.
#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "comm/sockreg/sockreg.h"
#include "platform/kmgr/appman.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "support/cimsg.h"
#include "support/loopback.h"
#include "support/stepped.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <sys/ioctl.h>
#include <mutex>
#include <semaphore>
#include <thread>

namespace {

constexpr uint32_t OWN_ADDR = 0x7F000002, PEER_ADDR = 0x7F000001; // the unit connects actively
constexpr uint16_t OWN = 0x10, PEER = 0x11, OTHER = 0x12;
constexpr int CI = 0, DK = 1;

using testsupport::readable;
int tcp(uint32_t addr, uint16_t port) {
    return testsupport::boundSocket(SOCK_STREAM, addr, port);
}
// The receivers wait for the network outside the clock: what the test sends them is taken in
// real time, which the test waits for (`tries` times 2 ms at least), stepping the clock meanwhile
// when asked (the connection manager waits a tick after each channel).
template <class Cond> bool until(Cond cond, bool stepping = false, int tries = 1000) {
    for (int i = 0; i < tries && !cond(); ++i) {
        if (stepping) sim::step(1);
        usleep(2000);
    }
    return cond();
}

// Connects in to the unit's daemon for `type` with the peer's end kept here.
int peerEnd[2] = {-1, -1}, activeEnd = -1, dkListener = -1;
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

// The unit's descriptor of the connection whose other end is `fd`.
int unitEndOf(int fd) {
    sockaddr_in want{}, got{};
    socklen_t n = sizeof want;
    getpeername(fd, reinterpret_cast<sockaddr*>(&want), &n);
    for (int u = 0; u < 1024; ++u) {
        n = sizeof got;
        if (u != fd && getsockname(u, reinterpret_cast<sockaddr*>(&got), &n) == 0 &&
            got.sin_family == AF_INET && got.sin_port == want.sin_port &&
            got.sin_addr.s_addr == want.sin_addr.s_addr)
            return u;
    }
    return -1;
}

// Sends all of `b`, waiting at most `ms` for room each time: false when the unit stopped taking it.
bool sendWithin(int fd, const std::vector<uint8_t>& b, int ms) {
    for (size_t at = 0; at < b.size();) {
        const ssize_t r = send(fd, b.data() + at, b.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
        pollfd p{fd, POLLOUT, 0};
        if (r > 0)
            at += static_cast<size_t>(r);
        else if (r == 0 || errno != EAGAIN || poll(&p, 1, ms) != 1)
            return false;
    }
    return true;
}

// Reads exactly n bytes, waiting at most `ms` for each part.
bool recvWithin(int fd, uint8_t* out, size_t n, int ms) {
    for (size_t at = 0; at < n;) {
        if (!readable(fd, ms)) return false;
        const ssize_t r = recv(fd, out + at, n - at, MSG_DONTWAIT);
        if (r > 0)
            at += static_cast<size_t>(r);
        else if (r == 0 || errno != EAGAIN)
            return false;
    }
    return true;
}

// True once the unit has ended the connection (what it sent before is read and dropped).
bool endedWithin(int fd, int ms) {
    uint8_t b[4096];
    for (ssize_t r; readable(fd, ms);)
        if ((r = recv(fd, b, sizeof b, MSG_DONTWAIT)) == 0 || (r < 0 && errno != EAGAIN)) return true;
    return false;
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
    std::vector<int> mine; // closed after the transport stopped
    void SetUp() override {
        SteppedTest::SetUp();
        std::string why;
        if (!ownNetwork(&why)) GTEST_SKIP() << why;
        platform::Settings s;
        s.pid = OWN;
        s.ipv4 = OWN_ADDR;
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0);
        ASSERT_EQ(AppMan_init(), 1);
        peerEnd[CI] = peerEnd[DK] = activeEnd = dkListener = -1;
    }
    void TearDown() override {
        if (!IsSkipped()) {
            sim::startRealtime(); // the tasks wind down on their own time
            BC2_stop();
            sim::stopRealtime();
            bc2_setRaceHook(nullptr);
            bcSocket_reset();
        }
        for (int fd : mine)
            close(fd);
        for (int fd : {dkListener, activeEnd, peerEnd[CI], peerEnd[DK]})
            if (fd >= 0) close(fd);
        SteppedTest::TearDown();
    }
    // The peer's presence packet, unicast from a new source port each time.
    // `made`: the CI and DK sets; `offset`: the peer's port offset.
    void presence(uint32_t counter, uint64_t heard, uint16_t pid = PEER, uint64_t made = 0,
                  uint16_t offset = 0) {
        uint8_t p[BC2_PRESENCE_SIZE];
        bc2_build_presence(p, PEER_ADDR, pid, heard, made, made, counter, offset);
        const sockaddr_in unit = testsupport::inetAddress(OWN_ADDR, BC2_PORT_PRESENCE);
        const int udp = testsupport::boundSocket(SOCK_DGRAM, PEER_ADDR);
        sendto(udp, p, sizeof p, 0, reinterpret_cast<const sockaddr*>(&unit), sizeof unit);
        close(udp);
    }
    // Peer k: PID PEER + k (PEER, OTHER, ...), port offset 100 k, on the peer's address, which is
    // below the unit's: the unit connects, once (the peers listen no longer then). The channels of
    // `types` to the peers of `set` (bit k) are made; peers below `small` receive into `buffer`
    // bytes. Their ends in ends[k][type].
    static constexpr int PEERS = 10;
    int ends[PEERS][2] = {{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1},
                          {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}};
    bool connectPeers(uint32_t set, std::vector<int> types, int small = 0, int buffer = 0) {
        int listener[PEERS][2];
        std::vector<std::pair<int, int>> wanted;
        uint64_t bits = 0;
        for (int k = 0; k < PEERS; ++k)
            for (int t : types)
                if (set >> k & 1) {
                    const int port = (t == DK ? BC2_PORT_DK : BC2_PORT_CI) + 100 * k;
                    mine.push_back(listener[k][t] = tcp(PEER_ADDR, static_cast<uint16_t>(port)));
                    if (k < small) setsockopt(listener[k][t], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
                    if (listen(listener[k][t], 4) != 0) return false;
                    wanted.emplace_back(k, t);
                    ends[k][t] = -1;
                    bits |= uint64_t{1} << (PEER + k);
                }
        auto made = [&] {
            return std::ranges::all_of(wanted, [&](auto w) { return ends[w.first][w.second] >= 0; });
        };
        for (uint32_t n = 1; n < 200 && !made(); ++n) {
            for (int k = 0; k < PEERS; ++k)
                if (set >> k & 1)
                    presence(counters[k]++, uint64_t{1} << OWN, static_cast<uint16_t>(PEER + k), 0,
                             static_cast<uint16_t>(100 * k));
            sim::step(1);
            std::vector<pollfd> p;
            for (auto [k, t] : wanted)
                if (ends[k][t] < 0) p.push_back({listener[k][t], POLLIN, 0});
            poll(p.data(), p.size(), 20);
            for (auto [k, t] : wanted)
                if (ends[k][t] < 0 && readable(listener[k][t], 0))
                    mine.push_back(ends[k][t] = accept(listener[k][t], nullptr, nullptr));
        }
        for (auto [k, t] : wanted) {
            std::erase(mine, listener[k][t]);
            close(listener[k][t]);
        }
        const auto up = [&](int t) {
            return std::ranges::find(types, t) == types.end() ||
                   ((t == CI ? comint_get_connect_mask() : dk_get_connect_mask()) & bits) == bits;
        };
        return made() && until([&] { return up(CI) && up(DK); }, true);
    }
    uint32_t counters[PEERS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    // Steps the clock `n` ticks, 10 at a time, the peers of `set` (bit k) sending a presence packet
    // every 100 ticks, each awaited until the unit has it: a loaded host that holds the unit's
    // receiver up does not let the clock run past their offline time-out meanwhile.
    uint64_t lastPresence = 0;
    void stepOnline(int n, uint32_t set = 0b11) {
        for (int i = 0; i < n; i += 10) {
            sim::step(static_cast<uint64_t>(std::min(10, n - i)));
            if (sim::ticks() - lastPresence < 100) continue;
            lastPresence = sim::ticks();
            for (int k = 0; k < PEERS; ++k) {
                if (!(set >> k & 1)) continue;
                const uint16_t pid = static_cast<uint16_t>(PEER + k);
                const uint32_t counter = counters[k]++;
                presence(counter, 0, pid, 0, static_cast<uint16_t>(100 * k));
                until([&] {
                    Bc2DebugPid d{};
                    return BC2_debugoutPID(pid, &d), d.remSeqCnt == counter;
                });
            }
        }
    }
    // Steps the clock until the peer's channel of `type` is gone, as a stuck one goes once its queue
    // made no progress for the limit: false when it stays for 10 s of the clock.
    bool droppedInTime(int type, uint32_t set = 0b11) {
        const auto up = [type] {
            return ((type == CI ? comint_get_connect_mask() : dk_get_connect_mask()) >> PEER & 1) != 0;
        };
        return until([&] { return stepOnline(10, set), !up(); });
    }
    // The peer's packets, counting from `counter`, until the unit has heard one (its receiver
    // may not listen yet).
    bool heard(uint32_t counter) {
        return until([&] {
            presence(counter++, 0);
            return (udp_get_detect_mask() >> PEER & 1) != 0;
        });
    }
    // A member of the presence group (bound to the group, so that the unit alone gets what is
    // sent to its own address): the unit's packets.
    int presenceListener() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
        const sockaddr_in a = testsupport::inetAddress(BC2_GROUP_PRESENCE, BC2_PORT_PRESENCE);
        bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        ip_mreq m{};
        m.imr_multiaddr.s_addr = htonl(BC2_GROUP_PRESENCE);
        m.imr_interface.s_addr = htonl(PEER_ADDR);
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        mine.push_back(fd);
        return fd;
    }
    // The unit's packets that arrived by now, waiting `ms` for the last one.
    std::vector<Bc2Presence> received(int fd, int ms) {
        std::vector<Bc2Presence> out;
        uint8_t d[100];
        for (ssize_t n; readable(fd, ms) && (n = recv(fd, d, sizeof d, 0)) > 0;)
            if (Bc2Presence p; bc2_parse_presence(d, static_cast<size_t>(n), &p) && p.pid == OWN)
                out.push_back(p);
        return out;
    }
};

// Presence every 200 ms (the first packet counts 1); a host heard once is offline on the seventh
// round after its packet: its bit is in the unit's next seven packets and gone from the eighth.
// The windows start half-way between two rounds.
TEST_F(Bc2, PresenceRoundsAndTheOfflineTimeOutOnTheSteppedClock) {
    const int fd = presenceListener();
    BC2_init();
    std::vector<Bc2Presence> got;
    for (int i = 0; i < 400 && got.empty(); ++i)
        sim::step(1), got = received(fd, 0);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].counter, 1u);
    uint32_t before = got.back().counter;
    sim::step(100);
    for (const Bc2Presence& p : received(fd, 50))
        before = p.counter;
    sim::step(1000);
    got = received(fd, 50);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().counter - before, 5u) << "five rounds in 1000 ms";

    presence(1, 0);
    ASSERT_TRUE(until([] { return udp_get_detect_mask() >> PEER & 1; }));
    sim::step(2000);
    int heardIn = 0, after = 0;
    for (const Bc2Presence& p : received(fd, 50)) {
        if (p.heard >> PEER & 1)
            heardIn += after == 0;
        else
            after += heardIn > 0;
    }
    EXPECT_EQ(heardIn, 7);
    EXPECT_GT(after, 0);
    seen = testsupport::logDrain();
    EXPECT_TRUE(logged("Host PID 0x11 is Offline"));
}

void race(int point, uint32_t pid, int type) {
    if (pid != PEER) return;
    if (point == 0 && type == CI) connectIn(CI);     // the peer connects in during the first activation
    if (point == 1 && type == DK && activeEnd < 0) { // ... while the unit's own connect completes
        activeEnd = readable(dkListener, 5000) ? accept(dkListener, nullptr, nullptr) : -2;
        connectIn(DK);
        dkConnected.release();
    }
}

TEST_F(Bc2, AConnectionComingInWhileTheChannelIsMadeLeavesOneSocketAndOneTask) {
    dkListener = tcp(PEER_ADDR, BC2_PORT_DK);
    ASSERT_EQ(listen(dkListener, 4), 0);
    bc2_setRaceHook(race);
    BC2_init();
    bool connected = false;
    for (uint32_t n = 1; n < 100 && !connected; ++n) {
        presence(n, uint64_t{1} << OWN);
        sim::step(1);
        connected = dkConnected.try_acquire_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(connected);
    ASSERT_GE(activeEnd, 0) << "the unit's own connect came";
    ASSERT_GE(peerEnd[CI], 0) << "the race hook connected in";
    ASSERT_GE(peerEnd[DK], 0);

    // The unit's own DK socket is closed (the one accepted stays), and CI has a single task.
    uint8_t b;
    EXPECT_TRUE(readable(activeEnd, 5000));
    EXPECT_LE(recv(activeEnd, &b, 1, MSG_DONTWAIT), 0);
    for (int fd : peerEnd)
        EXPECT_FALSE(readable(fd, 0));
    const auto names = sim::taskNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "r_CI_PID11"), 1);
}

// Another task shuts the channel down while its receive task finds the connection closed: the
// receive task must not close the descriptor meanwhile, or the shutdown meets whatever file the
// number went to next (here a socket pair of the test's). The other task lets the receive task run
// while it waits for it to act on the end of the stream: the receive task's shutdown (or close)
// ends the peer's end as well.
int unitCi = -1, reused = -1, partner = -1;
std::atomic<bool> shutdownReached{false}, receiverActed{false}, hookDone{false};
void closeDuringShutdown(int point, uint32_t pid, int type) {
    if (point != 2 || pid != PEER || type != CI || shutdownReached.exchange(true)) return;
    {
        OsExternalWait wait;
        shutdown(peerEnd[CI], SHUT_WR); // the receive task sees the end of the stream
        receiverActed = endedWithin(peerEnd[CI], 10000);
    }
    int sv[2];
    if (fcntl(unitCi, F_GETFD) == -1 && socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
        dup2(sv[0], unitCi);
        close(sv[0]);
        reused = unitCi;
        partner = sv[1];
    }
    hookDone = true;
}

TEST_F(Bc2, ADisconnectFromAnotherTaskNeverShutsDownAReusedDescriptor) {
    const int listener[2] = {tcp(PEER_ADDR, BC2_PORT_CI), tcp(PEER_ADDR, BC2_PORT_DK)};
    mine.insert(mine.end(), listener, listener + 2);
    for (int l : listener)
        ASSERT_EQ(listen(l, 4), 0);
    BC2_init();
    for (uint32_t n = 1; n < 100 && (peerEnd[CI] < 0 || peerEnd[DK] < 0); ++n) {
        presence(n, uint64_t{1} << OWN);
        sim::step(1);
        for (int t : {CI, DK})
            if (peerEnd[t] < 0 && readable(listener[t], 50))
                peerEnd[t] = accept(listener[t], nullptr, nullptr);
    }
    ASSERT_GE(peerEnd[CI], 0);
    ASSERT_GE(peerEnd[DK], 0);
    // The peer accepts before the unit's connect returns: the reset must find the unit holding its
    // sockets, or there is nothing to shut down yet.
    ASSERT_TRUE(until([] { return (comint_get_connect_mask() & dk_get_connect_mask()) >> PEER & 1; }, true));
    unitCi = unitEndOf(peerEnd[CI]);
    ASSERT_GE(unitCi, 0);
    reused = partner = -1;
    shutdownReached = receiverActed = hookDone = false;
    bc2_setRaceHook(closeDuringShutdown);
    presence(0, uint64_t{1} << OWN); // the counter went back: the presence task disconnects the peer
    ASSERT_TRUE(until([] { return hookDone.load(); }, true, 10000));
    EXPECT_TRUE(receiverActed) << "the receive task did not act on the end of the stream";
    sim::step(20);
    if (partner >= 0) {
        mine.insert(mine.end(), {reused, partner});
        uint8_t b;
        errno = 0;
        EXPECT_EQ(recv(partner, &b, 1, MSG_DONTWAIT), -1) << "the test's socket was shut down";
        EXPECT_EQ(errno, EAGAIN);
    }
    EXPECT_EQ(fcntl(unitCi, F_GETFD), -1) << "closed once the other task let go";
}

// The unit connects from its own address even where the host would pick another one (on this
// loopback the peer's, 127.0.0.1): the peer knows a host by the address it connects from.
TEST_F(Bc2, TheUnitConnectsFromItsOwnAddress) {
    const int listener[2] = {tcp(PEER_ADDR, BC2_PORT_CI), tcp(PEER_ADDR, BC2_PORT_DK)};
    mine.insert(mine.end(), listener, listener + 2);
    for (int l : listener)
        ASSERT_EQ(listen(l, 4), 0);
    BC2_init();
    sockaddr_in from[2]{};
    for (uint32_t n = 1; n < 100 && (peerEnd[CI] < 0 || peerEnd[DK] < 0); ++n) {
        presence(n, uint64_t{1} << OWN);
        sim::step(1);
        for (int t : {CI, DK}) {
            socklen_t len = sizeof from[t];
            if (peerEnd[t] < 0 && readable(listener[t], 50))
                peerEnd[t] = accept(listener[t], reinterpret_cast<sockaddr*>(&from[t]), &len);
        }
    }
    ASSERT_GE(peerEnd[CI], 0);
    ASSERT_GE(peerEnd[DK], 0);
    for (const sockaddr_in& a : from)
        EXPECT_EQ(ntohl(a.sin_addr.s_addr), OWN_ADDR);
}

// A peer that restarts twice within seconds of its first start (its sockets close, its counter
// starts low again): each time both channels come back, and the log tells every channel's
// connections and drops, however many other channels told theirs just before.
TEST_F(Bc2, EveryChannelTellsItsConnectionsWhenAPeerRestartsSoonAfterStart) {
    const auto up = [](uint64_t mask) { return (mask >> PEER & 1) != 0; };
    const uint32_t starts[] = {100, 10, 1};
    BC2_init();
    const uint64_t start = sim::ticks();
    for (int round = 0; round < 3; ++round) {
        const int listener[2] = {tcp(PEER_ADDR, BC2_PORT_CI), tcp(PEER_ADDR, BC2_PORT_DK)};
        mine.insert(mine.end(), listener, listener + 2);
        for (int l : listener)
            ASSERT_EQ(listen(l, 4), 0);
        for (uint32_t n = starts[round]; n < starts[round] + 100 && (peerEnd[CI] < 0 || peerEnd[DK] < 0);
             ++n) {
            presence(n, uint64_t{1} << OWN);
            sim::step(1);
            for (int t : {CI, DK})
                if (peerEnd[t] < 0 && readable(listener[t], 50))
                    peerEnd[t] = accept(listener[t], nullptr, nullptr);
        }
        ASSERT_GE(peerEnd[CI], 0) << round;
        ASSERT_GE(peerEnd[DK], 0) << round;
        ASSERT_TRUE(until([&] { return up(comint_get_connect_mask()) && up(dk_get_connect_mask()); }, true))
            << round;
        // Every packet sent is handled before the peer goes: a late one would connect again.
        const uint16_t mark = static_cast<uint16_t>(0x20 + round);
        presence(1, 0, mark);
        ASSERT_TRUE(until([&] { return (udp_get_detect_mask() >> mark & 1) != 0; }, true)) << round;
        if (round == 2) break;
        // The peer's process ends: its connections and listen sockets close.
        for (int fd : {peerEnd[CI], peerEnd[DK], listener[CI], listener[DK]}) {
            std::erase(mine, fd);
            close(fd);
        }
        peerEnd[CI] = peerEnd[DK] = -1;
        ASSERT_TRUE(until([&] { return !up(comint_get_connect_mask()) && !up(dk_get_connect_mask()); }, true))
            << round;
    }
    const auto established = [&](const char* ch) {
        return countLogged(std::string(ch) + " channel to PID 0x11 established");
    };
    until([&] { return established("CI") + established("DK") >= 6; }, true);
    EXPECT_LT(sim::ticks() - start, 10000u) << "all within the first ten seconds";
    EXPECT_EQ(established("CI"), 3);
    EXPECT_EQ(established("DK"), 3);
    EXPECT_EQ(countLogged("Disconnecting TCP CI socket"), 2);
    EXPECT_EQ(countLogged("Disconnecting TCP DK socket"), 2);
}

// A path's receiving FIFO as a request of `from` made it here.
uint32_t receivingFrom(uint16_t from) {
    DynkommFifo* f = dynkomm_fifo_alloc(4, 8);
    f->sourcePid = from;
    f->destPid = OWN;
    const uint32_t m = dynkomm_fifo_register(f);
    dynkomm_fifo_hold(f, from);
    return m;
}

// Nothing closes the paths of a peer that restarted or went offline: their receiving FIFOs go
// then, and only theirs; a restart is counted.
TEST_F(Bc2, APeersReceivingFifosGoWhenItRestartsOrGoesOffline) {
    ASSERT_EQ(dynkomm_ini(), 1);
    const uint32_t other = receivingFrom(0x12);
    DynkommFifo* s = dynkomm_fifo_alloc(4, 8);
    s->sourcePid = OWN;
    s->destPid = PEER;
    const uint32_t sending = dynkomm_fifo_register(s);
    BC2_init();
    ASSERT_TRUE(heard(10));
    for (const char* how : {"restart", "offline"}) {
        const uint32_t a = receivingFrom(PEER), b = receivingFrom(PEER);
        const uint32_t restarts = dynkomm_restarts(PEER);
        EXPECT_EQ(dynkomm_held(PEER).paths, 2u) << how;
        if (how[0] == 'r')
            presence(3, 0); // the counter went back (the last packet it sends)
        else
            sim::step(2000);
        EXPECT_TRUE(until([] { return dynkomm_held(PEER).paths == 0; })) << how;
        EXPECT_EQ(dynkomm_get_fifo(a, nullptr) + dynkomm_get_fifo(b, nullptr), 0) << how;
        // only a restart leaves the peer without the lists it served
        EXPECT_EQ(dynkomm_restarts(PEER) - restarts, how[0] == 'r' ? 1u : 0u) << how;
    }
    EXPECT_EQ(dynkomm_restarts(0x12), 0u);
    EXPECT_EQ(dynkomm_get_fifo(other, nullptr), 1);
    EXPECT_EQ(dynkomm_get_fifo(sending, nullptr), 1);
    EXPECT_EQ(dynkomm_held(0x12).paths, 1u);
    dynkomm_fifo_free(other);
    dynkomm_fifo_free(sending);
}

// Presence packets naming a PID beyond 63 are dropped with a line, 13 times; the 14th brings
// the flooding notice and nothing follows.
TEST_F(Bc2, APidBeyond63IsLoggedThirteenTimesThenFlagged) {
    BC2_init();
    ASSERT_TRUE(heard(1));
    Bc2DebugGlob g{};
    BC2_debugoutGlob(&g);
    const uint16_t before = g.bcRxCnt;
    for (uint16_t i = 0; i < 20; ++i)
        presence(100u + i, 0, static_cast<uint16_t>(64 + i));
    ASSERT_TRUE(until([&] { return BC2_debugoutGlob(&g), static_cast<uint16_t>(g.bcRxCnt - before) >= 20; }));
    sim::step(1);
    seen = testsupport::logDrain();
    std::vector<int> wrong, flooding;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i].text.find("BC2_UDP_listen() wrong pid received") != std::string::npos)
            wrong.push_back(static_cast<int>(i));
        if (seen[i].text.find("Flooding suspicion!") != std::string::npos)
            flooding.push_back(static_cast<int>(i));
    }
    ASSERT_EQ(wrong.size(), 13u);
    EXPECT_EQ(seen[static_cast<size_t>(wrong[0])].text, "BC2_UDP_listen() wrong pid received 64");
    EXPECT_TRUE(std::ranges::any_of(flooding, [&](int i) { return i > wrong.back(); }));
}

// The online data of a peer go by UDP or TCP after its protocol version, which its presence
// packets set meanwhile.
TEST_F(Bc2, OnlineDataGoWhileThePeersPresencePacketsArrive) {
    const int listener[2] = {tcp(PEER_ADDR, BC2_PORT_CI), tcp(PEER_ADDR, BC2_PORT_DK)};
    mine.insert(mine.end(), listener, listener + 2);
    for (int l : listener)
        ASSERT_EQ(listen(l, 4), 0);
    BC2_init();
    for (uint32_t n = 1; n < 100 && (peerEnd[CI] < 0 || peerEnd[DK] < 0); ++n) {
        presence(n, uint64_t{1} << OWN);
        sim::step(1);
        for (int t : {CI, DK})
            if (peerEnd[t] < 0 && readable(listener[t], 50))
                peerEnd[t] = accept(listener[t], nullptr, nullptr);
    }
    ASSERT_GE(peerEnd[DK], 0);
    ASSERT_TRUE(until([] { return dk_get_connect_mask() >> PEER & 1; }));
    std::atomic<bool> done{false};
    std::thread sender([&done] {
        const uint8_t header[BC2_DK_HEADER] = {0, PEER, 0, 4, 0, 0, 0, 1}, entry[4] = {};
        while (!done) {
            dyncom_send_eth_online(header, entry);
            Dynkom_flush_eth(0);
        }
    });
    Bc2DebugGlob before{}, after{};
    BC2_debugoutGlob(&before);
    for (uint32_t n = 100; n < 400; ++n) {
        presence(n, uint64_t{1} << OWN, PEER, uint64_t{1} << OWN);
        sim::step(1); // a receiver that waits a tick in the connection manager goes on
        usleep(500);
    }
    EXPECT_TRUE(until([&] {
        return BC2_debugoutGlob(&after), static_cast<uint16_t>(after.bcRxCnt - before.bcRxCnt) >= 300;
    })) << "the packets came meanwhile";
    done = true;
    sender.join();
    Bc2DebugPid d{};
    ASSERT_EQ(BC2_debugoutPID(PEER, &d), 1);
    EXPECT_GT(d.dataTxCntOnline, 0u);
}

// The transport's tasks that wait for the network sleep until something comes: an idle unit's
// listeners, daemons and flusher do not wake on their own. The stop still ends every one of them.
TEST_F(Bc2, IdleListenersSleepUntilTheStopEndsThem) {
    const std::vector<std::string> waiting = {"r_BC2_CI_daemon", "r_BC2_DK_daemon", "r_UDP_MC_listen",
                                              "r_BC2_MC_CI_lis", "r_BC2_DK_UDP_li", "r_BC2_flush"};
    // Voluntary switches of this process's threads by name; -1 where no thread has it.
    auto switches = [](const std::string& name) {
        long total = -1;
        DIR* d = opendir("/proc/self/task");
        while (dirent* e = d ? readdir(d) : nullptr) {
            const std::string dir = std::string("/proc/self/task/") + e->d_name;
            std::ifstream comm(dir + "/comm");
            std::string c;
            if (e->d_name[0] == '.' || !std::getline(comm, c) || c != name) continue;
            std::ifstream status(dir + "/status");
            for (std::string line; std::getline(status, line);)
                if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                    total = std::max(total, 0L) + std::stol(line.substr(line.find(':') + 1));
        }
        if (d) closedir(d);
        return total;
    };
    BC2_init();
    // Each is in its wait once it has bound its sockets; give them the time to get there.
    ASSERT_TRUE(until([&] {
        for (const std::string& n : waiting)
            if (switches(n) < 0) return false;
        return true;
    }));
    auto all = [&] {
        std::vector<long> v;
        for (const std::string& n : waiting)
            v.push_back(switches(n));
        return v;
    };
    // Their set-up done (which a loaded host may delay), they stay asleep.
    std::vector<long> before = all();
    for (int i = 0; i < 10; ++i) {
        usleep(300000);
        const std::vector<long> now = all();
        if (now == before) break;
        before = now;
    }
    usleep(1000000); // no tick, no packet: nothing for them to do
    for (size_t i = 0; i < waiting.size(); ++i)
        EXPECT_LE(switches(waiting[i]) - before[i], 1) << waiting[i] << " woke while idle";
    sim::startRealtime();
    BC2_stop();
    sim::stopRealtime();
    for (const std::string& n : waiting)
        EXPECT_TRUE(until([&] { return switches(n) < 0; })) << n << " still runs after the stop";
}

// A peer whose command channel comes in and drops 250 times: each connection's socket goes back
// to the registry, which holds 200, and the 250th connection is taken as the first was. The
// transport's own sockets are counted once its tasks all wait: none of them opens one after that.
TEST_F(Bc2, TheSocketsOfConnectionsThatDropGoBackToTheRegistry) {
    const auto up = [] { return (comint_get_connect_mask() >> PEER & 1) != 0; };
    BC2_init();
    sim::waitIdle();
    const int held = bcSocket_count();
    ASSERT_TRUE(heard(1));
    for (int round = 1; round <= 250; ++round) {
        connectIn(CI);
        ASSERT_GE(peerEnd[CI], 0) << round;
        ASSERT_TRUE(until(up)) << "connection " << round << " not taken";
        close(peerEnd[CI]);
        peerEnd[CI] = -1;
        // the mask goes once the socket is closed
        ASSERT_TRUE(until([&] { return !up(); })) << round;
        ASSERT_EQ(bcSocket_count(), held) << round;
    }
}

// Stands in for the measurement server: a state query answered "done" to its requester, with
// the request's first context word in the second.
size_t stateReply(const uint8_t* request, size_t, uint8_t* reply, size_t) {
    const CiHeader q = ci_header(request);
    ci_set_header(reply, {0, OWN, q.source, 0, q.context1, 0x0103});
    return CI_HEADER;
}

// The command task with the transport as its sink, the state query served as stateReply does.
struct CommandTask {
    CommandTask() {
        routing_ini();
        comint_ini();
        comint_reset();
        comint_setReplyHandler(0x0505, stateReply);
        BC2_setCommandSink(comint_queue_from, comint_forward_from, comint_wait_room);
    }
    ~CommandTask() { BC2_setCommandSink(nullptr, nullptr, nullptr), comint_reset(); }
};

// A peer that stops reading its command channel while another keeps asking for state: the command
// task does not wait for the stuck peer and goes on answering the other; the stuck
// channel is dropped, and its failure counted and told once, however many replies still wait for it.
TEST_F(Bc2, APeerThatStopsReadingLosesItsCommandChannelWhileTheOtherIsStillAnswered) {
    CommandTask task;
    BC2_init();
    ASSERT_TRUE(connectPeers(0b11, {CI, DK}, 1, 4096));
    ASSERT_TRUE(until([] { return comint_status() != 0; }, true));
    sim::step(100); // the command task looks for the multicast channel every 100 ms
    // 300 echoes of 480 bytes: far more than the stuck peer's socket and the unit's hold (the unit
    // may drop the channel before the last went)
    const cimsg::Bytes echo = cimsg::message(0x0105, PEER, OWN, 0, 0, cimsg::Bytes(480, 0x5A));
    for (int i = 0; i < 300 && sendWithin(ends[0][CI], echo, 5000); ++i) {
    }
    for (uint32_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(sendWithin(ends[1][CI], cimsg::message(0x0505, OTHER, OWN, 0x700 + i, 0), 5000));
        cimsg::Bytes answer(CI_HEADER);
        ASSERT_TRUE(recvWithin(ends[1][CI], answer.data(), answer.size(), 5000)) << "question " << i;
        EXPECT_EQ(answer, cimsg::message(0x0103, OWN, OTHER, 0, 0x700 + i)) << i;
    }
    EXPECT_TRUE(comint_get_connect_mask() >> OTHER & 1);
    EXPECT_TRUE(droppedInTime(CI));
    EXPECT_TRUE(endedWithin(ends[0][CI], 5000));
    Bc2DebugPid d{};
    BC2_debugoutPID(PEER, &d);
    EXPECT_GE(d.cmdTxErr, 1);
    EXPECT_EQ(countLogged("Error sending comint cmd to PID 0x10 -> 0x11"), 1);
}

// The command task held in a handler (0x0F04, sent by OTHER) until the test lets it go: what comes
// meanwhile waits in its queue. 0x0F05 and 0x0F06 are counted as they are served.
SEM_ID stall = nullptr;
std::atomic<bool> stalled{false};
std::atomic<int> ownServed{0}, mcServed{0};
struct StalledCommandTask : CommandTask {
    StalledCommandTask() {
        stall = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        stalled = false;
        ownServed = mcServed = 0;
        comint_setHandler(0x0F04,
                          [](const uint8_t*, size_t) { stalled = true, semTake(stall, WAIT_FOREVER); });
        comint_setHandler(0x0F05, [](const uint8_t*, size_t) { ++ownServed; });
        comint_setHandler(0x0F06, [](const uint8_t*, size_t) { ++mcServed; });
    }
    ~StalledCommandTask() { semGive(stall); }
};

// The transport up with the command channels to PEER and OTHER, and the command task held.
bool upAndHeld(Bc2& t) {
    BC2_init();
    if (!t.connectPeers(0b11, {CI}) || !until([] { return comint_status() != 0; }, true)) return false;
    sim::step(100); // the command task looks for the multicast channel every 100 ms
    return sendWithin(t.ends[1][CI], cimsg::message(0x0F04, OTHER, OWN, 0, 0), 5000) &&
           until([] { return stalled.load(); });
}

// 20 of the unit's own messages, put as its services put them: how many the queue took.
int ownMessages() {
    int accepted = 0;
    for (int i = 0; i < 20; ++i)
        accepted += comint_put_cmd(cimsg::message(0x0F05, OWN, OWN, 0, 0).data(), 1);
    return accepted;
}

// Reads what comes on `fd` into `got` until it holds `n` bytes, stepping the clock.
bool receiveStepping(int fd, cimsg::Bytes& got, size_t n) {
    return until(
        [&] {
            uint8_t b[4096];
            for (ssize_t r; (r = recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0;)
                got.insert(got.end(), b, b + r);
            return got.size() >= n;
        },
        true);
}

// A peer floods its command channel while the command task is held up: what it sends beyond its
// share of the command queue waits in its stream, held back at the peer, and none of it is lost
// (each echo comes back, in order); another peer's questions and the unit's own messages find room
// meanwhile and are served once the task goes on.
TEST_F(Bc2, APeerFloodingItsCommandChannelWaitsForItsShareWhileOthersAndTheUnitAreServed) {
    StalledCommandTask task;
    ASSERT_TRUE(upAndHeld(*this));
    constexpr uint32_t FLOOD = 1500, QUESTIONS = 10;
    const auto numbered = [](uint16_t code, uint16_t from, uint16_t to, uint32_t i) {
        return cimsg::message(code, from, to, 0, 0, cimsg::fields({{i, 4}}));
    };
    std::jthread flooder([&] {
        for (uint32_t i = 0; i < FLOOD && sendWithin(ends[0][CI], numbered(0x0105, PEER, OWN, i), 10000);
             ++i) {
        }
    });
    // The flood meets the held queue: the unit read all of it, or has no room left for the peer.
    Bc2DebugPid d{};
    ASSERT_TRUE(
        until([&] { return BC2_debugoutPID(PEER, &d), d.cmdRxCnt == FLOOD || !comint_wait_room(PEER, 0); },
              false, 5000));
    cimsg::Bytes questions, answers, got, echoes, all;
    for (uint32_t i = 0; i < QUESTIONS; ++i) {
        std::ranges::copy(cimsg::message(0x0505, OTHER, OWN, 0x70 + i, 0), back_inserter(questions));
        std::ranges::copy(cimsg::message(0x0103, OWN, OTHER, 0, 0x70 + i), back_inserter(answers));
    }
    ASSERT_TRUE(sendWithin(ends[1][CI], questions, 5000));
    ASSERT_TRUE(until([&] { return BC2_debugoutPID(OTHER, &d), d.cmdRxCnt == 1 + QUESTIONS; }));
    EXPECT_EQ(ownMessages(), 20);
    semGive(stall);
    EXPECT_TRUE(receiveStepping(ends[1][CI], got, answers.size()));
    EXPECT_TRUE(got == answers) << got.size() / CI_HEADER << " answers of " << QUESTIONS;
    EXPECT_TRUE(receiveStepping(ends[0][CI], echoes, FLOOD * (CI_HEADER + 4)));
    for (uint32_t i = 0; i < FLOOD; ++i)
        std::ranges::copy(numbered(0x0106, OWN, PEER, i), back_inserter(all));
    EXPECT_TRUE(echoes == all) << echoes.size() / (CI_HEADER + 4) << " echoes of " << FLOOD;
    EXPECT_TRUE(until([] { return ownServed == 20; }, true));
    EXPECT_FALSE(logged("to comint task failed"));
}

// A peer waits for its share with the command task held up, then restarts (its presence counter
// goes back): the unit drops its channel at once, not when the task goes on, and the share the
// peer held is free again once it does.
TEST_F(Bc2, APeerWaitingForItsShareLosesItsCommandChannelAtOnceWhenItRestarts) {
    StalledCommandTask task;
    ASSERT_TRUE(upAndHeld(*this));
    cimsg::Bytes flood; // beyond its share, and within what the sockets hold
    for (int i = 0; i < 400; ++i)
        std::ranges::copy(cimsg::message(0x0F05, PEER, OWN, 0, 0), back_inserter(flood));
    ASSERT_TRUE(sendWithin(ends[0][CI], flood, 5000));
    ASSERT_TRUE(until([] { return !comint_wait_room(PEER, 0); }));
    presence(0, 0);
    EXPECT_TRUE(until([] { return (comint_get_connect_mask() >> PEER & 1) == 0; }, true));
    semGive(stall);
    EXPECT_TRUE(until([] { return comint_wait_room(PEER, 0); }, true));
}

// A sender floods the command multicast while the command task is held up: its datagrams beyond
// its share of the queue are dropped and counted (the listener never waits), with a line held to
// its rate; another peer's question and the unit's own messages find room, and what was queued is
// served.
TEST_F(Bc2, MulticastCommandsBeyondTheirSendersShareAreDroppedWhileOthersAndTheUnitAreServed) {
    StalledCommandTask task;
    ASSERT_TRUE(upAndHeld(*this));
    const int udp = testsupport::boundSocket(SOCK_DGRAM, PEER_ADDR);
    mine.push_back(udp);
    const sockaddr_in to = testsupport::inetAddress(OWN_ADDR, BC2_PORT_CI_MC);
    const cimsg::Bytes m = cimsg::message(0x0F06, PEER, CI_PID_ALL, 0, 0);
    constexpr int SENT = 600;
    Bc2DebugGlob g{};
    for (int i = 0; i < SENT; i += 50) { // in bursts the socket holds
        for (int k = 0; k < 50; ++k)
            sendto(udp, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ASSERT_TRUE(until([&] { return BC2_debugoutGlob(&g), g.mcRxCnt >= i + 50; })) << i;
    }
    ASSERT_TRUE(sendWithin(ends[1][CI], cimsg::message(0x0505, OTHER, OWN, 0x78, 0), 5000));
    Bc2DebugPid d{};
    ASSERT_TRUE(until([&] { return BC2_debugoutPID(OTHER, &d), d.cmdRxCnt == 2; }));
    EXPECT_EQ(ownMessages(), 20);
    semGive(stall);
    cimsg::Bytes answer;
    EXPECT_TRUE(receiveStepping(ends[1][CI], answer, CI_HEADER));
    EXPECT_EQ(answer, cimsg::message(0x0103, OWN, OTHER, 0, 0x78));
    EXPECT_TRUE(until([] { return ownServed == 20; }, true));
    EXPECT_FALSE(logged("to comint task failed"));
    BC2_debugoutGlob(&g);
    EXPECT_GT(g.mcDropCnt, 0);
    EXPECT_EQ(mcServed + g.mcDropCnt, SENT) << "each datagram served or counted";
    const int told = countLogged("BC2_CI_MC_listen(): cmd 0xF06 from PID 0x11 beyond its share");
    EXPECT_TRUE(told >= 1 && told <= 3) << told;
}

// Bytes written into a stream socket: what it holds, not yet acknowledged, and what was (read in
// that order: an acknowledgement in between counts twice, never none).
uint64_t written(int fd) {
    int held = 0;
    tcp_info i{};
    socklen_t n = sizeof i;
    ioctl(fd, SIOCOUTQ, &held);
    getsockopt(fd, IPPROTO_TCP, TCP_INFO, &i, &n);
    return static_cast<uint64_t>(held) + i.tcpi_bytes_acked;
}

// Eight peers stop reading at once (their sockets full, the unit holding replies back), a ninth
// reads 2 kB every 50 ms, and a tenth asks for state: each answer comes without the clock moving
// on, the first while the eight still hold their channels; within 3.1 s every stuck channel is
// dropped and told once, and each is answered once it connects again. The slow reader keeps its
// channel and gets every reply whole.
TEST_F(Bc2, EightPeersThatStopReadingKeepNobodyWaitingAndAreAnsweredOnceTheyConnectAgain) {
    constexpr int STUCK = 8, SLOW = 8, ASKER = 9;
    CommandTask task;
    BC2_init();
    ASSERT_TRUE(connectPeers((1u << PEERS) - 1, {CI, DK}, ASKER, 4096));
    ASSERT_TRUE(until([] { return comint_status() != 0; }, true));
    sim::step(100); // the command task looks for the multicast channel every 100 ms
    const auto pid = [](int k) { return static_cast<uint16_t>(PEER + k); };
    const auto echo = [&](int k) {
        return cimsg::message(0x0105, pid(k), OWN, 0, 0, cimsg::Bytes(480, 0x5A));
    };
    // Echoes of 480 bytes, one at a time, until the unit holds a reply back: what went into its
    // socket falls short of the replies.
    int echoes[STUCK + 1] = {};
    for (int k = 0; k <= SLOW; ++k) {
        const int unit = unitEndOf(ends[k][CI]);
        Bc2DebugPid d{};
        for (bool back = false; !back;) {
            ASSERT_LT(echoes[k], 400) << k;
            ASSERT_TRUE(sendWithin(ends[k][CI], echo(k), 5000));
            const int n = ++echoes[k];
            // its reply handed to the channel (or, failing, counted)
            ASSERT_TRUE(until([&] { return BC2_debugoutPID(pid(k), &d), d.cmdTxCnt + d.cmdTxErr == n; }));
            back = written(unit) < 500u * n;
        }
    }
    const uint64_t stuck = uint64_t{0xFF} << PEER;
    std::vector<uint8_t> slow;
    const auto readSlowly = [&](size_t most) {
        uint8_t b[2048];
        const ssize_t r = recv(ends[SLOW][CI], b, std::min(most, sizeof b), MSG_DONTWAIT);
        if (r > 0) slow.insert(slow.end(), b, b + r);
    };
    const uint64_t start = sim::ticks();
    for (uint32_t q = 0; sim::ticks() - start < 3100; ++q) {
        // answered with the clock standing still
        ASSERT_TRUE(sendWithin(ends[ASKER][CI], cimsg::message(0x0505, pid(ASKER), OWN, 0x700 + q, 0), 5000));
        cimsg::Bytes answer(CI_HEADER);
        ASSERT_TRUE(recvWithin(ends[ASKER][CI], answer.data(), answer.size(), 10000)) << q;
        EXPECT_EQ(answer, cimsg::message(0x0103, OWN, pid(ASKER), 0, 0x700 + q)) << q;
        if (q == 0) {
            EXPECT_EQ(comint_get_connect_mask() & stuck, stuck)
                << "the answer waited for the stuck peers' drops";
        }
        readSlowly(2048);
        stepOnline(50, (1u << PEERS) - 1); // they stay online
    }
    EXPECT_TRUE(until([&] { return (comint_get_connect_mask() & stuck) == 0; })) << "dropped within 3.1 s";
    EXPECT_TRUE(comint_get_connect_mask() >> pid(SLOW) & 1) << "the slow reader kept its channel";
    for (int k = 0; k < STUCK; ++k) {
        EXPECT_TRUE(endedWithin(ends[k][CI], 5000)) << k;
        Bc2DebugPid d{};
        BC2_debugoutPID(pid(k), &d);
        EXPECT_EQ(d.cmdTxErr, 1) << k;
        char told[64];
        std::snprintf(told, sizeof told, "Error sending comint cmd to PID 0x10 -> 0x%X", pid(k));
        EXPECT_EQ(countLogged(told), 1) << told;
    }
    // The slow reader's replies, each whole, all of them.
    until([&] { return readSlowly(65536), sim::step(5), slow.size() >= 500u * echoes[SLOW]; });
    cimsg::Bytes all;
    for (int i = 0; i < echoes[SLOW]; ++i)
        std::ranges::copy(cimsg::message(0x0106, OWN, pid(SLOW), 0, 0, cimsg::Bytes(480, 0x5A)),
                          back_inserter(all));
    EXPECT_TRUE(slow == all) << slow.size() << " bytes of " << all.size();
    // Back again, each stuck peer is answered.
    for (int k = 0; k < STUCK; ++k)
        std::erase(mine, ends[k][CI]), close(ends[k][CI]);
    ASSERT_TRUE(connectPeers(0xFF, {CI}));
    for (int k = 0; k < STUCK; ++k) {
        ASSERT_TRUE(sendWithin(ends[k][CI], cimsg::message(0x0105, pid(k), OWN, 0x51, 0x52, {7}), 5000));
        cimsg::Bytes answer(CI_HEADER + 1);
        ASSERT_TRUE(recvWithin(ends[k][CI], answer.data(), answer.size(), 5000)) << k;
        EXPECT_EQ(answer, cimsg::message(0x0106, OWN, pid(k), 0x52, 0x51, {7})) << k;
    }
}

// The same on the data channels: the sender of frames never waits for a peer that stopped reading,
// whose channel is dropped once its queue cannot take a frame; the other peer's records all arrive
// (what its socket did not take at once goes on as the clock runs).
TEST_F(Bc2, APeerThatStopsReadingLosesItsDataChannelWhileTheOtherGetsEveryRecord) {
    BC2_init();
    ASSERT_TRUE(connectPeers(0b11, {CI, DK}, 1, 4096));
    constexpr int ROUNDS = 200;
    std::atomic<bool> done{false};
    std::thread sender([&done] {
        const uint8_t entry[700] = {};
        for (int i = 0; i < ROUNDS; ++i)
            for (uint16_t pid : {PEER, OTHER}) {
                const uint8_t header[BC2_DK_HEADER] = {
                    0, static_cast<uint8_t>(pid), 700 >> 8, 700 & 0xFF, 0, 0, 0, 9};
                dyncom_send_eth(header, entry);
            }
        Dynkom_flush_eth(1);
        done = true;
    });
    // OTHER reads its records meanwhile; a sender held longer than 5 s is freed by closing the
    // stuck end, which ends that wait.
    int records = 0;
    bool freed = false;
    std::vector<uint8_t> stream;
    auto progress = std::chrono::steady_clock::now();
    while (!done || records < ROUNDS) {
        uint8_t b[4096];
        const ssize_t r = readable(ends[1][DK], 100) ? recv(ends[1][DK], b, sizeof b, MSG_DONTWAIT) : -1;
        if (r > 0) {
            stream.insert(stream.end(), b, b + r);
            progress = std::chrono::steady_clock::now();
        } else {
            sim::step(1);
        }
        for (size_t len; stream.size() >= BC2_DK_HEADER &&
                         stream.size() >= BC2_DK_HEADER + (len = stream[2] << 8 | stream[3]);) {
            records += stream[1] == OTHER;
            stream.erase(stream.begin(), stream.begin() + static_cast<long>(BC2_DK_HEADER + len));
        }
        if (std::chrono::steady_clock::now() - progress > std::chrono::seconds(5)) {
            if (done || freed) break;
            std::erase(mine, ends[0][DK]);
            close(ends[0][DK]);
            freed = true;
        }
    }
    sender.join();
    EXPECT_FALSE(freed) << "the sender waited for the stuck peer";
    EXPECT_EQ(records, ROUNDS);
    EXPECT_TRUE(droppedInTime(DK));
    EXPECT_TRUE(dk_get_connect_mask() >> OTHER & 1);
    if (!freed) {
        EXPECT_TRUE(endedWithin(ends[0][DK], 5000));
    }
    Bc2DebugPid d{};
    BC2_debugoutPID(PEER, &d);
    EXPECT_GE(d.dataTxErr, 1);
    EXPECT_EQ(countLogged("dyncom_send_eth():[0x11]"), 1);
}

// An echo (0x0105) or its answer (0x0106) numbered k: its number, then 476 bytes more.
cimsg::Bytes numberedEcho(uint16_t code, uint16_t from, uint16_t to, uint32_t k) {
    cimsg::Bytes payload = cimsg::fields({{k, 4}});
    payload.resize(480, static_cast<uint8_t>(k));
    return cimsg::message(code, from, to, 0, 0, payload);
}

// Peer k's command channel and the command task, the echoes' answers going back to it.
struct Asking {
    cimsg::Bytes answers; // what the peer should get, in order
    std::jthread sender;
    // Sends `n` numbered echoes as fast as the peer's socket takes them, from a thread of its own.
    Asking(Bc2& t, int k, uint32_t n) {
        const uint16_t pid = static_cast<uint16_t>(PEER + k);
        for (uint32_t i = 0; i < n; ++i)
            std::ranges::copy(numberedEcho(0x0106, OWN, pid, i), back_inserter(answers));
        sender = std::jthread([fd = t.ends[k][CI], pid, n] {
            for (uint32_t i = 0; i < n && sendWithin(fd, numberedEcho(0x0105, pid, OWN, i), 20000); ++i) {
            }
        });
    }
};

// Peer k, not reading, until its answers wait in its channel's queue and the unit reads no more of
// its stream (its count of messages received stays for 100 ms): from then on whatever the peer
// reads beyond what the sockets hold comes through the queue.
bool pileUp(int k) {
    const uint16_t pid = static_cast<uint16_t>(PEER + k);
    if (!until([pid] { return BC2_ciWaiting(pid) > 20000; })) return false;
    Bc2DebugPid d{};
    uint16_t last = 0;
    for (int still = 0; still < 5; usleep(20000)) {
        BC2_debugoutPID(pid, &d);
        still = d.cmdRxCnt == last ? still + 1 : 0;
        last = d.cmdRxCnt;
    }
    return true;
}

// Reads at most `most` bytes of what waits on `fd` into `got`, waiting a little for the first.
void readSome(int fd, cimsg::Bytes& got, size_t most) {
    uint8_t b[4096];
    if (!readable(fd, 20)) return;
    const ssize_t r = recv(fd, b, std::min(most, sizeof b), MSG_DONTWAIT);
    if (r > 0) got.insert(got.end(), b, b + r);
}

// A peer that asks faster than it reads (its echoes sent from a thread of its own, 300 kB of
// answers read 2 kB every 25 ms): the unit stops reading its channel while the answers wait and goes
// on as they go, so the peer keeps its channel for far longer than the stall limit and gets every
// answer, whole and in order; another peer's questions are answered meanwhile without the clock
// moving on.
TEST_F(Bc2, APeerThatAsksFasterThanItReadsIsHeldBackAndGetsEveryAnswerInOrder) {
    CommandTask task;
    BC2_init();
    ASSERT_TRUE(connectPeers(0b11, {CI}, 1, 4096));
    ASSERT_TRUE(until([] { return comint_status() != 0; }, true));
    sim::step(100); // the command task looks for the multicast channel every 100 ms
    Asking asking(*this, 0, 600);
    ASSERT_TRUE(pileUp(0));
    cimsg::Bytes got;
    const uint64_t start = sim::ticks();
    for (uint32_t round = 0; got.size() < asking.answers.size() && sim::ticks() - start < 20000; ++round) {
        readSome(ends[0][CI], got, 2048);
        if (round % 25 == 0) {
            ASSERT_TRUE(sendWithin(ends[1][CI], cimsg::message(0x0505, OTHER, OWN, round, 0), 5000));
            cimsg::Bytes answer(CI_HEADER);
            ASSERT_TRUE(recvWithin(ends[1][CI], answer.data(), answer.size(), 10000)) << round;
            EXPECT_EQ(answer, cimsg::message(0x0103, OWN, OTHER, 0, round)) << round;
        }
        ASSERT_TRUE(comint_get_connect_mask() >> PEER & 1) << "dropped after " << got.size() << " bytes";
        stepOnline(25);
    }
    EXPECT_GT(sim::ticks() - start, 3100u) << "read slower than the unit answers, beyond the stall limit";
    EXPECT_TRUE(got == asking.answers) << got.size() << " bytes of " << asking.answers.size();
    Bc2DebugPid d{};
    BC2_debugoutPID(PEER, &d);
    EXPECT_EQ(d.cmdTxErr, 0);
    EXPECT_FALSE(logged("Error sending comint cmd"));
}

// One peer stops reading while another reads slowly: the flusher serves each waiting channel in
// every pass, so the slow reader gets all of its answers, four times what its sockets hold, while
// the stuck channel still waits to be dropped for making no progress.
TEST_F(Bc2, EveryWaitingChannelIsServedInEveryPassWhileAnotherIsStuck) {
    CommandTask task;
    BC2_init();
    ASSERT_TRUE(connectPeers(0b11, {CI}, 2, 4096));
    ASSERT_TRUE(until([] { return comint_status() != 0; }, true));
    sim::step(100);
    for (uint32_t i = 0; i < 150; ++i) // 75 kB of answers: more than the stuck peer's sockets hold
        ASSERT_TRUE(sendWithin(ends[0][CI], numberedEcho(0x0105, PEER, OWN, i), 5000));
    ASSERT_TRUE(until([] { return BC2_ciWaiting(PEER) > 0; }));
    const uint64_t stuckSince = sim::ticks();
    Asking asking(*this, 1, 400);
    ASSERT_TRUE(pileUp(1));
    cimsg::Bytes got;
    while (got.size() < asking.answers.size() && sim::ticks() - stuckSince < 2500) {
        readSome(ends[1][CI], got, 2048);
        stepOnline(5);
    }
    EXPECT_TRUE(comint_get_connect_mask() >> PEER & 1) << "the stuck peer went too soon to tell";
    EXPECT_TRUE(got == asking.answers) << got.size() << " bytes of " << asking.answers.size()
                                       << ": the slow reader waited behind the stuck one";
    EXPECT_TRUE(droppedInTime(CI)) << "stuck, dropped";
}

// A peer restarts while answers wait for it: nothing that waited for the old connection goes on the
// new one, whose stream starts with a whole message.
TEST_F(Bc2, APeerThatReconnectsWhileAnswersWaitGetsAStreamThatStartsWithAWholeMessage) {
    CommandTask task;
    BC2_init();
    ASSERT_TRUE(connectPeers(0b1, {CI}, 1, 4096));
    ASSERT_TRUE(until([] { return comint_status() != 0; }, true));
    sim::step(100);
    Bc2DebugPid d{};
    for (uint32_t i = 0; BC2_ciWaiting(PEER) <= 0; ++i) {
        ASSERT_LT(i, 300u);
        ASSERT_TRUE(sendWithin(ends[0][CI], numberedEcho(0x0105, PEER, OWN, i), 5000));
        ASSERT_TRUE(until([&] { return BC2_debugoutPID(PEER, &d), d.cmdTxCnt == i + 1; }));
    }
    presence(0, 0); // restarted: its counter went back
    ASSERT_TRUE(until([] { return (comint_get_connect_mask() >> PEER & 1) == 0; }, true));
    std::erase(mine, ends[0][CI]);
    close(ends[0][CI]);
    ASSERT_TRUE(connectPeers(0b1, {CI}));
    ASSERT_TRUE(sendWithin(ends[0][CI], cimsg::message(0x0105, PEER, OWN, 0x51, 0x52, {7}), 5000));
    cimsg::Bytes first(CI_HEADER + 1);
    ASSERT_TRUE(recvWithin(ends[0][CI], first.data(), first.size(), 5000));
    EXPECT_EQ(first, cimsg::message(0x0106, OWN, PEER, 0x52, 0x51, {7}));
}

// The unit's own messages to a peer that stopped reading: what its channel's queue has no room for
// is lost, counted and told, and the channel stays; what was taken arrives whole and in order once
// the peer reads again in time.
TEST_F(Bc2, AMessageTheChannelHasNoRoomForIsLostAndCountedAndWhatWaitsArrivesWhole) {
    BC2_init();
    ASSERT_TRUE(connectPeers(0b1, {CI}, 1, 4096));
    cimsg::Bytes taken;
    int lost = 0;
    for (uint32_t k = 0; lost < 5; ++k) {
        ASSERT_LT(k, 1000u);
        const cimsg::Bytes m = numberedEcho(0x0F05, OWN, PEER, k);
        if (comint_put_eth(m.data()))
            std::ranges::copy(m, back_inserter(taken));
        else
            ++lost;
    }
    EXPECT_TRUE(comint_get_connect_mask() >> PEER & 1) << "the channel stays";
    Bc2DebugPid d{};
    BC2_debugoutPID(PEER, &d);
    EXPECT_EQ(d.cmdTxErr, 5);
    EXPECT_TRUE(logged("comint_put_eth() Error sending comint cmd to PID 0x10 -> 0x11, cmd 0xF05"));
    cimsg::Bytes got;
    EXPECT_TRUE(
        until([&] { return readSome(ends[0][CI], got, 65536), sim::step(5), got.size() >= taken.size(); }));
    EXPECT_TRUE(got == taken) << got.size() << " bytes of " << taken.size();
    EXPECT_TRUE(comint_get_connect_mask() >> PEER & 1);
}

// A data reader slower than its records come, as the offline sender's rounds offer them: a record
// whose frame the channel's queue has no room for stays with its sender (-1), the channel stays
// while the reader progresses, far past the stall limit, and every record taken arrives whole and in
// order.
TEST_F(Bc2, ADataReaderSlowerThanItsRecordsKeepsItsChannelAndGetsEveryRecordTaken) {
    BC2_init();
    ASSERT_TRUE(connectPeers(0b1, {CI, DK}, 1, 4096));
    constexpr uint32_t RECORDS = 600;
    uint32_t taken = 0, refused = 0, next = 0;
    cimsg::Bytes stream;
    bool inOrder = true;
    const auto take = [&] {
        for (size_t n; stream.size() >= BC2_DK_HEADER &&
                       stream.size() >= BC2_DK_HEADER + (n = stream[2] << 8 | stream[3]);) {
            inOrder = inOrder && n == 700 && cimsg::word(stream, BC2_DK_HEADER) == next++;
            stream.erase(stream.begin(), stream.begin() + static_cast<long>(BC2_DK_HEADER + n));
        }
    };
    const uint8_t header[BC2_DK_HEADER] = {0, PEER, 700 >> 8, 700 & 0xFF, 0, 0, 0, 9};
    const uint64_t start = sim::ticks();
    while (taken < RECORDS) {
        ASSERT_LT(sim::ticks() - start, 40000u);
        for (int i = 0; i < 20 && taken < RECORDS; ++i) { // one round of the sender
            uint8_t entry[700] = {};
            const cimsg::Bytes number = cimsg::fields({{taken, 4}});
            std::copy(number.begin(), number.end(), entry);
            if (dyncom_send_eth(header, entry) < 0) {
                ++refused;
                break;
            }
            ++taken;
        }
        Dynkom_flush_eth(1);
        readSome(ends[0][DK], stream, 2048);
        take();
        ASSERT_TRUE(dk_get_connect_mask() >> PEER & 1) << "dropped after " << next << " records";
        stepOnline(25, 0b1);
    }
    EXPECT_GT(sim::ticks() - start, 3100u) << "read slower than the records came, beyond the stall limit";
    EXPECT_GT(refused, 0u);
    EXPECT_TRUE(until([&] {
        Dynkom_flush_eth(1);
        readSome(ends[0][DK], stream, 65536), take();
        sim::step(5);
        return next >= taken;
    }));
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(next, taken);
    Bc2DebugPid d{};
    BC2_debugoutPID(PEER, &d);
    EXPECT_EQ(d.dataTxErr, 0);
}

// A peer speaks for itself and for units behind it, never for a unit this one hears itself (or for
// this unit): such messages on its channel are refused and counted. A datagram of the command
// multicast in a heard unit's name is taken only from that unit's address.
std::mutex sourcesLock;
std::vector<uint16_t> sources; // of the messages 0x0F05 served
TEST_F(Bc2, AMessageInTheNameOfAUnitThisOneHearsIsRefusedFromAnyoneElse) {
    CommandTask task;
    sources.clear();
    comint_setHandler(0x0F05, [](const uint8_t* m, size_t) {
        std::lock_guard<std::mutex> g(sourcesLock);
        sources.push_back(ci_header(m).source);
    });
    BC2_init();
    ASSERT_TRUE(connectPeers(0b11, {CI}));
    ASSERT_TRUE(until([] { return comint_status() != 0; }, true));
    sim::step(100);
    constexpr uint16_t BEHIND = 0x30, UNHEARD = 0x31;
    cimsg::Bytes stream;
    for (uint16_t as : {OTHER, OWN, BEHIND, OTHER, PEER})
        std::ranges::copy(cimsg::message(0x0F05, as, OWN, 0, 0), back_inserter(stream));
    ASSERT_TRUE(sendWithin(ends[0][CI], stream, 5000));
    const auto datagram = [&](uint32_t from, uint16_t as) {
        const int udp = testsupport::boundSocket(SOCK_DGRAM, from);
        const sockaddr_in to = testsupport::inetAddress(OWN_ADDR, BC2_PORT_CI_MC);
        const cimsg::Bytes m = cimsg::message(0x0F05, as, CI_PID_ALL, 0, 0);
        sendto(udp, m.data(), m.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        close(udp);
    };
    constexpr uint32_t ELSEWHERE = 0x7F000003;
    datagram(ELSEWHERE, PEER);
    datagram(ELSEWHERE, UNHEARD);
    datagram(PEER_ADDR, PEER);
    const std::vector<uint16_t> served{PEER, PEER, BEHIND, UNHEARD}; // in any order
    EXPECT_TRUE(until([] {
        sim::step(1);
        std::lock_guard<std::mutex> g(sourcesLock);
        return sources.size() >= 4;
    }));
    sim::step(10);
    {
        std::lock_guard<std::mutex> g(sourcesLock);
        std::ranges::sort(sources);
        EXPECT_EQ(sources, served);
    }
    Bc2DebugPid d{};
    BC2_debugoutPID(PEER, &d);
    EXPECT_EQ(d.cmdRxErr, 3);
    Bc2DebugGlob g{};
    BC2_debugoutGlob(&g);
    EXPECT_EQ(g.mcRxErr, 1);
    EXPECT_TRUE(logged("PID 0x11 sent cmd 0xF05 as PID 0x12, refused"));
    EXPECT_TRUE(logged("cmd 0xF05 as PID 0x11 from another address, refused"));
}

} // namespace
