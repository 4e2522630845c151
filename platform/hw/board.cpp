#include "platform/hw/hw_sim.h"
#include "platform/hw/zynq_map.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

namespace hwsim {

namespace {

// One window per block for the life of the process: mappings handed out before a
// removal or a new boot stay valid.
volatile uint32_t* windows[std::size(zynq::BOARD_BLOCKS)];
std::mutex windowsMutex;

} // namespace

void installBoard() {
    std::lock_guard<std::mutex> g(windowsMutex);
    for (size_t i = 0; i < std::size(zynq::BOARD_BLOCKS); ++i) {
        const zynq::Block& b = zynq::BOARD_BLOCKS[i];
        if (!windows[i])
            windows[i] = static_cast<volatile uint32_t*>(std::calloc(b.size / 4, 4));
        else
            std::memset(const_cast<uint32_t*>(windows[i]), 0, b.size); // registers come out of reset
        addDevice(b.base, b.size, nullptr, nullptr, windows[i]);
    }
}

bool removeBoardDevice(uintptr_t base) {
    for (const zynq::Block& b : zynq::BOARD_BLOCKS) {
        if (b.base == base) {
            removeDevice(base);
            return true;
        }
    }
    return false;
}

} // namespace hwsim
