// Throughput of the CRC-32 next to zlib's crc32 on the same 4 KB and 1 MB buffers.
#include "bench/paired.h"
#include "services/checksum/crc.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

void BM_crc32_bsd(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    std::mt19937 rng(1);
    for (auto& x : data)
        x = static_cast<uint8_t>(rng());
    const int reps = std::max(1, (1 << 16) / static_cast<int>(data.size())); // well above the clock's cost
    bench::paired(
        state, "zlib", "speed",
        [&] {
            for (int i = 0; i < reps; ++i)
                benchmark::DoNotOptimize(crc32_bsd(data.data(), data.size()));
        },
        [&] {
            for (int i = 0; i < reps; ++i)
                benchmark::DoNotOptimize(crc32(0, data.data(), static_cast<uInt>(data.size())));
        });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * reps * state.range(0));
}

} // namespace

BENCHMARK(BM_crc32_bsd)->Arg(4096)->Arg(1 << 20)->UseManualTime();

BENCHMARK_MAIN();
