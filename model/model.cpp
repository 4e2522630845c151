// The model wrapper: finds the partitions through the manager's symbol table, initialises them,
// registers their tables of internal signals and runs their steps in the raster tasks.
#include "model/model.h"
#include "model/partition.h"

#include "acquisition/awm/awm_man.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<const codegen_hook_t*> partitions[CODEGEN_PARTITIONS];

uint8_t noInit() {
    return 1;
}

int stepSlot(int rate) {
    if (rate >= 0 && rate < 10) return rate;
    return rate == CODEGEN_LAP_RATE ? 10 : -1;
}

} // namespace

// Partition 3 carries nothing in this build; the wrapper expects all three.
const codegen_hook_t codegen_hookPartition_P3{noInit, nullptr, {}, nullptr};

uint8_t simulink_initialize() {
    const codegen_hook_t* found[CODEGEN_PARTITIONS] = {};
    for (int p = 1; p <= CODEGEN_PARTITIONS; ++p) {
        char name[40];
        std::snprintf(name, sizeof name, "codegen_hookPartition_P%d", p);
        const auto* hook = reinterpret_cast<const codegen_hook_t*>(AppMan_getSymbolTableValue(name));
        if (!hook || !hook->init || hook->init() != 1) {
            syslogx(LOG_ERR, "codegen_wrapperInit(): Init failed for Partition %d", p);
            return 0;
        }
        if (hook->vmeasTable && !convRegisterVirtualMeasTable(static_cast<uint32_t>(p), hook->vmeasTable()))
            syslogx(LOG_ERR,
                    "convRegisterVirtualMeasTable(): Registering virtual conversion table failed for "
                    "partition %d",
                    p);
        found[p - 1] = hook;
    }
    for (const codegen_hook_t* hook : found)
        if (hook->eventInit) hook->eventInit();
    for (int p = 0; p < CODEGEN_PARTITIONS; ++p)
        partitions[p] = found[p];
    for (int rate : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, CODEGEN_LAP_RATE}) {
        callSimulinkFunc(rate, 0);
        callSimulinkFunc(rate, 1);
    }
    return 1;
}

// The steps share the lap function's parameters, results and records with the channel
// functions' call lists, which run in the soft scheduler: under its semaphore.
void callSimulinkFunc(int rate, int call) {
    const int slot = stepSlot(rate);
    if (slot < 0 || (call != 0 && call != 1)) return;
    awm_sched_lock();
    for (const auto& p : partitions)
        if (const codegen_hook_t* hook = p.load(); hook && hook->step[slot]) hook->step[slot](call);
    awm_sched_unlock();
}

void model_reset() {
    for (auto& p : partitions)
        p = nullptr;
    lapmodel_reset();
    fuelmodel_reset();
}
