// Latency from the 1 ms base tick to the start of the 1 ms raster's body, in real time,
// next to the host's own 1 ms timer latency measured the same way, and the base ticks
// that were lost (merged because the notify task came too late). Run time per measurement:
// --duration=SECONDS (default 60).
#include "services/raster/raster.h"
#include "services/raster/raster_private.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace {

int gSeconds = 60;

int64_t hostNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Summary {
    double p50Us, p99Us, maxUs;
    size_t samples;
};

Summary summarise(std::vector<int64_t> ns) {
    Summary s{0, 0, 0, ns.size()};
    if (ns.empty()) return s;
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) {
        return static_cast<double>(ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]) / 1000.0;
    };
    s.p50Us = at(0.50);
    s.p99Us = at(0.99);
    s.maxUs = static_cast<double>(ns.back()) / 1000.0;
    return s;
}

// ---- base tick to r1ms ------------------------------------------------------------------
// The base tick is a binary semaphore: a give while the previous one is still pending is
// merged into it, and that tick is lost. Every other give leaves a token, which the notify
// task turns into one release of the 1 ms raster; release k of the probe thus belongs to
// token k, counted from the token of its first run.
constexpr size_t RING = 1 << 16;
std::atomic<int64_t> tokenAt[RING];
std::atomic<uint64_t> tokens{0};
std::atomic<uint64_t> firstToken{0};
std::atomic<bool> measuring{false};
std::atomic<uint64_t> lost{0};
std::atomic<uint64_t> bunched{0};     // ticks the simulated clock issued late, in a burst
std::atomic<uint64_t> lostInBurst{0}; // of those, merged because they came microseconds apart
int64_t prevTickNs = 0;               // clock thread only
std::atomic<uint64_t> runs{0};
std::vector<int64_t> probeNs; // written by the probe raster's task only
constexpr uint64_t WARMUP = 200;

void probe(int) {
    const int64_t now = hostNs();
    const uint64_t k = runs.fetch_add(1);
    if (k == 0) {
        firstToken = tokens.load() - 1;
        measuring = true;
    }
    const int64_t at = tokenAt[(firstToken.load() + k) % RING].load();
    if (k >= WARMUP && k - WARMUP < probeNs.size()) probeNs[k - WARMUP] = now - at;
}

void baseTick(SEM_ID base) {
    const int64_t now = hostNs();
    const bool burst = prevTickNs && now - prevTickNs < 100000;
    if (burst && measuring) ++bunched;
    prevTickNs = now;
    SEM_INFO info{};
    semInfoGet(base, &info);
    if (info.count == 0 || info.numWaiting > 0) {
        tokenAt[tokens.load() % RING] = now;
        ++tokens;
    } else if (measuring) {
        ++(burst ? lostInBurst : lost);
    }
    semGive(base);
}

struct RasterResult {
    Summary lat;
    uint64_t lost;
    uint64_t bunched;
    uint64_t lostInBurst;
};

RasterResult measureRaster(int seconds) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Realtime, std::time(nullptr));
    SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
    // What the platform does in the unit: give the base tick every millisecond.
    const int hook = sim::addTickHook([base](uint64_t) { baseTick(base); });
    probeNs.assign(static_cast<size_t>(seconds) * 1000, -1);
    runs = 0;
    lost = 0;
    bunched = 0;
    lostInBurst = 0;
    measuring = false;
    sim::startRealtime();
    raster_initializeStep0();
    raster_hookFunction("probe", 29, 1, probe, 0x80000, RASTER_ANY_CPU, 30);
    raster_initializeStep1();

    std::this_thread::sleep_for(std::chrono::seconds(seconds) + std::chrono::milliseconds(WARMUP));
    sim::removeTickHook(hook);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the last releases run
    raster_reset();
    sim::stopRealtime();

    std::vector<int64_t> ns;
    for (int64_t v : probeNs)
        if (v >= 0) ns.push_back(v);
    return {summarise(std::move(ns)), lost.load(), bunched.load(), lostInBurst.load()};
}

// ---- the host's own 1 ms timer ------------------------------------------------------------
Summary measureHostTimer(int seconds) {
    std::vector<int64_t> ns;
    ns.reserve(static_cast<size_t>(seconds) * 1000);
    int64_t next = hostNs() + 1000000;
    const int64_t end = next + static_cast<int64_t>(seconds) * 1000000000;
    while (next < end) {
        timespec ts{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        ns.push_back(hostNs() - next);
        next += 1000000;
    }
    return summarise(std::move(ns));
}

void report(benchmark::State& st, const char* what, const Summary& s) {
    st.counters["p50_us"] = s.p50Us;
    st.counters["p99_us"] = s.p99Us;
    st.counters["max_us"] = s.maxUs;
    st.counters["samples"] = static_cast<double>(s.samples);
    std::printf("%-28s p50 %8.1f us  p99 %8.1f us  max %8.1f us  (%zu samples)\n", what, s.p50Us, s.p99Us,
                s.maxUs, s.samples);
}

void BM_BaseTickToR1msBody(benchmark::State& st) {
    RasterResult r{};
    for (auto _ : st)
        r = measureRaster(gSeconds);
    report(st, "base tick -> r1ms body:", r.lat);
    st.counters["ticks_lost"] = static_cast<double>(r.lost);
    st.counters["ticks_bunched"] = static_cast<double>(r.bunched);
    st.counters["ticks_lost_in_burst"] = static_cast<double>(r.lostInBurst);
    std::printf("%-28s %llu%s\n", "base ticks lost:", static_cast<unsigned long long>(r.lost),
                r.lost == 0 ? "" : "  FAIL: must be 0");
    std::printf("%-28s %llu, %llu of them merged (the host held up the simulated clock, which then\n"
                "%-28s caught up with ticks microseconds apart)\n",
                "base ticks bunched:", static_cast<unsigned long long>(r.bunched),
                static_cast<unsigned long long>(r.lostInBurst), "");
}

void BM_HostTimer1ms(benchmark::State& st) {
    Summary s{};
    for (auto _ : st)
        s = measureHostTimer(gSeconds);
    report(st, "host clock_nanosleep 1 ms:", s);
}

BENCHMARK(BM_BaseTickToR1msBody)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_HostTimer1ms)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--duration=", 11) == 0)
            gSeconds = std::max(1, std::atoi(argv[i] + 11));
        else
            rest.push_back(argv[i]);
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
