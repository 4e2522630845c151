// Text things, font slots, _ltoa and rectangles.
#include "gui/core/util.h"
#include "gui/fonts/fonts.h"
#include "gui/testkit.h"
#include "gui/text/text_thing.h"

#include <cstring>
#include <string>

namespace {

TEST(TextThing, CopyModeBufferGrowsOnlyWhenTheTextDoesNotFit) {
    GuiTextThing t(GuiRect(0, 0, 9, 9), 0, TT_COPY, "0123456789", 0);
    EXPECT_EQ(std::tuple(t.BufferSize(), t.Length()), std::tuple(27, 11));
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
    EXPECT_EQ(std::tuple(t.BufferSize(), t.Length()), std::tuple(0, 0));

    // Without copy mode the caller's text is shown; copy mode can be switched on later.
    char text[] = "abc";
    GuiTextThing c(GuiRect(0, 0, 9, 9), 0, 0, text, 2);
    EXPECT_EQ(c.DataGet(), text);
    EXPECT_EQ(c.Font(), &MenuFont);
    c.SetCopyMode();
    EXPECT_TRUE(c.CopyMode());
    EXPECT_NE(c.DataGet(), text);
    EXPECT_STREQ(c.DataGet(), "abc");
    GuiTextThing none(GuiRect(0, 0, 9, 9), 0, 0, nullptr, 0);
    none.SetCopyMode();
    EXPECT_FALSE(none.CopyMode());
}

TEST(TextThing, ReplacedFontChainsAreFreedButBuiltInFontsNever) {
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(32, &SysFont, 0), 0);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(-1, &SysFont, 0), 0);
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
    const std::tuple<long, int, std::string> cases[] = {
        {0, 10, "0"},  {-1234, 10, "-1234"}, {255, 16, "ff"},
        {5, 2, "101"}, {35, 36, "z"},        {-1, 16, std::string(sizeof(long) * 2, 'f')},
        {7, 1, ""},
    };
    for (const auto& [value, radix, want] : cases)
        EXPECT_EQ(_ltoa(value, buf, radix), want) << value << " radix " << radix;
}

TEST(Util, RectangleOperations) {
    GuiRect r(10, 20, 30, 40), u = r, m = r, g = r, thin(0, 0, 1, 10);
    EXPECT_EQ(r & GuiRect(25, 0, 100, 25), GuiRect(25, 20, 30, 25));
    EXPECT_TRUE((r & GuiRect(31, 0, 40, 10)).IsEmpty());
    u |= GuiRect(0, 0, 5, 5);
    EXPECT_EQ(u, GuiRect(0, 0, 30, 40));
    m.MoveTo(0, 0);
    EXPECT_EQ(m, GuiRect(0, 0, 20, 20));
    m.Shift(-5, 5);
    EXPECT_EQ(m, GuiRect(-5, 5, 15, 25));
    g += 2;
    EXPECT_EQ(g, GuiRect(8, 18, 32, 42));
    g -= 3;
    EXPECT_EQ(g, GuiRect(11, 21, 29, 39));
    thin--;
    EXPECT_EQ(thin, GuiRect(0, 1, 1, 9)) << "never inverted";
    EXPECT_TRUE(r.Overlap(GuiRect(30, 40, 50, 50)));
    EXPECT_FALSE(r.Overlap(GuiRect(31, 40, 50, 50)));
    EXPECT_TRUE(r.Contains(GuiPoint(30, 40)));
    EXPECT_TRUE(r.Contains(GuiRect(10, 20, 30, 40)));
    EXPECT_FALSE(r.Contains(GuiRect(9, 20, 30, 40)));
}

} // namespace
