#include "services/sysrole/sysrole.h"

#include "services/rtpman/rtpman.h"
#include "services/applcomm/applcomm.h"
#include "services/errmgr/errmgr.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cstdio>
#include <cstring>

cfg_system_t cfg_system = {1, 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0, 0};

namespace {

char external_name[EXTERNAL_NAME_SIZE];
uint32_t bootCnt;
uint32_t baseBootCnt;

STATUS (*heapStats)(OS_HEAP_STATS*) = osHeapStats;
int memCycles;
bool memMinLogged;
uint64_t memMinFree;

struct EcuDefaults {
    const char* name;
    uint8_t timeSlave;
    uint8_t ltmRemote;
    uint16_t ltmPid;
    uint16_t fcmPid;
    uint16_t code;
};

EcuDefaults defaultsOf(uint32_t ecuType) {
    switch (ecuType) {
    case 0:
        return {"None", 1, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0};
    case 0x500:
    case 0x501:
    case 0x502:
    case 0x505:
        return {"KT5", 0, 1, 10, 10, 5};
    case 0x604:
        return {"KT6", 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0x406};
    case 0x704:
        return {"KT7", 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0x407};
    case 0xFF01:
        return {"PRAQ", 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0x1FF};
    case 0xFF02:
        return {"HNR", 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0x2FF};
    default: {
        const uint16_t low = static_cast<uint16_t>(ecuType);
        const uint16_t code = low == 0xFFFF ? 0 : static_cast<uint16_t>(low << 8 | low >> 8);
        return {"UNKNOWN", 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, code};
    }
    }
}

} // namespace

void cfg_system_ini() {
    const uint32_t ecuType = ECU_TYPE;
    const uint32_t config = DEVICE_CONFIG;
    const EcuDefaults d = defaultsOf(ecuType);
    std::snprintf(external_name, sizeof external_name, "%s", d.name);
    cfg_system.logging_active = 1;
    cfg_system.time_slave = d.timeSlave;
    cfg_system.ltm_remote = d.ltmRemote;
    cfg_system.ltm_pid = d.ltmPid;
    cfg_system.fcm_pid = d.fcmPid;
    cfg_system.ext_ecu = d.code;
    cfg_system.reserved = 0;

    const uint8_t ownPid = AppMan_getPID();
    const uint8_t announcedLtm = applComm_getLaptrigPID();
    const uint8_t announcedFcm = applComm_getFuelconsPID();
    if (announcedLtm) {
        cfg_system.ltm_pid = announcedLtm;
        cfg_system.ltm_remote = announcedLtm != ownPid ? 1 : 0;
    }
    if (announcedFcm) cfg_system.fcm_pid = announcedFcm;

    if (config == 0 || config == 0xFFFFFFFFu) {
        syslogx(LOG_DEBUG, "ECU_TYPE: 0x%.4x, DEVICE_CONFIG: 0x%.8x, fcm_pid: 0x%02X, extName: %s", ecuType,
                config, cfg_system.fcm_pid, external_name);
    } else {
        const uint8_t cfgLtm = static_cast<uint8_t>(config >> 8);
        const uint8_t cfgFcm = static_cast<uint8_t>(config >> 16);
        const bool logging = config & 1;
        const bool timeMaster = config & 2;
        syslogx(
            LOG_DEBUG,
            "ECU_TYPE: 0x%.4X, DEVICE_CONFIG: 0x%.8X ltm_pid: 0x%02X, time%s, logging %s, fcm_pid: 0x%02X, "
            "extName: %s",
            ecuType, config, cfgLtm, timeMaster ? "master" : "slave", logging ? "active" : "INACTIVE", cfgFcm,
            external_name);
        if (!announcedLtm) {
            if (cfgLtm) {
                cfg_system.ltm_pid = cfgLtm;
                cfg_system.ltm_remote = cfgLtm != ownPid ? 1 : 0;
            } else {
                cfg_system.ltm_pid = CFG_SYSTEM_NO_PID;
                cfg_system.ltm_remote = 0;
                if (logging && OUTINGCTR_MODE == 0) {
                    error_mgr_set(ERROR_MGR_PATH_SYSTEM, ERROR_MGR_ERR_TYPE_LAPTRIGGER_MASTER, 0);
                    syslogx(LOG_ERR, "cfg_system_ini() no laptrigger master defined in config");
                }
            }
        }
        if (!announcedFcm && cfgFcm) cfg_system.fcm_pid = cfgFcm;
        cfg_system.time_slave = timeMaster ? 0 : 1;
        cfg_system.logging_active = logging ? 1 : 0;
    }
    if (announcedLtm || announcedFcm)
        syslogx(LOG_DEBUG, "PID override: ltm_pid: 0x%02X, fcm_pid: 0x%02X", announcedLtm, announcedFcm);
}

const char* get_external_name() {
    return external_name;
}

uint32_t boot_count_ini() {
    uint32_t stored = 0;
    if (nvram_dbs_read(nvram_BootCnt_Elem.id, 0, &stored, sizeof stored) == static_cast<int>(sizeof stored))
        bootCnt = stored;
    else
        syslogx(LOG_ERR, "boot_count_ini: could not read boot counter from nvram");
    bootCnt++;
    if (nvram_dbs_write(nvram_BootCnt_Elem.id, 0, &bootCnt, sizeof bootCnt) !=
        static_cast<int>(sizeof bootCnt))
        syslogx(LOG_ERR, "boot_count_ini: could not write boot counter into nvram");
    baseBootCnt = AppMan_getBaseBootCounter();
    return baseBootCnt;
}

uint32_t boot_count_get() {
    return bootCnt;
}

uint32_t base_boot_count_get() {
    return baseBootCnt;
}

void mem_usage_1s() {
    OS_HEAP_STATS s{};
    if (heapStats(&s) != OK) return;
    constexpr double MB = 1048576.0;
    mem_free_mb = static_cast<float>(static_cast<double>(s.freeBytes) / MB);
    mem_biggest_free_blk_mb = static_cast<float>(static_cast<double>(s.maxFreeBlock) / MB);
    if (++memCycles < 60) return;
    memCycles = 0;
    if (!memMinLogged || s.freeBytes < memMinFree) {
        syslogx(LOG_INFO, "memory usage: %6.2f MB free, biggest free block %6.2f MB", double{mem_free_mb},
                double{mem_biggest_free_blk_mb});
        memMinLogged = true;
        memMinFree = s.freeBytes;
    }
}

void sysrole_reset(STATUS (*source)(OS_HEAP_STATS*)) {
    cfg_system = {1, 0, 0, CFG_SYSTEM_NO_PID, CFG_SYSTEM_NO_PID, 0, 0};
    std::memset(external_name, 0, sizeof external_name);
    bootCnt = 0;
    baseBootCnt = 0;
    heapStats = source ? source : osHeapStats;
    memCycles = 0;
    memMinLogged = false;
    memMinFree = 0;
}
