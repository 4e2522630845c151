// Tasks of the OS layer: each a POSIX thread that the layer starts, counts and can delete.
#include "platform/os/os_world.h"

#include <algorithm>
#include <cerrno>
#include <pthread.h>
#include <thread>

using namespace os_detail;

// ---- tasks ---------------------------------------------------------------------------

namespace {

// Registry lock held; `me` stands for id 0.
Tcb* findTask(World& w, TASK_ID tid, Tcb* me) {
    if (tid == 0) return me;
    auto it = w.tasks.find(tid);
    return it == w.tasks.end() ? nullptr : it->second;
}

void taskTrampoline(Tcb* t) {
    tlsSelf = tlsOwn = t;
    World& w = W();
    std::string shortName = t->name.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
    {
        std::lock_guard<std::mutex> g(w.reg);
        t->thread = pthread_self();
        t->started = true;
        if (w.rtPriorities.load()) applyPriority(w, t);
        if (w.oneCpu.load()) placeThread(w, t->thread);
    }
    awaitCpu(t);
    try {
        t->body();
    } catch (OsTaskExit&) {
    }
    t->body = nullptr; // what it holds goes while the task still counts as running
    std::vector<Tcb*> woken;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t->exited = true;
        while (Tcb* x = popClaimed(t->exitWaiters))
            woken.push_back(x);
    }
    for (Tcb* x : woken)
        finish(w, x, WAKE_GRANTED);
    leaveCpu(w, t);
    countDown(w, t);
}

Tcb* makeTask(const char* name, int priority, int options, size_t stack, std::function<void()> body) {
    World& w = W();
    auto* t = new Tcb;
    t->name = name ? name : "";
    t->priority = priority;
    t->options = options;
    t->stackSize = stack;
    t->counted = true;
    t->body = std::move(body);
    std::lock_guard<std::mutex> g(w.reg);
    w.tasks[reinterpret_cast<intptr_t>(t)] = t;
    return t;
}

STATUS activate(Tcb* t) {
    World& w = W();
    {
        std::lock_guard<std::mutex> g(w.reg);
        if (t->activated || t->exited) {
            errno = EINVAL;
            return ERROR;
        }
        t->activated = true;
    }
    countUp(w, t);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Stacks of at least 256 KiB: host code (formatting, sanitizers) needs more than the
    // target's figures.
    size_t stack = std::max<size_t>(t->stackSize, 256 * 1024);
    pthread_attr_setstacksize(&attr, stack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    int rc = pthread_create(
        &th, &attr,
        [](void* p) -> void* {
            taskTrampoline(static_cast<Tcb*>(p));
            return nullptr;
        },
        t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        {
            std::lock_guard<std::mutex> g(w.reg);
            t->exited = true;
        }
        leaveCpu(w, t);
        countDown(w, t);
        errno = rc;
        return ERROR;
    }
    preempt(w);
    return OK;
}

std::function<void()> bindEntry(TASK_ENTRY e, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    return [=] { e(a1, a2, a3, a4); };
}

} // namespace

TASK_ID taskCreate(const char* name, int priority, int options, size_t stackSize, TASK_ENTRY entry,
                   intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    if (!entry) {
        errno = EINVAL;
        return TASK_ID_NULL;
    }
    return reinterpret_cast<TASK_ID>(
        makeTask(name, priority, options, stackSize, bindEntry(entry, a1, a2, a3, a4)));
}

STATUS taskActivate(TASK_ID tid) {
    World& w = W();
    Tcb* t;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t = tid ? findTask(w, tid, nullptr) : nullptr;
    }
    if (!t) {
        errno = EINVAL;
        return ERROR;
    }
    return activate(t);
}

TASK_ID taskSpawn(const char* name, int priority, int options, size_t stackSize, TASK_ENTRY entry,
                  intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4) {
    TASK_ID tid = taskCreate(name, priority, options, stackSize, entry, a1, a2, a3, a4);
    if (tid == TASK_ID_NULL || taskActivate(tid) != OK) return TASK_ID_NULL;
    return tid;
}

TASK_ID taskSpawnFn(const char* name, int priority, int options, size_t stackSize,
                    std::function<void()> body) {
    Tcb* t = makeTask(name, priority, options, stackSize, std::move(body));
    if (activate(t) != OK) return TASK_ID_NULL;
    return reinterpret_cast<TASK_ID>(t);
}

STATUS taskDelete(TASK_ID tid) {
    World& w = W();
    Tcb* me = self();
    Tcb* t;
    {
        std::lock_guard<std::mutex> g(w.reg);
        t = findTask(w, tid, me);
        if (!t || t->exited || !t->counted || t->adopted) {
            errno = EINVAL;
            return ERROR;
        }
        t->deleteRequested = true;
        if (t != me && !t->activated) {
            t->exited = true;
            return OK;
        }
    }
    if (t == me) {
        t->unwinding = true;
        throw OsTaskExit{};
    }
    // Asleep now: woken at once; running: it ends at its next blocking call.
    if (claim(t, WAKE_BLOCKED) || claim(t, WAKE_SUSPENDED)) finish(w, t, WAKE_TASK_DELETE);
    preempt(w);
    return OK;
}

bool taskDeleteRequested() {
    return self()->deleteRequested.load();
}

STATUS taskWaitExit(TASK_ID tid, int ticks) {
    World& w = W();
    Tcb* me = self();
    std::unique_lock<std::mutex> lk(w.reg);
    Tcb* t = findTask(w, tid, me);
    if (!t || t == me) {
        errno = EINVAL;
        return ERROR;
    }
    if (t->exited) return OK;
    if (ticks == NO_WAIT) {
        errno = EAGAIN;
        return ERROR;
    }
    const Deadline d = after(w, ticks);
    int r;
    while ((r = block(w, me, &lk, &t->exitWaiters, false, d)) == WAKE_RETRY && !t->exited)
        if (ticksLeft(w, d) == 0) { // a delete put off, and no time left
            r = WAKE_TIMEOUT;
            break;
        }
    if (r == WAKE_GRANTED || (r == WAKE_RETRY && t->exited)) return OK;
    errno = ETIMEDOUT;
    return ERROR;
}

STATUS taskDelay(int ticks) {
    World& w = W();
    Tcb* me = self();
    enter(w, me);
    if (ticks <= 0) {
        std::this_thread::yield();
        return OK;
    }
    const Deadline d = after(w, ticks);
    while (block(w, me, nullptr, nullptr, false, d) == WAKE_RETRY && ticksLeft(w, d) != 0) {
    } // a delete put off: the delay goes on
    return OK;
}

namespace {
// Runs `fn` on the task under the registry lock; EINVAL for an unknown task, an exited one
// when `live`, or when `fn` refuses the arguments (returns false).
template <class F> STATUS onTask(TASK_ID tid, bool live, F fn) {
    World& w = W();
    Tcb* me = tid ? nullptr : self();
    std::lock_guard<std::mutex> g(w.reg);
    Tcb* t = findTask(w, tid, me);
    if (!t || (live && t->exited) || !fn(w, t)) {
        errno = EINVAL;
        return ERROR;
    }
    return OK;
}
} // namespace

STATUS taskSuspend(TASK_ID tid) {
    Tcb* t = nullptr;
    if (onTask(tid, true, [&](World&, Tcb* x) { return x->suspendRequested = true, t = x, true; }) != OK)
        return ERROR;
    if (t == self()) honourSuspend(W(), t);
    return OK;
}

STATUS taskResume(TASK_ID tid) {
    World& w = W();
    Tcb* t = nullptr;
    if (onTask(tid, true, [&](World&, Tcb* x) { return t = x, true; }) != OK) return ERROR;
    if (t->suspendRequested.exchange(false) && claim(t, WAKE_SUSPENDED)) finish(w, t, WAKE_GRANTED);
    preempt(w);
    return OK;
}

STATUS taskPriorityGet(TASK_ID tid, int* priority) {
    return onTask(tid, false, [&](World&, Tcb* t) { return priority && (*priority = t->priority, true); });
}

STATUS taskPrioritySet(TASK_ID tid, int priority) {
    PreemptOnReturn preempted{W()};
    return onTask(tid, false, [&](World& w, Tcb* t) {
        if (priority < 0 || priority > 255) return false;
        t->priority = priority;
        if (w.rtPriorities.load()) applyPriority(w, t);
        return true;
    });
}

// Recorded only: the host scheduler places the thread.
STATUS taskCpuAffinitySet(TASK_ID tid, uint32_t cpuMask) {
    return onTask(tid, true, [&](World&, Tcb* t) { return t->affinity = cpuMask, true; });
}

STATUS taskCpuAffinityGet(TASK_ID tid, uint32_t* cpuMask) {
    return onTask(tid, false, [&](World&, Tcb* t) { return cpuMask && (*cpuMask = t->affinity, true); });
}

TASK_ID taskIdSelf() {
    return reinterpret_cast<TASK_ID>(self());
}

STATUS taskIdVerify(TASK_ID tid) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    auto it = w.tasks.find(tid);
    return it != w.tasks.end() && !it->second->exited ? OK : ERROR;
}

const char* taskName(TASK_ID tid) {
    World& w = W();
    Tcb* me = tid ? nullptr : self();
    std::lock_guard<std::mutex> g(w.reg);
    Tcb* t = findTask(w, tid, me);
    return t ? t->name.c_str() : nullptr;
}

TASK_ID taskNameToId(const char* name) {
    World& w = W();
    std::lock_guard<std::mutex> g(w.reg);
    if (!name) return TASK_ID_NULL;
    for (auto& [id, t] : w.tasks)
        if (!t->exited && t->name == name) return id;
    errno = ENOENT;
    return TASK_ID_NULL;
}
