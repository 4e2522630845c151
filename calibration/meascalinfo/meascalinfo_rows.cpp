// The built-in rows, generated from calibration/variables.tsv, with their hash entries
// preallocated so that building the table allocates nothing.
#include "calibration/meascalinfo/meascalinfo.h"

namespace {
enum : uint32_t {
    VT_U8 = MCI_U8,
    VT_S8 = MCI_S8,
    VT_U16 = MCI_U16,
    VT_S16 = MCI_S16,
    VT_U32 = MCI_U32,
    VT_S32 = MCI_S32,
    VT_F32 = MCI_F32
};
constexpr uint32_t OWNER = MEASCALINFO_TABLE_PID << 24;
} // namespace

const char* const labelNames[] = {
#define VT_ROW(name, addr, type, count, mask, factor, offset) name,
#include "vyn/vartable_rows.inc"
#undef VT_ROW
};

meascalinfo_t allmeascalinfo[] = {
#define VT_ROW(name, addr, type, count, mask, factor, offset)                                                \
    {OWNER | (addr), type, count, mask, factor, offset},
#include "vyn/vartable_rows.inc"
#undef VT_ROW
};

const uint32_t meascalinfo_rowCount = sizeof allmeascalinfo / sizeof allmeascalinfo[0];
static_assert(sizeof labelNames / sizeof labelNames[0] == sizeof allmeascalinfo / sizeof allmeascalinfo[0]);

namespace {
msdhash_element entries[sizeof allmeascalinfo / sizeof allmeascalinfo[0]];
} // namespace

uint32_t meascalinfo_createTable(msdhash_table* table) {
    for (uint32_t i = 0; i < meascalinfo_rowCount; ++i)
        msdhash_addPreAllocElement(table, &entries[i], labelNames[i], &allmeascalinfo[i]);
    return meascalinfo_rowCount;
}
