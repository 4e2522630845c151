// The TIME module's registers, and the identity and version check of the FPGA cores.
//
// Register access to the TIME module, the FPGA core that keeps the unit's timestamp in
// 100 us units, synchronised with the other units over the sync signal line.
#pragma once

#include <cstdint>

constexpr uintptr_t TIME_MODULE_BASE = 0x43C10000; // physical address of its register block
constexpr uint32_t TIME_MODULE_ID = 0x5453594E;    // "TSYN"
constexpr int TIME_INTERRUPT = 63;
constexpr const char* TIME_ISR_QUEUE = "/MQ_TsMr";

// Register offsets.
constexpr uintptr_t TIME_REG_ID = 0x00;
constexpr uintptr_t TIME_REG_VERSION = 0x04;
constexpr uintptr_t TIME_REG_STATUS = 0x08;
constexpr uintptr_t TIME_REG_ERRCNT = 0x0C;
constexpr uintptr_t TIME_REG_TIMESTAMP = 0x10;
constexpr uintptr_t TIME_REG_TIMESTAMP_REG = 0x14;
constexpr uintptr_t TIME_REG_TIME_STEADY = 0x18;
constexpr uintptr_t TIME_REG_FREE_RUN = 0x1C; // one count per 20 ns
constexpr uintptr_t TIME_REG_NEXT_GAP_RD = 0x20;
constexpr uintptr_t TIME_REG_CONTROL = 0x24;
constexpr uintptr_t TIME_REG_NEXT_GAP_WR = 0x2C;
constexpr uintptr_t TIME_REG_IRQ_ENABLE = 0x34;
constexpr uintptr_t TIME_REG_IRQ_ACK = 0x38;

// Control bits.
constexpr uint32_t TIME_CTRL_MASTER = 1u << 1;
constexpr uint32_t TIME_CTRL_RUN = 1u << 2; // clear: the module is held in reset
constexpr uint32_t TIME_CTRL_SWITCH = 1u << 3;
constexpr uint32_t TIME_CTRL_IOPIN = 1u << 4;
constexpr uint32_t TIME_IRQ_ENABLE_BIT = 1u << 1;

// Status fields.
constexpr uint32_t TIME_ST_STATE_MASK = 0x3;
constexpr uint32_t TIME_ST_EXTSYNC = 1u << 2;
constexpr uint32_t TIME_ST_PINLEVEL = 1u << 3;
constexpr int TIME_ST_QSYNC_SHIFT = 4; // 4 bits
constexpr uint32_t TIME_ST_SIGNAL = 1u << 16;
constexpr uint32_t TIME_ST_SHORT = 1u << 17;
constexpr int TIME_ST_QSIGNAL_SHIFT = 20; // 6 bits

enum TimeSyncState : uint8_t {
    TIME_SYNC_UNDEFINED = 0,
    TIME_SYNC_NO_SIGNAL = 1,
    TIME_SYNC_SIGNAL = 2,
    TIME_SYNC_FULL = 3,
};

// 1 when the module identifies itself in an accepted version, else 0 (logged).
uint8_t time_init();

uint32_t time_getID();
uint32_t time_getVersion();
uint32_t time_getTimestamp();
uint32_t time_getTimestamp_reg();
uint32_t time_getTimeSteady();
uint32_t time_getNextGapTimestamp();
void time_putNextGapTimestamp(uint32_t value);

// Sync state; logs when the extended state changed since the previous call.
uint8_t time_getSyncState();
uint8_t time_getSyncState_reg();
// Sync state plus 4 with external sync (0 to 7).
uint8_t time_getSyncXState();
uint8_t time_getExtSyncFlag();
uint8_t time_getPinLevel();
uint8_t time_getQualitySync();
uint8_t time_getSignalFlag();
uint8_t time_getShortCircuitFlag();
uint8_t time_getQualitySignal();
uint8_t time_getGapErrorCnt();
uint32_t time_getGlitchesCnt();
uint8_t time_getMaster();

// Master mode and switch together (bits 1 and 3).
void time_MrSetControl(uint8_t on);
void time_modeTest(uint8_t on);
void time_setSwitch(uint8_t on);
void time_switchIOPin(uint8_t on);

// Waits until the free-running counter advanced by at least ns / 20 counts.
void time_spinLockNs(uint32_t ns);
// Pulses the reset and enters master mode, unless already master.
void time_initTimeModule();
// Connects interrupt 63 to "/MQ_TsMr" and enables it: 0, or -1 when the connection failed.
int time_initMrIsr();

// 10 ms raster: the module's values into the signal page.
void timedistr_measdata_10ms();

// Tests: the sync state counts as never seen; the FPGA module list is emptied.
void timemod_reset();
