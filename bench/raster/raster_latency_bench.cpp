// Real time: lateness of the start of the 1 ms raster's body behind the ideal 1 ms grid of its
// base tick, next to the host's own clock_nanosleep 1 ms loop measured from its grid, and the
// base ticks that were never released. --duration=SECONDS (default 60) per measurement.
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

void report(benchmark::State& st, const char* what, std::vector<int64_t> ns) {
    if (ns.empty()) return st.SkipWithError("no samples");
    std::sort(ns.begin(), ns.end());
    auto us = [&](double q) {
        return static_cast<double>(ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))]) / 1000.0;
    };
    st.counters["p50_us"] = us(0.50);
    st.counters["p99_us"] = us(0.99);
    st.counters["max_us"] = us(1.0);
    st.counters["samples"] = static_cast<double>(ns.size());
    std::printf("%-26s p50 %8.1f us  p99 %8.1f us  max %8.1f us  (%zu samples)\n", what, us(0.5), us(0.99),
                us(1.0), ns.size());
}

// ---- base tick to r1ms ------------------------------------------------------------------
// Every tick releases the 1 ms raster once, in order. The clock is stopped before and after the
// measured run and the notify task brought level with it, so the releases of the run belong to
// exactly the ticks of the run: release j to tick first + j. The tick hook records when each
// tick was due.
constexpr size_t RING = 1 << 20;
std::vector<int64_t> dueAt(RING); // by tick, written by the tick hook
std::vector<int64_t> startAt;     // by release, written by the probe
std::atomic<uint64_t> runs{0};

void probe(int) {
    const int64_t now = hostNs();
    const uint64_t k = runs.load(std::memory_order_relaxed);
    if (k < startAt.size()) startAt[k] = now;
    runs.store(k + 1, std::memory_order_release);
}

// Stops the clock and lets the notify task release every tick made so far; the tick reached.
uint64_t level(SEM_ID base) {
    sim::stopRealtime();
    semGive(base);
    uint64_t seen;
    do {
        seen = runs.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (runs.load() != seen);
    return sim::ticks();
}

void BM_BaseTickToR1msBody(benchmark::State& st) {
    std::vector<int64_t> late;
    uint64_t lost = 0;
    for (auto _ : st) {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Realtime, std::time(nullptr));
        SEM_ID base = semOpen("/BASETICK0", SEM_TYPE_BINARY, 0, SEM_Q_PRIORITY, OM_CREATE);
        sim::setBaseTick(base);
        const int hook = sim::addTickHook([](uint64_t tick) { dueAt[tick % RING] = sim::tickDueNs(); });
        startAt.assign(static_cast<size_t>(gSeconds) * 1000 + 10000, 0);
        runs = 0;
        sim::startRealtime();
        raster_initializeStep0();
        raster_hookFunction("r1ms", 29, 1, probe, 0x80000, RASTER_ANY_CPU, 30);
        raster_initializeStep1();
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // warm-up

        const uint64_t first = level(base) + 1;
        const uint64_t r0 = runs.load();
        sim::startRealtime();
        std::this_thread::sleep_for(std::chrono::seconds(gSeconds));
        const uint64_t last = level(base);
        const uint64_t released = runs.load() - r0;
        raster_reset();
        sim::removeTickHook(hook);
        sim::setBaseTick(nullptr);

        const uint64_t ticks = last + 1 - first;
        lost = ticks > released ? ticks - released : 0;
        late.clear();
        for (uint64_t j = 0; j < released && j < ticks && r0 + j < startAt.size(); ++j)
            late.push_back(startAt[r0 + j] - dueAt[(first + j) % RING]);
    }
    report(st, "base tick -> r1ms body:", std::move(late));
    st.counters["ticks_lost"] = static_cast<double>(lost);
    std::printf("%-26s %llu\n", "base ticks lost:", static_cast<unsigned long long>(lost));
}

// ---- the host's own 1 ms timer ------------------------------------------------------------
void BM_HostTimer1ms(benchmark::State& st) {
    std::vector<int64_t> late;
    for (auto _ : st) {
        late.clear();
        int64_t next = hostNs() + 1000000;
        const int64_t end = next + static_cast<int64_t>(gSeconds) * 1000000000;
        for (; next < end; next += 1000000) {
            const timespec ts{static_cast<time_t>(next / 1000000000), static_cast<long>(next % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            late.push_back(hostNs() - next);
        }
    }
    report(st, "host clock_nanosleep 1 ms:", std::move(late));
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
