// System role, boot counter and memory usage of this unit.
//
// System role, boot counter and memory usage: whether this unit logs and is time master,
// which units are laptrigger and fuel-consumption master, which external ECU it works with
// (from ECU_TYPE, DEVICE_CONFIG and the masters the platform announces); the count of
// application starts in the non-volatile store; the free heap every second.
#pragma once

#include <cstdint>

#include "platform/os/os.h"

struct cfg_system_t {
    uint8_t logging_active; // 1: this unit logs
    uint8_t time_slave;     // 1: takes the time from another unit, 0: time master
    uint8_t ltm_remote;     // 1: another unit triggers the laps
    uint16_t ltm_pid;       // laptrigger master, 0xFFFF none
    uint16_t fcm_pid;       // fuel-consumption master, 0xFFFF none
    uint16_t ext_ecu;       // external ECU code
    uint16_t reserved;
};
extern cfg_system_t cfg_system;

constexpr uint16_t CFG_SYSTEM_NO_PID = 0xFFFF;
constexpr int EXTERNAL_NAME_SIZE = 8;

// Fills cfg_system and the external ECU's name; once at start, after the status block.
void cfg_system_ini();
const char* get_external_name();

// Counts this start in the non-volatile store; returns the base boot counter of the
// application parameters.
uint32_t boot_count_ini();
uint32_t boot_count_get();
uint32_t base_boot_count_get();

// 1000 ms raster: free heap into the signal page; every minute a new minimum is logged.
void mem_usage_1s();

// Tests: the role back to its defaults, the counters to 0, the monitor restarted, the heap
// statistics from `source` (osHeapStats when null).
void sysrole_reset(STATUS (*source)(OS_HEAP_STATS*) = nullptr);
