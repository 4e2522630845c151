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
        EXPECT_EQ(shownAt(10, y), RED);
        EXPECT_EQ(shownAt(30, y), RED);
    }
    EXPECT_EQ(shownAt(10, 19), BG);
    EXPECT_EQ(shownAt(10, 23), BG);
    EXPECT_EQ(shownAt(31, 20), BG);
    for (int x = 40; x <= 42; ++x)
        EXPECT_EQ(shownAt(x, 10), GREEN);
    EXPECT_EQ(shownAt(43, 10), BG);
    EXPECT_EQ(shownAt(40, 31), BG);
    EXPECT_EQ(shownAt(60, 20), BG);
}

TEST_F(Draw, DiagonalLinesHitBothEndpointsAndWidthTwoIsThreeThick) {
    paint([&] {
        screen->Line(canvas, 100, 100, 110, 110, GuiColor(RED, 0), 1);
        screen->Line(canvas, 200, 100, 220, 110, GuiColor(GREEN, 0), 2);
        screen->Line(canvas, 320, 110, 300, 100, GuiColor(BLUE, 0), 1); // reversed endpoints
    });
    for (int i = 0; i <= 10; ++i)
        EXPECT_EQ(shownAt(100 + i, 100 + i), RED) << i;
    EXPECT_EQ(shownAt(101, 100), BG);
    for (int y = 99; y <= 101; ++y)
        EXPECT_EQ(shownAt(200, y), GREEN);
    EXPECT_EQ(shownAt(200, 98), BG);
    EXPECT_EQ(shownAt(200, 102), BG);
    EXPECT_EQ(countColour(GuiRect(200, 95, 220, 115), GREEN), 21 * 3);
    EXPECT_EQ(shownAt(300, 100), BLUE);
    EXPECT_EQ(shownAt(320, 110), BLUE);
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
    EXPECT_EQ(shownAt(0, 479), RED);
    EXPECT_EQ(shownAt(100, 479), RED);
    EXPECT_EQ(shownAt(1023, 50), GREEN);
    EXPECT_EQ(shownAt(700, 479), BLUE);
    EXPECT_EQ(shownAt(1023, 479), RED);
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
    EXPECT_EQ(shownAt(10, 5), 0xCC9966u);
    EXPECT_EQ(shownAt(11, 5), 0x336699u);
    EXPECT_EQ(shownAt(12, 5), 0xCC9966u);
    EXPECT_EQ(shownAt(14, 5), 0xCC9966u);
    EXPECT_EQ(shownAt(15, 5), 0x336699u);
    EXPECT_EQ(shownAt(50, 12), 0xCC9966u);
    EXPECT_EQ(shownAt(50, 13), 0x336699u);
    paint([&] { screen->HorizontalLineXOR(10, 15, 5); });
    EXPECT_EQ(shownAt(10, 5), 0x336699u);
    // The outline of RectangleXOR, drawn twice, leaves nothing; drawn once, dots from the corner.
    screen->BeginDraw(canvas);
    screen->RectangleXOR(canvas, GuiRect(20, 20, 60, 40));
    screen->EndDraw();
    flush();
    EXPECT_EQ(shownAt(20, 20), 0xCC9966u);
    EXPECT_EQ(shownAt(21, 20), 0x336699u);
    EXPECT_EQ(shownAt(20, 22), 0xCC9966u);
    screen->BeginDraw(canvas);
    screen->RectangleXOR(canvas, GuiRect(20, 20, 60, 40));
    screen->EndDraw();
    flush();
    EXPECT_EQ(countColour(GuiRect(15, 15, 65, 45), 0x336699), 51 * 31);
}

TEST_F(Draw, StandardBordersDrawTheirBevels) {
    auto* raised = new Probe(GuiRect(100, 100, 119, 119));
    raised->Style(FF_RAISED);
    auto* recessed = new Probe(GuiRect(150, 100, 169, 119));
    recessed->Style(FF_RECESSED);
    auto* thin = new Probe(GuiRect(200, 100, 219, 119));
    thin->Style(FF_THIN);
    canvas->Add(raised, 0);
    canvas->Add(recessed, 0);
    canvas->Add(thin, 0);
    paint([&] {
        raised->StandardBorder(GREEN);
        recessed->StandardBorder(GREEN);
        thin->StandardBorder(GREEN);
    });
    const int L = 100, T = 100, R = 119, B = 119;
    EXPECT_EQ(shownAt(L, T), GUI_FACE);
    EXPECT_EQ(shownAt(L, B - 1), GUI_FACE);
    EXPECT_EQ(shownAt(L + 1, T + 1), GUI_WHITE);
    EXPECT_EQ(shownAt(R - 2, T + 1), GUI_WHITE);
    EXPECT_EQ(shownAt(R - 1, T + 1), GUI_SHADOW);
    EXPECT_EQ(shownAt(L + 1, B - 1), GUI_SHADOW);
    EXPECT_EQ(shownAt(R, T), GUI_BLACK);
    EXPECT_EQ(shownAt(L, B), GUI_BLACK);
    EXPECT_EQ(shownAt(L + 2, T + 2), GREEN);
    const int l = 150, r = 169;
    EXPECT_EQ(shownAt(l, T), GUI_SHADOW);
    EXPECT_EQ(shownAt(l, B), GUI_SHADOW);
    EXPECT_EQ(shownAt(r, B), GUI_WHITE);
    EXPECT_EQ(shownAt(r, T), GUI_SHADOW);
    EXPECT_EQ(shownAt(l + 1, T + 1), GUI_BLACK);
    EXPECT_EQ(shownAt(r - 1, T + 1), GUI_FACE);
    EXPECT_EQ(shownAt(l + 1, B - 1), GUI_FACE);
    EXPECT_EQ(shownAt(l + 2, T + 2), GREEN);
    EXPECT_EQ(shownAt(200, 100), GUI_BLACK);
    EXPECT_EQ(shownAt(219, 119), GUI_BLACK);
    EXPECT_EQ(shownAt(201, 101), GREEN);
}

// ---- bitmaps ------------------------------------------------------------------------------

struct BitmapFormats : Draw {
    uint32_t at(int x, int y) { return shownAt(300 + x, 300 + y); }
    void show(GuiBitmap* b) {
        paint([&] {
            screen->Rectangle(canvas, GuiRect(290, 290, 500, 320), GuiColor(0, BG, GUI_COLOR_FILL), 0);
            screen->Bitmap(canvas, GuiPoint(300, 300), b);
        });
    }
};

TEST_F(BitmapFormats, PaletteBitmapSkipsItsTransparentIndex) {
    uint8_t px[4] = {PAL_RED, 5, PAL_WHITE, PAL_BLUE};
    GuiBitmap b{BMF_RAW | BMF_HAS_TRANS, 8, 4, 1, 5, px};
    show(&b);
    EXPECT_EQ(at(0, 0), RED);
    EXPECT_EQ(at(1, 0), BG);
    EXPECT_EQ(at(2, 0), GUI_WHITE);
    EXPECT_EQ(at(3, 0), BLUE);
    screen->SetPalette(PAL_RED, 1, std::vector<uint8_t>{1, 2, 3}.data());
    show(&b);
    EXPECT_EQ(at(0, 0), 0x010203u);
}

TEST_F(BitmapFormats, TrueColourBitmapsOfTwentyFourAndThirtyTwoBits) {
    uint8_t rgb[6] = {0x11, 0x22, 0x33, 0xAA, 0xBB, 0xCC};
    GuiBitmap b24{BMF_RAW, 24, 2, 1, 0, rgb};
    show(&b24);
    EXPECT_EQ(at(0, 0), 0x112233u);
    EXPECT_EQ(at(1, 0), 0xAABBCCu);
    uint32_t words[2] = {0x445566, 0x000001};
    GuiBitmap b32{BMF_RAW, 32, 2, 1, 0, reinterpret_cast<uint8_t*>(words)};
    show(&b32);
    EXPECT_EQ(at(0, 0), 0x445566u);
    EXPECT_EQ(at(1, 0), 0x000001u) << "without the transparency flag the empty word is a colour";
}

TEST_F(BitmapFormats, EmptyPixelWordIsSkippedWhateverTheTransparentField) {
    uint32_t words[3] = {0x445566, 0x000001, 0xFF000001};
    GuiBitmap b{BMF_RAW | BMF_HAS_TRANS, 24, 3, 1, 0x123456, reinterpret_cast<uint8_t*>(words)};
    show(&b);
    EXPECT_EQ(at(0, 0), 0x445566u);
    EXPECT_EQ(at(1, 0), BG);
    EXPECT_EQ(at(2, 0), BG) << "the top byte is not part of the colour";
}

TEST_F(BitmapFormats, AlphaWordsAreDrawnFromAlphaOneTwentyEightWithoutBlending) {
    uint32_t words[2] = {0x1122337F, 0x44556680};
    GuiBitmap b{BMF_RAW | BMF_HAS_ALPHA, 32, 2, 1, 0, reinterpret_cast<uint8_t*>(words)};
    show(&b);
    EXPECT_EQ(at(0, 0), BG);
    EXPECT_EQ(at(1, 0), 0x445566u);
}

TEST_F(BitmapFormats, RlePaletteRunsCoverTheirLengthsAndSkipIndex255) {
    // Row 0: repeat 0x7F (128 pixels) of red, then literal 0x80 (one pixel) white, then 0x01 (2) transparent.
    // Row 1: literal 0x82 (three pixels) then repeat 0x7F of blue.
    std::vector<uint8_t> d = {0x7F,      PAL_RED,         0x80,     PAL_WHITE, 0x01,    PAL_TRANSPARENT, 0x82,
                              PAL_GREEN, PAL_TRANSPARENT, PAL_BLUE, 0x7F,      PAL_BLUE};
    GuiBitmap b{BMF_RLE | BMF_HAS_TRANS, 8, 131, 2, 0, d.data()};
    show(&b);
    EXPECT_EQ(countColour(GuiRect(300, 300, 427, 300), RED), 128);
    EXPECT_EQ(at(128, 0), GUI_WHITE);
    EXPECT_EQ(at(129, 0), BG);
    EXPECT_EQ(at(130, 0), BG);
    EXPECT_EQ(at(0, 1), GREEN);
    EXPECT_EQ(at(1, 1), BG);
    EXPECT_EQ(at(2, 1), BLUE);
    EXPECT_EQ(at(130, 1), BLUE);
    EXPECT_EQ(at(131, 1), BG) << "a run never goes past the bitmap's width";
}

TEST_F(BitmapFormats, RleTrueColourBlendsByAlphaAndSkipsTheEmptyColour) {
    // Pixels are alpha, red, green, blue. Row: alpha 0 over BG, alpha 255 of white, a repeat of the
    // empty colour (0,0,1) for two pixels, and alpha 128 of red.
    std::vector<uint8_t> d = {0x80, 0,   0xFF, 0xFF, 0xFF, 0x80, 255, 0xFF, 0xFF, 0xFF,
                              0x01, 200, 0,    0,    1,    0x80, 128, 0xFF, 0,    0};
    GuiBitmap b{BMF_RLE | BMF_HAS_TRANS | BMF_HAS_ALPHA, 32, 5, 1, 0, d.data()};
    show(&b);
    const uint32_t r = BG >> 16, g = (BG >> 8) & 0xFF, bl = BG & 0xFF;
    EXPECT_EQ(at(0, 0), BG) << "alpha 0 keeps the old value: old * 256 >> 8";
    auto mix = [](uint32_t o, uint32_t s, uint32_t a) { return ((256 - a) * o + a * s) >> 8; };
    EXPECT_EQ(at(1, 0), (mix(r, 255, 255) << 16) | (mix(g, 255, 255) << 8) | mix(bl, 255, 255));
    EXPECT_EQ(at(2, 0), BG);
    EXPECT_EQ(at(3, 0), BG);
    EXPECT_EQ(at(4, 0), (mix(r, 255, 128) << 16) | (mix(g, 0, 128) << 8) | mix(bl, 0, 128));
    // Without the alpha flag the colour replaces the pixel.
    b.flags = BMF_RLE;
    show(&b);
    EXPECT_EQ(at(0, 0), 0xFFFFFFu);
    EXPECT_EQ(at(2, 0), 0x000001u);
}

TEST_F(BitmapFormats, RleRowsAboveTheViewAreDecodedAndSkipped) {
    // Three rows of one colour each; only the last row is inside the window.
    std::vector<uint8_t> d = {0x03, PAL_RED, 0x03, PAL_GREEN, 0x03, PAL_BLUE};
    GuiBitmap b{BMF_RLE, 8, 4, 3, 0, d.data()};
    Probe* w = new Probe(GuiRect(300, 302, 310, 310), 3, PSF_VIEWPORT);
    pm->Add(w, 0);
    fillFrame(BG);
    paint([&] { screen->Bitmap(w, GuiPoint(300, 300), &b); }, w);
    EXPECT_EQ(shownAt(300, 302), BLUE);
    EXPECT_EQ(shownAt(303, 302), BLUE);
    EXPECT_EQ(shownAt(300, 301), BG);
    delete pm->Remove(w, 0);
}

TEST_F(Draw, CreateBitmapRefusesBadSizesAndFillsWithTheEmptyWord) {
    EXPECT_EQ(screen->CreateBitmap(0, 10, 0), nullptr);
    EXPECT_EQ(screen->CreateBitmap(-5, 10, 0), nullptr);
    EXPECT_EQ(screen->CreateBitmap(10, 65536, 0), nullptr);
    GuiBitmap* b = screen->CreateBitmap(2, 2, 1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->flags, 0x12);
    EXPECT_EQ(b->transparent, 1u);
    EXPECT_EQ(b->bitsPerPixel, 32);
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
    EXPECT_EQ(o[0], RED);
    EXPECT_EQ(o[9 * 20 + 19], BLUE);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(inner->data)[15], GREEN);
    paint([&] { screen->Bitmap(canvas, GuiPoint(400, 50), outer); });
    EXPECT_EQ(shownAt(400, 50), RED);
    EXPECT_EQ(shownAt(419, 59), BLUE);
    EXPECT_EQ(shownAt(420, 50), BG);
    screen->DestroyBitmap(outer);
    screen->DestroyBitmap(inner);
}

TEST_F(Draw, CaptureIsCutToTheSurface) {
    paint([&] { screen->PutPixel(canvas, 0, 0, RED); });
    GuiCapture cap;
    GuiRect r(-5, -5, 10, 10);
    EXPECT_EQ(screen->Capture(&cap, r), 1);
    EXPECT_EQ(r, GuiRect(0, 0, 10, 10));
    EXPECT_EQ(cap.Bitmap()->width, 11);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(cap.Bitmap()->data)[0] & 0xFFFFFF, RED);
    GuiRect off(2000, 0, 2010, 10);
    EXPECT_EQ(screen->Capture(&cap, off), 0);
    EXPECT_FALSE(cap.IsValid());
    GuiRect edge(1020, 470, 1100, 600);
    EXPECT_EQ(screen->Capture(&cap, edge), 1);
    EXPECT_EQ(cap.Bitmap()->width, 4);
    EXPECT_EQ(cap.Bitmap()->height, 10);
}

TEST_F(Draw, RectMoveMovesUncoveredPixelsAndRefusesCoveredOnes) {
    paint([&] { screen->Rectangle(canvas, GuiRect(10, 10, 19, 19), GuiColor(0, RED, GUI_COLOR_FILL), 0); });
    screen->BeginDraw(canvas);
    EXPECT_EQ(screen->RectMove(canvas, GuiRect(10, 10, 19, 19), canvas->mClient, 30, 5), 1);
    screen->EndDraw();
    flush();
    EXPECT_EQ(shownAt(40, 15), RED);
    EXPECT_EQ(shownAt(49, 24), RED);
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
    EXPECT_EQ(shownAt(150, 150), GREEN);
    EXPECT_EQ(shownAt(99, 150), RED);
    EXPECT_EQ(shownAt(200, 150), RED);
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
    EXPECT_EQ(shownAt(330, 130), GREEN);
    EXPECT_EQ(shownAt(311, 111), BLUE);
    EXPECT_EQ(shownAt(301, 101), RED);
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
    EXPECT_EQ(shownAt(600, 20), RED);
    EXPECT_EQ(shownAt(600, 50), GREEN);
    EXPECT_EQ(shownAt(600, 60), RED);
    EXPECT_EQ(shownAt(600, 61), BG);
    EXPECT_EQ(shownAt(800, 100), GREEN);
    EXPECT_EQ(shownAt(810, 100), BLUE);
    EXPECT_EQ(shownAt(809, 100), BLUE);
    EXPECT_EQ(shownAt(808, 100), GREEN);
    EXPECT_EQ(shownAt(811, 100), BG);
    EXPECT_EQ(shownAt(800, 89), BG);
    EXPECT_EQ(shownAt(800, 90), BLUE);
}

TEST_F(Draw, PixelsOutsideTheSurfaceOrTheInvalidAreaAreNotTouched) {
    EXPECT_EQ(screen->GetPixel(-1, 0), 0u);
    EXPECT_EQ(screen->GetPixel(1024, 0), 0u);
    EXPECT_EQ(screen->GetPixel(0, 480), 0u);
    screen->Invalidate(GuiRect(0, 0, 9, 9));
    screen->BeginDraw(canvas);
    screen->PutPixel(canvas, 5, 5, RED);
    screen->PutPixel(canvas, 50, 50, RED);
    screen->PutPixel(canvas, -1, 479, RED);
    screen->EndDraw();
    flush();
    EXPECT_EQ(shownAt(5, 5), RED);
    EXPECT_EQ(shownAt(50, 50), BG);
    EXPECT_EQ(screen->GetPixel(5, 5) & 0xFFFFFF, RED);
}

// ---- text ---------------------------------------------------------------------------------

TEST_F(Draw, TextOfCharactersOutsideEveryFontDrawsNothingAndDoesNotAdvance) {
    EXPECT_EQ(screen->TextWidth("\x01\x02", &SysFont), 0);
    EXPECT_EQ(screen->TextWidth("AB", &SysFont), screen->TextWidth("A\x01"
                                                                   "B",
                                                                   &SysFont));
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
    EXPECT_EQ(shownAt(10 + w, 300), BG);
    EXPECT_EQ(shownAt(10, 316), BG);
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
            EXPECT_EQ(shownAt(x + 1, y), p);
            EXPECT_EQ(shownAt(x, y + 1), p);
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
    EXPECT_EQ(shownAt(300, 300), RED);
    EXPECT_EQ(shownAt(301, 301), GREEN);
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

TEST_F(Draw, WindowsBitmapDumpMatchesTheScreen) {
    paint([&] {
        screen->Rectangle(canvas, GuiRect(0, 0, 63, 31), GuiColor(RED, BLUE, GUI_COLOR_FILL), 3);
        screen->Line(canvas, 0, 0, 63, 31, GuiColor(GREEN, 0), 1);
    });
    unsigned long size = 0;
    uint8_t* bmp = screen->DumpWindowsBitmap(&size, GuiRect(0, 0, 63, 31));
    ASSERT_NE(bmp, nullptr);
    EXPECT_EQ(size, 54ul + 64 * 32 * 4);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(bmp[14], 40);
    EXPECT_EQ(bmp[28], 32);
    std::string dir = std::getenv("VYN_BUILD_DIR") ? std::getenv("VYN_BUILD_DIR") : "/tmp";
    std::string b = dir + "/gui_dump_test.bmp", p = dir + "/gui_dump_test.png",
                ref = dir + "/gui_dump_ref.png";
    FILE* f = std::fopen(b.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bmp, 1, size, f);
    std::fclose(f);
    std::free(bmp);
    ASSERT_TRUE(guitest::writeShownPng(ref, GuiRect(0, 0, 63, 31)));
    std::string out;
    ASSERT_EQ(guitest::run("convert '" + b + "' '" + p + "'", &out), 0) << out;
    EXPECT_EQ(guitest::run("compare -metric AE '" + ref + "' '" + p + "' null:", &out), 0) << out;
    EXPECT_EQ(screen->DumpWindowsBitmap(&size, GuiRect(2000, 0, 2001, 1)), nullptr);
}

} // namespace
