// String hash table: zero-terminated names to opaque pointers, 2^n buckets chained in insertion order.
//
// Nothing is ever removed. Lookups may run while an element is added; adding takes no lock, so one
// writer at a time (the owner serialises them).
#pragma once

#include <cstdint>

struct msdhash_element {
    const char* name;
    void* value;
    msdhash_element* next;
};

struct msdhash_table {
    uint32_t n;              // 2^n buckets
    msdhash_element** table; // bucket heads
};

// n from 0 to 31; null on failure (logged).
msdhash_table* msdhash_createTable(uint32_t n);
// Copies the name. 1, or 0 when memory runs out or an argument is null (logged).
int msdhash_addElement(msdhash_table* table, const char* name, void* value);
// Uses the caller's element storage and name, which must stay alive. 1, or 0 for a null argument.
int msdhash_addPreAllocElement(msdhash_table* table, msdhash_element* element, const char* name, void* value);
// Value of the first element added with this name, or null.
void* msdhash_getElement(const msdhash_table* table, const char* name);
// Chain-length histogram on standard output.
void msdhash_printStat(const msdhash_table* table);

// 32-bit FNV-1a of the name's bytes.
uint32_t fnv1b_hash(const char* name);
// Bucket of the name: the hash xor-folded to n bits.
uint32_t generate_hash(const msdhash_table* table, const char* name);
