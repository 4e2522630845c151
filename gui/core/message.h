// GUI messages, the message queues, the GUI lock and the toolkit timers.
#pragma once

#include <atomic>
#include <cstdint>

#include "gui/core/types.h"
#include "platform/os/os.h"

class GuiThing;

// Message types of the toolkit; application messages start at GM_APP.
enum : uint16_t {
    GM_ADD = 1,
    GM_REMOVE = 2,
    GM_DESTROY = 3,
    GM_RESIZE = 4,
    GM_DESTROY_SELF = 6,
    GM_HIDE = 7,
    GM_SHOW = 8,
    GM_POINTER_MOVE = 9,
    GM_LBUTTON_DOWN = 10,
    GM_LBUTTON_UP = 11,
    GM_RBUTTON_DOWN = 12,
    GM_RBUTTON_UP = 13,
    GM_DRAW = 14,
    GM_GAIN_FOCUS = 15,
    GM_LOSE_FOCUS = 16,
    GM_POINTER_ENTER = 17,
    GM_POINTER_EXIT = 18,
    GM_CLOSE = 19,
    GM_ADD_ICON = 20,
    GM_MOVE_SIZE = 21,
    GM_PARENT_SIZED = 22,
    GM_VSCROLL = 23,
    GM_HSCROLL = 24,
    GM_MAXIMIZE = 25,
    GM_MINIMIZE = 26,
    GM_RESTORE = 27,
    GM_TIMER = 29,
    GM_KEY = 30,
    GM_KEY_UP = 31,
    GM_CUT = 32,
    GM_COPY = 33,
    GM_PASTE = 34,
    GM_FOCUS_FIRST = 39,
    GM_APP = 0x4000,
};

// Result of the close message: ends the dispatch loop.
constexpr int GUI_RESULT_CLOSE = -19;

// Signal numbers a control sends to its parent (type 128 + 16 * id + signal).
enum : uint8_t { GSIG_RESIZED = 0, GSIG_CLICKED = 4, GSIG_SCROLL = 8, GSIG_SLIDE = 9 };

// Ids of the standard buttons shared by title bars, dialogs and message windows.
enum : uint16_t {
    GUI_ID_CLOSE = 1000,
    GUI_ID_SYSTEM = 1001,
    GUI_ID_OK = 1002,
    GUI_ID_CANCEL = 1003,
    GUI_ID_APPLY = 1004,
    GUI_ID_ABORT = 1005,
    GUI_ID_YES = 1006,
    GUI_ID_NO = 1007,
    GUI_ID_RETRY = 1008,
    GUI_ID_MAXIMIZE = 1009,
    GUI_ID_MINIMIZE = 1010,
    GUI_ID_RESTORE = 1011,
};

// Largest id whose signals stay below the application range (128 + 16 * id + 15 < 0x4000).
constexpr uint16_t GUI_MAX_SIGNAL_ID = 1015;

// Payload: a rectangle, a point, a 32-bit value, or up to two pointers.
union GuiPayload {
    GuiRect rect;
    GuiPoint point;
    int32_t l;
    void* ptr[2];
    uint8_t raw[16];
    GuiPayload() : raw{} {}
};
static_assert(sizeof(GuiPayload) == 16);

struct GuiMessage {
    uint16_t type = 0;
    int16_t data = 0;
    GuiThing* target = nullptr;
    GuiThing* source = nullptr;
    GuiMessage* next = nullptr; // queue link, cleared in every message handed out
    GuiPayload payload;

    GuiMessage() = default;
    GuiMessage(uint16_t t, GuiThing* tg = nullptr, GuiThing* src = nullptr, int d = 0)
        : type(t), data(static_cast<int16_t>(d)), target(tg), source(src) {}
};

extern SEM_ID tGuiTimerMutex;

// ---- queues --------------------------------------------------------------------------
constexpr int GUI_QUEUE_NODES = 41;

struct GuiQueue; // opaque: its layout lives in queue.cpp

GuiQueue* GuiCreateMessageQueue();
void GuiDeleteMessageQueue(GuiQueue* q);
// Appends a copy of the message. Returns 1, or 0 when all 41 nodes are in use (the message
// is dropped; a caller that owns what the payload points at keeps it).
int EnqueueTaskMessage(const GuiMessage* msg, GuiQueue* q);
// Blocks until a message is queued, then hands out the oldest.
void GuiPopMessage(GuiMessage* msg, GuiQueue* q);
// Hands out the oldest message; 0 without waiting when none is queued.
int GuiTryPopMessage(GuiMessage* msg, GuiQueue* q);
int GuiQueueCount(GuiQueue* q);
int GuiQueueFreeNodes(GuiQueue* q);

// The toolkit's message queue: the GUI task's queue and the timer list.
class GuiMessageQueue {
  public:
    GuiMessageQueue();
    ~GuiMessageQueue();
    GuiMessageQueue(const GuiMessageQueue&) = delete;
    GuiMessageQueue& operator=(const GuiMessageQueue&) = delete;

    // Posts a message (to the queue of the task running the target's modal window, else to
    // the GUI queue). Returns 1, or 0 when the queue was full.
    int Push(const GuiMessage* msg);
    // Posts with folding: a queued message of the same type, target and data only gets the
    // new payload. Returns 1, or 0 when nothing matched and the queue was full.
    int Fold(const GuiMessage* msg, GuiQueue* q);
    int Fold(const GuiMessage* msg);
    // Receives the next message for the calling task; consumes untargeted timer ticks.
    void Pop(GuiMessage* msg);
    // Like Pop without blocking; 0 when nothing is queued.
    int TryPop(GuiMessage* msg);
    // Removes queued messages addressed to `thing` or one of its descendants (and, when type is
    // not 0, of that type; when data is also not 0, with that data).
    void Purge(GuiThing* thing, uint16_t type, uint16_t data);
    // Removes every queued message whose target or source is `thing` or a descendant of it.
    void PurgeReferences(GuiThing* thing);

    void SetTimer(GuiThing* thing, uint16_t id, long count, long reload);
    void KillTimer(GuiThing* thing, uint16_t id);
    void TimerTick();
    // True when a timer of `thing` (any id with id 0) is running.
    bool HasTimer(const GuiThing* thing, uint16_t id = 0);
    // Calls fn for every running timer (tests and diagnostics).
    template <typename F> void ForEachTimer(F fn);

  private:
    struct TimerNode {
        TimerNode* next;
        GuiThing* thing;
        long count;
        long reload;
        uint16_t id;
    };
    TimerNode* mpTimers = nullptr;
};

template <typename F> void GuiMessageQueue::ForEachTimer(F fn) {
    semTake(tGuiTimerMutex, WAIT_FOREVER);
    for (TimerNode* n = mpTimers; n; n = n->next)
        fn(n->thing, n->id, n->count, n->reload);
    semGive(tGuiTimerMutex);
}

// ---- the GUI lock ----------------------------------------------------------------------
void EnterCriticalSection();
void ExitCriticalSection();

// Holds the GUI lock for a scope.
struct GuiLock {
    GuiLock() { EnterCriticalSection(); }
    ~GuiLock() { ExitCriticalSection(); }
    GuiLock(const GuiLock&) = delete;
    GuiLock& operator=(const GuiLock&) = delete;
};

// Globals of the GUI tasks.
extern GuiQueue* gpGuiMesgQueue;
extern TASK_ID tBaseGuiTask;
extern SEM_ID tGuiPresentationMutex;
extern std::atomic<TASK_ID> tGuiLockTask;
extern int giCriticalNesting;
extern SEM_ID tGuiTimerMutex;
extern std::atomic<int> gbGuiInitialized;
extern std::atomic<int> gbGuiTimerEventPending;
extern volatile unsigned iDummy;

// ---- the timer task -------------------------------------------------------------------
// Body of the timer task; posts a tick every 50 ms while none is pending. Never returns.
void GuiTimerTask(intptr_t = 0, intptr_t = 0, intptr_t = 0, intptr_t = 0);
// One step of the timer task: posts a tick unless one is pending.
void GuiTimerPostTick();
