#include "calibration/variables/variables.h"

#include "calibration/meas/seram_meas.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "services/msdhash/msdhash.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t NV_ELEMENT = 21;
constexpr int32_t AGE_FREE = -1;
constexpr int32_t AGE_LIMIT = 5;

struct Slot {
    variables_nvRecord* record;
    uint32_t slot;
    uint32_t registrations; // in this run
    bool inTable;           // its entry is in the name table for the rest of the run
};

static_assert(nvram_Variables_Elem.id == NV_ELEMENT && nvram_Variables_Elem.count == VARIABLES_SLOTS &&
              nvram_Variables_Elem.size == sizeof(variables_nvRecord));

variables_nvRecord nvMirror[VARIABLES_SLOTS];
Slot slots[VARIABLES_SLOTS];
msdhash_element entries[VARIABLES_SLOTS];
msdhash_table* names;

bool persist(uint32_t slot) {
    return nvram_dbs_write(NV_ELEMENT, slot, &nvMirror[slot], sizeof(variables_nvRecord)) ==
           static_cast<int>(sizeof(variables_nvRecord));
}

bool isFree(const variables_nvRecord& r) {
    return r.age == AGE_FREE || r.name[0] == '\0';
}

// A name table entry stays linked for the whole run; a slot freed meanwhile is not found.
Slot* find(const char* name) {
    if (!names || !name || !name[0]) return nullptr;
    auto* s = static_cast<Slot*>(msdhash_getElement(names, name));
    return s && !isFree(*s->record) ? s : nullptr;
}

void enter(uint32_t slot) {
    msdhash_addPreAllocElement(names, &entries[slot], nvMirror[slot].name, &slots[slot]);
    slots[slot].inTable = true;
    variables_add2meascalinfo(nvMirror[slot].name, &varData[slot]);
}

} // namespace

void variables_ini() {
    int repaired = 0;
    for (uint32_t i = 0; i < VARIABLES_SLOTS; ++i) {
        variables_nvRecord& r = nvMirror[i];
        const bool read = nvram_dbs_read(NV_ELEMENT, i, &r, sizeof r) == static_cast<int>(sizeof r);
        // A name without its NUL cannot be a key: such a record is as unreadable as a lost one.
        if (!read || strnlen(r.name, sizeof r.name) == sizeof r.name) {
            std::memset(&r, 0, sizeof r);
            r.age = AGE_FREE;
            persist(i);
            ++repaired;
        }
        slots[i] = Slot{&r, i, 0, false};
        varData[i] = r.value;
    }
    if (repaired) syslogx(LOG_ERR, "variables_ini: repaired nv %d entries", repaired);
    names = msdhash_createTable(8);
    if (!names) return;
    for (uint32_t i = 0; i < VARIABLES_SLOTS; ++i)
        if (!isFree(nvMirror[i])) enter(i);
}

bool variables_register(const char* name) {
    if (!names || !name || !name[0]) return false;
    if (std::strlen(name) > VARIABLES_NAME_MAX) {
        syslogx(LOG_ERR, "variables_register(): name too long (%.31s...)", name);
        return false;
    }
    if (Slot* s = find(name)) {
        s->registrations++;
        return true;
    }
    uint32_t i = 0;
    while (i < VARIABLES_SLOTS && !(isFree(nvMirror[i]) && !slots[i].inTable))
        ++i;
    if (i == VARIABLES_SLOTS) {
        syslogx(LOG_ERR, "variables_register(): no more space for variables");
        return false;
    }
    variables_nvRecord& r = nvMirror[i];
    std::memset(&r, 0, sizeof r);
    std::memcpy(r.name, name, std::strlen(name));
    r.value = 0.0f;
    r.age = 0;
    varData[i] = 0.0f;
    slots[i].registrations = 0;
    persist(i);
    enter(i);
    Slot* s = find(name);
    if (!s) {
        syslogx(LOG_ERR, "variables_ini: could not create variable %s", name);
        return false;
    }
    s->registrations = 1;
    return true;
}

float* variables_getPointer(const char* name) {
    Slot* s = find(name);
    return s ? &s->record->value : nullptr;
}

bool variables_getValue(const char* name, float* value) {
    Slot* s = find(name);
    if (!s || !value) return false;
    *value = s->record->value;
    return true;
}

bool variables_write(const char* name, float value) {
    Slot* s = find(name);
    if (!s) return false;
    const float before = s->record->value;
    s->record->value = value;
    if (!persist(s->slot)) { // what is measured and read stays what is stored
        s->record->value = before;
        return false;
    }
    varData[s->slot] = value;
    return true;
}

void variables_registration_complete() {
    for (uint32_t i = 0; i < VARIABLES_SLOTS; ++i) {
        variables_nvRecord& r = nvMirror[i];
        if (isFree(r)) continue;
        const int32_t age = slots[i].registrations ? 0 : r.age + 1;
        if (age > AGE_LIMIT) {
            std::memset(&r, 0, sizeof r);
            r.age = AGE_FREE;
            varData[i] = 0.0f;
        } else if (age != r.age) {
            r.age = age;
        } else {
            continue;
        }
        persist(i);
    }
}

void variables_add2meascalinfo(const char* name, float* valueAddr) {
    const uint32_t address = seramConvertAddr2SeramAddr(valueAddr);
    if (!address) return;
    const meascalinfo_t info{address, MCI_F32, 1, 0, 1.0f, 0.0f};
    meascalinfo_addInfo(name, &info);
}

void variables_reset() {
    std::memset(nvMirror, 0, sizeof nvMirror);
    std::memset(slots, 0, sizeof slots);
    if (names) { // made by msdhash_createTable with malloc and calloc; the entries are ours
        std::free(names->table);
        std::free(names);
        names = nullptr;
    }
}
