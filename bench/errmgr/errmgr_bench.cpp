// How long error_mgr_set holds the error manager's mutex, alone and with 16 OS-layer tasks
// reporting at once. Every activation and deactivation is forwarded to event logging under the
// mutex; a drain task empties the event queue meanwhile, as the "EventService" raster would.
//
// Alone, a call's time is the hold time plus taking and giving the free mutex. Under contention
// the mutex serialises the calls, so wall time / calls (busy_ns_per_call) is the hold time plus
// the hand-over to the next waiting task; latency is what a caller waits in all.
#include "logging/eventlog/eventlog.h"
#include "platform/nvmem/nvmem.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "services/errmgr/errmgr.h"
#include "services/errmgr/errmgr_private.h"
#include "services/nvram/nvram.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

int64_t hostNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Unit {
    std::string dir;
    Unit() {
        sim::configure(sim::TimeMode::Realtime, std::time(nullptr));
        sim::startRealtime();
        char tmpl[] = "/tmp/vyn_errbench_XXXXXX";
        if (!mkdtemp(tmpl) || !nvmem::install(tmpl) || nvram_dbs_init() != 1) std::abort();
        dir = tmpl;
        if (error_mgr_init() != 1) std::abort();
    }
    ~Unit() {
        nvmem::uninstall();
        std::filesystem::remove_all(dir);
    }
};

Unit& unit() {
    static Unit u;
    return u;
}

uint8_t powerGood() {
    return 1;
}

// One task's share: set and clear its own path alternately, recording each call's latency.
void reporter(int path, int calls, int64_t* latency) {
    for (int i = 0; i < calls; ++i) {
        const int64_t t0 = hostNs();
        if (i % 2 == 0)
            error_mgr_set(path, ERROR_MGR_ERR_TYPE_MIN, 0);
        else
            error_mgr_clear(path);
        latency[i] = hostNs() - t0;
    }
}

void BM_SetAlone(benchmark::State& state) {
    unit();
    error_mgr_setPowerGoodSource(powerGood);
    int i = 0;
    for (auto _ : state) {
        if (i++ % 2 == 0)
            error_mgr_set(ERROR_MGR_PATH_ANA01, ERROR_MGR_ERR_TYPE_MIN, 0);
        else
            error_mgr_clear(ERROR_MGR_PATH_ANA01);
        if (i % 32 == 0) eventlogging_service_10ms(); // keep the queue from filling
    }
}
BENCHMARK(BM_SetAlone)->Unit(benchmark::kNanosecond);

void BM_SetContended(benchmark::State& state) {
    unit();
    error_mgr_setPowerGoodSource(powerGood);
    const int tasks = static_cast<int>(state.range(0));
    constexpr int CALLS = 5000;
    std::vector<int64_t> latency(static_cast<size_t>(tasks) * CALLS);
    for (auto _ : state) {
        std::atomic<int> done{0};
        std::atomic<bool> draining{true};
        taskSpawnFn("t_drain", 60, 0, 0, [&draining] {
            while (draining)
                eventlogging_service_10ms();
        });
        const int64_t t0 = hostNs();
        for (int t = 0; t < tasks; ++t)
            taskSpawnFn(("t_report" + std::to_string(t)).c_str(), 100, 0, 0, [t, &done, &latency] {
                reporter(ERROR_MGR_PATH_ANA01 + t, CALLS, latency.data() + static_cast<size_t>(t) * CALLS);
                ++done;
            });
        while (done < tasks)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const int64_t wall = hostNs() - t0;
        draining = false;
        state.SetIterationTime(static_cast<double>(wall) / 1e9);
        state.counters["busy_ns_per_call"] = static_cast<double>(wall) / static_cast<double>(latency.size());
    }
    std::sort(latency.begin(), latency.end());
    const auto at = [&](double q) {
        return static_cast<double>(
                   latency[static_cast<size_t>(q * static_cast<double>(latency.size() - 1))]) /
               1000.0;
    };
    state.counters["p50_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = at(1.0);
    state.counters["dropped_events"] = static_cast<double>(eventlogging_dropped());
}
BENCHMARK(BM_SetContended)->Arg(16)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
