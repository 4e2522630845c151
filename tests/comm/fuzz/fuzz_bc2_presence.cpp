// Fuzz target: arbitrary datagrams as presence packets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "comm/bc2/bc2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bc2Presence p;
    const bool taken = bc2_parse_presence(data, size, &p);
    // A taken packet names a PID a 64-bit set can hold and was long enough to carry a counter.
    if (taken && (p.pid > 63 || size < BC2_PRESENCE_MIN)) std::abort();
    if (taken && size < 57 && (p.version != 512 || p.offset != 0)) std::abort();
    return 0;
}
