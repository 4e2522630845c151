// The GUI task: builds the screen, the queue and the presentation manager, runs the
// application's hooks and the dispatch loop.
#include "gui/presentation/presentation.h"

#include "gui/core/l24logi.h"
#include "gui/core/message.h"
#include "gui/core/screen.h"

#include <new>

namespace {
GuiAppHooks gHooks;
} // namespace

void GuiSetAppHooks(const GuiAppHooks& hooks) {
    gHooks = hooks;
}

[[noreturn]] void GuiLoopForever() {
    for (;;) {
        iDummy = iDummy + 1;
        taskDelay(1000); // the halt still lets the rest of the process run
    }
}

bool GuiStartup() {
    if (!tGuiTimerMutex) tGuiTimerMutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!tGuiPresentationMutex) tGuiPresentationMutex = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!tGuiTimerMutex || !tGuiPresentationMutex) return false;
    tGuiLockTask = 0;
    giCriticalNesting = 0;
    tBaseGuiTask = taskIdSelf();

    GuiScreen* screen = CreateGuiScreen();
    if (!screen) return false;
    GuiThing::mpScreen = screen;

    auto* mq = new (std::nothrow) GuiMessageQueue;
    if (!mq || !gpGuiMesgQueue) {
        delete mq;
        delete screen;
        GuiThing::mpScreen = nullptr;
        return false;
    }
    GuiThing::mpMessageQueue = mq;

    auto* pm = new (std::nothrow) GuiPresentationManager(screen->ScreenRect());
    if (!pm) {
        delete mq;
        delete screen;
        GuiThing::mpMessageQueue = nullptr;
        GuiThing::mpScreen = nullptr;
        return false;
    }
    pm->SetColor(0, GUI_BLACK);
    GuiThing::mpPresentation = pm;

    screen->GenerateViewportList(pm);
    screen->Invalidate(pm->mReal);
    pm->Draw();
    return true;
}

void GuiShutdown() {
    gbGuiInitialized = 0;
    // No further ticks: the timer task checks the flag under the timer mutex.
    if (tGuiTimerMutex) semTake(tGuiTimerMutex, WAIT_FOREVER);
    gbGuiTimerEventPending = 1;
    if (tGuiTimerMutex) semGive(tGuiTimerMutex);

    delete GuiPresentation();
    GuiThing::mpPresentation = nullptr;
    delete GuiThing::mpMessageQueue;
    GuiThing::mpMessageQueue = nullptr;
    delete GuiThing::mpScreen;
    GuiThing::mpScreen = nullptr;
    tBaseGuiTask = 0;
}

void GuiTaskMain(intptr_t sem, intptr_t, intptr_t, intptr_t) {
    if (!GuiStartup()) GuiLoopForever();
    GuiPresentationManager* pm = GuiPresentation();
    if (gHooks.configureInput) gHooks.configureInput();
    if (gHooks.appInitialize) gHooks.appInitialize(pm);
    gbGuiInitialized = 1;
    gbGuiTimerEventPending = 0;
    if (sem) semGive(reinterpret_cast<SEM_ID>(sem));
    pm->Execute(0);
    if (gHooks.restoreInput) gHooks.restoreInput();
    GuiShutdown();
}
