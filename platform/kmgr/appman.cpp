#include "platform/kmgr/appman.h"

#include "platform/kmgr/kmgr_sim.h"
#include "platform/os/os.h"
#include "platform/os/pi_mutex.h"
#include "platform/os/sim.h"
#include "platform/settings/settings.h"
#include "platform/sysproc/sysproc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unistd.h>

namespace kmgr {

namespace {

constexpr intptr_t FAIL = -1;

struct Watchdog {
    WatchdogStatus st;
    bool starvePending = false;
    bool disarmed = false;
    bool exitMode = false;
    uint32_t timeoutMs = 1000;
    unsigned rtpIndex = 0;
};

struct AppMan {
    PiMutex m;
    std::map<std::string, uintptr_t> symbols;
    std::string epk;
    uint64_t epkCount = 0;
    std::vector<SettingCall> settings;
    std::map<int, InterruptConnection> interrupts;
    Watchdog wd;
    WatchdogReaction reaction;
    bool tickHook = false;
};

AppMan& A() {
    static AppMan* a = new AppMan; // reached from the clock thread until the process ends
    return *a;
}

void defaultReaction(const std::string& line, bool exitProcess) {
    sysproc::platformLog(147, "KVX2_KMGR", "watchdog", line);
    if (exitProcess) {
        std::fflush(nullptr);
        _exit(WATCHDOG_EXIT_CODE); // as a reset: no destructors, tasks vanish with the process
    }
}

intptr_t compatCheck(const intptr_t* a) {
    return static_cast<uint32_t>(a[1]) == KCALL_APPMAN_ID ? 0 : FAIL;
}

intptr_t watchdogRequest(intptr_t req, const intptr_t* a) {
    auto list = reinterpret_cast<uint32_t* const*>(a[5]);
    if (a[4] < 1 || !list || !list[0]) return FAIL;
    uint32_t pattern = *list[0];
    AppMan& m = A();
    std::lock_guard<PiMutex> g(m.m);
    Watchdog& w = m.wd;
    w.rtpIndex = static_cast<unsigned>(a[0]);
    w.st.lastPattern = pattern;
    if (req == APPMAN_REQ_WDOG_FEED) {
        w.st.feeds++;
        if (w.st.shutdown) return 0;
        w.st.armed = true;
        w.st.expired = false;
        w.st.lastFeedTick = sim::ticks();
    } else if (req == APPMAN_REQ_WDOG_STARVE) {
        w.st.starves++;
        if (w.st.armed && !w.st.shutdown) w.starvePending = true;
    } else {
        w.st.shutdowns++;
        w.st.shutdown = true;
        w.starvePending = false;
    }
    return 0;
}

intptr_t appManRequest(const intptr_t* a) {
    if (static_cast<uint32_t>(a[1]) != KCALL_APPMAN_ID) return FAIL;
    switch (a[2]) {
    case APPMAN_REQ_READ_PARAM: { // a[3] status byte, a[5] list with the block's address
        auto* status = reinterpret_cast<uint8_t*>(a[3]);
        auto list = reinterpret_cast<uint8_t* const*>(a[5]);
        if (!status || a[4] < 1 || !list || !list[0]) return FAIL;
        fillAppParam(reinterpret_cast<AppParam*>(list[0]));
        *status = 1;
        return 0;
    }
    case APPMAN_REQ_WDOG_FEED:
    case APPMAN_REQ_WDOG_STARVE:
    case APPMAN_REQ_WDOG_SHUTDOWN:
        return watchdogRequest(a[2], a);
    case APPMAN_REQ_SYMBOL: { // a[3] result word, a[5] list with the name
        auto* result = reinterpret_cast<uintptr_t*>(a[3]);
        auto list = reinterpret_cast<const char* const*>(a[5]);
        if (!result || a[4] < 1 || !list || !list[0]) return FAIL;
        std::string name(list[0], strnlen(list[0], 256));
        AppMan& m = A();
        std::lock_guard<PiMutex> g(m.m);
        auto it = m.symbols.find(name);
        if (it == m.symbols.end()) return FAIL;
        *result = it->second;
        return 0;
    }
    default:
        return FAIL;
    }
}

intptr_t epkForward(const intptr_t* a) {
    const char* text = reinterpret_cast<const char*>(a[1]);
    if (!text) return FAIL;
    AppMan& m = A();
    std::lock_guard<PiMutex> g(m.m);
    m.epk.assign(text, strnlen(text, KCALL_EPK_MAX));
    m.epkCount++;
    return 0;
}

intptr_t settingCall(const intptr_t* a) {
    AppMan& m = A();
    std::lock_guard<PiMutex> g(m.m);
    m.settings.push_back({static_cast<uint32_t>(a[1]), static_cast<uint32_t>(a[2])});
    return 0;
}

intptr_t interruptConnect(const intptr_t* a) {
    const char* name = reinterpret_cast<const char*>(a[1]);
    if (!name || !*name) return FAIL;
    InterruptConnection c;
    c.queue.assign(name, strnlen(name, 255));
    for (int i = 0; i < 4; ++i)
        c.words[i] = a[3 + i];
    AppMan& m = A();
    std::lock_guard<PiMutex> g(m.m);
    m.interrupts[static_cast<int>(a[2])] = c;
    return 0;
}

} // namespace

void fillAppParam(AppParam* p) {
    const platform::Settings& s = platform::settings();
    std::memset(p, 0, sizeof *p);
    p->pid = s.pid;
    p->coreAffinity = s.coreAffinity;
    p->baseBootCounter = s.baseBootCounter;
    p->ipv4Addr = s.ipv4;
    p->ipv4Mask = s.mask;
    p->xcpPort = s.xcpPort;
    p->bc2PortOffset = s.bc2PortOffset;
    p->ccpEnable = s.ccpEnable;
    // The settings keep the texts within their fields; cut anyway so the NUL always fits.
    std::memcpy(p->homeDir, s.homeDir.data(), std::min(s.homeDir.size(), sizeof p->homeDir - 1));
    std::memcpy(p->nvRamDir, s.nvramDir.data(), std::min(s.nvramDir.size(), sizeof p->nvRamDir - 1));
    // The block has room for the first two PIDs of the list; a 0 ends a shorter one.
    for (size_t i = 0; i < sizeof p->allPids && i < s.allPids.size(); ++i)
        p->allPids[i] = s.allPids[i];
}

void installAppManager() {
    const platform::Settings& s = platform::settings();
    AppMan& m = A();
    bool hook;
    {
        std::lock_guard<PiMutex> g(m.m);
        m.epk.clear();
        m.epkCount = 0;
        m.settings.clear();
        m.interrupts.clear();
        m.wd = Watchdog{};
        m.wd.exitMode = s.watchdogExit;
        m.wd.timeoutMs = s.watchdogTimeoutMs;
        hook = !m.tickHook;
        m.tickHook = true;
    }
    setHandler(KCALL_COMPAT_CHECK, compatCheck);
    setHandler(KCALL_APPMAN, appManRequest);
    setHandler(KCALL_EPK_FORWARD, epkForward);
    setHandler(KCALL_SETTING, settingCall);
    setHandler(KCALL_INTR_CONNECT, interruptConnect);
    installShellAndRtc();
    if (hook) sim::addTickHook(watchdogCheck);
}

void registerSymbol(const std::string& name, uintptr_t value) {
    std::lock_guard<PiMutex> g(A().m);
    A().symbols[name] = value;
}

void unregisterSymbol(const std::string& name) {
    std::lock_guard<PiMutex> g(A().m);
    A().symbols.erase(name);
}

std::string forwardedEpk() {
    std::lock_guard<PiMutex> g(A().m);
    return A().epk;
}

uint64_t epkForwardCount() {
    std::lock_guard<PiMutex> g(A().m);
    return A().epkCount;
}

std::vector<SettingCall> informedSettings() {
    std::lock_guard<PiMutex> g(A().m);
    return A().settings;
}

bool interruptConnection(int irq, InterruptConnection* out) {
    std::lock_guard<PiMutex> g(A().m);
    auto it = A().interrupts.find(irq);
    if (it == A().interrupts.end()) return false;
    if (out) *out = it->second;
    return true;
}

bool raiseInterrupt(int irq, const void* msg, size_t len) {
    InterruptConnection c;
    if (!interruptConnection(irq, &c)) return false;
    MSG_Q_ID q = msgQOpen(c.queue.c_str(), 0, 0, 0, 0);
    return q && msgQSend(q, msg, len, NO_WAIT, MSG_PRI_NORMAL) == OK;
}

WatchdogStatus watchdogStatus() {
    std::lock_guard<PiMutex> g(A().m);
    return A().wd.st;
}

void setWatchdogReaction(WatchdogReaction r) {
    std::lock_guard<PiMutex> g(A().m);
    A().reaction = std::move(r);
}

void watchdogCheck(uint64_t tick) {
    AppMan& m = A();
    std::string line;
    bool exitProcess;
    WatchdogReaction reaction;
    {
        std::lock_guard<PiMutex> g(m.m);
        Watchdog& w = m.wd;
        if (!w.st.armed || w.st.shutdown || w.disarmed) return;
        char buf[160];
        if (w.starvePending) {
            w.starvePending = false;
            std::snprintf(buf, sizeof buf, "application watchdog of RTP %u starved", w.rtpIndex);
        } else if (!w.st.expired && tick - w.st.lastFeedTick > w.timeoutMs) {
            std::snprintf(buf, sizeof buf, "application watchdog of RTP %u not fed for %llu ms", w.rtpIndex,
                          static_cast<unsigned long long>(tick - w.st.lastFeedTick));
        } else {
            return;
        }
        w.st.expired = true;
        w.st.expiries++;
        exitProcess = w.exitMode;
        line = std::string(buf) + (exitProcess ? ", resetting the process" : "");
        reaction = m.reaction;
    }
    if (reaction)
        reaction(line, exitProcess);
    else
        defaultReaction(line, exitProcess);
}

void watchdogDisarm() {
    std::lock_guard<PiMutex> g(A().m);
    A().wd.disarmed = true;
}

} // namespace kmgr
