#include "gui/testkit.h"

#include <cstdio>
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
