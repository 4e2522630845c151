// Buttons, prompts and icons: behaviour through the message path, and a reviewed picture.
#include "gui/bitmaps/bitmaps.h"
#include "gui/controls/button/button.h"
#include "gui/controls/icon/icon.h"
#include "gui/controls/prompt/prompt.h"
#include "gui/fonts/fonts.h"
#include "gui/core/screen.h"
#include "gui/testkit.h"

namespace {

using guitest::Probe;

struct Controls : guitest::GuiTest {
    Probe* panel = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        panel = new Probe(GuiRect(0, 0, 639, 479), 1, PSF_VIEWPORT);
        panel->mColors[0] = GUI_FACE;
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
    static uint16_t clicked(uint16_t id) { return static_cast<uint16_t>(128 + 16 * id + GSIG_CLICKED); }
};

TEST_F(Controls, TextButtonSignalsAClickOnReleaseOverIt) {
    auto* b = new GuiTextButton(GuiRect(10, 10, 89, 33), "OK", GUI_ID_OK);
    panel->Add(b, 1);
    // Pressed, pointer owner, clicks seen.
    auto state = [&] {
        return std::tuple(b->Pressed(), pm->GetPointerOwner(), panel->count(clicked(GUI_ID_OK)));
    };
    pointer(GM_LBUTTON_DOWN, 20, 20);
    EXPECT_EQ(state(), std::tuple(true, b, 0));
    pointer(GM_LBUTTON_UP, 21, 21);
    EXPECT_EQ(state(), std::tuple(false, nullptr, 1));
    // Released elsewhere: no click.
    pointer(GM_LBUTTON_DOWN, 20, 20);
    pointer(GM_POINTER_MOVE, 200, 200);
    EXPECT_FALSE(b->Pressed()) << "looks released while the pointer is away";
    pointer(GM_LBUTTON_UP, 200, 200);
    EXPECT_EQ(panel->count(clicked(GUI_ID_OK)), 1);
}

TEST_F(Controls, ClickOnPressAutoRepeatAndDisabledButtons) {
    auto* arrow = new GuiBitmapButton(GuiRect(100, 10, 115, 25), &gbUpArrowBitmap, 1000,
                                      BS_ENABLED | BS_CLICK_ON_PRESS | BS_AUTO_REPEAT | 0x10);
    panel->Add(arrow, 1);
    pointer(GM_LBUTTON_DOWN, 105, 15);
    EXPECT_EQ(panel->count(clicked(1000)), 1) << "sent on press";
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    for (auto [ticks, clicks] :
         {std::pair{19, 1}, {1, 2}, {5, 3}}) { // first repeat after 20 ticks, then every 5
        for (int i = 0; i < ticks; ++i)
            mq->TimerTick();
        drain();
        EXPECT_EQ(panel->count(clicked(1000)), clicks);
    }
    pointer(GM_LBUTTON_UP, 105, 15);
    EXPECT_FALSE(mq->HasTimer(arrow));
    EXPECT_EQ(panel->count(clicked(1000)), 3) << "no second click on release";

    for (bool enabled : {false, true}) {
        enabled ? arrow->Enable() : arrow->Disable();
        pointer(GM_LBUTTON_DOWN, 105, 15);
        pointer(GM_LBUTTON_UP, 105, 15);
        EXPECT_EQ(panel->count(clicked(1000)), enabled ? 4 : 3);
    }
    // Without an id there is no signal.
    auto* anon = new GuiTextButton(GuiRect(200, 10, 260, 30), "x", 0);
    panel->Add(anon, 1);
    pointer(GM_LBUTTON_DOWN, 210, 20);
    pointer(GM_LBUTTON_UP, 210, 20);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 0);
}

TEST_F(Controls, ADestroyedButtonWithARunningRepeatLeavesNoTimer) {
    auto* b = new GuiTextButton(GuiRect(10, 10, 89, 33), "Hold", 7, BS_ENABLED | BS_AUTO_REPEAT);
    panel->Add(b, 1);
    pointer(GM_LBUTTON_DOWN, 20, 20);
    EXPECT_TRUE(GuiThing::mpMessageQueue->HasTimer(b));
    panel->Destroy(b);
    for (int i = 0; i < 30; ++i)
        GuiThing::mpMessageQueue->TimerTick(); // ASan: nothing fires on freed memory
    EXPECT_EQ(drain(), 0);
    EXPECT_EQ(pm->GetPointerOwner(), nullptr);
}

TEST_F(Controls, PromptJustification) {
    auto* left = new GuiPrompt(GuiRect(10, 100, 209, 119), "Abc", 0, FF_THIN | TJ_LEFT);
    auto* right = new GuiPrompt(GuiRect(10, 130, 209, 149), "Abc", 0, FF_THIN | TJ_RIGHT);
    auto* centre = new GuiPrompt(GuiRect(10, 160, 209, 179), "Abc", 0, FF_THIN | TJ_CENTER | PS_ENABLED);
    for (GuiPrompt* p : {left, right, centre})
        panel->Add(p, 1);
    flush();
    int w = screen->TextWidth("Abc", &SysFont);
    auto firstInk = [&](int y0) {
        for (int x = 11; x < 209; ++x)
            for (int y = y0 + 1; y < y0 + 19; ++y)
                if (shownAt(x, y) == GUI_BLACK) return x;
        return -1;
    };
    int l = firstInk(100), r = firstInk(130), c = firstInk(160);
    EXPECT_LE(l, 13);
    EXPECT_GE(r, 208 - w);
    EXPECT_NEAR(c, 11 + (198 - w) / 2, 3);
    // A new text shows at the next drawing pass.
    left->DataSet("Xyz");
    EXPECT_EQ(screen->InvalidCount(), 1);
    left->Draw();
    EXPECT_EQ(screen->InvalidCount(), 0);
}

TEST_F(Controls, ReferencePicture) {
    auto* ok = new GuiTextButton(GuiRect(10, 10, 89, 33), "OK", GUI_ID_OK);
    auto* pressed = new GuiTextButton(GuiRect(100, 10, 179, 33), "Cancel", GUI_ID_CANCEL);
    auto* off = new GuiTextButton(GuiRect(190, 10, 269, 33), "Retry", GUI_ID_RETRY, 0);
    auto* up = new GuiBitmapButton(GuiRect(280, 10, 295, 25), &gbUpArrowBitmap, 1000, 0x801A);
    auto* down = new GuiBitmapButton(GuiRect(300, 10, 315, 25), &gbDownArrowBitmap, 1001, 0x801A);
    auto* sys = new GuiSystemButton(GuiRect(320, 10, 333, 23), &gbSysButtonBitmap, GUI_ID_SYSTEM);
    for (GuiThing* t : std::initializer_list<GuiThing*>{ok, pressed, off, up, down, sys})
        panel->Add(t, 1);
    auto* p1 = new GuiPrompt(GuiRect(10, 45, 129, 66), "Raised", 0, FF_RAISED | TJ_CENTER);
    auto* p2 = new GuiPrompt(GuiRect(140, 45, 259, 66), "Recessed", 0, FF_RECESSED | TJ_LEFT);
    auto* p3 = new GuiPrompt(GuiRect(270, 45, 389, 66), "Thin", 0, FF_THIN | TJ_RIGHT);
    auto* p4 = new GuiPrompt(GuiPoint(10, 75), "Sized to text", &MenuFont);
    auto* p5 = new GuiPrompt(GuiRect(140, 72, 389, 107), "Double", 0, FF_NONE | TJ_CENTER, 1);
    p5->SetColor(0, 0x202020);
    p5->SetColor(2, 0xFFFF00);
    auto* v = new GuiVPrompt(GuiRect(400, 10, 419, 107), "VERT", 0, FF_THIN);
    auto* icon = new GuiIcon(panel, nullptr, 0);
    icon->Resize(GuiRect(430, 10, 445, 25));
    for (GuiThing* t : std::initializer_list<GuiThing*>{p1, p2, p3, p4, p5, v, icon})
        panel->Add(t, 1);
    pointer(GM_LBUTTON_DOWN, 120, 20); // held down
    flush();
    EXPECT_TRUE(guitest::matchesReference("controls", GuiRect(0, 0, 459, 119)));
    pointer(GM_LBUTTON_UP, 120, 20);
}

} // namespace
