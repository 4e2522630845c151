// CAN input: received frames decoded into the words of `memory_canin` on the signal page.
//
// CAN input decoding: received frames become the words of `memory_canin` on the signal page,
// one per configured row, with multiplexed rows and time-out values. The tables are filled
// by the data page or "cfg:/CAN.xml" and compiled once by CanIn_init.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int CANIN_MAILBOXES = 128, CANIN_ROWS = 1000;
constexpr uint32_t CANIN_UNUSED_MB = 0xFFFF, CANIN_NO_TIMEOUT = 0xFFFF;
// Row-counter types
constexpr uint32_t CANIN_SIG = 0, CANIN_MUX = 1, CANIN_MSIG = 2;
// Value types
constexpr uint32_t CANIN_SIGNED = 0, CANIN_UNSIGNED = 1, CANIN_FLOAT = 2;

struct CanInMailBox {
    uint32_t intf; // 0 or 1; 0xFF not used
    uint32_t id;   // bit 31: 29-bit identifier
    uint32_t fd;
};

struct CanInSignal {
    uint32_t mb; // mailbox; 0xFFFF not used
    uint32_t sbit;
    uint32_t len;
    uint32_t type;
    uint32_t order; // 0 Intel, else Motorola
    uint32_t rzType;
    uint32_t rzValue;
    uint32_t timeout; // ms; 0xFFFF none
    uint32_t timeoutValue;
};

extern CanInMailBox CanInMailBoxConf[CANIN_MAILBOXES];
extern CanInSignal CanInSignalConf[CANIN_ROWS];

void CanIn_initConfig();
void CanIn_CfgMat_configure();
// 0 on success or an empty configuration, 1 on a configuration or resource error: the start
// values, CanIn_check, CanIn_build, the report and the mailboxes' registration.
int CanIn_init();

// What the check pass takes from the tables: the rows to build (rows refused, unused or on an
// interface the unit lacks are left out) and the sizes of the compiled blocks.
struct CanInPlan {
    std::vector<bool> take;
    int mailboxes = 0, unavailable = 0;
    size_t cmds = 0, nodes = 0;
};
// The check pass over the tables for a unit of `intfs` interfaces: 0, or 1 with the first
// configuration error logged.
int CanIn_check(uint32_t intfs, CanInPlan* plan);
// The build pass: the per-mailbox decoding programs of the plan's rows (nothing registered).
// 1 when the tables no longer match the plan.
int CanIn_build(const CanInPlan& plan);
// Receive callback: user word = the mailbox's message record.
void CanInRx_msg(uintptr_t msg, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data);
// Time-outs of the received messages, every millisecond.
void CanIn_supervisor_1ms();
// Bytes a signal touches.
uint32_t cmd_len(uint32_t start, uint32_t len);

// Tests: compiled form dropped, not initialised.
void CanIn_reset();
