#include "platform/hw/hw.h"
#include "platform/hw/hw_sim.h"
#include "platform/os/os.h"
#include "platform/os/pi_mutex.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct Device {
    size_t size;
    hwsim::ReadFn read;
    hwsim::WriteFn write;
    volatile uint32_t* window;
};

struct Bus {
    PiMutex m;
    std::map<uintptr_t, Device> devices;
};

// The processor's 64-bit global timer counts at 1/3 GHz: one count per 3 ns.
constexpr uintptr_t GTIMER_BASE = 0xF8F00200;

Bus& bus() {
    static Bus* b = [] {
        auto* nb = new Bus;
        nb->devices[GTIMER_BASE] =
            Device{8,
                   [](uintptr_t off) -> uint32_t {
                       uint64_t count = osHwTimeNs() / 3;
                       return off == 0 ? static_cast<uint32_t>(count) : static_cast<uint32_t>(count >> 32);
                   },
                   nullptr, nullptr};
        return nb;
    }();
    return *b;
}

const Device* find(uintptr_t addr, uintptr_t* base) {
    Bus& b = bus();
    auto it = b.devices.upper_bound(addr);
    if (it == b.devices.begin()) return nullptr;
    --it;
    if (addr >= it->first + it->second.size) return nullptr;
    *base = it->first;
    return &it->second;
}

// A window without functions is a register file that the board's clock and setters change from
// other threads: each word moves in one atomic access, as the bus moves it on the chip.
uint32_t* word(const Device* d, uintptr_t offset) {
    return const_cast<uint32_t*>(d->window) + offset / 4;
}

} // namespace

volatile uint32_t* hw_map(uintptr_t physAddr, size_t size) {
    std::lock_guard<PiMutex> g(bus().m);
    uintptr_t base;
    const Device* d = find(physAddr, &base);
    if (!d || !d->window || physAddr + size > base + d->size) return nullptr;
    return d->window + (physAddr - base) / 4;
}

uint32_t hw_read32(uintptr_t physAddr) {
    hwsim::ReadFn fn;
    uintptr_t base = 0;
    {
        std::lock_guard<PiMutex> g(bus().m);
        const Device* d = find(physAddr, &base);
        if (!d) return 0xFFFFFFFFu; // nothing on the bus
        if (!d->read) return d->window ? __atomic_load_n(word(d, physAddr - base), __ATOMIC_RELAXED) : 0;
        fn = d->read;
    }
    return fn(physAddr - base);
}

void hw_write32(uintptr_t physAddr, uint32_t value) {
    hwsim::WriteFn fn;
    uintptr_t base = 0;
    {
        std::lock_guard<PiMutex> g(bus().m);
        const Device* d = find(physAddr, &base);
        if (!d) return;
        if (!d->write) {
            if (d->window) __atomic_store_n(word(d, physAddr - base), value, __ATOMIC_RELAXED);
            return;
        }
        fn = d->write;
    }
    fn(physAddr - base, value);
}

namespace hwsim {

void addDevice(uintptr_t base, size_t size, ReadFn read, WriteFn write, volatile uint32_t* window) {
    std::lock_guard<PiMutex> g(bus().m);
    bus().devices[base] = Device{size, std::move(read), std::move(write), window};
}

volatile uint32_t* addMemory(uintptr_t base, size_t size) {
    auto* mem = static_cast<volatile uint32_t*>(std::calloc((size + 3) / 4, 4));
    addDevice(base, size, nullptr, nullptr, mem);
    return mem;
}

void removeDevice(uintptr_t base) {
    std::lock_guard<PiMutex> g(bus().m);
    bus().devices.erase(base);
}

} // namespace hwsim
