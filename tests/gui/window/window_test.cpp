// Windows: scrolling moves the pixels it can and draws the rest, exactly as a fresh drawing.
#include "gui/testkit.h"
#include "gui/window/window.h"

#include <vector>

namespace {

using guitest::Probe;

struct Windows : guitest::GuiTest {
    GuiWindow* desk = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        desk = new GuiWindow(GuiRect(0, 0, 639, 479), FF_NONE);
        desk->SetColor(0, 0x336699);
        pm->Add(desk, 1);
    }
    void TearDown() override {
        redrawAll();
        GuiTest::TearDown();
    }
    GuiWindow* window(const GuiRect& r, unsigned style) {
        auto* w = new GuiWindow(r, style);
        desk->Add(w, 1);
        return w;
    }
    void click(int x, int y) {
        for (uint16_t type : {GM_LBUTTON_DOWN, GM_LBUTTON_UP}) {
            GuiMessage m(type);
            m.payload.point = GuiPoint(x, y);
            GuiThing::mpMessageQueue->Push(&m);
            drain();
        }
    }
    std::vector<uint32_t> frame() const {
        std::vector<uint32_t> v;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x)
                v.push_back(fbAt(x, y));
        return v;
    }
};

TEST_F(Windows, ScrolledContentEqualsAFreshDrawing) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 219), FF_THIN);
    for (int i = 0; i < 12; ++i) {
        auto* p = new Probe(GuiRect(110, 105 + 30 * i, 250, 125 + 30 * i));
        p->mColors[0] = 0x101010u * static_cast<uint32_t>(i + 1);
        w->Add(p, 1);
    }
    w->SetScrollMode(WSM_VERTICAL);
    GuiVScroll* bar = w->VScroll();
    ASSERT_NE(bar, nullptr);
    for (int i = 0; i < 3; ++i) { // down, down, down (pixels moved, a strip drawn)
        click(bar->mReal.left + 5, bar->mReal.bottom - 5);
    }
    click(bar->mReal.left + 5, bar->mReal.top + 5); // and up again
    const std::vector<uint32_t> moved = frame();
    screen->Invalidate(desk->mReal);
    desk->Draw();
    EXPECT_EQ(frame(), moved);
    EXPECT_EQ(bar->Info().current, w->mClient.top + 2 * bar->Info().step);
}

// A window's client area lies inside its frame: none 0, thin 1, raised and recessed 2, thick 5, any other
// frame value 0; a resize to the same size moves it along.
TEST_F(Windows, TheClientIsInsetByTheFrame) {
    const struct {
        uint16_t frame;
        int inset;
    } cases[] = {{1, 0}, {2, 1}, {4, 2}, {8, 2}, {16, 5}, {3, 0}, {0, 0}};
    for (const auto& c : cases) {
        GuiWindow t(GuiRect(10, 20, 109, 219), c.frame);
        EXPECT_EQ(t.mClient, GuiRect(10 + c.inset, 20 + c.inset, 109 - c.inset, 219 - c.inset)) << c.frame;
        t.Resize(GuiRect(30, 50, 129, 249));
        EXPECT_EQ(t.mClient, GuiRect(30 + c.inset, 50 + c.inset, 129 - c.inset, 249 - c.inset)) << c.frame;
    }
}

} // namespace

// The message table of a window by the type numbers the toolkit defines (not the names): 23 and
// 24 scroll the client objects by data - payload, 21 starts a drag in the given mode and 11 ends
// it, 25 maximises into the parent's client and 27 restores, 6 destroys with result 1000.
TEST_F(Windows, EachMessageTypeOfTheTableReachesItsHandler) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 219), FF_THICK); // sizable and movable
    auto* child = new Probe(GuiRect(120, 130, 160, 150));
    w->Add(child, 1);
    auto send = [w](uint16_t type, int data = 0, int32_t l = 0, GuiPoint at = GuiPoint()) {
        GuiMessage m(type, w, nullptr, data);
        m.payload.l = l;
        if (type == 21 || type == 11) m.payload.point = at;
        return w->Message(m);
    };
    EXPECT_EQ(send(23, 10, 4), 0);
    EXPECT_EQ(child->mReal, GuiRect(120, 136, 160, 156));
    EXPECT_EQ(send(24, 3, 10), 0);
    EXPECT_EQ(child->mReal, GuiRect(113, 136, 153, 156));

    send(21, 10, 0, GuiPoint(299, 219));
    EXPECT_EQ(w->MoveMode(), 10);
    send(11, 0, 0, GuiPoint(299, 219)); // released where it began: nothing resized
    EXPECT_EQ(w->MoveMode(), 0);
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 219));

    send(25);
    EXPECT_TRUE(w->Maximized());
    EXPECT_EQ(w->mReal, desk->mClient);
    send(27);
    EXPECT_FALSE(w->Maximized());
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 219));

    EXPECT_EQ(send(6), 1000);
    drain();
    EXPECT_EQ(desk->mpFirst, nullptr) << "the window is gone";
}
