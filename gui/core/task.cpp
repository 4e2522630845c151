// The GUI lock, the GUI task and the timer task.
#include "gui/core/message.h"
#include "gui/core/thing.h"
#include "gui/presentation/presentation.h"
#include "gui/screen/screen.h"
#include "gui/screen/l24logi.h"

#include <new>

TASK_ID tBaseGuiTask = 0;
SEM_ID tGuiPresentationMutex = nullptr;
std::atomic<TASK_ID> tGuiLockTask{0};
int giCriticalNesting = 0;
std::atomic<int> gbGuiInitialized{0};
// Set while a tick is queued; 1 at start so that no tick is posted before the GUI is built.
std::atomic<int> gbGuiTimerEventPending{1};
volatile unsigned iDummy = 0;

namespace {
GuiAppHooks gHooks;
} // namespace

void EnterCriticalSection() {
    if (!tGuiPresentationMutex) {
        ++giCriticalNesting; // before start-up: only the calling task exists
        return;
    }
    TASK_ID self = taskIdSelf();
    if (tGuiLockTask.load() != self) {
        semTake(tGuiPresentationMutex, WAIT_FOREVER);
        tGuiLockTask = self;
    }
    ++giCriticalNesting;
}

void ExitCriticalSection() {
    if (giCriticalNesting <= 0) return; // unbalanced exit: nothing is held
    if (--giCriticalNesting == 0 && tGuiPresentationMutex) {
        tGuiLockTask = 0;
        semGive(tGuiPresentationMutex);
    }
}

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

    delete GuiThing::mpPresentation;
    GuiThing::mpPresentation = nullptr;
    delete GuiThing::mpMessageQueue;
    GuiThing::mpMessageQueue = nullptr;
    delete GuiThing::mpScreen;
    GuiThing::mpScreen = nullptr;
    tBaseGuiTask = 0;
}

void GuiTaskMain(intptr_t sem, intptr_t, intptr_t, intptr_t) {
    if (!GuiStartup()) GuiLoopForever();
    GuiPresentationManager* pm = GuiThing::mpPresentation;
    if (gHooks.configureInput) gHooks.configureInput();
    if (gHooks.appInitialize) gHooks.appInitialize(pm);
    gbGuiInitialized = 1;
    gbGuiTimerEventPending = 0;
    if (sem) semGive(reinterpret_cast<SEM_ID>(sem));
    pm->Execute(0);
    if (gHooks.restoreInput) gHooks.restoreInput();
    GuiShutdown();
}

void GuiTimerPostTick() {
    if (!tGuiTimerMutex) return;
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    // The flag goes up before the tick is queued: the GUI task may consume the tick at once,
    // and a flag raised after that would stop every later tick.
    if (!gbGuiTimerEventPending && gpGuiMesgQueue) {
        gbGuiTimerEventPending = 1;
        GuiMessage tick(GM_TIMER);
        if (!EnqueueTaskMessage(&tick, gpGuiMesgQueue)) gbGuiTimerEventPending = 0;
    }
    semGive(tGuiTimerMutex);
}

void GuiTimerTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    int period = sysClkRateGet() / 20;
    if (period < 1) period = 1;
    for (;;) {
        taskDelay(period);
        GuiTimerPostTick();
    }
}
