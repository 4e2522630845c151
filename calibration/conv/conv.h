// Virtual conversion tables: model signals that tools measure converted.
//
// Virtual conversion tables: a model partition registers a list of its internal signals,
// each with a linear rule and an output type, so that tools can measure them converted.
// A meas_address with bit 23 set names an entry: page in bits 20 to 22, index in bits 0 to 19.
#pragma once

#include <cstdint>

// Source and output types of an entry (not the type codes of the named variables).
enum convType : uint8_t {
    CONV_BOOL = 0, // source: unsigned 8-bit
    CONV_U8 = 1,
    CONV_S8 = 2,
    CONV_U16 = 3,
    CONV_S16 = 4,
    CONV_U32 = 5,
    CONV_S32 = 6,
    CONV_F32 = 7,
    CONV_F64 = 8,
    CONV_TYPE_COUNT
};

struct convRule_t {
    float factor;
    float offset;
};

struct convEntry_t {
    const void* source;
    uint16_t rule; // the partition's rule; after registration the shared rule's index
    uint8_t srcType;
    uint8_t outType;
};

struct convTable_t {
    convEntry_t* entries;
    const uint32_t* count;
    const convRule_t* rules;
};

constexpr uint32_t CONV_PAGES = 8;
constexpr uint32_t CONV_RULES = 512;
constexpr uint32_t CONV_ADDR_FLAG = 0x800000;

// False (logged) for a page of 8 or more, a page in use, a full rule table or a malformed
// table; a refused registration changes nothing.
bool convRegisterVirtualMeasTable(uint32_t page, convTable_t* table);
// Index of the rule {factor, offset}, appended when new; false when the table is full.
bool appendConvRule(float offset, float factor, uint16_t* index);
bool convCheckAdr(uint32_t address);
// The entry's converted value, `size` bytes (at most 8 of them carry it, the rest are 0);
// the error pattern for an entry that does not exist.
void convMeasCopy(uint32_t address, void* dst, uint32_t size);
// Rule, clamping and conversion of one raw value into an 8-byte result.
void convMeasType(float value, uint8_t* dst8, uint16_t rule, uint8_t outType);
float convCalc(const convRule_t* rule, float value);

uint32_t convRuleCount();

// Tests: no page registered, no rules.
void conv_reset();
