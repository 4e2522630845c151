// GUI toolkit: full redraws, fill rate, text, the message path, windows with scroll bars and
// screen dumps.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/core/message.h"
#include "gui/fonts/fonts.h"
#include "gui/presentation/presentation.h"
#include "gui/scrndrv/scrndrv.h"
#include "gui/scrndrv/scrndrv_private.h"
#include "gui/core/screen.h"
#include "gui/window/window.h"
#include "platform/display/displaysim.h"
#include "platform/hw/hw.h"
#include "platform/os/osfs.h"
#include "platform/os/osfs_sim.h"
#include "platform/os/sim.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstring>
#include <random>
#include <string>
#include <unistd.h>

extern GuiFont BenchAAFont;

namespace {

// The toolkit, set up once on the benchmark's thread, which plays the GUI task.
GuiScreen* gui() {
    static GuiScreen* screen = [] {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        uint32_t index = 5000 + static_cast<uint32_t>(getpid()) % 10000;
        displaysim::install(index);
        scrndrvSetRtpIndex(index);
        hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 3);
        GuiStartup();
        return GuiThing::mpScreen;
    }();
    return screen;
}

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

void BM_Redraw640x480With50Objects(benchmark::State& state) {
    GuiScreen* s = gui();
    GuiPresentationManager* pm = GuiPresentation();
    auto* w = new Window(GuiRect(0, 0, 639, 479));
    pm->Add(w, 0);
    static char texts[25][16];
    for (int i = 0; i < 50; ++i) {
        int x = 10 + (i % 5) * 125, y = 10 + (i / 5) * 46;
        if (i % 2) {
            std::snprintf(texts[i / 2], sizeof texts[0], "Value %d", i);
            auto* p = new GuiPrompt(GuiRect(x, y, x + 115, y + 38), texts[i / 2], 0, FF_RECESSED | TJ_CENTER);
            w->Add(p, 0);
        } else {
            w->Add(
                new GuiTextButton(GuiRect(x, y, x + 115, y + 38), "Button", static_cast<uint16_t>(100 + i)),
                0);
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
    state.counters["Gpixel/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 1024 * 480 / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RectangleFill)->Unit(benchmark::kMicrosecond);

void BM_MemsetSameBytes(benchmark::State& state) {
    gui();
    uint32_t* fb = displaysim::frameBuffer();
    for (auto _ : state) {
        std::memset(fb, 0x34, 1024 * 480 * 4);
        benchmark::ClobberMemory();
    }
    state.counters["Gpixel/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * 1024 * 480 / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MemsetSameBytes)->Unit(benchmark::kMicrosecond);

void textBench(benchmark::State& state, const GuiFont* font) {
    GuiScreen* s = gui();
    GuiPresentationManager* pm = GuiPresentation();
    const char* line = "The quick brown fox jumps over the lazy dog 0123456789";
    const int n = static_cast<int>(std::strlen(line));
    GuiColor c(0xFFFFFF, 0x000000, GUI_COLOR_FILL);
    for (auto _ : state) {
        s->BeginDraw(pm);
        for (int y = 0; y < 20; ++y)
            s->DrawText(pm, GuiPoint(0, y * 20), line, c, font);
        s->EndDraw();
    }
    state.counters["glyphs/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 20 * n, benchmark::Counter::kIsRate);
}
void BM_Text1Bit(benchmark::State& state) {
    textBench(state, &SysFont);
}
void BM_TextAntiAliased(benchmark::State& state) {
    textBench(state, &BenchAAFont);
}
BENCHMARK(BM_Text1Bit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TextAntiAliased)->Unit(benchmark::kMicrosecond);

void BM_QueuePostPop(benchmark::State& state) {
    gui();
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    GuiMessage m(GM_APP, GuiPresentation(), nullptr, 1);
    GuiMessage out;
    for (auto _ : state) {
        mq->Push(&m);
        mq->TryPop(&out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_QueuePostPop);

// A sizable window over the application's area with both scroll bars and 30 children.
void BM_WindowWithScrollBarsRedraw(benchmark::State& state) {
    GuiScreen* s = gui();
    GuiPresentationManager* pm = GuiPresentation();
    auto* w = new GuiWindow(GuiRect(0, 0, 639, 479), FF_THICK);
    w->SetColor(0, 0xE0E0E0);
    for (int i = 0; i < 30; ++i) {
        int x = 10 + (i % 5) * 150, y = 10 + (i / 5) * 90;
        w->Add(new GuiTextButton(GuiRect(x, y, x + 130, y + 60), "Button", static_cast<uint16_t>(100 + i)),
               0);
    }
    pm->Add(w, 0);
    w->SetScrollMode(WSM_VERTICAL | WSM_HORIZONTAL);
    for (auto _ : state) {
        s->Invalidate(w->mReal);
        w->Draw();
    }
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    delete pm->Remove(w, 0);
}
BENCHMARK(BM_WindowWithScrollBarsRedraw)->Unit(benchmark::kMicrosecond);

// Dumps go to a directory of their own behind the drive "bench:".
std::string dumpFile() {
    static std::string file = [] {
        std::string dir = "/tmp/vyn-bench-" + std::to_string(getpid());
        mkdir(dir.c_str(), 0755);
        osfs::addDevice("bench:", dir);
        return std::string("bench:/noise.dmp");
    }();
    return file;
}

// Every pixel its own colour or nearly: the worst case, 307200 runs and thousands of colours.
void noisyScreen() {
    uint32_t* fb = displaysim::frameBuffer();
    std::mt19937 rng(3);
    for (int y = 0; y < SCRNDRV_APP_HEIGHT; ++y)
        for (int x = 0; x < SCRNDRV_APP_WIDTH; ++x)
            fb[y * SCRNDRV_WIDTH + x] = rng() & 0x3FFF;
}

void BM_DumpNoisyScreen(benchmark::State& state) {
    gui();
    noisyScreen();
    const std::string file = dumpFile();
    for (auto _ : state)
        if (scrndrvDumpImg(file.c_str()) != 0) state.SkipWithError("dump failed");
}
BENCHMARK(BM_DumpNoisyScreen)->Unit(benchmark::kMillisecond);

void BM_DumpReadAndDraw(benchmark::State& state) {
    gui();
    noisyScreen();
    const std::string file = dumpFile();
    if (scrndrvDumpImg(file.c_str()) != 0) state.SkipWithError("dump failed");
    for (auto _ : state) {
        scrn_dump_t d{};
        if (scrndrvReadDump(file.c_str(), &d) != 0 || scrndrvDrawImg(&d) != 0)
            state.SkipWithError("read failed");
        scrndrvFreeDump(&d);
    }
}
BENCHMARK(BM_DumpReadAndDraw)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
