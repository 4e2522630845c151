// Message queue, folding, purging, the GUI lock and the timers.
#include "gui/testkit.h"

#include <atomic>

using guitest::GuiTest;
using guitest::Probe;

namespace {

GuiMessage msg(uint16_t type, GuiThing* target = nullptr, int data = 0) {
    return GuiMessage(type, target, nullptr, data);
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
    ASSERT_EQ(std::tuple(semTake(built, NO_WAIT), gbGuiInitialized.load()), std::tuple(OK, 1));
    for (auto [ms, ticks] : {std::pair{49, 0}, {1, 1}, {500, 11}}) {
        sim::step(ms);
        EXPECT_EQ(gTicksSeen.load(), ticks);
    }
    taskDelete(timer);
    taskWaitExit(timer, 10);
    GuiMessage close(GM_CLOSE, GuiPresentation());
    GuiThing::mpMessageQueue->Push(&close);
    sim::waitIdle();
    EXPECT_EQ(std::tuple(taskWaitExit(gui, 10), GuiThing::mpPresentation, gpGuiMesgQueue),
              std::tuple(OK, nullptr, nullptr));
    GuiSetAppHooks(GuiAppHooks{});
    semDelete(built);
    displaysim::uninstall();
}

} // namespace
