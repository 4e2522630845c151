// Buttons: behaviour through the message path.
#include "gui/controls/button/button.h"
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

} // namespace
