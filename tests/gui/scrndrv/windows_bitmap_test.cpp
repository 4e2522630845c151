// Screen capture as a Windows BMP file, read back by Python's imaging library.
#include "gui/core/screen.h"
#include "gui/testkit.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct WindowsBitmap : guitest::GuiTest {
    testsupport::ScratchDir dir;
    void SetUp() override {
        GuiTest::SetUp();
        uint32_t* fb = displaysim::frameBuffer();
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 1024; ++x)
                fb[y * 1024 + x] = (static_cast<uint32_t>(x * 7 + y) & 0xFF) << 16 |
                                   (static_cast<uint32_t>(y * 3) & 0xFF) << 8 |
                                   (static_cast<uint32_t>(x ^ y) & 0xFF) | (x % 5 == 0 ? 0xFF000000u : 0);
        flush();
    }
    // The file's size, then what Python reads from it: its size and every pixel.
    std::string read(GuiRect r) {
        unsigned long size = 0;
        uint8_t* bmp = screen->DumpWindowsBitmap(&size, r);
        if (!bmp) return "none " + std::to_string(size);
        const std::string path = dir / "shot.bmp";
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bmp, 1, size, f);
        std::fclose(f);
        std::free(bmp);
        std::string out;
        guitest::run(
            "/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + path +
                "').convert('RGB'); print(im.size, ' '.join('%02x%02x%02x' % p for p in im.getdata()))\"",
            &out);
        return std::to_string(size) + " " + out;
    }
    // The same from the shown frame.
    std::string shown(int left, int top, int w, int h) const {
        std::string s =
            std::to_string(54 + w * h * 4) + " (" + std::to_string(w) + ", " + std::to_string(h) + ")";
        for (int y = top; y < top + h; ++y)
            for (int x = left; x < left + w; ++x) {
                char hex[8];
                std::snprintf(hex, sizeof hex, " %06x", shownAt(x, y));
                s += hex;
            }
        return s + "\n";
    }
};

TEST_F(WindowsBitmap, PythonReadsThePixelsTheScreenShows) {
    // 37 x 23 from (100, 200); one cut by the screen's right and bottom edges; one off the screen.
    EXPECT_EQ(read(GuiRect(100, 200, 136, 222)), shown(100, 200, 37, 23));
    EXPECT_EQ(read(GuiRect(1000, 470, 1100, 500)), shown(1000, 470, 24, 10));
    EXPECT_EQ(read(GuiRect(2000, 0, 2001, 1)), "none 0");

    // The header: "BM", pixel data at 54, a 40-byte info header, bottom-up rows, 32 bits, BI_RGB.
    unsigned long size = 0;
    uint8_t* bmp = screen->DumpWindowsBitmap(&size, GuiRect(0, 0, 1, 1));
    ASSERT_NE(bmp, nullptr);
    auto le32 = [&](int at) { return bmp[at] | bmp[at + 1] << 8 | bmp[at + 2] << 16 | bmp[at + 3] << 24; };
    EXPECT_EQ(std::tuple(bmp[0], bmp[1], le32(2), le32(10), le32(14), le32(22), bmp[28], le32(30)),
              std::tuple('B', 'M', 54 + 16, 54, 40, 2, 32, 0));
    std::free(bmp);
}

} // namespace
