// Device network transport (BaseCom2): how units find each other and exchange commands and data.
//
// Device network transport (BaseCom2): presence multicast, and per peer a command channel (CI,
// TCP) and a data channel (DK, TCP plus UDP), and the command multicast for all units.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t BC2_PRESENCE_SIZE = 60;
constexpr size_t BC2_PRESENCE_MIN = 56; // shorter datagrams are dropped
constexpr uint16_t BC2_VERSION = 517;
constexpr size_t BC2_FRAME = 1472;  // DK frame and UDP datagram
constexpr size_t BC2_DK_HEADER = 8; // DK record: destination PID, length, magic
constexpr size_t BC2_CI_PAYLOAD_MAX = 504;
constexpr size_t BC2_CI_RECV_MAX = 8188; // payload a CI header may announce before the link is dropped

// Ports and groups.
constexpr uint16_t BC2_PORT_PRESENCE = 9850;
constexpr uint16_t BC2_PORT_PRESENCE_TX = 9851;
constexpr uint16_t BC2_PORT_DK_UDP = 9852;
constexpr uint16_t BC2_PORT_CI = 9860;
constexpr uint16_t BC2_PORT_DK = 9861;
constexpr uint16_t BC2_PORT_CI_ACTIVE = 9862;
constexpr uint16_t BC2_PORT_DK_ACTIVE = 9863;
constexpr uint16_t BC2_PORT_CI_MC = 9870;
constexpr uint32_t BC2_GROUP_PRESENCE = 0xEFEFEFC8; // 239.239.239.200
constexpr uint32_t BC2_GROUP_CI = 0xEFEFEFC9;       // 239.239.239.201

// A presence packet as a receiver takes it.
struct Bc2Presence {
    uint8_t wire[BC2_PRESENCE_SIZE]; // the datagram, zero-filled past its end
    uint32_t address;
    uint16_t pid;
    uint32_t period;
    uint64_t heard, ci, dk;
    uint32_t counter;
    uint16_t version;
    uint16_t offset;
};
// False for a datagram to drop: shorter than 56 bytes or a PID above 63.
bool bc2_parse_presence(const uint8_t* data, size_t len, Bc2Presence* out);
// This unit's presence packet with the given sets and counter.
void bc2_build_presence(uint8_t out[BC2_PRESENCE_SIZE], uint32_t address, uint16_t pid, uint64_t heard,
                        uint64_t ci, uint64_t dk, uint32_t counter, uint16_t offset);
// Port of a peer's CI (or DK) listen socket that this unit connects to.
uint16_t bc2_peer_listen_port(bool dk, uint16_t ownOffset, uint16_t peerOffset, uint16_t peerVersion);
// True when the unit at `own` connects actively to the one at `peer` (addresses first octet
// high; compared from the fourth octet down).
bool bc2_connects_actively(uint32_t own, uint32_t peer);
// Delivers the DK records of one UDP datagram to this unit's FIFOs; returns the source PID of
// the last FIFO written, or -1.
int bc2_dk_datagram(const uint8_t* data, size_t len);

// Tests: called on the transport's tasks where another path may take the same channel (type 0
// CI, 1 DK): point 0 as the first activation is about to make the receive task, point 1 when a
// receive task has connected and is about to keep its socket, point 2 when another task is about
// to shut the channel's socket down. Null: none.
void bc2_setRaceHook(void (*hook)(int point, uint32_t pid, int type));
// The passive daemon's handling of a connection accepted on listen socket `listener` from
// addr:port (tests call it to accept at a chosen moment).
void bc2_accepted(int type, int listener, int fd, uint32_t addr, uint16_t port);

void BC2_init();
// Stops the transport: its loops end, every socket is shut down so that blocked receivers
// wake, the tasks are joined, then the sockets are closed.
void BC2_stop();

// Where received command messages go (the command interface's, handed in by the start-up):
// `queue` for this unit, `forward` for another, each with the message's source (the peer's PID,
// or BC2_SOURCE_OTHER); either gives -1 when the source holds its share of the command queue:
// a peer's command channel then waits on `room` (bounded slices, `ticks` each) before it reads on,
// so that TCP holds that peer alone back and nothing of it is lost; the command multicast never
// waits: such a datagram is dropped, counted and told.
constexpr int BC2_SOURCE_OTHER = 64;
void BC2_setCommandSink(int (*queue)(const uint8_t* message, int source),
                        int (*forward)(const uint8_t* message, int source),
                        bool (*room)(int source, int ticks));
// Who is told of a peer's reset, detected by its presence counter going back (the measurement
// server's, handed in by the start-up); called on the presence receiver.
void BC2_setResetSink(void (*sink)(uint16_t pid));

int comint_status();
// 1 once the transport gave up making the command multicast channel (no address on an
// interface, no sockets).
int BC2_ciMulticastFailed();
// A command message on the destination's command channel (the command multicast for 0xFFFE): 1
// when sent or waiting in the channel's queue. No caller waits on a peer, here and for the data
// records below: what the channel's socket does not take at once waits, in order, in the channel's
// queue (BC2_SEND_QUEUE bytes), which a task of the transport sends on as the socket takes it. A
// message the queue has no room for is lost (0, counted and told); a channel whose queue makes no
// progress for three seconds is dropped. A datagram that cannot go at once is lost.
constexpr size_t BC2_SEND_QUEUE = 64 * 1024;
int comint_put_eth(const uint8_t* message);
int comint_put_locSock(const uint8_t* message);
// Bytes waiting in the queue of the command channel to `pid`; -1 when this unit holds no such
// channel with a socket.
long BC2_ciWaiting(uint32_t pid);

// Appends one DK record (8-byte header, then the entry of the header's length) to the peer's
// frame: 1 when a full frame went (or waits whole in the channel's queue) during the call, 0 when
// the record went into the frame (or was dropped: no channel, or its frame failed), -1 when it was
// not taken because the channel's queue has no room for the frame before it: the caller keeps the
// record and offers it again later.
int dyncom_send_eth(const uint8_t* header, const uint8_t* entry);
int dyncom_send_eth_online(const uint8_t* header, const uint8_t* entry);
// Sends the pending frames of every peer: kind 1 the offline buffers, 0 the online ones.
void Dynkom_flush_eth(int kind);

// Receives exactly n bytes: n, 0 at end of stream, -1 on error or shutdown.
int bc2_recv_packet(int fd, void* buffer, int n);

int BC2_connected(uint32_t pid);
int BC2_getRemoteCapabilty(uint32_t pid, int capability);
uint64_t comint_get_connect_mask();
uint64_t udp_get_detect_mask();
uint64_t dk_get_connect_mask();

// Counters for the diagnostics. Message and frame counts are 16-bit and wrap.
struct Bc2DebugGlob {
    uint16_t mcRxCnt, mcRxErr; // command multicast datagrams received, receive errors
    uint16_t mcDropCnt;        // ... dropped beyond their sender's share of the command queue
    uint16_t bcRxCnt;          // presence packets received
    uint32_t bcSeqCnt;         // own presence sequence counter
};
struct Bc2DebugPid {
    uint32_t remSeqCnt;          // the peer's last presence sequence counter
    uint8_t cmdState, dataState; // CI and DK channel states (2 disconnected, 3 connected)
    uint16_t cmdTxCnt, cmdTxErr, cmdRxCnt, cmdRxErr;
    uint16_t dataTxCntOnline, dataTxCntOffline, dataTxErr;
    uint16_t dataRxCntOnline, dataRxCntOffline, dataRxErr; // UDP datagrams, TCP records, errors
    uint16_t remoteVer;
};
void BC2_debugoutGlob(Bc2DebugGlob* out);
// 0 (and a zeroed record) for a PID above 63.
int BC2_debugoutPID(uint32_t pid, Bc2DebugPid* out);
