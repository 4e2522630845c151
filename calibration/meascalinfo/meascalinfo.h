// Named variables: every measurable or calibratable variable of the unit by name.
//
// Named variables: every measurable or calibratable variable of the unit by name, with
// where it lies (meas_address), its type and its conversion to a physical value. Built at
// start from the variable table; extended at run time (virtual channels, NV variables).
#pragma once

#include <cstdint>

#include "services/msdhash/msdhash.h"

struct meascalinfo_t {
    uint32_t meas_address; // owner PID in bits 24 to 31
    uint32_t type;         // MCI_* code
    uint32_t count;        // elements (characters of a text)
    uint32_t mask;         // 0: the whole element
    float factor;          // physical = raw * factor + offset
    float offset;
};

enum meascalinfoType : uint32_t {
    MCI_U8 = 0, // also texts and flags
    MCI_S8 = 1,
    MCI_U16 = 2,
    MCI_S16 = 3,
    MCI_U32 = 4,
    MCI_S32 = 5,
    MCI_F32 = 6,
};

// Owner PID of the built-in rows, as the PC tools' description files carry it.
constexpr uint32_t MEASCALINFO_TABLE_PID = 0x25;

// 1 when the table is built and holds "EPKID", else 0 (logged).
int meascalinfo_init();
meascalinfo_t* meascalinfo_getInfo(const char* name);
// Adds a copy of the record under a copy of the name; null (logged) on failure.
meascalinfo_t* meascalinfo_addInfo(const char* name, const meascalinfo_t* info);
// Adds a record whose entry, name and record the caller keeps alive; null (logged) on failure.
meascalinfo_t* meascalinfo_addInfoPreAlloc(msdhash_element* entry, const char* name, meascalinfo_t* info);
void meascalinfo_printStat();
void meascalinfo_printInfo(const char* name);
// Bytes of one element of the type, 0 for an unknown code.
uint32_t getSizeofType(uint32_t type);

// The built-in rows (generated from the variable table) into `table`; the row count.
uint32_t meascalinfo_createTable(msdhash_table* table);
extern const char* const labelNames[];
extern meascalinfo_t allmeascalinfo[];
extern const uint32_t meascalinfo_rowCount;

// Tests: frees the table and what meascalinfo_addInfo added.
void meascalinfo_reset();
