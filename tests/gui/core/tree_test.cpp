// The object tree: sibling order, show and hide, signals, resizing, focus, destruction.
#include "gui/testkit.h"

#include <atomic>
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
    root->AddToEnd(a, 0);
    root->AddToEnd(b, 0);
    root->AddToEnd(c, 0);
    root->AddToEnd(d, 0);
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
    EXPECT_EQ(a->shows, 1);
    EXPECT_TRUE(a->clipEmptyAtShow) << "the clip is empty while the show message is handled";
    EXPECT_TRUE(a->Visible());
    EXPECT_EQ(a->mClip, GuiRect(10, 10, 50, 50));
    root->Add(a, 0);
    EXPECT_EQ(a->shows, 1);
    EXPECT_EQ(order(root), (Order{a}));
}

TEST_F(Tree, AddOfAChildOfAnotherParentMovesItCleanly) {
    Probe* other = new Probe(GuiRect(0, 0, 99, 99), 3);
    pm->Add(other, 0);
    Probe* a = child();
    Probe* b = child();
    other->Add(a, 0);
    other->Add(b, 0);
    root->Add(a, 0);
    EXPECT_EQ(order(other), (Order{b}));
    EXPECT_EQ(order(root), (Order{a}));
    EXPECT_EQ(a->Parent(), root);
    EXPECT_EQ(b->Prev(), nullptr);
    EXPECT_EQ(b->Next(), nullptr);
    EXPECT_EQ(a->count(GM_HIDE), 1);
    EXPECT_EQ(a->shows, 2);
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
    EXPECT_EQ(out.type, 16132);
    EXPECT_EQ(out.data, 1000);
    EXPECT_EQ(out.target, root);
    EXPECT_EQ(out.source, a);
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
    EXPECT_EQ(a->mReal, GuiRect(40, 50, 139, 99));
    EXPECT_EQ(a->mClient, GuiRect(42, 52, 137, 97));
    EXPECT_EQ(c->mReal, GuiRect(50, 60, 60, 70));
    EXPECT_EQ(c->mClip, GuiRect(50, 60, 60, 70));
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
    EXPECT_EQ(shownAt(100, 100), 0x00FF00u);
    EXPECT_EQ(shownAt(125, 125), 0x00FF00u);
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
    pm->MoveFocusTree(a1);
    EXPECT_EQ(pm->GetCurrentThing(), a1);
    EXPECT_TRUE(a1->Status() & PSF_CURRENT);
    EXPECT_TRUE(a->Status() & PSF_CURRENT);
    EXPECT_TRUE(root->Status() & PSF_CURRENT);
    pm->MoveFocusTree(b);
    EXPECT_FALSE(a->Status() & PSF_CURRENT);
    EXPECT_FALSE(a1->Status() & PSF_CURRENT);
    EXPECT_TRUE(b->Status() & PSF_CURRENT);
    EXPECT_TRUE(root->Status() & PSF_CURRENT);
    EXPECT_EQ(a1->count(GM_LOSE_FOCUS), 1);
    EXPECT_TRUE(b->Status() & PSF_LAST_FOCUS);
    // Removing the focus object clears the manager's reference and the branch's marks.
    root->Remove(b, 0);
    EXPECT_EQ(pm->GetCurrentThing(), nullptr);
    EXPECT_FALSE(root->Status() & PSF_CURRENT);
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
        t = child();
        root->Add(t, 0);
    }
    for (auto* t : things)
        t->CapturePointer();
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
    GuiMessage toA1(GM_APP, a1);
    mq->Push(&toA1);
    GuiMessage fromA1(GM_APP, root, a1);
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
    GuiMessage byId(GM_APP + 1, nullptr, nullptr, 77);
    GuiThing::mpMessageQueue->Push(&byId);
    GuiMessage noId(GM_APP + 2);
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
    GuiMessage move(GM_POINTER_MOVE);
    move.payload.point = GuiPoint(130, 130);
    pm->DispatchMessage(pm, &move);
    EXPECT_EQ(inner->count(GM_POINTER_ENTER), 1);
    GuiMessage move2(GM_POINTER_MOVE);
    move2.payload.point = GuiPoint(110, 110);
    pm->DispatchMessage(pm, &move2);
    EXPECT_EQ(inner->count(GM_POINTER_EXIT), 1);
    EXPECT_EQ(a->count(GM_POINTER_ENTER), 1);
    GuiMessage down(GM_LBUTTON_DOWN);
    down.payload.point = GuiPoint(125, 125);
    pm->DispatchMessage(pm, &down);
    EXPECT_EQ(pm->GetCurrentThing(), inner) << "a press moves the focus";
    EXPECT_EQ(pm->FindLowestThingContaining(pm, GuiPoint(700, 400)), pm);
}

} // namespace

namespace {

// A task running a modal loop of its own gets the messages of its window's branch.
TEST_F(Tree, SubTaskQueuesReceiveTheirWindowsMessages) {
    Probe* dialog = new Probe(GuiRect(50, 50, 150, 150), 9, PSF_VIEWPORT);
    dialog->mType = TYPE_WINDOW;
    Probe* field = new Probe(GuiRect(60, 60, 70, 70));
    dialog->Add(field, 0);
    root->Add(dialog, 0);
    SEM_ID begun = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    std::atomic<int> got{0}, gotType{0};
    TASK_ID modal = taskSpawnFn("modal", 100, 0, 0, [&] {
        pm->BeginSubTaskExecute(dialog);
        semGive(begun);
        GuiMessage m;
        GuiThing::mpMessageQueue->Pop(&m); // from its own queue
        got = m.target == field ? 1 : -1;
        GuiThing::mpMessageQueue->Pop(&m);
        gotType = m.type;
        pm->EndSubTaskExecute(dialog);
    });
    semTake(begun, WAIT_FOREVER);
    EXPECT_NE(pm->GetThingMessageQueue(field), nullptr);
    EXPECT_EQ(pm->GetThingMessageQueue(root), nullptr);
    EXPECT_EQ(pm->GetCurrentMessageQueue(), nullptr) << "the GUI task has no queue of its own";
    GuiMessage m(GM_APP, field);
    EXPECT_EQ(GuiThing::mpMessageQueue->Push(&m), 1);
    sim::waitIdle();
    EXPECT_EQ(got.load(), 1);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 0);
    root->Destroy(dialog); // belongs to another task: asked to destroy itself there
    sim::waitIdle();
    EXPECT_EQ(gotType.load(), GM_DESTROY_SELF);
    EXPECT_EQ(taskWaitExit(modal, 10), OK);
    EXPECT_EQ(pm->GetThingMessageQueue(field), nullptr);
    semDelete(begun);
}

} // namespace
