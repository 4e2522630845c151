// CAN driver client and controller set-up: the process's side of the manager's two CAN controllers.
//
// Identifiers to receive are registered with a callback, transmit slots are registered and sent
// through; the 1 ms raster drains the receive queue into the callbacks.
#pragma once

#include <cstdint>

// Format byte: 0 11-bit, 1 29-bit identifier.
constexpr uint8_t CAN_FMT_STD = 0, CAN_FMT_EXT = 1;
constexpr int CAN_RX_SLOTS = 800, CAN_TX_SLOTS = 800;

// user word, identifier, format, DLC, the 64 data bytes (zero past the frame's length)
using canRxFunc = void (*)(uintptr_t user, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data);

// 1, or 0 when the receive queue cannot be opened.
int RtpManUsrCan_Init();
// 0 on success, 1 on failure.
int canRegisterRxFunc(uint8_t node, uint8_t format, uint32_t id, canRxFunc fn, uintptr_t user);
// The transmit handle, or -1.
int canRegisterTxFunc(uint8_t node, uint8_t format, uint32_t id, uint8_t kind, uint8_t flags);
void canTxMsg(int handle, uint32_t dlc, const uint8_t* data);
void canSend(uint8_t node, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data, uint8_t kind,
             uint8_t flags);
void canPoll_1ms();
// The bus state of node 0 or 1 as the status block reports it.
void RtpManUsrCan_ReportNodeStatus(int node, uint8_t state);
uint8_t canBusState(int node);

struct CanBitTiming;
// 1 when the manager accepts the node's bit timing.
int can_setBaudrate(uint32_t node, CanBitTiming* timing);
// Activates CAN: 1, or 0.
int canInitialize();
// Bit timing of both nodes from the data page, then activation: 1 when both nodes were accepted.
int can_CtrlInit();
// Bytes of a DLC (CAN FD coding); 0 for 16 and above.
uint8_t canDLC2length(uint32_t dlc);

// Tests: both slot tables empty, the queue forgotten.
void can_reset();
