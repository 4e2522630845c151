#include "comm/can/can.h"

#include "platform/kmgr/calls.h"
#include "platform/kmgr/kmgr.h"
#include "platform/os/os.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cstdio>

namespace {

struct RxSlot {
    canRxFunc fn;
    uint32_t id;
    uint8_t format;
    uintptr_t user;
    uint8_t node;
};

struct TxSlot {
    uint32_t node;
    uint8_t format;
    uint32_t id;
    uint8_t kind;
    uint8_t flags;
};

RxSlot rxReqMem[CAN_RX_SLOTS];
TxSlot txMsgInfo[CAN_TX_SLOTS];
// Published after the slot is filled: the CAN.xml task registers while the rasters poll and send.
std::atomic<int> canRxReqCnt{0};
std::atomic<int> canTxReqCnt{0};
MSG_Q_ID rxQueue = nullptr;

void clearTables() {
    for (RxSlot& s : rxReqMem)
        s = RxSlot{nullptr, 0xFFFFFFFFu, 0, 0, 0xFF};
    for (TxSlot& s : txMsgInfo)
        s = TxSlot{0, 0, 0xFFFFFFFFu, 0, 0};
    canRxReqCnt = 0;
    canTxReqCnt = 0;
}

} // namespace

int RtpManUsrCan_Init() {
    clearTables();
    char name[40];
    std::snprintf(name, sizeof name, "%s_%d", CAN_RX_QUEUE, static_cast<int>(RtpManUsr_getIndex()));
    rxQueue = msgQOpen(name, CAN_RX_QUEUE_MSGS, sizeof(CanRxMsg), MSG_Q_FIFO, 0);
    if (!rxQueue) {
        syslogx(LOG_ERR, "can_rtp_init: could not open queue %s", name);
        return 0;
    }
    return 1;
}

int canRegisterRxFunc(uint8_t node, uint8_t format, uint32_t id, canRxFunc fn, uintptr_t user) {
    if (node >= 2) {
        syslogx(LOG_ERR, "canRegisterRxFunc: interface number too big %d", node);
        return 1;
    }
    if (canRxReqCnt >= CAN_RX_SLOTS) {
        syslogx(LOG_ERR, "canRegisterRxFunc: too many requests");
        return 1;
    }
    const int slot = canRxReqCnt;
    rxReqMem[slot] = RxSlot{fn, id, format, user, node};
    if (kmgr_syscall(KCALL_CAN_REGISTER_RX, static_cast<intptr_t>(RtpManUsr_getIndex()), node, format, id,
                     slot) == -1) {
        syslogx(LOG_ERR, "canRegisterRxFunc: could not register rxfunc for 0x%03X", id);
        return 1; // the slot is reused by the next registration
    }
    canRxReqCnt.store(slot + 1, std::memory_order_release);
    return 0;
}

int canRegisterTxFunc(uint8_t node, uint8_t format, uint32_t id, uint8_t kind, uint8_t flags) {
    if (node >= 2) {
        syslogx(LOG_ERR, "canRegisterTxFunc: interface number too big %d", node);
        return -1;
    }
    if (canTxReqCnt >= CAN_TX_SLOTS) {
        syslogx(LOG_ERR, "canRegisterTxFunc: too many requests");
        return -1;
    }
    const int slot = canTxReqCnt;
    txMsgInfo[slot] = TxSlot{node, format, id, kind, flags};
    canTxReqCnt.store(slot + 1, std::memory_order_release);
    return slot;
}

void canTxMsg(int handle, uint32_t dlc, const uint8_t* data) {
    if (handle < 0 || handle >= canTxReqCnt.load(std::memory_order_acquire)) {
        SYSLOGX_GUARDED(LOG_ERR, "CanTxMsg: Sending unregistered message: %d", handle);
        return;
    }
    const TxSlot& s = txMsgInfo[handle];
    if (kmgr_syscall(KCALL_CAN_TRANSMIT, s.node, s.format, s.id, dlc, reinterpret_cast<intptr_t>(data),
                     s.kind, s.flags) == -1)
        SYSLOGX_GUARDED(LOG_ERR, "CanTxMsg: Send Error %d", handle);
}

void canSend(uint8_t node, uint32_t id, uint8_t format, uint32_t dlc, const uint8_t* data, uint8_t kind,
             uint8_t flags) {
    if (kmgr_syscall(KCALL_CAN_TRANSMIT, node, format, id, dlc, reinterpret_cast<intptr_t>(data), kind,
                     flags) == -1)
        SYSLOGX_GUARDED(LOG_ERR, "CanTxMsg: Send Error %d", node);
}

void canPoll_1ms() {
    if (!rxQueue) return;
    CanRxMsg msg;
    while (msgQReceive(rxQueue, &msg, sizeof msg, NO_WAIT) == static_cast<int>(sizeof msg)) {
        // The manager sends only registered slot numbers; anything else is dropped.
        if (msg.slot >= static_cast<uint32_t>(canRxReqCnt.load(std::memory_order_acquire))) continue;
        const RxSlot& s = rxReqMem[msg.slot];
        if (s.node < 2) can_ReceiveCnt[s.node]++;
        if (s.fn) s.fn(s.user, s.id, s.format, msg.dlc, msg.data);
    }
}

void RtpManUsrCan_ReportNodeStatus(int node, uint8_t state) {
    if (node == 0 || node == 1) can_NodeState[node] = state;
}

uint8_t canBusState(int node) {
    return node == 0 || node == 1 ? can_NodeState[node] : 255;
}

int can_setBaudrate(uint32_t node, CanBitTiming* t) {
    if (kmgr_syscall(KCALL_CAN_BITTIMING, static_cast<intptr_t>(RtpManUsr_getIndex()), node,
                     reinterpret_cast<intptr_t>(t)) == -1) {
        syslogx(LOG_ERR,
                "can_setBaudrate: could not initialize node %u with baudrate %d samplepoint: %f swj: %d",
                node, static_cast<int>(t->baudrate), static_cast<double>(t->samplepoint),
                static_cast<int>(t->sjw & 0xFF));
        return 0;
    }
    return 1;
}

int canInitialize() {
    if (kmgr_syscall(KCALL_CAN_ACTIVATE, static_cast<intptr_t>(RtpManUsr_getIndex())) == -1) {
        syslogx(LOG_ERR, "can_activate: could not activate can");
        return 0;
    }
    return 1;
}

int can_CtrlInit() {
    int ok = 1;
    for (uint32_t node = 0; node < 2; ++node) {
        CanBitTiming t{};
        t.baudrate = CAN_BAUDRATES[node];
        t.samplepoint = CAN_SAMPLEPOINT[node];
        t.sjw = CAN_SJW[node];
        t.samplepointUsed = &can_samplepoint[node];
        t.sjwUsed = &can_sjw[node];
        ok &= can_setBaudrate(node, &t);
    }
    canInitialize(); // also when a node was refused: the other one runs
    return ok;
}

uint8_t canDLC2length(uint32_t dlc) {
    return canDlcBytes(dlc);
}

void can_reset() {
    clearTables();
    rxQueue = nullptr;
}
