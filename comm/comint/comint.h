// Command interface of the device network: the command messages and their dispatch by code.
//
// Command interface of the device network: every request and reply between units (and between
// modules of this unit) is one command message, a 20-byte big-endian header and its payload.
// One queue and the task "r_Comint" carry each message to the service that owns its command
// code, or to the transport when it is for another unit.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t CI_HEADER = 20;
constexpr size_t CI_QUEUE_PAYLOAD_MAX = 492;
constexpr size_t CI_QUEUE_MESSAGE = 512;
constexpr int CI_QUEUE_DEPTH = 512;
constexpr uint16_t CI_PID_ALL = 0xFFFE;

// Header fields (big-endian on the wire and in the queue).
struct CiHeader {
    uint16_t length; // payload bytes
    uint16_t source;
    uint16_t dest;
    uint32_t context1;
    uint32_t context2;
    uint16_t code;
};
CiHeader ci_header(const uint8_t* message);
void ci_set_header(uint8_t* message, const CiHeader& h);

void comint_ini();
// Sends a message (header and payload, copied before the call returns). `fromOutside` 1 for
// the services: everything passes the queue. 1 when the message was queued or handed over.
uint16_t comint_put_cmd(const uint8_t* message, int fromOutside);
// Queues one of this unit's own messages (what the command task queues while it serves a peer's
// message, its replies, counts to that peer's share below). 1 queued, 0 refused.
int comint_queue_cmd(const uint8_t* message);

// What peers send: `source` is the peer (its PID, or BC2_SOURCE_OTHER for the multicast senders
// not heard on the network). Each source holds at most its share of the queue: messages of its
// queued and not yet taken by the command task. The peers heard on the network and the others
// divide CI_PEER_ROOM among them; the rest of the queue is the unit's own, which no peer can take.
// The transport's entries, handed in to it by the start-up.
constexpr int CI_PEER_ROOM = CI_QUEUE_DEPTH * 3 / 4;
// A message for this unit: 1 queued, 0 refused for good (too long for the queue), -1 the source
// holds its share (or the queue is full): nothing queued, to be tried again.
int comint_queue_from(const uint8_t* message, int source);
// A message for another unit, as comint_put_cmd(message, 0) sends it; this unit's copy of one for
// every unit counts to `source`, and -1 (nothing sent) when it has no room for it.
int comint_forward_from(const uint8_t* message, int source);
// Waits at most `ticks` until `source` has room in its share: true when it has.
bool comint_wait_room(int source, int ticks);
// Serves one message for this unit; `len` is the number of bytes at `message`.
void ci_serve_command(const uint8_t* message, size_t len);

// Handlers of services above the command interface, handed in by the start-up before the command
// task serves the first message.
using ComintHandler = void (*)(const uint8_t* message, size_t len);
// A handler that builds its reply into `reply` and returns its length (0: no reply); the
// command interface sends it.
using ComintReplyHandler = size_t (*)(const uint8_t* request, size_t len, uint8_t* reply, size_t size);
void comint_setHandler(uint16_t code, ComintHandler handler);
void comint_setReplyHandler(uint16_t code, ComintReplyHandler handler);
// The handler that serves a code (none for a code served by a reply handler, or by nobody).
ComintHandler comint_handlerOf(uint16_t code);

// Context handles: what a requester puts into a context word to name its result flag or its
// routine. Only this unit resolves them; a word from the network that names no live handle of
// the right kind (a stale, foreign or forged one) resolves to nothing and is ignored.
using ComintRoutine = void (*)(const uint8_t* data, size_t len, uint16_t pid);
uint32_t comint_handle_flag(uint16_t* flag);
uint32_t comint_handle_routine(ComintRoutine routine);
void comint_handle_drop(uint32_t handle);
ComintRoutine comint_resolve_routine(uint32_t handle);

// Error ring: 16 records of code and the failed message's header.
constexpr int CI_ERROR_RING = 16;
constexpr uint32_t CI_ERR_SEND = 100, CI_ERR_ROUTE = 101, CI_ERR_CODE = 102, CI_ERR_FORWARD = 103;
struct CiErrorRecord {
    uint32_t code;
    uint8_t header[18];
};
void comint_error_ini();
void comint_error(uint32_t code, const uint8_t* message);
uint32_t comint_error_count();
CiErrorRecord comint_error_get(uint32_t n);

// Command group 0x01: the routing table and the generic replies.
void routing_set_table_entries_cmd(const uint8_t* message, size_t len);
void routing_set_table_entries_by_list_cmd(const uint8_t* message, size_t len);
void routing_initialize_routing_table_cmd(const uint8_t* message, size_t len);
void routing_return_cmd(const uint8_t* message, size_t len);
void routing_return_false_cmd(const uint8_t* message, size_t len);
void routing_bounce_cmd(const uint8_t* message, size_t len);
void routing_bounce_return_cmd(const uint8_t* message, size_t len);
void routing_return_func(const uint8_t* message, size_t len);

// Tests: forgets the registered handlers, handles and errors (the queue and task stay).
void comint_reset();
