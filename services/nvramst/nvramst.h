// Device-data store client: the board's identity and life data (MAC address, part and
// serial number, revision, life time, maximum temperatures, crash and brick counters),
// each item one call into the kernel-side manager.
//
// A getter fills the caller's buffer, which must hold the whole item, and returns the
// manager's result (0 on success; on failure the buffer is left as it was). Texts are 16
// bytes padded with NULs; a text of 16 characters has no NUL.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t NVRAMST_IF_CODE = 0x3A6D1E47; // checked by the manager on every call

constexpr unsigned NVRAMST_CALL_INIT = 3648;
constexpr unsigned NVRAMST_CALL_CONTROL = 3649;
constexpr unsigned NVRAMST_CALL_GET = 3650;
constexpr unsigned NVRAMST_CALL_SET = 3651;

// Item numbers.
enum : int {
    NVRAMST_MAC = 0,
    NVRAMST_LIFETIME = 1,
    NVRAMST_MAXTECU = 2,
    NVRAMST_PARTNUMBER = 3,
    NVRAMST_SERIALNUMBER = 4,
    NVRAMST_REVISIONID = 5,
    NVRAMST_REVDATES = 6,
    NVRAMST_CRASHCOUNTER = 8,
    NVRAMST_BRICKCOUNTER = 9,
    NVRAMST_MAXTDISP = 10,
};

constexpr size_t NVRAMST_MAC_SIZE = 6;
constexpr size_t NVRAMST_TEXT_SIZE = 16;
constexpr size_t NVRAMST_REVDATES_SIZE = 8;

// 1, or 0 when the manager refuses the interface ("compatibility check failed").
int nvramst_init();
// The store's state byte (1 = usable), 0 when the call fails.
uint8_t nvramst_iniOk();
int nvramst_enableWrites();
int nvramst_disableWrites();
void nvramst_shutdown();

int nvramst_get_mac(uint8_t* mac);
int nvramst_set_mac(const uint8_t* mac);
int nvramst_get_lifeTime(uint32_t* seconds);
int nvramst_set_lifeTime(const uint32_t* seconds);
int nvramst_get_maxTECU(float* celsius);
int nvramst_set_maxTECU(const float* celsius);
int nvramst_get_partNumber(char* text);
int nvramst_set_partNumber(const char* text);
int nvramst_get_serialNumber(char* text);
int nvramst_set_serialNumber(const char* text);
int nvramst_get_revisionID(uint32_t* id);
int nvramst_set_revisionID(const uint32_t* id);
int nvramst_get_revDates(uint8_t* dates);
int nvramst_set_revDates(const uint8_t* dates);
int nvramst_get_crashCounter(uint32_t* count);
int nvramst_set_crashCounter(const uint32_t* count);
// The counter, 0 when the call fails.
uint8_t nvramst_get_brickCounter();
int nvramst_set_brickCounter(uint8_t count);
int nvramst_get_maxTDisp(float* celsius);
int nvramst_set_maxTDisp(const float* celsius);
