// Primitives of the frame-buffer screen, read from the shown frame after a flush.
#include "gui/core/palette.h"
#include "gui/fonts/fonts.h"
#include "gui/core/screen.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"

#include <array>
#include <tuple>

extern GuiFont TestAAFont;

namespace {

using guitest::Probe;

constexpr uint32_t RED = 0xFF0000, GREEN = 0x00FF00, BLUE = 0x0000FF, BG = 0x102030;

struct Draw : guitest::GuiTest {
    Probe* canvas = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        canvas = new Probe(GuiRect(0, 0, 1023, 479), 1, PSF_VIEWPORT);
        canvas->mColors[0] = BG;
        pm->Add(canvas, 0);
        screen->Invalidate(canvas->mReal);
        canvas->Draw();
    }
    void TearDown() override {
        redrawAll();
        GuiTest::TearDown();
    }
    template <typename F> void paint(F f, GuiThing* on = nullptr) {
        GuiThing* t = on ? on : canvas;
        screen->Invalidate(t->mReal);
        screen->BeginDraw(t);
        f();
        screen->EndDraw();
        flush();
    }
    int countColour(GuiRect r, uint32_t c) const {
        int n = 0;
        for (int y = r.top; y <= r.bottom; ++y)
            for (int x = r.left; x <= r.right; ++x)
                n += shownAt(x, y) == c;
        return n;
    }
};

TEST_F(Draw, LinesGrowByTheirWidthAndDiagonalsHitBothEnds) {
    paint([&] {
        screen->Line(canvas, 10, 20, 30, 20, GuiColor(RED, 0), 3);   // rows 20..22
        screen->Line(canvas, 40, 10, 40, 30, GuiColor(GREEN, 0), 3); // columns 40..42
        screen->Line(canvas, 60, 10, 60, 30, GuiColor(BLUE, 0), 0);  // width 0: nothing
        screen->Line(canvas, 100, 100, 110, 110, GuiColor(RED, 0), 1);
        screen->Line(canvas, 200, 100, 220, 110, GuiColor(GREEN, 0), 2); // width 2: three thick
        screen->Line(canvas, 320, 110, 300, 100, GuiColor(BLUE, 0), 1);  // reversed endpoints
        // Front and back meet at x 402 on different rows: both runs are drawn.
        screen->Line(canvas, 400, 100, 404, 101, GuiColor(RED, 0), 1);
    });
    EXPECT_EQ(countColour(GuiRect(9, 18, 32, 24), RED), 21 * 3);
    EXPECT_EQ(countColour(GuiRect(38, 9, 44, 31), GREEN), 21 * 3);
    EXPECT_EQ(countColour(GuiRect(55, 5, 65, 35), BG), 11 * 31);
    for (int i = 0; i <= 10; ++i)
        EXPECT_EQ(shownAt(100 + i, 100 + i), RED) << i; // and nothing else in its square:
    EXPECT_EQ(countColour(GuiRect(100, 100, 110, 110), RED), 11);
    expectShown({{200, 99, GREEN}, {200, 101, GREEN}, {200, 102, BG}, {300, 100, BLUE}, {320, 110, BLUE}});
    EXPECT_EQ(countColour(GuiRect(200, 95, 220, 115), GREEN), 21 * 3);
    EXPECT_EQ(countColour(GuiRect(399, 99, 405, 102), RED), 6);
    expectShown({{400, 100, RED}, {401, 100, RED}, {402, 100, RED}, {402, 101, RED}, {404, 101, RED}});
}

// A frame of the given width inside the rectangle, its inside filled only with the fill flag; a
// rectangle just high enough for both bands has side bars in its one middle row.
TEST_F(Draw, RectanglesFrameTheirWidthAroundTheirFill) {
    const struct {
        GuiRect r;
        int width;
        uint8_t flags;
    } cases[] = {{GuiRect(10, 10, 30, 16), 3, GUI_COLOR_FILL},
                 {GuiRect(40, 10, 60, 30), 1, GUI_COLOR_FILL},
                 {GuiRect(70, 10, 90, 30), 2, 0},
                 {GuiRect(100, 10, 120, 30), 0, GUI_COLOR_FILL}};
    for (const auto& c : cases) {
        paint([&] { screen->Rectangle(canvas, c.r, GuiColor(RED, GREEN, c.flags), c.width); });
        const int w = c.r.Width(), h = c.r.Height(), inner = (w - 2 * c.width) * (h - 2 * c.width);
        EXPECT_EQ(std::tuple(countColour(c.r, RED), countColour(c.r, GREEN), countColour(c.r, BG)),
                  std::tuple(w * h - inner, c.flags ? inner : 0, c.flags ? 0 : inner))
            << "width " << c.width;
    }
}

// Wide lines at the edge of the surface: the band is clipped in thickness too (ASan watches the
// frame buffer, which ends with the last row).
TEST_F(Draw, WideLinesAreClippedInThicknessAtTheLastRowAndColumn) {
    paint([&] {
        screen->Line(canvas, 0, 479, 100, 479, GuiColor(RED, 0), 5);
        screen->Line(canvas, 1023, 0, 1023, 50, GuiColor(GREEN, 0), 4);
        screen->Line(canvas, 500, 470, 700, 479, GuiColor(BLUE, 0), 9);
        screen->Line(canvas, 1000, 0, 1023, 20, GuiColor(BLUE, 0), 9);
        screen->Rectangle(canvas, GuiRect(1000, 460, 1023, 479), GuiColor(RED, GREEN, GUI_COLOR_FILL), 30);
    });
    expectShown({{0, 479, RED}, {100, 479, RED}, {1023, 50, GREEN}, {700, 479, BLUE}, {1023, 479, RED}});
}

TEST_F(Draw, DiagonalFastPathRespectsTheHalfWidthAtTheViewEdge) {
    // A window whose clip ends one pixel below the line's endpoints: the run's half-width must
    // not be written outside it.
    Probe* w = new Probe(GuiRect(600, 200, 700, 250), 2, PSF_VIEWPORT);
    pm->Add(w, 0);
    paint([&] { screen->Line(w, 605, 249, 695, 210, GuiColor(RED, 0), 7); }, w);
    EXPECT_EQ(countColour(GuiRect(600, 251, 700, 260), RED), 0);
    EXPECT_GT(countColour(GuiRect(600, 200, 700, 250), RED), 0);
    delete pm->Remove(w, 0);
}

TEST_F(Draw, SmallerChainedFontIsNotReadPastItsRows) {
    // A 4-row font holding only 'a', chained behind a 16-row font without it. Its glyph data is
    // exactly four rows long (ASan watches the end).
    auto* data = new uint8_t[4]{0xE0, 0xA0, 0xE0, 0xA0};
    uint16_t offs[2] = {0, 3};
    GuiFont small{FONT_VARIABLE, 4, 3, 4, 1, 'a', 'a', offs, 0, nullptr, data};
    GuiFont big = SysFont;
    std::tie(big.first, big.last, big.next) = std::tuple('A', 'Z', &small);
    EXPECT_EQ(screen->TextHeight("a", &big), 16);
    GuiColor c(RED, GREEN, GUI_COLOR_FILL);
    paint([&] { screen->DrawText(canvas, GuiPoint(300, 300), "a", c, &big); });
    expectShown({{300, 300, RED}, {301, 301, GREEN}});
    EXPECT_EQ(countColour(GuiRect(300, 304, 302, 315), GREEN), 3 * 12)
        << "rows below the small glyph are empty";
    delete[] data;
}

// Text cut by views into pieces 3 columns wide and 5 rows high (starting inside glyphs and at
// odd columns of double-size cells) draws every pixel as the text drawn whole.
TEST_F(Draw, TextDrawnInPiecesMatchesTextDrawnWhole) {
    const char* text = "Wg|7 Ag";
    for (const GuiFont* f : {&SysFont, &TestAAFont})
        for (int dbl : {0, 1})
            for (uint8_t flags : {uint8_t{0}, GUI_COLOR_FILL}) {
                GuiColor c(RED, GREEN, flags);
                const int w = screen->TextWidth(text, f) << dbl, h = screen->TextHeight(text, f) << dbl;
                paint([&] {
                    screen->Rectangle(canvas, GuiRect(0, 0, 2 * w + 9, h), GuiColor(0, BG, GUI_COLOR_FILL),
                                      0);
                    screen->DrawText(canvas, GuiPoint(0, 0), text, c, f, -1, dbl);
                    for (int x = w + 10; x < 2 * w + 10; x += 3)
                        for (int y = 0; y < h; y += 5) {
                            GuiRect v(x, y, x + 2 < 2 * w + 9 ? x + 2 : 2 * w + 9,
                                      y + 4 < h - 1 ? y + 4 : h - 1);
                            if (dbl)
                                screen->DrawTextViewDouble(GuiPoint(w + 10, 0), text, c, f, -1, v);
                            else
                                screen->DrawTextView(GuiPoint(w + 10, 0), text, c, f, -1, v);
                        }
                });
                int differ = 0;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        differ += shownAt(x, y) != shownAt(x + w + 10, y);
                EXPECT_EQ(differ, 0) << "double " << dbl << " fill " << int{flags} << " aa "
                                     << (f == &TestAAFont);
            }
}

// Four pixels in each bitmap format over magenta, drawn by the format's rules.
TEST_F(Draw, BitmapFormatsDrawByTheirRules) {
    constexpr uint32_t M = 0xFF00FF;
    uint8_t pal8[] = {PAL_RED, 255, PAL_WHITE, PAL_BLUE}, rgb24[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint32_t words[] = {0x123456, 1, 0xABCDEF, 0}, alpha[] = {0x123456FF, 0xABCDEF80, 0x1111117F, 0};
    // RLE: a repeat run is a count - 1 below 0x80 and one pixel; 0x80 | (count - 1) and the pixels.
    uint8_t rle8[] = {0x00, PAL_RED, 0x00, 255, 0x81, PAL_WHITE, PAL_BLUE};
    uint8_t rle32[] = {0x00, 0xFF, 0x12, 0x34, 0x56, 0x00, 0x80, 0xFF,
                       0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
    // new = ((256 - a) old + a source) >> 8 per channel
    auto blend = [](uint32_t a, uint32_t src, uint32_t old) {
        uint32_t w = 0;
        for (int sh : {16, 8, 0})
            w |= (((256 - a) * (old >> sh & 0xFF) + a * (src >> sh & 0xFF)) >> 8) << sh;
        return w;
    };
    const struct {
        GuiBitmap b;
        std::array<uint32_t, 4> want;
    } cases[] = {
        {{BMF_RAW | BMF_HAS_TRANS, 8, 4, 1, 255, pal8}, {0xFF0000, M, 0xFFFFFF, 0x0000FF}},
        {{BMF_RAW, 24, 4, 1, 0, rgb24}, {0x010203, 0x040506, 0x070809, 0x0A0B0C}},
        {{BMF_RAW, 32, 4, 1, 0, reinterpret_cast<uint8_t*>(words)}, {0x123456, 1, 0xABCDEF, 0}},
        {{BMF_RAW | BMF_HAS_TRANS, 32, 4, 1, 0, reinterpret_cast<uint8_t*>(words)},
         {0x123456, M, 0xABCDEF, 0}},
        {{BMF_RAW | BMF_HAS_ALPHA, 32, 4, 1, 0, reinterpret_cast<uint8_t*>(alpha)},
         {0x123456, 0xABCDEF, M, M}},
        {{BMF_RLE | BMF_HAS_TRANS, 8, 4, 1, 0, rle8}, {0xFF0000, M, 0xFFFFFF, 0x0000FF}},
        {{BMF_RLE | BMF_HAS_TRANS | BMF_HAS_ALPHA, 32, 4, 1, 0, rle32},
         {blend(255, 0x123456, M), blend(128, 0xFF0000, M), M, M}},
    };
    paint([&] {
        screen->Rectangle(canvas, GuiRect(0, 0, 99, 9), GuiColor(0, M, GUI_COLOR_FILL), 0);
        for (int i = 0; i < 7; ++i)
            screen->Bitmap(canvas, GuiPoint(10 * i, 2), const_cast<GuiBitmap*>(&cases[i].b));
    });
    for (int i = 0; i < 7; ++i)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(shownAt(10 * i + x, 2), cases[i].want[static_cast<size_t>(x)])
                << "format " << i << " pixel " << x;
}

// ---- flush, layers, dump ------------------------------------------------------------------

TEST_F(Draw, FailedFlushesAreReportedAsFailures) {
    kmgr::injectFault(KCALL_DISPLAY_FLUSH, 5);
    EXPECT_EQ(screen->FlushScreen(), -1);
    kmgr::injectFault(KCALL_DISPLAY_WAIT_FLUSH, -1);
    EXPECT_EQ(screen->WaitFlushFinish(), -1);
    kmgr::clearFaults();
    EXPECT_EQ(screen->WaitFlushFinish(), 0);
}

} // namespace
