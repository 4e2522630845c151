// Seeded random values, samples, points, angles, timer ticks, sizes and visibility over every chart,
// dial, scale, polygon and animation: afterwards the GUI lock is free, the queue's nodes are free and
// no timer belongs to an object that is gone.
#include "gui/core/screen.h"
#include "gui/widgets/animation/animation.h"
#include "gui/widgets/chart/chart.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/dial/dial.h"
#include "gui/widgets/polygon/polygon.h"
#include "gui/widgets/scale/scale.h"
#include "gui/widgets/stripchart/stripchart.h"
#include "gui/widgets/widget_fixture.h"
#include "gui/window/window_private.h"

#include <cstdlib>
#include <random>

namespace {

using Random = widgettest::WidgetTest;

TEST_F(Random, GaugeAndChartSequencesLeaveTheToolkitConsistent) {
    GuiBitmap* picture = screen->CreateBitmap(30, 30, 1);
    for (unsigned seed : {3u, 11u, 2025u}) {
        std::mt19937 rng(seed);
        auto pick = [&](long lo, long hi) {
            return lo + static_cast<long>(rng() % static_cast<unsigned>(hi - lo + 1));
        };
        auto* win = new GuiWindow(GuiRect(0, 0, 1000, 470), FF_THIN);
        desk->Add(win, 1);
        auto* multi = new GuiMultiLineChart(GuiRect(5, 5, 300, 200), -50, 50, -20, 20, 10, 5);
        multi->mChartStyle = 0xFC0F;
        auto* sweep = new GuiStripChart(GuiRect(310, 5, 600, 200), 17, -20, 20, 3, 5);
        auto* scroll = new GuiStripChart(GuiRect(610, 5, 990, 200), 9, -20, 20, 2, 5);
        scroll->mChartStyle = 0xE02F;
        auto* circular =
            new GuiCircularDial(GuiRect(5, 210, 125, 330), 90, 7, -10, 30, DS_TICS | DS_POLYGON_NEEDLE);
        auto* finite = new GuiFiniteDial(130, 210, 200, 20, -10, 30, DS_TICS | DS_THICK_NEEDLE);
        auto* bitmapDial =
            new GuiCircularBitmapDial(240, 210, 0, 5, -10, 30, picture, picture, DS_LINE_NEEDLE);
        auto* scale = new GuiLinearScale(GuiRect(280, 210, 330, 400), -10, 30, 5,
                                         SS_VERTICAL | SS_TICS | SS_ARROW_NEEDLE);
        auto* bitmapScale =
            new GuiLinearBitmapScale(340, 210, -10, 30, 0, 30, picture, picture, SS_MIN_AT_START);
        GuiPoint points[4] = {GuiPoint(0, 0), GuiPoint(40, 5), GuiPoint(30, 40), GuiPoint(5, 30)};
        auto* polygon =
            new Gui2DPolygon(GuiRect(400, 210, 450, 260), points, 4, 0, PGS_COPY_POINTS | FF_THIN);
        GuiAnimationFrame frames[3] = {{picture, 1, 0, 0, AFC_CLEAR}, {picture, 0, 5, 5, AFC_PREVIOUS}, {}};
        auto* anim = new GuiAnimation(GuiRect(460, 210, 500, 250), frames, 0, FF_NONE);
        anim->SetMode(AM_LOOP | AM_START_ON_SHOW);
        GuiBitmap* cycle[2] = {picture, picture};
        auto* window =
            new GuiAnimationWindow(GuiRect(510, 210, 600, 300), picture, cycle, 2, 3, 3, nullptr, FF_NONE);
        GuiDial* dials[] = {circular, finite, bitmapDial};
        GuiScale* scales[] = {scale, bitmapScale};
        GuiThing* all[] = {multi, sweep,       scroll,  circular, finite, bitmapDial,
                           scale, bitmapScale, polygon, anim,     window};
        for (GuiThing* t : all)
            win->Add(t, 1);
        uint8_t lines[2] = {multi->AddLine(0xFF0000), multi->AddLine(0x00FF00)};
        const uint8_t strips[2] = {sweep->AddLine(0xFFFF00, 0x808000, 0x404000),
                                   scroll->AddLine(0xFF, 0x80, 0x40)};
        window->Run(pick(0, 2), 0);
        for (int step = 0; step < 2000; ++step) {
            switch (pick(0, 9)) {
            case 0:
                dials[pick(0, 2)]->SetValue(pick(-40, 60), 1);
                break;
            case 1:
                scales[pick(0, 1)]->IncrementValue(pick(-15, 15), 1);
                break;
            case 2:
                sweep->AddData(strips[0], pick(-30, 30), 1);
                scroll->AddData(strips[1], pick(-30, 30), 1);
                break;
            case 3: {
                const int i = static_cast<int>(pick(0, 1));
                if (!multi->AddPoint(lines[i], pick(-60, 60), pick(-30, 30), 1) || pick(0, 30) == 0) {
                    multi->RemoveLine(lines[i]);
                    lines[i] = multi->AddLine(0x0000FF);
                }
                break;
            }
            case 4:
                polygon->SetCurAngle(static_cast<int>(pick(-720, 720)));
                GuiRedraw(polygon);
                break;
            case 5:
            case 6:
                GuiThing::mpMessageQueue->TimerTick();
                drain();
                break;
            case 7: {
                GuiThing* t = all[pick(0, 10)];
                const int x = static_cast<int>(pick(0, 900)), y = static_cast<int>(pick(0, 400));
                t->Resize(GuiRect(x, y, x + pick(-5, 200), y + pick(-5, 200)));
                break;
            }
            case 8: {
                GuiThing* t = all[pick(0, 10)];
                win->Remove(t, 1);
                win->Add(t, pick(0, 1));
                break;
            }
            default:
                if (pick(0, 3) == 0)
                    anim->Stop();
                else
                    anim->Start(static_cast<int>(pick(-1, 2)));
                break;
            }
            if (step % 100 == 99) {
                redrawAll();
                EXPECT_EQ(giCriticalNesting, 0) << "seed " << seed << " step " << step;
                EXPECT_EQ(GuiQueueFreeNodes(gpGuiMesgQueue), GUI_QUEUE_NODES);
                GuiThing::mpMessageQueue->ForEachTimer(
                    [&](GuiThing* t, uint16_t, long, long) { EXPECT_TRUE(GuiTreeHolds(pm, t)); });
            }
        }
        desk->Destroy(win);
        drain();
        redrawAll();
        bool anyTimer = false;
        GuiThing::mpMessageQueue->ForEachTimer([&](GuiThing*, uint16_t, long, long) { anyTimer = true; });
        EXPECT_EQ(std::tuple(anyTimer, giCriticalNesting), std::tuple(false, 0));
    }
    std::free(picture->data);
    delete picture;
}

} // namespace
