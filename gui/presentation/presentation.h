// The presentation manager: the root window of the object tree, which routes the messages.
//
// The presentation manager: the root window of the object tree; routes messages, keeps the
// input focus, the pointer owner, the pointer capture and the queues of tasks that run modal
// loops.
#pragma once

#include "gui/core/presenter.h"
#include "gui/window/window.h"

class GuiPresentationManager : public GuiWindow, public GuiPresenter {
  public:
    explicit GuiPresentationManager(const GuiRect& rect);
    ~GuiPresentationManager() override;

    int Message(const GuiMessage& msg) override;

    // The dispatch loop; returns GUI_RESULT_CLOSE when a close message ends it.
    int Execute(int) override;
    // Dispatches what is queued without waiting; returns the number of messages handled.
    int DispatchPending();
    int DispatchMessage(GuiThing* from, GuiMessage* msg) override;
    int RouteMessageToTask(const GuiMessage* msg) override;

    GuiThing* FindLowestThingContaining(GuiThing* start, GuiPoint p) override;
    void MoveFocusTree(GuiThing* thing) override;
    void NullInput(GuiThing* thing) override;
    void CapturePointer(GuiThing* thing) override;
    void ReleasePointer(GuiThing* thing) override;
    GuiThing* GetPointerOwner() const override {
        return mCaptureCount ? mCapture[mCaptureCount - 1] : nullptr;
    }
    GuiThing* GetCurrentThing() const override { return mpFocus; }
    GuiThing* RootThing() override { return this; }
    GuiThing* GetLastPointerOwner() const { return mpLastPointer; }

    void BeginSubTaskExecute(GuiThing* thing) override;
    void EndSubTaskExecute(GuiThing* thing) override;
    GuiQueue* GetCurrentMessageQueue() override;
    GuiQueue* GetThingMessageQueue(GuiThing* thing) override;

    void SetScratchPad(const char* text);
    void ClearScratchPad();
    char* mpScratchPad = nullptr;

    static constexpr int MAX_CAPTURE = 8;

  private:
    struct SubTask {
        SubTask* next;
        GuiThing* thing;
        TASK_ID task;
        GuiQueue* queue;
    };
    GuiThing* mpFocus = nullptr;
    GuiThing* mpLastPointer = nullptr; // the object under the pointer
    GuiThing* mCapture[MAX_CAPTURE] = {};
    int mCaptureCount = 0;
    SubTask* mpSubTasks = nullptr;
    SEM_ID mSubTaskMutex = nullptr; // guards the list; posting looks it up without the GUI lock

    GuiThing* PointerTarget(GuiPoint p);
    GuiQueue* ThingQueueLocked(GuiThing* thing);
};

// The running manager (null before the GUI starts).
inline GuiPresentationManager* GuiPresentation() {
    return static_cast<GuiPresentationManager*>(GuiThing::mpPresentation);
}

// ---- the GUI task ----------------------------------------------------------------------
// The application's hooks, called on the GUI task (handed in by the start-up before the
// application spawns the GUI task; a null hook is skipped).
struct GuiAppHooks {
    void (*configureInput)() = nullptr;
    void (*appInitialize)(GuiPresentationManager*) = nullptr;
    void (*restoreInput)() = nullptr;
};
void GuiSetAppHooks(const GuiAppHooks& hooks);

// Body of the GUI task; `sem` is given once the application's GUI is built (0 for none).
void GuiTaskMain(intptr_t sem, intptr_t = 0, intptr_t = 0, intptr_t = 0);
[[noreturn]] void GuiLoopForever();

// Start-up and tear-down of the toolkit for the calling task, which becomes the GUI task
// (GuiTaskMain uses them; tests call them to play the GUI task themselves). GuiStartup
// returns false when a lock, the screen, the queue or the presentation manager cannot be
// made (nothing is left behind then).
bool GuiStartup();
void GuiShutdown();
