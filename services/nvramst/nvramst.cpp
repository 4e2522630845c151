#include "services/nvramst/nvramst.h"

#include "services/rtpman/rtpman.h"
#include "platform/kmgr/kmgr.h"
#include "services/syslog/syslog.h"

namespace {

intptr_t control(intptr_t op, intptr_t out = 0) {
    return kmgr_syscall(KCALL_DEVDATA_CONTROL, RtpManUsr_getIndex(), KCALL_DEVDATA_IF, op, out);
}

// One item through a one-entry buffer list, as the manager expects.
int itemCall(unsigned call, int item, const void* buf) {
    const void* list[1] = {buf};
    return static_cast<int>(kmgr_syscall(call, RtpManUsr_getIndex(), KCALL_DEVDATA_IF, item, 0, 1,
                                         reinterpret_cast<intptr_t>(list)));
}

int get(int item, void* buf) {
    return itemCall(KCALL_DEVDATA_GET, item, buf);
}
int set(int item, const void* buf) {
    return itemCall(KCALL_DEVDATA_SET, item, buf);
}

} // namespace

int nvramst_init() {
    if (kmgr_syscall(KCALL_DEVDATA_INIT, RtpManUsr_getIndex(), KCALL_DEVDATA_IF, 0) == -1) {
        syslogx(LOG_ERR, "nvramst_init %d: compatibility check failed",
                static_cast<int>(RtpManUsr_getIndex()));
        return 0;
    }
    return 1;
}

uint8_t nvramst_iniOk() {
    uint8_t ok = 0;
    return control(0, reinterpret_cast<intptr_t>(&ok)) == 0 ? ok : 0;
}

int nvramst_enableWrites() {
    return static_cast<int>(control(1));
}
int nvramst_disableWrites() {
    return static_cast<int>(control(2));
}
void nvramst_shutdown() {}

int nvramst_get_mac(uint8_t* mac) {
    return get(DEVDATA_MAC, mac);
}
int nvramst_set_mac(const uint8_t* mac) {
    return set(DEVDATA_MAC, mac);
}
int nvramst_get_lifeTime(uint32_t* seconds) {
    return get(DEVDATA_LIFETIME, seconds);
}
int nvramst_set_lifeTime(const uint32_t* seconds) {
    return set(DEVDATA_LIFETIME, seconds);
}
int nvramst_get_maxTECU(float* celsius) {
    return get(DEVDATA_MAXTECU, celsius);
}
int nvramst_set_maxTECU(const float* celsius) {
    return set(DEVDATA_MAXTECU, celsius);
}
int nvramst_get_partNumber(char* text) {
    return get(DEVDATA_PARTNUMBER, text);
}
int nvramst_set_partNumber(const char* text) {
    return set(DEVDATA_PARTNUMBER, text);
}
int nvramst_get_serialNumber(char* text) {
    return get(DEVDATA_SERIALNUMBER, text);
}
int nvramst_set_serialNumber(const char* text) {
    return set(DEVDATA_SERIALNUMBER, text);
}
int nvramst_get_revisionID(uint32_t* id) {
    return get(DEVDATA_REVISIONID, id);
}
int nvramst_set_revisionID(const uint32_t* id) {
    return set(DEVDATA_REVISIONID, id);
}
int nvramst_get_revDates(uint8_t* dates) {
    return get(DEVDATA_REVDATES, dates);
}
int nvramst_set_revDates(const uint8_t* dates) {
    return set(DEVDATA_REVDATES, dates);
}
int nvramst_get_crashCounter(uint32_t* count) {
    return get(DEVDATA_CRASHCOUNTER, count);
}
int nvramst_set_crashCounter(const uint32_t* count) {
    return set(DEVDATA_CRASHCOUNTER, count);
}
int nvramst_get_maxTDisp(float* celsius) {
    return get(DEVDATA_MAXTDISP, celsius);
}
int nvramst_set_maxTDisp(const float* celsius) {
    return set(DEVDATA_MAXTDISP, celsius);
}

uint8_t nvramst_get_brickCounter() {
    uint8_t count = 0;
    return get(DEVDATA_BRICKCOUNTER, &count) == 0 ? count : 0;
}

int nvramst_set_brickCounter(uint8_t count) {
    return set(DEVDATA_BRICKCOUNTER, &count);
}
