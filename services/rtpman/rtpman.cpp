#include "services/rtpman/rtpman.h"

#include "calibration/block/block.h"
#include "platform/kmgr/kmgr.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cstdio>
#include <cstring>

uint8_t ApplMan_PID;
uint16_t app_pid;
char device_ip_addr[20];

namespace {

AppParam appParam;
uint32_t rtpIndex;
bool wdogTestDone;

// The manager reads lists of addresses: one entry holding the address of the argument.
intptr_t appManRequest(AppManRequest req, intptr_t a4, intptr_t a5, const void* listEntry) {
    const void* list[1] = {listEntry};
    return kmgr_syscall(KCALL_APPMAN, static_cast<intptr_t>(rtpIndex), static_cast<intptr_t>(KCALL_APPMAN_ID),
                        req, a4, a5, reinterpret_cast<intptr_t>(list), 0, 0);
}

intptr_t watchdogRequest(AppManRequest req, uint32_t* pattern) {
    return appManRequest(req, 0, 1, pattern);
}

void octets(uint32_t w, int out[4]) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<int>((w >> (24 - 8 * i)) & 0xFF);
}

} // namespace

int RtpManUsr_setIndex(uint32_t index) {
    rtpIndex = index;
    RtpIndex = index; // measurable in the signal page
    return 1;
}

uint32_t RtpManUsr_getIndex() {
    return rtpIndex;
}

uint8_t AppMan_init() {
    int idx = static_cast<int>(rtpIndex);
    if (kmgr_syscall(KCALL_COMPAT_CHECK, idx, static_cast<intptr_t>(KCALL_APPMAN_ID)) == -1) {
        syslogx(LOG_ERR, "AppMan_init %d: compatibility check failed", idx);
        return 0;
    }
    uint8_t status = 0;
    if (appManRequest(APPMAN_REQ_READ_PARAM, reinterpret_cast<intptr_t>(&status), 1, &appParam) == -1) {
        syslogx(LOG_ERR, "AppMan_init %d: ReadParam: SysCall failed", idx);
        return 0;
    }
    if (status != 1) {
        syslogx(LOG_ERR, "AppMan_init %d: ReadParam: load failed", idx);
        return 0;
    }
    ApplMan_PID = appParam.pid;
    app_pid = appParam.pid;
    int o[4];
    octets(appParam.ipv4Addr, o);
    std::snprintf(device_ip_addr, sizeof device_ip_addr, "%d.%d.%d.%d", o[0], o[1], o[2], o[3]);
    return 1;
}

void AppMan_DisplayParameters() {
    int a[4], m[4];
    octets(appParam.ipv4Addr, a);
    octets(appParam.ipv4Mask, m);
    syslogx(LOG_INFO, "# AppMan_DisplayParameters: BEGIN: This is the RTP APP %d!",
            static_cast<int>(rtpIndex));
    syslogx(LOG_INFO, " -> PID  = %d", appParam.pid);
    syslogx(LOG_INFO, " -> baseBootcounter  = %d", static_cast<int>(appParam.baseBootCounter));
    syslogx(LOG_INFO, " -> CoreAffinity = %d", appParam.coreAffinity);
    syslogx(LOG_INFO, " -> IPv4Addr = %d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    syslogx(LOG_INFO, " -> IPv4Mask = %d.%d.%d.%d", m[0], m[1], m[2], m[3]);
    syslogx(LOG_INFO, " -> XCPPort = %d", appParam.xcpPort);
    syslogx(LOG_INFO, " -> BC2PortOffset = %d", appParam.bc2PortOffset);
    syslogx(LOG_INFO, " -> CCPEnable = %d", appParam.ccpEnable);
    syslogx(LOG_INFO, " -> HomeDir = %s", appParam.homeDir);
    syslogx(LOG_INFO, "# END");
}

uint8_t AppMan_getPID() {
    return appParam.pid;
}
uint8_t AppMan_getCoreAffinity() {
    return appParam.coreAffinity;
}
uint32_t AppMan_getBaseBootCounter() {
    return appParam.baseBootCounter;
}
uint32_t AppMan_getIPv4Addr() {
    return appParam.ipv4Addr;
}
uint32_t AppMan_getIPv4Mask() {
    return appParam.ipv4Mask;
}
uint16_t AppMan_getXCPPort() {
    return appParam.xcpPort;
}
uint16_t AppMan_getBC2PortOffset() {
    return appParam.bc2PortOffset;
}
uint8_t AppMan_getCCPEnable() {
    return appParam.ccpEnable;
}
const char* AppMan_getHomeDir() {
    return appParam.homeDir;
}
const char* AppMan_getNvRAMDir() {
    return appParam.nvRamDir;
}
const uint8_t* AppMan_getAllPids() {
    return appParam.allPids;
}

uintptr_t AppMan_getSymbolTableValue(const char* name) {
    uintptr_t value = 0;
    if (appManRequest(APPMAN_REQ_SYMBOL, reinterpret_cast<intptr_t>(&value), 1, name) != 0) {
        syslogx(LOG_ERR, "AppMan_getSymbolTableValue(%d): SysCall failed", static_cast<int>(rtpIndex));
        return 0;
    }
    return value;
}

uint8_t RtpMan_ForwardEPK() {
    if (kmgr_syscall(KCALL_EPK_FORWARD, static_cast<intptr_t>(rtpIndex),
                     reinterpret_cast<intptr_t>(seramGetEPKPtr())) == -1) {
        syslogx(LOG_ERR, "RtpMan_ForwardEPK: Forwarding EPK failed");
        return 0;
    }
    return 1;
}

uint8_t RtpMan_InformSetting2Kernel(uint32_t setting, uint32_t value) {
    if (kmgr_syscall(KCALL_SETTING, static_cast<intptr_t>(rtpIndex), setting, value) == -1) {
        syslogx(LOG_ERR, "RtpMan_InformSetting2Kernel: inform setting(%d) to kernel failed",
                static_cast<int>(setting));
        return 0;
    }
    return 1;
}

intptr_t RtpManUsrIntr_Connect(int interrupt, const char* queueName, intptr_t w1, intptr_t w2, intptr_t w3,
                               intptr_t w4) {
    return kmgr_syscall(KCALL_INTR_CONNECT, static_cast<intptr_t>(rtpIndex),
                        reinterpret_cast<intptr_t>(queueName), interrupt, w1, w2, w3, w4, 0);
}

int wdogapp_Init() {
    return 1;
}
intptr_t wdogapp_Feed(uint32_t* pattern) {
    return watchdogRequest(APPMAN_REQ_WDOG_FEED, pattern);
}
intptr_t wdogapp_Starve(uint32_t* pattern) {
    return watchdogRequest(APPMAN_REQ_WDOG_STARVE, pattern);
}
intptr_t wdogapp_EnterShutDown(uint32_t* pattern) {
    return watchdogRequest(APPMAN_REQ_WDOG_SHUTDOWN, pattern);
}

int wdog_test_trigger() {
    if (wdogTestDone) return 1;
    syslogx(LOG_INFO, "wdog_test_trigger() launched! WDog will react soon!");
    static uint32_t zeroPattern = 0;
    wdogapp_Starve(&zeroPattern);
    wdogTestDone = true;
    return 1;
}

void rtpman_reset() {
    std::memset(&appParam, 0, sizeof appParam);
    rtpIndex = 0;
    wdogTestDone = false;
    ApplMan_PID = 0;
    app_pid = 0;
    device_ip_addr[0] = 0;
}
