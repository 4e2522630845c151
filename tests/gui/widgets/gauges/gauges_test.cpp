// Progress bars, group boxes and lights.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/widgets/group/group_private.h"
#include "gui/widgets/lights/lights.h"
#include "gui/widgets/progress/progress_private.h"
#include "gui/widgets/widget_fixture.h"

#include <climits>
#include <string>
#include <vector>

namespace {

using Gauges = widgettest::WidgetTest;

TEST_F(Gauges, TheFilledPartAndThePercentageFollowTheRange) {
    const GuiRect client(10, 20, 110, 39); // 101 wide, 20 high
    const struct {
        bool vertical;
        int minimum, maximum, current;
        GuiRect bar;
        long percent;
    } cases[] = {
        {false, 0, 100, 50, GuiRect(10, 20, 60, 39), 50},
        {false, 0, 200, 25, GuiRect(10, 20, 22, 39), 12},
        {false, 5, 5, 7, client, 100}, // an empty range fills the bar and does not divide by 0
        {false, 9, 3, 7, client, 100}, // so does an inverted one
        {false, 0, 100, 150, GuiRect(10, 20, 161, 39), 150},             // not clamped
        {false, 0, 2000000000, 1500000000, GuiRect(10, 20, 85, 39), 75}, // no 32-bit overflow
        {false, INT_MIN, INT_MAX, 0, GuiRect(10, 20, 60, 39), 50},
        {true, 0, 100, 25, GuiRect(10, 34, 110, 39), 25},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GuiProgressBarRect(client, c.vertical, c.minimum, c.maximum, c.current), c.bar)
            << c.minimum << ".." << c.maximum << " at " << c.current;
        EXPECT_EQ(GuiProgressPercent(c.minimum, c.maximum, c.current), c.percent);
    }
}

TEST_F(Gauges, ASegmentedBarFillsSegmentsOfItsPitch) {
    // A client 40 wide: the pitch 40 / 20 = 2 is raised to 3.
    auto* bar = new GuiProgressBar(GuiRect(100, 100, 141, 119), FF_THIN | PBS_SEGMENTED, 0, 100, 50);
    owner->Add(bar, 1);
    flush();
    std::string row;
    for (int x = 101; x <= 121; ++x)
        row += shownAt(x, 110) == GUI_ACTIVE_BLUE ? '#' : '.';
    EXPECT_EQ(row, "##.##.##.##.##.##.##.") << "segments while their right edge lies left of 121";
}

TEST_F(Gauges, ARoundLampOfA21By11ClientHasRadius5) {
    auto* lamp = new GuiColorLight(GuiRect(400, 300, 420, 310), 1, LS_CIRCLE | FF_NONE);
    lamp->SetStateColor(0, 0x00FF00);
    owner->Add(lamp, 1);
    flush();
    const int cx = 410, cy = 305;
    EXPECT_EQ(std::tuple(shownAt(cx, cy), shownAt(cx + 5, cy), shownAt(cx + 6, cy), shownAt(cx, cy - 5)),
              std::tuple(0x00FF00u, 0u, owner->GetColor(0), 0u))
        << "the background beside the rim";
}

// Disabling a group disables the buttons of types 5, 11, 12, 14, 15, 26 and 29 among its children
// and no other; enabling it twice draws nothing the second time.
TEST_F(Gauges, AGroupEnablesItsButtonFamilyOnce) {
    for (int type = 0; type < 256; ++type)
        EXPECT_EQ(GuiIsGroupButton(static_cast<uint8_t>(type)), type == 5 || type == 11 || type == 12 ||
                                                                    type == 14 || type == 15 || type == 26 ||
                                                                    type == 29)
            << "type " << type;
    auto* group = new GuiGroup(GuiRect(50, 50, 250, 150), "Group", GROUP_ENABLED);
    desk->Add(group, 1);
    auto* b = new GuiTextButton(GuiRect(60, 80, 120, 100), "b", 5);
    group->Add(b, 1);
    group->Enable(0);
    EXPECT_EQ(std::tuple(b->Enabled(), b->Status() & PSF_SELECTABLE), std::tuple(false, 0));
    group->Enable(1);
    redrawAll();
    group->Enable(1);
    EXPECT_EQ(std::tuple(b->Enabled(), screen->InvalidCount()), std::tuple(true, 0));
}

// States wrap both ways; a state beyond the number is refused; SetNumStates(0) changes nothing, a
// smaller number moves the state to its last; the first bitmap sizes a bitmap light.
TEST_F(Gauges, LightStatesWrapAndKeepTheirColours) {
    GuiColorLight light(GuiRect(0, 0, 20, 10), 3, LS_CIRCLE);
    EXPECT_EQ(light.DecrementState(0), 2u);
    EXPECT_EQ(light.IncrementState(0), 0u);
    light.SetState(2, 0);
    EXPECT_EQ(light.SetState(5, 0), 2u);
    EXPECT_EQ(std::tuple(light.SetNumStates(0), light.NumStates(), light.State()), std::tuple(3u, 3u, 2u));
    GuiColorLight four(GuiRect(0, 0, 20, 10), 4, LS_RECTANGLE);
    for (unsigned s = 0; s < 4; ++s)
        four.SetStateColor(s, 0x100000u * (s + 1));
    four.SetState(3, 0);
    four.SetNumStates(2);
    EXPECT_EQ(four.State(), 1u);
    EXPECT_EQ(std::tuple(four.SetStateColor(2, 1), four.SetStateColor(1, 1)), std::tuple(0, 1));
    four.SetNumStates(5); // grown: the new states take colours too
    four.SetState(4, 0);
    EXPECT_EQ(std::tuple(four.State(), four.SetStateColor(5, 1), four.SetStateColor(4, 0x200000)),
              std::tuple(4u, 0, 1));
    auto* shown = new GuiColorLight(GuiRect(300, 300, 320, 310), 5, LS_RECTANGLE | FF_NONE);
    for (unsigned s = 0; s < 2; ++s)
        shown->SetStateColor(s, 0x100000u * (s + 1));
    shown->SetNumStates(4);
    owner->Add(shown, 1);
    const uint32_t expected[] = {0x100000, 0x200000, 0, 0}; // states without a colour of their own: black
    for (unsigned s = 0; s < 4; ++s) {
        shown->SetState(s, 1);
        flush();
        EXPECT_EQ(shownAt(310, 305), expected[s]) << "state " << s;
    }
    GuiBitmapLight bitmaps(500, 300, 2);
    std::vector<uint8_t> pixels(16 * 12, PAL_RED);
    GuiBitmap b{BMF_RAW, 8, 16, 12, 0, pixels.data()};
    EXPECT_EQ(bitmaps.SetStateBitmap(0, &b), 1);
    EXPECT_EQ(bitmaps.SetNumStates(0), 2u);
    EXPECT_EQ(bitmaps.SetStateBitmap(1, &gbCheckBitmap), 1);
    EXPECT_EQ(bitmaps.mReal, GuiRect(500, 300, 515, 311)) << "sized by the first bitmap only";
}

TEST_F(Gauges, TheFirstBitmapSizesTheLightAndANullOneIsRefused) {
    auto* light = new GuiBitmapLight(500, 300, 2);
    EXPECT_EQ(light->SetStateBitmap(0, nullptr), 0);
    std::vector<uint8_t> pixels(16 * 12, PAL_RED);
    GuiBitmap b{BMF_RAW, 8, 16, 12, 0, pixels.data()};
    GuiBitmap small = gbCheckBitmap;
    EXPECT_EQ(light->SetStateBitmap(0, &b), 1);
    EXPECT_EQ(light->SetStateBitmap(1, &small), 1);
    EXPECT_EQ(light->mReal, GuiRect(500, 300, 515, 311));
    desk->Add(light, 1);
    light->SetState(1, 1);
    light->SetNumStates(3);
    light->SetState(2, 1); // a state without a bitmap draws nothing
    EXPECT_EQ(light->State(), 2u);
}

} // namespace
