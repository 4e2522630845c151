// The display application's benchmarks (page_bench.cpp); the PNG decoder's are bench_gui's.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
