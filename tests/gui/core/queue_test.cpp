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

// ---- timers ---------------------------------------------------------------------------------

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
    GuiMessage close(GM_CLOSE, GuiThing::mpPresentation);
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
