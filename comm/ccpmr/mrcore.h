// What the CCP and XCP masters share: ODTs built from the channel configuration, value slots
// written whole, start conditions through the gateway, channel time-outs and the server lists
// that a DAQ feeds.
#pragma once

#include "comm/ccpmr/ccpmr.h"
#include "comm/gw/gw.h"
#include "platform/os/os.h"

#include <atomic>
#include <cstdint>

namespace mr {

constexpr uint32_t NO_TIMEOUT = 65535; // counter of a channel that keeps its last value
constexpr int FEED_LISTS = 16;         // server lists per DAQ
constexpr int FEED_PAIRS = 128;        // {DAQ, list} pairs per master

// One channel in an ODT: its slot, where its bytes start in the ODT's data and its element.
struct Chan {
    uint16_t chan;
    uint8_t offset;
    uint8_t size;
    uint8_t elem;
};
struct Odt {
    Chan* ch;
    uint16_t n;
    uint8_t used;  // bytes
    uint8_t elems; // elements (bytes when written byte by byte)
};

// A CAN identifier of the configuration: bit 31 set for a 29-bit one.
inline uint8_t canFormat(uint32_t id) {
    return static_cast<uint8_t>(id >> 31);
}
inline uint32_t canId(uint32_t id) {
    return id >> 31 ? id & 0x1FFFFFFF : id & 0x7FF;
}

// A value of `size` bytes in the unit's byte order, as the slot holds it (host order, in its
// first bytes).
uint32_t assemble(const uint8_t* p, uint8_t size, bool bigEndian);
// Multi-byte fields of a command in the unit's byte order.
void put16(uint8_t* p, uint16_t v, bool bigEndian);
void put32(uint8_t* p, uint32_t v, bool bigEndian);
uint16_t get16(const uint8_t* p, bool bigEndian);
uint32_t get32(const uint8_t* p, bool bigEndian);

// Builds the ODTs of DAQ configuration `cfg`: its channels (chanDaq == cfg, size 1, 2 or 4) in
// three passes of 4-, 2- and 1-byte channels, each in channel order, into the first ODT where
// they fit within maxBytes. Returns the ODTs in use, or -1 when a channel fits nowhere (or
// memory ran out). freeOdts undoes it.
int buildOdts(Odt* odts, uint32_t odtCount, uint32_t cfg, const uint8_t* chanDaq, const uint8_t* chanSize,
              uint32_t channels, uint32_t maxBytes, bool bytewise);
void freeOdts(Odt* odts, uint32_t odtCount);

// The value slots and time-outs of one master.
struct Slots {
    std::atomic<uint32_t>* value;
    std::atomic<uint32_t>* timeout;
    uint32_t count;
};
// Every slot to its default, counters to 0 (65535 for the channels without time-out).
void slotsInit(Slots& s, const uint32_t* defaults, const uint32_t* timeouts);
// The bytes of every channel of the ODT into its slot, each stored at once; their time-outs
// start again. Short data (`len` below the ODT's bytes) store nothing.
void storeOdt(Slots& s, const Odt& odt, const uint8_t* data, uint32_t len, bool bigEndian);
// Every 10 ms: counters below their time-out count up; reaching it restores the default.
void slots10ms(Slots& s, const uint32_t* defaults, const uint32_t* timeouts);

// calc_cond: operation 0 <, 1 <=, 2 >, 3 >=, 4 ==, 5 !=, 6 and above true; compared on the
// size's width, signed for a negative size; other sizes are true.
int calc_cond(uint32_t value, int32_t size, uint32_t threshold, uint8_t op);

struct Cond {
    uint32_t magic;
    std::atomic<uint32_t> value;
    std::atomic<uint8_t> valid;
    uint8_t configured;
    uint8_t size;
};
// The gateway's read callback of a condition (user: the Cond).
int condRead(uint32_t status, const void* entry, uintptr_t user);
// Asks the gateway for the condition value at `address` (its PID in bits 24 to 31, own for 0).
// who: "CcpMr" or "XcpMr", prefix: "ccpmr" or "xcpmr" of the log texts. 1 when asked.
int condSetup(gw_client_t* client, uint32_t address, uint32_t size, Cond* c, const char* who,
              const char* prefix);

// The server lists fed by the DAQs of one master, written by its DAQ task.
struct Feed {
    void* list[FEED_LISTS];
};
struct FeedTable {
    SEM_ID lock;
    struct Pair {
        Feed* daq;
        void* list;
    } pair[FEED_PAIRS];
};
// One entry of every list of the DAQ, stamped `stamp` (meas_man_copy_daq under the table's
// lock, which detaching takes too).
void feedWrite(FeedTable& t, Feed* f, uint32_t stamp);
// prefix "ccpmr" or "xcpmr" of the log texts. 1 when linked.
int feedAttach(FeedTable& t, Feed* f, void* list, const char* prefix);
void feedDetach(FeedTable& t, void* list, const char* prefix);

// The DAQ configuration whose channels alone a list names: every value word of class `cls`,
// with equal bits 12 to 23, a channel below `channels` and one DAQ (chanDaq). -1 otherwise;
// *mixed tells a list that mixes such channels with other words.
int32_t listDaq(const int32_t* words, uint32_t length, int hostOrder, uint32_t cls, uint32_t channels,
                const uint8_t* chanDaq, bool* mixed);

} // namespace mr
