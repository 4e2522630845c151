// Fuzz target: arbitrary bytes as the dataset list of the data page (the first two bytes of
// each 8 give the board channels too), every output 0 to 4 of every accepted dataset measured
// for passes of each raster with values from the data delivered to every input and then lost,
// the adjustment cycle run, then ended. Nothing may read outside the page or leak.
#include "acquisition/awm/awm_private.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "vyn/vartable.h"

#include <set>
#include <vector>

namespace {
std::set<awm_input_buf*> inputs; // the lists started, by their buffers
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool board = (hwsim::installBoard(), true);
    (void)board;
    inputs.clear();
    awm_gw_setStandIn([](const uint8_t* ref, awm_input_buf* b, uint16_t) {
        if (ref)
            inputs.insert(b);
        else
            inputs.erase(b);
    });
    seram_reset();
    const size_t n = size < 32767 ? size : 32767;
    std::memcpy(seram_memory + VTADDR_CfgMat_VC_config, data, n);
    for (size_t i = 0; i < 256 && 8 * i + 1 < size; ++i)
        std::memcpy(seram_memory + VTADDR_CfgMat_Board_Channel + 2 * i, data + 8 * i, 2);
    awm_man_ini();
    std::vector<void*> started;
    for (uint16_t idx = 0; idx < AWM_VC_MAX; ++idx)
        if (awm_man_get_cfg_by_chan(idx)->dataset)
            for (uint8_t out = 0; out < 5; ++out) {
                void* addr;
                if (void* m = awm_man_AWM_setupMeasure(awm_vc_id(idx, out), out, &addr)) started.push_back(m);
            }
    // Every started input gets words of the data as values, then loses its list.
    size_t at = 0;
    for (int pass = 0; pass < 3; ++pass) {
        for (awm_input_buf* b : inputs) {
            uint32_t w = 0;
            for (int i = 0; i < 4 && size; ++i, at = (at + 1) % size)
                w = w << 8 | data[at];
            if (pass < 2)
                awm_gw_deliver(b, w);
            else
                awm_gw_lapse(b);
        }
        for (uint16_t r = 0; r < AWM_RASTERS; ++r)
            awm_sched_call(r, 10 + 100u * static_cast<uint32_t>(pass));
    }
    for (int i = 0; i < 16; ++i) // a request held long enough to sample and adjust
        awm_man_adjust();
    for (void* m : started)
        awm_man_AWM_shutdownMeasure(m);
    awm_man_reset();
    return 0;
}
