// Controls of the simulated clock. Used by the platform, tests and tools; never by the
// application, which only sees ticks, clocks and semaphores through the OS layer.
#pragma once

#include "platform/os/os.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class TimeMode { Realtime, Stepped };

// Sets the mode and the calendar time (seconds since 1970) at tick 0. The clock keeps
// running from where it is; tasks are unaffected.
void configure(TimeMode mode, int64_t calendarStartSec);
TimeMode mode();

// Real time: a 1 kHz thread advances the clock. Stopping returns to a still clock.
void startRealtime();
void stopRealtime();

// Real time only: the tasks run under the host's SCHED_FIFO with their priorities (0, the
// highest, above 255), the clock thread above them all, and inversion-safe mutexes lend their
// waiters' priority to the owner; every task on one host CPU (when something else holds it, the
// clock thread, free to run on any, stands in and the tasks move to its CPU). False in stepped time
// (nothing changed) or when the host does not permit the priorities: the tasks then keep its
// default scheduling, on the one CPU all the same.
bool realtimePriorities(bool on);
bool realtimePriorities();

// Stepped time: advances the clock by `n` ticks, one at a time; after each tick it waits
// until every task of the layer is blocked again. Must not be called from such a task.
//
// Stepped time runs the tasks of the layer one at a time, as an RTOS on one CPU does, so that a
// run comes out the same every time. The task on the processor keeps it until it blocks or ends,
// or until it releases (gives, sends, flushes, resumes, deletes, starts) a task of higher priority
// (a lower number), which runs at once; the releaser goes on when its turn comes again, first of
// its priority. A free processor goes to the ready task of highest priority, of equal ones to
// the one made ready first. A tick takes the processor like an interrupt, in two rounds: first it
// gives the base tick and runs the tick hooks, then it releases the expired delays, time-outs
// and timers; the tasks of a round, and all they release in turn, run before the next round.
// Threads the layer did not start, an adopted one too, run beside the processor; a task back
// from a wait in the host (OsExternalWait) waits for its turn like a released one. A task that
// waits for another outside the layer (spinning on a flag) keeps the processor from it: such a
// wait goes through the layer, or is an external wait.
void step(uint64_t n);
// Waits until every task of the layer is blocked (stepped and real time).
void waitIdle();

uint64_t ticks();

// Counts the calling thread, one the layer did not start (the process's main thread), like
// a task of the layer: running, except while it waits in the layer. Stepped time then
// waits for it too, so a scripted stepped run does the same work in every tick. The
// thread must not step the clock itself while adopted.
void adoptThread();
// Stops counting the calling thread (before it stops using the layer for good).
void releaseThread();

// The base tick: a binary semaphore the clock gives on every tick, before the tick hooks. In real
// time a task waiting on it (without a time-out) makes the ticks itself when they are due, so a
// tick wakes that task alone; the clock thread stands in while it is late. Null: none.
void setBaseTick(SEM_ID sem);
// Real time: when the tick being made was due on CLOCK_MONOTONIC (ns); for the tick hooks.
int64_t tickDueNs();

// Called on every tick, after expired time-outs were released, on the clock's thread (or the
// base tick's waiter's).
using TickHook = std::function<void(uint64_t tick)>;
int addTickHook(TickHook hook);
void removeTickHook(int id);

// The release lateness of the task named `task`, from when the tick its semaphore was given for was
// due (the current tick, or the one the giver named with osReleaseForTick) until its take of it
// returned, over the releases since the previous call (the first call starts counting and finds
// none). Real time times it on the host's monotonic clock, stepped time on the simulated one (a
// release taken n ticks after its tick is n ms late). Its semaphore: the one it waits on at the
// first call, or else the first it then waits on without a time-out. False: no such task.
struct Lateness {
    uint64_t samples = 0;
    double p50Us = 0, p99Us = 0; // a quantile beyond the histogram (20 ms) reads as the maximum
    double maxUs = 0;            // exact
    uint64_t overPeriod = 0;     // later than one tick
};
bool lateness(const std::string& task, Lateness* out);

// Names of the tasks that are not blocked right now (diagnostics).
std::vector<std::string> runningTasks();
// Full names of every live task the layer started.
std::vector<std::string> taskNames();

} // namespace sim
