// Windows: frames, wallpaper, scroll bars and scrolling, sizing and moving with the outline,
// maximise, minimise and restore.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/icon/icon.h"
#include "gui/testkit.h"
#include "gui/window/window.h"

#include <vector>

namespace {

using guitest::Probe;

constexpr uint32_t DESK = 0x336699;

// A window of another class: such windows keep at least 80 pixels when sized.
class Dialog : public GuiWindow {
  public:
    Dialog(const GuiRect& r, unsigned style) : GuiWindow(r, style) { mType = 160; }
};

struct Windows : guitest::GuiTest {
    GuiWindow* desk = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        desk = new GuiWindow(GuiRect(0, 0, 639, 479), FF_NONE);
        desk->SetColor(0, DESK);
        pm->Add(desk, 1);
    }
    void TearDown() override {
        redrawAll();
        GuiTest::TearDown();
    }
    template <typename W = GuiWindow> W* window(const GuiRect& r, unsigned style) {
        auto* w = new W(r, style);
        desk->Add(w, 1);
        return w;
    }
    void pointer(uint16_t type, int x, int y) {
        GuiMessage m(type);
        m.payload.point = GuiPoint(x, y);
        GuiThing::mpMessageQueue->Push(&m);
        drain();
    }
    void click(int x, int y) {
        pointer(GM_LBUTTON_DOWN, x, y);
        pointer(GM_LBUTTON_UP, x, y);
    }
    void send(GuiThing* to, uint16_t type, int data = 0) {
        GuiMessage m(type, to, nullptr, data);
        to->Message(m);
    }
    // Expects the frame-buffer pixels at the points to be those of `before`, inverted or not.
    void expectOutline(const std::vector<uint32_t>& before,
                       std::initializer_list<std::tuple<int, int, bool>> pts) {
        for (auto [x, y, inverted] : pts)
            EXPECT_EQ(fbAt(x, y), before[y * 640 + x] ^ (inverted ? 0xFFFFFF : 0)) << x << ", " << y;
    }
    std::vector<uint32_t> frame() const {
        std::vector<uint32_t> v(static_cast<size_t>(640) * 480);
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x)
                v[static_cast<size_t>(y) * 640 + x] = fbAt(x, y);
        return v;
    }
};

TEST_F(Windows, AutomaticBarsComeAndGoWithTheContent) {
    GuiWindow* w = window(GuiRect(300, 20, 499, 139), FF_THIN);
    auto* a = new Probe(GuiRect(320, 21, 360, 60)); // at the client's top
    w->Add(a, 1);
    w->SetScrollMode(WSM_VERTICAL_AUTO);
    EXPECT_EQ(w->VScroll(), nullptr) << "everything fits";
    auto* b = new Probe(GuiRect(320, 100, 360, 300));
    w->Add(b, 1);
    EXPECT_EQ(w->CheckAutoScroll(), 1);
    ASSERT_NE(w->VScroll(), nullptr);
    EXPECT_EQ(std::tuple(w->mClient.right, w->VScroll()->Info().maximum), std::tuple(498 - 16, 300));
    // Scroll down with the arrow: the content moves up by one step.
    const int step = w->VScroll()->Info().step;
    click(w->VScroll()->mReal.left + 5, w->VScroll()->mReal.bottom - 5);
    EXPECT_EQ(std::tuple(a->mReal.top, b->mReal.top), std::tuple(21 - step, 100 - step));
    // The tall child goes: the bar goes too and the content returns to the start.
    delete w->Remove(b, 1);
    EXPECT_EQ(w->CheckAutoScroll(), 1);
    EXPECT_EQ(std::tuple(w->VScroll(), w->mClient.right), std::tuple(nullptr, 498));
    drain();
    EXPECT_EQ(a->mReal.top, w->mClient.top);
    EXPECT_EQ(w->CheckAutoScroll(), 0);
}

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

TEST_F(Windows, SizingDrawsAnXorOutlineAndStopsAtTheLimits) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 249), FF_THICK);
    flush();
    const std::vector<uint32_t> before = frame();
    pointer(GM_LBUTTON_DOWN, 100, 150);
    EXPECT_EQ(std::tuple(w->MoveMode(), pm->GetPointerOwner()), std::tuple(WBP_LEFT, w));
    pointer(GM_POINTER_MOVE, 150, 150);
    // The dotted outline of (150, 100)-(299, 249): every second pixel inverted.
    expectOutline(before, {{150, 100, true}, {151, 100, false}, {152, 100, true}, {150, 102, true}});
    expectOutline(before, {{298, 249, true}, {299, 248, true}, {299, 249, false}});
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 249)) << "only the outline moves";
    // Far to the right: a plain window stops where its client's right - left would fall below 3.
    pointer(GM_POINTER_MOVE, 295, 150);
    pointer(GM_LBUTTON_UP, 295, 150);
    EXPECT_EQ(
        std::tuple(w->MoveMode(), pm->GetPointerOwner(), w->mClient.right - w->mClient.left, w->mReal.right),
        std::tuple(0, nullptr, 3, 299));
    EXPECT_EQ(std::tuple(fbAt(150, 100), fbAt(152, 100)), std::tuple(DESK, DESK)) << "the outline is gone";
    // Another class of window keeps 80 pixels.
    Dialog* d = window<Dialog>(GuiRect(320, 100, 519, 249), FF_THICK);
    pointer(GM_LBUTTON_DOWN, 517, 180);
    EXPECT_EQ(d->MoveMode(), WBP_RIGHT);
    pointer(GM_POINTER_MOVE, 330, 180);
    pointer(GM_LBUTTON_UP, 330, 180);
    EXPECT_EQ(d->mReal, GuiRect(320, 100, 399, 249));
    // Height: the top edge dragged down keeps the client area.
    pointer(GM_LBUTTON_DOWN, 360, 101);
    EXPECT_EQ(d->MoveMode(), WBP_TOP);
    pointer(GM_POINTER_MOVE, 360, 400);
    pointer(GM_LBUTTON_UP, 360, 400);
    EXPECT_EQ(d->mReal.bottom, 249);
    EXPECT_EQ(d->mClient.Height(), 0);
}

TEST_F(Windows, MovingOutlineIsSeenOverWindowsInFrontAndErasedExactly) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 249), FF_THICK);
    GuiWindow* front = window(GuiRect(320, 80, 419, 300), FF_THIN);
    front->SetColor(0, 0x808000);
    front->Draw();
    flush();
    const std::vector<uint32_t> before = frame();
    GuiMessage move(GM_MOVE_SIZE, w, nullptr, WBP_MOVE);
    move.payload.point = GuiPoint(200, 120);
    w->Message(move);
    EXPECT_EQ(w->MoveMode(), WBP_MOVE);
    pointer(GM_POINTER_MOVE, 300, 140); // outline (200, 120)-(399, 269) crosses the front window
    expectOutline(before, {{350, 120, true}, {399, 268, true}});
    pointer(GM_POINTER_MOVE, 200, 120); // back where it began
    pointer(GM_LBUTTON_UP, 200, 120);   // no move at all
    EXPECT_EQ(frame(), before);
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 249));
    // A real move.
    w->Message(move);
    pointer(GM_POINTER_MOVE, 250, 150);
    pointer(GM_LBUTTON_UP, 250, 150);
    EXPECT_EQ(w->mReal, GuiRect(150, 130, 349, 279));
    EXPECT_EQ(shownAt(100, 100), GUI_FACE) << "not flushed yet";
    flush();
    expectShown({{100, 100, DESK}, {151, 131, GUI_WHITE}});
}

TEST_F(Windows, MaximiseRestoreAndMinimise) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 249), FF_THICK);
    send(w, GM_MAXIMIZE);
    EXPECT_TRUE(w->Maximized());
    EXPECT_EQ(w->mReal, desk->mClient);
    EXPECT_EQ(w->RestoreRect(), GuiRect(100, 100, 299, 249));
    send(w, GM_MAXIMIZE);
    EXPECT_EQ(w->RestoreRect(), GuiRect(100, 100, 299, 249)) << "a second maximise keeps the rectangle";
    pointer(GM_LBUTTON_DOWN, 0, 0);
    EXPECT_EQ(w->MoveMode(), 0) << "a maximised window is not sized";
    send(w, GM_RESTORE);
    EXPECT_EQ(std::tuple(w->Maximized(), w->mReal), std::tuple(false, GuiRect(100, 100, 299, 249)));
    GuiWindow* fixed = window(GuiRect(400, 100, 499, 199), FF_THIN);
    send(fixed, GM_MAXIMIZE);
    EXPECT_FALSE(fixed->Maximized());
    // Minimised windows become icons from the desk's bottom-left corner, 10 pixels apart.
    GuiWindow* w2 = window(GuiRect(300, 300, 399, 399), FF_THICK);
    send(w, GM_MINIMIZE);
    send(w2, GM_MINIMIZE);
    EXPECT_EQ(w->Parent(), nullptr);
    drain();
    std::vector<GuiIcon*> icons;
    for (GuiThing* c = desk->First(); c; c = c->Next())
        if (c->Type() == TYPE_ICON) icons.push_back(static_cast<GuiIcon*>(c));
    ASSERT_EQ(icons.size(), 2u);
    GuiIcon* first = icons[1]->Window() == w ? icons[1] : icons[0];
    GuiIcon* second = first == icons[0] ? icons[1] : icons[0];
    EXPECT_EQ(first->mReal, GuiRect(10, 479 - 16 - 10, 26, 479 - 10));
    EXPECT_EQ(second->mReal.left, first->mReal.right + 10);
    EXPECT_EQ(second->Window(), w2);
    delete w;
    delete w2;
}

} // namespace
