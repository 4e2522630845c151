// Analog inputs: the base tick to the slot at the soft scheduler (input task wake, sixteen
// inputs and four speeds stored, scheduler woken) in real time, with the largest backlog
// (ss_delay) seen; and the scheduler's pass on a stored slot with every raster's call list
// reading all sixteen inputs 16 times (a full set of 256 board-input channel functions), on
// an ordinary tick count and on one divisible by 1000, where all ten rasters run.
// Real-time run: --duration=SECONDS (default 20).
#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "platform/hw/board_sim.h"
#include "platform/os/os.h"
#include "platform/os/sim.h"
#include "vyn/vartable.h"

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

int64_t hostNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

volatile float sink;

// 256 channel functions reading a board input.
void fullCallList(uint16_t, uint32_t) {
    float sum = 0;
    for (int i = 0; i < 16; ++i)
        for (uint16_t ch = 0; ch < 16; ++ch)
            sum += adc_get_adc_unfil_avg10(ch) + adc_get_adcchannel_sync(ch);
    sink = sum;
}
void noCopy(int, uint32_t) {}
void noAdjust() {}

void schedulerPass(benchmark::State& state, bool allRasters) {
    hwsim::installBoard();
    adc_fifo_reset(true);
    softSched_setCallees({fullCallList, noCopy, noAdjust});
    for (auto _ : state) {
        state.PauseTiming();
        if (allRasters) softSchedSyncTo100ms(10000); // the next pass counts 1000
        adc_fifo_inputPass();
        state.ResumeTiming();
        softSched_step();
    }
    adc_fifo_reset(false);
}
void BM_SchedulerPass(benchmark::State& s) {
    schedulerPass(s, false);
}
void BM_SchedulerPassAllRasters(benchmark::State& s) {
    schedulerPass(s, true);
}
BENCHMARK(BM_SchedulerPass);
BENCHMARK(BM_SchedulerPassAllRasters);

// ---- base tick to the slot at the scheduler, real time ----------------------------------
constexpr size_t RING = 1 << 16;
std::atomic<int64_t> tickAt[RING];
std::vector<int64_t> latencyNs; // scheduler task only
std::atomic<uint16_t> maxDelay{0};

void stamped(uint16_t raster, uint32_t ts) {
    if (raster != 0) return;
    latencyNs.push_back(hostNs() - tickAt[(ts / 10) % RING].load());
    if (ss_delay > maxDelay) maxDelay = ss_delay;
}

void tickToSlot(int seconds) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Realtime, std::time(nullptr));
    hwsim::installBoard();
    adc_fifo_reset(false);
    latencyNs.reserve(static_cast<size_t>(seconds) * 1000 + 1000);
    softSched_setCallees({stamped, noCopy, noAdjust});
    adc_fifo_ini();
    start_softSched();
    // As the 1 ms raster: the slot of tick k is stamped 10 k (the stand-in measurement time).
    const int hook = sim::addTickHook([](uint64_t tick) {
        tickAt[tick % RING] = hostNs();
        adc_fifo_1ms();
    });
    sim::startRealtime();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    sim::removeTickHook(hook);
    adc_filter_stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim::stopRealtime();
    std::vector<int64_t> ns(latencyNs.begin() + std::min<size_t>(latencyNs.size(), 100), latencyNs.end());
    std::sort(ns.begin(), ns.end());
    if (ns.empty()) return;
    auto us = [&](double q) {
        return ns[static_cast<size_t>(q * static_cast<double>(ns.size() - 1))] / 1000.0;
    };
    std::printf("base tick -> slot at the scheduler: %zu slots, p50 %.1f us, p99 %.1f us, max %.1f us; "
                "ss_delay max %u\n",
                ns.size(), us(0.5), us(0.99), ns.back() / 1000.0, static_cast<unsigned>(maxDelay.load()));
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 20;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--duration=", 11) == 0)
            seconds = std::max(1, std::atoi(argv[i] + 11));
        else
            rest.push_back(argv[i]);
    }
    int n = static_cast<int>(rest.size());
    sim::configure(sim::TimeMode::Stepped, std::time(nullptr));
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tickToSlot(seconds);
    return 0;
}
