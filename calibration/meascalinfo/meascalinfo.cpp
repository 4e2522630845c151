#include "calibration/meascalinfo/meascalinfo.h"

#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

msdhash_table* table;

// Entries made by meascalinfo_addInfo, listed so that a reset can give them back.
struct Added {
    msdhash_element element;
    Added* next;
};
Added* added;

// The archive task adds names while start-up adds its own: one writer at a time.
std::atomic<SEM_ID> writeLock{nullptr};

bool addEntry(msdhash_element* entry, const char* name, meascalinfo_t* info) {
    SEM_ID m = writeLock.load();
    if (!m) {
        SEM_ID made = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
        m = writeLock.compare_exchange_strong(m, made) ? made : (semDelete(made), m);
    }
    if (!m || semTake(m, WAIT_FOREVER) != OK) return false;
    const bool ok = table && msdhash_addPreAllocElement(table, entry, name, info);
    semGive(m);
    return ok;
}

} // namespace

int meascalinfo_init() {
    const uint64_t start = time_get_time_ms();
    table = msdhash_createTable(12);
    if (!table) {
        syslogx(LOG_ERR, "meascalinfo_init: Initialisation Failed");
        return 0;
    }
    const uint32_t rows = meascalinfo_createTable(table);
    if (!meascalinfo_getInfo("EPKID")) {
        syslogx(LOG_ERR, "meascalinfo_init: Consitency check of info table failed. Missing mandatory EPKID.");
        return 0;
    }
    syslogx(LOG_INFO, "meascalinfo_init: Initialisation of %d values done in %dms.", static_cast<int>(rows),
            static_cast<int>(time_get_time_ms() - start));
    return 1;
}

meascalinfo_t* meascalinfo_getInfo(const char* name) {
    if (!table || !name) return nullptr;
    return static_cast<meascalinfo_t*>(msdhash_getElement(table, name));
}

meascalinfo_t* meascalinfo_addInfo(const char* name, const meascalinfo_t* info) {
    if (!name || !info) {
        syslogx(LOG_ERR, "meascalinfo_addInfo: Failed to add Element");
        return nullptr;
    }
    auto* rec = static_cast<meascalinfo_t*>(std::malloc(sizeof(meascalinfo_t)));
    if (!rec) {
        syslogx(LOG_ERR, "meascalinfo_addInfo: Failed to add Element, no memory");
        return nullptr;
    }
    *rec = *info;
    const size_t len = std::strlen(name) + 1;
    auto* copy = static_cast<char*>(std::malloc(len));
    auto* entry = static_cast<Added*>(std::malloc(sizeof(Added)));
    if (!copy || !entry) {
        syslogx(LOG_ERR, "meascalinfo_addInfo: Failed to add Element, no memory(2)");
        std::free(entry);
        std::free(copy);
        std::free(rec);
        return nullptr;
    }
    std::memcpy(copy, name, len);
    if (!addEntry(&entry->element, copy, rec)) {
        syslogx(LOG_ERR, "meascalinfo_addInfo: Failed to add Element");
        std::free(entry);
        std::free(copy);
        std::free(rec);
        return nullptr;
    }
    entry->next = added;
    added = entry;
    return rec;
}

meascalinfo_t* meascalinfo_addInfoPreAlloc(msdhash_element* entry, const char* name, meascalinfo_t* info) {
    if (!addEntry(entry, name, info)) {
        syslogx(LOG_ERR, "meascalinfo_addInfo: Failed to add Element");
        return nullptr;
    }
    return info;
}

void meascalinfo_printStat() {
    msdhash_printStat(table);
}

void meascalinfo_printInfo(const char* name) {
    const meascalinfo_t* i = meascalinfo_getInfo(name);
    if (!i) {
        std::printf("Error: Element not found\n");
        return;
    }
    std::printf("pAdr=0x%x\n", i->meas_address);
    std::printf("dType=0x%x\n", i->type);
    std::printf("dLength=0x%x\n", i->count);
    std::printf("bitmask=0x%x\n", i->mask);
    std::printf("sens=%f\n", static_cast<double>(i->factor));
    std::printf("offset=%f\n", static_cast<double>(i->offset));
}

uint32_t getSizeofType(uint32_t type) {
    switch (type) {
    case MCI_U8:
    case MCI_S8:
        return 1;
    case MCI_U16:
    case MCI_S16:
        return 2;
    case MCI_U32:
    case MCI_S32:
    case MCI_F32:
        return 4;
    default:
        return 0;
    }
}

void meascalinfo_reset() {
    while (added) {
        Added* a = added;
        added = a->next;
        std::free(const_cast<char*>(a->element.name));
        std::free(a->element.value);
        std::free(a);
    }
    if (table) { // made by msdhash_createTable with malloc and calloc
        std::free(table->table);
        std::free(table);
        table = nullptr;
    }
}
