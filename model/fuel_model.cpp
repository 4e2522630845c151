// Partition 2, the fuel bookkeeping: a small model of our own over the fuel consumption's
// parameters and inputs (acquisition/awm/fuelcons.h), stepped every 100 ms.
// - Consumed in a step: FUEL_INPUT_MODE 0 takes the fuel input as a flow per hour, 1 as a
//   quantity counting up (a decrease is a counter restart, not fuel); other modes consume
//   nothing. Scaled by ADAPTION_FACTOR and CORRECTION_FACTOR where they are set (above 0).
// - It adds to the fuel of the lap, the consumption and the total.
// - A lap trigger closes the lap: its fuel becomes the last lap's.
// - The consumption starts again at 0 (refuelled) when the reset level turns active or while
//   MACRO_FUELCONS_SET is set; the total while MACRO_FUELTOTAL_SET is set.
// - Remaining fuel = TANK_CAPACITY - consumption; remaining laps = remaining fuel over the last
//   lap's fuel (LAP_REMAINING_MODE 0) or TARGET_LAP_CONS (other modes), 0 without either.
#include "model/partition.h"

#include "acquisition/awm/fuelcons.h"

#include <cmath>

namespace {

constexpr float STEP_H = 0.1f / 3600.0f;

struct Model {
    uint8_t lastReset = 0xFF;
    bool counterSeen = false;
    float lastCounter = 0.0f;
};
Model m;

float factor(float f) {
    return f > 0.0f ? f : 1.0f;
}

float consumed() {
    const float in = awm_0x0A_fuelcons_getFuel();
    float d = 0.0f;
    if (FUEL_INPUT_MODE == 0) {
        d = in > 0.0f ? in * STEP_H : 0.0f;
    } else if (FUEL_INPUT_MODE == 1) {
        if (m.counterSeen && in > m.lastCounter) d = in - m.lastCounter;
        m.counterSeen = true;
        m.lastCounter = in;
    }
    return d * factor(ADAPTION_FACTOR) * factor(CORRECTION_FACTOR);
}

void step100ms(int call) {
    if (call != 0 || !fuelcons_def || !fueltotal_def) return;
    const uint8_t level = awm_0x0A_fuelcons_getReset();
    const bool refuelled = m.lastReset != 0xFF && level != m.lastReset && level == FC_SIG_ACT_LVL;
    m.lastReset = level;
    const float d = consumed();
    fuellap += d;
    *fuelcons_def += d;
    *fueltotal_def += d;
    if (awm_0x0A_fuelcons_getLaptrigger()) {
        fuellapold = fuellap;
        fuellap = 0.0f;
    }
    if (refuelled || MACRO_FUELCONS_SET) *fuelcons_def = 0.0f;
    if (MACRO_FUELTOTAL_SET) *fueltotal_def = 0.0f;
    fuelrem = TANK_CAPACITY - *fuelcons_def;
    const float perLap = LAP_REMAINING_MODE == 0 ? fuellapold : TARGET_LAP_CONS;
    laprem = perLap > 0.0f && fuelrem > 0.0f ? fuelrem / perLap : 0.0f;
}

uint8_t init() {
    m = Model{};
    return 1;
}

} // namespace

const codegen_hook_t codegen_hookPartition_P2{
    init,
    nullptr,
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, step100ms, nullptr, nullptr, nullptr, nullptr},
    nullptr};

void fuelmodel_reset() {
    m = Model{};
}
