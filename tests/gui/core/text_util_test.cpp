// Font slots of the text things: a replaced chain is freed, a built-in font never.
#include "gui/fonts/fonts.h"
#include "gui/testkit.h"
#include "gui/text/text_thing.h"

namespace {

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

} // namespace
