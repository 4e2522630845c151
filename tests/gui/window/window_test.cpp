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
    void send(GuiThing* to, uint16_t type, int data = 0) {
        GuiMessage m(type, to, nullptr, data);
        to->Message(m);
    }
    std::vector<uint32_t> frame() const {
        std::vector<uint32_t> v(static_cast<size_t>(640) * 480);
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x)
                v[static_cast<size_t>(y) * 640 + x] = fbAt(x, y);
        return v;
    }
};

TEST_F(Windows, ConstructionAndTheirStatus) {
    GuiWindow plain(GuiRect(0, 0, 99, 59), FF_THIN);
    EXPECT_EQ(plain.Type(), TYPE_WINDOW);
    EXPECT_EQ(plain.Status() & (PSF_VIEWPORT | PSF_WINDOW), PSF_VIEWPORT | PSF_WINDOW);
    EXPECT_FALSE(plain.Status() & (PSF_SIZEABLE | PSF_MOVEABLE));
    EXPECT_EQ(plain.GetColor(0), GUI_WHITE);
    EXPECT_EQ(plain.mClient, GuiRect(1, 1, 98, 58));
    GuiWindow thick(FF_THICK);
    EXPECT_EQ(thick.mReal, GuiRect(0, 0, 20, 20));
    EXPECT_EQ(thick.Status() & (PSF_SIZEABLE | PSF_MOVEABLE), PSF_SIZEABLE | PSF_MOVEABLE);
    EXPECT_EQ(thick.mClient, GuiRect(5, 5, 15, 15));
    EXPECT_EQ(thick.mWallpaperMode, 1);
    // The presentation manager is the root window.
    EXPECT_NE(dynamic_cast<GuiWindow*>(pm), nullptr);
    EXPECT_EQ(pm->Type(), TYPE_WINDOW);
}

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
    check(thin->mReal, {{0, 0, GUI_BLACK}, {-1, -1, GUI_BLACK}, {1, 1, GUI_WHITE}, {-2, 5, GUI_WHITE}});
    check(raised->mReal, {{0, 0, GUI_WHITE},
                          {1, 1, GUI_WHITE},
                          {1, 30, GUI_WHITE},
                          {30, 1, GUI_WHITE},
                          {-2, 1, GUI_SHADOW},
                          {30, -2, GUI_SHADOW},
                          {-1, 0, GUI_BLACK},
                          {1, -1, GUI_BLACK},
                          {2, 2, GUI_WHITE}});
    check(recessed->mReal, {{0, 0, GUI_SHADOW},
                            {0, -1, GUI_SHADOW},
                            {-1, 0, GUI_SHADOW},
                            {-1, -1, GUI_WHITE},
                            {-1, 30, GUI_WHITE},
                            {30, -1, GUI_WHITE},
                            {1, 1, GUI_BLACK},
                            {30, 1, GUI_BLACK},
                            {1, 30, GUI_BLACK},
                            {-2, 1, GUI_FACE},
                            {1, -2, GUI_FACE},
                            {30, -2, GUI_FACE},
                            {2, 2, GUI_WHITE}});
    check(thick->mReal, {{0, 0, GUI_FACE},
                         {2, 2, GUI_FACE},
                         {1, 1, GUI_WHITE},
                         {1, 40, GUI_WHITE},
                         {-1, 0, GUI_BLACK},
                         {50, -1, GUI_BLACK},
                         {-2, 2, GUI_SHADOW},
                         {50, -2, GUI_SHADOW},
                         {-4, 10, GUI_WHITE},
                         {50, -4, GUI_WHITE},
                         {4, 4, GUI_SHADOW},
                         {50, 4, GUI_SHADOW},
                         {4, 40, GUI_SHADOW},
                         {-3, 10, GUI_FACE},
                         {-5, 10, GUI_FACE},
                         {5, 5, GUI_WHITE},
                         {50, 40, GUI_WHITE}});
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
    EXPECT_EQ(shownAt(188, 48), 0xAA0000u);
    EXPECT_EQ(shownAt(189, 49), 0xAA0000u);
    EXPECT_EQ(shownAt(187, 48), 0x00FF00u);
    EXPECT_EQ(shownAt(190, 49), 0x00FF00u);
    // A wallpaper with holes shows the window's colour through them.
    EXPECT_EQ(shownAt(260, 20), 0xFFFF00u);
    EXPECT_EQ(shownAt(261, 20), 0x0000AAu);
    EXPECT_EQ(shownAt(263, 21), 0xFFFF00u);
}

TEST_F(Windows, ScrollInformationAndFixedBars) {
    GuiWindow* w = window(GuiRect(20, 20, 219, 119), FF_THIN);
    GuiScrollInfo in;
    w->GetVScrollInfo(&in);
    EXPECT_EQ(in.minimum, w->mClient.top);
    EXPECT_EQ(in.maximum, w->mClient.bottom);
    EXPECT_EQ(in.current, w->mClient.top);
    EXPECT_EQ(in.step, 9);
    EXPECT_EQ(in.visible, 98);
    w->SetScrollMode(WSM_VERTICAL | WSM_HORIZONTAL);
    flush();
    ASSERT_NE(w->VScroll(), nullptr);
    ASSERT_NE(w->HScroll(), nullptr);
    EXPECT_EQ(w->mClient, GuiRect(21, 21, 202, 102));
    EXPECT_EQ(w->VScroll()->mReal, GuiRect(203, 21, 218, 102));
    EXPECT_EQ(w->HScroll()->mReal, GuiRect(21, 103, 202, 118)) << "16 short of the right edge";
    for (int y = 103; y <= 118; ++y)
        for (int x = 203; x <= 218; ++x)
            ASSERT_EQ(shownAt(x, y), GUI_FACE) << "corner " << x << "," << y;
    w->SetScrollMode(0);
    EXPECT_EQ(w->VScroll(), nullptr);
    EXPECT_EQ(w->HScroll(), nullptr);
    EXPECT_EQ(w->mClient, GuiRect(21, 21, 218, 118));
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
    EXPECT_EQ(w->mClient.right, 498 - 16);
    EXPECT_EQ(w->VScroll()->Info().maximum, 300);
    // Scroll down with the arrow: the content moves up by one step.
    const int step = w->VScroll()->Info().step;
    pointer(GM_LBUTTON_DOWN, w->VScroll()->mReal.left + 5, w->VScroll()->mReal.bottom - 5);
    pointer(GM_LBUTTON_UP, w->VScroll()->mReal.left + 5, w->VScroll()->mReal.bottom - 5);
    EXPECT_EQ(a->mReal.top, 21 - step);
    EXPECT_EQ(b->mReal.top, 100 - step);
    // The tall child goes: the bar goes too and the content returns to the start.
    delete w->Remove(b, 1);
    EXPECT_EQ(w->CheckAutoScroll(), 1);
    EXPECT_EQ(w->VScroll(), nullptr);
    EXPECT_EQ(w->mClient.right, 498);
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
        pointer(GM_LBUTTON_DOWN, bar->mReal.left + 5, bar->mReal.bottom - 5);
        pointer(GM_LBUTTON_UP, bar->mReal.left + 5, bar->mReal.bottom - 5);
    }
    pointer(GM_LBUTTON_DOWN, bar->mReal.left + 5, bar->mReal.top + 5); // and up again
    pointer(GM_LBUTTON_UP, bar->mReal.left + 5, bar->mReal.top + 5);
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
    EXPECT_EQ(w->BorderContains(GuiPoint(100, 100)), WBP_TOP_LEFT);
    EXPECT_EQ(w->BorderContains(GuiPoint(105, 249)), WBP_BOTTOM_LEFT);
    EXPECT_EQ(w->BorderContains(GuiPoint(103, 180)), WBP_LEFT);
    EXPECT_EQ(w->BorderContains(GuiPoint(294, 180)), WBP_RIGHT);
    EXPECT_EQ(w->BorderContains(GuiPoint(299, 105)), WBP_TOP_RIGHT);
    EXPECT_EQ(w->BorderContains(GuiPoint(299, 244)), WBP_BOTTOM_RIGHT);
    EXPECT_EQ(w->BorderContains(GuiPoint(200, 100)), WBP_TOP);
    EXPECT_EQ(w->BorderContains(GuiPoint(200, 246)), WBP_BOTTOM);
    EXPECT_EQ(w->BorderContains(GuiPoint(200, 180)), 0);
    GuiWindow* fixed = window(GuiRect(400, 100, 499, 199), FF_THIN);
    EXPECT_EQ(fixed->BorderContains(GuiPoint(400, 100)), 0);
}

TEST_F(Windows, SizingDrawsAnXorOutlineAndStopsAtTheLimits) {
    GuiWindow* w = window(GuiRect(100, 100, 299, 249), FF_THICK);
    flush();
    const std::vector<uint32_t> before = frame();
    pointer(GM_LBUTTON_DOWN, 100, 150);
    EXPECT_EQ(w->MoveMode(), WBP_LEFT);
    EXPECT_EQ(pm->GetPointerOwner(), w);
    pointer(GM_POINTER_MOVE, 150, 150);
    // The dotted outline of (150, 100)-(299, 249): every second pixel inverted.
    EXPECT_EQ(fbAt(150, 100), before[100 * 640 + 150] ^ 0xFFFFFF);
    EXPECT_EQ(fbAt(151, 100), before[100 * 640 + 151]);
    EXPECT_EQ(fbAt(152, 100), before[100 * 640 + 152] ^ 0xFFFFFF);
    EXPECT_EQ(fbAt(150, 102), before[102 * 640 + 150] ^ 0xFFFFFF);
    EXPECT_EQ(fbAt(298, 249), before[249 * 640 + 298] ^ 0xFFFFFF);
    EXPECT_EQ(fbAt(299, 248), before[248 * 640 + 299] ^ 0xFFFFFF);
    EXPECT_EQ(fbAt(299, 249), before[249 * 640 + 299]);
    EXPECT_EQ(w->mReal, GuiRect(100, 100, 299, 249)) << "only the outline moves";
    // Far to the right: a plain window stops where its client's right - left would fall below 3.
    pointer(GM_POINTER_MOVE, 295, 150);
    pointer(GM_LBUTTON_UP, 295, 150);
    EXPECT_EQ(w->MoveMode(), 0);
    EXPECT_EQ(pm->GetPointerOwner(), nullptr);
    EXPECT_EQ(w->mClient.right - w->mClient.left, 3);
    EXPECT_EQ(w->mReal.right, 299);
    EXPECT_EQ(fbAt(150, 100), DESK) << "the outline is gone";
    EXPECT_EQ(fbAt(152, 100), DESK);
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
    EXPECT_EQ(fbAt(350, 120), before[120 * 640 + 350] ^ 0xFFFFFF);
    EXPECT_EQ(fbAt(399, 268), before[268 * 640 + 399] ^ 0xFFFFFF);
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
    EXPECT_EQ(shownAt(100, 100), DESK);
    EXPECT_EQ(shownAt(151, 131), GUI_WHITE);
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
