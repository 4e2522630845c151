#include "services/msdhash/msdhash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/syslog/syslog.h"

namespace {

constexpr uint32_t FNV_OFFSET_BASIS = 0x811C9DC5u;
constexpr uint32_t FNV_PRIME = 16777619u;
constexpr int STAT_CLASSES = 32;

size_t bucket_count(const msdhash_table* t) {
    return size_t(1) << t->n;
}

// Readers may walk a chain while an entry is added: the entry is complete before the release
// store that links it, and readers follow links with acquire loads.
msdhash_element* follow(msdhash_element* const* link) {
    return __atomic_load_n(link, __ATOMIC_ACQUIRE);
}

void append(msdhash_table* table, msdhash_element* e) {
    msdhash_element** link = &table->table[generate_hash(table, e->name)];
    while (msdhash_element* next = follow(link))
        link = &next->next;
    __atomic_store_n(link, e, __ATOMIC_RELEASE);
}

} // namespace

uint32_t fnv1b_hash(const char* name) {
    uint32_t hash = FNV_OFFSET_BASIS;
    for (const auto* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
        hash = (hash ^ *p) * FNV_PRIME;
    return hash;
}

uint32_t generate_hash(const msdhash_table* table, const char* name) {
    const uint32_t hash = fnv1b_hash(name);
    const uint32_t mask = static_cast<uint32_t>(bucket_count(table) - 1);
    return (hash ^ (hash >> table->n)) & mask;
}

msdhash_table* msdhash_createTable(uint32_t n) {
    if (n >= 32) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_createTable: Size not supported");
        return nullptr;
    }
    auto* t = static_cast<msdhash_table*>(std::malloc(sizeof(msdhash_table)));
    if (!t) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_createTable: Error Allocating pTableInfo");
        return nullptr;
    }
    t->n = n;
    t->table = static_cast<msdhash_element**>(std::calloc(bucket_count(t), sizeof(msdhash_element*)));
    if (!t->table) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_createTable: Error Allocating pTable");
        std::free(t);
        return nullptr;
    }
    return t;
}

int msdhash_addElement(msdhash_table* table, const char* name, void* value) {
    if (!table || !name) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_addElement: Nullpointer Argument");
        return 0;
    }
    const size_t len = std::strlen(name) + 1;
    auto* copy = static_cast<char*>(std::malloc(len));
    if (!copy) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_addElement: Error allocating enough space for entry name!");
        return 0;
    }
    std::memcpy(copy, name, len);
    auto* e = static_cast<msdhash_element*>(std::malloc(sizeof(msdhash_element)));
    if (!e) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_addElement: Error allocating enough space for Hash Table entry!");
        std::free(copy);
        return 0;
    }
    *e = {copy, value, nullptr};
    append(table, e);
    return 1;
}

int msdhash_addPreAllocElement(msdhash_table* table, msdhash_element* element, const char* name,
                               void* value) {
    if (!table || !element || !name) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_addPreAllocElement: Nullpointer Argument");
        return 0;
    }
    *element = {name, value, nullptr};
    append(table, element);
    return 1;
}

void* msdhash_getElement(const msdhash_table* table, const char* name) {
    if (!table || !name) {
        SYSLOGX_GUARDED(LOG_ERR, "msdhash_getElement: Nullpointer Argument");
        return nullptr;
    }
    for (const msdhash_element* e = follow(&table->table[generate_hash(table, name)]); e;
         e = follow(&e->next))
        if (std::strcmp(e->name, name) == 0) return e->value;
    return nullptr;
}

void msdhash_printStat(const msdhash_table* table) {
    if (!table) {
        std::printf("Nullpointer Argument\n");
        return;
    }
    // 64-bit counts: a 2^31-bucket table overflows int
    unsigned long long histogram[STAT_CLASSES] = {};
    const size_t buckets = bucket_count(table);
    for (size_t b = 0; b < buckets; ++b) {
        unsigned len = 0;
        for (const msdhash_element* e = table->table[b]; e && len < STAT_CLASSES - 1; e = e->next)
            ++len;
        ++histogram[len];
    }
    std::printf("\n\nHash Table Size:\n2^%u (0x%zx)\n", table->n, buckets);
    std::printf("\nElement distribution:\n");
    std::printf("\tXXX times YYY indirections, which means ZZZZ saved objects\n");
    for (int k = 0; k < STAT_CLASSES; ++k) {
        std::printf("\t%-10llu%-10d%-10llu", histogram[k], k,
                    histogram[k] * static_cast<unsigned long long>(k));
        std::fputs(k == 0 ? " -> empty hash table entry!\n" : k == STAT_CLASSES - 1 ? "?\n" : "\n", stdout);
    }
}
