// Primitives of the frame-buffer screen, read from the shown frame after a flush.
#include "gui/bitmaps/bitmaps.h"
#include "gui/fonts/fonts.h"
#include "gui/screen/screen.h"
#include "gui/testkit.h"
#include "platform/kmgr/kmgr_sim.h"

#include <cstdlib>
#include <vector>

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

TEST_F(Draw, StraightLinesGrowDownAndRightByTheirWidth) {
    paint([&] {
        screen->Line(canvas, 10, 20, 30, 20, GuiColor(RED, 0), 3);
        screen->Line(canvas, 40, 10, 40, 30, GuiColor(GREEN, 0), 3);
        screen->Line(canvas, 60, 10, 60, 30, GuiColor(BLUE, 0), 0); // width 0: nothing
    });
    for (int y = 20; y <= 22; ++y) {
        expectShown({{10, y, RED}, {30, y, RED}});
    }
    expectShown({{10, 19, BG}, {10, 23, BG}, {31, 20, BG}});
    for (int x = 40; x <= 42; ++x)
        EXPECT_EQ(shownAt(x, 10), GREEN);
    expectShown({{43, 10, BG}, {40, 31, BG}, {60, 20, BG}});
}

TEST_F(Draw, DiagonalLinesHitBothEndpointsAndWidthTwoIsThreeThick) {
    paint([&] {
        screen->Line(canvas, 100, 100, 110, 110, GuiColor(RED, 0), 1);
        screen->Line(canvas, 200, 100, 220, 110, GuiColor(GREEN, 0), 2);
        screen->Line(canvas, 320, 110, 300, 100, GuiColor(BLUE, 0), 1); // reversed endpoints
        // Front and back meet at x 402 on different rows: both runs are drawn.
        screen->Line(canvas, 400, 100, 404, 101, GuiColor(RED, 0), 1);
    });
    EXPECT_EQ(countColour(GuiRect(399, 99, 405, 102), RED), 6);
    expectShown({{400, 100, RED}, {401, 100, RED}, {402, 100, RED}, {402, 101, RED}, {404, 101, RED}});
    for (int i = 0; i <= 10; ++i)
        EXPECT_EQ(shownAt(100 + i, 100 + i), RED) << i;
    EXPECT_EQ(shownAt(101, 100), BG);
    for (int y = 99; y <= 101; ++y)
        EXPECT_EQ(shownAt(200, y), GREEN);
    expectShown({{200, 98, BG}, {200, 102, BG}});
    EXPECT_EQ(countColour(GuiRect(200, 95, 220, 115), GREEN), 21 * 3);
    expectShown({{300, 100, BLUE}, {320, 110, BLUE}});
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

TEST_F(Draw, XorLinesAreDottedAndUndoThemselves) {
    paint([&] {
        screen->Rectangle(canvas, GuiRect(0, 0, 200, 200), GuiColor(0, 0x336699, GUI_COLOR_FILL), 0);
        screen->HorizontalLineXOR(10, 15, 5);
        screen->VerticalLineXOR(10, 14, 50);
    });
    expectShown({{10, 5, 0xCC9966u}, {11, 5, 0x336699u}, {12, 5, 0xCC9966u}, {14, 5, 0xCC9966u}});
    expectShown({{15, 5, 0x336699u}, {50, 12, 0xCC9966u}, {50, 13, 0x336699u}});
    paint([&] { screen->HorizontalLineXOR(10, 15, 5); });
    EXPECT_EQ(shownAt(10, 5), 0x336699u);
    // The outline of RectangleXOR, drawn twice, leaves nothing; drawn once, dots from the corner.
    screen->BeginDraw(canvas);
    screen->RectangleXOR(canvas, GuiRect(20, 20, 60, 40));
    screen->EndDraw();
    flush();
    expectShown({{20, 20, 0xCC9966u}, {21, 20, 0x336699u}, {20, 22, 0xCC9966u}});
    screen->BeginDraw(canvas);
    screen->RectangleXOR(canvas, GuiRect(20, 20, 60, 40));
    screen->EndDraw();
    flush();
    EXPECT_EQ(countColour(GuiRect(15, 15, 65, 45), 0x336699), 51 * 31);
}

TEST_F(Draw, StandardBordersDrawTheirBevels) {
    std::vector<Probe*> probes;
    for (auto [left, style] : {std::pair{100, FF_RAISED}, {150, FF_RECESSED}, {200, FF_THIN}}) {
        probes.push_back(new Probe(GuiRect(left, 100, left + 19, 119)));
        probes.back()->Style(style);
        canvas->Add(probes.back(), 0);
    }
    paint([&] {
        for (Probe* p : probes)
            p->StandardBorder(GREEN);
    });
    const int L = 100, T = 100, R = 119, B = 119;
    expectShown({{L, T, GUI_FACE}, {L, B - 1, GUI_FACE}, {L + 1, T + 1, GUI_WHITE}});
    expectShown({{R - 2, T + 1, GUI_WHITE}, {R - 1, T + 1, GUI_SHADOW}, {L + 1, B - 1, GUI_SHADOW}});
    expectShown({{R, T, GUI_BLACK}, {L, B, GUI_BLACK}, {L + 2, T + 2, GREEN}});
    const int l = 150, r = 169;
    expectShown({{l, T, GUI_SHADOW}, {l, B, GUI_SHADOW}, {r, B, GUI_WHITE}, {r, T, GUI_SHADOW}});
    expectShown({{l + 1, T + 1, GUI_BLACK}, {r - 1, T + 1, GUI_FACE}, {l + 1, B - 1, GUI_FACE}});
    expectShown({{l + 2, T + 2, GREEN}, {200, 100, GUI_BLACK}, {219, 119, GUI_BLACK}, {201, 101, GREEN}});
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

TEST_F(BitmapFormats, RawFormats) {
    uint8_t pal[4] = {PAL_RED, 5, PAL_WHITE, PAL_BLUE}, rgb[6] = {0x11, 0x22, 0x33, 0xAA, 0xBB, 0xCC};
    uint32_t words[2] = {0x445566, 0x000001}, trans[3] = {0x445566, 0x000001, 0xFF000001},
             alpha[2] = {0x1122337F, 0x44556680};
    auto w = [](uint32_t* p) { return reinterpret_cast<uint8_t*>(p); };
    const std::pair<GuiBitmap, std::vector<uint32_t>> cases[] = {
        // A palette bitmap skips its transparent index.
        {{BMF_RAW | BMF_HAS_TRANS, 8, 4, 1, 5, pal}, {RED, BG, GUI_WHITE, BLUE}},
        {{BMF_RAW, 24, 2, 1, 0, rgb}, {0x112233, 0xAABBCC}},
        // Without the transparency flag the empty word is a colour.
        {{BMF_RAW, 32, 2, 1, 0, w(words)}, {0x445566, 0x000001}},
        // With it the empty word is skipped whatever the transparent field; the top byte is not
        // part of the colour.
        {{BMF_RAW | BMF_HAS_TRANS, 24, 3, 1, 0x123456, w(trans)}, {0x445566, BG, BG}},
        // Alpha words are drawn from alpha 128 on, without blending.
        {{BMF_RAW | BMF_HAS_ALPHA, 32, 2, 1, 0, w(alpha)}, {BG, 0x445566}},
    };
    for (auto [b, want] : cases)
        EXPECT_EQ(show(&b, want.size()), want) << b.bitsPerPixel << " bits, flags " << b.flags;
    screen->SetPalette(PAL_RED, 1, std::vector<uint8_t>{1, 2, 3}.data());
    GuiBitmap b = cases[0].first;
    EXPECT_EQ(show(&b, 1), std::vector<uint32_t>{0x010203});
}

TEST_F(BitmapFormats, RlePaletteRunsCoverTheirLengthsAndSkipIndex255) {
    // Row 0: repeat 0x7F (128 pixels) of red, then literal 0x80 (one pixel) white, then 0x01 (2) transparent.
    // Row 1: literal 0x82 (three pixels) then repeat 0x7F of blue.
    std::vector<uint8_t> d = {0x7F,      PAL_RED,         0x80,     PAL_WHITE, 0x01,    PAL_TRANSPARENT, 0x82,
                              PAL_GREEN, PAL_TRANSPARENT, PAL_BLUE, 0x7F,      PAL_BLUE};
    GuiBitmap b{BMF_RLE | BMF_HAS_TRANS, 8, 131, 2, 0, d.data()};
    std::vector<uint32_t> row0 = show(&b, 132), want(128, RED);
    want.insert(want.end(), {GUI_WHITE, BG, BG, BG});
    EXPECT_EQ(row0, want);
    std::vector<uint32_t> row1 = show(&b, 132, 1);
    EXPECT_EQ(std::vector<uint32_t>(row1.begin(), row1.begin() + 3),
              (std::vector<uint32_t>{GREEN, BG, BLUE}));
    EXPECT_EQ(std::tuple(row1[130], row1[131]), std::tuple(BLUE, BG))
        << "a run never goes past the bitmap's width";
}

TEST_F(BitmapFormats, RleTrueColourBlendsByAlphaAndSkipsTheEmptyColour) {
    // Pixels are alpha, red, green, blue. Row: alpha 0 over BG, alpha 255 of white, a repeat of the
    // empty colour (0,0,1) for two pixels, and alpha 128 of red.
    std::vector<uint8_t> d = {0x80, 0,   0xFF, 0xFF, 0xFF, 0x80, 255, 0xFF, 0xFF, 0xFF,
                              0x01, 200, 0,    0,    1,    0x80, 128, 0xFF, 0,    0};
    GuiBitmap b{BMF_RLE | BMF_HAS_TRANS | BMF_HAS_ALPHA, 32, 5, 1, 0, d.data()};
    // Alpha 0 keeps the old value: old * 256 >> 8.
    auto mix = [](uint32_t s, uint32_t a) {
        uint32_t out = 0;
        for (int shift : {16, 8, 0})
            out |= (((256 - a) * ((BG >> shift) & 0xFF) + a * ((s >> shift) & 0xFF)) >> 8) << shift;
        return out;
    };
    EXPECT_EQ(show(&b, 5), (std::vector<uint32_t>{BG, mix(0xFFFFFF, 255), BG, BG, mix(0xFF0000, 128)}));
    // Without the alpha flag the colour replaces the pixel.
    b.flags = BMF_RLE;
    std::vector<uint32_t> plain = show(&b, 3);
    EXPECT_EQ(std::tuple(plain[0], plain[2]), std::tuple(0xFFFFFFu, 0x000001u));
}

TEST_F(BitmapFormats, RleRowsAboveTheViewAreDecodedAndSkipped) {
    // Three rows of one colour each; only the last row is inside the window.
    std::vector<uint8_t> d = {0x03, PAL_RED, 0x03, PAL_GREEN, 0x03, PAL_BLUE};
    GuiBitmap b{BMF_RLE, 8, 4, 3, 0, d.data()};
    Probe* w = new Probe(GuiRect(300, 302, 310, 310), 3, PSF_VIEWPORT);
    pm->Add(w, 0);
    fillFrame(BG);
    paint([&] { screen->Bitmap(w, GuiPoint(300, 300), &b); }, w);
    expectShown({{300, 302, BLUE}, {303, 302, BLUE}, {300, 301, BG}});
    delete pm->Remove(w, 0);
}

TEST_F(Draw, CreateBitmapRefusesBadSizesAndFillsWithTheEmptyWord) {
    for (auto [w, h] : {std::pair{0, 10}, {-5, 10}, {10, 65536}})
        EXPECT_EQ(screen->CreateBitmap(w, h, 0), nullptr) << w << " x " << h;
    GuiBitmap* b = screen->CreateBitmap(2, 2, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::tuple(b->flags, b->transparent, b->bitsPerPixel), std::tuple(0x12, 1u, 32));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(reinterpret_cast<uint32_t*>(b->data)[i], 1u);
    screen->PutBitmapPixel(1, 1, b, 0xFF123456);
    EXPECT_EQ(screen->GetBitmapPixel(1, 1, b), 0x123456u);
    screen->DestroyBitmap(b);
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

TEST_F(Draw, RectMoveMovesUncoveredPixelsAndRefusesCoveredOnes) {
    paint([&] { screen->Rectangle(canvas, GuiRect(10, 10, 19, 19), GuiColor(0, RED, GUI_COLOR_FILL), 0); });
    screen->BeginDraw(canvas);
    EXPECT_EQ(screen->RectMove(canvas, GuiRect(10, 10, 19, 19), canvas->mClient, 30, 5), 1);
    screen->EndDraw();
    flush();
    expectShown({{40, 15, RED}, {49, 24, RED}});
    Probe* cover = new Probe(GuiRect(45, 0, 60, 100), 4, PSF_VIEWPORT);
    pm->Add(cover, 0);
    screen->BeginDraw(canvas);
    EXPECT_EQ(screen->RectMove(canvas, GuiRect(10, 10, 19, 19), canvas->mClient, 30, 0), 0);
    screen->EndDraw();
    delete pm->Remove(cover, 0);
}

TEST_F(Draw, WindowsInFrontAreNotOverwritten) {
    Probe* front = new Probe(GuiRect(100, 100, 199, 199), 5, PSF_VIEWPORT);
    front->mColors[0] = GREEN;
    pm->Add(front, 1);
    paint([&] { screen->Rectangle(canvas, canvas->mReal, GuiColor(0, RED, GUI_COLOR_FILL), 0); });
    expectShown({{150, 150, GREEN}, {99, 150, RED}, {200, 150, RED}});
    delete pm->Remove(front, 0);
}

TEST_F(Draw, WindowsInsidePlainObjectsAreProtectedToo) {
    // A plain group holding a window, added in one piece: the window's area is kept from the
    // canvas behind it and from a plain sibling drawn later.
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
    delete canvas->Remove(group, 0);
    paint([&] { screen->Rectangle(canvas, canvas->mReal, GuiColor(0, RED, GUI_COLOR_FILL), 0); });
    EXPECT_EQ(shownAt(330, 130), RED) << "the area is the canvas's again";
}

TEST_F(Draw, PolygonAndCircleOutlineAndFill) {
    GuiPoint tri[3] = {GuiPoint(600, 20), GuiPoint(640, 60), GuiPoint(560, 60)};
    paint([&] {
        screen->Polygon(canvas, tri, 3, GuiColor(RED, GREEN, GUI_COLOR_FILL), 1);
        GuiColor c(BLUE, GREEN, GUI_COLOR_FILL);
        screen->Circle(canvas, 800, 100, 10, c, 2);
    });
    expectShown({{600, 20, RED}, {600, 50, GREEN}, {600, 60, RED}, {600, 61, BG}, {800, 100, GREEN}});
    expectShown({{810, 100, BLUE}, {809, 100, BLUE}, {808, 100, GREEN}, {811, 100, BG}, {800, 89, BG}});
    expectShown({{800, 90, BLUE}});
}

TEST_F(Draw, PixelsOutsideTheSurfaceOrTheInvalidAreaAreNotTouched) {
    for (auto [x, y] : {std::pair{-1, 0}, {1024, 0}, {0, 480}})
        EXPECT_EQ(screen->GetPixel(x, y), 0u) << x << ", " << y;
    screen->Invalidate(GuiRect(0, 0, 9, 9));
    screen->BeginDraw(canvas);
    screen->PutPixel(canvas, 5, 5, RED);
    screen->PutPixel(canvas, 50, 50, RED);
    screen->PutPixel(canvas, -1, 479, RED);
    screen->EndDraw();
    flush();
    expectShown({{5, 5, RED}, {50, 50, BG}});
    EXPECT_EQ(screen->GetPixel(5, 5) & 0xFFFFFF, RED);
}

// ---- text ---------------------------------------------------------------------------------

TEST_F(Draw, TextOfCharactersOutsideEveryFontDrawsNothingAndDoesNotAdvance) {
    EXPECT_EQ(screen->TextWidth("\x01\x02", &SysFont), 0);
    EXPECT_EQ(screen->TextWidth("AB", &SysFont), screen->TextWidth("A\1B", &SysFont));
    EXPECT_EQ(screen->TextHeight("x", &SysFont), 16);
    EXPECT_EQ(screen->TextHeight("x", nullptr), 0);
    EXPECT_EQ(screen->TextWidth("ABC", &SysFont, 1), screen->TextWidth("A", &SysFont));
    GuiColor c(RED, GREEN, GUI_COLOR_FILL);
    paint([&] { screen->DrawText(canvas, GuiPoint(10, 300), "\x01\x02", c, &SysFont); });
    EXPECT_EQ(countColour(GuiRect(0, 290, 100, 330), BG), 101 * 41);
}

TEST_F(Draw, FilledTextCoversItsCellsExactly) {
    GuiColor c(RED, GREEN, GUI_COLOR_FILL);
    int w = screen->TextWidth("Hi", &SysFont);
    paint([&] { screen->DrawText(canvas, GuiPoint(10, 300), "Hi", c, &SysFont); });
    GuiRect cell(10, 300, 10 + w - 1, 315);
    EXPECT_EQ(countColour(cell, RED) + countColour(cell, GREEN), cell.Width() * cell.Height());
    EXPECT_GT(countColour(cell, RED), 20);
    expectShown({{10 + w, 300, BG}, {10, 316, BG}});
    // Without the fill flag only the glyph pixels change.
    GuiColor plain(BLUE, GREEN, 0);
    paint([&] { screen->DrawText(canvas, GuiPoint(10, 350), "Hi", plain, &SysFont); });
    GuiRect cell2(10, 350, 10 + w - 1, 365);
    EXPECT_EQ(countColour(cell2, BLUE), countColour(cell, RED));
    EXPECT_EQ(countColour(cell2, GREEN), 0);
}

TEST_F(Draw, DoubleSizeTextIsTwiceAsWideAndHighInBlocksOfTwo) {
    GuiColor c(RED, GREEN, GUI_COLOR_FILL);
    int w = screen->TextWidth("T", &SysFont);
    paint([&] { screen->DrawText(canvas, GuiPoint(100, 300), "T", c, &SysFont, -1, 1); });
    GuiRect cell(100, 300, 100 + 2 * w - 1, 331);
    EXPECT_EQ(countColour(cell, RED) + countColour(cell, GREEN), cell.Width() * cell.Height());
    EXPECT_EQ(shownAt(100 + 2 * w, 300), BG);
    for (int y = 300; y < 332; y += 2)
        for (int x = 100; x < 100 + 2 * w; x += 2) {
            uint32_t p = shownAt(x, y);
            expectShown({{x + 1, y, p}, {x, y + 1, p}});
        }
}

TEST_F(Draw, AliasedTextUsesTheColourRampAndWritesEveryCellPixel) {
    ASSERT_TRUE(TestAAFont.flags & FONT_ALIASED);
    GuiColor c(0xFFFFFF, 0x000000, 0); // fill flag clear: the ramp still writes the background
    int w = screen->TextWidth("W", &TestAAFont);
    paint([&] { screen->DrawText(canvas, GuiPoint(200, 300), "W", c, &TestAAFont); });
    GuiRect cell(200, 300, 200 + w - 1, 315);
    int white = countColour(cell, 0xFFFFFF), black = countColour(cell, 0);
    EXPECT_GT(white, 0);
    EXPECT_GT(black, 10);
    int grey = 0;
    for (int y = cell.top; y <= cell.bottom; ++y)
        for (int x = cell.left; x <= cell.right; ++x) {
            uint32_t p = shownAt(x, y);
            EXPECT_TRUE(p == 0 || p == 0xFFFFFF ||
                        ((p >> 16) == (p & 0xFF) && ((p >> 8) & 0xFF) == (p & 0xFF)))
                << std::hex << p;
            grey += p != 0 && p != 0xFFFFFF;
        }
    EXPECT_GT(grey, 0) << "anti-aliased edges";
    EXPECT_EQ(shownAt(200 + w, 300), BG);
}

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

TEST_F(Draw, TheShownFrameChangesOnlyOnFlushAndOnlyWithLayerOne) {
    paint([&] { screen->PutPixel(canvas, 1, 1, RED); });
    EXPECT_EQ(shownAt(1, 1), RED);
    screen->Invalidate(canvas->mReal);
    screen->BeginDraw(canvas);
    screen->PutPixel(canvas, 1, 1, GREEN);
    screen->EndDraw();
    EXPECT_EQ(shownAt(1, 1), RED) << "not flushed yet";
    EXPECT_EQ(screen->WaitFlushFinish(), 0);
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 0);
    flush();
    EXPECT_EQ(shownAt(1, 1), 0u) << "layer 1 off: black";
    hw_write32(SCRNDRV_CTRL_BASE + SCRNDRV_LAYER_REG0 + SCRNDRV_LAYER_STEP, 3);
    flush();
    EXPECT_EQ(shownAt(1, 1), GREEN);
    kmgr::injectFault(KCALL_DISPLAY_FLUSH, 5);
    EXPECT_EQ(screen->FlushScreen(), -1) << "a failed flush is reported as failure";
    kmgr::injectFault(KCALL_DISPLAY_WAIT_FLUSH, -1);
    EXPECT_EQ(screen->WaitFlushFinish(), -1);
    kmgr::clearFaults();
}

} // namespace
