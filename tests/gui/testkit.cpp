#include "gui/testkit.h"
#include "gui/screen/screen.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace guitest {

uint32_t testIndex() {
    return 1000 + static_cast<uint32_t>(getpid()) % 100000;
}

void GuiTest::SetUp() {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    sim::waitIdle();
    ASSERT_TRUE(displaysim::install(testIndex()));
    scrndrvSetRtpIndex(testIndex());
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 3);
    ASSERT_TRUE(GuiStartup());
    pm = GuiThing::mpPresentation;
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

int Probe::Message(const GuiMessage& msg) {
    if (logged < 256) log[logged++] = msg.type;
    if (msg.type == GM_SHOW) {
        ++shows;
        clipEmptyAtShow = mClip.IsEmpty();
    }
    if (handleAll && msg.type >= GM_APP) return result;
    return GuiThing::Message(msg);
}

void Probe::Draw() {
    if (!mpScreen || (!Visible() && !mpScreen->DrawingToBitmap())) return;
    mpScreen->BeginDraw(this);
    StandardBorder(mColors[0]);
    DrawChildren();
    mpScreen->EndDraw();
}

int Probe::count(uint16_t type) const {
    int n = 0;
    for (int i = 0; i < logged; ++i)
        n += log[i] == type;
    return n;
}

namespace {
bool encode(FILE* f, const GuiRect& region, uint8_t* row) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    const int w = region.Width(), h = region.Height();
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = region.top; y <= region.bottom; ++y) {
        for (int x = 0; x < w; ++x) {
            uint32_t c = displaysim::shown()[y * displaysim::WIDTH + region.left + x];
            row[3 * x] = static_cast<uint8_t>(c >> 16);
            row[3 * x + 1] = static_cast<uint8_t>(c >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(c);
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}
} // namespace

bool writeShownPng(const std::string& path, const GuiRect& region) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::vector<uint8_t> row(static_cast<size_t>(region.Width()) * 3);
    bool ok = encode(f, region, row.data());
    return (std::fclose(f) == 0) && ok;
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

::testing::AssertionResult matchesReference(const std::string& name, const GuiRect& region) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    const char* bld = std::getenv("VYN_BUILD_DIR");
    if (!src || !bld) return ::testing::AssertionFailure() << "VYN_SOURCE_DIR/VYN_BUILD_DIR not set";
    std::string ref = std::string(src) + "/tests/gui/reference/" + name + ".png";
    // Test programs running side by side compare the same names: each works in its own directory.
    std::string actual = scratchDir() + "/" + name + ".png", diff = scratchDir() + "/" + name + "-diff.png";
    const char* update = std::getenv("VYN_UPDATE_REFERENCE");
    if (!writeShownPng(update && *update == '1' ? ref : actual, region))
        return ::testing::AssertionFailure() << "cannot write the image";
    if (update && *update == '1') return ::testing::AssertionSuccess();
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

} // namespace guitest
