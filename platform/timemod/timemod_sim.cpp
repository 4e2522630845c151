#include "platform/timemod/timemod_sim.h"

#include "platform/hw/hw_sim.h"
#include "platform/hw/zynq_map.h"
#include "platform/kmgr/appman.h"
#include "platform/os/os.h"
#include "platform/os/pi_mutex.h"
#include "platform/os/sim.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace timemodsim {

namespace {

constexpr uint64_t UNIT_NS = 100000; // one timestamp count
constexpr uint64_t GAP_NS = GAP_PERIOD * UNIT_NS;
constexpr size_t MAX_PENDING_IRQS = 16;

constexpr uint32_t CTRL_MASTER = 1u << 1;
constexpr uint32_t CTRL_RUN = 1u << 2;
constexpr uint32_t IRQ_ENABLE = 1u << 1;
constexpr uint32_t STATUS_SYNCED = 3u | 1u << 16 | 15u << 4 | 63u << 20; // full sync, signal, best qualities
constexpr uint32_t STATUS_NO_SIGNAL = 1u;

struct Module {
    PiMutex m;
    uint32_t id = ID;
    uint32_t version = DEFAULT_VERSION;
    bool statusFixed = false;
    uint32_t status = 0;
    uint32_t errorCounters = 0;
    uint32_t control = 0;
    uint32_t irqEnable = 0;
    uint32_t nextGapWritten = 0;
    bool gapPending = false;
    // While running: the timestamp was tsBase at clock tsBaseNs; gaps counted from runStartNs.
    uint64_t runStartNs = 0;
    uint32_t tsBase = 0;
    uint64_t tsBaseNs = 0;
    uint64_t gapsDone = 0;
    bool applied = false;
    uint64_t lastAppliedGap = 0;
    std::vector<uint32_t> pendingIrqs;
    bool hooked = false;
};

Module& M() {
    static Module* m = new Module; // the clock thread reaches it until the process ends
    return *m;
}

std::atomic<uint64_t> delivered{0};
std::atomic<uint64_t> lost{0};

bool running(const Module& s) {
    return s.control & CTRL_RUN;
}

uint32_t tsAt(const Module& s, uint64_t ns) {
    return s.tsBase + static_cast<uint32_t>((ns > s.tsBaseNs ? ns - s.tsBaseNs : 0) / UNIT_NS);
}

void start(Module& s, uint64_t now) {
    s.runStartNs = now;
    s.tsBase = 0;
    s.tsBaseNs = now;
    s.gapsDone = 0;
    s.gapPending = false;
    s.applied = false;
}

// Brings the module up to `now`: every gap passed since the last look.
void advance(Module& s, uint64_t now) {
    if (!running(s) || now < s.runStartNs) return;
    const uint64_t gaps = (now - s.runStartNs) / GAP_NS;
    while (s.gapsDone < gaps) {
        ++s.gapsDone;
        const uint64_t at = s.runStartNs + s.gapsDone * GAP_NS;
        if (s.gapPending) {
            s.tsBase = s.nextGapWritten;
            s.tsBaseNs = at;
            s.gapPending = false;
            s.applied = true;
            s.lastAppliedGap = s.gapsDone;
        }
        if ((s.irqEnable & IRQ_ENABLE) && s.pendingIrqs.size() < MAX_PENDING_IRQS)
            s.pendingIrqs.push_back(tsAt(s, at));
    }
}

uint32_t statusNow(const Module& s) {
    if (s.statusFixed) return s.status;
    if (!running(s)) return 0;
    const bool synced = (s.control & CTRL_MASTER) || (s.applied && s.gapsDone - s.lastAppliedGap < 3);
    return synced ? STATUS_SYNCED : STATUS_NO_SIGNAL;
}

uint32_t readReg(uintptr_t off) {
    Module& s = M();
    std::lock_guard<PiMutex> g(s.m);
    const uint64_t now = osHwTimeNs();
    advance(s, now);
    const bool run = running(s);
    switch (off) {
    case 0x00:
        return s.id;
    case 0x04:
        return s.version;
    case 0x08:
        return statusNow(s);
    case 0x0C:
        return s.errorCounters;
    case 0x10:
    case 0x14:
        return run ? tsAt(s, now) : 0;
    case 0x18:
        return run ? static_cast<uint32_t>((now - s.runStartNs) / UNIT_NS) : 0;
    case 0x1C:
        return static_cast<uint32_t>(now / 20);
    case 0x20:
        return run ? tsAt(s, s.runStartNs + (s.gapsDone + 1) * GAP_NS) : 0;
    case 0x24:
        return s.control;
    case 0x2C:
        return s.nextGapWritten;
    case 0x34:
        return s.irqEnable;
    default:
        return 0;
    }
}

void writeReg(uintptr_t off, uint32_t v) {
    Module& s = M();
    std::lock_guard<PiMutex> g(s.m);
    const uint64_t now = osHwTimeNs();
    advance(s, now);
    switch (off) {
    case 0x24: {
        const bool was = running(s);
        s.control = v;
        if (!was && running(s)) start(s, now);
        if (was && !running(s)) s.pendingIrqs.clear();
        break;
    }
    case 0x2C:
        s.nextGapWritten = v;
        s.gapPending = true;
        break;
    case 0x34:
        s.irqEnable = v;
        break;
    default: // 0x38 acknowledge: the simulated line needs no clearing; the rest is read-only
        break;
    }
}

void onTick(uint64_t) {
    std::vector<uint32_t> irqs;
    {
        Module& s = M();
        std::lock_guard<PiMutex> g(s.m);
        advance(s, osHwTimeNs());
        irqs.swap(s.pendingIrqs);
    }
    for (uint32_t ts : irqs) {
        if (kmgr::raiseInterrupt(INTERRUPT, &ts, sizeof ts))
            delivered++;
        else
            lost++;
    }
}

} // namespace

void install() {
    Module& s = M();
    bool hook;
    {
        std::lock_guard<PiMutex> g(s.m);
        s.id = ID;
        s.version = DEFAULT_VERSION;
        s.statusFixed = false;
        s.status = 0;
        s.errorCounters = 0;
        s.control = CTRL_RUN;
        s.irqEnable = 0;
        s.nextGapWritten = 0;
        s.pendingIrqs.clear();
        start(s, osHwTimeNs());
        hook = !s.hooked;
        s.hooked = true;
    }
    delivered = 0;
    lost = 0;
    hwsim::addDevice(zynq::TIME_BASE, zynq::CORE_SIZE, readReg, writeReg, nullptr);
    if (hook) sim::addTickHook(onTick);
}

void setStatus(uint32_t bits) {
    std::lock_guard<PiMutex> g(M().m);
    M().statusFixed = true;
    M().status = bits;
}

void setErrorCounters(uint32_t word) {
    std::lock_guard<PiMutex> g(M().m);
    M().errorCounters = word;
}

void setIdentity(uint32_t id, uint32_t version) {
    std::lock_guard<PiMutex> g(M().m);
    M().id = id;
    M().version = version;
}

uint64_t interruptsDelivered() {
    return delivered.load();
}
uint64_t interruptsLost() {
    return lost.load();
}

} // namespace timemodsim
