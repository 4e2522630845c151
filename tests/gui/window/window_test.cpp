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

TEST_F(Windows, FramesArePixelExact) {
    GuiWindow* thin = window(GuiRect(20, 20, 119, 79), FF_THIN);
    GuiWindow* raised = window(GuiRect(140, 20, 239, 79), FF_RAISED);
    GuiWindow* recessed = window(GuiRect(260, 20, 359, 79), FF_RECESSED);
    GuiWindow* thick = window(GuiRect(380, 20, 479, 99), FF_THICK);
    GuiWindow* none = window(GuiRect(20, 120, 119, 179), FF_NONE);
    none->SetColor(0, 0x00FF00);
    none->Draw();
    flush();
    struct P {
        int x, y;
        uint32_t c;
    };
    auto check = [&](const GuiRect& r, std::initializer_list<P> pts) {
        for (const P& p : pts) {
            const int x = p.x < 0 ? r.right + p.x + 1 : r.left + p.x,
                      y = p.y < 0 ? r.bottom + p.y + 1 : r.top + p.y;
            EXPECT_EQ(shownAt(x, y), p.c) << "(" << x << ", " << y << ")";
        }
    };
    // Offsets from the left/top edge, or (negative) from the right/bottom edge: -1 is R or B.
    const uint32_t W = GUI_WHITE, S = GUI_SHADOW, K = GUI_BLACK, F = GUI_FACE;
    check(thin->mReal, {{0, 0, K}, {-1, -1, K}, {1, 1, W}, {-2, 5, W}});
    check(raised->mReal, {{0, 0, W}, {1, 1, W}, {1, 30, W}, {30, 1, W}, {-2, 1, S}, {30, -2, S}});
    check(raised->mReal, {{-1, 0, K}, {1, -1, K}, {2, 2, W}});
    check(recessed->mReal, {{0, 0, S}, {0, -1, S}, {-1, 0, S}, {-1, -1, W}, {-1, 30, W}, {30, -1, W}});
    check(recessed->mReal,
          {{1, 1, K}, {30, 1, K}, {1, 30, K}, {-2, 1, F}, {1, -2, F}, {30, -2, F}, {2, 2, W}});
    check(thick->mReal, {{0, 0, F}, {2, 2, F}, {1, 1, W}, {1, 40, W}, {-1, 0, K}, {50, -1, K}, {-2, 2, S}});
    check(thick->mReal, {{50, -2, S}, {-4, 10, W}, {50, -4, W}, {4, 4, S}, {50, 4, S}, {4, 40, S}});
    check(thick->mReal, {{-3, 10, F}, {-5, 10, F}, {5, 5, W}, {50, 40, W}});
    check(none->mReal, {{0, 0, 0x00FF00}, {-1, -1, 0x00FF00}});
    EXPECT_EQ(shownAt(19, 19), DESK);
}

TEST_F(Windows, WallpaperIsTiledFromTheClientCornerOrCentred) {
    uint32_t px[6] = {0x010203, 0x111111, 0x222222, 0x333333, 0x444444, 0x555555};
    GuiBitmap tile{BMF_RAW, 32, 3, 2, 0, reinterpret_cast<uint8_t*>(px)};
    GuiWindow* tiled = window(GuiRect(20, 20, 119, 79), FF_THIN);
    tiled->SetWallpaper(&tile, 1);
    uint32_t spot[4] = {0xAA0000, 0xAA0000, 0xAA0000, 0xAA0000};
    GuiBitmap small{BMF_RAW, 32, 2, 2, 0, reinterpret_cast<uint8_t*>(spot)};
    GuiWindow* centred = window(GuiRect(140, 20, 239, 79), FF_THIN);
    centred->SetColor(0, 0x00FF00);
    centred->SetWallpaper(&small, 0);
    uint32_t holes[4] = {GUI_TRANSPARENT_WORD, 0x0000AA, 0x0000AA, GUI_TRANSPARENT_WORD};
    GuiBitmap holed{BMF_RAW | BMF_HAS_TRANS,          32, 2, 2, GUI_TRANSPARENT_WORD,
                    reinterpret_cast<uint8_t*>(holes)};
    GuiWindow* transparent = window(GuiRect(260, 20, 359, 79), FF_NONE);
    transparent->SetColor(0, 0xFFFF00);
    transparent->SetWallpaper(&holed, 1);
    screen->Invalidate(desk->mReal);
    desk->Draw();
    flush();
    const GuiRect c = tiled->mClient; // (21, 21)-(118, 78)
    for (int y = c.top; y <= c.bottom; y += 5)
        for (int x = c.left; x <= c.right; x += 7)
            ASSERT_EQ(shownAt(x, y), px[(x - c.left) % 3 + 3 * ((y - c.top) % 2)]) << x << "," << y;
    EXPECT_EQ(shownAt(20, 20), GUI_BLACK) << "the frame is drawn, not filled, under an opaque tiling";
    // Centred: ((cL + cR) / 2 - 1, (cT + cB) / 2 - 1) = (188, 48).
    expectShown({{188, 48, 0xAA0000u}, {189, 49, 0xAA0000u}, {187, 48, 0x00FF00u}, {190, 49, 0x00FF00u}});
    // A wallpaper with holes shows the window's colour through them.
    expectShown({{260, 20, 0xFFFF00u}, {261, 20, 0x0000AAu}, {263, 21, 0xFFFF00u}});
}

TEST_F(Windows, ScrollInformationAndFixedBars) {
    GuiWindow* w = window(GuiRect(20, 20, 219, 119), FF_THIN);
    GuiScrollInfo in;
    w->GetVScrollInfo(&in);
    EXPECT_EQ(std::tuple(in.minimum, in.maximum, in.current, in.step, in.visible),
              std::tuple(w->mClient.top, w->mClient.bottom, w->mClient.top, 9, 98));
    w->SetScrollMode(WSM_VERTICAL | WSM_HORIZONTAL);
    flush();
    ASSERT_NE(w->VScroll(), nullptr);
    ASSERT_NE(w->HScroll(), nullptr);
    EXPECT_EQ(std::tuple(w->mClient, w->VScroll()->mReal),
              std::tuple(GuiRect(21, 21, 202, 102), GuiRect(203, 21, 218, 102)));
    EXPECT_EQ(w->HScroll()->mReal, GuiRect(21, 103, 202, 118)) << "16 short of the right edge";
    for (int y = 103; y <= 118; ++y)
        for (int x = 203; x <= 218; ++x)
            ASSERT_EQ(shownAt(x, y), GUI_FACE) << "corner " << x << "," << y;
    w->SetScrollMode(0);
    EXPECT_EQ(std::tuple(w->VScroll(), w->HScroll(), w->mClient),
              std::tuple(nullptr, nullptr, GuiRect(21, 21, 218, 118)));
    // A fixed direction still applies beside an automatic one.
    w->SetScrollMode(WSM_HORIZONTAL | WSM_VERTICAL_AUTO);
    EXPECT_NE(w->HScroll(), nullptr);
    EXPECT_EQ(w->VScroll(), nullptr);
}

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

TEST_F(Windows, BarsAddedByTheAutomaticCheckAreDrawnAtOnce) {
    GuiWindow* w = window(GuiRect(300, 20, 499, 139), FF_THIN);
    w->Add(new Probe(GuiRect(320, 21, 360, 300)), 1);
    flush();
    EXPECT_EQ(shownAt(483, 22), GUI_WHITE) << "no bar yet";
    w->SetScrollMode(WSM_VERTICAL_AUTO | WSM_HORIZONTAL);
    flush();
    ASSERT_NE(w->VScroll(), nullptr);
    ASSERT_NE(w->HScroll(), nullptr);
    const GuiRect v = w->VScroll()->mReal, h = w->HScroll()->mReal;
    EXPECT_EQ(shownAt(v.left, v.top), GUI_FACE) << "the up arrow's bevel";
    EXPECT_EQ(shownAt(v.right, v.bottom), GUI_BLACK) << "the down arrow's bevel";
    EXPECT_EQ(shownAt(h.left, h.top), GUI_FACE);
    EXPECT_EQ(shownAt(v.right, h.bottom), GUI_FACE) << "the corner";
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

TEST_F(Windows, ContinuousScrollingFollowsTheThumb) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 219), FF_THIN);
    auto* p = new Probe(GuiRect(110, 110, 250, 600));
    w->Add(p, 1);
    w->SetScrollMode(WSM_VERTICAL | WSM_CONTINUOUS);
    EXPECT_TRUE(w->Status() & PSF_CONTINUOUS_SCROLL);
    GuiScrollButton* t = w->VScroll()->Thumb();
    pointer(GM_LBUTTON_DOWN, t->mReal.left + 5, t->mReal.top + 2);
    pointer(GM_POINTER_MOVE, t->mReal.left + 5, t->mReal.top + 42);
    EXPECT_LT(p->mReal.top, 110) << "moved while dragging";
    pointer(GM_LBUTTON_UP, t->mReal.left + 5, t->mReal.top + 2);
    w->SetScrollMode(WSM_VERTICAL);
    EXPECT_FALSE(w->Status() & PSF_CONTINUOUS_SCROLL);
}

TEST_F(Windows, BorderPartsOfASizableWindow) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 249), FF_THICK);
    const std::tuple<int, int, int> parts[] = {
        {100, 100, WBP_TOP_LEFT}, {105, 249, WBP_BOTTOM_LEFT}, {103, 180, WBP_LEFT},
        {294, 180, WBP_RIGHT},    {299, 105, WBP_TOP_RIGHT},   {299, 244, WBP_BOTTOM_RIGHT},
        {200, 100, WBP_TOP},      {200, 246, WBP_BOTTOM},      {200, 180, 0}};
    for (auto [x, y, part] : parts)
        EXPECT_EQ(w->BorderContains(GuiPoint(x, y)), part) << x << ", " << y;
    GuiWindow* fixed = window(GuiRect(400, 100, 499, 199), FF_THIN);
    EXPECT_EQ(fixed->BorderContains(GuiPoint(400, 100)), 0);
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
    EXPECT_EQ(w->BorderContains(GuiPoint(0, 0)), WBP_TOP_LEFT);
    pointer(GM_LBUTTON_DOWN, 0, 0);
    EXPECT_EQ(w->MoveMode(), 0) << "a maximised window is not sized";
    send(w, GM_RESTORE);
    EXPECT_FALSE(w->Maximized());
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 249));
    send(w, GM_RESTORE);
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 249));
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
    // A modal window is not minimised.
    GuiWindow* modal = window(GuiRect(200, 200, 299, 299), FF_THICK);
    modal->mModal = 1;
    send(modal, GM_MINIMIZE);
    EXPECT_EQ(modal->Parent(), desk);
    modal->mModal = 0;
}

TEST_F(Windows, CloseButtonsAndTheCloseMessageDestroyTheWindow) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 249), FF_THIN);
    GuiMessage click(static_cast<uint16_t>(128 + 16 * GUI_ID_CANCEL + GSIG_CLICKED), w, nullptr,
                     GUI_ID_CANCEL);
    EXPECT_EQ(w->Message(click), GUI_ID_CANCEL);
    EXPECT_EQ(w->Parent(), nullptr) << "removed at once, deleted after the handler";
    drain();
    GuiWindow* w2 = window(GuiRect(100, 100, 299, 249), FF_THIN);
    GuiMessage system(static_cast<uint16_t>(128 + 16 * GUI_ID_SYSTEM + GSIG_CLICKED), w2, nullptr,
                      GUI_ID_SYSTEM);
    EXPECT_EQ(w2->Message(system), 0) << "the system button does not close";
    EXPECT_EQ(w2->Parent(), desk);
    EXPECT_EQ(w2->Message(GuiMessage(GM_DESTROY_SELF, w2)), GUI_ID_CLOSE);
    drain();
    EXPECT_EQ(desk->First(), nullptr);
}

} // namespace
