// Fuzz target: arbitrary bytes as a dump in memory, as the boot logo comes from the manager.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "gui/scrndrv/scrndrv_private.h"

namespace {

std::vector<uint32_t> gArea(static_cast<size_t>(SCRNDRV_APP_WIDTH) * SCRNDRV_APP_HEIGHT);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size); // the record points into writable memory
    char* start = reinterpret_cast<char*>(copy.data());
    scrn_dump_t m{};
    if (scrndrvInitDumpByMem(&m, start, start + copy.size()) &&
        scrndrvDecode(&m, gArea.data(), SCRNDRV_APP_WIDTH) != 0)
        __builtin_trap(); // an accepted block must draw
    return 0;
}
