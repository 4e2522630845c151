// The generated fonts: the packed form of the display fonts against the same font unpacked.
#include "gui/fonts/fonts.h"
#include "gui/core/screen.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <vector>

extern GuiFont TestPackedFont;
extern GuiFont TestPlainFont;
extern const uint8_t TestPackedFont_data_table[];
extern const unsigned TestPackedFont_unpacked_size;

namespace {

void expectLayout(const GuiFont& f, int height, int first, int last) {
    EXPECT_EQ(f.height, height);
    EXPECT_EQ(f.cellHeight, height);
    EXPECT_EQ(f.first, first);
    EXPECT_EQ(f.last, last);
    ASSERT_NE(f.offsets, nullptr);
    for (int i = 0; i <= last - first; ++i)
        ASSERT_LE(f.offsets[i], f.offsets[i + 1]) << i;
    int columns = f.offsets[last - first + 1];
    EXPECT_EQ(f.bytesPerRow, (f.flags & FONT_ALIASED) ? (columns + 1) / 2 : (columns + 7) / 8);
}

int width(const GuiFont& f, int c) {
    return f.offsets[c - f.first + 1] - f.offsets[c - f.first];
}

TEST(Fonts, PackedFontUnpacksToTheSameGlyphs) {
    expectLayout(TestPlainFont, 27, 0, 255);
    EXPECT_EQ(TestPackedFont.flags, FONT_VARIABLE | FONT_APP_PACKED);
    EXPECT_EQ(TestPackedFont.bytesPerRow, TestPlainFont.bytesPerRow);
    EXPECT_EQ(0, std::memcmp(TestPackedFont.offsets, TestPlainFont.offsets, 257 * sizeof(uint16_t)));
    EXPECT_EQ(TestPackedFont.data, TestPackedFont_data_table) << "points at the table until unpacked";
    ASSERT_EQ(TestPackedFont_unpacked_size, static_cast<unsigned>(TestPlainFont.bytesPerRow) * 27);
    uint32_t packed;
    std::memcpy(&packed, TestPackedFont_data_table, 4);
    std::vector<uint8_t> out(TestPackedFont_unpacked_size);
    uLongf len = out.size();
    ASSERT_EQ(uncompress(out.data(), &len, TestPackedFont_data_table + 4, packed), Z_OK);
    ASSERT_EQ(len, out.size());
    EXPECT_EQ(0, std::memcmp(out.data(), TestPlainFont.data, out.size()));
    EXPECT_EQ(width(TestPlainFont, 0), 0);
    EXPECT_GT(width(TestPlainFont, 'A'), 10);
}

} // namespace
