// The presentation manager: the root window of the object tree; routes messages, keeps the
// input focus, the pointer owner, the pointer capture and the queues of tasks that run modal
// loops.
#pragma once

#include "gui/window/window.h"

class GuiPresentationManager : public GuiWindow {
  public:
    explicit GuiPresentationManager(const GuiRect& rect);
    ~GuiPresentationManager() override;

    int Message(const GuiMessage& msg) override;

    // The dispatch loop; returns GUI_RESULT_CLOSE when a close message ends it.
    int Execute(int) override;
    // Dispatches what is queued without waiting; returns the number of messages handled.
    int DispatchPending();
    int DispatchMessage(GuiThing* from, GuiMessage* msg);
    int RouteMessageToTask(const GuiMessage* msg);

    GuiThing* FindLowestThingContaining(GuiThing* start, GuiPoint p);
    void MoveFocusTree(GuiThing* thing);
    void NullInput(GuiThing* thing);
    void CapturePointer(GuiThing* thing);
    void ReleasePointer(GuiThing* thing);
    GuiThing* GetPointerOwner() const { return mCaptureCount ? mCapture[mCaptureCount - 1] : nullptr; }
    GuiThing* GetCurrentThing() const { return mpFocus; }
    GuiThing* GetLastPointerOwner() const { return mpLastPointer; }

    void BeginSubTaskExecute(GuiThing* thing);
    void EndSubTaskExecute(GuiThing* thing);
    GuiQueue* GetCurrentMessageQueue();
    GuiQueue* GetThingMessageQueue(GuiThing* thing);

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
