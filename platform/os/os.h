// The OS layer: the RTOS calls the application makes, over POSIX threads.
//
// Time-outs and delays are in system ticks (sysClkRateGet() per second). Every blocking
// wait of the process goes through here, so that stepped time can tell when every task
// is blocked. Ids are pointer-sized. Failures return ERROR (or a null id) and set errno:
// EAGAIN for "object unavailable" (no-wait take, full queue), ETIMEDOUT for a time-out,
// ENOENT for a named object that does not exist, EEXIST, EINVAL, ENOMEM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>

using STATUS = int;
constexpr STATUS OK = 0;
constexpr STATUS ERROR = -1;

constexpr int WAIT_FOREVER = -1;
constexpr int NO_WAIT = 0;

using TASK_ID = intptr_t;
constexpr TASK_ID TASK_ID_NULL = 0;
using SEM_ID = struct os_sem*;
using MSG_Q_ID = struct os_msgq*;

// ---- tasks -------------------------------------------------------------------------
constexpr int VX_FP_TASK = 0x1000000; // floating-point context (accepted, no effect here)

using TASK_ENTRY = void (*)(intptr_t, intptr_t, intptr_t, intptr_t);

// Creates and starts a task. Priority 0 is highest (255 lowest); it orders the waiters of
// priority-queued semaphores and message queues. The threads run with the host's default
// scheduling unless real-time priorities are on (sim::realtimePriorities); stepped time runs
// them one at a time by priority (sim::step).
TASK_ID taskSpawn(const char* name, int priority, int options, size_t stackSize, TASK_ENTRY entry,
                  intptr_t a1 = 0, intptr_t a2 = 0, intptr_t a3 = 0, intptr_t a4 = 0);
TASK_ID taskSpawnFn(const char* name, int priority, int options, size_t stackSize,
                    std::function<void()> body);
// Creates a task that does not run until taskActivate.
TASK_ID taskCreate(const char* name, int priority, int options, size_t stackSize, TASK_ENTRY entry,
                   intptr_t a1 = 0, intptr_t a2 = 0, intptr_t a3 = 0, intptr_t a4 = 0);
STATUS taskActivate(TASK_ID tid);
// Deletion is a request: the task ends at its next blocking call (or at once when it is
// blocked now); its stack unwinds. A task holding a mutex goes on until it has given back the
// last one it holds (its waits meanwhile end as they would have): ended inside the section, it
// would leave the mutex taken for good and what it guards half changed (a mutex deleted while
// it holds it counts as given back). Deleting oneself ends the calling task at once.
STATUS taskDelete(TASK_ID tid);
// Waits up to `ticks` for a task to end (after a delete request or by returning).
STATUS taskWaitExit(TASK_ID tid, int ticks);
STATUS taskDelay(int ticks);
STATUS taskSuspend(TASK_ID tid);
STATUS taskResume(TASK_ID tid);
STATUS taskPriorityGet(TASK_ID tid, int* priority);
STATUS taskPrioritySet(TASK_ID tid, int priority);
STATUS taskCpuAffinitySet(TASK_ID tid, uint32_t cpuMask);
STATUS taskCpuAffinityGet(TASK_ID tid, uint32_t* cpuMask);
TASK_ID taskIdSelf();
STATUS taskIdVerify(TASK_ID tid);
// Full name of the task (never cut), or nullptr for an unknown id.
const char* taskName(TASK_ID tid);
TASK_ID taskNameToId(const char* name);
// True once a delete request is pending for the calling task.
bool taskDeleteRequested();

// ---- semaphores --------------------------------------------------------------------
constexpr int SEM_Q_FIFO = 0x0;
constexpr int SEM_Q_PRIORITY = 0x1;
constexpr int SEM_DELETE_SAFE = 0x4;
constexpr int SEM_INVERSION_SAFE = 0x8;

enum SEM_B_STATE { SEM_EMPTY = 0, SEM_FULL = 1 };
enum SEM_TYPE { SEM_TYPE_BINARY = 0, SEM_TYPE_MUTEX = 1, SEM_TYPE_COUNTING = 2 };

SEM_ID semBCreate(int options, SEM_B_STATE initial);
SEM_ID semCCreate(int options, int initialCount);
SEM_ID semMCreate(int options);
STATUS semDelete(SEM_ID sem);
STATUS semTake(SEM_ID sem, int ticks);
STATUS semGive(SEM_ID sem);
// Releases every task waiting on a binary or counting semaphore without changing its count.
STATUS semFlush(SEM_ID sem);

struct SEM_INFO {
    SEM_TYPE type;
    int count;      // tokens (binary 0/1, counting n, mutex 1 when free)
    int numWaiting; // tasks blocked on it
    TASK_ID owner;  // mutex owner, else 0
};
STATUS semInfoGet(SEM_ID sem, SEM_INFO* info);

// Named semaphores ("/BASETICK0", "/SemPostDrive0"...), shared by name within the unit.
constexpr int OM_CREATE = 0x100;
constexpr int OM_EXCL = 0x200;
SEM_ID semOpen(const char* name, SEM_TYPE type, int initState, int options, int mode);
STATUS semClose(SEM_ID sem);

// ---- message queues ----------------------------------------------------------------
constexpr int MSG_Q_FIFO = 0x0;
constexpr int MSG_Q_PRIORITY = 0x1;
constexpr int MSG_PRI_NORMAL = 0;
constexpr int MSG_PRI_URGENT = 1;

MSG_Q_ID msgQCreate(int maxMsgs, int maxMsgLength, int options);
STATUS msgQDelete(MSG_Q_ID q);
STATUS msgQSend(MSG_Q_ID q, const void* buf, size_t len, int ticks, int priority);
// Returns the number of bytes received, or ERROR.
int msgQReceive(MSG_Q_ID q, void* buf, size_t maxLen, int ticks);
int msgQNumMsgs(MSG_Q_ID q);
MSG_Q_ID msgQOpen(const char* name, int maxMsgs, int maxMsgLength, int options, int mode);
STATUS msgQClose(MSG_Q_ID q);

// ---- shared memory -----------------------------------------------------------------
// Maps the named shared-memory object; with create it is made (zero-filled) when missing.
void* shmMap(const char* name, size_t size, bool create);

// ---- clocks and timers -------------------------------------------------------------
int sysClkRateGet();
uint32_t tickGet();
uint64_t tick64Get();
// A task that makes up for ticks it missed names the tick each of its releases is for: the
// semaphores it gives until the next call count as given on `tick` (0: the current tick), so a
// watched task's lateness (sim::lateness) is timed from when that tick was due.
void osReleaseForTick(uint64_t tick);
// CLOCK_MONOTONIC and CLOCK_REALTIME from the unit's one clock.
int osClockGettime(clockid_t clock, struct timespec* ts);
int osClockSettime(clockid_t clock, const struct timespec* ts);
// Nanoseconds of the free-running hardware time base (the global timer's view).
uint64_t osHwTimeNs();
// Waits at least `ns` on the clock. In stepped time this becomes a tick delay, so a busy
// wait cannot hold up the clock it waits for.
void osBusyWaitNs(uint64_t ns);

using OS_TIMER_ID = struct os_timer*;
using OS_TIMER_FN = void (*)(OS_TIMER_ID, intptr_t);
// Timer handlers run one after another in the platform's timer task.
OS_TIMER_ID osTimerCreate(OS_TIMER_FN fn, intptr_t arg);
// First expiry after `firstTicks` (>= 1), then every `periodTicks` (0 = once).
STATUS osTimerStart(OS_TIMER_ID t, int firstTicks, int periodTicks);
STATUS osTimerCancel(OS_TIMER_ID t);
STATUS osTimerDelete(OS_TIMER_ID t);

// ---- heap --------------------------------------------------------------------------
struct OS_HEAP_STATS {
    uint64_t totalBytes;
    uint64_t freeBytes;
    uint64_t allocBytes;
    uint64_t maxFreeBlock;
    uint64_t allocBlocks;
};
STATUS osHeapStats(OS_HEAP_STATS* stats);

// ---- pipes ------------------------------------------------------------------------
// Named pipes ("/pipe/MsdShell_0"): a byte channel of the process with room for at least
// maxMsgs * maxMsgBytes bytes. The descriptor of pipeOpen reads and writes without blocking;
// a writer finding the pipe full loses its bytes rather than wait.
STATUS pipeDevCreate(const char* name, int maxMsgs, int maxMsgBytes);
// ENODEV when no pipe has the name; EBUSY while a descriptor is open and not `force`.
STATUS pipeDevDelete(const char* name, bool force);
int pipeOpen(const char* name);
// Bytes read (0 when empty), or ERROR.
int pipeRead(int fd, void* buf, size_t maxLen);
// Discards what the pipe holds.
STATUS pipeFlush(int fd);
STATUS pipeClose(int fd);
// The process's standard output (stdFd 1) or error (2) from now on goes into the pipe of `fd`.
STATUS ioGlobalStdSet(int stdFd, int fd);

// ---- waits outside the layer -------------------------------------------------------
// A task about to block in the host (socket receive, file read of a pipe) says so, so
// that stepped time does not wait for it, and lets the next task have the processor meanwhile.
class OsExternalWait {
  public:
    OsExternalWait();
    ~OsExternalWait();
    OsExternalWait(const OsExternalWait&) = delete;
    OsExternalWait& operator=(const OsExternalWait&) = delete;

  private:
    bool held_ = false; // the caller had the processor of stepped time
};
