// Fuel consumption (channel-function type 0x0A): the frame around the model partition's fuel
// bookkeeping. It turns its dataset into the model's parameters, hands the model its inputs
// through the getters, keeps fuel total and consumption in the non-volatile store and publishes
// the model's results.
#pragma once

#include <cstdint>

// ---- the model's parameters (set by the type, read by the model) ---------------------------
extern float ADAPTION_FACTOR, CORRECTION_FACTOR, TANK_CAPACITY, TARGET_LAP_CONS, FUELTOTAL_INIT,
    FUELCONS_INIT;
extern uint8_t FUEL_INPUT_MODE, FUEL_RESET_MODE, LAP_REMAINING_MODE, FC_SIG_ACT_LVL;
// Command flags of the active page, read every cycle.
extern uint8_t MACRO_FUELTOTAL_SET, MACRO_FUELCONS_SET;
// Fuel total and consumption inside the non-volatile record; null without instance.
extern float *fueltotal_def, *fuelcons_def;

// ---- the model's results ------------------------------------------------------------------
extern float fuellap, fuellapold, fuelrem, laprem;

// The model's inputs: the reset level, the fuel input and the lap trigger (taken).
uint8_t awm_0x0A_fuelcons_getReset();
float awm_0x0A_fuelcons_getFuel();
uint8_t awm_0x0A_fuelcons_getLaptrigger();
// A lap event or update of the laptrigger master: the model counts a lap at its next step.
// Returns the fuel of the current lap (0.0 without instance).
float awm_0x0A_fuelcons_setLaptrigger();

// 0 without instance; else 1 and the published value into *out (when not null).
uint8_t fuelconsGet_FuelLap(float* out);
uint8_t fuelconsGet_FuelLapOld(float* out);
uint8_t fuelconsGet_FuelRem(float* out);
uint8_t fuelconsGet_FuelTotal(float* out);
