// The presentation manager as the root window, its sub-task queues, and the modal loops of
// windows in the GUI task and in a task of their own.
#include "gui/controls/button/button.h"
#include "gui/testkit.h"
#include "gui/window/window.h"

#include <atomic>

namespace {

using guitest::Probe;

// Counts its deletions, so that a test sees where a window went.
std::atomic<int> gDeleted{0};
class Dialog : public GuiWindow {
  public:
    Dialog(const GuiRect& r) : GuiWindow(r, FF_THIN) {
        button =
            new GuiTextButton(GuiRect(r.left + 10, r.top + 10, r.left + 69, r.top + 33), "OK", GUI_ID_CANCEL);
        Add(button, 0);
    }
    ~Dialog() override { ++gDeleted; }
    GuiTextButton* button;
};

struct Modal : guitest::GuiTest {
    Probe* desk = nullptr;
    void SetUp() override {
        GuiTest::SetUp();
        gDeleted = 0;
        desk = new Probe(GuiRect(0, 0, 639, 479), 1, PSF_VIEWPORT);
        pm->Add(desk, 1);
    }
    void TearDown() override {
        drain();
        redrawAll();
        GuiTest::TearDown();
    }
    void post(uint16_t type, int x, int y) {
        GuiMessage m(type);
        m.payload.point = GuiPoint(x, y);
        GuiThing::mpMessageQueue->Push(&m);
    }
    // Plays the GUI task one message at a time, every other task settled in between, so that
    // nothing depends on the host's scheduling; false when the queue runs dry before `done`.
    bool runUntil(const std::atomic<bool>& done) {
        for (;;) {
            sim::waitIdle();
            if (done) return true;
            GuiMessage m;
            if (!GuiThing::mpMessageQueue->TryPop(&m)) return false;
            if (!pm->RouteMessageToTask(&m)) pm->DispatchMessage(pm, &m);
        }
    }
};

TEST_F(Modal, ExecuteInASecondTaskGetsItsMessagesThroughItsOwnQueue) {
    auto* d = new Dialog(GuiRect(200, 150, 399, 299));
    std::atomic<bool> done{false}, modalDuring{false};
    std::atomic<int> result{-1};
    TASK_ID tid = taskSpawnFn("dialog", 100, 0, 0, [&] {
        result = d->Execute(1);
        done = true;
    });
    sim::waitIdle();
    ASSERT_TRUE(d->Visible());
    EXPECT_NE(pm->GetThingMessageQueue(d->button), nullptr);
    EXPECT_EQ(pm->GetCurrentMessageQueue(), nullptr) << "the GUI task keeps the GUI queue";
    modalDuring = d->Modal();
    post(GM_LBUTTON_DOWN, 230, 170);
    post(GM_LBUTTON_UP, 230, 170);
    ASSERT_TRUE(runUntil(done)) << "the dialog task did not end";
    EXPECT_EQ(std::tuple(modalDuring.load(), result.load(), taskWaitExit(tid, 10)),
              std::tuple(true, GUI_ID_CANCEL, OK));
    EXPECT_EQ(GuiQueueCount(gpGuiMesgQueue), 1) << "the deferred delete waits in the GUI queue";
    drain();
    EXPECT_EQ(gDeleted, 1);
    EXPECT_EQ(pm->GetThingMessageQueue(desk), nullptr);
}

// A task that keeps opening and closing its queue while another posts to its window: a message
// is never put into a queue that is being deleted (ASan would report it). Both loops are bounded
// and neither waits for the other, so the test ends whatever the interleaving.
TEST_F(Modal, PostingWhileTheSubTaskQueueGoesAwayIsSafe) {
    auto* target = new Probe(GuiRect(10, 10, 50, 50));
    desk->Add(target, 0);
    TASK_ID opener = taskSpawnFn("opener", 100, 0, 0, [&] {
        for (int i = 0; i < 1000; ++i) {
            pm->BeginSubTaskExecute(target);
            GuiMessage m;
            while (GuiThing::mpMessageQueue->TryPop(&m)) {
            }
            pm->EndSubTaskExecute(target);
        }
    });
    TASK_ID poster = taskSpawnFn("poster", 100, 0, 0, [&] {
        for (int i = 0; i < 3000; ++i) {
            GuiMessage m(GM_APP, target);
            pm->RouteMessageToTask(&m);
        }
    });
    EXPECT_EQ(taskWaitExit(opener, WAIT_FOREVER), OK);
    EXPECT_EQ(taskWaitExit(poster, WAIT_FOREVER), OK);
}

} // namespace
