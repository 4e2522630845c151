// The measurement server and the gateway inside one unit, on stepped time and without the
// device network (its address is on no interface, so its own commands are served locally):
// 100 lists of 117 four-byte values (the most a 480-byte list holds) at raster 0, of offline data
// (every entry kept, so a full buffer loses values), as the 1 ms soft scheduler copies them and
// the 1 ms raster hands them on.
// - meas_man_copy: values per second, time per value, allocations during the copies (C++ and
//   malloc; not counted in sanitizer builds), the time one call holds the raster's lock, and
//   beside it a memcpy of the same bytes into as many entries; the values lost, counted where the
//   unit counts them (the 10 ms raster) while the 1 ms raster hands the entries on after each copy;
// - gw_raster: entries handed to the client per second, and the time one call holds the
//   gateway's handle mutex, with 1 entry per list (the steady state) and 256 (a backlog).
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "comm/bc2/bc2.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/routing/routing.h"
#include "comm/sernet/sernet.h"
#include "platform/kmgr/appman.h"
#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<uint64_t> allocations{0};
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VYN_BENCH_SANITIZED 1
#endif
#endif
#if !defined(VYN_BENCH_SANITIZED) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VYN_COUNT_ALLOCATIONS 1
// The C++ allocations come here through libstdc++'s operator new.
extern "C" void* __libc_malloc(size_t);
extern "C" void* malloc(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
#endif

namespace {

constexpr uint16_t OWN = 0x25;
constexpr int LISTS = 100, VALUES = 117;
std::atomic<uint64_t> delivered{0};

int readEntry(uint32_t status, const void* entry, uintptr_t) {
    if (status == GW_OK && entry) delivered.fetch_add(1, std::memory_order_relaxed);
    return 1;
}
const gw_callbacks_t callbacks{
    {{nullptr, 0}, {readEntry, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};

void cycle() {
    gw_meas_monitoring();
    gw_request_timeout();
    sim::step(1);
}

// The unit with its lists running; false when they did not start.
bool startUnit() {
    static const bool running = [] {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
        syslog_queue_init();
        platform::Settings s;
        s.pid = OWN;
        s.ipv4 = 0xC0000263; // 192.0.2.99, on no interface
        platform::setSettings(s);
        kmgr::installAppManager();
        RtpManUsr_setIndex(0);
        AppMan_init();
        routing_ini();
        comint_ini();
        dynkomm_ini();
        SerNet_man_ini();
        seramInitializeOffsets();
        meascalinfo_init();
        meas_man_ini();
        gw_meas_ini();
        meas_man_setGatewaySink(&gw_measGatewaySink);
        meas_man_virtChan_registered();
        meas_man_CanIO_initialized();
        gw_meas_setHandlers();
        BC2_init();
        gw_client_t* client = gw_connect(&callbacks);
        int32_t words[VALUES + 3] = {-4};
        for (int i = 0; i < VALUES; ++i)
            words[1 + i] = 0x40000 + 4 * i;
        for (int l = 0; l < LISTS; ++l)
            gw_start_list(gw_setup_list(client, words, static_cast<uintptr_t>(l), sizeof words, 0, OWN, 1, 1,
                                        1, 512, 4 + 4 * VALUES, 0));
        for (int i = 0; i < 300; ++i)
            cycle();
        uint16_t out[19] = {};
        gw_debugoutPID(OWN, out);
        return out[7 + 5] == LISTS; // lists in state "running"
    }();
    return running;
}

uint32_t stamp = 0;

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// The reference: each list's value bytes copied whole after a stamp, into entries as large.
double memcpyPass(int passes) {
    constexpr size_t ENTRY = 4 + 4 * VALUES;
    static uint8_t entries[LISTS][ENTRY];
    const uint8_t* values = seram_memory + 0x40000;
    const auto t0 = std::chrono::steady_clock::now();
    for (int p = 0; p < passes; ++p)
        for (auto& e : entries) {
            std::memcpy(e, &stamp, 4);
            std::memcpy(e + 4, values, ENTRY - 4);
            benchmark::DoNotOptimize(e);
        }
    return seconds(t0);
}

void BM_MeasManCopy(benchmark::State& state) {
    if (!startUnit()) return state.SkipWithError("the lists did not start");
    constexpr int PASSES = 256;
    uint64_t allocated = 0, copies = 0;
    double reference = 0;
    for (auto _ : state) {
        double held = 0;
        for (int i = 0; i < PASSES; ++i) {
            const uint64_t before = allocations.load();
            const auto t0 = std::chrono::steady_clock::now();
            meas_man_copy(0, stamp += 10);
            held += seconds(t0);
            allocated += allocations.load() - before;
            gw_raster(0); // as the 1 ms raster hands the entries on, and the 10 ms one counts losses
            if (++copies % 10 == 0) meas_man_10ms();
        }
        state.SetIterationTime(held);
        reference += memcpyPass(PASSES);
    }
    for (int i = 0; i < 100; ++i) // the 10 ms raster sums the losses once in its hundred calls
        meas_man_10ms();
    const auto calls = static_cast<double>(state.iterations() * PASSES);
    using C = benchmark::Counter;
    state.counters["values_per_s"] = C(calls * LISTS * VALUES, C::kIsRate);
    state.counters["s_per_value"] = C(calls * LISTS * VALUES, C::kIsRate | C::kInvert);
    state.counters["lock_hold_s"] = C(calls, C::kIsRate | C::kInvert);
    state.counters["memcpy_us"] = reference * 1e6 / calls;
#ifdef VYN_COUNT_ALLOCATIONS
    state.counters["allocations"] = static_cast<double>(allocated);
#endif
    state.counters["data_loss"] = meas_man_get_data_loss_cnt();
}
BENCHMARK(BM_MeasManCopy)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_GwRaster(benchmark::State& state) {
    if (!startUnit()) return state.SkipWithError("the lists did not start");
    const auto backlog = static_cast<int>(state.range(0));
    delivered = 0;
    for (auto _ : state) {
        for (int i = 0; i < backlog; ++i)
            meas_man_copy(0, stamp += 10);
        const auto t0 = std::chrono::steady_clock::now();
        gw_raster(0);
        state.SetIterationTime(seconds(t0));
    }
    using C = benchmark::Counter;
    state.counters["entries_per_s"] = C(static_cast<double>(delivered.load()), C::kIsRate);
    state.counters["mutex_hold_s"] = C(static_cast<double>(state.iterations()), C::kIsRate | C::kInvert);
}
// The copies that fill a backlog are not timed but take most of the run: a fixed count.
BENCHMARK(BM_GwRaster)->UseManualTime()->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GwRaster)->UseManualTime()->Arg(256)->Iterations(500)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
