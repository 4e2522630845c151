// Lap, outing and fragment counters of logging, kept across restarts.
//
// Lap, outing and fragment counters of logging. They name the measurement files and survive
// a restart: fragment, outing and lap in non-volatile element 0 (record 0), the absolute lap
// counter in element 261; record 1 of element 0 keeps the absolute lap with its lap and outing,
// so that a loss of power between the writes cannot part the two counters. The state is valid once the
// counters were set for a measurement (at start-up when this unit triggers the laps, else by the laptrigger
// master's answer).
#pragma once

#include <cstddef>
#include <cstdint>

struct LapOutFraState {
    uint16_t lap;
    uint16_t outing;
    uint16_t abs_lap;
    uint16_t fragment;
    uint32_t timestamp; // measurement time of the last change (100 us)
    uint8_t valid;
};

constexpr uint32_t LAPOUTFRA_NV_COUNTERS = 0; // fragment, outing, lap (u16 each, little-endian)
constexpr uint32_t LAPOUTFRA_NV_ABSLAP = 261;
constexpr int LAPOUTFRA_QUERY_WAIT_S = 30;

// Loads the counters (zero when none are stored). 0, or -1 when its semaphore cannot be made.
int LapOutFra_init();
// Copies the state under the semaphore; on a semaphore failure logs and clears the valid flag.
void LapOutFra_getState(LapOutFraState* state);
// Sets lap and outing at measurement start, picks a fragment whose measurement file does not
// exist yet (and, for unchanged lap and outing, one above every fragment handed out before),
// stores the counters and makes the state valid.
void LapOutFra_initLapOutCnt(uint16_t lap, uint16_t outing);
// A lap counted (here or by the laptrigger master): lap and outing set, the absolute lap counter
// counts it, and a new fragment begins.
void LapOutFra_lapTrigger(uint16_t lap, uint16_t outing);
// The laptrigger master answered with its lap and outing counters: recorded, and taken over
// when the state is not valid yet.
void LapOutFra_laptriggerAnswer(uint16_t lap, uint16_t outing);
// Body of "r_ltmAvail": after 30 s without an answer of the laptrigger master raises
// ("SYSTEM", "laptrigger master") and logs, whether or not the counters are valid.
void LapOutFra_queryLapOutCntTask();
// 10 ms check of the external laptrigger initialisation: the lap trigger's exchange with the
// laptrigger master (laptrigger_10ms).
void LapOutFra_checkExtLaptrgInit();
// Registers "lof_set", "lof_laptrig", "lof_outtrig", "lof_fratrig" and "lof_get", stopping
// at the first failure. 0, or -1.
int LapOutFra_cmds_init();

// Name of the measurement file of lap, outing and fragment on a drive ("meas:").
void LapOutFra_fileName(char* out, size_t size, const char* drive, uint16_t lap, uint16_t outing,
                        uint16_t fragment);

// Shell commands. Each prints the resulting state; 0, or -1 for bad arguments.
int lof_set(int argc, char** argv);     // lof_set <lap> <outing>
int lof_get(int argc, char** argv);     // prints the state
int lof_laptrig(int argc, char** argv); // next lap (and absolute lap), new fragment
int lof_outtrig(int argc, char** argv); // next outing, new fragment
int lof_fratrig(int argc, char** argv); // next fragment

// Tests: deletes the semaphore and forgets the state.
void LapOutFra_reset();
