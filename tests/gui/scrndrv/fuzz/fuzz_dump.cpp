// Fuzz target: arbitrary bytes as a dump file (read, then drawn) and as a dump in memory.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "gui/scrndrv/scrndrv_private.h"

namespace {

std::vector<uint32_t> gArea(static_cast<size_t>(SCRNDRV_APP_WIDTH) * SCRNDRV_APP_HEIGHT);

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<uint8_t> copy(data, data + size); // fmemopen and the record want writable memory
    if (FILE* f = size ? fmemopen(copy.data(), copy.size(), "rb") : nullptr) {
        scrn_dump_t d{};
        if (scrndrvReadDumpStream(f, "fuzz", &d) == 0 &&
            scrndrvDecode(&d, gArea.data(), SCRNDRV_APP_WIDTH) != 0)
            __builtin_trap(); // a dump that was read must draw
        scrndrvFreeDump(&d);
        std::fclose(f);
    }
    char* start = reinterpret_cast<char*>(copy.data());
    scrn_dump_t m{};
    if (scrndrvInitDumpByMem(&m, start, start + copy.size()) &&
        scrndrvDecode(&m, gArea.data(), SCRNDRV_APP_WIDTH) != 0)
        __builtin_trap(); // an accepted block must draw
    return 0;
}
