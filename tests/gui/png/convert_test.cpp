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

TEST(GuiPngConvert, OpaqueImagesBecomeColourWords) {
    pt::Recipe s;
    s.width = 3;
    s.height = 2;
    s.colour = 2;
    s.sample = [](uint32_t x, uint32_t y, int c) { return static_cast<uint32_t>(x * 16 + y * 4 + c); };
    bytes file = pt::build(s);
    GuiPngConvert c(0);
    GuiBitmap* b = convert(c, file);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->flags, BMF_RAW);
    EXPECT_EQ(b->bitsPerPixel, 32);
    EXPECT_EQ(b->width, 3);
    EXPECT_EQ(b->height, 2);
    EXPECT_EQ(word(b, 0), 0x00000102u);
    EXPECT_EQ(word(b, 2), 0x00202122u);
    EXPECT_EQ(word(b, 5), 0x00242526u);
    EXPECT_EQ(c.GetBitmapPointer(1), nullptr);
}

TEST(GuiPngConvert, AlphaImagesCarryAlphaInTheLowByte) {
    pt::Recipe s;
    s.width = 2;
    s.height = 1;
    s.colour = 6;
    s.sample = [](uint32_t x, uint32_t, int c) { return c == 3 ? (x ? 0x7Fu : 0x80u) : 0x10u * (c + 1); };
    bytes file = pt::build(s);
    GuiPngConvert c(7);
    GuiBitmap* b = convert(c, file);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->flags, BMF_RAW | BMF_HAS_ALPHA);
    EXPECT_EQ(word(b, 0), 0x10203080u);
    EXPECT_EQ(word(b, 1), 0x1020307Fu);

    // tRNS counts as alpha too.
    pt::Recipe k;
    k.colour = 0;
    k.trns = {0, 0};
    k.sample = [](uint32_t x, uint32_t, int) { return x; };
    file = pt::build(k);
    b = convert(c, file);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->flags, BMF_RAW | BMF_HAS_ALPHA);
    EXPECT_EQ(word(b, 0), 0x00000000u);
    EXPECT_EQ(word(b, 1), 0x010101FFu);
}

TEST(GuiPngConvert, RejectedFilesLeaveNoBitmap) {
    pt::Recipe s;
    bytes file = pt::build(s);
    bytes broken = file;
    broken[40] ^= 0xFF;
    GuiPngConvert c(1);
    ASSERT_NE(convert(c, file), nullptr);
    EXPECT_EQ(convert(c, broken), nullptr) << "a failed conversion drops the earlier bitmap";
    c.SetInputBuffer(nullptr, 0);
    EXPECT_EQ(c.ReadImage(1), 0);
    EXPECT_EQ(c.GetBitmapPointer(0), nullptr);

    GuiPngConvert no_slots(2);
    no_slots.mImageCount = 0;
    EXPECT_EQ(convert(no_slots, file), nullptr);
    GuiPngConvert other_mode(3);
    other_mode.mMode = 1;
    EXPECT_EQ(convert(other_mode, file), nullptr);
    GuiPngConvert zero_count(4);
    zero_count.SetInputBuffer(file.data(), file.size());
    EXPECT_EQ(zero_count.ReadImage(0), 0);
    EXPECT_EQ(zero_count.ReadImage(1), 1);
    EXPECT_NE(zero_count.GetBitmapPointer(0), nullptr);
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
