// Measurement server: serves this unit's channels to any client by address or name.
#pragma once

#include <cstddef>
#include <cstdint>

void meas_man_ini();
// Every 10 ms: the synchronisation of logged data; once a second the loss count and the list
// numbers of stopped lists, which come back after their delay.
void meas_man_10ms();
// Copies the lists requested at raster index `raster` with the time stamp `stamp` (100 us).
// Every copier of a raster takes that raster's lock for its whole pass, so lists are never
// freed under it and two tasks copying one raster never write one FIFO at once.
void meas_man_copy(int raster, uint32_t stamp);

// Handlers of the command group 0x05 that the server owns (0x0500 create ... 0x0517).
void meas_man_create(const uint8_t* message, size_t len);
void meas_man_break(const uint8_t* message, size_t len);
void meas_man_speed(const uint8_t* message, size_t len);
void meas_man_kill_my_measurements(const uint8_t* message, size_t len);
void meas_man_get_measurement_state(const uint8_t* message, size_t len);
void meas_man_create2_cmd(const uint8_t* message, size_t len);
void meas_man_meas2_create_reply(const uint8_t* message, size_t len);
void meas_man_break2(const uint8_t* message, size_t len);
void meas_man_break2_reply(const uint8_t* message, size_t len);
void meas_man_speed2(const uint8_t* message, size_t len);
void meas_man_speed2_reply(const uint8_t* message, size_t len);
void meas_man_get_measurement_state2(const uint8_t* message, size_t len);
void meas_man_get_measurement_state2_reply(const uint8_t* message, size_t len);

// Client side of a list by names: reserves the receiving FIFO and sends 0x0510. The reserved
// number when sent (the caller gives it back, dynkomm_free_magic_direct, once the request is over
// unanswered: a grant made a FIFO under it), else 0.
uint32_t meas_man_create2(uint32_t requestMagic, const char* names, uint16_t pid, uint16_t raster,
                          uint16_t speed, uint16_t namesLength, uint16_t nameCount, uint16_t slots,
                          uint16_t type);

// State queries are answered only once the virtual channels are in the name table and CAN is
// set up (both only ever switch on).
void meas_man_virtChan_registered();
void meas_man_CanIO_initialized();

uint8_t meas_man_copy_offline_data_enabled();
uint32_t meas_man_get_data_loss_cnt();
// IEEE-754 bits of a float in network order.
uint32_t htonl_float(uint32_t bits);

// Where the replies to the gateway's by-name requests and state queries go (the gateway's,
// handed in by the start-up).
struct MeasManGatewaySink {
    // listMagic 0: refused. records: 20-byte channel records, big-endian.
    void (*createReply)(uint32_t requestMagic, uint32_t listMagic, uint32_t fifo, const uint8_t* records,
                        size_t recordBytes);
    void (*serviceReply)(uint32_t requestMagic, uint32_t result);
    void (*stateReply)(uint16_t pid, uint32_t state);
    // A grant of `pid` by names whose FIFO number is reserved here no more.
    void (*lateGrant)(uint16_t pid, uint32_t listMagic);
    // The answer of `pid` to a stop by names (0x0513): the request, the FIFO it names to free
    // here, the stop's result.
    void (*stopReply)(uint16_t pid, uint32_t requestMagic, uint32_t fifo, uint32_t result);
};
void meas_man_setGatewaySink(const MeasManGatewaySink* sink);

// What detaches a server list from the master DAQ that drives it.
using MeasDetach = void (*)(void* list);
// The start-up hands in how a list made only of one DAQ's channels of the CCP (0) or XCP (1)
// master is tied to that DAQ: check gives 1 with the DAQ when the list words (host order) are
// such a list, create ties it once the list runs and returns what unties it (none: the raster
// copies it).
struct MeasManMaster {
    int (*check)(const int32_t* words, uint32_t length, uint32_t* daq, int mode);
    MeasDetach (*create)(void* list, uint32_t daq);
};
void meas_man_setMaster(int which, const MeasManMaster* master);
// One entry of a list that a master DAQ drives, stamped `stamp`; called under the master's lock,
// which its detach routine takes too.
void meas_man_copy_daq(void* list, uint32_t stamp);

// The device network detected a reset of `pid` (called on its presence receiver).
void meas_man_requesterReset(uint16_t pid);

// Tests: stops every list, forgets the flags, counters and the sink.
void meas_man_reset();
