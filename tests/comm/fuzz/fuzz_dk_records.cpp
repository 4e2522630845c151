// Fuzz target: arbitrary datagrams as DK records for this unit's FIFOs (the first number of a
// fresh table, 0x00000001, names a queue-mode FIFO of 16-byte slots).
#include <cstddef>
#include <cstdint>

#include "comm/bc2/bc2.h"
#include "comm/dynkomm/dynkomm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DynkommFifo* fifo = [] {
        dynkomm_ini();
        DynkommFifo* f = dynkomm_fifo_alloc(4, 16);
        f->flags = DK_FLAG_QUEUE;
        dynkomm_fifo_register(f);
        return f;
    }();
    bc2_dk_datagram(data, size);
    uint8_t entry[16];
    while (dynkomm_read_copy(fifo, entry)) {
    }
    return 0;
}
