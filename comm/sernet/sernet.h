// Serial network paths: measurement lists from the unit that measures to the one that asked.
//
// Serial network paths: the entries of a measurement list from the unit that measures to the
// unit that asked for them (commands 0x0300 open, 0x0301 close), and the online and offline
// senders per raster that pass sending FIFOs to the transport.
#pragma once

#include "comm/dynkomm/dynkomm.h"

#include <cstddef>
#include <cstdint>

constexpr int SERNET_RASTERS = 20;
// What the receiving FIFOs of one peer's paths may take here; a request beyond is refused.
constexpr uint32_t SERNET_PEER_PATHS = 128;
constexpr uint32_t SERNET_PEER_BYTES = 16u << 20;

void SerNet_man_ini();
// Once a second: a path whose reply has not come in its fifth second fails.
void SerNet_man_1s();
void SerNet_man_sender_online(int raster);
void SerNet_man_sender_offline(int raster);
void SerNet_man_flush_online();
void SerNet_man_flush_offline();

// Slots of a sending FIFO at a raster index.
uint16_t dynkomm_getslotnum_SerNet(int raster);

// Opens a path from `source` to `dest` whose entries are `entrySize` bytes (rounded up to 4).
// `continuation` is a routine handle (comint_handle_routine) called once with the completion
// message {u32 context, u32 sending FIFO, u32 receiving FIFO, u16 PID} and the receiving unit's
// PID (0 when the path failed); FIFOs are named by their magic numbers. 1 when requested.
int dynkomm_openpath(uint16_t source, uint16_t dest, uint16_t entrySize, uint16_t raster, uint16_t slots,
                     uint16_t flags, uint32_t continuation, uint32_t context);
// Closes the path whose sending (or local) FIFO is registered under `fifo`.
void dynkomm_closepath(uint16_t source, uint32_t fifo, uint16_t dest);

void SerNet_man_openpath(const uint8_t* message, size_t len);
void SerNet_man_closepath(const uint8_t* message, size_t len);
// The continuation of a path reply (0x0107).
void dynkomm_open_serial_network_path_reply(const uint8_t* message, size_t len, uint16_t pid);

// A receiving FIFO (not registered yet); none when out of memory or the sizes are not sound.
DynkommFifo* SerNet_man_reserve(uint16_t slotSize, uint16_t slots, uint16_t flags, uint16_t raster,
                                uint16_t sourcePid, uint32_t handle);
// Takes the FIFO registered under `fifo` out of its sender list and the registry, then frees it;
// 0 when the number names no FIFO (so none is freed twice).
int SerNet_man_release_fifo(uint32_t fifo);
void SerNet_man_start_sending(DynkommFifo* fifo);
int SerNet_man_stop_sending(DynkommFifo* fifo);

// Lists by names: for `dest` this unit a local FIFO of `slots` under `partner`, else a sending
// FIFO towards `dest` under a new number (4 slots, in queue mode those of its raster), put on
// its sender list. The FIFO's `magic` is its number; none when the sizes are not sound, `dest`
// has no route or no number is left.
DynkommFifo* dynkomm_fifo_link(uint32_t partner, uint16_t source, uint16_t dest, uint16_t raster,
                               uint16_t slots, uint16_t slotSize, uint16_t flags);
// Releases what dynkomm_fifo_link made under `magic`: a local FIFO is freed and 0 returned, a
// sending one leaves its sender list and the partner's number is returned; 0 for an unknown one.
uint32_t dynkomm_fifo_unlink(uint16_t source, uint16_t dest, uint32_t magic);

// Tests: empties the sender lists (their FIFOs stay with the registry).
void SerNet_man_reset();
