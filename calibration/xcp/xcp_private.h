// What the three parts of the XCP slave share: the connection point, the transmit-queue item
// and the calls between protocol, DAQ engine and transport. Not for other modules.
#pragma once

#include "calibration/meas/seram_meas.h"
#include "calibration/xcp/xcp.h"
#include "calibration/xcp/xcp_config.h"
#include "platform/os/os.h"

#include <sys/socket.h>

#include <atomic>
#include <cstdint>

// Command codes of the XCP standard that the slave serves (every other code is unknown to it).
enum xcpCommand : uint8_t {
    XCP_CMD_CONNECT = 0xFF,
    XCP_CMD_DISCONNECT = 0xFE,
    XCP_CMD_GET_STATUS = 0xFD,
    XCP_CMD_SYNCH = 0xFC,
    XCP_CMD_GET_COMM_MODE_INFO = 0xFB,
    XCP_CMD_GET_ID = 0xFA,
    XCP_CMD_SET_REQUEST = 0xF9,
    XCP_CMD_GET_SEED = 0xF8,
    XCP_CMD_UNLOCK = 0xF7,
    XCP_CMD_SET_MTA = 0xF6,
    XCP_CMD_UPLOAD = 0xF5,
    XCP_CMD_SHORT_UPLOAD = 0xF4,
    XCP_CMD_BUILD_CHECKSUM = 0xF3,
    XCP_CMD_USER_CMD = 0xF1,
    XCP_CMD_DOWNLOAD = 0xF0,
    XCP_CMD_SHORT_DOWNLOAD = 0xED,
    XCP_CMD_SET_CAL_PAGE = 0xEB,
    XCP_CMD_GET_CAL_PAGE = 0xEA,
    XCP_CMD_GET_PAG_PROCESSOR_INFO = 0xE9,
    XCP_CMD_GET_SEGMENT_INFO = 0xE8,
    XCP_CMD_GET_PAGE_INFO = 0xE7,
    XCP_CMD_SET_SEGMENT_MODE = 0xE6,
    XCP_CMD_GET_SEGMENT_MODE = 0xE5,
    XCP_CMD_COPY_CAL_PAGE = 0xE4,
    XCP_CMD_SET_DAQ_PTR = 0xE2,
    XCP_CMD_WRITE_DAQ = 0xE1,
    XCP_CMD_SET_DAQ_LIST_MODE = 0xE0,
    XCP_CMD_START_STOP_DAQ_LIST = 0xDE,
    XCP_CMD_START_STOP_SYNCH = 0xDD,
    XCP_CMD_GET_DAQ_CLOCK = 0xDC,
    XCP_CMD_GET_DAQ_PROCESSOR_INFO = 0xDA,
    XCP_CMD_GET_DAQ_RESOLUTION_INFO = 0xD9,
    XCP_CMD_GET_DAQ_LIST_INFO = 0xD8,
    XCP_CMD_GET_DAQ_EVENT_INFO = 0xD7,
    XCP_CMD_FREE_DAQ = 0xD6,
    XCP_CMD_ALLOC_DAQ = 0xD5,
    XCP_CMD_ALLOC_ODT = 0xD4,
    XCP_CMD_ALLOC_ODT_ENTRY = 0xD3,
};

// First byte of the packets the slave sends, besides the DTOs' ODT number.
enum : uint8_t { XCP_PID_RES = 0xFF, XCP_PID_ERR = 0xFE, XCP_PID_EV = 0xFD };
constexpr uint8_t XCP_EV_SESSION_TERMINATED = 0x07;

// Error codes (a positive response is XCP_OK).
enum : uint8_t {
    XCP_ERR_CMD_SYNCH = 0x00,
    XCP_ERR_CMD_BUSY = 0x10,
    XCP_ERR_DAQ_ACTIVE = 0x11,
    XCP_ERR_PGM_ACTIVE = 0x12,
    XCP_ERR_CMD_UNKNOWN = 0x20,
    XCP_ERR_CMD_SYNTAX = 0x21,
    XCP_ERR_OUT_OF_RANGE = 0x22,
    XCP_ERR_WRITE_PROTECTED = 0x23,
    XCP_ERR_ACCESS_DENIED = 0x24,
    XCP_ERR_ACCESS_LOCKED = 0x25,
    XCP_ERR_PAGE_NOT_VALID = 0x26,
    XCP_ERR_MODE_NOT_VALID = 0x27,
    XCP_ERR_SEGMENT_NOT_VALID = 0x28,
    XCP_ERR_SEQUENCE = 0x29,
    XCP_ERR_DAQ_CONFIG = 0x2A,
    XCP_ERR_MEMORY_OVERFLOW = 0x30,
    XCP_ERR_GENERIC = 0x31,
    XCP_ERR_VERIFY = 0x32,
    XCP_OK = 0xFF,
};

enum xcpTxKind : uint32_t {
    XCP_TX_CTO = 0,
    XCP_TX_DTO = 1, // the DTO frames waiting in the transport's DTO buffer
    XCP_TX_FLUSH = 2,
    XCP_TX_RESET = 3,
    XCP_TX_STOP = 4,
    XCP_TX_TICK = 5 // the 10 ms tick: what waits for more frames leaves
};

// One transmit-queue item; the frame header is written in front of the packet.
struct xcpTxItem {
    uint32_t kind;
    uint32_t length;
    uint8_t header[XCP_FRAME_HEADER];
    uint8_t packet[256];
};
static_assert(sizeof(xcpTxItem) == 268);

struct xcpOdtEntry {
    uint8_t number;
    uint8_t extension;
    uint8_t size;
    uint8_t bitOffset;
    bool written;
    uint32_t address;
    seramMeasHandle handle;
};

struct xcpOdt {
    uint8_t number;
    uint8_t entryCount;
    uint16_t payload; // value bytes of the written entries
    xcpOdtEntry* entries;
};

enum : uint32_t { XCP_DAQ_STOPPED = 0, XCP_DAQ_RUNNING = 1, XCP_DAQ_SELECTED = 2 };

struct xcpDaqList {
    uint16_t number;
    uint8_t odtCount;
    uint8_t priority;
    uint8_t prescaler;
    uint8_t prescalerCounter;
    uint8_t mode;
    uint32_t state;
    uint16_t event; // XCP_EVENT_NONE when unbound
    xcpOdt* odts;
};

struct xcpEvent {
    uint8_t properties;
    uint8_t maxDaqList;
    uint8_t nameLength;
    uint8_t cycle;
    uint8_t unit;
    uint8_t priority;
    xcpDaqList* list;
};

struct xcpEthCtx;

struct xcpCp {
    uint32_t number;
    xcpEthCtx* eth;
    MSG_Q_ID txQueue;
    std::atomic<uint32_t> state;
    uint8_t resource;
    std::atomic<uint8_t> sessionStatus; // bit 0 store pending, bit 6 DAQ running
    uint16_t sessionConfigId;
    // Master present: an OS-layer timer, so that its four seconds follow the unit's clock.
    std::atomic<OS_TIMER_ID> mpTimer;
    bool mpTimerFailed;
    std::atomic<uint8_t> masterPresent;
    std::atomic<bool> disconnectPending; // queued by the time-out for the receive task
    // DAQ: the configuration under the mutex (command task) against sending (raster tasks).
    SEM_ID daqMutex;
    xcpEvent events[XCP_MAX_EVENT_CHANNEL];
    xcpDaqList lists[XCP_MAX_DAQ];
    uint16_t listCount;
    uint8_t allocState;
    uint16_t ptrList;
    uint8_t ptrOdt;
    uint8_t ptrEntry;
    // Memory transfer address (virtual, PID stripped) and paging of segment 0.
    uint32_t mta;
    uint8_t mtaExt;
    uint8_t ecuPage;
    uint8_t xcpPage;
    uint8_t segmentMode;
};

constexpr uint8_t XCP_SESSION_STORE_CAL_REQ = 0x01;
constexpr uint8_t XCP_SESSION_DAQ_RUNNING = 0x40;

extern xcpCp xcpCps[XCP_CP_COUNT];

// ---- protocol -------------------------------------------------------------------------------
int xcpProtocolLayerInit(xcpCp* cp, uint32_t number);
// One received packet (command code first); runs in the receive task.
int xcpCommandProcessor(xcpCp* cp, const uint8_t* packet, uint32_t length);
// Work queued for the receive task (the master-present time-out's disconnect).
void xcpCommandProcessorIdle(xcpCp* cp);
// 1 queued, 0 lost (logged).
int xcpTxFrame(xcpCp* cp, const xcpTxItem* item);
// The same under the caller's own text and flood guard (a flood of one text leaves the others
// heard), waiting up to `ticks` for room.
int xcpTxFrame(xcpCp* cp, const xcpTxItem* item, std::atomic<uint8_t>& guard, const char* failText,
               int ticks = NO_WAIT);
void xcpTxCTOErr(xcpCp* cp, xcpTxItem* item, uint8_t command, uint8_t error);
// Checks an address as SET_MTA gets it: XCP_OK or OUT_OF_RANGE (logged).
uint8_t xcpValidateMTA_Address(const xcpCp* cp, uint8_t extension, uint32_t address);
const char* xcpErrorCodeToString(uint8_t code);
const char* xcpCommandCodeToString(uint8_t code);

// ---- DAQ engine -----------------------------------------------------------------------------
void xcpDaqInit(xcpCp* cp);
// A DAQ command of the connected state: XCP_OK with the response bytes after 0xFF in
// resp[1..], *respLength the whole response; otherwise the error code.
uint8_t xcpDaqCommand(xcpCp* cp, const uint8_t* packet, uint32_t length, uint8_t* resp, uint32_t* respLength);
// Minimum request length of a DAQ command, 0 for a code the engine does not serve.
uint32_t xcpDaqCommandLength(uint8_t code);
void xcpSendCpDAQ(xcpCp* cp, int event);
uint8_t xcpFreeDAQ(xcpCp* cp);
uint8_t xcpStartStopSynch(xcpCp* cp, uint8_t mode);

// ---- transport ------------------------------------------------------------------------------
int xcpEthInit(xcpCp* cp, uint32_t address, uint16_t port);
void xcpEthDtoFlush(xcpCp* cp);
// The DTOs of one event cycle, under the DAQ mutex (one producer at a time): room for `bytes`
// of frames (LEN, a CTR the transmit task fills in, packet) in one piece of the DTO buffer, or
// null with errno set when the transmit task is that far behind; then the frames written there
// handed over. They are packed with the queue item that waits for the transmit task, or with one
// queued for them; when the queue is full, with the next cycle's item or the 10 ms tick. With
// `leave`, that item sends them at once with what waits before them.
uint8_t* xcpEthDtoSpace(xcpCp* cp, uint32_t bytes);
void xcpEthDtoSend(xcpCp* cp, uint32_t bytes, bool leave);
// DTOs dropped before they were queued: the packet counter skips them, so the master sees a gap.
void xcpEthDtoLost(xcpCp* cp, uint32_t count);
// At CONNECT: the packet counter back to 1, and responses go to the sender of the packet in hand.
void xcpEthReset(xcpCp* cp);
// The 10 ms tick: DTO frames still waiting for their datagram leave; the transmit task is woken
// for them (one queue item at a time), and for nothing else.
void xcpEthTick(xcpCp* cp);
// Wakes the receive task for work queued to it.
void xcpEthWake(xcpCp* cp);
// Shutdown: the transmit task sends what is queued and ends, the receive task is woken and
// ends, the socket closes.
void xcpEthStop(xcpCp* cp);
// Tests: the stopped transport's context freed.
void xcpEthFree(xcpCp* cp);

// ---- socket registry: the sockets the slave opened ----------------------------------------
int xcpSocket_get(int domain, int type, int protocol);
int xcpSocket_accept(int fd, sockaddr* address, socklen_t* length);
int xcpSocket_close(int fd);
bool xcpSocket_isShutdown();
// The end of the process: the sockets still open are closed and no more are given. (The
// process leaves without static destructors; the shutdown calls this.)
void xcpSocket_shutdown();
// Tests: the registry as before the first socket.
void xcpSocket_reset();
// One received datagram from `from` (a sockaddr_in), as the receive task hands it on.
void xcpEthDatagram(xcpCp* cp, const uint8_t* data, uint32_t length, const void* from);
