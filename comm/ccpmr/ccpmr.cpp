// CCP master: connects to each unit, writes its DAQ lists from the data page, starts them and
// stores the received values in slots measurable as class 29.
#include "comm/ccpmr/ccpmr.h"

#include "calibration/meas/seram_meas.h"
#include "comm/can/can.h"
#include "comm/ccpmr/mrcore.h"
#include "services/bytes/bytes.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"
#include "services/timemod/timemod.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr int INSTANCES = 2, DAQS = 20, CHANNELS = 200;
constexpr int WAIT = 35; // ticks for a command return
constexpr int PRIO = 112, STACK = 20000;
constexpr int ERR_PATH_CAN = 423, ERR_TYPE_CANID = 29;
using enum mr::Status;
enum Tag : uint32_t { TAG_CRM = 0, TAG_START = 1, TAG_POLL = 2, TAG_STOP = 3 };
enum Cmd : uint8_t {
    CONNECT = 0x01,
    START_STOP = 0x06,
    DISCONNECT = 0x07,
    SET_S_STATUS = 0x0C,
    GET_S_STATUS = 0x0D,
    GET_DAQ_SIZE = 0x14,
    SET_DAQ_PTR = 0x15,
    WRITE_DAQ = 0x16,
};

struct Inst;
struct Daq : mr::DaqCore {
    Inst* inst;
    uint8_t elemIdx, odtIdx, byteIdx;
    uint8_t number;
};

struct Inst {
    MSG_Q_ID q;
    std::atomic<uint32_t> posted, postFail;
    uint32_t errHold, pollCnt;
    TASK_ID task;
    Daq* daqs;
    int tx;
    mr::Cond cond[2];
    uint16_t station;
    std::atomic<uint16_t> wdog;
    std::atomic<uint8_t> state;
    uint8_t index, retry, cur, next, noReply, ctr, bigEndian, nDaq, mode, bytewise;
};

struct Msg {
    uint32_t tag;
    uint8_t data[8];
};
struct DaqMsg {
    Daq* daq;
    uint32_t stamp;
    uint8_t data[8];
    uint8_t len; // bytes of the frame: a short one stores nothing
};

Inst* inst[INSTANCES];
std::atomic<uint32_t> measdata[CHANNELS];
std::atomic<uint32_t> timeouts[CHANNELS];
MSG_Q_ID daqQueue = nullptr;
mr::Master master{{measdata, timeouts, CHANNELS}, {}, daqQueue, TASK_ID_NULL, nullptr};

uint8_t status(const Inst* in) {
    return __atomic_load_n(&ccpmr_status[in->index], __ATOMIC_RELAXED);
}
void setStatus(Inst* in, uint8_t s) {
    __atomic_store_n(&ccpmr_status[in->index], s, __ATOMIC_RELAXED);
}

void transmit(Inst* in, uint8_t cmd, const uint8_t* params = nullptr, size_t n = 0) {
    uint8_t f[8] = {cmd, in->ctr};
    if (n) std::memcpy(f + 2, params, n);
    in->noReply = 0;
    canTxMsg(in->tx, 8, f);
}

bool hasOdts(const Daq& d) {
    return d.inUse.load() > 0;
}
// The first DAQ from `from` on that has ODTs in use, or nDaq.
uint8_t nextDaq(const Inst* in, uint8_t from) {
    while (from < in->nDaq && !hasOdts(in->daqs[from]))
        ++from;
    return from;
}

// The next byte, element or ODT to write of the current DAQ: true while there is one.
bool advance(Inst* in) {
    Daq& d = in->daqs[in->cur];
    const mr::Odt& o = d.odts[d.odtIdx];
    const mr::Chan& c = o.ch[d.elemIdx];
    if (in->bytewise && ++d.byteIdx < c.size) return true;
    d.byteIdx = 0;
    if (++d.elemIdx < o.n) return true;
    d.elemIdx = 0;
    while (++d.odtIdx < d.inUse.load())
        if (d.odts[d.odtIdx].n) return true;
    return false;
}

// Sends what the state asks for: the ticks to wait for its return, 0 to go on at once, -1 to
// wait for the next message.
int statemachineSend(Inst* in) {
    const bool connect = in->mode & 1, sStatus = in->mode & 2;
    uint8_t p[6] = {};
    switch (in->state) {
    case 0:
        for (uint8_t i = 0; i < in->nDaq; ++i) {
            Daq& d = in->daqs[i];
            d.elemIdx = d.odtIdx = d.byteIdx = 0;
            d.started = 0;
            d.inUse = d.configured;
        }
        in->cur = 0;
        in->state = connect ? 4 : 5;
        return 0;
    case 1:
    case 9:
        if (!connect) {
            in->state = in->state == 1 ? 0 : 3;
            return 0;
        }
        p[0] = 1;
        bytes::put_le16(p + 2, in->station);
        transmit(in, DISCONNECT, p, 4);
        in->noReply = 1;
        in->next = in->state == 1 ? 0 : 3;
        return WAIT;
    case 2:
        if (connect) {
            in->state = 9;
            return 0;
        }
        for (uint8_t i = 0; i < in->nDaq; ++i)
            in->daqs[i].started = 0;
        in->state = 3;
        return -1;
    case 3:
        return -1;
    case 4:
        bytes::put_le16(p, in->station);
        transmit(in, CONNECT, p, 2);
        in->next = sStatus ? 10 : 5;
        return WAIT;
    case 5: {
        if (!in->nDaq || nextDaq(in, 0) == in->nDaq) return -1; // nothing to measure: stay
        in->cur = nextDaq(in, in->cur);
        if (in->cur == in->nDaq) {
            in->cur = nextDaq(in, 0);
            in->state = sStatus ? 11 : 8;
            return 0;
        }
        Daq& d = in->daqs[in->cur];
        p[0] = d.number;
        mr::put32(p + 2, d.dto, in->bigEndian);
        transmit(in, GET_DAQ_SIZE, p, 6);
        in->next = 6;
        return WAIT;
    }
    case 6: {
        Daq& d = in->daqs[in->cur];
        const mr::Chan& c = d.odts[d.odtIdx].ch[d.elemIdx];
        p[0] = d.number, p[1] = d.odtIdx;
        p[2] = static_cast<uint8_t>(in->bytewise ? c.elem + d.byteIdx : c.elem);
        transmit(in, SET_DAQ_PTR, p, 3);
        in->next = 7;
        return WAIT;
    }
    case 7: {
        Daq& d = in->daqs[in->cur];
        const mr::Chan& c = d.odts[d.odtIdx].ch[d.elemIdx];
        const uint32_t adr = CfgMat_CcpMr_CHAN_ADR[c.chan] + (in->bytewise ? d.byteIdx : 0);
        p[0] = in->bytewise ? 1 : c.size, p[1] = CfgMat_CcpMr_CHAN_ADEXTR[c.chan];
        mr::put32(p + 2, adr, in->bigEndian);
        transmit(in, WRITE_DAQ, p, 6);
        if (advance(in)) {
            in->next = 6;
        } else if ((in->cur = nextDaq(in, static_cast<uint8_t>(in->cur + 1))) < in->nDaq) {
            in->next = 5;
        } else {
            in->cur = nextDaq(in, 0);
            in->next = sStatus ? 11 : 8;
        }
        return WAIT;
    }
    case 8: {
        if (in->cur >= in->nDaq) { // every DAQ turned out empty at the unit
            setStatus(in, ST_RUNNING);
            in->state = 3;
            return -1;
        }
        Daq& d = in->daqs[in->cur];
        p[0] = 1, p[1] = d.number, p[2] = static_cast<uint8_t>(d.inUse.load() - 1), p[3] = d.event;
        mr::put16(p + 4, d.prescaler, in->bigEndian);
        transmit(in, START_STOP, p, 6);
        in->next = 8;
        return WAIT;
    }
    case 10:
    case 11:
        p[0] = in->state == 10 ? 0 : 0x02;
        transmit(in, SET_S_STATUS, p, 1);
        in->next = in->state == 10 ? 5 : 8;
        return WAIT;
    case 12:
        transmit(in, GET_S_STATUS);
        in->next = 3;
        return WAIT;
    default:
        return -1;
    }
}

void retry(Inst* in) {
    if (++in->retry < 3) {
        in->state = 1;
    } else {
        in->state = 2;
        setStatus(in, ST_ERROR);
    }
}

// A command return: true when it ended the wait.
bool statemachineReceive(Inst* in, const uint8_t* f) {
    if (f[0] != 0xFF) return false;
    if (in->state == 2) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "CCPMR: receive returncode without command");
        retry(in);
        return true;
    }
    if (in->state > 12) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "CCPMR: state machine in the wood on receive");
        retry(in);
        return true;
    }
    if (f[1] != 0 || f[2] != in->ctr) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "CCPMR: got negative response");
        ++in->ctr;
        retry(in);
        return true;
    }
    ++in->ctr;
    if (in->state == 3) return true;
    if (in->state == 5) {
        Daq& d = in->daqs[in->cur];
        uint8_t n = f[3];
        if (n != d.odtCount) {
            SYSLOGX_RATE_GUARDED(LOG_ERR, "CCPMR: number of ODT differ");
            if (n < d.inUse.load()) d.inUse = n;
        }
        d.firstPid = f[4];
        d.odtIdx = d.elemIdx = d.byteIdx = 0;
        while (d.odtIdx < d.inUse.load() && !d.odts[d.odtIdx].n)
            ++d.odtIdx;
        if (d.odtIdx >= d.inUse.load()) { // nothing to write: next DAQ
            d.inUse = 0;
            in->cur = static_cast<uint8_t>(in->cur + 1);
            in->state = 5;
            return true;
        }
    }
    if (in->state == 8) {
        in->daqs[in->cur].started = 1;
        in->cur = nextDaq(in, static_cast<uint8_t>(in->cur + 1));
        if (in->cur < in->nDaq) {
            in->state = 8;
        } else {
            in->retry = 0;
            setStatus(in, ST_RUNNING);
            in->state = 3;
        }
        return true;
    }
    in->state = in->next;
    return true;
}

void noReturn(Inst* in) {
    if (!mr::replyless(in->noReply, in->state, in->next)) retry(in);
}

void ccpmrTask(intptr_t arg, intptr_t, intptr_t, intptr_t) {
    Inst* in = reinterpret_cast<Inst*>(arg);
    mr::instanceLoop<Msg>(
        in->q, &ccpmr_status[in->index], "ccpmrTask: _msgq_receive() result: %#x", [in] { noReturn(in); },
        [in](const Msg& m) {
            if (m.tag == TAG_CRM) {
                if (!statemachineReceive(in, m.data)) return false; // not a return: still waiting
            } else if (m.tag == TAG_START) {
                if (status(in) == ST_RUNNING) return false;
                in->state = 0, in->retry = 0;
                setStatus(in, ST_STARTING);
            } else if (m.tag == TAG_POLL) {
                if (status(in) != ST_RUNNING || in->state != 3) return false;
                in->state = 12;
            } else if (m.tag == TAG_STOP) {
                if (status(in) != ST_RUNNING) return false;
                in->state = 2;
                setStatus(in, ST_STOPPING);
            } else {
                SYSLOGX_RATE_GUARDED(LOG_ERR, "ccpmrTask: reception of wrong message tag");
                retry(in);
            }
            return true;
        },
        [in] { return statemachineSend(in); });
}

void ccpmrDaqTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    for (;;) {
        DaqMsg m;
        static std::atomic<uint8_t> guard{0};
        if (!mr::daqReceive(master, &m, sizeof m, guard, "ccpmrDaqTask: _msgq_receive()")) continue;
        Daq* d = m.daq;
        mr::daqStore(master, *d, m.data[0] - d->firstPid.load(), m.stamp, m.data + 1,
                     m.len > 8 ? 7u : m.len - 1u, d->inst->bigEndian);
    }
}

void ccpmr_RxHandler(uintptr_t user, uint32_t, uint8_t, uint32_t, const uint8_t* data) {
    Inst* in = reinterpret_cast<Inst*>(user);
    if (data[0] != 0xFF && data[0] != 0xFE) return;
    const uint8_t s = status(in);
    if (s != ST_STOPPING && s != ST_READY && s != ST_STARTING && s != ST_RUNNING) return;
    Msg m{TAG_CRM, {}};
    std::memcpy(m.data, data, 8);
    static std::atomic<uint8_t> guard{0};
    mr::post(in->q, &m, sizeof m, in->posted, in->postFail, guard,
             "ccpmr_RxHandler(): _msgq_send() error: %s");
}

void ccpmr_DaqHandler(uintptr_t user, uint32_t, uint8_t, uint32_t dlc, const uint8_t* data) {
    Daq* d = reinterpret_cast<Daq*>(user);
    if (!d) {
        SYSLOGX_GUARDED(LOG_ERR, "CCPMR: received ODT with NULL handle");
        return;
    }
    const int pid = data[0], first = d->firstPid.load(), inUse = d->inUse.load();
    if (status(d->inst) != ST_RUNNING || !d->started.load() || pid < first || pid >= first + inUse) return;
    d->inst->wdog = 0;
    const uint8_t len = canDLC2length(dlc);
    if (len == 0) return;
    DaqMsg m{d, time_getTimestamp(), {}, len};
    std::memcpy(m.data, data, 8);
    if (msgQSend(daqQueue, &m, sizeof m, NO_WAIT, MSG_PRI_NORMAL) != OK)
        SYSLOGX_GUARDED(LOG_ERR, "ccpmr_DaqHandler(): _msgq_send()!");
}

bool bindRx(uint8_t node, uint32_t id, canRxFunc fn, uintptr_t user, const char* text) {
    if (canRegisterRxFunc(node, mr::canFormat(id), mr::canId(id), fn, user) == 0) return true;
    syslogx(LOG_ERR, "%s", text);
    error_mgr_set(ERR_PATH_CAN + node, ERR_TYPE_CANID, 0);
    return false;
}

bool handlerIni(Inst* in, uint8_t node) {
    const uint8_t i = in->index;
    in->ctr = 0;
    in->bigEndian = CfgMat_CcpMr_BIGENDIAN[i] != 0;
    in->station = CfgMat_CcpMr_STATIONADDRESS[i];
    in->mode = CfgMat_CcpMr_MODE[i];
    in->bytewise = (in->mode & 0x10) != 0;
    setStatus(in, ST_IDLE);
    const uint32_t cro = CfgMat_CcpMr_CMD_CANID[i];
    if ((in->tx = canRegisterTxFunc(node, mr::canFormat(cro), mr::canId(cro), 0, 0)) < 0) {
        syslogx(LOG_ERR, "CCPMR: cannot bind CCP CAN-ID(TX) ccp master");
        error_mgr_set(ERR_PATH_CAN + node, ERR_TYPE_CANID, 0);
        return false;
    }
    if (!bindRx(node, CfgMat_CcpMr_CMDRET_CANID[i], ccpmr_RxHandler, reinterpret_cast<uintptr_t>(in),
                "CCPMR: cannot bind CCP CAN-ID(RX) ccp master"))
        return false;
    const mr::DaqTables t = MR_DAQ_TABLES(CcpMr, DAQS, CHANNELS);
    static const mr::DaqTexts texts{"CCPMR: cannot alloc memory for daqs",
                                    "CCPMR: cannot alloc memory for odts",
                                    "CCPMR: more channels in daq than possible"};
    return mr::daqsInit(in->daqs, in->nDaq, t, i, 7, in->bytewise, texts, [&](Daq& d, uint32_t k) {
        d.inst = in;
        d.number = CfgMat_CcpMr_DAQ_ID[k];
        return bindRx(node, d.dto, ccpmr_DaqHandler, reinterpret_cast<uintptr_t>(&d),
                      "CCPMR: cannot bind CCP CAN-ID(DAQ-RX)");
    });
}

void freeInst(Inst* in) {
    if (!in) return;
    mr::daqsFree(in->daqs, in->nDaq);
    if (in->q) msgQDelete(in->q);
    delete in;
}

// Instances whose set-up failed after binding receive identifiers: the CAN layer cannot unbind a
// handler, so they stay allocated and idle (their handlers drop every frame) until the reset.
std::vector<Inst*> parked;

void post(Inst* in, uint32_t tag) {
    Msg m{tag, {}};
    static std::atomic<uint8_t> guard{0};
    mr::post(in->q, &m, sizeof m, in->posted, in->postFail, guard, "ccpmr_10ms(): _msgq_send() error: %s");
}

} // namespace

void ccpmr_ini() {
    mr::masterIni(master, CfgMat_CcpMr_CHAN_DEFAULT, CfgMat_CcpMr_CHAN_TIMEOUT);
    for (int i = 0; i < INSTANCES; ++i) {
        const uint8_t node = CfgMat_CcpMr_CANINT[i];
        if (node == 255) continue;
        if (!mr::daqTaskCreate(master, sizeof(DaqMsg), "T_cmrDaq", PRIO, STACK, ccpmrDaqTask,
                               "ccpmrDaqTask: _msgq_open()!", "ccpmrDaqTaskCreate(): create failed"))
            return;
        Inst* in = new (std::nothrow) Inst{};
        if (!in) {
            syslogx(LOG_ERR, "CCPMR: cannot alloc memory for ccp master");
            return;
        }
        in->index = static_cast<uint8_t>(i);
        if (!handlerIni(in, node) ||
            !mr::instTaskCreate(in->q, in->task, sizeof(Msg), "ccpmr", in->index, PRIO, STACK, ccpmrTask,
                                reinterpret_cast<intptr_t>(in))) {
            // an instance that could not be set up is not started
            if (in->task) taskDelete(in->task), taskWaitExit(in->task, WAIT_FOREVER);
            setStatus(in, ST_IDLE);
            parked.push_back(in);
            continue;
        }
        inst[i] = in;
        syslogx(LOG_INFO, "CCPMR: starting instance %d, %d DAQs.", i, in->nDaq);
        setStatus(in, ST_READY);
    }
    // condition values
    bool any = false;
    for (Inst* in : inst)
        any = any || (in && CfgMat_CcpMr_Cond1_Adr[in->index] != 0xFFFFFFFF);
    if (!any || !mr::gwConnect(master, "CCPMR")) return;
    for (Inst* in : inst) {
        if (!in) continue;
        const uint8_t i = in->index;
        const uint32_t a1 = CfgMat_CcpMr_Cond1_Adr[i], a2 = CfgMat_CcpMr_Cond2_Adr[i];
        if (a1 == 0xFFFFFFFF) continue;
        const int8_t s1 = CfgMat_CcpMr_Cond1_size[i], s2 = CfgMat_CcpMr_Cond2_size[i];
        if (mr::condSetup(master.gwClient, a1, static_cast<uint32_t>(s1 < 0 ? -s1 : s1), &in->cond[0],
                          "CcpMr", "ccpmr"))
            in->cond[0].configured = 1;
        if (a2 != 0xFFFFFFFF && mr::condSetup(master.gwClient, a2, static_cast<uint32_t>(s2 < 0 ? -s2 : s2),
                                              &in->cond[1], "CcpMr", "ccpmr"))
            in->cond[1].configured = 1;
    }
}

void ccpmr_10ms() {
    const uint32_t ms = mr::msSinceStart();
    for (Inst* in : inst) {
        if (!in) continue;
        const uint8_t i = in->index;
        uint8_t s;
        if (mr::errorHeld(&ccpmr_status[i], s, in->errHold)) continue;
        bool run =
            mr::startAllowed(CfgMat_CcpMr_ACTIVE[i] != 0, in->cond[0].configured || in->cond[1].configured,
                             ms, CfgMat_CcpMr_STARTDELAY[i]);
        bool valid[2];
        int result[2];
        for (int k = 0; k < 2; ++k) {
            mr::Cond& c = in->cond[k];
            valid[k] = c.configured && c.valid.load();
            const int8_t size = k ? CfgMat_CcpMr_Cond2_size[i] : CfgMat_CcpMr_Cond1_size[i];
            result[k] = valid[k] && mr::calc_cond(c.value.load(), size,
                                                  k ? CfgMat_CcpMr_Cond2_Val[i] : CfgMat_CcpMr_Cond1_Val[i],
                                                  k ? CfgMat_CcpMr_Cond2_Op[i] : CfgMat_CcpMr_Cond1_Op[i]);
        }
        if (valid[0] && valid[1]) {
            switch (CfgMat_CcpMr_CondComb_Op[i]) {
            case 0:
                run = run && result[0] && result[1];
                break;
            case 1:
                run = run && (result[0] || result[1]);
                break;
            case 2:
                run = run && (result[0] != result[1]);
                break;
            default:
                run = run && result[0];
            }
        } else if (valid[0] || valid[1]) {
            run = run && (valid[0] ? result[0] : result[1]);
        }
        uint32_t tag = 0xFFFFFFFF;
        if (run && (s == ST_READY || s == ST_IDLE)) tag = TAG_START;
        if (!run && s == ST_RUNNING) tag = TAG_STOP;
        if (s == ST_RUNNING && tag == 0xFFFFFFFF && in->state == 3) {
            if (in->mode & 4) {
                if (++in->pollCnt >= 200) in->pollCnt = 0, tag = TAG_POLL;
            } else {
                in->pollCnt = 0;
            }
            if (in->mode & 8) {
                if (in->wdog.fetch_add(1) + 1 > 100) in->wdog = 0, tag = TAG_STOP;
            } else {
                in->wdog = 0;
            }
        }
        if (tag != 0xFFFFFFFF) post(in, tag);
    }
    mr::slots10ms(master.slots, CfgMat_CcpMr_CHAN_DEFAULT, CfgMat_CcpMr_CHAN_TIMEOUT);
}

void* ccpmr_GetAddr(uint32_t address) {
    return mr::slotAddr(master, address);
}

int ccpmr_checkMeasList(const int32_t* words, uint32_t length, uint32_t* daq, int mode) {
    const int32_t cfg =
        mr::listCfg(words, length, mode, MEAS_CLASS_CCPMR, CHANNELS, CfgMat_CcpMr_CHAN_DAQ, "CCPMR");
    if (cfg < 0) return 0;
    const uint8_t owner = cfg < DAQS ? CfgMat_CcpMr_DAQ_MRID[cfg] : 0;
    if (cfg < DAQS && (owner >= INSTANCES || !inst[owner])) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "ccpmr_meas: ccpmr not initialized (%d)", owner);
        return 0;
    }
    if (!mr::findDaq(inst, CfgMat_CcpMr_DAQ_MRID, DAQS, static_cast<uint32_t>(cfg))) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "ccpmr_meas: could not find daq, when creating measlist ");
        return 0;
    }
    *daq = static_cast<uint32_t>(cfg);
    return 1;
}

MeasDetach ccpmr_measlist_create(void* list, uint32_t daq) {
    Daq* d = mr::findDaq(inst, CfgMat_CcpMr_DAQ_MRID, DAQS, daq);
    return mr::feedAttach(master.feeds, d ? &d->feed : nullptr, list, "ccpmr") ? ccpmr_measlist_destroy
                                                                               : nullptr;
}

const MeasManMaster ccpmr_measMaster{ccpmr_checkMeasList, ccpmr_measlist_create};

void ccpmr_measlist_destroy(void* list) {
    mr::feedDetach(master.feeds, list, "ccpmr");
}

void ccpmr_reset() {
    for (Inst*& in : inst) {
        if (!in) continue;
        taskDelete(in->task);
        taskWaitExit(in->task, WAIT_FOREVER);
        freeInst(in);
        in = nullptr;
    }
    for (Inst* in : parked)
        freeInst(in);
    parked.clear();
    mr::masterReset(master);
}
