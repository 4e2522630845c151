// The object tree: a destroyed object (a button with a running repeat too) leaves no timer, message
// or reference behind; the message queue purged while the GUI task waits; the GUI and timer tasks;
// the text things' font slots.
#include "gui/controls/button/button.h"
#include "gui/fonts/fonts.h"
#include "gui/testkit.h"
#include "gui/text/text_thing.h"

#include <atomic>
#include <string>

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

// ---- timers ------------------------------------------------------------------------------------

// An object that writes the id of each timer expiry it receives.
class TimerLog : public Probe {
  public:
    using Probe::Probe;
    std::string seen;
    int Message(const GuiMessage& m) override {
        if (m.type == GM_TIMER) seen += static_cast<char>('0' + m.data);
        return Probe::Message(m);
    }
};

// Counts are in ticks; reload 0 is one shot, freed when it expires; setting a running timer again
// starts its count anew; an expiry not yet handled is not queued twice; killing one timer removes its
// queued expiry and no other.
TEST_F(Tree, TimersExpireByTheirCountsAndAreReArmedKilledAndFoldedOneByOne) {
    auto* t = new TimerLog(GuiRect(10, 10, 50, 50));
    root->Add(t, 0);
    GuiMessageQueue* mq = GuiThing::mpMessageQueue;
    mq->SetTimer(t, 1, 3, 0);
    mq->SetTimer(t, 2, 2, 2);
    auto ticks = [&](int n) {
        for (int i = 0; i < n; ++i) {
            mq->TimerTick();
            drain();
            t->seen += '|';
        }
    };
    ticks(6);
    EXPECT_EQ(std::tuple(t->seen, mq->HasTimer(t, 1), mq->HasTimer(t, 2)),
              std::tuple("|2|1|2||2|", false, true));
    t->seen.clear();
    ticks(1);
    mq->SetTimer(t, 2, 3, 3); // one tick into the period of 2: three more from now
    ticks(3);
    EXPECT_EQ(t->seen, "|||2|");
    t->seen.clear();
    mq->SetTimer(t, 1, 1, 1);
    mq->SetTimer(t, 2, 1, 1);
    mq->TimerTick();
    mq->TimerTick();
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 2) << "each timer's second expiry folded into its first";
    mq->KillTimer(t, 1);
    drain();
    EXPECT_EQ(std::tuple(t->seen, mq->HasTimer(t, 1)), std::tuple("2", false));
    mq->KillTimer(t, 2);
}

// ---- the message queue ------------------------------------------------------------------------

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

// ---- the GUI task and the timer task ------------------------------------------------------------

std::atomic<int> gTicksSeen{0};

class TickCounter : public Probe {
  public:
    using Probe::Probe;
    int Message(const GuiMessage& m) override {
        if (m.type == GM_TIMER) gTicksSeen++;
        return Probe::Message(m);
    }
};

void appInit(GuiPresentationManager* p) {
    auto* counter = new TickCounter(GuiRect(0, 0, 639, 479), 5);
    p->Add(counter, 1);
    GuiThing::mpMessageQueue->SetTimer(counter, 1, 1, 1);
}

using GuiTasks = testsupport::SteppedTest;

TEST_F(GuiTasks, TimerTaskFeedsTheGuiTaskEveryFiftyMillisecondsUntilClosed) {
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

// ---- font slots -------------------------------------------------------------------------------

// A replaced chain is freed and leaves every slot it was in; a built-in font is never freed.
TEST(TextThing, ReplacedFontChainsAreFreedButBuiltInFontsNever) {
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(32, &SysFont, 0), 0);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(-1, &SysFont, 0), 0);
    auto* small = new GuiFont{FONT_VARIABLE,
                              4,
                              3,
                              4,
                              1,
                              65,
                              65,
                              new uint16_t[2]{0, 3},
                              0,
                              nullptr,
                              new uint8_t[4]{0xE0, 0xA0, 0xE0, 0xA0}};
    auto* loaded = new GuiFont(*small);
    loaded->offsets = new uint16_t[2]{0, 3};
    loaded->data = new uint8_t[4]{};
    loaded->next = small;
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(20, loaded, 0), 1);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(21, loaded, 0), 1);
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(20, &SysFont, 1), 1); // ASan checks the frees
    EXPECT_EQ(GuiTextThing::mFontTable[21], nullptr) << "no slot keeps a freed font";
    EXPECT_EQ(GuiTextThing::AssignFontTablePointer(20, nullptr, 1), 1);
    EXPECT_EQ(SysFont.height, 16); // still there
}

} // namespace
