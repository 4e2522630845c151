// XCP DAQ of a running unit, as a tool sees it: one list of 16 full ODTs on the 1 ms event (2),
// sent by the unit's own 1 ms raster, for SECONDS. Beside it in the same run, a reference sends
// the same datagrams (sixteen lone frames of 4 + 255 bytes every 1 ms) from a thread of its own,
// at the class of the unit's XCP tasks, to a second socket of the same receiver: what both lose
// is the receiver's, what only the unit loses is the unit's.
//
//   bench_xcp PORT PID SECONDS [rt]
//
// Prints one JSON object: DTOs received, the counts missing in the packet counter (DTOs lost),
// the gaps they make, and the same of the reference. rt: the receiver and the reference run
// under SCHED_FIFO (the receiver at the top, the reference at the XCP tasks' class).
#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr int ODTS = 16;
constexpr int FRAME = 4 + 255; // a full ODT's DTO alone in its datagram
// The unit's XCP tasks (125) as its OS layer maps RTOS priorities onto SCHED_FIFO 1..98.
constexpr int XCP_TASK_CLASS = 98 - 125 * 97 / 255;

// The frames of one socket and the counts their counters skipped.
struct Stream {
    int fd = -1;
    uint64_t dtos = 0, missing = 0, gaps = 0;
    int expect = -1;
    bool counting = false;

    // Every frame of one datagram; the packet of its last response or event (0 for none).
    uint8_t take(const uint8_t* b, ssize_t n) {
        uint8_t response = 0;
        for (ssize_t i = 0; i + 4 <= n; i += 4 + (b[i] | b[i + 1] << 8)) {
            const int ctr = b[i + 2] | b[i + 3] << 8;
            if (counting && expect >= 0 && ctr != expect) {
                missing += static_cast<uint16_t>(ctr - expect);
                ++gaps;
            }
            expect = (ctr + 1) & 0xFFFF;
            if (i + 4 < n && b[i + 4] >= 0xFD)
                response = b[i + 4];
            else if (counting)
                ++dtos;
        }
        return response;
    }
};

int openSocket(sockaddr_in* at) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    at->sin_family = AF_INET, at->sin_addr.s_addr = htonl(INADDR_LOOPBACK), at->sin_port = 0;
    socklen_t n = sizeof *at;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(at), n) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(at), &n) != 0) {
        std::perror("socket");
        std::exit(2);
    }
    // Root may go beyond the host's limit; both sockets get the same.
    const int big = 32 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    return fd;
}

void fifo(int priority) {
    sched_param sp{};
    sp.sched_priority = priority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0)
        std::fprintf(stderr, "bench_xcp: no SCHED_FIFO %d\n", priority);
}

struct Master {
    Stream unit;
    sockaddr_in slave{};
    uint16_t ctr = 0;

    void send(std::vector<uint8_t> p) {
        p.insert(p.begin(), {static_cast<uint8_t>(p.size()), 0, static_cast<uint8_t>(ctr),
                             static_cast<uint8_t>(ctr >> 8)});
        ++ctr;
        sendto(unit.fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&slave), sizeof slave);
    }
    // The next datagram of the unit's socket within `ms`; its response, 0 for none, -1 timed out.
    int receive(int ms) {
        pollfd f{unit.fd, POLLIN, 0};
        if (poll(&f, 1, ms) != 1) return -1;
        uint8_t b[65536];
        const ssize_t n = recv(unit.fd, b, sizeof b, 0);
        return n < 0 ? -1 : unit.take(b, n);
    }
    // A command and its positive response; anything else ends the run.
    void cmd(std::vector<uint8_t> p) {
        const uint8_t code = p[0];
        send(std::move(p));
        for (int r;;) {
            if ((r = receive(2000)) == 0xFF) return;
            if (r == 0xFE || r < 0) {
                std::fprintf(stderr, "bench_xcp: command 0x%02X %s\n", code,
                             r < 0 ? "unanswered" : "refused");
                std::exit(1);
            }
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_xcp PORT PID SECONDS [rt]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const uint8_t pid = static_cast<uint8_t>(std::strtoul(argv[2], nullptr, 0));
    const int seconds = std::atoi(argv[3]);
    const bool rt = argc > 4 && std::strcmp(argv[4], "rt") == 0;

    Master m;
    sockaddr_in unitAt{}, refAt{};
    m.unit.fd = openSocket(&unitAt);
    Stream ref;
    ref.fd = openSocket(&refAt);
    m.slave.sin_family = AF_INET, m.slave.sin_port = htons(static_cast<uint16_t>(port));
    m.slave.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    m.cmd({0xFF, 0});                            // CONNECT
    m.cmd({0xD6});                               // FREE_DAQ
    m.cmd({0xD5, 0, 1, 0});                      // ALLOC_DAQ 1
    m.cmd({0xD4, 0, 0, 0, ODTS});                // ALLOC_ODT list 0, 16
    for (uint8_t o = 0; o < ODTS; ++o) {         // one entry each, as large as the ODT holds
        const uint32_t at = 0x040000 + o * 252u; // the signal page
        m.cmd({0xD3, 0, 0, 0, o, 1});
        m.cmd({0xE2, 0, 0, 0, o, 0});
        m.cmd({0xE1, 0xFF, static_cast<uint8_t>(o ? 252 : 248), 0, static_cast<uint8_t>(at),
               static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at >> 16), pid});
    }
    m.cmd({0xE0, 0, 0, 0, 2, 0, 1, 0}); // SET_DAQ_LIST_MODE: event 2, prescaler 1
    m.cmd({0xDE, 2, 0, 0});             // select
    if (rt) fifo(sched_get_priority_max(SCHED_FIFO) - 1);
    m.unit.counting = ref.counting = true;

    std::atomic<bool> sending{true};
    uint64_t refSent = 0;
    std::thread refSender([&] {
        if (rt) fifo(XCP_TASK_CLASS);
        const int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        uint8_t d[FRAME] = {255, 0};
        uint16_t c = 1;
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (sending.load(std::memory_order_relaxed)) {
            next.tv_nsec += 1000000;
            if (next.tv_nsec >= 1000000000) next.tv_nsec -= 1000000000, ++next.tv_sec;
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
            for (int f = 0; f < ODTS; ++f, ++c, ++refSent) {
                d[2] = static_cast<uint8_t>(c), d[3] = static_cast<uint8_t>(c >> 8),
                d[4] = static_cast<uint8_t>(f);
                sendto(out, d, sizeof d, 0, reinterpret_cast<sockaddr*>(&refAt), sizeof refAt);
            }
        }
        close(out);
    });

    m.cmd({0xDD, 1}); // START_STOP_SYNCH: start
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    uint8_t b[65536];
    for (pollfd f[2] = {{m.unit.fd, POLLIN, 0}, {ref.fd, POLLIN, 0}};
         std::chrono::steady_clock::now() < end;) {
        if (poll(f, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i)
            if (f[i].revents & POLLIN) {
                const ssize_t n = recv(f[i].fd, b, sizeof b, MSG_DONTWAIT);
                if (n > 0) (i ? ref : m.unit).take(b, n);
            }
    }
    sending = false;
    refSender.join();
    // The stop's response counts after every DTO before it: a loss at the end is a gap too.
    m.cmd({0xDD, 0});
    for (pollfd f{ref.fd, POLLIN, 0}; poll(&f, 1, 200) == 1;) {
        const ssize_t n = recv(ref.fd, b, sizeof b, MSG_DONTWAIT);
        if (n > 0) ref.take(b, n);
    }
    m.unit.counting = false;
    m.cmd({0xFE}); // DISCONNECT
    const uint64_t refLost = refSent - ref.dtos;
    std::printf("{\"dtos\": %llu, \"lost\": %llu, \"gaps\": %llu, \"ref_dtos\": %llu, \"ref_lost\": %llu, "
                "\"ref_gaps\": %llu}\n",
                static_cast<unsigned long long>(m.unit.dtos), static_cast<unsigned long long>(m.unit.missing),
                static_cast<unsigned long long>(m.unit.gaps), static_cast<unsigned long long>(ref.dtos),
                static_cast<unsigned long long>(refLost), static_cast<unsigned long long>(ref.gaps));
    return 0;
}
