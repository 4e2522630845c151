#include "gui/testkit.h"

#include <cerrno>
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
    static const testsupport::ScratchDir dir;
    return dir.path;
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

::testing::AssertionResult matchesReference(const std::string& name, const GuiRect& region) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    const char* bld = std::getenv("VYN_BUILD_DIR");
    if (!src || !bld) return ::testing::AssertionFailure() << "VYN_SOURCE_DIR/VYN_BUILD_DIR not set";
    std::string ref = std::string(src) + "/tests/gui/reference/" + name + ".png";
    // Test programs running side by side compare the same names: each works in its own directory.
    std::string actual = scratchDir() + "/" + name + ".png", diff = scratchDir() + "/" + name + "-diff.png";
    if (!writeShownPng(actual, region)) return ::testing::AssertionFailure() << "cannot write the image";
    if (access(ref.c_str(), R_OK) != 0)
        return ::testing::AssertionFailure() << "no reference " << ref << "; review " << actual;
    std::string out;
    int st = run("compare -metric AE '" + ref + "' '" + actual + "' '" + diff + "'", &out);
    if (st == 0) return ::testing::AssertionSuccess();
    const std::string keep =
        std::string(bld) + "/gui-reference-out/" + program_invocation_short_name + "-" + name;
    std::filesystem::create_directories(std::string(bld) + "/gui-reference-out");
    std::error_code ec;
    std::filesystem::copy_file(actual, keep + ".png", std::filesystem::copy_options::overwrite_existing, ec);
    std::filesystem::copy_file(diff, keep + "-diff.png", std::filesystem::copy_options::overwrite_existing,
                               ec);
    return ::testing::AssertionFailure() << name << ": " << out << " pixels differ; see " << keep << "*.png";
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
