// The XCP slave on loopback, in real time, against a tool in this process:
// - SHORT_UPLOAD round trip (p50, p99 in us);
// - upload of the whole working page (0x20000 bytes in 254-byte UPLOADs);
// - DAQ: four lists of four full ODTs, one on each event, every event each millisecond for
//   VYN_XCP_BENCH_SECONDS (default 60): DTOs per second, DTOs lost, gaps in their CTR, the
//   transmit queue's high-water mark.
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t PORT = 25919;
using clk = std::chrono::steady_clock;

int tool = -1;
sockaddr_in slave{};

void startUnit() {
    static bool started = [] {
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
        tool = socket(AF_INET, SOCK_DGRAM, 0);
        slave.sin_family = AF_INET, slave.sin_port = htons(PORT),
        slave.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return true;
    }();
    (void)started;
}

// Sends a command and waits for its response (DTOs on the way are skipped).
std::vector<uint8_t> cmd(std::vector<uint8_t> p) {
    p.insert(p.begin(), {static_cast<uint8_t>(p.size()), 0, 0, 0});
    sendto(tool, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&slave), sizeof slave);
    uint8_t buf[1024];
    for (;;) {
        pollfd f{tool, POLLIN, 0};
        if (poll(&f, 1, 200) != 1) return {};
        const ssize_t n = recv(tool, buf, sizeof buf, 0);
        if (n > 4 && buf[4] >= 0xFD) return std::vector<uint8_t>(buf + 4, buf + n);
    }
}

void connect() {
    startUnit();
    for (int i = 0; i < 50 && cmd({0xFF, 0}).empty(); ++i) { // until the slave's socket is bound
    }
}

void BM_ShortUploadRoundTrip(benchmark::State& state) {
    connect();
    std::vector<double> us;
    for (auto _ : state) {
        const auto t0 = clk::now();
        benchmark::DoNotOptimize(cmd({0xF4, 8, 0, 0, 0x00, 0x01, 0x02, 0x25}));
        us.push_back(std::chrono::duration<double, std::micro>(clk::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
}
BENCHMARK(BM_ShortUploadRoundTrip)->Iterations(20000);

void BM_UploadWorkingPage(benchmark::State& state) {
    connect();
    for (auto _ : state) {
        cmd({0xF6, 0, 0, 0, 0x00, 0x00, 0x02, 0x25});
        uint32_t got = 0;
        while (got < 0x20000) {
            const uint8_t n = static_cast<uint8_t>(std::min<uint32_t>(0xFE, 0x20000 - got));
            got += static_cast<uint32_t>(cmd({0xF5, n}).size()) - 1;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x20000);
}
BENCHMARK(BM_UploadWorkingPage)->Unit(benchmark::kMillisecond);

void BM_Daq1ms4FullLists(benchmark::State& state) {
    connect();
    cmd({0xD6}), cmd({0xD5, 0, 4, 0});
    for (uint8_t l = 0; l < 4; ++l)
        cmd({0xD4, 0, l, 0, 4});
    for (uint8_t l = 0; l < 4; ++l)
        for (uint8_t o = 0; o < 4; ++o) {
            cmd({0xD3, 0, l, 0, o, 1});
            cmd({0xE2, 0, l, 0, o, 0});
            cmd({0xE1, 0xFF, static_cast<uint8_t>(o ? 252 : 248), 0, 0, 0, 4, 0x25}); // the signal page
        }
    for (uint8_t l = 0; l < 4; ++l)
        cmd({0xE0, 0, l, 0, l, 0, 1, 0}), cmd({0xDE, 2, l, 0});
    cmd({0xDD, 1});
    const char* env = std::getenv("VYN_XCP_BENCH_SECONDS");
    const int ms = (env ? std::atoi(env) : 60) * 1000;
    std::atomic<bool> done{false};
    uint64_t dtos = 0, gaps = 0;
    std::thread rx([&] {
        uint8_t buf[2048];
        int expect = -1;
        while (!done) {
            pollfd f{tool, POLLIN, 0};
            if (poll(&f, 1, 100) != 1) continue;
            const ssize_t n = recv(tool, buf, sizeof buf, 0);
            for (ssize_t i = 0; i + 4 <= n; i += 4 + (buf[i] | buf[i + 1] << 8)) {
                const int ctr = buf[i + 2] | buf[i + 3] << 8;
                if (buf[i + 4] >= 0xFD) continue;
                if (expect >= 0 && ctr != expect) ++gaps;
                expect = (ctr + 1) & 0xFFFF;
                ++dtos;
            }
        }
    });
    int highWater = 0;
    for (auto _ : state) {
        auto next = clk::now();
        for (int t = 0; t < ms; ++t) {
            next += std::chrono::milliseconds(1);
            std::this_thread::sleep_until(next);
            for (int e = 0; e < 4; ++e)
                xcpSendDAQ(e);
            highWater = std::max(highWater, msgQNumMsgs(xcpCps[0].txQueue));
        }
    }
    xcpEthDtoFlush(&xcpCps[0]); // the packed rest, to the receiving thread alone
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
    rx.join();
    cmd({0xDD, 0});
    state.counters["DTOs_per_s"] = static_cast<double>(dtos) * 1000.0 / ms;
    state.counters["DTOs_lost"] = static_cast<double>(uint64_t{16} * static_cast<uint64_t>(ms) - dtos);
    state.counters["CTR_gaps"] = static_cast<double>(gaps);
    state.counters["queue_high_water"] = highWater;
}
BENCHMARK(BM_Daq1ms4FullLists)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
