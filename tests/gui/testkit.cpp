#include "gui/testkit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace guitest {

uint32_t testIndex() {
    return 1000 + static_cast<uint32_t>(getpid()) % 100000;
}

void GuiTest::SetUp() {
    SteppedTest::SetUp();
    ASSERT_TRUE(displaysim::install(testIndex()));
    scrndrvSetRtpIndex(testIndex());
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 3);
    ASSERT_TRUE(GuiStartup());
    pm = GuiPresentation();
    screen = GuiThing::mpScreen;
}

void GuiTest::TearDown() {
    GuiShutdown();
    displaysim::uninstall();
    EXPECT_EQ(giCriticalNesting, 0);
}

void GuiTest::flush() {
    ASSERT_EQ(screen->FlushScreen(), 0);
}
uint32_t GuiTest::shownAt(int x, int y) const {
    return displaysim::shown()[y * displaysim::WIDTH + x] & 0xFFFFFF;
}
uint32_t GuiTest::fbAt(int x, int y) const {
    return displaysim::frameBuffer()[y * displaysim::WIDTH + x] & 0xFFFFFF;
}

void GuiTest::fillFrame(uint32_t colour) {
    uint32_t* fb = displaysim::frameBuffer();
    for (int i = 0; i < displaysim::WIDTH * displaysim::HEIGHT; ++i)
        fb[i] = colour;
}

void GuiTest::redrawAll() {
    if (screen->InvalidCount() > 0) pm->Draw();
}

void Probe::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    DrawChildren();
    mpScreen->EndDraw();
}

const std::string& scratchDir() {
    // Never destroyed: the exit handler below runs after the statics are gone.
    static const std::string* dir = [] {
        char name[] = "/tmp/vyn_guitest_XXXXXX";
        auto* d = new std::string(mkdtemp(name) ? name : "/tmp");
        std::atexit([] {
            std::error_code ec;
            if (*dir != "/tmp") std::filesystem::remove_all(*dir, ec);
        });
        return d;
    }();
    return *dir;
}

bool writeShownPng(const std::string& path, const GuiRect& region) {
    // The platform writes the whole shown frame; ImageMagick cuts the region out of it.
    const std::string whole = scratchDir() + "/whole.png";
    char geometry[64];
    std::snprintf(geometry, sizeof geometry, "%dx%d+%d+%d", region.Width(), region.Height(), region.left,
                  region.top);
    return displaysim::writePng(whole) &&
           run("convert '" + whole + "' -crop " + geometry + " +repage 'PNG24:" + path + "'") == 0;
}

int run(const std::string& cmd, std::string* out) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string s;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        s.append(buf, n);
    int st = pclose(p);
    if (out) *out = s;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

} // namespace guitest
