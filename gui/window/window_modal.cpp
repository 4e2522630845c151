// The modal loops of a window: Execute and GlobalModalExecute.
#include "gui/core/presenter.h"
#include "gui/core/screen.h"
#include "gui/window/window.h"
#include "gui/window/window_private.h"

namespace {

bool isButton(uint16_t type) {
    return type >= GM_LBUTTON_DOWN && type <= GM_RBUTTON_UP;
}
bool isPointer(uint16_t type) {
    return type >= GM_POINTER_MOVE && type <= GM_RBUTTON_UP;
}

// True when a top-level window in front of `self`'s own top-level ancestor holds the point.
bool frontWindowHolds(GuiPresenter* pm, GuiThing* self, GuiPoint p) {
    GuiThing* top = self;
    while (top->mpParent && top->mpParent != pm->RootThing())
        top = top->mpParent;
    for (GuiThing* s = pm->RootThing()->mpFirst; s && s != top; s = s->mpNext)
        if (s->Visible() && s->mClip.Contains(p)) return true;
    return false;
}

} // namespace

void GuiWindow::BeginModal(ModalFrame* frame, int show) {
    GuiPresenter* pm = mpPresentation;
    {
        EnterCriticalSection();
        frame->outer = mpModal;
        mpModal = frame;
        mModal = 1;
        ExitCriticalSection();
    }
    if (taskIdSelf() != tBaseGuiTask) pm->BeginSubTaskExecute(this);
    if (!show) return;
    if (!Visible()) {
        mStatus |= PSF_ALWAYS_ON_TOP;
        pm->RootThing()->Add(this, 1);
    } else if (!(mStatus & PSF_ALWAYS_ON_TOP) && mpParent) {
        mStatus |= PSF_ALWAYS_ON_TOP;
        mpParent->Add(this, 1); // to the front
    }
}

// Unlinks the loop's record (and releases the pointer with `release`) unless the window went
// away while the loop ran: it may not be touched then. Under the GUI lock, which the window's
// destructor takes too.
void GuiWindow::EndModal(ModalFrame* frame, bool release) {
    EnterCriticalSection();
    if (frame->alive) {
        for (ModalFrame** pp = &mpModal; *pp; pp = &(*pp)->outer)
            if (*pp == frame) {
                *pp = frame->outer;
                break;
            }
        if (!mpModal) mModal = 0;
        if (release) ReleasePointer();
    }
    ExitCriticalSection();
}

int GuiWindow::Execute(int show) {
    GuiPresenter* pm = mpPresentation;
    if (!pm || !mpMessageQueue) return 0;
    ModalFrame frame;
    BeginModal(&frame, show);
    const bool guiTask = taskIdSelf() == tBaseGuiTask;
    int result = 0;
    while (!result) {
        GuiMessage m;
        mpMessageQueue->Pop(&m);
        if (!frame.alive) break;
        if (guiTask && pm->RouteMessageToTask(&m)) continue;
        const GuiPoint p = m.payload.point;
        if (m.type == GM_POINTER_MOVE) {
            if (!mReal.Contains(p) && !pm->GetPointerOwner()) {
                if (mPointerSet) {
                    mpScreen->SetPointerType(0);
                    mPointerSet = 0;
                }
                mpScreen->SetPointer(p);
                continue;
            }
            pm->DispatchMessage(pm->RootThing(), &m);
            continue;
        }
        if (isButton(m.type)) {
            // Outside the window only windows in front of it take the pointer.
            if (!m.target && !mReal.Contains(p) && !pm->GetPointerOwner() && !frontWindowHolds(pm, this, p))
                continue;
            result = pm->DispatchMessage(pm->RootThing(), &m);
            continue;
        }
        result = pm->DispatchMessage(this, &m);
    }
    // The handler that ended the loop may have destroyed the window (in the GUI task, which can
    // run at once when this is another task): the record says whether it is still there.
    EndModal(&frame, false);
    pm->EndSubTaskExecute(this);
    return result;
}

int GuiWindow::GlobalModalExecute() {
    GuiPresenter* pm = mpPresentation;
    if (!pm || !mpMessageQueue) return 0;
    ModalFrame frame;
    BeginModal(&frame, 1);
    CapturePointer();
    const bool guiTask = taskIdSelf() == tBaseGuiTask;
    GuiThing* under = nullptr; // the object that last had the pointer
    int result = 0;
    while (!result) {
        GuiMessage m;
        mpMessageQueue->Pop(&m);
        if (!frame.alive) break;
        if (!isPointer(m.type)) {
            if (guiTask && pm->RouteMessageToTask(&m)) continue;
            result = pm->DispatchMessage(this, &m);
            continue;
        }
        if (mMoveMode) {
            result = Message(m);
            continue;
        }
        if (pm->RootThing()->mpFirst != this) {
            if (guiTask) pm->RouteMessageToTask(&m);
            continue;
        }
        if (pm->GetPointerOwner() != this) {
            result = pm->DispatchMessage(pm->RootThing(), &m);
            continue;
        }
        const GuiPoint p = m.payload.point;
        if (!mReal.Contains(p)) continue;
        GuiThing* t = pm->FindLowestThingContaining(this, p);
        // A handler may have deleted the previous object: it is only told when still in the tree.
        if (!GuiTreeHolds(this, under)) under = nullptr;
        if (t != under) {
            if (under) under->Message(GuiMessage(GM_POINTER_EXIT, under));
            under = t;
            if (t) t->Message(GuiMessage(GM_POINTER_ENTER, t));
        }
        if (!t) continue;
        if (m.type == GM_LBUTTON_DOWN || m.type == GM_RBUTTON_DOWN) pm->MoveFocusTree(t);
        m.target = t;
        result = t->Message(m);
    }
    pm->EndSubTaskExecute(this);
    EndModal(&frame, true);
    return result;
}
