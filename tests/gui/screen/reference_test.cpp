// Reviewed reference images of text, the built-in bitmaps, every bitmap format and the boot logo.
#include "gui/bitmaps/bitmaps.h"
#include "gui/fonts/fonts.h"
#include "gui/core/screen.h"
#include "gui/testkit.h"

#include <vector>

extern GuiFont TestAAFont;

namespace {

using guitest::matchesReference;
using guitest::Probe;

struct Reference : guitest::GuiTest {
    Probe* canvas = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        canvas = new Probe(GuiRect(0, 0, 1023, 479), 1, PSF_VIEWPORT);
        canvas->mColors[0] = GUI_WHITE;
        pm->Add(canvas, 0);
    }
    template <typename F> void paint(F f) {
        screen->Invalidate(canvas->mReal);
        screen->BeginDraw(canvas);
        screen->Rectangle(canvas, canvas->mReal, GuiColor(0, GUI_WHITE, GUI_COLOR_FILL), 0);
        f();
        screen->EndDraw();
        flush();
    }
};

TEST_F(Reference, Text) {
    paint([&] {
        GuiColor black(GUI_BLACK, GUI_WHITE), onBlue(GUI_WHITE, GUI_ACTIVE_BLUE, GUI_COLOR_FILL);
        GuiColor aa(GUI_BLACK, GUI_WHITE), aaDark(0xFFFF00, 0x202020);
        screen->DrawText(canvas, GuiPoint(4, 4), "SysFont: The quick brown fox 0123456789", black, &SysFont);
        screen->DrawText(canvas, GuiPoint(4, 24), "MenuFont: jumps over the lazy dog (Ag|y)", black,
                         &MenuFont);
        screen->DrawText(canvas, GuiPoint(4, 42),
                         "Latin-1: \xC4\xD6\xDC \xE4\xF6\xFC \xDF \xB0"
                         "C \xB5s \xA9",
                         black, &SysFont);
        screen->DrawText(canvas, GuiPoint(4, 62), " Filled cells ", onBlue, &SysFont);
        screen->DrawText(canvas, GuiPoint(4, 82), "Anti-aliased 16 px", aa, &TestAAFont);
        screen->Rectangle(canvas, GuiRect(200, 80, 399, 99), GuiColor(0, 0x202020, GUI_COLOR_FILL), 0);
        screen->DrawText(canvas, GuiPoint(204, 82), "on dark 123", aaDark, &TestAAFont);
        screen->DrawText(canvas, GuiPoint(4, 104), "Double 42", black, &SysFont, -1, 1);
    });
    EXPECT_TRUE(matchesReference("text", GuiRect(0, 0, 399, 139)));
}

TEST_F(Reference, BuiltInBitmapsAndEveryFormat) {
    // The same 12 x 9 picture in each format: 4 x 3 blocks of 3 x 3 pixels. Row 1 is a grey ramp;
    // row 2 holds the empty colour (transparent where the format has it) and a half-alpha red.
    const uint32_t colours[12] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x444444,
                                  0x888888, 0xCCCCCC, 0x000001, 0x000001, 0xFF0000, 0x000001};
    const uint8_t indexes[12] = {PAL_RED, PAL_GREEN, PAL_BLUE, PAL_WHITE, 232,     236,
                                 240,     244,       255,      255,       PAL_RED, 255};
    const uint8_t alphas[12] = {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 128, 255};
    constexpr int W = 12, H = 9;
    std::vector<uint8_t> pal(W * H), rgb(W * H * 3), rle8, rle32;
    std::vector<uint32_t> words(W * H), alpha(W * H);
    for (int y = 0; y < H; ++y) {
        for (int x = 0; x < W; ++x) {
            int i = (y / 3) * 4 + x / 3, k = y * W + x;
            uint32_t c = colours[i];
            pal[k] = indexes[i];
            rgb[3 * k] = static_cast<uint8_t>(c >> 16);
            rgb[3 * k + 1] = static_cast<uint8_t>(c >> 8);
            rgb[3 * k + 2] = static_cast<uint8_t>(c);
            words[k] = c;
            alpha[k] = (c << 8) | (c == 1 ? 0x10 : alphas[i] == 128 ? 0x90 : 0xFF);
        }
        for (int bx = 0; bx < 4; ++bx) {
            int i = (y / 3) * 4 + bx;
            uint32_t c = colours[i];
            rle8.insert(rle8.end(), {0x02, indexes[i]});
            rle32.insert(rle32.end(), {0x02, alphas[i], static_cast<uint8_t>(c >> 16),
                                       static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)});
        }
    }
    GuiBitmap formats[7] = {
        {BMF_RAW | BMF_HAS_TRANS, 8, W, H, 255, pal.data()},
        {BMF_RAW, 24, W, H, 0, rgb.data()},
        {BMF_RAW, 32, W, H, 0, reinterpret_cast<uint8_t*>(words.data())},
        {BMF_RAW | BMF_HAS_TRANS, 32, W, H, 0, reinterpret_cast<uint8_t*>(words.data())},
        {BMF_RAW | BMF_HAS_ALPHA, 32, W, H, 0, reinterpret_cast<uint8_t*>(alpha.data())},
        {BMF_RLE | BMF_HAS_TRANS, 8, W, H, 0, rle8.data()},
        {BMF_RLE | BMF_HAS_TRANS | BMF_HAS_ALPHA, 32, W, H, 0, rle32.data()},
    };
    GuiBitmap* builtins[] = {&gbCloseButtonBitmap, &gbSysButtonBitmap,     &gbMinButtonBitmap,
                             &gbMaxButtonBitmap,   &gbRestoreButtonBitmap, &gbDragBitmap,
                             &gbUpArrowBitmap,     &gbDownArrowBitmap,     &gbLeftArrowBitmap,
                             &gbMoreBitmap,        &gbCheckBitmap,         &gbDotBitmap,
                             &gbWinIconBitmap};
    paint([&] {
        screen->Rectangle(canvas, GuiRect(0, 0, 299, 99), GuiColor(0, GUI_FACE, GUI_COLOR_FILL), 0);
        int x = 4;
        for (GuiBitmap* b : builtins) {
            screen->Bitmap(canvas, GuiPoint(x, 4), b);
            x += b->width + 6;
        }
        screen->BitmapFill(canvas, GuiRect(4, 30, 60, 50), &gbMixPatternBitmap);
        // Each format over a magenta square: 8-bit, 24-bit, 32-bit, 32-bit transparent, alpha words,
        // RLE 8-bit, RLE 32-bit with alpha.
        for (int f = 0; f < 7; ++f) {
            int ox = 4 + f * 40, oy = 60;
            screen->Rectangle(canvas, GuiRect(ox, oy, ox + 19, oy + 16),
                              GuiColor(0, 0xFF00FF, GUI_COLOR_FILL), 0);
            screen->Bitmap(canvas, GuiPoint(ox + 4, oy + 4), &formats[f]);
        }
    });
    EXPECT_TRUE(matchesReference("bitmaps", GuiRect(0, 0, 299, 99)));
}

TEST_F(Reference, BootLogo) {
    paint([&] { screen->Bitmap(canvas, GuiPoint(0, 0), &gbBootLogoBitmap); });
    EXPECT_TRUE(matchesReference("bootlogo", GuiRect(0, 0, 639, 479)));
}

} // namespace
