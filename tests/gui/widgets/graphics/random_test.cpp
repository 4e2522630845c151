// Seeded random values, samples, points, angles, timer ticks, sizes and visibility over every chart,
// dial, scale, polygon and animation leave the toolkit consistent.
#include "gui/core/screen.h"
#include "gui/widgets/animation/animation.h"
#include "gui/widgets/chart/chart.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/dial/dial.h"
#include "gui/widgets/polygon/polygon.h"
#include "gui/widgets/scale/scale.h"
#include "gui/widgets/stripchart/stripchart.h"
#include "gui/widgets/widget_fixture.h"

#include <cstdlib>
#include <vector>

namespace {

struct Random : widgettest::WidgetTest {
    GuiBitmap* picture = nullptr;
    GuiMultiLineChart* multi = nullptr;
    GuiStripChart *sweep = nullptr, *scroll = nullptr;
    GuiDial* dials[3] = {};
    GuiScale* scales[2] = {};
    Gui2DPolygon* polygon = nullptr;
    GuiAnimation* anim = nullptr;
    GuiWindow* win = nullptr;
    std::vector<GuiThing*> all;
    uint8_t lines[2] = {}, strips[2] = {};
    GuiBitmap* cycle[2] = {}; // the animation window's frames stay the caller's

    void TearDown() override {
        WidgetTest::TearDown();
        std::free(picture->data);
        delete picture;
    }
    void build() {
        if (!picture) picture = screen->CreateBitmap(30, 30, 1);
        win = new GuiWindow(GuiRect(0, 0, 1000, 470), FF_THIN);
        desk->Add(win, 1);
        multi = new GuiMultiLineChart(GuiRect(5, 5, 300, 200), -50, 50, -20, 20, 10, 5);
        multi->mChartStyle = 0xFC0F;
        sweep = new GuiStripChart(GuiRect(310, 5, 600, 200), 17, -20, 20, 3, 5);
        scroll = new GuiStripChart(GuiRect(610, 5, 990, 200), 9, -20, 20, 2, 5);
        scroll->mChartStyle = 0xE02F;
        dials[0] =
            new GuiCircularDial(GuiRect(5, 210, 125, 330), 90, 7, -10, 30, DS_TICS | DS_POLYGON_NEEDLE);
        dials[1] = new GuiFiniteDial(130, 210, 200, 20, -10, 30, DS_TICS | DS_THICK_NEEDLE);
        dials[2] = new GuiCircularBitmapDial(240, 210, 0, 5, -10, 30, picture, picture, DS_LINE_NEEDLE);
        scales[0] = new GuiLinearScale(GuiRect(280, 210, 330, 400), -10, 30, 5,
                                       SS_VERTICAL | SS_TICS | SS_ARROW_NEEDLE);
        scales[1] = new GuiLinearBitmapScale(340, 210, -10, 30, 0, 30, picture, picture, SS_MIN_AT_START);
        GuiPoint points[4] = {GuiPoint(0, 0), GuiPoint(40, 5), GuiPoint(30, 40), GuiPoint(5, 30)};
        polygon = new Gui2DPolygon(GuiRect(400, 210, 450, 260), points, 4, 0, PGS_COPY_POINTS | FF_THIN);
        GuiAnimationFrame frames[3] = {{picture, 1, 0, 0, AFC_CLEAR}, {picture, 0, 5, 5, AFC_PREVIOUS}, {}};
        anim = new GuiAnimation(GuiRect(460, 210, 500, 250), frames, 0, FF_NONE);
        anim->SetMode(AM_LOOP | AM_START_ON_SHOW);
        cycle[0] = cycle[1] = picture;
        auto* window =
            new GuiAnimationWindow(GuiRect(510, 210, 600, 300), picture, cycle, 2, 3, 3, nullptr, FF_NONE);
        all = {multi,     sweep,     scroll,  dials[0], dials[1], dials[2],
               scales[0], scales[1], polygon, anim,     window};
        for (GuiThing* t : all)
            win->Add(t, 1);
        lines[0] = multi->AddLine(0xFF0000);
        lines[1] = multi->AddLine(0x00FF00);
        strips[0] = sweep->AddLine(0xFFFF00, 0x808000, 0x404000);
        strips[1] = scroll->AddLine(0xFF, 0x80, 0x40);
        window->Run(1, 0);
    }
    void op(const Pick& pick) {
        auto in = [&](int lo, int hi) { return lo + pick(hi - lo + 1); };
        switch (pick(8)) {
        case 0:
            dials[pick(3)]->SetValue(in(-40, 60), 1);
            break;
        case 1:
            scales[pick(2)]->IncrementValue(in(-15, 15), 1);
            break;
        case 2:
            sweep->AddData(strips[0], in(-30, 30), 1);
            scroll->AddData(strips[1], in(-30, 30), 1);
            break;
        case 3: {
            const int i = pick(2);
            const int x = in(-60, 60), y = in(-30, 30); // one after the other, whatever the compiler
            if (!multi->AddPoint(lines[i], x, y, 1) || pick(31) == 0) {
                multi->RemoveLine(lines[i]);
                lines[i] = multi->AddLine(0x0000FF);
            }
            break;
        }
        case 4:
            polygon->SetCurAngle(in(-720, 720));
            GuiRedraw(polygon);
            break;
        case 5: {
            GuiThing* t = all[static_cast<size_t>(pick(11))];
            const int x = pick(901), y = pick(401), w = in(-5, 200), h = in(-5, 200);
            t->Resize(GuiRect(x, y, x + w, y + h));
            break;
        }
        case 6: {
            GuiThing* t = all[static_cast<size_t>(pick(11))];
            win->Remove(t, 1);
            win->Add(t, pick(2));
            break;
        }
        default:
            if (pick(4) == 0)
                anim->Stop();
            else
                anim->Start(in(-1, 2));
            break;
        }
    }
};

TEST_F(Random, GaugeAndChartSequencesLeaveTheToolkitConsistent) {
    randomSteps(
        {3u, 11u, 2025u}, 2000, GuiPoint(1000, 470), [&] { build(); }, [&](const Pick& pick) { op(pick); });
}

} // namespace
