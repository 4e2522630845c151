// The object tree: sibling order, show and hide, signals, resizing, focus, destruction.
#include "gui/testkit.h"

#include <vector>

using guitest::GuiTest;
using guitest::Probe;

namespace {

std::vector<GuiThing*> order(GuiThing* parent) {
    std::vector<GuiThing*> v;
    for (GuiThing* c = parent->First(); c; c = c->Next())
        v.push_back(c);
    return v;
}

using Order = std::vector<GuiThing*>;

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

TEST_F(Tree, SiblingOrderKeepsOnTopAndViewportOwnersInFront) {
    Probe* top1 = child(PSF_ALWAYS_ON_TOP);
    Probe* top2 = child(PSF_ALWAYS_ON_TOP);
    root->Add(top1, 0);
    root->Add(top2, 0);
    Probe* plain = child();
    root->Add(plain, 0);
    EXPECT_EQ(order(root), (Order{top2, top1, plain})) << "a plain child goes behind the always-on-top run";

    Probe* r2 = new Probe(GuiRect(0, 0, 399, 299), 2, PSF_VIEWPORT);
    pm->Add(r2, 0);
    Probe* win = child(PSF_VIEWPORT);
    Probe* win2 = child(PSF_VIEWPORT);
    Probe* p = child();
    r2->Add(p, 0);
    r2->Add(win, 0);
    r2->Add(win2, 0);
    Probe* q = child();
    r2->Add(q, 0);
    EXPECT_EQ(order(r2), (Order{win2, win, q, p})) << "a plain child goes behind the viewport owners";
    Probe* w3 = child(PSF_VIEWPORT);
    r2->AddToEnd(w3, 0);
    EXPECT_EQ(order(r2), (Order{win2, win, w3, q, p}));
    Probe* last = child();
    r2->AddToEnd(last, 0);
    EXPECT_EQ(order(r2).back(), last);
}

TEST_F(Tree, MoveToFrontRotatesTheRangeOfPlainSiblings) {
    Probe *a = child(), *b = child(), *c = child(), *d = child();
    for (Probe* p : {a, b, c, d})
        root->AddToEnd(p, 0);
    root->MoveToFront(c, 0);
    EXPECT_EQ(order(root), (Order{c, d, a, b}));
    root->MoveToFront(c, 0); // already first
    EXPECT_EQ(order(root), (Order{c, d, a, b}));
    // A plain child never passes an always-on-top sibling.
    Probe* top = child(PSF_ALWAYS_ON_TOP);
    root->Add(top, 0);
    root->MoveToFront(b, 0);
    EXPECT_EQ(order(root), (Order{top, b, c, d, a}));
    // Called on another object, it is passed to the child's parent.
    pm->MoveToFront(d, 0);
    EXPECT_EQ(order(root), (Order{top, d, a, b, c}));
}

TEST_F(Tree, FocusMovesBetweenBranchesWithGainAndLoseMessages) {
    Probe* a = child();
    Probe* a1 = child();
    Probe* b = child();
    root->Add(a, 0);
    a->Add(a1, 0);
    root->AddToEnd(b, 0);
    // The focus marks of root, a, a1 and b.
    auto marks = [&] {
        std::string m;
        for (GuiThing* t : {static_cast<GuiThing*>(root), static_cast<GuiThing*>(a),
                            static_cast<GuiThing*>(a1), static_cast<GuiThing*>(b)})
            m += t->Status() & PSF_CURRENT ? '1' : '0';
        return m;
    };
    pm->MoveFocusTree(a1);
    EXPECT_EQ(pm->GetCurrentThing(), a1);
    EXPECT_EQ(marks(), "1110");
    pm->MoveFocusTree(b);
    EXPECT_EQ(marks(), "1001");
    EXPECT_EQ(a1->count(GM_LOSE_FOCUS), 1);
    EXPECT_TRUE(b->Status() & PSF_LAST_FOCUS);
    // Removing the focus object clears the manager's reference and the branch's marks.
    root->Remove(b, 0);
    EXPECT_EQ(pm->GetCurrentThing(), nullptr);
    EXPECT_EQ(marks()[0], '0');
    delete b;
    // An object that does not accept the focus is not given it.
    a->RemoveStatus(PSF_ACCEPTS_FOCUS);
    pm->MoveFocusTree(a);
    EXPECT_EQ(pm->GetCurrentThing(), nullptr);
    root->MoveFocusToFirstClientChild();
    EXPECT_EQ(pm->GetCurrentThing(), nullptr) << "children of an object that does not qualify are skipped";
    a->AddStatus(PSF_ACCEPTS_FOCUS);
    root->MoveFocusToFirstClientChild();
    EXPECT_EQ(pm->GetCurrentThing(), a1);
}

TEST_F(Tree, PointerCaptureIsAStackOfEight) {
    Probe* things[9];
    for (auto& t : things) {
        root->Add(t = child(), 0);
        t->CapturePointer();
    }
    EXPECT_EQ(pm->GetPointerOwner(), things[7]);
    EXPECT_FALSE(things[8]->Status() & PSF_CAPTURED);
    things[7]->ReleasePointer();
    EXPECT_EQ(pm->GetPointerOwner(), things[6]);
    EXPECT_FALSE(things[7]->Status() & PSF_CAPTURED);
    delete root->Remove(things[6], 0);
    EXPECT_EQ(pm->GetPointerOwner(), things[5]);
}

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
    EXPECT_FALSE(mq->HasTimer(nullptr));
    int timers = 0;
    mq->ForEachTimer([&](GuiThing*, uint16_t, long, long) { ++timers; });
    EXPECT_EQ(timers, 0);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 0) << "also the message naming it as source is gone";
    drain();
    EXPECT_EQ(pm->GetPointerOwner(), nullptr);
    EXPECT_EQ(pm->GetCurrentThing(), nullptr);
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
    EXPECT_EQ(a->Parent(), nullptr);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 1);
    EXPECT_EQ(drain(), 1); // the manager deletes it (ASan checks the rest)
    EXPECT_EQ(root->First(), nullptr);
}

} // namespace
