// Channel functions: one meas call per board-input type (the curve with 16 breakpoints), the
// formula engine on 20 tokens, the cyclic call of condition evaluation, condition combination
// and a 20-token formula, and the soft scheduler's pass over the call lists of 256 curve
// measurements when all ten rasters run.
#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/awm/awm_private.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "platform/os/sim.h"
#include "vyn/vartable.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <vector>

namespace {

template <class T> void put(std::vector<uint8_t>& b, uint32_t off, T v) {
    std::memcpy(b.data() + off, &v, sizeof v);
}

std::vector<uint8_t> dataset(uint16_t type) {
    const uint16_t len = type == 1   ? 96
                         : type == 2 ? 220
                         : type == 3 ? 116
                         : type == 5 ? 92
                         : type == 6 ? 84
                                     : 184;
    std::vector<uint8_t> b(len);
    put<uint16_t>(b, 0, AWM_HEAD_TAG), put<uint16_t>(b, 2, len), put<uint16_t>(b, 4, type);
    put<uint16_t>(b, 8, 3), put<float>(b, 20, 10), put<float>(b, 36, 1);
    put<uint16_t>(b, len - 2u, AWM_FOOT_TAG);
    const uint32_t curveAt = type == 0x12 ? 40 : 76;
    if (type == 2 || type == 0x12) {
        put<uint16_t>(b, curveAt, 16);
        for (uint32_t i = 0; i < 16; ++i)
            put<float>(b, curveAt + 4 + 4 * i, 300.0f * static_cast<float>(i)),
                put<float>(b, curveAt + 68 + 4 * i, static_cast<float>(i * i));
    }
    if (type == 3) put<uint16_t>(b, 76, 6);
    if (type == 1) put<float>(b, 80, 40), put<float>(b, 88, 1e9f);
    if (type == 5) put<float>(b, 76, 4), put<float>(b, 84, 2000);
    if (type == 6) put<float>(b, 76, 60);
    return b;
}

// `count` datasets of each type code into the data page, and the manager started on them.
void load(const std::vector<uint16_t>& types, int count) {
    awm_man_reset();
    seram_reset();
    uint32_t at = VTADDR_CfgMat_VC_config;
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t> d = dataset(types[static_cast<size_t>(i) % types.size()]);
        std::memcpy(seram_memory + at, d.data(), d.size());
        at += static_cast<uint32_t>(d.size());
        const uint16_t bc = static_cast<uint16_t>(0x0101 + i % 16);
        std::memcpy(seram_memory + VTADDR_CfgMat_Board_Channel + 2 * i, &bc, 2);
    }
    awm_man_ini();
}

void BM_Meas(benchmark::State& state) {
    const auto type = static_cast<uint16_t>(state.range(0));
    hwsim::installBoard();
    adc_fifo_reset(true);
    hwsim::setAdcChannel(0, 2.0);
    adc_fifo_inputPass();
    load({type}, 1);
    void* out = nullptr;
    void* m = awm_man_AWM_setupMeasure(awm_vc_id(0, 1), 0, &out);
    const awm_entry_t* t = awm_tab(type);
    void* handle = m ? static_cast<awm_meas_ctx*>(m)->handle : nullptr;
    if (!handle) state.SkipWithError("refused");
    for (auto _ : state)
        if (handle) t->meas(handle, 0);
    awm_man_AWM_shutdownMeasure(m);
    awm_man_reset();
    adc_fifo_reset(false);
}
BENCHMARK(BM_Meas)->Arg(0x01)->Arg(0x02)->Arg(0x03)->Arg(0x05)->Arg(0x06)->Arg(0x12);

void BM_Formula20Tokens(benchmark::State& state) {
    // in1 in2 + in3 * in4 - ... : 20 tokens with an integral and a maximum hold.
    const uint8_t ops[20] = {0x10, 0x11, 0x20, 0x12, 0x22, 0x13, 0x21, 0xA1, 0x10, 0x26,
                             0x11, 0x27, 0xA6, 0x00, 0x22, 0x12, 0x32, 0x20, 0x13, 0x23};
    std::vector<uint8_t> tokens(100);
    for (int i = 0; i < 20; ++i)
        tokens[5 * i] = ops[i];
    const float two = 2.0f;
    std::memcpy(&tokens[5 * 13 + 1], &two, 4);
    double cells[2] = {};
    awm_upn_mem mem{0, cells, awm_man_upn_memsize(tokens.data(), 100)};
    awm_man_upn_init(tokens.data(), 100, &mem);
    uint32_t ts = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            awm_man_upn_calc(tokens.data(), 100, 6, &mem, ts, ts + 10, 1.5, 2.5, 3.5, 4.5, 0));
        ts += 10;
    }
}
BENCHMARK(BM_Formula20Tokens);

// cyclicCall of the logic types on delivered float inputs: a debounced and blinking comparison,
// a combination of sixteen inputs, and a cyclic formula of 20 tokens over four inputs.
std::vector<awm_input_buf*> delivered;
std::vector<uint8_t> logicDataset(uint16_t type) {
    const uint16_t len = type == 0x0C ? 152 : type == 0x0D ? 532 : 300;
    std::vector<uint8_t> b(len);
    put<uint16_t>(b, 0, AWM_HEAD_TAG), put<uint16_t>(b, 2, len), put<uint16_t>(b, 4, type);
    put<uint16_t>(b, 8, 6), put<float>(b, 20, 1), put<float>(b, 36, 1);
    put<uint16_t>(b, len - 2u, AWM_FOOT_TAG);
    auto ref = [&](uint32_t off) {
        put<uint32_t>(b, off, 1), put<float>(b, off + 12, 1), put<float>(b, off + 28, 1);
        put<uint16_t>(b, off + 32, 6);
    };
    if (type == 0x0C) {
        ref(40);
        const uint32_t p[6] = {50, 0x42C80000u /* 100.0f */, 30, 200, 100, 1};
        for (uint32_t i = 0; i < 6; ++i)
            put<uint32_t>(b, 112 + 4 * i, p[i]);
        b[144] = 6, b[145] = 4, b[146] = 1;
    } else if (type == 0x0D) {
        for (uint32_t k = 0; k < 16; ++k)
            put<uint32_t>(b, 40 + 4 * k, 1), put<uint16_t>(b, 488 + 2 * k, 6);
        put<uint16_t>(b, 520, 0x5555), put<uint16_t>(b, 522, 200), put<uint16_t>(b, 524, 100), b[526] = 1;
    } else {
        for (uint32_t i = 0; i < 4; ++i)
            ref(40 + 36 * i);
        put<float>(b, 184, -1e9f), put<float>(b, 188, 1e9f), put<uint16_t>(b, 292, 3);
        const uint8_t ops[20] = {0x10, 0x11, 0x20, 0x12, 0x22, 0x13, 0x21, 0xA1, 0x10, 0x26,
                                 0x11, 0x27, 0xA6, 0x00, 0x22, 0x12, 0x32, 0x20, 0x13, 0x23};
        for (uint32_t i = 0; i < 20; ++i)
            b[192 + 5 * i] = ops[i];
        put<float>(b, 192 + 5 * 13 + 1, 2.0f);
    }
    return b;
}

void BM_CyclicCall(benchmark::State& state) {
    const auto type = static_cast<uint16_t>(state.range(0));
    delivered.clear();
    awm_gw_setStandIn([](const uint8_t* ref, awm_input_buf* buf, uint16_t) {
        if (ref) delivered.push_back(buf);
    });
    awm_man_reset();
    seram_reset();
    const std::vector<uint8_t> d = logicDataset(type);
    std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, d.data(), d.size());
    awm_man_ini();
    void* inst = awm_man_get_cfg_by_chan(0)->instance;
    const awm_entry_t* t = awm_tab(type);
    float v = 150.0f;
    uint32_t raw;
    std::memcpy(&raw, &v, 4);
    for (awm_input_buf* b : delivered)
        awm_gw_deliver(b, raw);
    if (!inst) state.SkipWithError("no instance");
    uint32_t ts = 0;
    for (auto _ : state)
        if (inst) t->cyclicCall(inst, ts += 10);
    awm_man_reset();
    awm_gw_setStandIn(nullptr);
}
BENCHMARK(BM_CyclicCall)->Arg(0x0C)->Arg(0x0D)->Arg(0x10);

// 256 curve datasets, each measured at every raster (2560 handles, 2560 filters).
void BM_SchedulerWorstPass(benchmark::State& state) {
    hwsim::installBoard();
    adc_fifo_reset(true);
    load({0x02}, AWM_VC_MAX);
    softSched_setCallees({awm_sched_call, [](int, uint32_t) {}, awm_man_adjust});
    std::vector<void*> started;
    for (uint16_t idx = 0; idx < AWM_VC_MAX; ++idx)
        for (uint16_t r = 0; r < AWM_RASTERS; ++r) {
            void* out;
            started.push_back(awm_man_AWM_setupMeasure(awm_vc_id(idx, 0), r, &out));
        }
    for (auto _ : state) {
        state.PauseTiming();
        softSchedSyncTo100ms(10000); // the next pass counts 1000: all ten rasters
        adc_fifo_inputPass();
        state.ResumeTiming();
        softSched_step();
    }
    for (void* m : started)
        awm_man_AWM_shutdownMeasure(m);
    awm_man_reset();
    adc_fifo_reset(false);
}
BENCHMARK(BM_SchedulerWorstPass);

} // namespace

int main(int argc, char** argv) {
    sim::configure(sim::TimeMode::Stepped, std::time(nullptr));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
