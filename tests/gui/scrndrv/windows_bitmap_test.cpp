// Screen capture as a Windows BMP file, read back by ImageMagick and by Python's imaging library.
#include "gui/core/screen.h"
#include "gui/testkit.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

using guitest::run;

struct WindowsBitmap : guitest::GuiTest {
    std::string dir;
    void SetUp() override {
        GuiTest::SetUp();
        dir = guitest::scratchDir();
        uint32_t* fb = displaysim::frameBuffer();
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 1024; ++x)
                fb[y * 1024 + x] = (static_cast<uint32_t>(x * 7 + y) & 0xFF) << 16 |
                                   (static_cast<uint32_t>(y * 3) & 0xFF) << 8 |
                                   (static_cast<uint32_t>(x ^ y) & 0xFF) | (x % 5 == 0 ? 0xFF000000u : 0);
        flush();
    }
    std::string save(const std::string& name, GuiRect r, unsigned long* size) {
        uint8_t* bmp = screen->DumpWindowsBitmap(size, r);
        if (!bmp) return "";
        const std::string path = dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bmp, 1, *size, f);
        std::fclose(f);
        std::free(bmp);
        return path;
    }
};

TEST_F(WindowsBitmap, ToolsReadTheSamePixelsAsTheScreenShows) {
    unsigned long size = 0;
    // 37 x 23 from (100, 200); and one cut by the screen's right and bottom edges.
    const std::string inner = save("inner.bmp", GuiRect(100, 200, 136, 222), &size);
    ASSERT_FALSE(inner.empty());
    EXPECT_EQ(size, 54ul + 37 * 23 * 4);
    const std::string edge = save("edge.bmp", GuiRect(1000, 470, 1100, 500), &size);
    ASSERT_FALSE(edge.empty());
    EXPECT_EQ(size, 54ul + 24 * 10 * 4) << "clipped to the screen";

    std::string out;
    ASSERT_EQ(run("identify -format '%m %w %h\\n' '" + inner + "'", &out), 0) << out;
    EXPECT_EQ(out, "BMP3 37 23\n") << "a Windows 3 bitmap: the 40-byte info header";
    const std::string ref = dir + "/inner_ref.png";
    ASSERT_TRUE(guitest::writeShownPng(ref, GuiRect(100, 200, 136, 222)));
    EXPECT_EQ(run("compare -metric AE '" + ref + "' '" + inner + "' null:", &out), 0)
        << out << " pixels differ";

    // Python reads every pixel; the listing is compared with the shown frame.
    ASSERT_EQ(run("/usr/bin/python3 -c \"from PIL import Image; im = Image.open('" + edge +
                      "').convert('RGB'); print(im.size); print(' '.join('%02x%02x%02x' % p for p in "
                      "im.getdata()))\"",
                  &out),
              0)
        << out;
    std::ostringstream expect;
    expect << "(24, 10)\n";
    for (int y = 470; y < 480; ++y)
        for (int x = 1000; x < 1024; ++x) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "%06x", shownAt(x, y));
            expect << hex << (y == 479 && x == 1023 ? "\n" : " ");
        }
    EXPECT_EQ(out, expect.str());

    // The header: "BM", pixel data at 54, a 40-byte info header, bottom-up rows, 32 bits, BI_RGB.
    uint8_t* bmp = screen->DumpWindowsBitmap(&size, GuiRect(0, 0, 1, 1));
    ASSERT_NE(bmp, nullptr);
    auto le32 = [&](int at) { return bmp[at] | bmp[at + 1] << 8 | bmp[at + 2] << 16 | bmp[at + 3] << 24; };
    EXPECT_EQ(std::tuple(bmp[0], bmp[1], le32(2), le32(10), le32(14), bmp[28]),
              std::tuple('B', 'M', 54 + 16, 54, 40, 32));
    EXPECT_EQ(std::tuple(le32(22), le32(30)), std::tuple(2, 0)) << "bottom-up rows, BI_RGB";
    EXPECT_EQ(le32(54) & 0xFFFFFF, static_cast<int>(shownAt(0, 1)))
        << "the first row stored is the bottom one";
    std::free(bmp);
    EXPECT_EQ(screen->DumpWindowsBitmap(&size, GuiRect(2000, 0, 2001, 1)), nullptr);
    EXPECT_EQ(size, 0ul);
}

} // namespace
