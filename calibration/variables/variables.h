// NV-backed variables: named floats that survive power cycles (the shell's getvar and setvar).
//
// NV-backed variables: up to 32 named floats that survive power cycles. Each lives in one
// record of the non-volatile store and has a measurable copy in the signal page (varData),
// registered by name in the named variables table. The shell's getvar and setvar use them.
#pragma once

#include <cstdint>

constexpr uint32_t VARIABLES_SLOTS = 32;
constexpr uint32_t VARIABLES_NAME_MAX = 31; // characters; the record holds 32 with the NUL

struct variables_nvRecord {
    char name[32]; // empty: no variable
    float value;
    int32_t age; // -1: free slot; else runs since the variable was last registered
};
static_assert(sizeof(variables_nvRecord) == 40);

void variables_ini();
// Creates the variable (value 0.0) when unknown and counts a registration. False for an
// empty name, one longer than 31 characters, or a full table.
bool variables_register(const char* name);
float* variables_getPointer(const char* name);
bool variables_getValue(const char* name, float* value);
// False when unknown or when the store refused the record.
bool variables_write(const char* name, float value);
// Ends a run's registrations: a registered variable's age returns to 0, the others age by
// one, and one unregistered for more than 5 runs is freed (from the next start on).
void variables_registration_complete();
void variables_add2meascalinfo(const char* name, float* valueAddr);

// The shell commands "getvar <variable>" and "setvar <variable> <value>".
int readVariableFunc(int argc, char** argv);
int writeVariableFunc(int argc, char** argv);

// Tests: forget everything.
void variables_reset();
