// Shared parts of the CCP and XCP masters.
#include "comm/ccpmr/mrcore.h"

#include "calibration/meas/seram_meas.h"

#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"
#include "services/time/time_util.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace mr {

namespace {
bool isGroup(int32_t w) {
    return w == -1 || w == -2 || w == -4 || w == -8;
}

std::atomic<uint16_t> measErrors{0}; // start and stop refusals of the gateway, both masters'

int measStartStop(uint32_t status, const void*, uintptr_t) {
    if (status == 0) return 1;
    ++measErrors;
    return 0;
}
} // namespace

uint32_t assemble(const uint8_t* p, uint8_t size, bool bigEndian) {
    uint32_t v = 0;
    for (uint8_t i = 0; i < size; ++i)
        v |= static_cast<uint32_t>(p[bigEndian ? size - 1 - i : i]) << (8 * i);
    if constexpr (std::endian::native == std::endian::big) v <<= 8 * (4 - size);
    return v;
}

void put16(uint8_t* p, uint16_t v, bool be) {
    be ? bytes::put_be16(p, v) : bytes::put_le16(p, v);
}
void put32(uint8_t* p, uint32_t v, bool be) {
    be ? bytes::put_be32(p, v) : bytes::put_le32(p, v);
}
uint16_t get16(const uint8_t* p, bool be) {
    return be ? bytes::get_be16(p) : bytes::get_le16(p);
}
uint32_t get32(const uint8_t* p, bool be) {
    return be ? bytes::get_be32(p) : bytes::get_le32(p);
}

int buildOdts(Odt* odts, uint32_t odtCount, uint32_t cfg, Table<uint8_t> chanDaq, Table<uint8_t> chanSize,
              uint32_t channels, uint32_t maxBytes, bool bytewise) {
    uint32_t mine = 0;
    for (uint32_t c = 0; c < channels; ++c)
        mine += chanDaq[c] == cfg && (chanSize[c] == 1 || chanSize[c] == 2 || chanSize[c] == 4);
    const uint32_t cap = mine < maxBytes ? mine : maxBytes;
    for (uint32_t o = 0; o < odtCount; ++o) {
        odts[o] = Odt{};
        if (cap && !(odts[o].ch = new (std::nothrow) Chan[cap])) return -1;
    }
    int inUse = 0;
    for (uint8_t size : {4, 2, 1}) {
        for (uint32_t c = 0; c < channels; ++c) {
            if (chanDaq[c] != cfg || chanSize[c] != size) continue;
            uint32_t o = 0;
            while (o < odtCount && odts[o].used + size > maxBytes)
                ++o;
            if (o == odtCount) return -1;
            Odt& d = odts[o];
            d.ch[d.n++] = Chan{static_cast<uint16_t>(c), d.used, size, d.elems};
            d.used = static_cast<uint8_t>(d.used + size);
            d.elems = static_cast<uint8_t>(d.elems + (bytewise ? size : 1));
            if (static_cast<int>(o) + 1 > inUse) inUse = static_cast<int>(o) + 1;
        }
    }
    return inUse;
}

void freeOdts(Odt* odts, uint32_t odtCount) {
    for (uint32_t o = 0; odts && o < odtCount; ++o) {
        delete[] odts[o].ch;
        odts[o].ch = nullptr;
    }
}

void slotsInit(Slots& s, Table<uint32_t> defaults, Table<uint32_t> timeouts) {
    for (uint32_t c = 0; c < s.count; ++c) {
        s.value[c].store(defaults[c], std::memory_order_relaxed);
        s.timeout[c].store(timeouts[c] == 0xFFFFFFFF ? NO_TIMEOUT : 0, std::memory_order_relaxed);
    }
}

void storeOdt(Slots& s, const Odt& odt, const uint8_t* data, uint32_t len, bool bigEndian) {
    if (len < odt.used) {
        SYSLOGX_GUARDED(LOG_ERR, "MR: DTO of %u bytes for an ODT of %u dropped", len, odt.used);
        return;
    }
    for (uint16_t i = 0; i < odt.n; ++i) {
        const Chan& c = odt.ch[i];
        if (c.chan >= s.count) continue;
        // Assembled first and stored whole: a reader never sees half of a new value.
        s.value[c.chan].store(assemble(data + c.offset, c.size, bigEndian), std::memory_order_relaxed);
        if (s.timeout[c.chan].load(std::memory_order_relaxed) != NO_TIMEOUT)
            s.timeout[c.chan].store(0, std::memory_order_relaxed);
    }
}

void slots10ms(Slots& s, Table<uint32_t> defaults, Table<uint32_t> timeouts) {
    for (uint32_t c = 0; c < s.count; ++c) {
        const uint32_t t = s.timeout[c].load(std::memory_order_relaxed);
        if (t == NO_TIMEOUT || t >= timeouts[c]) continue;
        const uint32_t n = t + 10;
        s.timeout[c].store(n, std::memory_order_relaxed);
        if (n >= timeouts[c]) s.value[c].store(defaults[c], std::memory_order_relaxed);
    }
}

int calc_cond(uint32_t value, int32_t size, uint32_t threshold, uint8_t op) {
    int64_t a, b;
    switch (size) {
    case 1:
        a = static_cast<uint8_t>(value), b = static_cast<uint8_t>(threshold);
        break;
    case 2:
        a = static_cast<uint16_t>(value), b = static_cast<uint16_t>(threshold);
        break;
    case 4:
        a = value, b = threshold;
        break;
    case -1:
        a = static_cast<int8_t>(value), b = static_cast<int8_t>(threshold);
        break;
    case -2:
        a = static_cast<int16_t>(value), b = static_cast<int16_t>(threshold);
        break;
    case -4:
        a = static_cast<int32_t>(value), b = static_cast<int32_t>(threshold);
        break;
    default:
        return 1;
    }
    switch (op) {
    case 0:
        return a < b;
    case 1:
        return a <= b;
    case 2:
        return a > b;
    case 3:
        return a >= b;
    case 4:
        return a == b;
    case 5:
        return a != b;
    default:
        return 1;
    }
}

int condRead(uint32_t status, const void* entry, uintptr_t user) {
    auto* c = reinterpret_cast<Cond*>(user);
    if (status != GW_OK || !entry) {
        c->valid.store(0);
        return 1;
    }
    const auto* p = static_cast<const uint8_t*>(entry) + 4;
    c->value.store(c->size == 1 ? p[0] : c->size == 2 ? get16(p, true) : get32(p, true));
    c->valid.store(1);
    return 1;
}

int condSetup(gw_client_t* client, uint32_t address, uint32_t size, Cond* c, const char* who,
              const char* prefix) {
    if (size != 1 && size != 2 && size != 4) {
        syslogx(LOG_ERR, "%s start condition: Error for address 0x%x.8, invalid data size: %d", who, address,
                static_cast<int>(size));
        return 0;
    }
    c->size = static_cast<uint8_t>(size);
    const int32_t list[] = {-static_cast<int32_t>(size), static_cast<int32_t>(address & 0xFFFFFF), 0, 0};
    uint16_t pid = static_cast<uint16_t>(address >> 24);
    if (pid == 0) pid = AppMan_getPID();
    c->magic =
        gw_setup_list(client, list, reinterpret_cast<uintptr_t>(c), sizeof list, 3, pid, 0, 0, 1, 4, 8, 5);
    if (!c->magic) {
        syslogx(LOG_ERR, "%s_setup_gw_meas(): Error gw_setup_list", prefix);
        return 0;
    }
    gw_start_list(c->magic);
    return 1;
}

void feedWrite(FeedTable& t, Feed* f, uint32_t stamp) {
    if (!t.lock || semTake(t.lock, WAIT_FOREVER) != OK) return;
    for (void* l : f->list)
        if (l) meas_man_copy_daq(l, stamp);
    semGive(t.lock);
}

int feedAttach(FeedTable& t, Feed* f, void* list, const char* prefix) {
    if (!f) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "%s_meas: no daq handle", prefix);
        return 0;
    }
    if (!t.lock || semTake(t.lock, WAIT_FOREVER) != OK) return 0;
    int result = 0;
    FeedTable::Pair* p = nullptr;
    for (auto& q : t.pair)
        if (!q.list) {
            p = &q;
            break;
        }
    if (!p) {
        SYSLOGX_RATE_GUARDED(LOG_ERR, "%s_meas: could not link daq to measlist, no free element", prefix);
    } else {
        for (void*& slot : f->list)
            if (!slot) {
                slot = list;
                *p = {f, list};
                result = 1;
                break;
            }
        if (!result)
            SYSLOGX_RATE_GUARDED(LOG_ERR, "%s_meas: could not link daq to measlist, no free element in daq",
                                 prefix);
    }
    semGive(t.lock);
    return result;
}

void feedDetach(FeedTable& t, void* list, const char* prefix) {
    if (!t.lock || semTake(t.lock, WAIT_FOREVER) != OK) return;
    FeedTable::Pair* p = nullptr;
    for (auto& q : t.pair)
        if (q.list == list) {
            p = &q;
            break;
        }
    if (!p) {
        syslogx(LOG_ERR, "%s_meas: could not unlink measlist, measlist not found", prefix);
    } else {
        bool found = false;
        for (void*& slot : p->daq->list)
            if (slot == list) {
                slot = nullptr;
                found = true;
            }
        if (!found)
            syslogx(LOG_ERR, "%s_meas: could not unlink measlist from daq, measlist not found in daq",
                    prefix);
        *p = {};
    }
    semGive(t.lock);
}

int32_t listDaq(const int32_t* words, uint32_t length, int hostOrder, uint32_t cls, uint32_t channels,
                Table<uint8_t> chanDaq, bool* mixed) {
    *mixed = false;
    int32_t daq = -1;
    uint32_t tag = 0;
    bool any = false, other = false;
    for (uint32_t i = 0; i < length / 4; ++i) {
        const int32_t w =
            hostOrder ? words[i] : static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(words[i])));
        if (w == 0 || isGroup(w)) continue;
        const uint32_t a = static_cast<uint32_t>(w) & 0xFFFFFF;
        const uint32_t ch = a & 0xFFF;
        if ((a >> 18) != cls || ch >= channels) {
            other = true;
            continue;
        }
        if (!any) {
            tag = a >> 12;
            daq = chanDaq[ch];
        }
        if (a >> 12 != tag || chanDaq[ch] != daq) other = true;
        any = true;
    }
    if (!any) return -1;
    if (other) {
        *mixed = true;
        return -1;
    }
    return daq;
}

bool logFailure(const char* text) {
    syslogx(LOG_ERR, "%s", text);
    return false;
}

bool daqSetup(DaqCore& d, const DaqTables& t, uint8_t k, uint32_t maxBytes, bool bytewise,
              const DaqTexts& x) {
    d.cfg = k;
    d.event = t.event[k];
    d.prescaler = t.prescaler[k];
    d.odtCount = t.odtNum[k];
    d.dto = t.canId[k];
    if (d.odtCount && !(d.odts = new (std::nothrow) Odt[d.odtCount]{})) return logFailure(x.noOdts);
    const int used =
        buildOdts(d.odts, d.odtCount, d.cfg, t.chanDaq, t.chanSize, t.channels, maxBytes, bytewise);
    if (used < 0) return logFailure(x.full);
    d.configured = static_cast<uint8_t>(used);
    d.inUse = d.configured;
    return true;
}

void masterIni(Master& m, Table<uint32_t> defaults, Table<uint32_t> timeouts) {
    slotsInit(m.slots, defaults, timeouts);
    if (!m.feeds.lock) m.feeds.lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
}

bool daqTaskCreate(Master& m, size_t msgSize, const char* name, int prio, int stack, TASK_ENTRY entry,
                   const char* noQueue, const char* noTask) {
    if (m.daqTask) return true;
    if (!(m.daqQueue = msgQCreate(QUEUE, msgSize, MSG_Q_FIFO))) return logFailure(noQueue);
    if ((m.daqTask = taskSpawn(name, prio, VX_FP_TASK, static_cast<size_t>(stack), entry)) == TASK_ID_NULL)
        return logFailure(noTask);
    return true;
}

bool instTaskCreate(MSG_Q_ID& q, TASK_ID& task, size_t msgSize, const char* prefix, uint8_t index, int prio,
                    int stack, TASK_ENTRY entry, intptr_t arg) {
    if (!(q = msgQCreate(QUEUE, msgSize, MSG_Q_FIFO))) {
        syslogx(LOG_ERR, "%sTaskCreate(): instance %d: failed to create msgPool", prefix, index);
        return false;
    }
    char name[16];
    std::snprintf(name, sizeof name, "r_%s%d", prefix, index);
    if ((task = taskSpawn(name, prio, VX_FP_TASK, static_cast<size_t>(stack), entry, arg)) == TASK_ID_NULL) {
        syslogx(LOG_ERR, "%sTaskCreate(): instance %d: create %s failed", prefix, index, name);
        return false;
    }
    return true;
}

void post(MSG_Q_ID q, const void* msg, size_t size, std::atomic<uint32_t>& posted,
          std::atomic<uint32_t>& failed, std::atomic<uint8_t>& guard, const char* text) {
    if (msgQSend(q, msg, size, NO_WAIT, MSG_PRI_NORMAL) != OK) {
        ++failed;
        if (syslogx_floodcheck(&guard)) syslogx(LOG_ERR, text, std::strerror(errno));
    } else {
        ++posted;
    }
}

bool gwConnect(Master& m, const char* name) {
    static const gw_callbacks_t callbacks{
        {{nullptr, 0}, {condRead, 0}, {measStartStop, 0}, {measStartStop, 0}, {nullptr, 0}, {nullptr, 0}}};
    if (m.gwClient || (m.gwClient = gw_connect(&callbacks))) return true;
    syslogx(LOG_ERR, "%s: cannot connect to gateway.", name);
    return false;
}

void masterReset(Master& m) {
    if (m.daqTask) {
        taskDelete(m.daqTask);
        taskWaitExit(m.daqTask, WAIT_FOREVER);
        m.daqTask = TASK_ID_NULL;
    }
    if (m.daqQueue) msgQDelete(m.daqQueue), m.daqQueue = nullptr;
    if (m.gwClient) gw_disconnect(m.gwClient), m.gwClient = nullptr;
    for (auto& p : m.feeds.pair)
        p = {};
    measErrors = 0;
}

void daqStore(Master& m, DaqCore& d, int odt, uint32_t stamp, const uint8_t* data, uint32_t len,
              bool bigEndian) {
    const int inUse = d.inUse.load();
    if (odt < 0 || odt >= inUse) return;
    if (odt == 0) d.cycle = stamp;
    storeOdt(m.slots, d.odts[odt], data, len, bigEndian);
    if (odt == inUse - 1) feedWrite(m.feeds, &d.feed, d.cycle);
}

void* slotAddr(Master& m, uint32_t address) {
    const uint32_t n = address & 0xFFF;
    return n < m.slots.count ? static_cast<void*>(&m.slots.value[n]) : nullptr;
}

int32_t listCfg(const int32_t* words, uint32_t length, int hostOrder, uint32_t cls, uint32_t channels,
                Table<uint8_t> chanDaq, const char* name) {
    bool mixed = false;
    const int32_t cfg = listDaq(words, length, hostOrder, cls, channels, chanDaq, &mixed);
    // A peer may repeat the list at will; each master's line has its own guard.
    static SyslogRateGuard guards[2];
    if (mixed && syslogx_rateguard(&guards[cls == MEAS_CLASS_XCPMR ? 1 : 0]))
        syslogx(LOG_ERR, "%s: mixture %s and normal channel detected, no special timing treatment.", name,
                name);
    return cfg;
}

int awaitMsg(MSG_Q_ID q, void* msg, size_t size, int wait, uint32_t deadline, std::atomic<uint8_t>& guard,
             const char* text) {
    const auto left = static_cast<int32_t>(deadline - tickGet());
    if (msgQReceive(q, msg, size, wait < 0 ? WAIT_FOREVER : (left > 0 ? left : 0)) != ERROR) return 1;
    if (errno == ETIMEDOUT || errno == EAGAIN) return 0;
    if (syslogx_floodcheck(&guard)) syslogx(LOG_ERR, text, errno);
    return -1;
}

bool replyless(uint8_t& noReply, std::atomic<uint8_t>& state, uint8_t next) {
    if (!noReply) return false;
    noReply = 0;
    state = next;
    return true;
}

bool daqReceive(Master& m, void* msg, size_t size, std::atomic<uint8_t>& guard, const char* text) {
    if (msgQReceive(m.daqQueue, msg, size, WAIT_FOREVER) == static_cast<int>(size)) return true;
    if (syslogx_floodcheck(&guard)) syslogx(LOG_ERR, "%s", text);
    return false;
}

uint32_t msSinceStart() {
    timespec t{};
    clock_appltime(&t);
    return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

bool errorHeld(uint8_t* cell, uint8_t& s, uint32_t& hold) {
    s = __atomic_load_n(cell, __ATOMIC_RELAXED);
    if (s != ST_ERROR) return false;
    if (++hold < 100) return true;
    hold = 0;
    __atomic_store_n(cell, s = ST_IDLE, __ATOMIC_RELAXED);
    return false;
}

bool startAllowed(bool active, bool cond, uint32_t ms, uint32_t startDelay) {
    return active && !(cond && ms < 1000) && ms > startDelay;
}

} // namespace mr
