// Shared by the calibration memory's sources: the geometry record and per-site log guards.
#pragma once

#include "calibration/memory/seram.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstring>

struct seramAddrRecord {
    uint8_t* physStart;
    uint8_t* physEnd; // exclusive
    uint32_t virtStart;
    uint32_t virtEnd; // exclusive
    uint32_t size;
};

struct SeramInfo {
    const char* epk;
    uint32_t pageOffset;
    uintptr_t virtualOffset; // virtual = physical + virtualOffset
    uint32_t epkOffset;
    seramAddrRecord block, refpage, refdata, workpage, workdata, signalpage, adaptpage, adaptvolpage;
    uint16_t initialCrc;
};

extern SeramInfo seramInfo;

// Every log line of the calibration memory is flood-limited per call site; the counters
// live in one table so that tests can start afresh.
enum SeramLogSite {
    SLS_READ_DENIED,
    SLS_CHKSUM_DENIED,
    SLS_ADD8_DENIED,
    SLS_DOWNLOAD_STOP,
    SLS_COPY_REFUSED,
    SLS_REFPAGE_ACTIVE,
    SLS_WORKPAGE_ACTIVE,
    SLS_STORE_FAILED,
    SLS_COUNT
};
extern std::atomic<uint8_t> seramLogSites[SLS_COUNT];

#define SERAM_LOG(site, prio, ...)                                                                           \
    do {                                                                                                     \
        if (syslogx_floodcheck(&seramLogSites[site])) syslogx((prio), __VA_ARGS__);                          \
    } while (0)

// Low 32 bits of a pointer, for log lines that print addresses as 0x%x.
inline unsigned logAddr(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// The image's EPK against one in a loaded dataset, whose field need not hold a NUL.
inline bool seramSameEpk(const char* image, const char* loaded) {
    const size_t n = strnlen(image, SERAM_EPK_SIZE);
    return std::memcmp(image, loaded, n) == 0 && loaded[n] == '\0';
}
