// GUI toolkit: a full-screen rectangle fill next to memset over the same frame buffer, and a
// 640 x 480 redraw of 50 objects.
#include "bench/paired.h"
#include "gui/controls/button/button.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "platform/display/displaysim.h"
#include "platform/hw/hw.h"
#include "platform/os/sim.h"

#include <benchmark/benchmark.h>

#include <cstdio>
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

void BM_RectangleFill(benchmark::State& state) {
    GuiScreen* s = gui();
    GuiPresentationManager* pm = GuiPresentation();
    const GuiRect r(0, 0, 1023, 479);
    GuiColor c(0, 0x00343434, GUI_COLOR_FILL);
    uint32_t* fb = displaysim::frameBuffer();
    bench::paired(
        state, "memset", "speed",
        [&] {
            s->Invalidate(r);
            s->BeginDraw(pm);
            s->Rectangle(pm, r, c, 0);
            s->EndDraw();
        },
        [&] {
            std::memset(fb, 0x34, 1024 * 480 * 4);
            benchmark::ClobberMemory();
        });
}
BENCHMARK(BM_RectangleFill)->UseManualTime()->Unit(benchmark::kMicrosecond);

class Window : public GuiThing {
  public:
    explicit Window(const GuiRect& r) : GuiThing(r, 1, FF_RAISED) {
        mStatus |= PSF_VIEWPORT;
        mColors[0] = 0x305070;
        InitClient();
    }
    void Draw() override {
        mpScreen->BeginDraw(this);
        StandardBorder(mColors[0]);
        DrawChildren();
        mpScreen->EndDraw();
    }
};

// A 640 x 480 window of 25 prompts and 25 buttons, redrawn whole.
void BM_Redraw640x480With50Objects(benchmark::State& state) {
    GuiScreen* s = gui();
    GuiPresentationManager* pm = GuiPresentation();
    auto* w = new Window(GuiRect(0, 0, 639, 479));
    pm->Add(w, 0);
    static char texts[25][16];
    for (int i = 0; i < 50; ++i) {
        const int x = 10 + (i % 5) * 125, y = 10 + (i / 5) * 46;
        const GuiRect r(x, y, x + 115, y + 38);
        if (i % 2) {
            std::snprintf(texts[i / 2], sizeof texts[0], "Value %d", i);
            w->Add(new GuiPrompt(r, texts[i / 2], 0, FF_RECESSED | TJ_CENTER), 0);
        } else {
            w->Add(new GuiTextButton(r, "Button", static_cast<uint16_t>(100 + i)), 0);
        }
    }
    for (auto _ : state) {
        s->Invalidate(w->mReal);
        w->Draw();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    delete pm->Remove(w, 0);
}
BENCHMARK(BM_Redraw640x480With50Objects)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
