// The double store: one persisted slot write (a durable write of the image file) and one
// record read from RAM (two CRCs and a copy).
#include "platform/nvmem/nvmem.h"
#include "services/nvram/nvram.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// The store over an image in a temporary directory, removed at exit.
struct Bench {
    std::string dir;
    Bench() {
        char tmpl[] = "/tmp/vyn_nvbench_XXXXXX";
        if (!mkdtemp(tmpl) || !nvmem::install(tmpl) || nvram_dbs_init() != 1) std::abort();
        dir = tmpl;
        for (const nvram_elem_t* e : {&nvram_lapfunc, &nvram_Annotation_Elem}) {
            uint8_t rec[256] = {1, 2, 3};
            nvram_dbs_write(e->id, 0, rec, e->size);
        }
    }
    ~Bench() {
        nvmem::uninstall();
        std::filesystem::remove_all(dir);
    }
};

Bench& bench() {
    static Bench b;
    return b;
}

void BM_SlotPersist(benchmark::State& state) {
    bench();
    const nvram_elem_t& e = state.range(0) == 20 ? nvram_lapfunc : nvram_Annotation_Elem;
    uint8_t rec[256] = {};
    for (auto _ : state) {
        rec[0]++;
        if (nvram_dbs_write(e.id, 0, rec, e.size) != static_cast<int>(e.size))
            state.SkipWithError("write failed");
    }
}
BENCHMARK(BM_SlotPersist)->Arg(20)->Arg(256)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RecordRead(benchmark::State& state) {
    bench();
    const nvram_elem_t& e = state.range(0) == 20 ? nvram_lapfunc : nvram_Annotation_Elem;
    uint8_t rec[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(nvram_dbs_read(e.id, 0, rec, e.size));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RecordRead)->Arg(20)->Arg(256)->Unit(benchmark::kNanosecond);

} // namespace

BENCHMARK_MAIN();
