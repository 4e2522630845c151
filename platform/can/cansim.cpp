#include "platform/can/cansim.h"

#include "platform/kmgr/calls.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/settings/settings.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace cansim {

namespace {

// One controller's udp multicast bus: a member socket bound to its group that receives only
// that group (a socket bound to the port alone would also get the other controller's group).
struct UdpBus {
    int rx = -1;
    sockaddr_in group{};
};
struct State {
    std::mutex m;
    bool installed = false;
    MSG_Q_ID queue = nullptr;
    // (node, extended, identifier) -> receive-slot numbers
    std::multimap<std::tuple<uint8_t, bool, uint32_t>, uint32_t> slots;
    std::vector<Frame> sent;
    CanBitTiming timing[2]{};
    bool timed[2] = {false, false};
    bool active = false;
    FILE* pcap = nullptr;
    UdpBus udp[2];
    // Both controllers send from one socket: what arrives from its port and from the address the
    // route of the controller's group gives it is the unit's own frame. Another host's sender may
    // have the same port.
    int tx = -1;
    uint16_t ownPort = 0; // network order
    std::atomic<bool> ownKnown[2] = {false, false};
    std::atomic<uint32_t> ownAddr[2] = {0, 0}; // network order
    bool useUdp = false;
    std::atomic<bool> stop{false};
    std::thread rxThread;
};

State& S() {
    static State* s = new State;
    return *s;
}

uint64_t nowUsec() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void pcapWrite(State& s, const Frame& f) {
    if (!s.pcap) return;
    const std::vector<uint8_t> r = pcapRecord(f, nowUsec());
    std::fwrite(r.data(), 1, r.size(), s.pcap);
    std::fflush(s.pcap);
}

// Queues the frame for its slots; lock held.
bool deliver(State& s, const Frame& f) {
    if (!s.queue) return false;
    auto [lo, hi] = s.slots.equal_range({f.node, f.ext, f.id});
    bool any = false;
    for (auto it = lo; it != hi; ++it) {
        CanRxMsg msg{};
        msg.slot = it->second;
        msg.dlc = canBytesDlc(f.len);
        std::memcpy(msg.data, f.data, f.len > 64 ? 64 : f.len);
        any = msgQSend(s.queue, &msg, sizeof msg, NO_WAIT, MSG_PRI_NORMAL) == OK || any;
    }
    return any;
}

intptr_t registerRx(const intptr_t* a) {
    State& s = S();
    const intptr_t node = a[1];
    if (node < 0 || node > 1) return -1;
    std::lock_guard<std::mutex> g(s.m);
    const bool ext = a[2] != 0;
    const uint32_t id = static_cast<uint32_t>(a[3]) & (ext ? 0x1FFFFFFFu : 0x7FFu);
    s.slots.emplace(std::make_tuple(static_cast<uint8_t>(node), ext, id), static_cast<uint32_t>(a[4]));
    return 0;
}

// The source address the kernel gives a datagram to the controller's group, learnt before the
// controller's first frame leaves (without a route there is none, and nothing can be sent).
bool learnSource(State& s, int node) {
    if (s.ownKnown[node]) return true;
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in own{};
    socklen_t ownLen = sizeof own;
    const sockaddr_in& to = s.udp[node].group;
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLen) == 0;
    if (fd >= 0) close(fd);
    if (!ok) return false;
    s.ownAddr[node] = own.sin_addr.s_addr;
    s.ownKnown[node] = true;
    return true;
}

intptr_t transmit(const intptr_t* a) {
    State& s = S();
    const intptr_t node = a[0];
    const uint32_t dlc = static_cast<uint32_t>(a[3]);
    const bool fd = a[5] != 0;
    if (node < 0 || node > 1 || dlc > 15 || (!fd && dlc > 8) || (dlc && !a[4])) return -1;
    Frame f;
    f.node = static_cast<uint8_t>(node);
    f.ext = a[1] != 0;
    f.id = static_cast<uint32_t>(a[2]) & (f.ext ? 0x1FFFFFFFu : 0x7FFu);
    f.fd = fd;
    f.brs = fd && (a[6] & 1);
    f.len = canDlcBytes(dlc);
    if (f.len) std::memcpy(f.data, reinterpret_cast<const void*>(a[4]), f.len);
    std::lock_guard<std::mutex> g(s.m);
    s.sent.push_back(f);
    if (s.sent.size() > 100000) s.sent.erase(s.sent.begin(), s.sent.begin() + 50000); // nobody reads them
    pcapWrite(s, f);
    if (s.useUdp) {
        const std::vector<uint8_t> d = encodeUdp(f, static_cast<double>(nowUsec()) / 1e6);
        const sockaddr_in& to = s.udp[f.node].group;
        if (!learnSource(s, f.node)) return -1;
        if (sendto(s.tx, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
            return -1;
    }
    return 0;
}

intptr_t bitTimingCall(const intptr_t* a) {
    State& s = S();
    const intptr_t node = a[1];
    const auto* r = reinterpret_cast<CanBitTiming*>(a[2]);
    if (node < 0 || node > 1 || !r) return -1;
    // What a controller of this kind can run: 10 kbit/s to 1 Mbit/s, a sample point inside
    // the bit, a jump width of 1 to 4 time quanta.
    if (r->baudrate < 10000 || r->baudrate > 1000000 || !(r->samplepoint > 0.5f && r->samplepoint < 1.0f) ||
        (r->sjw & 0xFF) < 1 || (r->sjw & 0xFF) > 4)
        return -1;
    std::lock_guard<std::mutex> g(s.m);
    s.timing[node] = *r;
    s.timed[node] = true;
    if (r->samplepointUsed) *r->samplepointUsed = r->samplepoint;
    if (r->sjwUsed) *r->sjwUsed = static_cast<uint8_t>(r->sjw);
    return 0;
}

intptr_t activate(const intptr_t*) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.active = true;
    return 0;
}

void closeUdp(State& s) {
    s.stop = true;
    if (s.rxThread.joinable()) s.rxThread.join();
    for (UdpBus& b : s.udp) {
        if (b.rx >= 0) close(b.rx);
        b = UdpBus{};
    }
    if (s.tx >= 0) close(s.tx);
    s.tx = -1;
    s.ownKnown[0] = s.ownKnown[1] = false;
    s.useUdp = false;
}

bool fail(std::string* error, const std::string& what) {
    *error = "CAN bus " + what + ": " + std::strerror(errno);
    return false;
}

bool openMember(UdpBus& b, int node, uint32_t group, uint16_t port, std::string* error) {
    b.group.sin_family = AF_INET;
    b.group.sin_addr.s_addr = htonl(group);
    b.group.sin_port = htons(port);
    const int one = 1, zero = 0;
    ip_mreq mreq{};
    mreq.imr_multiaddr = b.group.sin_addr;
    const std::string what = std::to_string(node) + ": udp multicast ";
    b.rx = socket(AF_INET, SOCK_DGRAM, 0);
    if (b.rx < 0) return fail(error, what + "socket");
    if (setsockopt(b.rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(b.rx, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        return fail(error, what + "reuse");
    if (bind(b.rx, reinterpret_cast<const sockaddr*>(&b.group), sizeof b.group) != 0)
        return fail(error, what + "bind");
    if (setsockopt(b.rx, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0 ||
        setsockopt(b.rx, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) != 0)
        return fail(error, what + "join");
    return true;
}

bool openUdp(State& s, const platform::Settings& cfg, std::string* error) {
    if (!openMember(s.udp[0], 0, cfg.canGroup0, cfg.canPort, error) ||
        !openMember(s.udp[1], 1, cfg.canGroup1, cfg.canPort, error))
        return false;
    const unsigned char ttl = 1, loop = 1; // other units and tools on this host take part
    sockaddr_in own{};
    own.sin_family = AF_INET;
    socklen_t ownLen = sizeof own;
    s.tx = socket(AF_INET, SOCK_DGRAM, 0);
    if (s.tx < 0 || setsockopt(s.tx, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
        setsockopt(s.tx, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0 ||
        bind(s.tx, reinterpret_cast<const sockaddr*>(&own), sizeof own) != 0 ||
        getsockname(s.tx, reinterpret_cast<sockaddr*>(&own), &ownLen) != 0)
        return fail(error, "udp multicast sender");
    s.ownPort = own.sin_port;
    return true;
}

void udpReceive(State* s) {
    pollfd fds[2] = {{s->udp[0].rx, POLLIN, 0}, {s->udp[1].rx, POLLIN, 0}};
    uint8_t buf[2048];
    while (!s->stop) {
        if (poll(fds, 2, 100) <= 0) continue;
        for (int node = 0; node < 2; ++node) {
            if (!(fds[node].revents & POLLIN)) continue;
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n =
                recvfrom(fds[node].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n <= 0) continue;
            if (from.sin_port == s->ownPort && s->ownKnown[node] && from.sin_addr.s_addr == s->ownAddr[node])
                continue; // our own frame
            Frame f;
            if (!decodeUdp(buf, static_cast<size_t>(n), &f)) continue;
            f.node = static_cast<uint8_t>(node);
            std::lock_guard<std::mutex> g(s->m);
            pcapWrite(*s, f);
            deliver(*s, f);
        }
    }
}

} // namespace

bool install(unsigned index, std::string* error) {
    uninstall();
    State& s = S();
    const platform::Settings& cfg = platform::settings();
    char name[64];
    std::snprintf(name, sizeof name, "%s_%u", CAN_RX_QUEUE, index);
    MSG_Q_ID q = msgQOpen(name, CAN_RX_QUEUE_MSGS, sizeof(CanRxMsg), MSG_Q_FIFO, OM_CREATE);
    if (!q) {
        *error = std::string("cannot create the CAN receive queue ") + name;
        return false;
    }
    CanRxMsg stale;
    while (msgQReceive(q, &stale, sizeof stale, NO_WAIT) > 0) {
    }
    std::lock_guard<std::mutex> g(s.m);
    s.queue = q;
    if (!cfg.canPcap.empty()) {
        s.pcap = std::fopen(cfg.canPcap.c_str(), "wb");
        if (!s.pcap) {
            *error = "cannot write the CAN pcap file " + cfg.canPcap;
            return false;
        }
        const std::vector<uint8_t> h = pcapHeader();
        std::fwrite(h.data(), 1, h.size(), s.pcap);
        std::fflush(s.pcap);
    }
    if (cfg.canUdp) {
        if (!openUdp(s, cfg, error)) {
            closeUdp(s);
            return false;
        }
        s.useUdp = true;
        s.stop = false;
        s.rxThread = std::thread(udpReceive, &s);
    }
    kmgr::setHandler(KCALL_CAN_REGISTER_RX, registerRx);
    kmgr::setHandler(KCALL_CAN_TRANSMIT, transmit);
    kmgr::setHandler(KCALL_CAN_BITTIMING, bitTimingCall);
    kmgr::setHandler(KCALL_CAN_ACTIVATE, activate);
    s.installed = true;
    return true;
}

void uninstall() {
    State& s = S();
    for (unsigned n : {KCALL_CAN_REGISTER_RX, KCALL_CAN_TRANSMIT, KCALL_CAN_BITTIMING, KCALL_CAN_ACTIVATE})
        kmgr::setHandler(n, nullptr);
    closeUdp(s); // outside the lock: the receiver takes it
    std::lock_guard<std::mutex> g(s.m);
    if (s.pcap) std::fclose(s.pcap);
    s.pcap = nullptr;
    s.slots.clear();
    s.sent.clear();
    s.timed[0] = s.timed[1] = false;
    s.active = false;
    s.queue = nullptr;
    s.installed = false;
}

bool inject(const Frame& f) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    pcapWrite(s, f);
    return deliver(s, f);
}

std::vector<Frame> takeSent() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    std::vector<Frame> out;
    out.swap(s.sent);
    return out;
}

bool bitTiming(int node, uint32_t* baudrate, float* samplepoint, uint32_t* sjw) {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (node < 0 || node > 1 || !s.timed[node]) return false;
    *baudrate = s.timing[node].baudrate;
    *samplepoint = s.timing[node].samplepoint;
    *sjw = s.timing[node].sjw & 0xFF;
    return true;
}

bool activated() {
    State& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.active;
}

} // namespace cansim
