// GUI toolkit: the fill rate of a full-screen rectangle, next to memset over the same frame buffer.
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "platform/display/displaysim.h"
#include "platform/hw/hw.h"
#include "platform/os/sim.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <unistd.h>

namespace {

// The toolkit, set up once on the benchmark's thread, which plays the GUI task; its shared
// memory goes at exit.
GuiScreen* gui() {
    static struct Gui {
        GuiScreen* screen;
        Gui() {
            sim::stopRealtime();
            sim::configure(sim::TimeMode::Stepped, 1700000000);
            const uint32_t index = 5000 + static_cast<uint32_t>(getpid()) % 10000;
            displaysim::install(index);
            scrndrvSetRtpIndex(index);
            hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 3);
            GuiStartup();
            screen = GuiThing::mpScreen;
        }
        ~Gui() { displaysim::uninstall(); }
    } g;
    return g.screen;
}

void pixelRate(benchmark::State& state) {
    state.counters["Gpixel/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 1024 * 480 / 1e9, benchmark::Counter::kIsRate);
}

void BM_RectangleFill(benchmark::State& state) {
    GuiScreen* s = gui();
    GuiPresentationManager* pm = GuiPresentation();
    const GuiRect r(0, 0, 1023, 479);
    GuiColor c(0, 0x123456, GUI_COLOR_FILL);
    for (auto _ : state) {
        s->Invalidate(r);
        s->BeginDraw(pm);
        s->Rectangle(pm, r, c, 0);
        s->EndDraw();
    }
    pixelRate(state);
}
BENCHMARK(BM_RectangleFill)->Unit(benchmark::kMicrosecond);

void BM_MemsetSameBytes(benchmark::State& state) {
    gui();
    uint32_t* fb = displaysim::frameBuffer();
    for (auto _ : state) {
        std::memset(fb, 0x34, 1024 * 480 * 4);
        benchmark::ClobberMemory();
    }
    pixelRate(state);
}
BENCHMARK(BM_MemsetSameBytes)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
