// Process index, application parameters and the manager calls of the application frame.
#pragma once

#include <cstdint>

constexpr uint32_t APPMAN_ID_WORD = 0x6E2B9D13;

// Manager call numbers (group * 64 + routine).
constexpr unsigned KCALL_INTR_CONNECT = 2695;
constexpr unsigned KCALL_EPK_FORWARD = 2700;
constexpr unsigned KCALL_SETTING = 2704;
constexpr unsigned KCALL_COMPAT_CHECK = 2752;
constexpr unsigned KCALL_APPMAN = 2753;

// Requests of the application-manager call.
enum AppManRequest : intptr_t {
    APPMAN_REQ_READ_PARAM = 0,
    APPMAN_REQ_WDOG_FEED = 1,
    APPMAN_REQ_WDOG_STARVE = 2,
    APPMAN_REQ_WDOG_SHUTDOWN = 3,
    APPMAN_REQ_SYMBOL = 4,
};

// The application parameter block as the manager fills it (little-endian, packed).
constexpr int APPPARAM_SIZE = 280;
struct AppParam {
    uint8_t pid;
    uint8_t coreAffinity;
    uint8_t unused[2];
    uint32_t baseBootCounter;
    uint32_t ipv4Addr;
    uint32_t ipv4Mask;
    uint16_t xcpPort;
    uint16_t bc2PortOffset;
    uint8_t ccpEnable;
    char homeDir[128];
    char nvRamDir[129];
    uint8_t allPids[2]; // start of the list of all PIDs
} __attribute__((packed));
static_assert(sizeof(AppParam) == APPPARAM_SIZE);

extern uint8_t ApplMan_PID;
extern uint16_t app_pid;
extern char device_ip_addr[20];

int RtpManUsr_setIndex(uint32_t index);
uint32_t RtpManUsr_getIndex();

uint8_t AppMan_init();
void AppMan_DisplayParameters();
uint8_t AppMan_getPID();
uint8_t AppMan_getCoreAffinity();
uint32_t AppMan_getBaseBootCounter();
uint32_t AppMan_getIPv4Addr();
uint32_t AppMan_getIPv4Mask();
uint16_t AppMan_getXCPPort();
uint16_t AppMan_getBC2PortOffset();
uint8_t AppMan_getCCPEnable();
const char* AppMan_getHomeDir();
const char* AppMan_getNvRAMDir();
const uint8_t* AppMan_getAllPids();
uintptr_t AppMan_getSymbolTableValue(const char* name);

uint8_t RtpMan_ForwardEPK();
uint8_t RtpMan_InformSetting2Kernel(uint32_t setting, uint32_t value);
intptr_t RtpManUsrIntr_Connect(int interrupt, const char* queueName, intptr_t w1, intptr_t w2, intptr_t w3,
                               intptr_t w4);

int wdogapp_Init();
intptr_t wdogapp_Feed(uint32_t* pattern);
intptr_t wdogapp_Starve(uint32_t* pattern);
intptr_t wdogapp_EnterShutDown(uint32_t* pattern);
int wdog_test_trigger();

// The post-run semaphore "/SemPostDrive<index>" (a process-local one when it cannot be
// created): `main` waits on it, startPostrun gives it (0, or -1 before it exists).
void rtp_openPostrun(uint32_t index);
int startPostrun();
void rtp_waitPostrun();
// Set once the shutdown sequence runs.
uint8_t isRtpShutdownStarted();
void rtp_setShutdownStarted();

// Tests: forget the index, parameters and the watchdog test flag.
void rtpman_reset();
