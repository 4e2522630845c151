// Polygons and animations.
#include "gui/core/screen.h"
#include "gui/widgets/animation/animation.h"
#include "gui/widgets/polygon/polygon.h"
#include "gui/widgets/widget_fixture.h"

#include <cstdlib>

namespace {

struct Shapes : widgettest::WidgetTest {
    GuiBitmap* bitmaps[3] = {};
    void SetUp() override {
        WidgetTest::SetUp();
        const uint32_t colours[3] = {0xFF0000, 0x00FF00, 0x0000FF};
        for (int i = 0; i < 3; ++i) {
            bitmaps[i] = screen->CreateBitmap(4, 4, 0);
            for (int p = 0; p < 16; ++p)
                reinterpret_cast<uint32_t*>(bitmaps[i]->data)[p] = colours[i];
        }
    }
    void TearDown() override {
        WidgetTest::TearDown();
        for (GuiBitmap* b : bitmaps) {
            std::free(b->data);
            delete b;
        }
    }
    void tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            GuiThing::mpMessageQueue->TimerTick();
            drain();
        }
    }
};

// x' = cx + (cos dx >> 10) + (sin dy >> 10), y' = cy + (cos dy >> 10) - (sin dx >> 10), with the
// sine table's values (sin 10 = 178, cos 10 = 1008; sin -30 = -512, cos -30 = 887).
TEST_F(Shapes, PolygonsTurnCounterClockwiseAboutTheirCentre) {
    GuiPoint points[2] = {GuiPoint(60, 50), GuiPoint(50, 30)}; // relative to the corner; centre (150, 150)
    Gui2DPolygon polygon(GuiRect(100, 100, 199, 199), points, 2, 0, 0);
    EXPECT_EQ(points[0], GuiPoint(160, 150)) << "the caller's array holds screen coordinates";
    const struct {
        int angle;
        GuiPoint first, second; // dx 10, dy 0 and dx 0, dy -20
    } cases[] = {{90, GuiPoint(150, 140), GuiPoint(130, 150)},  {180, GuiPoint(140, 150), GuiPoint(150, 170)},
                 {-90, GuiPoint(150, 160), GuiPoint(170, 150)}, {-30, GuiPoint(158, 155), GuiPoint(160, 132)},
                 {370, GuiPoint(159, 149), GuiPoint(146, 130)}, {0, GuiPoint(160, 150), GuiPoint(150, 130)}};
    for (const auto& c : cases) {
        polygon.SetCurAngle(c.angle);
        EXPECT_EQ(std::tuple(polygon.DrawnPoints()[0], polygon.DrawnPoints()[1]),
                  std::tuple(c.first, c.second))
            << c.angle << " degrees";
    }
    polygon.SetCurAngle(90);
    polygon.Resize(GuiRect(120, 130, 160, 150)); // another size: moved, not scaled
    EXPECT_EQ(std::tuple(polygon.Points()[1], polygon.DrawnPoints()[0]),
              std::tuple(GuiPoint(170, 160), GuiPoint(170, 170)));
    auto* shown = new Gui2DPolygon(GuiRect(10, 10, 40, 40), points, 2, 0, PGS_COPY_POINTS | FF_NONE);
    owner->Add(shown, 1);
    shown->SetCurAngle(45);
    redrawAll();
    shown->SetCurAngle(45);
    EXPECT_EQ(screen->InvalidCount(), 0) << "the same angle again invalidates nothing";
    Gui2DPolygon none(GuiRect(0, 0, 9, 9), nullptr, 5, 0, PGS_COPY_POINTS);
    EXPECT_EQ(none.Count(), 0u);
}

TEST_F(Shapes, AnAnimationStopsLoopsOrKeepsItsLastPicture) {
    const struct {
        uint16_t mode;
        int frames, ticks;
        int running, index;
        bool shown; // the first frame's pixel still on the screen
    } cases[] = {
        {0, 1, 1, 1, 0, true},            // shown for its delay of 2
        {0, 1, 2, 0, 0, false},           // then gone
        {AM_KEEP_LAST, 1, 2, 0, 0, true}, // or kept
        {AM_LOOP, 2, 3, 1, 0, false},     // round to frame 0 after the last, still running
        {AM_LOOP, 2, 5, 1, 1, false},
    };
    for (const auto& c : cases) {
        GuiAnimationFrame list[3] = {{bitmaps[0], 2, 0, 0, AFC_CLEAR}, {bitmaps[1], 1, 4, 0, AFC_CLEAR}, {}};
        if (c.frames == 1) list[1] = GuiAnimationFrame{};
        auto* anim = new GuiAnimation(GuiRect(200, 200, 220, 210), list, 0, FF_NONE);
        anim->SetMode(c.mode);
        owner->Add(anim, 1);
        anim->Start(0);
        tick(c.ticks);
        redrawAll();
        flush();
        EXPECT_EQ(std::tuple(anim->Running(), anim->Index()), std::tuple(c.running, c.index))
            << "mode " << c.mode << ", " << c.ticks << " ticks";
        if (c.mode != AM_LOOP) {
            EXPECT_EQ(shownAt(201, 201) == 0xFF0000, c.shown);
        }
        owner->Destroy(anim);
    }
}

TEST_F(Shapes, BadFrameListsAndIndexesAreRefusedAndADelayOf0FiresNextTick) {
    GuiAnimation empty(GuiRect(0, 0, 9, 9), 0, 0);
    empty.Start(0);
    GuiAnimation null(GuiRect(0, 0, 9, 9), nullptr, 0, 0);
    null.Start(-1);
    EXPECT_EQ(std::tuple(empty.Running(), null.Running(), null.FrameCount()), std::tuple(0, 0, 0));
    GuiAnimationFrame list[3] = {{bitmaps[0], 0, 0, 0, 1}, {bitmaps[1], 0, 0, 0, 1}, {}};
    auto* anim = new GuiAnimation(GuiRect(300, 300, 320, 320), list, 0, FF_NONE);
    owner->Add(anim, 1);
    anim->Start(7);
    anim->SetCurrentFrame(2);
    EXPECT_EQ(std::tuple(anim->Running(), anim->Index()), std::tuple(0, 0));
    anim->Start(0);
    tick();
    EXPECT_EQ(anim->Index(), 1);
}

TEST_F(Shapes, TheAnimationWindowWrapsAndRunsAtEveryTickForPeriod0) {
    GuiBitmap* frames[3] = {bitmaps[0], bitmaps[1], bitmaps[2]};
    auto* win =
        new GuiAnimationWindow(GuiRect(400, 100, 440, 140), nullptr, frames, 3, 5, 5, nullptr, FF_NONE);
    owner->Add(win, 1);
    win->Run(0, 2);
    int seen[3];
    for (int& s : seen) {
        tick();
        s = win->CurrentFrame();
    }
    EXPECT_EQ(std::tuple(seen[0], seen[1], seen[2]), std::tuple(0, 1, 2));
    flush();
    EXPECT_EQ(shownAt(406, 106), 0x0000FFu);
    win->Stop();
    win->SetFrame(3);
    EXPECT_EQ(win->CurrentFrame(), 2) << "no frame 3";
    auto* none =
        new GuiAnimationWindow(GuiRect(500, 100, 540, 140), nullptr, frames, 0, 0, 0, nullptr, FF_NONE);
    owner->Add(none, 1);
    none->Run(1, 0);
    tick(2);
    EXPECT_EQ(std::tuple(none->CurrentFrame(), GuiThing::mpMessageQueue->HasTimer(none)),
              std::tuple(0, false));
}

} // namespace
