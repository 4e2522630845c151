// Primitives of the frame-buffer screen, read from the shown frame after a flush.
#include "gui/bitmaps/bitmaps.h"
#include "gui/fonts/fonts.h"
#include "gui/screen/screen.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"

#include <cstdlib>
#include <vector>


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
        EXPECT_EQ(shownAt(100 + i, 100 + i), RED) << i;
    EXPECT_EQ(countColour(GuiRect(100, 100, 110, 110), RED), 11);
    expectShown({{200, 99, GREEN}, {200, 101, GREEN}, {200, 102, BG}, {300, 100, BLUE}, {320, 110, BLUE}});
    EXPECT_EQ(countColour(GuiRect(200, 95, 220, 115), GREEN), 21 * 3);
    EXPECT_EQ(countColour(GuiRect(399, 99, 405, 102), RED), 6);
    expectShown({{400, 100, RED}, {401, 100, RED}, {402, 100, RED}, {402, 101, RED}, {404, 101, RED}});
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

// ---- bitmaps ------------------------------------------------------------------------------

struct BitmapFormats : Draw {
    // Draws the bitmap at (300, 300) and returns the first n shown pixels of its row y.
    std::vector<uint32_t> show(GuiBitmap* b, size_t n, int y = 0) {
        paint([&] {
            screen->Rectangle(canvas, GuiRect(290, 290, 500, 320), GuiColor(0, BG, GUI_COLOR_FILL), 0);
            screen->Bitmap(canvas, GuiPoint(300, 300), b);
        });
        std::vector<uint32_t> v;
        for (int x = 0; x < static_cast<int>(n); ++x)
            v.push_back(shownAt(300 + x, 300 + y));
        return v;
    }
};

TEST_F(BitmapFormats, RleRunsStopAtTheWidthAndRowsAboveTheViewAreSkipped) {
    // Row 0: 128 red, one white, two transparent. Row 1: green, transparent, blue, then a run of
    // 128 blue that would pass the width of 131.
    std::vector<uint8_t> d = {0x7F,      PAL_RED,         0x80,     PAL_WHITE, 0x01,    PAL_TRANSPARENT, 0x82,
                              PAL_GREEN, PAL_TRANSPARENT, PAL_BLUE, 0x7F,      PAL_BLUE};
    GuiBitmap b{BMF_RLE | BMF_HAS_TRANS, 8, 131, 2, 0, d.data()};
    std::vector<uint32_t> row0 = show(&b, 132), want(128, RED);
    want.insert(want.end(), {GUI_WHITE, BG, BG, BG});
    EXPECT_EQ(row0, want);
    std::vector<uint32_t> row1 = show(&b, 132, 1);
    EXPECT_EQ(std::tuple(row1[0], row1[1], row1[2], row1[130], row1[131]),
              std::tuple(GREEN, BG, BLUE, BLUE, BG));
    // Only the last of three rows lies inside this window.
    std::vector<uint8_t> rows = {0x03, PAL_RED, 0x03, PAL_GREEN, 0x03, PAL_BLUE};
    GuiBitmap three{BMF_RLE, 8, 4, 3, 0, rows.data()};
    Probe* w = new Probe(GuiRect(300, 302, 310, 310), 3, PSF_VIEWPORT);
    pm->Add(w, 0);
    fillFrame(BG);
    paint([&] { screen->Bitmap(w, GuiPoint(300, 300), &three); }, w);
    expectShown({{300, 302, BLUE}, {303, 302, BLUE}, {300, 301, BG}});
    delete pm->Remove(w, 0);
}

TEST_F(Draw, DrawingIntoBitmapsNestsAndRefusesOtherFormats) {
    GuiBitmap* outer = screen->CreateBitmap(20, 10, 1);
    GuiBitmap* inner = screen->CreateBitmap(4, 4, 0);
    int nesting = giCriticalNesting;
    screen->BeginDraw(canvas, outer);
    screen->Rectangle(canvas, GuiRect(-5, -5, 100, 100), GuiColor(0, RED, GUI_COLOR_FILL), 0);
    screen->BeginDraw(canvas, inner);
    screen->Rectangle(canvas, GuiRect(0, 0, 3, 3), GuiColor(0, GREEN, GUI_COLOR_FILL), 0);
    screen->EndDraw(inner);
    screen->PutPixel(canvas, 19, 9, BLUE); // back into the outer bitmap, not the screen
    uint8_t pal[4] = {1, 2, 3, 4};
    GuiBitmap wrong{BMF_RAW, 8, 2, 2, 0, pal};
    screen->BeginDraw(canvas, &wrong);
    screen->Rectangle(canvas, GuiRect(0, 0, 1, 1), GuiColor(0, BLUE, GUI_COLOR_FILL), 0);
    screen->EndDraw(&wrong);
    screen->EndDraw(outer);
    EXPECT_EQ(giCriticalNesting, nesting);
    EXPECT_EQ(pal[0], 1) << "nothing is drawn into a bitmap of another format";
    auto* o = reinterpret_cast<uint32_t*>(outer->data);
    EXPECT_EQ(std::tuple(o[0], o[9 * 20 + 19], reinterpret_cast<uint32_t*>(inner->data)[15]),
              std::tuple(RED, BLUE, GREEN));
    paint([&] { screen->Bitmap(canvas, GuiPoint(400, 50), outer); });
    expectShown({{400, 50, RED}, {419, 59, BLUE}, {420, 50, BG}});
    screen->DestroyBitmap(outer);
    screen->DestroyBitmap(inner);
}

TEST_F(Draw, CaptureIsCutToTheSurface) {
    paint([&] { screen->PutPixel(canvas, 0, 0, RED); });
    GuiCapture cap;
    GuiRect r(-5, -5, 10, 10);
    EXPECT_EQ(std::tuple(screen->Capture(&cap, r), r, cap.Bitmap()->width),
              std::tuple(1, GuiRect(0, 0, 10, 10), 11));
    EXPECT_EQ(reinterpret_cast<uint32_t*>(cap.Bitmap()->data)[0] & 0xFFFFFF, RED);
    GuiRect off(2000, 0, 2010, 10);
    EXPECT_EQ(screen->Capture(&cap, off), 0);
    EXPECT_FALSE(cap.IsValid());
    GuiRect edge(1020, 470, 1100, 600);
    EXPECT_EQ(std::tuple(screen->Capture(&cap, edge), cap.Bitmap()->width, cap.Bitmap()->height),
              std::tuple(1, 4, 10));
}

TEST_F(Draw, WindowsInFrontAreProtectedAlsoInsidePlainObjects) {
    // A window in front, and a plain group holding a window, added in one piece: the windows'
    // areas are kept from the canvas behind them and from a plain sibling drawn later.
    Probe* front = new Probe(GuiRect(100, 100, 199, 199), 5, PSF_VIEWPORT);
    front->mColors[0] = GREEN;
    pm->Add(front, 1);
    Probe* group = new Probe(GuiRect(300, 100, 399, 199));
    Probe* inner = new Probe(GuiRect(320, 120, 339, 139), 6, PSF_VIEWPORT);
    inner->mColors[0] = GREEN;
    group->Add(inner, 0);
    canvas->Add(group, 0);
    Probe* sibling = new Probe(GuiRect(310, 110, 349, 149));
    canvas->AddToEnd(sibling, 0);
    paint([&] {
        screen->Rectangle(canvas, canvas->mReal, GuiColor(0, RED, GUI_COLOR_FILL), 0);
        inner->StandardBorder(GREEN);
    });
    paint([&] { screen->Rectangle(sibling, sibling->mReal, GuiColor(0, BLUE, GUI_COLOR_FILL), 0); }, sibling);
    expectShown({{330, 130, GREEN}, {311, 111, BLUE}, {301, 101, RED}});
    expectShown({{150, 150, GREEN}, {99, 150, RED}, {200, 150, RED}});
    delete pm->Remove(front, 0);
    delete canvas->Remove(group, 0);
    paint([&] { screen->Rectangle(canvas, canvas->mReal, GuiColor(0, RED, GUI_COLOR_FILL), 0); });
    EXPECT_EQ(shownAt(330, 130), RED) << "the area is the canvas's again";
}

// ---- text ---------------------------------------------------------------------------------

TEST_F(Draw, SmallerChainedFontIsNotReadPastItsRows) {
    // A 4-row font holding only 'a', chained behind a 16-row font without it. Its glyph data is
    // exactly four rows long (ASan watches the end).
    auto* data = new uint8_t[4]{0xE0, 0xA0, 0xE0, 0xA0};
    uint16_t offs[2] = {0, 3};
    GuiFont small{FONT_VARIABLE, 4, 3, 4, 1, 'a', 'a', offs, 0, nullptr, data};
    GuiFont big = SysFont;
    big.first = 'A';
    big.last = 'Z';
    big.next = &small;
    EXPECT_EQ(screen->TextHeight("a", &big), 16);
    GuiColor c(RED, GREEN, GUI_COLOR_FILL);
    paint([&] { screen->DrawText(canvas, GuiPoint(300, 300), "a", c, &big); });
    expectShown({{300, 300, RED}, {301, 301, GREEN}});
    EXPECT_EQ(countColour(GuiRect(300, 304, 302, 315), GREEN), 3 * 12)
        << "rows below the small glyph are empty";
    delete[] data;
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
