// OS-layer mutex take/give pairs next to std::mutex lock/unlock: uncontended on one task, and
// 16 tasks contending for one mutex (cost per pair over the whole run), in real time.
#include "bench/paired.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <benchmark/benchmark.h>

#include <latch>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int PAIRS = 1000;
constexpr int TASKS = 16;
constexpr int PAIRS_EACH = 20000;

SEM_ID osMutex() {
    static SEM_ID m = [] {
        sim::configure(sim::TimeMode::Realtime, 1700000000);
        return semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    }();
    return m;
}

std::mutex stdMutex;
volatile uint64_t shared = 0; // the critical section's work

// glibc locks a mutex without atomic operations while the process has never had a second
// thread; the unit always has many, so the reference is timed once a second one has run.
void leaveSingleThreaded() {
    static const bool once = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)once;
}

void BM_MutexUncontended(benchmark::State& state) {
    leaveSingleThreaded();
    SEM_ID m = osMutex();
    bench::paired(
        state, "std_mutex", "time",
        [m] {
            for (int i = 0; i < PAIRS; ++i) {
                semTake(m, WAIT_FOREVER);
                shared = shared + 1;
                semGive(m);
            }
        },
        [] {
            for (int i = 0; i < PAIRS; ++i) {
                std::lock_guard<std::mutex> g(stdMutex);
                shared = shared + 1;
            }
        });
    state.counters["pairs"] = PAIRS;
}
BENCHMARK(BM_MutexUncontended)->UseManualTime()->Unit(benchmark::kMicrosecond);

// 16 OS tasks, released together, each taking and giving the mutex PAIRS_EACH times.
void contendOs() {
    SEM_ID m = osMutex();
    static SEM_ID go = semCCreate(SEM_Q_FIFO, 0);
    std::vector<TASK_ID> tasks;
    for (int t = 0; t < TASKS; ++t)
        tasks.push_back(taskSpawnFn("contender", 100, 0, 65536, [m] {
            semTake(go, WAIT_FOREVER);
            for (int i = 0; i < PAIRS_EACH; ++i) {
                semTake(m, WAIT_FOREVER);
                shared = shared + 1;
                semGive(m);
            }
        }));
    for (int t = 0; t < TASKS; ++t)
        semGive(go);
    for (TASK_ID t : tasks)
        taskWaitExit(t, WAIT_FOREVER);
}

void contendStd() {
    std::latch go(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < TASKS; ++t)
        threads.emplace_back([&go] {
            go.wait();
            for (int i = 0; i < PAIRS_EACH; ++i) {
                std::lock_guard<std::mutex> g(stdMutex);
                shared = shared + 1;
            }
        });
    go.count_down();
    for (auto& t : threads)
        t.join();
}

void BM_Mutex16Tasks(benchmark::State& state) {
    bench::paired(state, "std_mutex", "time", contendOs, contendStd);
    state.counters["pairs"] = TASKS * PAIRS_EACH;
}
BENCHMARK(BM_Mutex16Tasks)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
