// Polled CAN message layer over the driver client: a receive registration reserves a buffer
// that every matching frame overwrites; a read copies the newest frame with a "new" flag.
// Interfaces are 1 and 2 here (node = interface - 1).
#pragma once

#include <cstdint>

struct ucp2Msg {
    uint8_t format;
    uint8_t dlc; // = length
    uint32_t id;
    uint8_t data[8];
};

struct ucp2MsgFD {
    uint8_t fd; // 1 on read; the frame-kind byte on send
    uint8_t format;
    uint8_t length;
    uint8_t flags; // the flags byte on send
    uint8_t dlc;
    uint32_t id;
    uint8_t data[64];
};

constexpr int UCP2_BUFFERS = 4096;

int ucp2ActivateMutex();
// Buffer index, or -1.
int ucp2RegisterRxMsg(int intf, uint8_t format, uint32_t id);
int ucp2RegisterRxMsgFD(int intf, uint8_t format, uint32_t id);
int ucp2RegisterTxMsg(...);
int ucp2RegisterTxMsgFD(...);
void ucp2SendMsg(int unused, int intf, const ucp2Msg* msg);
void ucp2SendMsgFD(int unused, int intf, const ucp2MsgFD* msg);
void ucp2GetMsg(int index, ucp2Msg* msg, uint8_t* isNew, int unused);
void ucp2GetMsgFD(int index, ucp2MsgFD* msg, uint8_t* isNew, int unused);
// Receive callback (user word = buffer index).
void ucp2RxMsgProcessor(uintptr_t index, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data);
void ucpMutexTake();
void ucpMutexGive();

// Tests: every buffer free.
void ucp2_reset();
