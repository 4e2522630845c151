// Text things, font slots, _ltoa, rectangles and the default palette.
#include "gui/bitmaps/bitmaps.h"
#include "gui/core/util.h"
#include "gui/fonts/fonts.h"
#include "gui/testkit.h"
#include "gui/text/text_thing.h"

#include <cstring>
#include <string>

namespace {

TEST(TextThing, CopyModeBufferGrowsOnlyWhenTheTextDoesNotFit) {
    GuiTextThing t(GuiRect(0, 0, 9, 9), 0, TT_COPY, "0123456789", 0);
    EXPECT_EQ(t.BufferSize(), 27);
    EXPECT_EQ(t.Length(), 11);
    t.DataSet("01234567890123456789");
    EXPECT_EQ(t.BufferSize(), 27);
    EXPECT_STREQ(t.DataGet(), "01234567890123456789");
    t.DataSet(std::string(30, 'x').c_str());
    EXPECT_EQ(t.BufferSize(), 63);
    t.DataSet("short");
    EXPECT_EQ(t.BufferSize(), 63);
    EXPECT_STREQ(t.DataGet(), "short");
    t.DataSet("");
    EXPECT_EQ(t.DataGet(), nullptr);
    EXPECT_EQ(t.BufferSize(), 0);
    EXPECT_EQ(t.Length(), 0);
}

TEST(TextThing, WithoutCopyModeTheCallersTextIsShownAndCopyModeCanBeSwitchedOn) {
    char text[] = "abc";
    GuiTextThing t(GuiRect(0, 0, 9, 9), 0, 0, text, 2);
    EXPECT_EQ(t.DataGet(), text);
    EXPECT_EQ(t.Font(), &MenuFont);
    t.SetCopyMode();
    EXPECT_TRUE(t.CopyMode());
    EXPECT_NE(t.DataGet(), text);
    EXPECT_STREQ(t.DataGet(), "abc");
    GuiTextThing none(GuiRect(0, 0, 9, 9), 0, 0, nullptr, 0);
    none.SetCopyMode();
    EXPECT_FALSE(none.CopyMode());
}

TEST(TextThing, FontTableSlotsAndAssignment) {
    EXPECT_EQ(GuiTextThing::mFontTable[0], &SysFont);
    EXPECT_EQ(GuiTextThing::mFontTable[6], &SysFont);
    EXPECT_EQ(GuiTextThing::mFontTable[2], &MenuFont);
    EXPECT_EQ(GuiTextThing::mFontTable[31], &MenuFont);
    EXPECT_EQ(GuiTextThing::mFontTable[17], nullptr);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(32, &SysFont, 0), 0);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(-1, &SysFont, 0), 0);
    // A loaded chain is freed when replaced; the built-in fonts never are.
    auto* small = new GuiFont{FONT_VARIABLE,
                              4,
                              3,
                              4,
                              1,
                              65,
                              65,
                              new uint16_t[2]{0, 3},
                              0,
                              nullptr,
                              new uint8_t[4]{0xE0, 0xA0, 0xE0, 0xA0}};
    auto* loaded = new GuiFont(*small);
    loaded->offsets = new uint16_t[2]{0, 3};
    loaded->data = new uint8_t[4]{};
    loaded->next = small;
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(20, loaded, 0), 1);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(21, loaded, 0), 1);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(20, &SysFont, 1), 1); // ASan checks the frees
    EXPECT_EQ(GuiTextThing::mFontTable[21], nullptr) << "no slot keeps a freed font";
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(20, nullptr, 1), 1);
    EXPECT_EQ(SysFont.height, 16); // still there
}

TEST(Util, LtoaWritesEveryRadix) {
    char buf[80];
    EXPECT_STREQ(_ltoa(0, buf, 10), "0");
    EXPECT_STREQ(_ltoa(-1234, buf, 10), "-1234");
    EXPECT_STREQ(_ltoa(255, buf, 16), "ff");
    EXPECT_STREQ(_ltoa(5, buf, 2), "101");
    EXPECT_STREQ(_ltoa(35, buf, 36), "z");
    EXPECT_STREQ(_ltoa(-1, buf, 16), std::string(sizeof(long) * 2, 'f').c_str());
    EXPECT_STREQ(_ltoa(7, buf, 1), "");
    EXPECT_STREQ(GUISC_CANCEL, "Cancel");
}

TEST(Util, RectangleOperations) {
    GuiRect r(10, 20, 30, 40);
    EXPECT_EQ(r & GuiRect(25, 0, 100, 25), GuiRect(25, 20, 30, 25));
    EXPECT_TRUE((r & GuiRect(31, 0, 40, 10)).IsEmpty());
    GuiRect u = r;
    u |= GuiRect(0, 0, 5, 5);
    EXPECT_EQ(u, GuiRect(0, 0, 30, 40));
    GuiRect m = r;
    m.MoveTo(0, 0);
    EXPECT_EQ(m, GuiRect(0, 0, 20, 20));
    m.Shift(-5, 5);
    EXPECT_EQ(m, GuiRect(-5, 5, 15, 25));
    GuiRect g = r;
    g += 2;
    EXPECT_EQ(g, GuiRect(8, 18, 32, 42));
    g -= 3;
    EXPECT_EQ(g, GuiRect(11, 21, 29, 39));
    GuiRect thin(0, 0, 1, 10);
    thin--;
    EXPECT_EQ(thin, GuiRect(0, 1, 1, 9)) << "never inverted";
    EXPECT_TRUE(r.Overlap(GuiRect(30, 40, 50, 50)));
    EXPECT_FALSE(r.Overlap(GuiRect(31, 40, 50, 50)));
    EXPECT_TRUE(r.Contains(GuiPoint(30, 40)));
    EXPECT_TRUE(r.Contains(GuiRect(10, 20, 30, 40)));
    EXPECT_FALSE(r.Contains(GuiRect(9, 20, 30, 40)));
}

TEST(Util, DefaultPaletteLayout) {
    auto rgb = [](int i) {
        return (DefPalette256[3 * i] << 16) | (DefPalette256[3 * i + 1] << 8) | DefPalette256[3 * i + 2];
    };
    EXPECT_EQ(rgb(0), 0x000000);
    EXPECT_EQ(rgb(1), 0xBF0000);
    EXPECT_EQ(rgb(4), 0x0000BF);
    EXPECT_EQ(rgb(7), 0xC0C0C0);
    EXPECT_EQ(rgb(8), 0x808080);
    EXPECT_EQ(rgb(12), 0x0000FF);
    EXPECT_EQ(rgb(15), 0xFFFFFF);
    EXPECT_EQ(rgb(16), 0x000000);
    EXPECT_EQ(rgb(17), 0x330000) << "red varies fastest";
    EXPECT_EQ(rgb(16 + 6), 0x003300);
    EXPECT_EQ(rgb(16 + 36), 0x000033);
    EXPECT_EQ(rgb(231), 0xFFFFFF);
    EXPECT_EQ(rgb(233), 0x111111);
    EXPECT_EQ(rgb(247), 0xFFFFFF);
    for (int i = 248; i < 256; ++i)
        EXPECT_EQ(rgb(i), 0);
    EXPECT_STREQ(GuiThing::Version(), "GUI Library Version 1.98.c");
}

} // namespace
