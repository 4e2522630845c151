// The XCP slave's DAQ on loopback in real time: one list of 16 full ODTs on the 1 ms event for
// VYN_XCP_BENCH_SECONDS (default 10), and in the same 1 ms loop a reference that sends the same
// datagrams (sixteen per event, each a lone frame of 259 bytes) from a socket of its own.
// Counters: DTOs lost of each, and the counts missing in the slave's counter.
#include "calibration/memory/seram.h"
#include "calibration/xcp/xcp_private.h"
#include "platform/kmgr/appman.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t PORT = 25919;

// A socket on loopback and what reached it: DTO frames, and the counts their counters skipped.
struct Receiver {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    uint64_t dtos = 0, missing = 0;
    int expect = -1;
    Receiver() {
        at.sin_family = AF_INET, at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof at;
        bind(fd, reinterpret_cast<sockaddr*>(&at), n);
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &n);
        const int big = 8 << 20; // beyond the host's limit for root only
        setsockopt(fd, SOL_SOCKET, geteuid() ? SO_RCVBUF : SO_RCVBUFFORCE, &big, sizeof big);
    }
    // One datagram, when there is one: true when it held a response.
    bool read() {
        uint8_t b[65536];
        const ssize_t n = recv(fd, b, sizeof b, MSG_DONTWAIT);
        bool response = false;
        for (ssize_t i = 0; i + 4 <= n; i += 4 + (b[i] | b[i + 1] << 8)) {
            const int ctr = b[i + 2] | b[i + 3] << 8;
            if (expect >= 0) missing += static_cast<uint16_t>(ctr - expect);
            expect = (ctr + 1) & 0xFFFF;
            response |= b[i + 4] >= 0xFD;
            dtos += b[i + 4] < 0xFD;
        }
        return response;
    }
};

Receiver* tool;

// A command as the receive task hands it on, from the tool; its response waits at the tool.
void cmd(std::vector<uint8_t> p) {
    p.insert(p.begin(), {static_cast<uint8_t>(p.size()), 0, 0, 0});
    xcpEthDatagram(&xcpCps[0], p.data(), static_cast<uint32_t>(p.size()), &tool->at);
}

void BM_Daq1ms16FullOdts(benchmark::State& state) {
    sim::configure(sim::TimeMode::Realtime, std::time(nullptr));
    sim::startRealtime();
    syslog_queue_init();
    platform::Settings s;
    s.pid = 0x25, s.xcpPort = PORT;
    platform::setSettings(s);
    kmgr::installAppManager();
    RtpManUsr_setIndex(0), AppMan_init();
    seramInitializeOffsets();
    xcpInitialize();
    tool = new Receiver;
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the transport's tasks run
    cmd({0xFF, 0});
    cmd({0xD5, 0, 1, 0}), cmd({0xD4, 0, 0, 0, 16});
    for (uint8_t o = 0; o < 16; ++o) // the signal page
        cmd({0xD3, 0, 0, 0, o, 1}), cmd({0xE2, 0, 0, 0, o, 0}),
            cmd({0xE1, 0xFF, static_cast<uint8_t>(o ? 252 : 248), 0, 0, 0, 4, 0x25});
    cmd({0xE0, 0, 0, 0, 2, 0, 1, 0}), cmd({0xDE, 2, 0, 0}), cmd({0xDD, 1});
    tool->dtos = 0;

    Receiver ref;
    const int refOut = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<uint8_t> datagram(259);
    datagram[0] = 255;
    const char* env = std::getenv("VYN_XCP_BENCH_SECONDS");
    const int events = (env ? std::atoi(env) : 10) * 1000;
    std::atomic<bool> done{false};
    std::thread rx([&] {
        for (pollfd f[2] = {{tool->fd, POLLIN, 0}, {ref.fd, POLLIN, 0}}; !done;)
            if (poll(f, 2, 100) > 0) (f[0].revents ? tool : &ref)->read();
    });
    uint16_t ctr = 0;
    for (auto _ : state) {
        auto next = std::chrono::steady_clock::now();
        for (int t = 0; t < events; ++t) {
            std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
            xcpSendDAQ(2);
            for (int f = 0; f < 16; ++f, ++ctr) { // the reference
                datagram[2] = static_cast<uint8_t>(ctr), datagram[3] = static_cast<uint8_t>(ctr >> 8);
                sendto(refOut, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&ref.at),
                       sizeof ref.at);
            }
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
    rx.join();
    cmd({0xDD, 0}); // its counter shows the DTOs lost at the end too
    for (pollfd f{tool->fd, POLLIN, 0}; poll(&f, 1, 200) == 1 && !tool->read();) {
    }
    state.counters["DTOs_lost"] = static_cast<double>(16 * events - static_cast<int64_t>(tool->dtos));
    state.counters["CTR_missing"] = static_cast<double>(tool->missing);
    state.counters["ref_DTOs_lost"] = static_cast<double>(16 * events - static_cast<int64_t>(ref.dtos));
}
BENCHMARK(BM_Daq1ms16FullOdts)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
