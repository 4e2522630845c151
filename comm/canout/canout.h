// CAN output: messages built from measured channels, sent per raster or on an event.
//
// CAN output messages: up to 128 messages built from up to 400 rows (measured channels,
// constants, a rolling counter, a checksum), sent per raster or on a measured event, with a
// start delay and an optional rate limit per interface. The tables are filled by the data
// page or "cfg:/CAN.xml" and compiled once by CanOut_init.
#pragma once

#include <cstdint>
#include <vector>

constexpr int CANOUT_MAILBOXES = 128, CANOUT_ROWS = 400;
constexpr uint32_t CANOUT_UNUSED_MB = 0xFFFF;
// Row kinds
constexpr uint32_t CANOUT_SIG = 0, CANOUT_MUX = 1, CANOUT_MSIG = 2, CANOUT_COUNTER = 3, CANOUT_CHECKSUM = 4,
                   CANOUT_CONST = 5, CANOUT_MCONST = 6;

struct CanOutIntf {
    float rateLimit;     // frames per millisecond; 0 none
    uint16_t startDelay; // ms of application time
};

struct CanOutMailBox {
    uint32_t intf; // 0xFF not used
    uint32_t id;   // bit 31: 29-bit identifier
    uint32_t dlc;
    uint8_t kind;       // frame kind (FD)
    uint8_t flags;      // bit-rate switch
    int32_t raster;     // raster index 0 to 9; negative: event-driven
    uint32_t evAddress; // 0 or 0xFFFFFFFF: none
    uint32_t evMask;
    uint32_t evType;
    uint32_t evEdge; // 0 rising, 1 falling, 2 both
    float quant[6];
};

struct CanOutSignal {
    uint32_t kind;
    uint32_t mb; // 0xFFFF not used
    uint32_t address;
    uint32_t dataType; // 0 SINT8 ... 6 FLOAT, 7 boolean byte
    uint32_t sbit;
    uint32_t len;
    uint32_t order; // 0 Intel, else Motorola
    uint32_t isSigned;
    uint32_t isFloat;
    uint32_t mask; // 0: the whole value
    float fact, offs;
    uint32_t rzValue;
    uint32_t rshift;
    uint32_t constant;
    uint32_t chkType;
    uint64_t chkMask;
    uint32_t ctrStart, ctrEnd;
};

extern CanOutIntf CanOutIntfConf[2];
extern CanOutMailBox CanOutMailBoxConf[CANOUT_MAILBOXES];
extern CanOutSignal CanOutSignalConf[CANOUT_ROWS];

void CanOut_initConfig();
void CanOut_CfgMat_configure();
// 0 on success, 1 on error: CanOut_check, CanOut_build, the gateway's measurement lists, the
// transmit slots, rate limits and priority lists, the report.
int CanOut_init();

// What the check pass takes from the tables: the rows to build (rows refused, unused or on an
// interface the unit lacks are left out) and the counts of the report.
struct CanOutPlan {
    std::vector<bool> take;
    int mailboxes = 0, unavailable = 0, signals = 0;
};
// The check pass over the tables for a unit of `intfs` interfaces: 0, or 1 with the first
// configuration error logged.
int CanOut_check(uint32_t intfs, CanOutPlan* plan);
// The build pass after CanOut_reset: the messages, channels, row groups, event and measurement
// records of the plan's rows, the raster lists; nothing subscribed or registered yet.
void CanOut_build(const CanOutPlan& plan);
// The messages of raster index `raster`.
void CanOut_send_message(int raster);
// The event-triggered messages (10 ms raster).
void CanOut_event_message();
void CanOut_stop();
void CanOut_shutdown_all();
uint32_t CanOut_type2size(uint32_t dataType);
double CanOut_convert(const uint32_t* raw, uint32_t dataType);

// Gateway callbacks (user: the measurement list).
int CanOut_man_meas_read(uint32_t status, const void* entry, uintptr_t list);
int CanOut_man_meas_start(uint32_t status, const void* data, uintptr_t list);
int CanOut_man_meas_stop(uint32_t status, const void* data, uintptr_t list);
int CanOut_man_meas_tout(uint32_t status, const void* pid, uintptr_t list);

// Checksums and counters.
void canOut_calcChksum_ini();
uint8_t canOut_calcChksum(uint32_t type, uint32_t maskLow, uint32_t maskHigh, uint8_t length,
                          const uint8_t* frame);
int skip(uint32_t maskLow, uint32_t maskHigh, uint32_t index);

// Tests: the measurement list and entry offset of the value of `address` (for feeding it
// through CanOut_man_meas_read); false when no row measures it.
bool CanOut_recordOf(uint32_t address, uintptr_t* list, uint32_t* offset, uint32_t* entrySize);
// Tests: compiled form dropped, not stopped.
void CanOut_reset();
