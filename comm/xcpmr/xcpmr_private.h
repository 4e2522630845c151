// The XCP master's instance record and its two transports, shared by the state machine and the
// transport code.
#pragma once

#include "comm/ccpmr/mrcore.h"
#include "platform/os/os.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <netinet/in.h>

namespace xmr {

extern MSG_Q_ID daqQueue;

constexpr int INSTANCES = 8, DAQS = 32, CHANNELS = 1000;
constexpr int PID_MAP = 252;
constexpr int PACKET_MAX = 256; // responses and DTO payloads the queues carry
constexpr int DATAGRAM = 65507;
constexpr int RX_IDS = 33;

enum Tag : uint32_t { TAG_RESPONSE = 0, TAG_START = 1, TAG_KEEPALIVE = 2, TAG_CLOCK = 3, TAG_STOP = 4 };

struct Inst;
struct Daq : mr::DaqCore {
    Inst* inst;
    uint8_t number; // DAQ number at the slave (among the DAQs with ODTs)
};

struct CanTl {
    int tx;
    uint8_t node;
    uint32_t cmdId, respId;
    int32_t rx[RX_IDS];
};
struct UdpTl {
    int fd;
    sockaddr_in slave;
    uint8_t buf[DATAGRAM];
    uint32_t fill, pos;
    uint16_t sendCtr, lastCtr;
};

struct Msg {
    uint32_t tag;
    uint16_t len;
    uint8_t data[PACKET_MAX];
};
struct DaqMsg {
    Daq* daq;
    uint32_t stamp;
    uint8_t odt, len;
    uint8_t data[PACKET_MAX];
};

struct Inst {
    MSG_Q_ID q;
    std::atomic<uint32_t> posted, postFail;
    uint32_t errHold, keepAlive, clockPoll;
    std::atomic<int32_t> offset; // 100 us
    TASK_ID task, rxTask;
    std::atomic<uint8_t> state;
    uint8_t next;
    CanTl* can;
    UdpTl* udp;
    uint8_t tl; // CfgMat_XcpMr_TransportLayer
    Daq* daqs;
    mr::Cond cond;
    int (*send)(Inst*, const uint8_t*, uint32_t);
    double factor; // slave ticks to 100 us
    std::atomic<uint16_t> wdog;
    uint8_t index, retry, cur, odt, elem, noReply, positives, bigEndian, nDaq, daqsInUse, tsSize, tsUsed;
    uint8_t pidByte, props, minDaq;
    std::atomic<uint8_t> keyByte;
    std::atomic<bool> parked; // set-up failed: its bound CAN handlers drop every frame
    uint16_t maxDaq, maxEvent;
    std::atomic<uint32_t> pidMap[PID_MAP]; // bit 31 valid, DAQ index in bits 8 to 23, ODT in 0 to 7
};

// A slave clock value in 100 us, modulo 2^32 as this unit's clock wraps: a long count times a
// large factor passes every integer type.
inline double slaveTime(uint32_t ticks, double factor) {
    return std::fmod(ticks * factor, 4294967296.0);
}

// The DAQ of the instance that the slave numbers `number`, or null.
Daq* daqByNumber(Inst* in, uint32_t number);
// A DTO of ODT `odt` (relative) of the DAQ: to the DAQ task, when the DAQ runs.
void postDto(Inst* in, Daq* d, uint32_t odt, uint32_t stamp, const uint8_t* data, uint32_t len);
void postResponse(Inst* in, const uint8_t* p, uint32_t len, const char* text);
bool running(const Inst* in);

// Transports (xcpmr_tl.cpp).
int CanInit(Inst* in);
int CanDaqInit(Inst* in, Daq* d);
int CanSendPacket(Inst* in, const uint8_t* p, uint32_t len);
int UdpInit(Inst* in, uint32_t address, uint16_t port);
int UdpSendPacket(Inst* in, const uint8_t* p, uint32_t len);
// The next packet of the current datagram (receiving one when it is used up): its length, or -1.
int UdpReceivePacket(Inst* in, const uint8_t** packet);
// The next packet of the datagram in the buffer: its length, or -1 (the rest dropped).
int UdpNextPacket(UdpTl* u, const uint8_t** packet);
// A packet from the slave: a response to the instance task, a DTO to the DAQ task.
void UdpHandlePacket(Inst* in, const uint8_t* p, uint32_t n);
// What the DAQ task does with one DTO.
void daqMessage(const DaqMsg& m);
bool RxTaskCreate(Inst* in);
void UdpClose(Inst* in);

} // namespace xmr
