#include "platform/kmgr/kmgr.h"
#include "platform/kmgr/kmgr_sim.h"

#include <map>
#include <mutex>

namespace {

struct Fault {
    intptr_t result;
    int remaining; // -1: for ever
    int pass;      // calls that still run their handler first
};

struct Manager {
    std::mutex m;
    std::map<unsigned, kmgr::Handler> handlers;
    std::map<unsigned, Fault> faults;
    std::map<unsigned, uint64_t> counts;
};

Manager& mgr() {
    static Manager* m = new Manager;
    return *m;
}

} // namespace

intptr_t kmgr_syscall(unsigned number, intptr_t a1, intptr_t a2, intptr_t a3, intptr_t a4, intptr_t a5,
                      intptr_t a6, intptr_t a7, intptr_t a8) {
    const intptr_t args[8] = {a1, a2, a3, a4, a5, a6, a7, a8};
    kmgr::Handler h;
    {
        Manager& m = mgr();
        std::lock_guard<std::mutex> g(m.m);
        m.counts[number]++;
        auto f = m.faults.find(number);
        if (f != m.faults.end() && f->second.pass > 0) {
            --f->second.pass;
        } else if (f != m.faults.end()) {
            intptr_t r = f->second.result;
            if (f->second.remaining > 0 && --f->second.remaining == 0) m.faults.erase(f);
            return r;
        }
        auto it = m.handlers.find(number);
        if (it == m.handlers.end()) return -1; // no such call on this manager
        h = it->second;
    }
    // Handlers run outside the lock: they may block (flush waits) or call back in.
    return h(args);
}

namespace kmgr {

void setHandler(unsigned number, Handler h) {
    Manager& m = mgr();
    std::lock_guard<std::mutex> g(m.m);
    if (h)
        m.handlers[number] = std::move(h);
    else
        m.handlers.erase(number);
}

void injectFault(unsigned number, intptr_t result, int count, int after) {
    Manager& m = mgr();
    std::lock_guard<std::mutex> g(m.m);
    if (count == 0)
        m.faults.erase(number);
    else
        m.faults[number] = Fault{result, count, after};
}

void clearFaults() {
    Manager& m = mgr();
    std::lock_guard<std::mutex> g(m.m);
    m.faults.clear();
}

uint64_t callCount(unsigned number) {
    Manager& m = mgr();
    std::lock_guard<std::mutex> g(m.m);
    auto it = m.counts.find(number);
    return it == m.counts.end() ? 0 : it->second;
}

} // namespace kmgr
