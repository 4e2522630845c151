// The GUI lock and the timer task.
#include "gui/core/message.h"

TASK_ID tBaseGuiTask = 0;
SEM_ID tGuiPresentationMutex = nullptr;
std::atomic<TASK_ID> tGuiLockTask{0};
int giCriticalNesting = 0;
std::atomic<int> gbGuiInitialized{0};
// Set while a tick is queued; 1 at start so that no tick is posted before the GUI is built.
std::atomic<int> gbGuiTimerEventPending{1};
volatile unsigned iDummy = 0;

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
