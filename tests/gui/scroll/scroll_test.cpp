// Scroll bars: thumb geometry (also at the 32-bit limits), arrows, trough, dragging, and the
// sine table.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/scroll/scroll.h"
#include "gui/scroll/scroll_private.h"
#include "gui/testkit.h"

#include <climits>
#include <cmath>

namespace {

using guitest::Probe;

// ---- the sine table -----------------------------------------------------------------------

TEST(SinCos, LookupFollowsLibmForEveryAngleAndSign) {
    int s = 0, c = 0;
    GuiLookupSinCos(-30, &s, &c);
    EXPECT_EQ(std::tuple(s, c), std::tuple(-512, 887));
    GuiLookupSinCos(450, &s, &c);
    EXPECT_EQ(std::tuple(s, c), std::tuple(1024, 0));
    GuiLookupSinCos(46, &s, nullptr); // one of the entries a unit below the rounded sine
    GuiLookupSinCos(180, nullptr, &c);
    EXPECT_EQ(std::tuple(s, c), std::tuple(736, -1024));
    for (int a = -1100; a <= 1100; ++a) {
        GuiLookupSinCos(a, &s, &c);
        EXPECT_LE(std::abs(s - 1024.0 * std::sin(a * M_PI / 180.0)), 1.0) << a;
        EXPECT_LE(std::abs(c - 1024.0 * std::cos(a * M_PI / 180.0)), 1.0) << a;
    }
    // The extremes fold like any other angle: INT_MAX is 127 and INT_MIN is 232 degrees.
    int s2, c2;
    GuiLookupSinCos(INT_MAX, &s, &c);
    GuiLookupSinCos(127, &s2, &c2);
    EXPECT_EQ(std::tuple(s, c), std::tuple(s2, c2));
}

// ---- geometry -----------------------------------------------------------------------------

GuiScrollInfo info(int32_t min, int32_t max, int32_t cur, int32_t step, int32_t visible) {
    GuiScrollInfo i;
    std::tie(i.minimum, i.maximum, i.current, i.step, i.visible) = std::tie(min, max, cur, step, visible);
    return i;
}

TEST(ScrollGeometry, RangesAtTheThirtyTwoBitLimitsDoNotWrap) {
    // 32-bit products would overflow here (UBSan would stop the test).
    GuiScrollInfo big = info(INT_MIN, INT_MAX, INT_MAX - 9, 1, 10);
    GuiThumbSpan t = GuiScrollThumbSpan(big, 200, true);
    EXPECT_EQ(std::tuple(t.offset, t.length), std::tuple(184, 16));
    big.current = 0;
    EXPECT_EQ(GuiScrollThumbSpan(big, 200, true).offset, 92);
    EXPECT_EQ(GuiScrollValueAt(big, 184, 200, 16), static_cast<int64_t>(INT_MAX) - 9);
    EXPECT_EQ(GuiScrollValueAt(big, 0, 200, 16), INT_MIN);
    EXPECT_EQ(GuiScrollLimit(big, static_cast<int64_t>(INT_MAX) + 5), INT_MAX - 9);
}

// Thumb length visible x C / range (horizontal: visible - 1), at least 16, at (current - minimum) x
// (C - length) / (range - visible); the whole trough once everything fits. Limits: current within
// minimum .. maximum - visible + 1, never below minimum.
TEST(ScrollGeometry, TheThumbAndTheLimitsFollowTheRangeAndTheVisiblePart) {
    const struct {
        GuiScrollInfo in;
        bool vertical;
        int offset, length;
    } cases[] = {
        {info(0, 99, 0, 1, 100), true, 0, 200},      {info(0, 999, 900, 1, 100), true, 180, 20},
        {info(0, 999, 900, 1, 100), false, 181, 19}, {info(0, 100, 1, 1, 100), true, 2, 198},
        {info(0, 9999, 0, 1, 10), true, 0, 16},
    };
    for (const auto& c : cases) {
        const GuiThumbSpan t = GuiScrollThumbSpan(c.in, 200, c.vertical);
        EXPECT_EQ(std::tuple(t.offset, t.length), std::tuple(c.offset, c.length))
            << c.in.maximum << " by " << c.in.visible << (c.vertical ? " vertical" : " horizontal");
    }
    const GuiScrollInfo fits = info(10, 50, 0, 1, 100), part = info(10, 50, 0, 1, 20);
    EXPECT_EQ(std::tuple(GuiScrollLimit(fits, 30), GuiScrollLimit(part, 40), GuiScrollLimit(part, 5)),
              std::tuple(10, 31, 10));
}

// ---- the bars on screen ---------------------------------------------------------------------

// Records the last signal or scroll report with its payload.
class Recorder : public Probe {
  public:
    using Probe::Probe;
    int Message(const GuiMessage& msg) override {
        if (msg.type >= GM_VSCROLL && msg.type != GM_TIMER) {
            ++reports;
            last = msg;
        }
        return Probe::Message(msg);
    }
    int reports = 0;
    GuiMessage last;
};

uint32_t patternAt(const GuiRect& origin, int x, int y) {
    return ((x - origin.left) + (y - origin.top)) % 2 == 0 ? GUI_WHITE : GUI_FACE;
}

struct ScrollBars : guitest::GuiTest {
    Recorder* panel = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        panel = new Recorder(GuiRect(0, 0, 639, 479), 1, PSF_VIEWPORT);
        panel->mColors[0] = 0x336699;
        pm->Add(panel, 1);
    }
    void TearDown() override {
        redrawAll();
        GuiTest::TearDown();
    }
    void pointer(uint16_t type, int x, int y) {
        GuiMessage m(type);
        m.payload.point = GuiPoint(x, y);
        GuiThing::mpMessageQueue->Push(&m);
        drain();
    }
    GuiVScroll* vbar(const GuiScrollInfo& in, uint16_t id = 7) {
        GuiScrollInfo copy = in;
        auto* b =
            new GuiVScroll(GuiRect(100, 40, 115, 271), &copy, id); // arrows (L,T,L+16,T+16), (L,B-16,L+16,B)
        panel->Add(b, 1);
        flush();
        return b;
    }
    static uint16_t scrollSignal(uint16_t id) { return static_cast<uint16_t>(128 + 16 * id + GSIG_SCROLL); }
};

TEST_F(ScrollBars, VerticalBarDrawsArrowsTroughAndThumbWhereTheInformationSays) {
    GuiVScroll* b = vbar(info(0, 999, 900, 10, 100));
    EXPECT_EQ(b->Thumb()->mReal, GuiRect(100, 236, 115, 255)) << "20 pixels, 180 below the trough's top";
    EXPECT_EQ(std::tuple(b->mClient, b->FirstButton()->mReal, b->SecondButton()->mReal),
              std::tuple(GuiRect(100, 56, 115, 255), GuiRect(100, 40, 116, 56), GuiRect(100, 255, 116, 271)));
    expectShown({{101, 237, GUI_WHITE}, {115, 240, GUI_BLACK}, {105, 255, GUI_BLACK}}); // the thumb's bevel
    // Trough: the mix pattern from the trough's corner.
    const GuiRect trough = b->mClient;
    for (int y : {57, 100, 235})
        for (int x : {100, 101, 107, 115})
            ASSERT_EQ(shownAt(x, y), patternAt(trough, x, y)) << x << "," << y;
    // Arrows: bevelled buttons at both ends; nothing outside the bar.
    expectShown({{100, 40, GUI_FACE}, {115, 271, GUI_BLACK}, {99, 100, 0x336699u}});
}

TEST_F(ScrollBars, DragOverAHugeRangeReachesBothEndsExactly) {
    GuiVScroll* b = vbar(info(-2000000000, 2000000000, -2000000000, 1, 1000));
    pointer(GM_LBUTTON_DOWN, 108, 60);
    pointer(GM_POINTER_MOVE, 108, 400);
    pointer(GM_LBUTTON_UP, 108, 400);
    EXPECT_EQ(std::tuple(b->Info().current, panel->last.payload.l),
              std::tuple(2000000000 - 999, 2000000000L - 999));
    pointer(GM_LBUTTON_DOWN, 108, 250);
    pointer(GM_POINTER_MOVE, 108, 0);
    pointer(GM_LBUTTON_UP, 108, 0);
    EXPECT_EQ(b->Info().current, -2000000000);
}

TEST_F(ScrollBars, HorizontalBarMirrorsTheVerticalOne) {
    GuiScrollInfo in = info(0, 999, 900, 10, 100);
    auto* b = new GuiHScroll(GuiRect(50, 300, 281, 315), &in, 9); // trough columns 66..265
    panel->Add(b, 1);
    EXPECT_EQ(std::tuple(b->FirstButton()->mReal, b->SecondButton()->mReal),
              std::tuple(GuiRect(50, 300, 66, 316), GuiRect(265, 300, 281, 316)));
    EXPECT_EQ(b->Thumb()->mReal, GuiRect(66 + 181, 300, 66 + 181 + 19 - 1, 315))
        << "(visible - 1) x W / range";
    pointer(GM_LBUTTON_DOWN, 57, 307);
    EXPECT_EQ(std::tuple(b->Info().current, panel->last.type), std::tuple(890, scrollSignal(9)));
    b->Resize(GuiRect(50, 300, 381, 315));
    EXPECT_EQ(b->SecondButton()->mReal, GuiRect(366, 300, 381, 315))
        << "the second arrow follows the far end";
}

} // namespace
