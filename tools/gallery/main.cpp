// The widget gallery's program: every scene written as a PNG file, and shown one after the other
// on the simulated display with --hold.
#include "gui/presentation/presentation.h"
#include "gui/scrndrv/scrndrv.h"
#include "platform/display/displaysim.h"
#include "platform/hw/hw.h"
#include "platform/os/sim.h"
#include "tools/gallery/gallery.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

volatile std::sig_atomic_t gStop = 0;

} // namespace

using namespace gallery;

int main(int argc, char** argv) {
    std::string out = ".";
    uint32_t index = 0;
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--out") && i + 1 < argc)
            out = argv[++i];
        else if (!std::strcmp(argv[i], "--index") && i + 1 < argc)
            index = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        else if (!std::strcmp(argv[i], "--hold"))
            hold = true;
        else {
            std::fprintf(stderr, "usage: %s [--out DIR] [--index N] [--hold]\n", argv[0]);
            return 2;
        }
    }
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    if (!displaysim::install(index)) {
        std::fprintf(stderr, "gallery: cannot set up the display %u\n", index);
        return 1;
    }
    scrndrvSetRtpIndex(index);
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 3); // layer 1 on
    if (!GuiStartup()) {
        std::fprintf(stderr, "gallery: the toolkit did not start\n");
        return 1;
    }
    int failed = 0;
    const std::vector<const Scene*> scenes = Scenes();
    for (const Scene* s : scenes) {
        Clear();
        s->build();
        const std::string path = out + "/gallery-" + s->name + ".png";
        if (displaysim::writePng(path))
            std::printf("%s\n", path.c_str());
        else
            ++failed;
    }
    if (hold) {
        std::signal(SIGINT, [](int) { gStop = 1; });
        std::signal(SIGTERM, [](int) { gStop = 1; });
        std::printf("showing the scenes on display %u (vyn_fbview %u); Ctrl-C ends\n", index, index);
        std::fflush(stdout);
        for (size_t i = 0; !gStop; i = (i + 1) % scenes.size()) {
            Clear();
            scenes[i]->build();
            for (int t = 0; t < 40 && !gStop; ++t)
                usleep(100000);
        }
    }
    Clear();
    GuiShutdown();
    displaysim::uninstall();
    return failed ? 1 : 0;
}
