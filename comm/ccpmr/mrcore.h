// What the CCP and XCP masters share: ODTs built from the channel configuration, value slots
// written whole, start conditions through the gateway, channel time-outs, the server lists
// that a DAQ feeds, the set-up of the DAQs, the instance and DAQ tasks and their queues, and the
// status each instance publishes.
#pragma once

#include "calibration/block/word.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/gw/gw.h"
#include "platform/os/os.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace mr {

constexpr uint32_t NO_TIMEOUT = 65535; // counter of a channel that keeps its last value
constexpr int FEED_LISTS = 16;         // server lists per DAQ
constexpr int FEED_PAIRS = 128;        // {DAQ, list} pairs per master
constexpr int QUEUE = 128;             // messages of an instance's or the DAQ task's queue

// A table of the data page in use (CfgMat_CcpMr_*, CfgMat_XcpMr_*): a PC tool rewrites it while the
// masters read it, so each element loads whole.
template <class T> using Table = const seramWord<T>*;

// The status both masters publish per instance.
enum Status : uint8_t {
    ST_IDLE = 0,
    ST_STOPPING = 2,
    ST_READY = 3,
    ST_STARTING = 4,
    ST_RUNNING = 5,
    ST_ERROR = 6
};

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
int buildOdts(Odt* odts, uint32_t odtCount, uint32_t cfg, Table<uint8_t> chanDaq, Table<uint8_t> chanSize,
              uint32_t channels, uint32_t maxBytes, bool bytewise);
void freeOdts(Odt* odts, uint32_t odtCount);

// The value slots and time-outs of one master.
struct Slots {
    std::atomic<uint32_t>* value;
    std::atomic<uint32_t>* timeout;
    uint32_t count;
};
// Every slot to its default, counters to 0 (65535 for the channels without time-out).
void slotsInit(Slots& s, Table<uint32_t> defaults, Table<uint32_t> timeouts);
// The bytes of every channel of the ODT into its slot, each stored at once; their time-outs
// start again. Short data (`len` below the ODT's bytes) store nothing.
void storeOdt(Slots& s, const Odt& odt, const uint8_t* data, uint32_t len, bool bigEndian);
// Every 10 ms: counters below their time-out count up; reaching it restores the default.
void slots10ms(Slots& s, Table<uint32_t> defaults, Table<uint32_t> timeouts);

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
                Table<uint8_t> chanDaq, bool* mixed);

// What both masters keep of a DAQ; each adds its instance and the slave's numbering.
struct DaqCore {
    Feed feed;
    uint32_t dto;
    Odt* odts;
    uint16_t prescaler;
    uint8_t cfg, event, odtCount;
    uint8_t configured; // ODTs holding channels
    std::atomic<uint8_t> inUse, firstPid, started;
    uint32_t cycle; // time stamp of the DAQ cycle (the DAQ task's)
};

// A master's DAQ and channel tables, taken from the data page when they are read.
struct DaqTables {
    Table<uint8_t> mrid;
    Table<uint8_t> event;
    Table<uint16_t> prescaler;
    Table<uint8_t> odtNum;
    Table<uint32_t> canId;
    uint32_t daqs;
    Table<uint8_t> chanDaq;
    Table<uint8_t> chanSize;
    uint32_t channels;
};
// The log texts of a failed DAQ set-up.
struct DaqTexts {
    const char* noDaqs; // no memory for the DAQs
    const char* noOdts; // no memory for a DAQ's ODTs
    const char* full;   // a channel fits no ODT
};
bool logFailure(const char* text); // logs text, false
// DAQ `k` of the tables: its fields, and its ODTs of at most maxBytes each.
bool daqSetup(DaqCore& d, const DaqTables& t, uint8_t k, uint32_t maxBytes, bool bytewise, const DaqTexts& x);
// The DAQs of instance `owner`, each set up by daqSetup and then by `each(d, k)` (false fails).
template <class Daq, class Each>
bool daqsInit(Daq*& daqs, uint8_t& nDaq, const DaqTables& t, uint8_t owner, uint32_t maxBytes, bool bytewise,
              const DaqTexts& x, Each each) {
    nDaq = 0;
    for (uint32_t k = 0; k < t.daqs; ++k)
        nDaq = static_cast<uint8_t>(nDaq + (t.mrid[k] == owner));
    if (nDaq && !(daqs = new (std::nothrow) Daq[nDaq]{})) return logFailure(x.noDaqs);
    uint8_t n = 0;
    for (uint32_t k = 0; k < t.daqs; ++k) {
        if (t.mrid[k] != owner) continue;
        Daq& d = daqs[n++];
        if (!daqSetup(d, t, static_cast<uint8_t>(k), maxBytes, bytewise, x) || !each(d, k)) return false;
    }
    return true;
}
template <class Daq> void daqsFree(Daq* daqs, uint8_t nDaq) {
    for (uint8_t k = 0; k < nDaq && daqs; ++k) {
        freeOdts(daqs[k].odts, daqs[k].odtCount);
        delete[] daqs[k].odts;
    }
    delete[] daqs;
}
// The DAQ of configuration `cfg` among the instances (its owner from the tables), or null.
template <class Inst, size_t N>
auto findDaq(Inst* const (&inst)[N], Table<uint8_t> mrid, uint32_t daqs, uint32_t cfg)
    -> decltype(inst[0]->daqs) {
    const uint8_t owner = cfg < daqs ? mrid[cfg] : 255;
    if (owner >= N || !inst[owner]) return nullptr;
    for (uint8_t k = 0; k < inst[owner]->nDaq; ++k)
        if (inst[owner]->daqs[k].cfg == cfg) return &inst[owner]->daqs[k];
    return nullptr;
}

// What a master keeps beside its instances.
struct Master {
    Slots slots;
    FeedTable feeds;
    MSG_Q_ID& daqQueue;
    TASK_ID daqTask;
    gw_client_t* gwClient;
};
// Slots to their defaults and the feed lock.
void masterIni(Master& m, Table<uint32_t> defaults, Table<uint32_t> timeouts);
// The DAQ task and its queue of `msgSize` messages, once.
bool daqTaskCreate(Master& m, size_t msgSize, const char* name, int prio, int stack, TASK_ENTRY entry,
                   const char* noQueue, const char* noTask);
// An instance's queue and task "r_<prefix><index>" (arg: the instance).
bool instTaskCreate(MSG_Q_ID& q, TASK_ID& task, size_t msgSize, const char* prefix, uint8_t index, int prio,
                    int stack, TASK_ENTRY entry, intptr_t arg);
// A message to an instance queue without waiting, counted; a failure logged through `guard`
// (text: one %s for the error).
void post(MSG_Q_ID q, const void* msg, size_t size, std::atomic<uint32_t>& posted,
          std::atomic<uint32_t>& failed, std::atomic<uint8_t>& guard, const char* text);
// The gateway client for the start conditions, once. name: "CCPMR" or "XCPMR".
bool gwConnect(Master& m, const char* name);
// The DAQ task, its queue, the gateway client and the fed lists gone.
void masterReset(Master& m);
// ODT `odt` of the DAQ (relative; others ignored) into the slots; its first starts a cycle, its
// last feeds the lists.
void daqStore(Master& m, DaqCore& d, int odt, uint32_t stamp, const uint8_t* data, uint32_t len,
              bool bigEndian);
// The slot of a measurement address (its channel in bits 0 to 11), or null.
void* slotAddr(Master& m, uint32_t address);
// listDaq, a mixed list logged. name: "CCPMR" or "XCPMR".
int32_t listCfg(const int32_t* words, uint32_t length, int hostOrder, uint32_t cls, uint32_t channels,
                Table<uint8_t> chanDaq, const char* name);

// An instance task's wait for its next message: without end while `wait` is negative, else
// until `deadline`. 1 for a message, 0 when the wait ran out, -1 for a failure (logged through
// guard; text: one %#x for errno).
int awaitMsg(MSG_Q_ID q, void* msg, size_t size, int wait, uint32_t deadline, std::atomic<uint8_t>& guard,
             const char* text);
// An instance task: each message handled (false: still waiting, nothing to send) or, when a
// wait ran out, timeOut; then the state machine's sends, while it goes on at once. A wait it
// asks for ends `wait` ticks on (10 spare); a stop that ends in a wait without limit leaves the
// status (statusCell) ready. text: the log of a failed receive, one %#x for errno.
template <class Msg, class TimeOut, class Handle, class Send>
void instanceLoop(MSG_Q_ID q, uint8_t* statusCell, const char* text, TimeOut timeOut, Handle handle,
                  Send send) {
    static std::atomic<uint8_t> guard{0}; // one per master: each passes its own handlers
    int wait = -1;
    uint32_t deadline = 0;
    for (;;) {
        Msg m;
        const int got = awaitMsg(q, &m, sizeof m, wait, deadline, guard, text);
        if (got < 0) continue;
        if (got == 0) {
            timeOut();
        } else if (!handle(m)) {
            continue;
        }
        while ((wait = send()) == 0) {
        }
        if (wait > 0)
            deadline = tickGet() + static_cast<uint32_t>(wait + 10);
        else if (__atomic_load_n(statusCell, __ATOMIC_RELAXED) == ST_STOPPING)
            __atomic_store_n(statusCell, static_cast<uint8_t>(ST_READY), __ATOMIC_RELAXED);
    }
}
// The end of a wait: after a command that gets no reply (a disconnect) the state machine goes
// on to `next`. False when the command is to be retried.
bool replyless(uint8_t& noReply, std::atomic<uint8_t>& state, uint8_t next);
// The DAQ task's next message from the master's queue; false for none (logged through guard).
bool daqReceive(Master& m, void* msg, size_t size, std::atomic<uint8_t>& guard, const char* text);
// The DaqTables of master P (CcpMr or XcpMr) on the data page in use.
#define MR_DAQ_TABLES(P, daqs, channels)                                                                     \
    mr::DaqTables {                                                                                          \
        CfgMat_##P##_DAQ_MRID, CfgMat_##P##_DAQ_EVT_CHAN, CfgMat_##P##_DAQ_EVT_PRESC,                        \
            CfgMat_##P##_DAQ_ODT_NUM, CfgMat_##P##_DAQ_CANID, daqs, CfgMat_##P##_CHAN_DAQ,                   \
            CfgMat_##P##_CHAN_SIZE, channels                                                                 \
    }

// Milliseconds since the application started.
uint32_t msSinceStart();
// Loads the instance's status into s; an error status is held for 100 calls and then becomes
// idle. True while held.
bool errorHeld(uint8_t* cell, uint8_t& s, uint32_t& hold);
// Whether an active instance may run yet: past its start delay, and past a second when a start
// condition has to be read first.
bool startAllowed(bool active, bool cond, uint32_t ms, uint32_t startDelay);

} // namespace mr
