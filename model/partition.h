// The hook of a model partition: what the platform's symbol table gives under
// "codegen_hookPartition_P<n>" (n = 1 to 3) and the model wrapper calls.
#pragma once

#include "calibration/conv/conv.h"

#include <cstdint>

constexpr int CODEGEN_PARTITIONS = 3;
// Step slots: rate index 0 to 9, then the lap rate (16).
constexpr int CODEGEN_STEPS = 11;
constexpr int CODEGEN_LAP_RATE = 16;

struct codegen_hook_t {
    uint8_t (*init)();                     // 1 when initialised
    void (*eventInit)();                   // after every partition's init
    void (*step[CODEGEN_STEPS])(int call); // call 0 or 1 of the rate; null: none
    convTable_t* (*vmeasTable)();          // internal signals for tools; null: none
};

// The partitions of this build (the platform registers them in the manager's symbol table).
extern const codegen_hook_t codegen_hookPartition_P1, codegen_hookPartition_P2, codegen_hookPartition_P3;

// Partition 1, the lap timing, in its own file: forgets its state (tests).
void lapmodel_reset();
// Partition 2, the fuel bookkeeping, in its own file: forgets its state (tests).
void fuelmodel_reset();
