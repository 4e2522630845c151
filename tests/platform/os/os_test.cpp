// The OS layer on stepped time: semaphores, queues, tasks, timers and clocks.
#include "platform/os/os.h"
#include "platform/os/sim.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <functional>
#include <future>
#include <mutex>
#include <sched.h>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

struct Stepped : ::testing::Test {
    void SetUp() override {
        sim::stopRealtime();
        sim::configure(sim::TimeMode::Stepped, 1700000000);
        sim::waitIdle();
    }
    static std::vector<int> info(SEM_ID s) {
        SEM_INFO i{};
        semInfoGet(s, &i);
        return {i.count, i.numWaiting};
    }
};

TEST_F(Stepped, SemaphoresAndQueues) {
    SEM_ID s = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    std::atomic<int> got{0}, timeouts{0}, woke{0};
    for (int i = 0; i < 3; ++i) {
        taskSpawnFn("w", 100, 0, 0, [&, i] {
            if (semTake(s, 5) == OK)
                got |= 1 << i;
            else if (errno == ETIMEDOUT)
                timeouts++;
        });
        sim::waitIdle(); // queue in spawn order
    }
    EXPECT_EQ(info(s), (std::vector{0, 3}));
    semGive(s);
    semGive(s);
    sim::waitIdle();
    EXPECT_EQ(got.load(), 3); // first come, first served
    sim::step(4);
    EXPECT_EQ(timeouts.load(), 0);
    sim::step(1);
    EXPECT_EQ(timeouts.load(), 1);

    for (int i = 0; i < 3; ++i) // a flush releases every waiter and leaves the count alone
        taskSpawnFn("flushed", 100, 0, 0, [&] { woke += semTake(s, WAIT_FOREVER) == OK; });
    sim::waitIdle();
    EXPECT_EQ(semFlush(s), OK);
    sim::waitIdle();
    EXPECT_EQ(woke.load(), 3);
    EXPECT_EQ(info(s), (std::vector{0, 0}));

    SEM_ID c = semCCreate(SEM_Q_PRIORITY, 0);
    semGive(c), semGive(c), semTake(c, NO_WAIT), semGive(c);
    EXPECT_EQ(info(c), (std::vector{2, 0}));

    SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    EXPECT_EQ(semTake(m, NO_WAIT), OK);
    EXPECT_EQ(semTake(m, NO_WAIT), OK);
    std::atomic<int> held{0};
    taskSpawnFn("other", 50, 0, 0, [&] { held = semTake(m, WAIT_FOREVER) == OK, semGive(m); });
    for (int want : {0, 0, 1}) { // free only after the second give
        sim::waitIdle();
        EXPECT_EQ(held.load(), want);
        if (!want) semGive(m);
    }

    SEM_ID named = semOpen("/SemCloseTest", SEM_TYPE_COUNTING, 2, 0, OM_CREATE);
    EXPECT_EQ(semClose(named), OK); // named objects live as long as the unit
    EXPECT_EQ(semOpen("/SemCloseTest", SEM_TYPE_COUNTING, 0, 0, 0), named);

    MSG_Q_ID q = msgQCreate(2, 8, MSG_Q_FIFO);
    EXPECT_EQ(msgQSend(q, "a", 1, NO_WAIT, MSG_PRI_NORMAL), OK);
    EXPECT_EQ(msgQSend(q, "b", 1, NO_WAIT, MSG_PRI_URGENT), OK);
    EXPECT_EQ(msgQSend(q, "c", 1, NO_WAIT, MSG_PRI_NORMAL), ERROR);
    char buf[8];
    for (char want : {'b', 'a'}) {
        EXPECT_EQ(msgQReceive(q, buf, sizeof buf, NO_WAIT), 1);
        EXPECT_EQ(buf[0], want);
    }
    MSG_Q_ID n1 = msgQOpen("/queue/Test_0", 4, 16, 0, OM_CREATE);
    EXPECT_EQ(msgQOpen("/queue/Test_0", 4, 16, 0, 0), n1);
    EXPECT_EQ(msgQOpen("/queue/Missing", 4, 16, 0, 0), nullptr);
}

TEST_F(Stepped, TasksTimersAndTheClock) {
    std::atomic<int> woke{0}, ticks{0};
    const char* name = "a_rather_long_task_name_beyond_15";
    TASK_ID t = taskSpawnFn(name, 100, 0, 0, [&] {
        taskDelay(10);
        woke = 1;
        semTake(semBCreate(0, SEM_EMPTY), WAIT_FOREVER); // until deleted
        woke = 2;
    });
    sim::step(9);
    EXPECT_EQ(woke.load(), 0);
    sim::step(1);
    EXPECT_EQ(woke.load(), 1);
    EXPECT_EQ(taskDelete(t), OK);
    EXPECT_EQ(taskWaitExit(t, 10), OK);
    EXPECT_EQ(woke.load(), 1);
    EXPECT_EQ(taskNameToId(name), TASK_ID_NULL);

    // A suspended task stops at its next call into the layer and goes on when resumed.
    t = taskSpawnFn("ticker", 100, 0, 0, [&] {
        for (;; ticks++)
            taskDelay(1);
    });
    sim::step(2);
    EXPECT_EQ(taskSuspend(t), OK);
    sim::step(5);
    EXPECT_EQ(ticks.load(), 3);
    EXPECT_EQ(taskResume(t), OK);
    sim::step(2);
    EXPECT_EQ(ticks.load(), 5);
    taskDelete(t);

    const uint64_t t0 = tick64Get(), ns0 = osHwTimeNs();
    std::atomic<int> fired{0};
    OS_TIMER_ID tm =
        osTimerCreate([](OS_TIMER_ID, intptr_t p) { (*reinterpret_cast<std::atomic<int>*>(p))++; },
                      reinterpret_cast<intptr_t>(&fired));
    osTimerStart(tm, 3, 5);
    sim::step(13);
    EXPECT_EQ(tick64Get() - t0, 13u);
    EXPECT_EQ(osHwTimeNs() - ns0, 13000000u);
    EXPECT_EQ(fired.load(), 3); // ticks 3, 8, 13
    EXPECT_EQ(osTimerCancel(tm), OK);
    sim::step(10);
    EXPECT_EQ(fired.load(), 3);
    osTimerStart(tm, 1, 0); // once
    sim::step(5);
    EXPECT_EQ(fired.load(), 4);
    osTimerDelete(tm);
}

// A thread the layer did not start, once adopted, holds the clock like a task: each step
// ends only after it finished that tick's work and waits in the layer again.
TEST_F(Stepped, StepWaitsForAnAdoptedThread) {
    std::atomic<uint64_t> done{0};
    std::promise<void> adopted;
    std::thread main([&] {
        sim::adoptThread();
        adopted.set_value();
        for (int i = 0; i < 20; ++i) {
            taskDelay(1);
            volatile unsigned sink = 0;
            for (unsigned spin = 0; spin < 200000; ++spin)
                sink = sink + spin; // work that takes a while, outside the layer
            done = tickGet();
        }
        sim::releaseThread();
    });
    adopted.get_future().wait();
    sim::waitIdle();
    const uint64_t start = tickGet();
    for (uint64_t k = 1; k <= 20; ++k) {
        sim::step(1);
        ASSERT_EQ(done.load(), start + k);
    }
    main.join();
}

// What the tasks of a test did, in the order they did it.
struct Trace {
    std::mutex m;
    std::vector<std::string> seen;
    void add(const std::string& what) {
        std::lock_guard<std::mutex> g(m);
        seen.push_back(what);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> g(m);
        return std::exchange(seen, {});
    }
};

// Tasks released on one tick run one after another, the highest priority first and tasks of one
// priority in the order of their release; every tick the same, whether the tick's semaphore or
// their delays released them.
TEST_F(Stepped, TasksReleasedOnOneTickRunInPriorityOrder) {
    Trace trace;
    SEM_ID gate = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    const int hook = sim::addTickHook([gate](uint64_t) { semFlush(gate); });
    const std::function<void()> waits[] = {[gate] { semTake(gate, WAIT_FOREVER); }, [] { taskDelay(1); }};
    const std::pair<const char*, int> tasks[] = {{"a", 90}, {"b", 30}, {"c", 200},
                                                 {"d", 30}, {"e", 10}, {"f", 90}};
    for (const auto& wait : waits) {
        std::vector<TASK_ID> tids;
        for (const auto& [name, prio] : tasks) {
            tids.push_back(taskSpawnFn(name, prio, 0, 0, [&, name = name] {
                for (;;)
                    wait(), trace.add(name);
            }));
            sim::waitIdle(); // released in this order
        }
        for (int round = 0; round < 50; ++round) {
            sim::step(1);
            ASSERT_EQ(trace.take(), (std::vector<std::string>{"e", "b", "d", "a", "f", "c"})) << round;
        }
        for (TASK_ID t : tids)
            taskDelete(t), taskWaitExit(t, WAIT_FOREVER);
    }
    sim::removeTickHook(hook);
}

// A running task that releases one of higher priority, by a semaphore, a message or a start,
// gives it the processor there and then; one of its own or a lower priority waits until the
// releaser blocks.
// A task making up for ticks it missed names the tick of each release: the watched taker's lateness
// is timed from it, whether the give finds it waiting or stays pending; a tick not yet made counts
// as the current one, and 0 goes back to it.
TEST_F(Stepped, AReleaseNamedForAnEarlierTickIsLateFromIt) {
    SEM_ID s = semCCreate(SEM_Q_FIFO, 0), go = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    TASK_ID watched = taskSpawnFn("taker", 100, 0, 0, [&] {
        for (;;)
            semTake(s, WAIT_FOREVER);
    });
    sim::waitIdle();
    sim::Lateness l;
    ASSERT_TRUE(sim::lateness("taker", &l));
    semGive(s); // ends a wait begun before the count: not counted
    sim::step(10);
    const uint64_t now = sim::ticks();
    taskSpawnFn("giver", 50, 0, 0, [&] { // outranks the taker: every give before it takes
        semTake(go, WAIT_FOREVER);
        osReleaseForTick(now - 4);
        semGive(s); // straight to the waiting taker
        osReleaseForTick(now - 2);
        semGive(s); // pending
        osReleaseForTick(now + 5);
        semGive(s);
        osReleaseForTick(0);
        semGive(s);
    });
    sim::waitIdle();
    semGive(go);
    sim::waitIdle();
    ASSERT_TRUE(sim::lateness("taker", &l));
    EXPECT_EQ(l.samples, 4u);
    EXPECT_EQ(l.maxUs, 4000.0);
    EXPECT_EQ(l.overPeriod, 2u) << "4 and 2 ms";
    EXPECT_EQ(l.p50Us, 0.0) << "the last two on their tick";
    EXPECT_EQ(l.p99Us, 4000.0);
    taskDelete(watched);
    taskWaitExit(watched, WAIT_FOREVER);
}

// An inversion-safe mutex in stepped time: the high task that waits for it lends its priority to
// the low owner, which runs before a middle task that is ready too, and gives the mutex on to the
// high task at once; without the loan the middle task would run first.
TEST_F(Stepped, AnInversionSafeMutexLendsItsWaitersPriorityToTheOwner) {
    Trace trace;
    SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    SEM_ID go = semBCreate(SEM_Q_FIFO, SEM_EMPTY), goLow = semBCreate(SEM_Q_FIFO, SEM_EMPTY),
           goMiddle = semBCreate(SEM_Q_FIFO, SEM_EMPTY), goHigh = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    const TASK_ID tids[] = {
        taskSpawnFn("low", 200, 0, 0,
                    [&] {
                        semTake(m, WAIT_FOREVER);
                        semTake(goLow, WAIT_FOREVER);
                        trace.add("low gives");
                        semGive(m);
                        trace.add("low on");
                    }),
        taskSpawnFn("middle", 100, 0, 0, [&] { semTake(goMiddle, WAIT_FOREVER), trace.add("middle"); }),
        taskSpawnFn("high", 50, 0, 0,
                    [&] {
                        semTake(goHigh, WAIT_FOREVER);
                        semTake(m, WAIT_FOREVER);
                        trace.add("high has it");
                        semGive(m);
                    }),
        taskSpawnFn("releaser", 10, 0, 0,
                    [&] {
                        semTake(go, WAIT_FOREVER);
                        semGive(goLow), semGive(goMiddle), semGive(goHigh);
                    }),
    };
    sim::waitIdle();
    semGive(go);
    sim::waitIdle();
    EXPECT_EQ(trace.take(), (std::vector<std::string>{"low gives", "high has it", "middle", "low on"}));
    for (TASK_ID t : tids)
        taskWaitExit(t, WAIT_FOREVER);
    semDelete(m);
}

// A task deleted inside a section a mutex guards goes on until it has given the mutex back, then
// ends at its next wait: the delete finds it asleep on a semaphore, on a queue, on another mutex
// or taking a free one, and each of its waits still ends as it would have (its time-out kept).
TEST_F(Stepped, ADeletedTaskEndsOnlyOnceItGaveItsMutexesBack) {
    SEM_ID guard = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE), inner = semMCreate(SEM_Q_PRIORITY),
           spare = semMCreate(SEM_Q_FIFO), go = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    MSG_Q_ID q = msgQCreate(1, 1, MSG_Q_FIFO);
    std::atomic<int> done{0};
    std::atomic<uint64_t> timedOutAt{0};
    const uint64_t start = tickGet();
    TASK_ID t = taskSpawnFn("holder", 100, 0, 0, [&] {
        semTake(guard, WAIT_FOREVER);
        if (semTake(go, 5) == ERROR && errno == ETIMEDOUT) timedOutAt = tickGet(), done |= 1;
        if (semTake(spare, WAIT_FOREVER) == OK) semGive(spare), done |= 2;
        if (semTake(inner, WAIT_FOREVER) == OK) done |= 4;
        char c;
        if (msgQReceive(q, &c, 1, WAIT_FOREVER) == 1) done |= 8;
        semGive(inner), semGive(guard);
        done |= 16;
        taskDelay(1);
        done |= 32; // never: it ended in the delay
    });
    ASSERT_EQ(semTake(inner, NO_WAIT), OK);
    sim::step(2);
    EXPECT_EQ(taskDelete(t), OK); // asleep on the semaphore
    sim::step(2);
    EXPECT_EQ(std::pair(done.load(), semTake(guard, NO_WAIT)), std::pair(0, ERROR));
    sim::step(1);
    // timed out, took the free mutex, and now asleep on inner, which this thread holds
    EXPECT_EQ(std::pair(done.load(), timedOutAt.load() - start), std::pair(1 | 2, uint64_t{5}));
    semGive(inner);
    sim::waitIdle();
    EXPECT_EQ(done.load(), 1 | 2 | 4);
    msgQSend(q, "x", 1, NO_WAIT, MSG_PRI_NORMAL);
    sim::waitIdle();
    EXPECT_EQ(taskWaitExit(t, 1), OK);
    EXPECT_EQ(done.load(), 1 | 2 | 4 | 8 | 16);
    for (SEM_ID m : {guard, inner, spare})
        EXPECT_EQ(semTake(m, NO_WAIT), OK), semGive(m);
}

// A mutex deleted while a task holds it is held no longer: a delete of the task, before or after,
// ends it at once in its wait, whether the task deleted the mutex itself or another did.
TEST_F(Stepped, AMutexDeletedWhileHeldNoLongerKeepsItsOwnerFromEnding) {
    for (const bool itself : {true, false})
        for (const bool deleteFirst : {false, true}) {
            SCOPED_TRACE(std::string(itself ? "deleted by itself" : "deleted by another") +
                         (deleteFirst ? ", the task's delete first" : ""));
            SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE),
                   gate = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
            std::atomic<bool> woke{false};
            TASK_ID t = taskSpawnFn("holder", 100, 0, 0, [&] {
                semTake(m, WAIT_FOREVER);
                if (itself) semDelete(m);
                semTake(gate, WAIT_FOREVER);
                woke = true;
            });
            sim::step(1);
            if (deleteFirst) {
                EXPECT_EQ(taskDelete(t), OK);
                sim::step(1);
                EXPECT_EQ(taskIdVerify(t), itself ? ERROR : OK) << "put off only while it holds the mutex";
            }
            if (!itself) semDelete(m);
            if (!deleteFirst) {
                EXPECT_EQ(taskDelete(t), OK);
            }
            sim::waitIdle();
            EXPECT_EQ(taskWaitExit(t, NO_WAIT), OK);
            EXPECT_FALSE(woke.load());
            if (taskIdVerify(t) == OK) semGive(gate), taskWaitExit(t, WAIT_FOREVER);
        }
}

// The priority a waiter lent the owner of an inversion-safe mutex ends when the mutex is deleted:
// the owner, released beside a middle task, runs after it again.
TEST_F(Stepped, AMutexDeletedWhileHeldEndsThePriorityItsWaiterLent) {
    Trace trace;
    SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE), go = semBCreate(SEM_Q_FIFO, SEM_EMPTY),
           goLow = semBCreate(SEM_Q_FIFO, SEM_EMPTY), goMiddle = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    const TASK_ID tids[] = {
        taskSpawnFn("low", 200, 0, 0,
                    [&] { semTake(m, WAIT_FOREVER), semTake(goLow, WAIT_FOREVER), trace.add("low"); }),
        taskSpawnFn("high", 50, 0, 0, [&] { EXPECT_EQ(semTake(m, WAIT_FOREVER), ERROR); }),
        taskSpawnFn("middle", 100, 0, 0, [&] { semTake(goMiddle, WAIT_FOREVER), trace.add("middle"); }),
        taskSpawnFn("releaser", 10, 0, 0,
                    [&] { semTake(go, WAIT_FOREVER), semGive(goLow), semGive(goMiddle); }),
    };
    sim::waitIdle();
    EXPECT_EQ(semDelete(m), OK);
    sim::waitIdle();
    semGive(go);
    sim::waitIdle();
    EXPECT_EQ(trace.take(), (std::vector<std::string>{"middle", "low"}));
    for (TASK_ID t : tids)
        taskWaitExit(t, WAIT_FOREVER);
}

// A delete put off while the task holds a mutex leaves the wait it finds the task in to end as
// it would have: a receive with its message or at its time-out, a delay at its end, a wait for
// another task when that task ends or at its time-out. Once the task gave the mutex back it ends
// at its next wait.
TEST_F(Stepped, AWaitADeleteWasPutOffInEndsAsItWouldHave) {
    MSG_Q_ID q = msgQCreate(1, 1, MSG_Q_FIFO);
    SEM_ID guard = semMCreate(SEM_Q_PRIORITY), end = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    TASK_ID other = TASK_ID_NULL;
    char c = 0;
    struct Case {
        const char* wait;
        std::function<int()> call;
        std::function<void()> event; // at tick 6, if any
        int ended;                   // ticks after the start
        int result, error;
    };
    const Case cases[] = {
        {"message", [&] { return msgQReceive(q, &c, 1, WAIT_FOREVER); },
         [&] { msgQSend(q, "x", 1, NO_WAIT, MSG_PRI_NORMAL); }, 6, 1, 0},
        {"receive time-out", [&] { return msgQReceive(q, &c, 1, 10); }, nullptr, 10, ERROR, ETIMEDOUT},
        {"delay", [] { return taskDelay(10); }, nullptr, 10, OK, 0},
        {"other task ends", [&] { return taskWaitExit(other, WAIT_FOREVER); }, [&] { semGive(end); }, 6, OK,
         0},
        {"wait time-out", [&] { return taskWaitExit(other, 10); }, nullptr, 10, ERROR, ETIMEDOUT},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.wait);
        other = taskSpawnFn("other", 100, 0, 0, [&] { semTake(end, WAIT_FOREVER); });
        std::atomic<int> result{-2}, error{0};
        std::atomic<uint64_t> endedAt{0};
        std::atomic<bool> after{false};
        const uint64_t start = tickGet();
        TASK_ID t = taskSpawnFn("waiter", 100, 0, 0, [&] {
            semTake(guard, WAIT_FOREVER);
            errno = 0;
            const int r = k.call();
            error = errno, endedAt = tickGet(), result = r;
            semGive(guard);
            taskDelay(1);
            after = true; // never: it ends in the delay
        });
        sim::step(3);
        EXPECT_EQ(taskDelete(t), OK);
        sim::step(3);
        if (k.event) k.event();
        sim::waitIdle();
        sim::step(k.ended - 6);
        EXPECT_EQ(std::tuple(result.load(), error.load(), endedAt.load() - start),
                  std::tuple(k.result, k.error, uint64_t(k.ended)));
        EXPECT_EQ(taskWaitExit(t, NO_WAIT), OK);
        EXPECT_FALSE(after.load());
        taskDelete(other);
        taskWaitExit(other, WAIT_FOREVER);
    }
}

// A binary semaphore given twice holds one token: the first take finds it, the second waits.
TEST_F(Stepped, ABinarySemaphoreGivenTwiceHoldsOneToken) {
    SEM_ID s = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    EXPECT_EQ(semGive(s), OK);
    EXPECT_EQ(semGive(s), OK);
    std::atomic<int> first{-2}, second{-2}, error{0};
    const uint64_t start = tickGet();
    std::atomic<uint64_t> endedAt{0};
    taskSpawnFn("taker", 100, 0, 0, [&] {
        first = semTake(s, NO_WAIT);
        const int r = semTake(s, 5);
        error = errno, endedAt = tickGet(), second = r;
    });
    sim::step(4);
    EXPECT_EQ(std::pair(first.load(), second.load()), std::pair(OK, -2));
    sim::step(1);
    EXPECT_EQ(std::tuple(second.load(), error.load(), endedAt.load() - start),
              std::tuple(ERROR, ETIMEDOUT, uint64_t{5}));
}

TEST_F(Stepped, AReleasedTaskOfHigherPriorityRunsBeforeTheReleaserGoesOn) {
    Trace trace;
    SEM_ID go = semBCreate(SEM_Q_FIFO, SEM_EMPTY), same = semBCreate(SEM_Q_FIFO, SEM_EMPTY),
           low = semBCreate(SEM_Q_FIFO, SEM_EMPTY), high = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    MSG_Q_ID q = msgQCreate(4, 1, MSG_Q_FIFO);
    auto waiter = [&](SEM_ID s, const char* name) {
        return [&trace, s, name] {
            for (;;)
                semTake(s, WAIT_FOREVER), trace.add(name);
        };
    };
    const TASK_ID tids[] = {
        taskSpawnFn("same", 150, 0, 0, waiter(same, "same")),
        taskSpawnFn("low", 200, 0, 0, waiter(low, "low")),
        taskSpawnFn("high", 40, 0, 0, waiter(high, "high")),
        taskSpawnFn("reader", 60, 0, 0,
                    [&] {
                        for (char c; msgQReceive(q, &c, 1, WAIT_FOREVER) == 1;)
                            trace.add(std::string("read ") + c);
                    }),
        taskSpawnFn("giver", 150, 0, 0,
                    [&] {
                        for (;;) {
                            semTake(go, WAIT_FOREVER);
                            semGive(low), trace.add("gave low");
                            semGive(same), trace.add("gave same");
                            semGive(high), trace.add("gave high");
                            msgQSend(q, "m", 1, NO_WAIT, MSG_PRI_NORMAL), trace.add("sent");
                            taskSpawnFn("started", 20, 0, 0, [&] { trace.add("started"); }),
                                trace.add("spawned");
                        }
                    }),
    };
    sim::waitIdle();
    for (int round = 0; round < 50; ++round) {
        semGive(go);
        sim::waitIdle();
        ASSERT_EQ(trace.take(),
                  (std::vector<std::string>{"gave low", "gave same", "high", "gave high", "read m", "sent",
                                            "started", "spawned", "same", "low"}))
            << round;
    }
    for (TASK_ID t : tids)
        taskDelete(t), taskWaitExit(t, WAIT_FOREVER);
}

// A watched task's releases are counted whether it waited for them or found them pending, from
// one look to the next (the figures themselves are timed: the bench reads them). With real-time
// priorities every task, started before or after the switch, runs on one and the same CPU.
TEST(RealTime, AWatchedTasksReleasesAreCountedAndRealTimeTasksShareOneCpu) {
    sim::startRealtime();
    SEM_ID s = semCCreate(SEM_Q_FIFO, 0), step = semCCreate(SEM_Q_FIFO, 0);
    std::atomic<int> took{0}, cpus{0}, cpu{-1};
    auto body = [&] {
        for (;;) {
            semTake(s, WAIT_FOREVER);
            semTake(step, WAIT_FOREVER); // the test's turn: gives pile up meanwhile
            cpu_set_t set;
            sched_getaffinity(0, sizeof set, &set);
            cpus = CPU_COUNT(&set);
            cpu = sched_getcpu();
            took++;
        }
    };
    TASK_ID watched = taskSpawnFn("watched", 100, 0, 0, body);
    sim::waitIdle();
    sim::Lateness l;
    EXPECT_FALSE(sim::lateness("nobody", &l));
    ASSERT_TRUE(sim::lateness("watched", &l));
    EXPECT_EQ(l.samples, 0u);
    auto release = [&](int gives, int takes) {
        const int want = took + takes;
        for (int k = 0; k < gives; ++k)
            semGive(s);
        for (int k = 0; k < takes; ++k)
            semGive(step);
        while (took < want)
            std::this_thread::yield();
        sim::waitIdle(); // waiting again
    };
    release(1, 1); // its wait began before the count
    release(3, 3); // one waited for, two found pending
    ASSERT_TRUE(sim::lateness("watched", &l));
    EXPECT_EQ(l.samples, 3u);
    ASSERT_TRUE(sim::lateness("watched", &l));
    EXPECT_EQ(l.samples, 0u) << "counted from the previous look";

    if (sim::realtimePriorities(true)) {
        TASK_ID later = taskSpawnFn("later", 100, 0, 0, body);
        release(1, 1);
        const int first = cpu;
        EXPECT_EQ(cpus.load(), 1);
        release(1, 1);
        EXPECT_EQ(cpus.load(), 1);
        EXPECT_EQ(cpu.load(), first);
        sim::realtimePriorities(false);
        release(1, 1);
        cpu_set_t all;
        sched_getaffinity(0, sizeof all, &all);
        EXPECT_EQ(cpus.load(), CPU_COUNT(&all)) << "the process's CPUs again";
        taskDelete(later);
        taskWaitExit(later, WAIT_FOREVER);
    }
    taskDelete(watched);
    taskWaitExit(watched, WAIT_FOREVER); // its body uses this frame
    sim::stopRealtime();
}

} // namespace

// Real time frees a given mutex instead of handing it to a sleeper, so a running task may take
// it straight back. Still one holder at a time: under TSan the plain counter would race.
TEST(RealTime, MutexRetakenByARunningTaskStillSerialises) {
    sim::startRealtime();
    SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    std::atomic<int> inside{0}, overlaps{0};
    long plain = 0;
    TASK_ID tids[4];
    for (TASK_ID& tid : tids)
        tid = taskSpawnFn("contender", 100, 0, 0, [&] {
            for (int k = 0; k < 20000; ++k) {
                ASSERT_EQ(semTake(m, WAIT_FOREVER), OK);
                overlaps += inside.fetch_add(1) != 0;
                plain++;
                inside--;
                ASSERT_EQ(semGive(m), OK);
            }
        });
    for (TASK_ID tid : tids)
        ASSERT_EQ(taskWaitExit(tid, 20000), OK);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(plain, 80000);
    SEM_INFO info{};
    ASSERT_EQ(semInfoGet(m, &info), OK);
    EXPECT_EQ(info.count, 1);
    EXPECT_EQ(info.numWaiting, 0);
    sim::stopRealtime();
}

// Two tasks take and give a mutex while it is deleted under them, at a different moment each round:
// however a take or a give meets the delete, the mutex counts as held once at most, so both tasks
// end at their delete once they stop.
TEST(RealTime, ATakeOrGiveThatMeetsTheMutexsDeleteCountsItOnce) {
    sim::startRealtime();
    for (int round = 0; round < 300; ++round) {
        SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE), park = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        std::atomic<bool> stop{false};
        std::atomic<int> stopped{0};
        const auto body = [&] {
            while (!stop)
                if (semTake(m, 1) == OK) semGive(m);
            ++stopped;
            semTake(park, WAIT_FOREVER);
        };
        const TASK_ID a = taskSpawnFn("a", 100, 0, 0, body), b = taskSpawnFn("b", 100, 0, 0, body);
        for (std::atomic<int> spin{0}; spin.fetch_add(1, std::memory_order_relaxed) < round % 17 * 300;) {
        }
        semDelete(m);
        stop = true;
        while (stopped < 2)
            std::this_thread::yield();
        taskDelete(a), taskDelete(b);
        ASSERT_EQ(taskWaitExit(a, 2000), OK) << round;
        ASSERT_EQ(taskWaitExit(b, 2000), OK) << round;
        semDelete(park);
    }
    sim::stopRealtime();
}

namespace {

// The calling thread's effective CAP_SYS_NICE off or back on; threads it starts inherit it.
void sysNice(bool on) {
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    if (syscall(SYS_capget, &head, caps) != 0) return;
    __user_cap_data_struct& c = caps[CAP_SYS_NICE / 32];
    const uint32_t bit = 1u << (CAP_SYS_NICE % 32);
    c.effective = on ? c.effective | (c.permitted & bit) : c.effective & ~bit;
    syscall(SYS_capset, &head, caps);
}

} // namespace

// A host that refuses real-time priorities leaves the tasks its default scheduling, but on one CPU
// all the same, as with them; switching them off gives the tasks the process's CPUs again.
TEST(RealTime, RefusedPrioritiesKeepTheDefaultSchedulingOnOneCpu) {
    cpu_set_t all;
    sched_getaffinity(0, sizeof all, &all);
    if (CPU_COUNT(&all) < 2) GTEST_SKIP() << "a host of one CPU";
    sim::startRealtime();
    std::atomic<int> cpus{0}, policy{-1};
    auto probe = [&] {
        TASK_ID t = taskSpawnFn("placed", 100, 0, 0, [&] {
            cpu_set_t set;
            sched_getaffinity(0, sizeof set, &set);
            cpus = CPU_COUNT(&set);
            policy = sched_getscheduler(0);
        });
        ASSERT_EQ(taskWaitExit(t, 5000), OK);
    };
    sysNice(false);
    const bool granted = sim::realtimePriorities(true);
    sysNice(true);
    EXPECT_FALSE(granted);
    EXPECT_FALSE(sim::realtimePriorities());
    probe();
    EXPECT_EQ(cpus.load(), 1);
    EXPECT_EQ(policy.load(), SCHED_OTHER);
    EXPECT_TRUE(sim::realtimePriorities(false));
    probe();
    EXPECT_EQ(cpus.load(), CPU_COUNT(&all)) << "the process's CPUs again";
    sim::stopRealtime();
}

// With real-time priorities the tasks share one CPU. When a real-time thread of another process
// takes that CPU (here one spinning above them), the clock thread stands in from another CPU and
// takes the tasks along: the base tick's waiter goes on making ticks there.
TEST(RealTime, TheTasksLeaveACpuAnotherRealTimeThreadHolds) {
    cpu_set_t all;
    sched_getaffinity(0, sizeof all, &all);
    SEM_ID base = semBCreate(SEM_Q_PRIORITY, SEM_EMPTY);
    sim::setBaseTick(base);
    sim::startRealtime();
    if (CPU_COUNT(&all) < 2 || !sim::realtimePriorities(true)) {
        sim::realtimePriorities(false);
        sim::stopRealtime();
        sim::setBaseTick(nullptr);
        GTEST_SKIP() << "needs real-time priorities and two CPUs";
    }
    std::atomic<int> takes{0}, cpu{-1};
    TASK_ID waiter = taskSpawnFn("ticker", 21, 0, 0, [&] {
        for (;;) {
            ASSERT_EQ(semTake(base, WAIT_FOREVER), OK);
            cpu = sched_getcpu();
            takes++;
        }
    });
    while (takes < 20)
        std::this_thread::yield();
    const int held = cpu;
    int during = 0;
    std::thread([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(held, &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        sched_param sp{};
        sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
        const int before = takes;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < end) {
        }
        during = takes - before;
    }).join();
    EXPECT_GE(during, 100) << "ticks made while the CPU was held";
    EXPECT_NE(cpu.load(), held);
    taskDelete(waiter);
    taskWaitExit(waiter, WAIT_FOREVER);
    sim::realtimePriorities(false);
    sim::stopRealtime();
    sim::setBaseTick(nullptr);
}

// In real time the base tick's waiter makes the ticks itself; while it is busy elsewhere the
// clock thread stands in, so time goes on for everyone else.
TEST(RealTime, TheBaseTickWaiterMakesTheTicksAndTimeGoesOnWhileItIsBusy) {
    SEM_ID base = semBCreate(SEM_Q_PRIORITY, SEM_EMPTY);
    sim::setBaseTick(base);
    sim::startRealtime();
    const uint64_t start = tick64Get();
    std::atomic<int> phase{0};
    TASK_ID waiter = taskSpawnFn("waiter", 21, 0, 0, [&] {
        for (int k = 0; k < 40; ++k)
            ASSERT_EQ(semTake(base, WAIT_FOREVER), OK);
        phase = 1;
        while (phase == 1) { // busy, not waiting in the layer
        }
    });
    while (phase == 0)
        std::this_thread::yield();
    const uint64_t t0 = tick64Get();
    EXPECT_GE(t0, start + 40) << "a tick for every take";
    EXPECT_EQ(taskDelay(20), OK) << "a delay ends while the waiter is busy";
    EXPECT_GE(tick64Get(), t0 + 20);
    phase = 2;
    ASSERT_EQ(taskWaitExit(waiter, 5000), OK);
    sim::stopRealtime();
    sim::setBaseTick(nullptr);
}
