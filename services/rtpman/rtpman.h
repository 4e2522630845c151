// Process index, application parameters and the manager calls of the application frame.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstdint>

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
