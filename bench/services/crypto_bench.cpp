// Throughput of the CRC-32 (MB/s), next to zlib's crc32 on the same buffers.
#include "services/checksum/crc.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

template <typename Fn> void throughput(benchmark::State& state, Fn fn) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    std::mt19937 rng(1);
    for (auto& x : data)
        x = static_cast<uint8_t>(rng());
    for (auto _ : state) {
        fn(data.data(), data.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_crc32_bsd(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc32_bsd(p, n)); });
}
void BM_zlib_crc32(benchmark::State& s) {
    throughput(s, [](uint8_t* p, size_t n) { benchmark::DoNotOptimize(crc32(0, p, static_cast<uInt>(n))); });
}

} // namespace

BENCHMARK(BM_crc32_bsd)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_zlib_crc32)->Arg(4096)->Arg(1 << 20);

BENCHMARK_MAIN();
