// GuiPngConvert: PNG files in memory to the toolkit's 32-bit bitmaps, and the demo unit's
// pictures.
#include "gui/png/gui_png_convert.h"

#include "gui/png/png_decode.h"
#include "png_tools.h"

#include <cstdlib>
#include <filesystem>

namespace {

using pt::bytes;

GuiBitmap* convert(GuiPngConvert& c, bytes& file) {
    c.SetSystemPalette(nullptr, 1600, 0);
    c.SetInputBuffer(file.data(), file.size());
    c.ReadImage(1);
    return c.GetBitmapPointer(0);
}

uint32_t word(const GuiBitmap* b, size_t i) {
    return reinterpret_cast<const uint32_t*>(b->data)[i];
}

// Opaque pictures become 0x00RRGGBB words; with alpha (an alpha channel or tRNS) the colour moves
// up a byte and alpha takes the low one. A broken file drops the earlier bitmap.
TEST(GuiPngConvert, ColourWordsAlphaAndRejectedFiles) {
    pt::Recipe opaque, alpha, key;
    opaque.width = alpha.width = key.width = 2;
    opaque.height = alpha.height = key.height = 1;
    opaque.sample = [](uint32_t x, uint32_t, int c) { return static_cast<uint32_t>(x * 16 + c); };
    alpha.colour = 6;
    alpha.sample = [](uint32_t x, uint32_t, int c) { return c == 3 ? (x ? 0x7Fu : 0x80u) : 0x10u * (c + 1); };
    key.colour = 0;
    key.trns = {0, 0};
    key.sample = [](uint32_t x, uint32_t, int) { return x; };
    const struct {
        pt::Recipe r;
        uint16_t flags;
        uint32_t w0, w1;
    } cases[] = {{opaque, BMF_RAW, 0x00000102u, 0x00101112u},
                 {alpha, BMF_RAW | BMF_HAS_ALPHA, 0x10203080u, 0x1020307Fu},
                 {key, BMF_RAW | BMF_HAS_ALPHA, 0x00000000u, 0x010101FFu}};
    GuiPngConvert c(0);
    for (const auto& k : cases) {
        bytes file = pt::build(k.r);
        GuiBitmap* b = convert(c, file);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(std::tuple(b->flags, b->bitsPerPixel, b->width, b->height, word(b, 0), word(b, 1)),
                  std::tuple(k.flags, 32, 2, 1, k.w0, k.w1));
    }
    bytes broken = pt::build(opaque);
    broken[40] ^= 0xFF;
    EXPECT_EQ(convert(c, broken), nullptr);
    EXPECT_EQ(c.GetBitmapPointer(0), nullptr);
}

// Every picture of the demo unit decodes, alike with libpng.
TEST(DemoUnitPictures, DecodeLikeLibpng) {
    const char* src = std::getenv("VYN_SOURCE_DIR");
    ASSERT_NE(src, nullptr);
    size_t n = 0;
    for (const auto& f : std::filesystem::directory_iterator(std::string(src) + "/examples/unit0/cfg")) {
        if (f.path().extension() != ".png") continue;
        ++n;
        bytes file = pt::read_file(f.path());
        pt::expect_like_libpng(file, f.path());
        PngImage img;
        ASSERT_EQ(png_decode(file.data(), file.size(), &img), PNG_OK);
        EXPECT_LE(img.width, 640u);
        EXPECT_LE(img.height, 480u);
        png_image_free(&img);
    }
    EXPECT_GE(n, 2u);
}

} // namespace
