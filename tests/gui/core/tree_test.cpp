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

TEST_F(Tree, AddOfTheFirstChildChangesNothingAndShowsOnce) {
    Probe* a = child();
    root->Add(a, 0);
    EXPECT_EQ(std::tuple(a->shows, a->Visible(), a->mClip), std::tuple(1, true, GuiRect(10, 10, 50, 50)));
    EXPECT_TRUE(a->clipEmptyAtShow) << "the clip is empty while the show message is handled";
    root->Add(a, 0);
    EXPECT_EQ(std::tuple(a->shows, order(root)), std::tuple(1, Order{a}));
}

TEST_F(Tree, AddOfAChildOfAnotherParentMovesItCleanly) {
    Probe* other = new Probe(GuiRect(0, 0, 99, 99), 3);
    pm->Add(other, 0);
    Probe* a = child();
    Probe* b = child();
    other->Add(a, 0);
    other->Add(b, 0);
    root->Add(a, 0);
    EXPECT_EQ(std::tuple(order(other), order(root), a->Parent()), std::tuple(Order{b}, Order{a}, root));
    EXPECT_EQ(std::tuple(b->Prev(), b->Next(), a->count(GM_HIDE), a->shows),
              std::tuple(nullptr, nullptr, 1, 2));
    // An object never becomes a child of its own descendant.
    a->Add(root, 0);
    EXPECT_EQ(root->Parent(), pm);
}

TEST_F(Tree, RemoveHidesAndHandsTheChildBack) {
    Probe* a = child();
    Probe* inner = child();
    root->Add(a, 0);
    a->Add(inner, 0);
    EXPECT_EQ(root->Remove(inner, 0), inner) << "not a child of root: passed to its parent";
    EXPECT_EQ(inner->Parent(), nullptr);
    Probe stranger(GuiRect(0, 0, 1, 1));
    EXPECT_EQ(root->Remove(&stranger, 0), nullptr);
    EXPECT_EQ(root->Remove(a, 0), a);
    EXPECT_FALSE(a->Visible());
    EXPECT_EQ(a->count(GM_HIDE), 1);
    delete a;
    delete inner;
}

TEST_F(Tree, SignalsGoToTheParentAndLargeIdsAreRefused) {
    Probe* a = new Probe(GuiRect(0, 0, 5, 5), 1000);
    root->Add(a, 0);
    EXPECT_EQ(a->SendSignal(4), 1);
    GuiMessage out;
    ASSERT_TRUE(GuiThing::mpMessageQueue->TryPop(&out));
    EXPECT_EQ(std::tuple(out.type, out.data, out.target, out.source), std::tuple(16132, 1000, root, a));
    a->Id(1016); // 128 + 16 * 1016 is the application range
    EXPECT_EQ(a->SendSignal(0), 0);
    Probe orphan(GuiRect(0, 0, 1, 1), 5);
    EXPECT_EQ(orphan.SendSignal(4), 0) << "nothing is posted without a parent";
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 0);
}

TEST_F(Tree, ResizeBySameSizeOnlyMovesAndShiftsTheChildren) {
    Probe* a = new Probe(GuiRect(10, 10, 109, 59), 0);
    a->Style(FF_RAISED);
    a->InitClient();
    root->Add(a, 0);
    Probe* c = new Probe(GuiRect(20, 20, 30, 30));
    a->Add(c, 0);
    a->Resize(GuiRect(40, 50, 139, 99));
    EXPECT_EQ(std::tuple(a->mReal, a->mClient),
              std::tuple(GuiRect(40, 50, 139, 99), GuiRect(42, 52, 137, 97)));
    EXPECT_EQ(std::tuple(c->mReal, c->mClip), std::tuple(GuiRect(50, 60, 60, 70), GuiRect(50, 60, 60, 70)));
    a->Resize(GuiRect(40, 50, 159, 109)); // grow: client keeps its distances
    EXPECT_EQ(a->mClient, GuiRect(42, 52, 157, 107));
}

TEST_F(Tree, FrameStyleSixteenInsetsByFiveAndDrawsNothing) {
    Probe* a = new Probe(GuiRect(100, 100, 149, 149));
    a->Style(FF_THICK);
    a->InitClient();
    EXPECT_EQ(a->mClient, GuiRect(105, 105, 144, 144));
    root->Add(a, 0);
    fillFrame(0x00FF00);
    screen->Invalidate(a->mReal);
    a->Draw();
    flush();
    expectShown({{100, 100, 0x00FF00u}, {125, 125, 0x00FF00u}});
}

TEST_F(Tree, UnhandledMessageToAChildOfThePresentationManagerIsDropped) {
    GuiMessage m(GM_CUT, root);
    EXPECT_EQ(root->Message(m), 0);
    Probe* a = child();
    root->Add(a, 0);
    a->result = 7;
    // From a grandchild the message climbs to its parent.
    Probe* g = child();
    a->Add(g, 0);
    a->handleAll = true;
    GuiMessage app(GM_APP + 5, g);
    EXPECT_EQ(g->Message(app), 7);
    EXPECT_EQ(a->count(GM_APP + 5), 1);
}

TEST_F(Tree, FindSearchesDepthFirstFromTheFront) {
    Probe* a = new Probe(GuiRect(0, 0, 5, 5), 10);
    Probe* b = new Probe(GuiRect(0, 0, 5, 5), 20);
    Probe* deep = new Probe(GuiRect(0, 0, 5, 5), 30);
    root->AddToEnd(a, 0);
    root->AddToEnd(b, 0);
    a->Add(deep, 0);
    EXPECT_EQ(root->Find(30, 1), deep);
    EXPECT_EQ(root->Find(30, 0), nullptr);
    EXPECT_EQ(root->Find(20, 0), b);
    EXPECT_EQ(root->Find(99, 1), nullptr);
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

TEST_F(Tree, MessagesRouteByIdFocusAndFirstChild) {
    root->handleAll = true;
    Probe* a = new Probe(GuiRect(0, 0, 5, 5), 77);
    a->handleAll = true;
    root->Add(a, 0);
    GuiMessage byId(GM_APP + 1, nullptr, nullptr, 77), noId(GM_APP + 2);
    GuiThing::mpMessageQueue->Push(&byId);
    GuiThing::mpMessageQueue->Push(&noId);
    drain();
    EXPECT_EQ(a->count(GM_APP + 1), 1);
    EXPECT_EQ(root->count(GM_APP + 2), 1) << "without id and focus: the first child";
    GuiMessage close(GM_CLOSE, pm);
    EXPECT_EQ(pm->DispatchMessage(pm, &close), GUI_RESULT_CLOSE);
}

TEST_F(Tree, PointerMessagesFindTheDeepestObjectAndTrackEnterAndExit) {
    Probe* a = new Probe(GuiRect(100, 100, 199, 199));
    Probe* inner = new Probe(GuiRect(120, 120, 140, 140));
    root->Add(a, 0);
    a->Add(inner, 0);
    auto pointer = [&](uint16_t type, int x, int y) {
        GuiMessage m(type);
        m.payload.point = GuiPoint(x, y);
        pm->DispatchMessage(pm, &m);
    };
    pointer(GM_POINTER_MOVE, 130, 130);
    EXPECT_EQ(inner->count(GM_POINTER_ENTER), 1);
    pointer(GM_POINTER_MOVE, 110, 110);
    EXPECT_EQ(std::tuple(inner->count(GM_POINTER_EXIT), a->count(GM_POINTER_ENTER)), std::tuple(1, 1));
    pointer(GM_LBUTTON_DOWN, 125, 125);
    EXPECT_EQ(pm->GetCurrentThing(), inner) << "a press moves the focus";
    EXPECT_EQ(pm->FindLowestThingContaining(pm, GuiPoint(700, 400)), pm);
}

} // namespace
