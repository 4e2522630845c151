// Message queue, folding, purging, the GUI lock and the timers.
#include "gui/testkit.h"

#include <atomic>

using guitest::GuiTest;
using guitest::Probe;

namespace {

GuiMessage msg(uint16_t type, GuiThing* target = nullptr, int data = 0) {
    return GuiMessage(type, target, nullptr, data);
}

TEST_F(GuiTest, QueueHoldsFortyOneAndRefusesMoreWithoutLosingTheOldest) {
    GuiQueue* q = GuiCreateMessageQueue();
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < GUI_QUEUE_NODES; ++i) {
        GuiMessage m = msg(GM_APP, nullptr, i);
        ASSERT_EQ(EnqueueTaskMessage(&m, q), 1);
    }
    GuiMessage extra = msg(GM_APP, nullptr, 99);
    EXPECT_EQ(EnqueueTaskMessage(&extra, q), 0) << "a full queue reports the drop";
    EXPECT_EQ(GuiQueueCount(q), GUI_QUEUE_NODES);
    GuiMessage out;
    GuiPopMessage(&out, q);
    EXPECT_EQ(std::tuple(out.data, out.next), std::tuple(0, nullptr));
    EXPECT_EQ(EnqueueTaskMessage(&extra, q), 1) << "a popped node is free again";
    int last = -1;
    while (GuiTryPopMessage(&out, q))
        last = out.data;
    EXPECT_EQ(last, 99);
    EXPECT_EQ(GuiQueueFreeNodes(q), GUI_QUEUE_NODES);
    GuiDeleteMessageQueue(q);
}

TEST_F(GuiTest, FoldReplacesThePayloadOfAMatchingMessageOnly) {
    Probe a(GuiRect(0, 0, 9, 9)), b(GuiRect(0, 0, 9, 9));
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    GuiMessage m = msg(GM_TIMER, &a, 3), other = msg(GM_TIMER, &a, 4), otherTarget = msg(GM_TIMER, &b, 3);
    m.payload.l = 1;
    EXPECT_EQ(mq->Fold(&m), 1);
    m.payload.l = 2;
    EXPECT_EQ(mq->Fold(&m), 1);
    mq->Fold(&other); // other data
    mq->Fold(&otherTarget);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 3);
    GuiMessage out;
    ASSERT_TRUE(mq->TryPop(&out));
    EXPECT_EQ(std::tuple(out.target, out.payload.l), std::tuple(&a, 2L));
    mq->Purge(&a, 0, 0);
    mq->Purge(&b, 0, 0);
}

TEST_F(GuiTest, PurgeTakesTheSubtreeAndLeavesTheParent) {
    auto* parent = new Probe(GuiRect(0, 0, 99, 99));
    auto* child = new Probe(GuiRect(10, 10, 20, 20));
    auto* grandchild = new Probe(GuiRect(11, 11, 12, 12));
    parent->Add(child, 0);
    child->Add(grandchild, 0);
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    for (GuiThing* t : std::initializer_list<GuiThing*>{parent, child, grandchild}) {
        GuiMessage m = msg(GM_APP, t, 1), m2 = msg(GM_APP + 1, t, 2);
        mq->Push(&m);
        mq->Push(&m2);
    }
    GuiMessage untargeted = msg(GM_APP);
    mq->Push(&untargeted);
    mq->Purge(child, GM_APP + 1, 0);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 5);
    mq->Purge(child, GM_APP, 2); // data does not match
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 5);
    mq->Purge(child, 0, 0);
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 3);
    GuiMessage out;
    int toParent = 0, untargetedLeft = 0;
    while (mq->TryPop(&out)) {
        toParent += out.target == parent;
        untargetedLeft += out.target == nullptr;
    }
    EXPECT_EQ(std::tuple(toParent, untargetedLeft), std::tuple(2, 1));
    delete parent;
}

// A consumer blocked in Pop while another task posts and purges: with the count kept in a
// semaphore this could deadlock or hand out a purged message; the list is now the only count.
TEST_F(GuiTest, PurgeOfTheGuiQueueWhileTheGuiTaskWaitsLeavesItWaitingForTheNextMessage) {
    // The GUI queue's consumer (a task) waits; another task posts and purges before it runs.
    Probe t(GuiRect(0, 0, 9, 9));
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    std::atomic<int> got{-1};
    TASK_ID consumer = taskSpawnFn("consumer", 100, 0, 0, [&] {
        GuiMessage m;
        GuiPopMessage(&m, gpGuiMesgQueue);
        got = m.data;
    });
    sim::waitIdle();
    GuiMessage m = msg(GM_APP, &t, 5);
    mq->Push(&m);
    mq->Purge(&t, 0, 0); // may run before or after the consumer; both must be consistent
    sim::waitIdle();
    if (got.load() == -1) {
        EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 0);
        GuiMessage last = msg(GM_APP, nullptr, 9);
        mq->Push(&last);
        sim::waitIdle();
        EXPECT_EQ(got.load(), 9);
    } else {
        EXPECT_EQ(got.load(), 5);
    }
    taskWaitExit(consumer, 10);
}

TEST_F(GuiTest, GuiLockIsRecursivePerTask) {
    EXPECT_EQ(giCriticalNesting, 0);
    EnterCriticalSection();
    EnterCriticalSection();
    std::atomic<int> entered{0};
    taskSpawnFn("other", 100, 0, 0, [&] {
        EnterCriticalSection();
        entered = 1;
        ExitCriticalSection();
    });
    sim::waitIdle();
    EXPECT_EQ(entered.load(), 0);
    ExitCriticalSection();
    sim::waitIdle();
    EXPECT_EQ(entered.load(), 0) << "the first exit keeps the lock";
    ExitCriticalSection();
    sim::waitIdle();
    EXPECT_EQ(entered.load(), 1);
    EXPECT_EQ(giCriticalNesting, 0);
}

TEST_F(GuiTest, InvalidationHoldsTheLockUntilTheDrawingPassEnds) {
    screen->Invalidate(GuiRect(0, 0, 10, 10));
    screen->Invalidate(GuiRect(20, 20, 30, 30));
    EXPECT_EQ(giCriticalNesting, 2);
    EXPECT_EQ(screen->InvalidRect(), GuiRect(0, 0, 30, 30));
    screen->BeginDraw(pm);
    screen->BeginDraw(pm);
    screen->EndDraw();
    EXPECT_EQ(giCriticalNesting, 3) << "only the outermost EndDraw gives the levels back";
    screen->EndDraw();
    EXPECT_EQ(giCriticalNesting, 0);
    EXPECT_EQ(screen->InvalidCount(), 0);
}

// ---- timers ---------------------------------------------------------------------------------

TEST_F(GuiTest, TimersCountTicksReloadAndFoldTheirExpiries) {
    auto* a = new Probe(GuiRect(0, 0, 9, 9));
    pm->Add(a, 0);
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    mq->SetTimer(a, 1, 2, 1);
    mq->SetTimer(a, 2, 1, 0); // one-shot
    mq->TimerTick();
    EXPECT_FALSE(mq->HasTimer(a, 2)) << "a one-shot timer is gone after it fired";
    mq->TimerTick(); // timer 1 fires
    mq->TimerTick(); // and again before anything was handled: folded
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 2);
    drain();
    EXPECT_EQ(a->count(GM_TIMER), 2);
    mq->SetTimer(a, 1, 5, 5); // the same timer only gets new counts
    std::vector<long> counts;
    mq->ForEachTimer([&](GuiThing*, uint16_t, long count, long) { counts.push_back(count); });
    EXPECT_EQ(counts, std::vector<long>{5});
    delete pm->Remove(a, 0);
    redrawAll();
}

TEST_F(GuiTest, KillTimerOfAParentTakesTheDescendantsTimersAndTheirQueuedExpiries) {
    auto* parent = new Probe(GuiRect(0, 0, 99, 99));
    auto* child = new Probe(GuiRect(1, 1, 5, 5));
    parent->Add(child, 0);
    Probe other(GuiRect(0, 0, 1, 1));
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    mq->SetTimer(child, 1, 1, 1);
    mq->SetTimer(parent, 1, 1, 1);
    mq->SetTimer(&other, 1, 1, 1);
    mq->TimerTick();
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 3);
    mq->KillTimer(parent, 1); // exactly the parent's timer and its expiry
    EXPECT_TRUE(mq->HasTimer(child, 1));
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 2);
    mq->KillTimer(parent, 0);
    EXPECT_FALSE(mq->HasTimer(child));
    EXPECT_TRUE(mq->HasTimer(&other));
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 1);
    mq->KillTimer(&other, 7); // a missing timer is no error
    delete parent;
}

TEST_F(GuiTest, TickIsPostedOnlyWhileNoneIsPendingAndPopConsumesIt) {
    auto* a = new Probe(GuiRect(0, 0, 9, 9));
    pm->Add(a, 0);
    GuiThing::mpMessageQueue->SetTimer(a, 3, 1, 1);
    gbGuiTimerEventPending = 0;
    GuiTimerPostTick();
    EXPECT_EQ(gbGuiTimerEventPending.load(), 1);
    GuiTimerPostTick(); // still pending: not posted
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 1);
    GuiMessage out;
    ASSERT_TRUE(GuiThing::mpMessageQueue->TryPop(&out));
    EXPECT_EQ(std::tuple(out.type, out.target, out.data), std::tuple(GM_TIMER, static_cast<GuiThing*>(a), 3))
        << "the untargeted tick became the object's expiry";
    EXPECT_EQ(gbGuiTimerEventPending.load(), 0);
    GuiThing::mpMessageQueue->KillTimer(a, 0);
    delete pm->Remove(a, 0);
    redrawAll();
}

TEST_F(GuiTest, PopFallsBackToTheGuiQueueForATaskWithoutItsOwn) {
    GuiMessage m = msg(GM_APP, nullptr, 4);
    GuiThing::mpMessageQueue->Push(&m);
    std::atomic<int> got{0};
    taskSpawnFn("popper", 100, 0, 0, [&] {
        GuiMessage out;
        GuiThing::mpMessageQueue->Pop(&out);
        got = out.data;
    });
    sim::waitIdle();
    EXPECT_EQ(got.load(), 4);
}

// ---- the GUI task and the timer task ------------------------------------------------------------

std::atomic<int> gTicksSeen{0};
Probe* gAppProbe = nullptr;

class TickCounter : public Probe {
  public:
    using Probe::Probe;
    int Message(const GuiMessage& m) override {
        if (m.type == GM_TIMER) gTicksSeen++;
        return Probe::Message(m);
    }
};

void appInit(GuiPresentationManager* p) {
    gAppProbe = new TickCounter(GuiRect(0, 0, 639, 479), 5);
    p->Add(gAppProbe, 1);
    GuiThing::mpMessageQueue->SetTimer(gAppProbe, 1, 1, 1);
}

TEST(GuiTasks, TimerTaskFeedsTheGuiTaskEveryFiftyMillisecondsUntilClosed) {
    sim::stopRealtime();
    sim::configure(sim::TimeMode::Stepped, 1700000000);
    sim::waitIdle();
    ASSERT_TRUE(displaysim::install(guitest::testIndex()));
    scrndrvSetRtpIndex(guitest::testIndex());
    GuiSetAppHooks(GuiAppHooks{nullptr, appInit, nullptr});
    SEM_ID built = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    gTicksSeen = 0;
    TASK_ID gui =
        taskSpawn("r_GuiMn", 121, VX_FP_TASK, 500000, GuiTaskMain, reinterpret_cast<intptr_t>(built));
    TASK_ID timer = taskSpawn("r_t_GuiTmr", 120, VX_FP_TASK, 500000, GuiTimerTask);
    sim::waitIdle();
    ASSERT_EQ(semTake(built, NO_WAIT), OK);
    EXPECT_EQ(gbGuiInitialized.load(), 1);
    for (auto [ms, ticks] : {std::pair{49, 0}, {1, 1}, {500, 11}}) {
        sim::step(ms);
        EXPECT_EQ(gTicksSeen.load(), ticks);
    }
    taskDelete(timer);
    taskWaitExit(timer, 10);
    GuiMessage close(GM_CLOSE, GuiPresentation());
    GuiThing::mpMessageQueue->Push(&close);
    sim::waitIdle();
    EXPECT_EQ(taskWaitExit(gui, 10), OK);
    EXPECT_EQ(GuiThing::mpPresentation, nullptr);
    EXPECT_EQ(gpGuiMesgQueue, nullptr);
    GuiSetAppHooks(GuiAppHooks{});
    semDelete(built);
    displaysim::uninstall();
}

} // namespace
