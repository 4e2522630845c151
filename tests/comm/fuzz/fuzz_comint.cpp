// Fuzz target: arbitrary bytes served as command messages for this unit (routing commands,
// generic replies with their context words, path requests and closes).
#include <cstddef>
#include <cstdint>

#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/routing/routing.h"
#include "comm/sernet/sernet.h"
#include "services/rtpman/rtpman.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int ready =
        (routing_ini(), comint_ini(), dynkomm_ini(), SerNet_man_ini(),
         comint_setHandler(0x0300, SerNet_man_openpath), comint_setHandler(0x0301, SerNet_man_closepath), 0);
    (void)ready;
    ci_serve_command(data, size);
    // The FIFOs made by path requests go with each input.
    if (dynkomm_counters().inUse) {
        SerNet_man_reset();
        dynkomm_reset();
        dynkomm_ini();
    }
    return 0;
}
