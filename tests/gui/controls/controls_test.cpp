// Buttons, prompts and icons drawn, against a reviewed picture (a button held down among them).
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
};

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
