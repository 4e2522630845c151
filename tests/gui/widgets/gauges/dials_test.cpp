// Dials and scales.
#include "gui/widgets/dial/dial_private.h"
#include "gui/widgets/scale/scale_private.h"
#include "gui/widgets/common/widget.h"
#include "gui/widgets/widget_fixture.h"

#include <algorithm>
#include <cstdlib>

namespace {

using Dials = widgettest::WidgetTest;

TEST_F(Dials, ACircularDialOf13ValuesTurns30DegreesPerUnitClockwise) {
    const struct {
        long valuesPerRev, value;
        int angle;
    } cases[] = {{13, 0, 90}, {13, 1, 60}, {13, 3, 0}, {13, 12, -270},
                 {1, 5, 90},  {0, 5, 90},  {-5, 5, 90}}; // fewer than 2 values: no division, no turn
    for (const auto& c : cases)
        EXPECT_EQ(GuiCircularAngle(90, c.valuesPerRev, 0, c.value), c.angle)
            << c.valuesPerRev << ", " << c.value;
    GuiCircularDial dial(0, 0, 90, 13, 0, 100, DS_LINE_NEEDLE);
    const GuiPoint start = dial.Tip();
    dial.SetValue(13, 0);
    dial.CalcNeedlePos();
    EXPECT_EQ(std::tuple(dial.Tip(), dial.Angle()), std::tuple(start, 90)) << "a whole revolution on";
    GuiCircularDial stuck(0, 0, 90, 0, 0, 1000000, DS_LINE_NEEDLE);
    stuck.SetValue(999999, 0);
    stuck.CalcNeedlePos();
    EXPECT_EQ(stuck.Angle(), 90);
}

TEST_F(Dials, AFiniteDialFrom225To315Sweeps270DegreesClockwise) {
    GuiFiniteDial dial(10, 10, 225, 315, 0, 10, DS_LINE_NEEDLE);
    EXPECT_EQ(dial.mEndAngle, -45);
    const struct {
        long value;
        int angle;
    } cases[] = {{-5, 225}, {0, 225}, {3, 135}, {9, -45}, {10, -45}, {99, -45}};
    for (const auto& c : cases) {
        dial.mValue = static_cast<int32_t>(c.value);
        dial.CalcNeedlePos();
        EXPECT_EQ(dial.Angle(), c.angle) << "value " << c.value;
    }
    // Radius 50, needle 40 long: at 225 degrees 40 x 724 / 1024 = 28.3, taken down to 29 left and below.
    dial.mValue = 0;
    dial.CalcNeedlePos();
    EXPECT_EQ(std::tuple(dial.Anchor(), dial.Tip()), std::tuple(GuiPoint(60, 60), GuiPoint(31, 89)));
    EXPECT_EQ(GuiFiniteAngle(225, -45, 0, 1, 0), 225) << "maximum - minimum - 1 = 0 does not divide";
}

TEST_F(Dials, UpdatesRedrawOnlyWhatMovedAndGiveTheClipBack) {
    auto* fine = new GuiFiniteDial(100, 100, 225, 315, 0, 100000, DS_TICS);
    fine->mTicStep = -1; // counted, not looped
    desk->Add(fine, 1);
    const GuiRect clip = fine->mClip;
    fine->SetValue(1, 1); // the needle stays on its pixel
    EXPECT_EQ(std::tuple(fine->Value(), fine->mClip, screen->InvalidCount()), std::tuple(1, clip, 0));
    auto* dial = new GuiFiniteDial(300, 100, 225, 315, 0, 101, 0);
    desk->Add(dial, 1);
    auto span = [&](GuiPoint tip) {
        const GuiPoint a = dial->Anchor();
        return GuiRect(std::min(tip.x, a.x), std::min(tip.y, a.y), std::max(tip.x, a.x),
                       std::max(tip.y, a.y));
    };
    GuiRect expected = span(dial->Tip());
    dial->SetValue(60, 1);
    expected |= span(dial->Tip());
    expected += 2; // no needle style
    EXPECT_EQ(std::tuple(screen->InvalidRect(), dial->mClip), std::tuple(expected, dial->mReal));
    dial->SetValue(-5, 1);
    redrawAll();
    dial->SetValue(-7, 1); // already at the minimum: ignored
    EXPECT_EQ(std::tuple(dial->Value(), screen->InvalidCount()), std::tuple(0, 0));
    auto* circular = new GuiCircularDial(500, 100, 90, 12, 0, 11, DS_TICS | DS_POLYGON_NEEDLE);
    circular->mTicStep = -3;
    desk->Add(circular, 1);
}

TEST_F(Dials, ABitmapDialTakesItsPictureSizeAndComposesFaceAndNeedle) {
    GuiBitmap* face = screen->CreateBitmap(60, 40, 0);
    for (int p = 0; p < 60 * 40; ++p)
        reinterpret_cast<uint32_t*>(face->data)[p] = 0x2040C0;
    auto* dial = new GuiFiniteBitmapDial(200, 200, 180, 0, 0, 11, face, nullptr, DS_THICK_NEEDLE);
    dial->mAnchorColor = 0xFFFF00;
    desk->Add(dial, 1);
    flush();
    // Radius 20 about (230, 220); the needle points left from the anchor.
    EXPECT_EQ(dial->mReal, GuiRect(200, 200, 259, 239));
    expectShown({{202, 202, 0x2040C0}, {230, 220, 0xFFFF00}, {214, 220, 0xBF0000}, {245, 220, 0x2040C0}});
    desk->Destroy(dial);
    std::free(face->data);
    delete face;
}

TEST_F(Dials, The99thOf0To100SitsAtTheEndOfTravel) {
    const uint16_t v = SS_VERTICAL | SS_MIN_AT_START, h = 0;
    const struct {
        int start, end;
        long minimum, maximum, value;
        uint16_t style;
        int at;
    } cases[] = {
        {200, 101, 0, 100, 0, v, 200},   {200, 101, 0, 100, 99, v, 101},
        {200, 101, 0, 100, 100, v, 100}, {200, 101, 0, 100, 50, v, 150},
        {10, 109, 0, 100, 0, h, 109},    {10, 109, 0, 100, 99, h, 10}, // right to left
        {200, 101, 5, 6, 6, v, 200}, // maximum - minimum - 1 = 0: at the minimum's end, no division
    };
    for (const auto& c : cases)
        EXPECT_EQ(GuiScaleTravel(c.start, c.end, c.minimum, c.maximum, c.value, c.style), c.at) << c.value;
    GuiLinearScale scale(GuiRect(0, 0, 40, 113), 0, 100, 10, v); // travel 106 to 7
    scale.SetValue(99, 0);
    GuiPoint p;
    EXPECT_EQ(std::tuple(scale.ValToPoint(99, p), scale.ValToPoint(100, p)), std::tuple(7, 6));
    scale.SetMinValue(150, 0);
    EXPECT_EQ(scale.Value(), 99) << "a new minimum does not move the value";
}

TEST_F(Dials, AScaleRedrawsOnlyANeedleThatMovedAndLeavesNoOldOne) {
    auto* scale =
        new GuiLinearScale(GuiRect(100, 300, 400, 340), 0, 1000, 0, SS_MIN_AT_START | SS_LINE_NEEDLE);
    desk->Add(scale, 1);
    scale->SetValue(1, 1); // the same pixel
    EXPECT_EQ(screen->InvalidCount(), 0);
    GuiPoint old, now;
    scale->SetValue(800, 0);
    scale->ValToPoint(800, old);
    GuiRedraw(scale);
    flush();
    const int y = scale->mClient.bottom - (scale->mClient.Height() >> 2) - 5;
    EXPECT_EQ(shownAt(old.x, y), 0xBF0000u);
    scale->SetValue(200, 1);
    scale->ValToPoint(200, now);
    flush();
    EXPECT_EQ(std::tuple(shownAt(old.x, y), shownAt(now.x, y)), std::tuple(GUI_FACE, 0xBF0000u));
}

TEST_F(Dials, ABitmapScaleDrawsItsNeedleBitmapOnItsTrack) {
    GuiBitmap* track = screen->CreateBitmap(200, 30, 0);
    GuiBitmap* needle = screen->CreateBitmap(5, 30, 0);
    for (int p = 0; p < 200 * 30; ++p)
        reinterpret_cast<uint32_t*>(track->data)[p] = 0x404040;
    for (int p = 0; p < 5 * 30; ++p)
        reinterpret_cast<uint32_t*>(needle->data)[p] = 0xFF00FF;
    auto* scale = new GuiLinearBitmapScale(100, 400, 0, 101, 0, 200, track, needle, SS_MIN_AT_START);
    desk->Add(scale, 1);
    scale->SetValue(50, 1);
    flush();
    // Travel 100 to 300 over 100 units: 50 at 200; the needle's 5 columns centred there.
    EXPECT_EQ(scale->mReal, GuiRect(100, 400, 299, 429));
    expectShown({{198, 410, 0xFF00FF}, {202, 410, 0xFF00FF}, {196, 410, 0x404040}, {120, 410, 0x404040}});
    desk->Destroy(scale);
    for (GuiBitmap* b : {track, needle}) {
        std::free(b->data);
        delete b;
    }
}

} // namespace
