// What the object tree and the windows ask of its root, the presentation manager. The manager
// is itself a window, so it sits above the core and the windows; it hands itself in through
// this interface when the GUI starts (GuiThing::mpPresentation).
#pragma once

#include "gui/core/types.h"

class GuiThing;
struct GuiMessage;
struct GuiQueue;

class GuiPresenter {
  public:
    // The manager as the root of the object tree.
    virtual GuiThing* RootThing() = 0;

    virtual void NullInput(GuiThing* thing) = 0;
    virtual void MoveFocusTree(GuiThing* thing) = 0;
    virtual void CapturePointer(GuiThing* thing) = 0;
    virtual void ReleasePointer(GuiThing* thing) = 0;
    virtual GuiThing* GetPointerOwner() const = 0;
    virtual GuiThing* GetCurrentThing() const = 0;
    virtual GuiThing* FindLowestThingContaining(GuiThing* start, GuiPoint p) = 0;

    virtual int DispatchMessage(GuiThing* from, GuiMessage* msg) = 0;
    virtual int RouteMessageToTask(const GuiMessage* msg) = 0;
    // Modal loops of windows that run in tasks of their own.
    virtual void BeginSubTaskExecute(GuiThing* thing) = 0;
    virtual void EndSubTaskExecute(GuiThing* thing) = 0;
    virtual GuiQueue* GetCurrentMessageQueue() = 0;
    virtual GuiQueue* GetThingMessageQueue(GuiThing* thing) = 0;

  protected:
    ~GuiPresenter() = default;
};
