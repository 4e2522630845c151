// The object tree: a destroyed object (a button with a running repeat too) leaves no timer, message
// or reference behind.
#include "gui/controls/button/button.h"
#include "gui/testkit.h"

using guitest::GuiTest;
using guitest::Probe;

namespace {

struct Tree : GuiTest {
    Probe* root = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        root = new Probe(GuiRect(0, 0, 399, 299), 1, PSF_VIEWPORT);
        pm->Add(root, 0);
    }
    void TearDown() override {
        redrawAll();
        GuiTest::TearDown();
    }
    Probe* child(uint16_t status = 0, GuiRect r = GuiRect(10, 10, 50, 50)) { return new Probe(r, 0, status); }
};

TEST_F(Tree, DestroyedObjectsLeaveNoTimerMessageOrReferenceBehind) {
    Probe* a = child();
    Probe* a1 = child();
    root->Add(a, 0);
    a->Add(a1, 0);
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    mq->SetTimer(a1, 1, 1, 1);
    pm->MoveFocusTree(a1);
    a1->CapturePointer();
    GuiMessage toA1(GM_APP, a1), fromA1(GM_APP, root, a1);
    mq->Push(&toA1);
    mq->Push(&fromA1);
    a->Destroy(a1); // from the GUI task: deleted at once
    int timers = 0;
    mq->ForEachTimer([&](GuiThing*, uint16_t, long, long) { ++timers; });
    EXPECT_EQ(std::tuple(timers, GuiQueueCount(gpGuiMesgQueue)), std::tuple(0, 0))
        << "also the message naming it as source is gone";
    drain();
    EXPECT_EQ(std::tuple(pm->GetPointerOwner(), pm->GetCurrentThing()), std::tuple(nullptr, nullptr));
    // Deleting directly (as a parent's destructor does) cleans up the same way.
    Probe* b = child();
    a->Add(b, 0);
    mq->SetTimer(b, 2, 1, 0);
    GuiMessage deferred(GM_DESTROY, pm, b);
    mq->Push(&deferred);
    delete root->Remove(a, 0);
    mq->TimerTick();
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 0);
}

TEST_F(Tree, DestroyOfItselfIsDeferredUntilTheHandlerReturned) {
    Probe* a = child();
    root->Add(a, 0);
    a->Destroy(a);
    EXPECT_EQ(std::tuple(a->Parent(), GuiQueueCount(gpGuiMesgQueue)), std::tuple(nullptr, 1));
    EXPECT_EQ(drain(), 1); // the manager deletes it (ASan checks the rest)
    EXPECT_EQ(root->First(), nullptr);
}

TEST_F(Tree, ADestroyedButtonWithARunningRepeatLeavesNoTimer) {
    auto* b = new GuiTextButton(GuiRect(10, 10, 89, 33), "Hold", 7, BS_ENABLED | BS_AUTO_REPEAT);
    root->Add(b, 1);
    GuiMessage down(GM_LBUTTON_DOWN);
    down.payload.point = GuiPoint(20, 20);
    GuiThing::mpMessageQueue->Push(&down);
    drain();
    EXPECT_TRUE(GuiThing::mpMessageQueue->HasTimer(b));
    root->Destroy(b);
    for (int i = 0; i < 30; ++i)
        GuiThing::mpMessageQueue->TimerTick(); // ASan: nothing fires on freed memory
    EXPECT_EQ(drain(), 0);
    EXPECT_EQ(pm->GetPointerOwner(), nullptr);
}

} // namespace
