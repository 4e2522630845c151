// The gallery's scenes of charts, strip charts, dials, scales, polygons and animations.
#include "gui/core/screen.h"
#include "gui/presentation/presentation.h"
#include "gui/scroll/scroll.h"
#include "gui/widgets/animation/animation.h"
#include "gui/widgets/chart/chart.h"
#include "gui/widgets/dial/dial.h"
#include "gui/widgets/polygon/polygon.h"
#include "gui/widgets/scale/scale.h"
#include "gui/widgets/stripchart/stripchart.h"
#include "tools/gallery/gallery.h"

namespace {

int sine(int degrees, int amplitude) {
    int s = 0;
    GuiLookupSinCos(degrees, &s, nullptr);
    return s * amplitude / 1024;
}

// A bitmap drawn once by `paint` (kept for the life of the gallery).
template <typename F> GuiBitmap* painted(GuiThing* on, int w, int h, F paint) {
    GuiScreen* s = GuiThing::mpScreen;
    GuiBitmap* b = s->CreateBitmap(w, h, 0);
    if (!b) return nullptr;
    s->BeginDraw(on, b);
    paint(s, b);
    s->EndDraw(b);
    return b;
}

GuiBitmap* disc(GuiThing* on, int size, uint32_t colour, uint32_t back) {
    return painted(on, size, size, [&](GuiScreen* s, GuiBitmap*) {
        s->Rectangle(on, GuiRect(0, 0, size - 1, size - 1), GuiColor(back, back, GUI_COLOR_FILL), 0);
        GuiColor c(GUI_BLACK, colour, GUI_COLOR_FILL);
        s->Circle(on, size / 2, size / 2, size / 2 - 2, c, 2);
    });
}

} // namespace

void galleryCharts() {
    GuiWindow* d = galleryDesk(0x203040);
    auto* multi = new GuiMultiLineChart(GuiRect(10, 10, 500, 230), 0, 360, -100, 100, 30, 25);
    multi->mMinorXStep = 10;
    multi->mChartStyle = CS_X_GRID | CS_Y_GRID | CS_X_TICS | CS_Y_TICS | CS_X_LABELS | CS_Y_LABELS;
    multi->mXLabelStep = 60;
    multi->RecalcLayout(0);
    d->Add(multi, 0);
    const uint8_t wave = multi->AddLine(0xFFE000), ramp = multi->AddLine(0x00C0FF);
    for (int x = 0; x <= 360; x += 10) {
        multi->AddPoint(wave, x, sine(x, 90), 0);
        multi->AddPoint(ramp, x, x * 160 / 360 - 80, 0);
    }
    auto* filled = new GuiMultiLineChart(GuiRect(10, 240, 500, 470), 0, 720, -60, 60, 90, 30);
    filled->mChartStyle =
        CS_FILL | CS_X_AXIS_AT_ZERO | CS_X_TICS | CS_Y_TICS | CS_X_LABELS | CS_Y_LABELS | CS_Y_GRID;
    filled->RecalcLayout(0);
    d->Add(filled, 0);
    const uint8_t area = filled->AddLine(0x40A040);
    for (int x = 0; x <= 720; x += 20)
        filled->AddPoint(area, x, sine(x, 50), 0);

    auto* sweep = new GuiStripChart(GuiRect(510, 10, 1014, 230), 100, -100, 100, 10, 50);
    d->Add(sweep, 0);
    const uint8_t a = sweep->AddLine(0x00FF00, 0x006000, 0), b = sweep->AddLine(0xFF8000, 0x603000, 0);
    auto* scroll = new GuiStripChart(GuiRect(510, 240, 1014, 470), 100, -100, 100, 10, 50);
    scroll->mChartStyle =
        CS_Y_LABELS | CS_X_LABELS | CS_Y_TICS | CS_X_TICS | CS_Y_GRID | CS_STRIP_SCROLL | CS_FILL;
    scroll->mXLabelStep = 20;
    scroll->RecalcLayout(0);
    d->Add(scroll, 0);
    const uint8_t c = scroll->AddLine(0x00E0E0, 0, 0x005050);
    galleryShow();
    // Live samples: the sweep has wrapped and runs its second pass; the scroll runs oldest first.
    for (int k = 0; k < 140; ++k) {
        sweep->AddData(a, sine(k * 9, 80), 1);
        sweep->AddData(b, (k * 37) % 120 - 60, 1);
        scroll->AddData(c, sine(k * 7, 60) + sine(k * 31, 20), 1);
    }
    galleryShow();
}

void galleryDials() {
    GuiWindow* d = galleryDesk(0x505A64);
    auto* clock = new GuiCircularDial(GuiRect(10, 10, 210, 210), 90, 13, 0, 100,
                                      FF_RAISED | DS_TICS | DS_POLYGON_NEEDLE);
    clock->mTicStep = 1;
    clock->SetValue(4, 0);
    d->Add(clock, 0);
    auto* gauge = new GuiFiniteDial(GuiRect(220, 10, 420, 210), 225, 315, 0, 101,
                                    FF_RECESSED | DS_TICS | DS_THICK_NEEDLE);
    gauge->mTicStep = 10;
    gauge->SetValue(70, 0);
    d->Add(gauge, 0);
    static GuiBitmap* face = painted(d, 200, 200, [&](GuiScreen* s, GuiBitmap*) {
        s->Rectangle(d, GuiRect(0, 0, 199, 199), GuiColor(0x505A64, 0x505A64, GUI_COLOR_FILL), 0);
        const uint32_t rings[] = {0x202020, 0xE0E0E0, 0x303848, 0x404858};
        for (int i = 0; i < 4; ++i) {
            GuiColor c(rings[i], rings[i], GUI_COLOR_FILL);
            s->Circle(d, 100, 100, 98 - 6 * i, c, 1);
        }
        GuiColor red(0xD00000, 0xD00000);
        s->Circle(d, 100, 100, 70, red, 4);
    });
    auto* bitmapDial = new GuiFiniteBitmapDial(430, 10, 225, 315, 0, 101, face, nullptr, DS_THICK_NEEDLE);
    bitmapDial->mNeedleColor = 0xFFC000;
    bitmapDial->mAnchorColor = 0xFFC000;
    bitmapDial->mAnchorRadius = 8;
    bitmapDial->SetValue(40, 0);
    d->Add(bitmapDial, 0);

    auto* vertical =
        new GuiLinearScale(GuiRect(640, 10, 700, 210), 0, 101, 10,
                           FF_RAISED | SS_VERTICAL | SS_MIN_AT_START | SS_TICS | SS_ARROW_NEEDLE);
    vertical->SetValue(65, 0);
    d->Add(vertical, 0);
    auto* thick = new GuiLinearScale(GuiRect(710, 10, 1010, 70), 0, 101, 20,
                                     FF_RECESSED | SS_MIN_AT_START | SS_TICS | SS_THICK_NEEDLE);
    thick->SetValue(30, 0);
    d->Add(thick, 0);
    auto* backwards = new GuiLinearScale(GuiRect(710, 80, 1010, 140), 0, 101, 25,
                                         FF_THIN | SS_NEAR_SIDE | SS_TICS | SS_LINE_NEEDLE);
    backwards->SetValue(80, 0);
    d->Add(backwards, 0);
    static GuiBitmap* track = painted(d, 300, 60, [&](GuiScreen* s, GuiBitmap*) {
        for (int x = 0; x < 300; ++x) {
            const uint32_t c = (static_cast<uint32_t>(x * 255 / 299) << 16) |
                               (static_cast<uint32_t>(255 - x * 255 / 299) << 8);
            s->Line(d, x, 0, x, 59, GuiColor(c, c), 1);
        }
        s->Rectangle(d, GuiRect(0, 0, 299, 59), GuiColor(GUI_BLACK, 0), 2);
    });
    static GuiBitmap* pointer = painted(d, 9, 60, [&](GuiScreen* s, GuiBitmap*) {
        s->Rectangle(d, GuiRect(0, 0, 8, 59), GuiColor(GUI_BLACK, GUI_WHITE, GUI_COLOR_FILL), 1);
    });
    auto* bitmapScale = new GuiLinearBitmapScale(710, 150, 0, 101, 10, 290, track, pointer, SS_MIN_AT_START);
    bitmapScale->SetValue(55, 0);
    d->Add(bitmapScale, 0);

    GuiPoint star[10];
    for (int i = 0; i < 10; ++i) {
        int s = 0, c = 0;
        GuiLookupSinCos(90 + 36 * i, &s, &c);
        const int r = i % 2 ? 28 : 65;
        star[i] = GuiPoint(70 + c * r / 1024, 70 - s * r / 1024);
    }
    for (int i = 0; i < 3; ++i) {
        auto* p = new Gui2DPolygon(GuiRect(10 + 150 * i, 230, 150 + 150 * i, 370), star, 10, 0,
                                   PGS_COPY_POINTS | FF_THIN);
        p->mColors[0] = 0x303030;
        p->mColors[2] = i == 2 ? 0xFFFFFF : 0xFFC000;
        p->mColors[3] = 0xC04000;
        p->mFill = i != 2;
        p->mLineWidth = i == 2 ? 2 : 1;
        p->SetCurAngle(18 * i);
        d->Add(p, 0);
    }

    static GuiBitmap* frames[4] = {disc(d, 40, 0xFF0000, 0x303030), disc(d, 40, 0xFFFF00, 0x303030),
                                   disc(d, 40, 0x00FF00, 0x303030), disc(d, 40, 0x0080FF, 0x303030)};
    GuiAnimationFrame list[5] = {{frames[0], 2, 0, 0, AFC_CLEAR},
                                 {frames[1], 2, 20, 10, AFC_CLEAR},
                                 {frames[2], 2, 40, 20, AFC_CLEAR},
                                 {frames[3], 2, 60, 30, AFC_OVER},
                                 {nullptr, 0, 0, 0, 0}};
    auto* anim = new GuiAnimation(GuiRect(460, 230, 569, 299), list, 0, FF_NONE);
    anim->mColors[0] = 0x303030;
    anim->SetMode(AM_LOOP);
    d->Add(anim, 0);
    auto* window =
        new GuiAnimationWindow(GuiRect(600, 240, 799, 439), face, frames, 4, 80, 80, nullptr, FF_NONE);
    d->Add(window, 0);
    galleryShow();
    anim->Start(0);
    for (int t = 0; t < 6; ++t) {
        GuiThing::mpMessageQueue->TimerTick();
        GuiPresentation()->DispatchPending();
    }
    galleryShow();
    // The window's frame is drawn by its timer or SetFrame, over the background drawn above.
    window->SetFrame(2);
    GuiThing::mpScreen->FlushScreen();
}

namespace {
const gallery::AddScene chartsScene{"charts", galleryCharts};
const gallery::AddScene dialsScene{"dials", galleryDials};
} // namespace
