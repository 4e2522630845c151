// XCP master: allocates and writes dynamic DAQ lists at each slave from the data page, starts
// them, relates the slave's DAQ clock to this unit's and stores the received values in slots
// measurable as class 28.
#include "comm/xcpmr/xcpmr.h"

#include "calibration/meas/seram_meas.h"
#include "comm/xcpmr/xcpmr_private.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"
#include "services/timemod/timemod.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

using namespace xmr;

namespace {

constexpr int WAIT = 110; // ticks for a response
constexpr int PRIO = 125, DAQ_PRIO = 112, STACK = 500000;
using enum mr::Status;
constexpr uint8_t ST_FAILED = 7; // set-up failed: never started

Inst* inst[INSTANCES];
std::atomic<uint32_t> measdata[CHANNELS];
std::atomic<uint32_t> timeouts[CHANNELS];
std::atomic<int32_t> wander[INSTANCES];
mr::Master master{{measdata, timeouts, CHANNELS}, {}, daqQueue, TASK_ID_NULL, nullptr};

uint8_t status(const Inst* in) {
    return __atomic_load_n(&xcpmr_status[in->index], __ATOMIC_RELAXED);
}
void setStatus(uint8_t i, uint8_t s) {
    __atomic_store_n(&xcpmr_status[i], s, __ATOMIC_RELAXED);
}
void setTimestampState(uint8_t i, uint8_t s) {
    __atomic_store_n(&xcpmr_timestamp[i], s, __ATOMIC_RELAXED);
}

bool udp(const Inst* in) {
    return in->tl != 1; // any value but CAN
}

// The first DAQ from `from` on with ODTs in use, or nDaq.
uint8_t nextDaq(const Inst* in, uint32_t from) {
    while (from < in->nDaq && !in->daqs[from].inUse.load())
        ++from;
    return static_cast<uint8_t>(from);
}

int transmit(Inst* in, std::initializer_list<uint8_t> bytes) {
    uint8_t p[8];
    uint32_t n = 0;
    for (uint8_t b : bytes)
        p[n++] = b;
    in->noReply = 0;
    in->send(in, p, n);
    return WAIT;
}

uint8_t lo(uint32_t v, int byte) {
    return static_cast<uint8_t>(v >> (8 * byte));
}
// A 16-bit field in the slave's order, as two bytes in sequence.
uint8_t w0(const Inst* in, uint16_t v) {
    return in->bigEndian ? lo(v, 1) : lo(v, 0);
}
uint8_t w1(const Inst* in, uint16_t v) {
    return in->bigEndian ? lo(v, 0) : lo(v, 1);
}

int statemachineSend(Inst* in) {
    const uint8_t s = in->state;
    Daq* d = in->cur < in->nDaq ? &in->daqs[in->cur] : nullptr;
    switch (s) {
    case 0:
        for (uint8_t i = 0; i < in->nDaq; ++i) {
            in->daqs[i].started = 0;
            in->daqs[i].inUse = in->daqs[i].configured;
        }
        in->cur = nextDaq(in, 0), in->odt = in->elem = 0;
        in->state = 9, in->next = 3;
        return 0;
    case 1:
        in->state = 8;
        return 0;
    case 2:
        return -1;
    case 3:
        in->next = 4;
        return transmit(in, {0xFF, 0});
    case 4:
        in->next = udp(in) ? 5 : 10;
        return transmit(in, {0xFD});
    case 5:
        in->next = 10;
        return transmit(in, {0xDA});
    case 6: {
        in->next = 7;
        const uint16_t n = d->number;
        return transmit(in, {0xE2, 0, w0(in, n), w1(in, n), in->odt, in->elem});
    }
    case 7: {
        const mr::Chan& c = d->odts[in->odt].ch[in->elem];
        uint8_t a[4];
        mr::put32(a, CfgMat_XcpMr_CHAN_ADR[c.chan], in->bigEndian);
        return transmit(in, {0xE1, 0xFF, c.size, CfgMat_XcpMr_CHAN_ADEXTR[c.chan], a[0], a[1], a[2], a[3]});
    }
    case 8:
    case 9:
        for (uint8_t i = 0; i < in->nDaq; ++i)
            in->daqs[i].started = 0;
        setTimestampState(in->index, 0);
        if (s == 8) in->next = 2;
        transmit(in, {0xFE});
        in->noReply = 1;
        return WAIT;
    case 10:
        in->next = 11;
        return transmit(in, {0xD6});
    case 11:
        if (!in->daqsInUse) return -1; // nothing to measure: stay
        in->next = 12;
        return transmit(in, {0xD5, 0, w0(in, in->daqsInUse), w1(in, in->daqsInUse)});
    case 12:
        return transmit(in, {0xD4, 0, w0(in, d->number), w1(in, d->number), d->inUse.load()});
    case 13:
        return transmit(in, {0xD3, 0, w0(in, d->number), w1(in, d->number), in->odt, d->odts[in->odt].elems});
    case 14: {
        const uint16_t ev = d->event;
        return transmit(in,
                        {0xE0, static_cast<uint8_t>(in->tsUsed && in->tsSize ? 0x10 : 0), w0(in, d->number),
                         w1(in, d->number), w0(in, ev), w1(in, ev), static_cast<uint8_t>(d->prescaler), 0});
    }
    case 15:
        return transmit(in, {0xDE, 2, w0(in, d->number), w1(in, d->number)});
    case 16:
    case 19:
        in->next = s == 16 ? 17 : 2;
        return transmit(in, {0xDC});
    case 17:
        in->next = 2;
        return transmit(in, {0xDD, 1});
    case 18:
        in->next = 2;
        return transmit(in, {0xFD});
    default:
        return -1;
    }
}

void retry(Inst* in) {
    if (++in->retry < 3) return; // the same command again
    in->retry = 0;
    in->state = 1;
    setStatus(in->index, ST_ERROR);
}

void clockRelation(Inst* in, const uint8_t* p, uint32_t len) {
    if (len < 8) return;
    const double slave = slaveTime(mr::get32(p + 4, in->bigEndian), in->factor);
    const auto diff = static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<int64_t>(time_getTimestamp()) - std::llround(slave)));
    wander[in->index] = diff;
    if (diff > 4999 || diff < -4999) {
        in->offset = diff;
        setTimestampState(in->index, 2);
    } else {
        in->offset = 0;
        setTimestampState(in->index, 3);
    }
}

// The slave numbers the DAQs with ODTs from 0, and the response to selecting one names its first
// PID: its ODTs enter the map as far as the map reaches.
void mapPids(Inst* in, Daq* d, uint8_t first) {
    d->firstPid = first;
    for (uint32_t o = 0; o < d->inUse.load(); ++o) {
        const uint32_t pid = first + o;
        if (pid >= PID_MAP) {
            SYSLOGX_GUARDED(LOG_ERR, "XCPMR: PID %u beyond the PID map dropped", pid);
            break;
        }
        in->pidMap[pid] = 0x80000000u | static_cast<uint32_t>(d - in->daqs) << 8 | o;
    }
}

// After a positive response: the next state.
void positive(Inst* in, const uint8_t* p, uint32_t len) {
    ++in->positives;
    in->retry = 0;
    const uint8_t s = in->state;
    Daq* d = in->cur < in->nDaq ? &in->daqs[in->cur] : nullptr;
    switch (s) {
    case 5:
        if (len >= 8) {
            in->props = p[1];
            in->maxDaq = mr::get16(p + 2, in->bigEndian);
            in->maxEvent = mr::get16(p + 4, in->bigEndian);
            in->minDaq = p[6];
            in->keyByte = p[7];
        }
        in->state = in->next;
        return;
    case 11:
        in->cur = nextDaq(in, 0);
        in->state = 12;
        return;
    case 12:
        in->cur = nextDaq(in, in->cur + 1u);
        if (in->cur == in->nDaq) in->cur = nextDaq(in, 0), in->odt = 0, in->state = 13;
        return;
    case 13:
        if (++in->odt < d->inUse.load()) return;
        in->odt = 0;
        in->cur = nextDaq(in, in->cur + 1u);
        if (in->cur == in->nDaq) in->cur = nextDaq(in, 0), in->elem = 0, in->state = 6;
        return;
    case 7:
        if (++in->elem < d->odts[in->odt].n) return; // the pointer moves on by itself
        in->elem = 0, in->state = 6;
        if (++in->odt < d->inUse.load()) return;
        in->odt = 0;
        in->cur = nextDaq(in, in->cur + 1u);
        if (in->cur == in->nDaq) in->cur = nextDaq(in, 0), in->state = 14;
        return;
    case 14:
        d->started = 1;
        in->cur = nextDaq(in, in->cur + 1u);
        if (in->cur == in->nDaq) in->cur = nextDaq(in, 0), in->state = 15;
        return;
    case 15:
        if ((in->keyByte.load() >> 6) == 0 && len >= 2) mapPids(in, d, p[1]);
        in->cur = nextDaq(in, in->cur + 1u);
        if (in->cur == in->nDaq) in->state = in->tsUsed ? 16 : 17;
        return;
    case 16:
    case 19:
        clockRelation(in, p, len);
        break;
    case 17:
        setStatus(in->index, ST_RUNNING);
        break;
    default:
        break;
    }
    in->state = in->next;
}

// A packet from the slave: true when it ended the wait.
bool statemachineReceive(Inst* in, const uint8_t* p, uint32_t len) {
    if (len == 0 || (p[0] != 0xFF && p[0] != 0xFE)) return false; // events and service requests
    const uint8_t s = in->state;
    // Ready: no command is out. Another master's traffic on the same identifiers neither starts
    // nor fails an instance.
    if (s == 2) return false;
    if (s == 1 || s > 19) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, s == 1 ? "XCPMR: receive returncode without command"
                                             : "XCPMR: state machine in the wood on receive");
        retry(in);
        return true;
    }
    if (p[0] == 0xFE) {
        if (in->noReply) { // a refused disconnect ends it all the same
            in->noReply = 0;
            in->state = in->next;
            return true;
        }
        retry(in);
        return true;
    }
    positive(in, p, len);
    return true;
}

void noResponse(Inst* in) {
    if (!mr::replyless(in->noReply, in->state, in->next)) retry(in);
}

void xcpmrTask(intptr_t arg, intptr_t, intptr_t, intptr_t) {
    Inst* in = reinterpret_cast<Inst*>(arg);
    mr::instanceLoop<Msg>(
        in->q, &xcpmr_status[in->index], "xcpmrTask: _msgq_receive() result: %#x", [in] { noResponse(in); },
        [in](const Msg& m) {
            if (m.tag == TAG_RESPONSE) {
                if (!statemachineReceive(in, m.data, m.len)) return false;
            } else if (m.tag == TAG_START) {
                if (status(in) == ST_RUNNING) return false;
                in->state = 0, in->retry = 0;
                setStatus(in->index, ST_STARTING);
            } else if (m.tag == TAG_KEEPALIVE || m.tag == TAG_CLOCK) {
                if (status(in) != ST_RUNNING || in->state != 2) return false;
                in->state = m.tag == TAG_KEEPALIVE ? 18 : 19;
            } else if (m.tag == TAG_STOP) {
                if (status(in) != ST_RUNNING) return false;
                in->state = 1;
                setStatus(in->index, ST_STOPPING);
            } else {
                SYSLOGX_RATE_GUARDED(LOG_ERR, "xcpmrTask: receiption of wrong message tag");
                return false;
            }
            return true;
        },
        [in] { return statemachineSend(in); });
}

void xcpmrDaqTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    for (;;) {
        DaqMsg m;
        static std::atomic<uint8_t> guard{0};
        if (!mr::daqReceive(master, &m, sizeof m, guard, "xcpmrDaqTask: _msgq_receive()")) continue;
        daqMessage(m);
    }
}

bool timestampInit(Inst* in) {
    static const double unit[] = {1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1, 10, 100, 1000, 10000, 1e-8, 1e-7, 1e-6};
    const uint8_t i = in->index, size = CfgMat_XcpMr_TIMESTAMP_SIZE[i],
                  res = CfgMat_XcpMr_TIMESTAMP_RESOLUTION[i];
    const uint32_t ticks = CfgMat_XcpMr_TIMESTAMP_TICKS[i];
    if (size != 0 && size != 1 && size != 2 && size != 4) {
        syslogx(LOG_ERR, "xcpmr_handler_ini: instance %d: timestamp size invalid %d", i, size);
        return false;
    }
    if (res > 12) {
        syslogx(LOG_ERR, "xcpmr_handler_ini: instance %d: timestamp resolution invalid %d", i, res);
        return false;
    }
    if (ticks == 0) {
        syslogx(LOG_ERR, "xcpmr_handler_ini: instance %d: timestamp ticks may not be 0", i);
        return false;
    }
    in->tsSize = size;
    in->factor = ticks * unit[res];
    return true;
}

bool handlerIni(Inst* in) {
    const uint8_t i = in->index;
    in->bigEndian = CfgMat_XcpMr_BIGENDIAN[i] != 0;
    setStatus(i, ST_IDLE);
    if (in->tsUsed && !timestampInit(in)) {
        syslogx(LOG_ERR, "xcpmr_handler_ini: init timestamp support");
        return false;
    }
    if (udp(in)) {
        in->send = UdpSendPacket;
        if (UdpInit(in, CfgMat_XcpMr_UDP_ADDRESS[i], CfgMat_XcpMr_UDP_PORT[i]) != 0) {
            syslogx(LOG_ERR, "xcpmr_handler_ini: init transport layer UDP");
            return false;
        }
    } else {
        in->send = CanSendPacket;
        if (!(in->can = new (std::nothrow) CanTl{})) return false;
        in->can->node = CfgMat_XcpMr_CANINTF[i];
        in->can->cmdId = CfgMat_XcpMr_CMD_CANID[i];
        in->can->respId = CfgMat_XcpMr_CMDRET_CANID[i];
        if (CanInit(in) != 0) {
            syslogx(LOG_ERR, "xcpmr_handler_ini: init transport layer CAN");
            return false;
        }
    }
    const mr::DaqTables t = MR_DAQ_TABLES(XcpMr, DAQS, CHANNELS);
    static const mr::DaqTexts texts{"xcpmr_handler_ini: cannot alloc memory for daqs",
                                    "daq_init: cannot alloc memory for odts",
                                    "XCPMR: daq_add_chan: more channels in daq than possible"};
    return mr::daqsInit(in->daqs, in->nDaq, t, i, udp(in) ? 247 : 7, false, texts, [&](Daq& d, uint32_t) {
        d.inst = in;
        if (d.configured) d.number = in->daqsInUse++;
        return udp(in) || CanDaqInit(in, &d) == 0;
    });
}

void freeInst(Inst* in) {
    if (!in) return;
    if (in->task) taskDelete(in->task), taskWaitExit(in->task, WAIT_FOREVER);
    UdpClose(in);
    mr::daqsFree(in->daqs, in->nDaq);
    delete in->can;
    if (in->q) msgQDelete(in->q);
    delete in;
}

// An instance whose set-up failed. Its CAN receive identifiers may be bound, and the CAN layer
// cannot unbind a handler: such an instance stays allocated, its handlers dropping every frame,
// until the reset.
std::vector<Inst*> parked;
void retire(Inst* in) {
    if (!in->can) return freeInst(in);
    in->parked = true;
    if (in->task) taskDelete(in->task), taskWaitExit(in->task, WAIT_FOREVER), in->task = TASK_ID_NULL;
    parked.push_back(in);
}

bool taskCreate(Inst* in) {
    return mr::daqTaskCreate(master, sizeof(DaqMsg), "T_xmrDaq", DAQ_PRIO, STACK, xcpmrDaqTask,
                             "xcpmrDaqTaskCreate: msgQCreate() failed ",
                             "xcpmrDaqTaskCreate(): create task failed") &&
           mr::instTaskCreate(in->q, in->task, sizeof(Msg), "xcpmr", in->index, PRIO, STACK, xcpmrTask,
                              reinterpret_cast<intptr_t>(in)) &&
           (!udp(in) || RxTaskCreate(in));
}

void post(Inst* in, uint32_t tag) {
    Msg m{tag, 0, {}};
    static std::atomic<uint8_t> guard{0};
    mr::post(in->q, &m, sizeof m, in->posted, in->postFail, guard, "xcpmr_10ms(): _msgq_send() error: %s");
}

} // namespace

namespace xmr {

MSG_Q_ID daqQueue = nullptr;

void daqMessage(const DaqMsg& m) {
    mr::daqStore(master, *m.daq, m.odt, m.stamp, m.data, m.len, m.daq->inst->bigEndian);
}

bool running(const Inst* in) {
    return status(in) == ST_RUNNING;
}

Daq* daqByNumber(Inst* in, uint32_t number) {
    for (uint8_t k = 0; k < in->nDaq; ++k)
        if (in->daqs[k].inUse.load() && in->daqs[k].number == number) return &in->daqs[k];
    return nullptr;
}

void postDto(Inst* in, Daq* d, uint32_t odt, uint32_t stamp, const uint8_t* data, uint32_t len) {
    if (!d->started.load() || odt >= d->inUse.load()) return;
    if (len > PACKET_MAX) {
        SYSLOGX_GUARDED(LOG_ERR, "XCPMR: DTO of %u bytes dropped", len);
        return;
    }
    in->wdog = 0;
    DaqMsg m{d, stamp, static_cast<uint8_t>(odt), static_cast<uint8_t>(len), {}};
    std::memcpy(m.data, data, len);
    if (len == PACKET_MAX) m.len = 255; // an ODT never holds more than 247 bytes
    if (msgQSend(daqQueue, &m, sizeof m, NO_WAIT, MSG_PRI_NORMAL) != OK)
        SYSLOGX_GUARDED(LOG_ERR, "xcpmrTplRxTask(): msgQSend(DTO) error: %s", std::strerror(errno));
}

void postResponse(Inst* in, const uint8_t* p, uint32_t len, const char* text) {
    if (len > PACKET_MAX) {
        SYSLOGX_GUARDED(LOG_ERR, "XCPMR: response of %u bytes dropped", len);
        return;
    }
    Msg m{TAG_RESPONSE, static_cast<uint16_t>(len), {}};
    std::memcpy(m.data, p, len);
    static std::atomic<uint8_t> guard{0};
    mr::post(in->q, &m, sizeof m, in->posted, in->postFail, guard, text);
}

} // namespace xmr

void xcpmr_ini() {
    mr::masterIni(master, CfgMat_XcpMr_CHAN_DEFAULT, CfgMat_XcpMr_CHAN_TIMEOUT);
    for (int i = 0; i < INSTANCES; ++i) {
        setStatus(static_cast<uint8_t>(i), ST_IDLE);
        setTimestampState(static_cast<uint8_t>(i), 0);
        wander[i] = 0;
        if (CfgMat_XcpMr_ACTIVE[i] == 255) continue;
        Inst* in = new (std::nothrow) Inst{};
        if (!in) {
            syslogx(LOG_ERR, "XCPMR: cannot alloc memory for xcp master");
            continue;
        }
        in->index = static_cast<uint8_t>(i);
        in->state = 2, in->next = 2; // ready until the first start
        in->clockPoll = 100;
        in->tl = CfgMat_XcpMr_TransportLayer[i];
        in->tsUsed = udp(in);
        if (!handlerIni(in)) {
            retire(in);
            setStatus(static_cast<uint8_t>(i), ST_FAILED);
            continue;
        }
        if (!taskCreate(in)) {
            retire(in);
            setStatus(static_cast<uint8_t>(i), ST_ERROR);
            continue;
        }
        inst[i] = in;
        syslogx(LOG_INFO, "XCPMR: starting instance %d, %d DAQs.", i, in->nDaq);
        setStatus(static_cast<uint8_t>(i), ST_READY);
    }
    bool any = false;
    for (Inst* in : inst)
        any = any || (in && CfgMat_XcpMr_Cond_Adr[in->index] != 0xFFFFFFFF);
    if (!any || !mr::gwConnect(master, "XCPMR")) return;
    for (Inst* in : inst) {
        if (!in || CfgMat_XcpMr_Cond_Adr[in->index] == 0xFFFFFFFF) continue;
        const int8_t s = CfgMat_XcpMr_Cond_size[in->index];
        if (mr::condSetup(master.gwClient, CfgMat_XcpMr_Cond_Adr[in->index],
                          static_cast<uint32_t>(s < 0 ? -s : s), &in->cond, "XcpMr", "xcpmr"))
            in->cond.configured = 1;
    }
}

void xcpmr_10ms() {
    const uint32_t ms = mr::msSinceStart();
    for (Inst* in : inst) {
        if (!in) continue;
        const uint8_t i = in->index;
        uint8_t s;
        if (mr::errorHeld(&xcpmr_status[i], s, in->errHold)) continue;
        bool run = mr::startAllowed(CfgMat_XcpMr_ACTIVE[i] != 0, in->cond.configured, ms,
                                    CfgMat_XcpMr_STARTDELAY[i]);
        if (in->cond.configured && in->cond.valid.load())
            run = run && mr::calc_cond(in->cond.value.load(), CfgMat_XcpMr_Cond_size[i],
                                       CfgMat_XcpMr_Cond_Val[i], CfgMat_XcpMr_Cond_Op[i]);
        uint32_t tag = 0xFFFFFFFF;
        if (!run && s == ST_RUNNING) {
            tag = TAG_STOP;
        } else if (run && (s == ST_READY || s == ST_IDLE)) {
            tag = TAG_START;
            in->clockPoll = 100, in->keepAlive = 0, in->wdog = 0;
        } else if (s == ST_RUNNING && in->state == 2) {
            const bool clock = in->tsUsed && ++in->clockPoll >= 200;
            const bool alive = ++in->keepAlive >= 200;
            if (in->wdog.fetch_add(1) + 1 > 500) {
                in->wdog = 0;
                tag = TAG_STOP;
            } else if (clock) {
                tag = TAG_CLOCK;
            } else if (alive) {
                tag = TAG_KEEPALIVE;
            }
            if (clock) in->clockPoll = 0;
            if (alive && tag == TAG_KEEPALIVE) in->keepAlive = 0;
        }
        if (tag != 0xFFFFFFFF) post(in, tag);
    }
    mr::slots10ms(master.slots, CfgMat_XcpMr_CHAN_DEFAULT, CfgMat_XcpMr_CHAN_TIMEOUT);
}

void* xcpmr_GetAddr(uint32_t address) {
    return mr::slotAddr(master, address);
}

int32_t xcpmr_getWander(int instance) {
    return instance >= 0 && instance < INSTANCES ? wander[instance].load() : 0;
}

int xcpmr_checkMeasList(const int32_t* words, uint32_t length, uint32_t* daq, int mode) {
    const int32_t cfg =
        mr::listCfg(words, length, mode, MEAS_CLASS_XCPMR, CHANNELS, CfgMat_XcpMr_CHAN_DAQ, "XCPMR");
    if (cfg < 0) return 0;
    const uint8_t owner = cfg < DAQS ? CfgMat_XcpMr_DAQ_MRID[cfg] : 255;
    if (owner >= INSTANCES || !inst[owner]) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "xcpmr_meas: could not find xcpmr_handle, when creating measlist ");
        return 0;
    }
    if (!mr::findDaq(inst, CfgMat_XcpMr_DAQ_MRID, DAQS, static_cast<uint32_t>(cfg))) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "xcpmr_meas: could not find daq, when creating measlist ");
        return 0;
    }
    *daq = static_cast<uint32_t>(cfg);
    return 1;
}

MeasDetach xcpmr_measlist_create(void* list, uint32_t daq) {
    Daq* d = mr::findDaq(inst, CfgMat_XcpMr_DAQ_MRID, DAQS, daq);
    if (!d) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "xcpmr_meas: could not link daq to measlist, invaild daq_handle");
        return nullptr;
    }
    return mr::feedAttach(master.feeds, &d->feed, list, "xcpmr") ? xcpmr_measlist_destroy : nullptr;
}

const MeasManMaster xcpmr_measMaster{xcpmr_checkMeasList, xcpmr_measlist_create};

void xcpmr_measlist_destroy(void* list) {
    mr::feedDetach(master.feeds, list, "xcpmr");
}

void xcpmr_reset() {
    for (Inst*& in : inst) {
        freeInst(in);
        in = nullptr;
    }
    for (Inst* in : parked)
        freeInst(in);
    parked.clear();
    mr::masterReset(master);
}
