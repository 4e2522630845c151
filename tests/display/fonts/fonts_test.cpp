// The display fonts: their records, the packed tables against the generator's strips (inflated by
// Python's zlib and by the display itself), and the fallback when a font cannot be unpacked.
#include "display/fonts/tarvo_fonts.h"
#include "gui/fonts/fonts.h"
#include "gui/zip/pzip.h"

#include "support/logcapture.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

struct Font {
    const char* name;
    GuiFont* font;
    const uint8_t* table;
    int height;
};

const Font kFonts[] = {
    {"TarvoTiny", &TarvoTiny, TarvoTiny_data_table, 27},
    {"TarvoSmall", &TarvoSmall, TarvoSmall_data_table, 49},
    {"TarvoNormal", &TarvoNormal, TarvoNormal_data_table, 64},
    {"TarvoLarge", &TarvoLarge, TarvoLarge_data_table, 86},
    {"TarvoXLarge", &TarvoXLarge, TarvoXLarge_data_table, 167},
    {"TarvoXXLarge", &TarvoXXLarge, TarvoXXLarge_data_table, 200},
};

// The generator's unpacked glyph strip, written beside the generated font.
pyref::bytes strip(const char* name) {
    const char* build = std::getenv("VYN_BUILD_DIR");
    std::string path = std::string(build ? build : ".") + "/display/fonts/" + name + ".strip";
    std::ifstream in(path, std::ios::binary);
    pyref::bytes raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (raw.empty()) ADD_FAILURE() << "no glyph strip at " << path;
    return raw;
}

// The packed table as stored: its 32-bit little-endian length and that many bytes.
pyref::bytes table(const uint8_t* t) {
    uint32_t n = uint32_t{t[0]} | uint32_t{t[1]} << 8 | uint32_t{t[2]} << 16 | uint32_t{t[3]} << 24;
    return pyref::bytes(t, t + 4 + n);
}

// The font's record and glyphs: the generator's strip, unpacked.
void expectUnpacked(const Font& f) {
    const GuiFont& g = *f.font;
    EXPECT_EQ(std::tuple(g.flags, g.height, g.cellHeight, g.first, g.last),
              std::tuple(FONT_VARIABLE | FONT_APP_PACKED, f.height, f.height, 0, 255));
    pyref::bytes raw = strip(f.name);
    ASSERT_EQ(raw.size(), size_t{f.font->bytesPerRow} * f.height) << f.name;
    EXPECT_EQ(std::memcmp(f.font->data, raw.data(), raw.size()), 0) << f.name;
}

// Fails the one call `failAt` (0 = the tiny font's); with `shortBy` it succeeds with too few bytes.
int g_calls, g_failAt, g_shortBy;
int faultyUnzip(unsigned char* dest, unsigned long* len, const unsigned char* src, unsigned long srcLen) {
    if (g_calls++ != g_failAt) return GuiUnzip(dest, len, src, srcLen);
    if (!g_shortBy) return -3;
    *len -= static_cast<unsigned long>(g_shortBy);
    return 0;
}

// Log lines of the unpacking since the last call.
std::vector<testsupport::LogLine> iniLines() {
    std::vector<testsupport::LogLine> out;
    for (auto& l : testsupport::logDrain())
        if (l.text.rfind("TarvoFonts_ini", 0) == 0) out.push_back(l);
    return out;
}

TEST(TarvoFonts, PackedTablesInflateToTheGeneratorsStrips) {
    TarvoFonts_setUnzip(nullptr);
    TarvoFonts_reset();
    std::vector<std::vector<pyref::bytes>> cases;
    for (const Font& f : kFonts) {
        SCOPED_TRACE(f.name);
        const GuiFont& g = *f.font;
        EXPECT_EQ(std::tuple(g.flags, g.height, g.cellHeight, g.first, g.last),
                  std::tuple(FONT_VARIABLE | FONT_APP_PACKED, f.height, f.height, 0, 255));
        EXPECT_EQ(g.data, f.table) << "packed until the display starts";
        EXPECT_EQ(g.bytesPerRow, (g.offsets[256] + 7) / 8);
        cases.push_back({table(f.table), strip(f.name)});
        EXPECT_EQ(cases.back()[1].size(), size_t{g.bytesPerRow} * f.height);
    }
    // The stream must end exactly where the length says.
    auto results = pyref::map("def f(t, raw):\n"
                              "    d = zlib.decompressobj()\n"
                              "    out = d.decompress(t[4:])\n"
                              "    return f'{d.eof} {d.unused_data == b\"\"} {out == raw}'\n",
                              cases);
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], "True True True") << kFonts[i].name;
}

// All six unpack; a font that does not, and every larger one, borrow the largest unpacked.
TEST(TarvoFonts, FontsUnpackOrBorrowTheLargestUnpacked) {
    struct Case {
        int failAt, shortBy;
        const char* text;
        const GuiFont* fallback; // null: SysFont
    };
    const Case cases[] = {
        {0, 0, "TarvoFonts_ini: tiny font cannot unzip", nullptr},
        {2, 0, "TarvoFonts_ini: normal font cannot unzip", &TarvoSmall},
        {4, 0, "TarvoFonts_ini: extra large font cannot unzip", &TarvoLarge},
        {5, 1, "TarvoFonts_ini: XXLarge font cannot unzip", &TarvoXLarge}, // one byte short
    };
    testsupport::logStart();
    TarvoFonts_ini();
    for (const Font& f : kFonts)
        expectUnpacked(f);
    iniLines();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TarvoFonts_reset();
        g_calls = 0;
        g_failAt = c.failAt;
        g_shortBy = c.shortBy;
        TarvoFonts_setUnzip(faultyUnzip);
        EXPECT_NE(TarvoFonts_ini(), 0);
        EXPECT_EQ(g_calls, c.failAt + 1) << "the first failure ends the unpacking";
        auto lines = iniLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(std::tuple(lines[0].text, lines[0].priority), std::tuple(c.text, LOG_ERR));

        const GuiFont& with = c.fallback ? *c.fallback : SysFont;
        for (int i = 0; i < 6; ++i) {
            const GuiFont& g = *kFonts[i].font;
            if (i < c.failAt) {
                expectUnpacked(kFonts[i]);
                continue;
            }
            EXPECT_EQ(std::tuple(g.data, g.offsets, g.height, g.bytesPerRow),
                      std::tuple(with.data, with.offsets, with.height, with.bytesPerRow))
                << kFonts[i].name;
        }
        // Nothing is retried by a second start.
        g_calls = 0;
        TarvoFonts_ini();
        EXPECT_EQ(g_calls, 0);
    }
}

// An element's font size picks the font (0 and unknown sizes the tiny one); 6 draws the largest doubled.
TEST(TarvoFonts, SizesPickTheirFontsAndSixIsTheLargestDoubled) {
    const GuiFont* const fonts[] = {&TarvoTiny,   &TarvoSmall,   &TarvoNormal,  &TarvoLarge,
                                    &TarvoXLarge, &TarvoXXLarge, &TarvoXXLarge, &TarvoTiny};
    for (int size = 0; size < 8; ++size) {
        const auto s = static_cast<FontSizeType_t>(size);
        EXPECT_EQ(std::tuple(Tarvo_getFont(s), TarvoFonts_isDouble(s)),
                  std::tuple(fonts[size], size == 6 ? 1 : 0))
            << "size " << size;
    }
}

} // namespace
