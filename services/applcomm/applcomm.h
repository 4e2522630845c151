// Shared status block: the unit's health as the system process publishes it, copied every 10 ms.
//
// Shared status block: the system process publishes the unit's health (USB drive, loads,
// FTP, card partitions, error flags, CAN node states, the announced masters) in the shared
// memory "/shm/ApplComm"; every 10 ms this process copies it into signal-page variables,
// turns its error flags into error-manager entries and writes back the LED blink word.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* APPLCOMM_SHM_NAME = "/shm/ApplComm";
constexpr const char* APPLCOMM_SEM_NAME = "/ApplComSem";
constexpr size_t APPLCOMM_SHM_SIZE = 4096;
constexpr size_t APPLCOMM_BLOCK_SIZE = 160; // the status block; the blink word follows
constexpr size_t APPLCOMM_BLINK_OFFSET = 160;

// Offsets of the block's single fields.
constexpr size_t APPLCOMM_OFS_USB_MEDIASTATE = 64;
constexpr size_t APPLCOMM_OFS_USB_ERRCNT = 68;
constexpr size_t APPLCOMM_OFS_SYS_MEDIA_ERR = 70;
constexpr size_t APPLCOMM_OFS_USB_MEDIA_ERR = 71;
constexpr size_t APPLCOMM_OFS_USB_HW_INCOMPATIBLE = 72;
constexpr size_t APPLCOMM_OFS_CAN1_STATE = 73;
constexpr size_t APPLCOMM_OFS_CAN2_STATE = 74;
constexpr size_t APPLCOMM_OFS_FTP_ERR = 75;
constexpr size_t APPLCOMM_OFS_CARD_SIZE = 144;
constexpr size_t APPLCOMM_OFS_LTM_PID = 156;
constexpr size_t APPLCOMM_OFS_FCM_PID = 157;

constexpr uint32_t APPLCOMM_BLINK_SHUTDOWN = 13; // once set, never replaced
constexpr int APPLCOMM_CAN_DELAY_CYCLES = 500;   // CAN states count 5 s after start

// Opens the semaphore and the shared memory (both made by the system process) and takes a
// first copy. 1, or 0 when a step failed (logged); the unit then runs on a zero block.
uint8_t applComm_ini();
// 10 ms raster: copy, signal-page variables, error flags.
void applComm_10ms();
// Only application 0 exists. Pattern 13 (shutdown) is final.
void applComm_setBlink(uint8_t appId, uint32_t pattern);

uint8_t applComm_getLaptrigPID();
uint8_t applComm_getFuelconsPID();
uint32_t applComm_getCardSize();
uint32_t applComm_getUsb_mediastate();
uint16_t applComm_getUsb_errcnt();
// Receives each CAN node's state every 10 ms once the start delay is over (the CAN driver
// client's, handed in by the start-up; null: nobody).
void applComm_setCanStateSink(void (*sink)(int node, uint8_t state));

// Tests: unconnected, zero copy and flags, blink word 0, CAN delay restarted.
void applComm_reset();
