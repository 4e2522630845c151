// Fuzz target: arbitrary bytes as the dataset list of the data page (the first two bytes of
// each 8 give the board channels too), every output 0 to 4 of every accepted dataset measured
// for a pass of each raster, the adjustment cycle run, then ended. Nothing may read outside the page or leak.
#include "acquisition/awm/awm_private.h"
#include "calibration/memory/seram.h"
#include "platform/hw/board_sim.h"
#include "vyn/vartable.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool board = (hwsim::installBoard(), true);
    (void)board;
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
    for (uint16_t r = 0; r < AWM_RASTERS; ++r)
        awm_sched_call(r, 10);
    for (int i = 0; i < 16; ++i) // a request held long enough to sample and adjust
        awm_man_adjust();
    for (void* m : started)
        awm_man_AWM_shutdownMeasure(m);
    awm_man_reset();
    return 0;
}
