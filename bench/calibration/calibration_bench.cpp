// Costs on the measuring path: one value through a handle (native, big-endian, converted),
// one name lookup, and the checksums over the whole reference page.
#include "calibration/conv/conv.h"
#include "calibration/meas/seram_meas.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "services/checksum/crc.h"

#include <benchmark/benchmark.h>

namespace {

void copyThrough(benchmark::State& state, const seramMeasHandle& h, bool bigEndian) {
    uint8_t out[8];
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        (bigEndian ? seramMeasCopy_bigEndian : seramMeasCopy)(out, size, &h);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

seramMeasHandle memoryHandle() {
    seramInitializeOffsets();
    seramMeasHandle h;
    seramMeasSetupMeas(0x25040010, 0, &h); // ana01
    return h;
}

void BM_HandleCopyNative(benchmark::State& s) {
    copyThrough(s, memoryHandle(), false);
}
void BM_HandleCopyBigEndian(benchmark::State& s) {
    copyThrough(s, memoryHandle(), true);
}

void BM_HandleCopyConversion(benchmark::State& state) {
    static int16_t signal = -1234;
    static convEntry_t entry{&signal, 0, CONV_S16, static_cast<uint8_t>(state.range(0))};
    static const uint32_t count = 1;
    static const convRule_t rule{0.01f, -5.0f};
    conv_reset();
    entry.rule = 0;
    entry.outType = static_cast<uint8_t>(state.range(0));
    convTable_t table{&entry, &count, &rule};
    convRegisterVirtualMeasTable(0, &table);
    seramMeasHandle h;
    seramMeasSetupMeas(0x25800000, 0, &h);
    uint8_t out[4];
    for (auto _ : state) {
        seramMeasCopy(out, 4, &h);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_NameLookup(benchmark::State& state) {
    meascalinfo_reset();
    meascalinfo_init();
    uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(meascalinfo_getInfo(labelNames[i]));
        i = i + 1 == meascalinfo_rowCount ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ChecksumRefPage(benchmark::State& state) {
    seramInitializeOffsets();
    for (auto _ : state)
        benchmark::DoNotOptimize(seramBuildChksum(0, SERAM_PAGE_SIZE));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SERAM_PAGE_SIZE);
}

void BM_DatasetCrc(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(crc16_ibm_accu(seram_memory, SERAM_DATASET_SIZE, 0));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SERAM_DATASET_SIZE);
}

} // namespace

BENCHMARK(BM_HandleCopyNative)->Arg(1)->Arg(4)->Arg(8);
BENCHMARK(BM_HandleCopyBigEndian)->Arg(2)->Arg(4)->Arg(8);
BENCHMARK(BM_HandleCopyConversion)->Arg(CONV_U16)->Arg(CONV_S32)->Arg(CONV_F32);
BENCHMARK(BM_NameLookup);
BENCHMARK(BM_ChecksumRefPage)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DatasetCrc)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
