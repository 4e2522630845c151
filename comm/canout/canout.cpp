#include "comm/canout/canout.h"

#include "acquisition/board/board.h"
#include "comm/can/can.h"
#include "comm/canin/canin.h"
#include "comm/gw/gw.h"
#include "services/bytes/bytes.h"
#include "services/errmgr/errmgr.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <vector>

CanOutIntf CanOutIntfConf[2];
CanOutMailBox CanOutMailBoxConf[CANOUT_MAILBOXES];
CanOutSignal CanOutSignalConf[CANOUT_ROWS];

namespace {

constexpr int SRC_CONST = -1, SRC_COUNTER = -2, SRC_CHECKSUM = -3;
constexpr int RASTER_LISTS = 20, EVENT_RASTER = 3, LIST_MAX_RECORDS = 101;
constexpr uint32_t RASTER_MS[10] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};

struct MList {
    uint32_t magic = 0;
    std::vector<uint8_t> buffer;
    uint32_t entrySize = 0;
    int raster = 0;
    uint16_t pid = 0;
    int records = 0;
    std::atomic<bool> valid{false};
    bool event = false;
    // A source that keeps dropping out under load would fill the log; each list has its own
    // guards, so another list's new fault is still told at once.
    SyslogRateGuard downLog, upLog, refusedLog;
    // Its rows were told to carry no value: once a refusal (asked for again every cycle) until it
    // runs again.
    bool told = false;
};

struct Rec {
    uint32_t address;
    int raster;
    uint32_t size;
    uint32_t offset = 0;
    MList* list = nullptr;
};

struct Chan {
    int src;
    bool conv;
    int packShift, rshift;
    int nbytes, first, step;
    uint8_t firstMask, lastMask;
    int maskShift;
    uint32_t mask; // shifted down
    double fact, offs, min, max;
    uint32_t dataType, wtype;
    uint32_t constant;
    int row; // of the table, for the log
};

// A rate-limited interface sends its frames from the 1 ms raster while each message's own raster
// task builds them: the builder fills the buffer `seq` does not name and then publishes it, the
// sender copies the one `seq` names and drops its copy when `seq` moved meanwhile (the next
// build reuses that buffer).
struct Msg {
    uint32_t id;
    size_t rowCur = 0, rowFirst = 0, rowEnd = 0;
    size_t chanFirst = 0, chanEnd = 0;
    std::atomic<uint64_t> buf[2][8] = {};
    std::atomic<uint32_t> seq{0};
    uint32_t sent = 0; // the sender's own
    Msg* nextRaster = nullptr;
    Msg* nextPrio = nullptr;
    int handle = -1;
    uint32_t intf;
    uint8_t length, dlc, kind, flags;
    bool chk = false;
    uint32_t chkType = 0;
    uint64_t chkMask = 0;
    uint32_t chkPos = 0;
    uint32_t ctr = 0, ctrStart = 0, ctrEnd = 0;
};

struct Event {
    uint32_t address;
    uint32_t mask;
    uint32_t dataType;
    int maskShift;
    uint32_t edge; // 1 rising, 2 falling, 3 both
    bool last = false, prevValid = false;
    Rec* rec = nullptr;
    Msg* msg;
};

std::deque<Msg> msgs; // the lists point into it
std::vector<Chan> chans;
std::vector<std::pair<size_t, size_t>> rows; // row groups: channel ranges
std::vector<std::unique_ptr<Rec>> recs;
std::vector<std::unique_ptr<MList>> lists;
std::vector<Event> events;
Msg* rasterHead[RASTER_LISTS];
Msg* prioHead[2];
uint8_t rateLimit[2];
uint32_t rateAcc[2];
uint32_t canout_man_measerr = 0;
std::atomic<bool> canOut_stop{false};
// Set once CanOut_init has built everything: with CAN.xml it runs in its own task beside the
// rasters, which must not walk the half-built lists.
std::atomic<bool> ready{false};
gw_client_t* client = nullptr;

int trailingZeros(uint32_t m) {
    int n = 0;
    while (m && !(m & 1)) {
        m >>= 1;
        ++n;
    }
    return n;
}

uint32_t canid_prio(const Msg& m) {
    return ~(m.id & 0x80000000u ? m.id + 0x40000000u : m.id);
}

// Behind the messages of equal rank, lists ordered by descending canid_prio.
void insertPrio(Msg** head, Msg* m, Msg* Msg::*next) {
    while (*head && canid_prio(**head) >= canid_prio(*m))
        head = &((*head)->*next);
    m->*next = *head;
    *head = m;
}

uint64_t nowMs() {
    timespec ts{};
    clock_appltime(&ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void fillin_chcfg(Chan& c, bool isSigned, uint32_t order, bool isFloat, uint32_t len, uint32_t sbit,
                  uint32_t rshift, uint32_t dataType, float fact, float offs, uint32_t mask) {
    const uint32_t end = sbit + len - 1;
    c.nbytes = static_cast<int>(cmd_len(sbit, len));
    if (order == 0) {
        c.packShift = static_cast<int>(sbit % 8);
        c.first = static_cast<int>(end / 8);
        c.step = -1;
    } else {
        c.packShift = 7 - static_cast<int>(end % 8);
        c.first = static_cast<int>(sbit / 8);
        c.step = 1;
    }
    const int top =
        (c.packShift + static_cast<int>(len) - 1) - 8 * (c.nbytes - 1); // highest bit in the first byte
    c.firstMask = static_cast<uint8_t>(0xFF >> (7 - top));
    c.lastMask = static_cast<uint8_t>(0xFF << c.packShift);
    if (c.nbytes == 1) c.firstMask = c.lastMask = c.firstMask & c.lastMask;
    c.rshift = static_cast<int>(rshift & 0x3F);
    // Mask 0 is the whole value, as for channel descriptions.
    c.maskShift = trailingZeros(mask);
    c.mask = mask ? mask >> c.maskShift : 0xFFFFFFFFu;
    c.fact = fact;
    c.offs = offs;
    c.conv = fact != 0.0f || offs != 0.0f;
    c.dataType = dataType;
    c.wtype = isFloat ? 6 : isSigned ? 4 : 5;
    if (c.wtype == 4) {
        c.min = -std::ldexp(1.0, static_cast<int>(len) - 1);
        c.max = std::ldexp(1.0, static_cast<int>(len) - 1) - 1;
    } else {
        c.min = 0;
        c.max = std::ldexp(1.0, static_cast<int>(len)) - 1;
    }
}

Chan constChan(const CanOutSignal& s, uint32_t value) {
    Chan c{};
    fillin_chcfg(c, false, s.order, false, s.len, s.sbit, s.rshift, 5, 0, 0, 0);
    c.src = SRC_CONST;
    c.constant = value;
    return c;
}

// A measured value as the gateway delivers it: big-endian, of its record's size.
uint32_t readValue(const uint8_t* p, uint32_t size) {
    return size == 4 ? bytes::get_be32(p) : size == 2 ? bytes::get_be16(p) : p[0];
}

void insert_chan(const Msg& m, const Chan& c, uint8_t* frame) {
    uint64_t v;
    if (c.src == SRC_CHECKSUM) return;
    if (c.src == SRC_COUNTER) {
        v = m.ctr;
    } else if (c.src == SRC_CONST) {
        v = c.constant;
    } else {
        const Rec& r = *recs[static_cast<size_t>(c.src)];
        if (!r.list || !r.list->valid) return; // nothing delivered: its bits stay 0
        const uint32_t raw = (readValue(r.list->buffer.data() + r.offset, r.size) >> c.maskShift) & c.mask;
        if (!c.conv) {
            v = raw;
        } else {
            double d = c.offs + CanOut_convert(&raw, c.dataType) * c.fact;
            if (c.wtype == 6) {
                const float f = static_cast<float>(d);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                v = bits;
            } else {
                if (!(d >= c.min)) d = c.min; // NaN too
                if (d > c.max) d = c.max;
                d = d > 0 ? d + 0.5 : d - 0.5;
                v = static_cast<uint64_t>(static_cast<int64_t>(d));
            }
        }
    }
    const int s = c.packShift - c.rshift;
    v = s >= 0 ? v << s : v >> -s;
    int at = c.first;
    for (int k = 0; k < c.nbytes; ++k, at += c.step) {
        const uint8_t b = static_cast<uint8_t>(v >> (8 * (c.nbytes - 1 - k)));
        const uint8_t mask = k == 0 ? c.firstMask : k == c.nbytes - 1 ? c.lastMask : 0xFF;
        frame[at] = static_cast<uint8_t>((frame[at] & ~mask) | (b & mask));
    }
}

void process_message(Msg& m) {
    uint8_t f[64] = {};
    for (size_t i = m.chanFirst; i < m.chanEnd; ++i)
        insert_chan(m, chans[i], f);
    if (m.rowEnd > m.rowFirst) {
        for (size_t i = rows[m.rowCur].first; i < rows[m.rowCur].second; ++i)
            insert_chan(m, chans[i], f);
        if (++m.rowCur >= m.rowEnd) m.rowCur = m.rowFirst;
    }
    m.ctr = m.ctr < m.ctrEnd ? m.ctr + 1 : m.ctrStart;
    if (m.chk)
        f[m.chkPos] = canOut_calcChksum(m.chkType, static_cast<uint32_t>(m.chkMask),
                                        static_cast<uint32_t>(m.chkMask >> 32), m.length, f);
    const uint32_t next = m.seq.load(std::memory_order_relaxed) + 1;
    for (size_t w = 0; w * 8 < m.length; ++w) {
        uint64_t v;
        std::memcpy(&v, f + 8 * w, 8);
        m.buf[next % 2][w].store(v, std::memory_order_release);
    }
    m.seq.store(next, std::memory_order_release);
}

int send_buff(Msg& m) {
    const uint32_t seq = m.seq.load(std::memory_order_acquire);
    if (seq == m.sent) return 0;
    uint8_t f[64] = {};
    for (size_t w = 0; w * 8 < m.length; ++w) {
        const uint64_t v = m.buf[seq % 2][w].load(std::memory_order_acquire);
        std::memcpy(f + 8 * w, &v, 8);
    }
    if (m.seq.load(std::memory_order_relaxed) != seq) return 0; // rebuilt while copied: may be torn
    canTxMsg(m.handle, m.dlc, f);
    if (m.intf < 2)
        std::atomic_ref<uint32_t>(static_cast<uint32_t*>(canout_sendmsg_ctr)[m.intf])
            .fetch_add(1, std::memory_order_relaxed);
    m.sent = seq;
    return 1;
}

bool delayPassed(uint32_t intf, uint64_t now) {
    return intf < 2 && CanOutIntfConf[intf].startDelay <= now;
}

// What the data page or the file may hold that the frame or the packer cannot: refused.
const char* rowProblem(const CanOutSignal& s) {
    if (s.mb >= CANOUT_MAILBOXES) return "mailbox index out of range";
    const uint32_t length = canDLC2length(CanOutMailBoxConf[s.mb].dlc);
    if (s.kind == CANOUT_CHECKSUM)
        return s.sbit / 8 < length ? nullptr : "checksum byte beyond the data length";
    if (s.len < 1 || s.len > 32) return "length not 1 to 32";
    if (s.sbit + s.len > 512 || (s.sbit + s.len - 1) / 8 >= length) return "beyond the data length";
    if (cmd_len(s.sbit, s.len) > 8) return "touches more than 8 bytes";
    return nullptr;
}

uint32_t add_measurement(int raster, uint32_t address, uint32_t dataType) {
    const uint32_t size = CanOut_type2size(dataType);
    for (size_t i = 0; i < recs.size(); ++i)
        if (recs[i]->address == address && recs[i]->size == size && recs[i]->raster == raster)
            return static_cast<uint32_t>(i);
    recs.push_back(std::make_unique<Rec>(Rec{address, raster, size}));
    return static_cast<uint32_t>(recs.size() - 1);
}

MList* listFor(uint16_t pid, int raster, bool event) {
    for (auto& l : lists)
        if (l->pid == pid && l->raster == raster && l->event == event && l->records < LIST_MAX_RECORDS)
            return l.get();
    lists.push_back(std::make_unique<MList>());
    MList* l = lists.back().get();
    l->pid = pid;
    l->raster = raster;
    l->event = event;
    return l;
}

// The rows that read the list's values and the event messages it triggers, as " message:row"
// (" message:event") into `out`, as many as fit, and how many more.
void rowsOf(const MList* l, char* out, size_t room) {
    size_t at = 0;
    int more = 0;
    auto add = [&](uint32_t id, int row) {
        char item[32];
        const int n = row < 0 ? std::snprintf(item, sizeof item, " 0x%X:event", id & 0x1FFFFFFFu)
                              : std::snprintf(item, sizeof item, " 0x%X:%d", id & 0x1FFFFFFFu, row);
        // room for a closing " +NNN more"
        if (more || at + static_cast<size_t>(n) + 11 >= room) {
            ++more;
            return;
        }
        std::memcpy(out + at, item, static_cast<size_t>(n) + 1);
        at += static_cast<size_t>(n);
    };
    out[0] = 0;
    for (const Msg& m : msgs) {
        const size_t end = m.rowEnd > m.rowFirst ? rows[m.rowEnd - 1].second : m.chanEnd;
        for (size_t i = m.chanFirst; i < end; ++i)
            if (chans[i].src >= 0 && recs[static_cast<size_t>(chans[i].src)]->list == l)
                add(m.id, chans[i].row);
    }
    for (const Event& e : events)
        if (e.rec && e.rec->list == l) add(e.msg->id, -1);
    if (more) std::snprintf(out + at, room - at, " +%d more", more);
}

const gw_callbacks_t canout_man_callbacks = {{{nullptr, 0},
                                              {CanOut_man_meas_read, 0},
                                              {CanOut_man_meas_stop, 0},
                                              {CanOut_man_meas_start, 0},
                                              {nullptr, 0},
                                              {CanOut_man_meas_tout, 0}}};

int setup_gw_meas() {
    // Records join lists per PID and raster; event sources lists of raster 3 of their own.
    std::vector<Rec*> eventRecs;
    for (Event& e : events) {
        recs.push_back(std::make_unique<Rec>(Rec{e.address, EVENT_RASTER, 1}));
        e.rec = recs.back().get();
        eventRecs.push_back(e.rec);
    }
    for (auto& r : recs) {
        const bool ev = std::find(eventRecs.begin(), eventRecs.end(), r.get()) != eventRecs.end();
        r->list = listFor(static_cast<uint16_t>(r->address >> 24), r->raster, ev);
        r->list->records++;
    }
    for (auto& l : lists) {
        std::vector<int32_t> words;
        uint32_t offset = 0;
        for (uint32_t size : {4u, 2u, 1u}) {
            bool any = false;
            for (auto& r : recs) {
                if (r->list != l.get() || r->size != size) continue;
                if (!any) words.push_back(-static_cast<int32_t>(size));
                any = true;
                words.push_back(static_cast<int32_t>(r->address & 0xFFFFFF));
                r->offset = offset;
                offset += size;
            }
            if (any) words.push_back(0);
        }
        words.push_back(0);
        l->entrySize = (offset + 3) & ~3u;
        l->buffer.assign(l->entrySize, 0);
        const uint32_t period = l->raster < 10 ? RASTER_MS[l->raster] : 10;
        const uint32_t timeout = 5 * period < 50 ? 50 / period : 5;
        const uint16_t pid = l->pid ? l->pid : app_pid;
        l->magic =
            client ? gw_setup_list(client, words.data(), reinterpret_cast<uintptr_t>(l.get()),
                                   static_cast<uint16_t>(words.size() * 4), static_cast<uint16_t>(l->raster),
                                   pid, 0, 0, 1, 4, static_cast<uint16_t>(l->entrySize + 4), timeout)
                   : 0;
        if (l->magic)
            gw_start_list(l->magic);
        else
            syslogx(LOG_ERR, "CanOut_man_setup_gw_meas(): Error gw_setup_list");
    }
    return 0;
}

} // namespace

uint32_t CanOut_type2size(uint32_t t) {
    return t == 2 || t == 3 ? 2 : t == 4 || t == 5 || t == 6 ? 4 : 1;
}

double CanOut_convert(const uint32_t* raw, uint32_t t) {
    const uint32_t v = *raw;
    switch (t) {
    case 0:
        return static_cast<int8_t>(v);
    case 2:
        return static_cast<int16_t>(v);
    case 4:
        return static_cast<int32_t>(v);
    case 6: {
        float f;
        std::memcpy(&f, &v, 4);
        return f;
    }
    case 1:
    case 7:
        return static_cast<uint8_t>(v);
    case 3:
        return static_cast<uint16_t>(v);
    default:
        return v;
    }
}

void CanOut_initConfig() {
    for (CanOutMailBox& m : CanOutMailBoxConf) {
        m = CanOutMailBox{};
        m.intf = 0xFF;
        m.id = 0xFFFFFFFFu;
    }
    for (CanOutSignal& s : CanOutSignalConf) {
        s = CanOutSignal{};
        s.mb = CANOUT_UNUSED_MB;
    }
    CanOutIntfConf[0] = CanOutIntfConf[1] = CanOutIntf{0, 0};
}

void CanOut_CfgMat_configure() {
    for (int i = 0; i < 2; ++i)
        CanOutIntfConf[i] = CanOutIntf{CanOut_rate_limit[i], CanOut_startdelay[i]};
    for (int i = 0; i < CANOUT_MAILBOXES; ++i) {
        CanOutMailBox& m = CanOutMailBoxConf[i];
        m.id = CfgMat_CanOut_Mb_CanID[i];
        m.intf = CfgMat_CanOut_Mb_CanIntf[i];
        m.dlc = CfgMat_CanOut_Mb_CanDlc[i];
        m.kind = m.dlc > 8; // longer frames only go as FD
        m.flags = 0;
        m.raster = CfgMat_CanOut_Mb_Event[i];
        m.evAddress = CfgMat_CanOut_Mb_Event_address[i];
        m.evMask = CfgMat_CanOut_Mb_Event_mask[i];
        m.evType = CfgMat_CanOut_Mb_Event_data_type[i];
        m.evEdge = CfgMat_CanOut_Mb_Event_edge[i];
        const float q[6] = {CfgMat_CanOut_Mb_Event_quant_a[i], CfgMat_CanOut_Mb_Event_quant_b[i],
                            CfgMat_CanOut_Mb_Event_quant_c[i], CfgMat_CanOut_Mb_Event_quant_d[i],
                            CfgMat_CanOut_Mb_Event_quant_e[i], CfgMat_CanOut_Mb_Event_quant_f[i]};
        for (int k = 0; k < 6; ++k)
            m.quant[k] = std::isfinite(q[k]) ? std::trunc(q[k]) : 0.0f; // taken as integers
    }
    for (int i = 0; i < CANOUT_ROWS; ++i) {
        CanOutSignal& s = CanOutSignalConf[i];
        const uint16_t fmt = CfgMat_CanOut_Ch_data_format[i], pos = CfgMat_CanOut_Ch_data_pos[i];
        s = CanOutSignal{};
        s.mb = CfgMat_CanOut_Ch_MsgInd[i];
        s.kind = CfgMat_CanOut_Ch_RZ_type[i];
        s.rzValue = CfgMat_CanOut_Ch_RZ_value[i];
        s.address = CfgMat_CanOut_Ch_address[i];
        s.mask = CfgMat_CanOut_Ch_mask[i];
        s.fact = CfgMat_CanOut_Ch_fact[i];
        s.offs = CfgMat_CanOut_Ch_offs[i];
        s.dataType = CfgMat_CanOut_Ch_data_type[i];
        s.len = fmt & 0x3F;
        s.isSigned = (fmt >> 6) & 1;
        s.isFloat = (fmt >> 7) & 1;
        s.order = (fmt >> 8) & 1;
        s.sbit = pos & 0x3F;
        s.rshift = (pos >> 6) & 0x3F;
        if (s.address == 0 && s.kind == CANOUT_SIG) s.kind = CANOUT_CONST;
        if (s.address == 0 && s.kind == CANOUT_MSIG) s.kind = CANOUT_MCONST;
        if (s.kind == CANOUT_CONST || s.kind == CANOUT_MCONST) s.constant = s.mask;
        if (s.mb < CANOUT_MAILBOXES) {
            s.ctrStart = CfgMat_CanOut_Mb_CounterStart[s.mb];
            s.ctrEnd = CfgMat_CanOut_Mb_CounterEnd[s.mb];
            s.chkType = CfgMat_CanOut_Mb_ChksumType[s.mb];
            s.chkMask = CfgMat_CanOut_Mb_ChksumMask[s.mb];
        }
    }
}

int CanOut_check(uint32_t intfs, CanOutPlan* plan) {
    *plan = CanOutPlan{};
    plan->take.assign(CANOUT_ROWS, false);
    int prevMb = -1;
    bool muxSeen = false, msigSeen = false;
    uint32_t prevValue = 0;
    auto refuse = [](const char* what, int row) {
        syslogx(LOG_BARE_ERR, "CanOut_man: %s(%d)", what, row);
        return 1;
    };
    for (int r = 0; r < CANOUT_ROWS; ++r) {
        const CanOutSignal& s = CanOutSignalConf[r];
        if (s.mb == CANOUT_UNUSED_MB) continue;
        if (const char* why = rowProblem(s)) {
            syslogx(LOG_ERR, "CanOut_man: row %d refused: %s", r, why);
            continue;
        }
        const CanOutMailBox& mb = CanOutMailBoxConf[s.mb];
        if (mb.intf >= intfs) {
            plan->unavailable++;
            continue;
        }
        if (static_cast<int>(s.mb) != prevMb) {
            if (mb.raster > 19) return refuse("invalid time grid ", r);
            if (mb.raster < 0 && (mb.evAddress == 0 || mb.evAddress == 0xFFFFFFFFu))
                syslogx(LOG_BARE_ERR, "CanOut_man: invalid event data (%d)", r);
            prevMb = static_cast<int>(s.mb);
            muxSeen = msigSeen = false;
            plan->mailboxes++;
        }
        switch (s.kind) {
        case CANOUT_SIG:
        case CANOUT_COUNTER:
        case CANOUT_CHECKSUM:
        case CANOUT_CONST:
            break;
        case CANOUT_MUX:
            if (muxSeen) return refuse("found double multiplexer ", r);
            muxSeen = true;
            break;
        case CANOUT_MSIG:
        case CANOUT_MCONST:
            if (!muxSeen) return refuse("found multiplexed signal without multiplexer ", r);
            if (msigSeen && s.rzValue < prevValue) return refuse("found unsorted multiplexer ", r);
            msigSeen = true;
            prevValue = s.rzValue;
            break;
        default:
            return refuse("found illegal multiplexer type", r);
        }
        plan->take[static_cast<size_t>(r)] = true;
        plan->signals++;
    }
    if (plan->mailboxes > CANOUT_MAILBOXES) {
        syslogx(LOG_BARE_ERR, "CanOut_man: too many mailboxes used, wrong config");
        return 1;
    }
    return 0;
}

void CanOut_build(const CanOutPlan& plan) {
    events.reserve(static_cast<size_t>(plan.mailboxes)); // they point at their messages
    Msg* m = nullptr;
    const CanOutSignal* muxRow = nullptr;
    bool groupOpen = false;
    uint32_t groupValue = 0;
    std::vector<std::vector<Chan>> pending; // the row groups' channels, laid out after the common ones
    auto finishMsg = [&]() {
        if (!m) return;
        m->chanEnd = chans.size();
        m->rowFirst = m->rowCur = rows.size();
        for (auto& g : pending) {
            const size_t first = chans.size();
            chans.insert(chans.end(), g.begin(), g.end());
            rows.emplace_back(first, chans.size());
        }
        m->rowEnd = rows.size();
        pending.clear();
    };
    int prev = -1;
    for (size_t r = 0; r < plan.take.size() && r < CANOUT_ROWS; ++r) {
        if (!plan.take[r]) continue;
        const CanOutSignal& s = CanOutSignalConf[r];
        const CanOutMailBox& mb = CanOutMailBoxConf[s.mb];
        if (static_cast<int>(s.mb) != prev) {
            finishMsg();
            prev = static_cast<int>(s.mb);
            m = &msgs.emplace_back();
            m->id = mb.id;
            m->intf = mb.intf;
            m->dlc = static_cast<uint8_t>(mb.dlc);
            m->length = canDLC2length(mb.dlc);
            m->kind = mb.kind;
            m->flags = mb.flags;
            m->chanFirst = chans.size();
            muxRow = nullptr;
            groupOpen = false;
            if (mb.raster >= 0) insertPrio(&rasterHead[mb.raster], m, &Msg::nextRaster);
            if (mb.raster < 0 && mb.evAddress != 0 && mb.evAddress != 0xFFFFFFFFu) {
                Event e{};
                e.address = mb.evAddress;
                e.dataType = mb.evType;
                e.edge = (mb.evEdge & 3) + 1;
                e.maskShift = trailingZeros(mb.evMask);
                e.mask = mb.evMask >> e.maskShift;
                e.msg = m;
                if (!mb.evMask)
                    syslogx(LOG_ERR, "CanOut_man: event mask 0 never fires (%d)", static_cast<int>(r));
                events.push_back(e);
            }
        }
        const int raster = mb.raster < 0 ? EVENT_RASTER : mb.raster;
        auto measured = [&](const CanOutSignal& row) {
            Chan c{};
            fillin_chcfg(c, row.isSigned, row.order, row.isFloat, row.len, row.sbit, row.rshift, row.dataType,
                         row.fact, row.offs, row.mask);
            c.row = static_cast<int>(r);
            if (row.address == 0 || row.kind == CANOUT_CONST || row.kind == CANOUT_MCONST) {
                c.src = SRC_CONST;
                c.wtype = 5;
                c.conv = false;
                c.constant = row.constant;
            } else {
                c.src = static_cast<int>(add_measurement(raster, row.address, row.dataType));
            }
            return c;
        };
        switch (s.kind) {
        case CANOUT_SIG:
        case CANOUT_CONST:
            chans.push_back(measured(s));
            break;
        case CANOUT_MUX:
            muxRow = &s;
            break;
        case CANOUT_MSIG:
        case CANOUT_MCONST:
            if (!muxRow) break; // not a checked plan
            if (!groupOpen || s.rzValue != groupValue) {
                pending.emplace_back();
                pending.back().push_back(constChan(*muxRow, s.rzValue));
                groupOpen = true;
                groupValue = s.rzValue;
            }
            pending.back().push_back(measured(s));
            break;
        case CANOUT_COUNTER: {
            Chan c{};
            fillin_chcfg(c, false, s.order, false, s.len, s.sbit, s.rshift, 5, 1, 0, 0);
            c.src = SRC_COUNTER;
            c.conv = false;
            chans.push_back(c);
            m->ctrStart = s.ctrStart;
            m->ctrEnd = s.ctrEnd;
            break;
        }
        case CANOUT_CHECKSUM:
            m->chk = true;
            m->chkType = s.chkType;
            m->chkPos = s.sbit / 8;
            m->chkMask = s.chkMask & ~(uint64_t{1} << m->chkPos);
            break;
        }
    }
    finishMsg();
}

int CanOut_init() {
    const uint32_t intfs = pinConfig_getCANmaxIntf();
    CanOut_reset();
    canOut_calcChksum_ini();
    CanOutPlan plan;
    if (CanOut_check(intfs, &plan) != 0) return 1;
    CanOut_build(plan);

    client = gw_connect(&canout_man_callbacks);
    if (!client) syslogx(LOG_ERR, "CanOut_man: could not get handle from measgateway");
    if (setup_gw_meas() != 0) return 1;
    for (Msg& x : msgs) {
        const bool ext = x.id & 0x80000000u;
        x.handle = canRegisterTxFunc(static_cast<uint8_t>(x.intf), ext ? 0xFF : 0,
                                     x.id & (ext ? 0x1FFFFFFFu : 0x7FFu), x.kind, x.flags);
        insertPrio(&prioHead[x.intf], &x, &Msg::nextPrio);
    }
    for (int i = 0; i < 2; ++i) {
        const float l = std::fmin(std::fmax(CanOutIntfConf[i].rateLimit, 0.0f), 8.0f);
        rateLimit[i] = static_cast<uint8_t>(std::lround(l * 10.0f));
        rateAcc[i] = 0;
    }
    if (plan.unavailable) {
        error_mgr_set(ERROR_MGR_PATH_CAN_OUT, ERROR_MGR_ERR_TYPE_NOT_CONFIGURED, 0);
        syslogx(LOG_ERR,
                "CanOut_Init: CanOut configured %d signals on CANs that are not configured (Pins)!!(%d)",
                plan.unavailable, static_cast<int>(intfs));
    } else {
        error_mgr_clear(ERROR_MGR_PATH_CAN_OUT);
        syslogx(LOG_INFO, "CanOut_Init: CanOut configured %d signals in %d messages", plan.signals,
                static_cast<int>(msgs.size()));
    }
    canOut_stop = false;
    ready = true;
    return 0;
}

void CanOut_send_message(int raster) {
    if (canOut_stop || !ready || raster < 0 || raster >= RASTER_LISTS) return;
    const uint64_t now = nowMs();
    for (Msg* m = rasterHead[raster]; m; m = m->nextRaster)
        if (delayPassed(m->intf, now)) process_message(*m);
    for (uint32_t i = 0; i < 2; ++i) {
        if (!rateLimit[i]) {
            for (Msg* m = rasterHead[raster]; m; m = m->nextRaster)
                if (m->intf == i) send_buff(*m);
        } else if (raster == 0 && delayPassed(i, now)) {
            rateAcc[i] += rateLimit[i];
            for (Msg* m = prioHead[i]; m && rateAcc[i] >= 10; m = m->nextPrio)
                if (send_buff(*m)) rateAcc[i] -= 10;
            rateAcc[i] %= 10;
        }
    }
}

void CanOut_event_message() {
    if (canOut_stop || !ready) return;
    const uint64_t now = nowMs();
    for (Event& e : events) {
        if (!delayPassed(e.msg->intf, now) || !e.rec || !e.rec->list) continue;
        const MList& l = *e.rec->list;
        const bool active = e.mask && ((l.buffer[e.rec->offset] >> e.maskShift) & e.mask) != 0;
        if (e.prevValid && ((!e.last && active && (e.edge & 1)) || (e.last && !active && (e.edge & 2)))) {
            process_message(*e.msg);
            if (!rateLimit[e.msg->intf]) send_buff(*e.msg);
        }
        e.last = active;
        e.prevValid = l.valid;
    }
}

void CanOut_stop() {
    canOut_stop = true;
    syslogx(LOG_INFO, "CanOut_stop called");
}

void CanOut_shutdown_all() {
    if (client) gw_disconnect(client);
    client = nullptr;
}

int CanOut_man_meas_read(uint32_t status, const void* entry, uintptr_t user) {
    auto* l = reinterpret_cast<MList*>(user);
    if (!l) return 1;
    if (status == GW_OK && entry) {
        std::memcpy(l->buffer.data(), static_cast<const uint8_t*>(entry) + 4, l->entrySize);
        l->valid = true;
        l->told = false;
    } else {
        l->valid = false;
    }
    return 1;
}

int CanOut_man_meas_start(uint32_t status, const void*, uintptr_t user) {
    auto* l = reinterpret_cast<MList*>(user);
    if (status != 0) canout_man_measerr++;
    if (!l) return status == 0;
    if (status == 0) {
        l->told = false;
    } else if (!l->told) {
        l->told = true;
        if (syslogx_rateguard(&l->refusedLog)) {
            const char* why = status == GW_REFUSED                               ? "refused"
                              : status == GW_TIMEOUT                             ? "not answered"
                              : status == GW_OFFLINE || status == GW_PID_OFFLINE ? "offline"
                              : status == GW_TOO_LONG                            ? "too long"
                                                                                 : "failed";
            char rowsText[SYSLOG_TEXT_MAX];
            rowsOf(l, rowsText, sizeof rowsText - 80);
            syslogx(LOG_ERR, "CanOut_man: PID 0x%X raster %d %s, rows without value:%s",
                    l->pid ? l->pid : app_pid, l->raster, why, rowsText);
        }
    }
    return status == 0;
}

int CanOut_man_meas_stop(uint32_t status, const void*, uintptr_t) {
    if (status != 0) canout_man_measerr++;
    return status == 0;
}

int CanOut_man_meas_tout(uint32_t status, const void* pid, uintptr_t user) {
    auto* l = reinterpret_cast<MList*>(user);
    if (!pid || !l) {
        syslogx(LOG_ERR, "CanOut_man_meas_tout: invalid arguments, errorstate %d ,data 0x%08X, cont. 0x%08X ",
                static_cast<int>(status), static_cast<unsigned>(reinterpret_cast<uintptr_t>(pid)),
                static_cast<unsigned>(user));
        return 1;
    }
    const char* kind = l->event ? "EVENT" : "DATA";
    if (!syslogx_rateguard(status == 0 ? &l->upLog : &l->downLog)) return 1;
    if (status == GW_NODATA) {
        char rowsText[SYSLOG_TEXT_MAX];
        rowsOf(l, rowsText, sizeof rowsText - 70);
        syslogx(LOG_ERR, "CanOut_man_meas_tout: PID:0x%X timeout, %s, %d; rows without value:%s", l->pid,
                kind, l->raster, rowsText);
    } else if (status != 0)
        syslogx(LOG_WARN, "CanOut_man_meas_tout: PID:0x%X errorstate %d, %s, %d", l->pid,
                static_cast<int>(status), kind, l->raster);
    else
        syslogx(LOG_WARN, "CanOut_man_meas_tout: PID:0x%X back online, %s, %d", l->pid, kind, l->raster);
    return 1;
}

bool CanOut_recordOf(uint32_t address, uintptr_t* list, uint32_t* offset, uint32_t* entrySize) {
    for (auto& r : recs)
        if (r->address == address && r->list) {
            *list = reinterpret_cast<uintptr_t>(r->list);
            *offset = r->offset;
            *entrySize = r->list->entrySize;
            return true;
        }
    return false;
}

void CanOut_reset() {
    ready = false;
    if (client) gw_disconnect(client);
    client = nullptr;
    msgs.clear();
    chans.clear();
    rows.clear();
    recs.clear();
    lists.clear();
    events.clear();
    for (Msg*& h : rasterHead)
        h = nullptr;
    prioHead[0] = prioHead[1] = nullptr;
    rateLimit[0] = rateLimit[1] = 0;
    canOut_stop = false;
}
