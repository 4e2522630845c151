#include "display/app/disp_data.h"

#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

// ---- conversions -----------------------------------------------------------------------

namespace {
int64_t clampTo(double v, double lo, double hi) {
    if (std::isnan(v)) return 0;
    if (v <= lo) return static_cast<int64_t>(lo);
    if (v >= hi) return static_cast<int64_t>(hi);
    return static_cast<int64_t>(v);
}
// Rounded and cut into the range of i32 or u32 (negative values keep their 32-bit pattern, as
// the verbal tables order their numbers as unsigned).
uint32_t roundPattern(double v) {
    return static_cast<uint32_t>(clampTo(std::round(v), INT32_MIN, UINT32_MAX));
}
} // namespace

int32_t disp_satInt(double v) {
    return static_cast<int32_t>(clampTo(v, INT32_MIN, INT32_MAX));
}
uint32_t disp_satUint(double v) {
    return static_cast<uint32_t>(clampTo(v, 0, UINT32_MAX));
}
int32_t disp_roundInt(double v) {
    return disp_satInt(std::round(v));
}
uint32_t disp_roundUint(double v) {
    return disp_satUint(std::round(v));
}

// ---- raw holder ------------------------------------------------------------------------

CDataMeas::CDataMeas(uint32_t a, uint32_t m, uint32_t t) : adr(a), mask(m), type(t) {
    shift = (mask == 0 || (mask & 1)) ? 0 : static_cast<uint8_t>(__builtin_ctz(mask));
    lock = semBCreate(SEM_Q_PRIORITY, SEM_FULL);
    if (!lock) {
        syslogx(LOG_DEBUG, "CDataMeas constructor semBCreate failed");
        throw std::bad_alloc();
    }
}

CDataMeas::~CDataMeas() {
    semDelete(lock);
}

int CDataMeas::width() const {
    switch (type) {
    case GWT_S32:
    case GWT_U32:
    case GWT_FLOAT:
        return 4;
    case GWT_S16:
    case GWT_U16:
        return 2;
    case GWT_S8:
    case GWT_U8:
    case GWT_BOOL:
        return 1;
    default:
        return 0;
    }
}

void CDataMeas::putData(const uint8_t* p) {
    if (semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_DEBUG, "CDataMeas::putData(...) semTake failed.");
        return;
    }
    // Only the value's own bytes: the last value of an entry may be a single byte.
    switch (type) {
    case GWT_S8:
        word = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(p[0])));
        break;
    case GWT_U8:
    case GWT_BOOL:
        word = p[0];
        break;
    case GWT_S16:
        word = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(bytes::get_be16(p))));
        break;
    case GWT_U16:
        word = bytes::get_be16(p);
        break;
    case GWT_S32:
    case GWT_U32:
        word = bytes::get_be32(p);
        break;
    case GWT_FLOAT: {
        float f;
        const uint32_t w = bytes::get_be32(p);
        std::memcpy(&f, &w, 4);
        dbl = f;
        break;
    }
    default:
        break;
    }
    updated.store(1);
    seq.fetch_add(1);
    semGive(lock);
    if (SEM_ID w = watcher.load()) semGive(w);
}

bool CDataMeas::getRawData(uint32_t& out) {
    if (semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_DEBUG, "CData::getRawData(GUIUINT) semTake failed.");
        return false;
    }
    out = type == GWT_FLOAT ? disp_satUint(dbl) : type == GWT_NONE ? 0 : word;
    semGive(lock);
    return true;
}

bool CDataMeas::getRawData(int32_t& out) {
    if (semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_DEBUG, "CData::getRawData(GUIINT) semTake failed.");
        return false;
    }
    out = type == GWT_FLOAT ? disp_satInt(dbl) : type == GWT_NONE ? 0 : static_cast<int32_t>(word);
    semGive(lock);
    return true;
}

bool CDataMeas::getRawData(double& out) {
    if (semTake(lock, WAIT_FOREVER) != OK) {
        SYSLOGX_GUARDED(LOG_DEBUG, "CData::getRawData(double) semTake failed.");
        return false;
    }
    switch (type) {
    case GWT_FLOAT:
        out = dbl;
        break;
    case GWT_S8:
    case GWT_S16:
    case GWT_S32:
        out = static_cast<int32_t>(word);
        break;
    case GWT_NONE:
        out = 0;
        break;
    default:
        out = word;
        break;
    }
    semGive(lock);
    return true;
}

// ---- channel description ------------------------------------------------------------------

uint32_t CData::convDataType(uint16_t t) {
    static const uint32_t map[] = {GWT_NONE, GWT_U8,  GWT_S8,    GWT_U16, GWT_S16,
                                   GWT_U32,  GWT_S32, GWT_FLOAT, GWT_BOOL};
    return t < sizeof map / sizeof map[0] ? map[t] : GWT_NONE;
}

void CData::take(const awm_meas_in& in) {
    adr = in.adr;
    mask = in.mask;
    type = convDataType(in.type);
    const float q[6] = {in.quant_a, in.quant_b, in.quant_c, in.quant_d, in.quant_e, in.quant_f};
    std::memcpy(quant, q, sizeof quant);
    shift = (mask == 0 || (mask & 1)) ? 0 : static_cast<uint8_t>(__builtin_ctz(mask));
}

CData::CData(const display_elem_s* e, CDataType_t r) : role(r) {
    if (r == CDATA_VIS) {
        const awm_meas_in* vis = e->type == ELEM_ALPHANUMERIC ? &e->alphanum.vis_input
                                 : e->type == ELEM_BARGRAPH   ? &e->bargraph.vis_input
                                 : e->type == ELEM_PICTURE    ? &e->picture.vis_input
                                                              : nullptr;
        if (vis) take(*vis);
        dispmode = DISPMODE_VISIBILITY;
    } else if (r == CDATA_VALUE) {
        if (e->type == ELEM_ALPHANUMERIC) {
            take(e->alphanum.ch_input);
            dispmode = e->alphanum.dispmode;
            if (dispmode == DISPMODE_VERBAL) vtab = e->alphanum.vtab;
        } else if (e->type == ELEM_BARGRAPH) {
            take(e->bargraph.ch_input);
        }
    }
}

CData::CData(const awm_meas_in* in) : role(CDATA_CFG) {
    if (in) take(*in);
}

bool CData::containsMeasChan(const display_elem_s* e) {
    if (!e) return false;
    if (e->type == ELEM_ALPHANUMERIC) return e->alphanum.ch_input.type != TYPE_NONE;
    if (e->type == ELEM_BARGRAPH) return e->bargraph.ch_input.type != TYPE_NONE;
    return false;
}

bool CData::containsVisChan(const display_elem_s* e) {
    if (!e) return false;
    switch (e->type) {
    case ELEM_ALPHANUMERIC:
        return e->alphanum.vis_mode != VIS_ALWAYS;
    case ELEM_BARGRAPH:
        return e->bargraph.vis_mode != VIS_ALWAYS;
    case ELEM_PICTURE:
        return e->picture.vis_mode != VIS_ALWAYS;
    default:
        return false;
    }
}

bool CData::isEqualData(const CData* o) const {
    return o && o->adr == adr && o->type == type && o->mask == mask;
}

void CData::updateData() {
    if (!meas) return;
    double x;
    if (type == GWT_S8 || type == GWT_S16 || type == GWT_S32) {
        int32_t w = 0;
        if (!meas->getRawData(w)) return;
        x = w >> shift;
    } else if (type == GWT_FLOAT) {
        if (!meas->getRawData(x)) return;
    } else {
        uint32_t w = 0;
        if (!meas->getRawData(w)) return;
        if (mask) w = (w & mask) >> shift;
        x = w;
    }
    const double a = quant[0], b = quant[1], c = quant[2], d = quant[3], e = quant[4], f = quant[5];
    value = (a * x * x + b * x + c) / (d * x * x + e * x + f);
}

bool CData::getQuantData(double& v) const {
    if (!meas) return false;
    v = value;
    return true;
}
bool CData::getQuantData(int32_t& v) const {
    if (!meas) return false;
    v = disp_satInt(value);
    return true;
}
bool CData::getQuantData(uint32_t& v) const {
    if (!meas) return false;
    v = disp_satUint(value);
    return true;
}

bool CData::isValid() const {
    return getMeasUpdateState() && !std::isnan(value);
}

bool CData::takeNewValue() {
    if (!meas || !meas->getMeasUpdateState()) return false;
    const uint32_t s = meas->sequence();
    const bool fresh = s != seen;
    seen = s;
    return fresh;
}

void CData::getDataStr(const char* fmt, char* out, size_t size) const {
    if (!size) return;
    out[0] = 0;
    if (!fmt || !isValid() || dispmode < DISPMODE_NORMAL || dispmode > DISPMODE_ASCII) return;
    char t[256] = "";
    if (dispmode == DISPMODE_NORMAL) {
        disp_formatPieces(out, size, fmt, dispmode, value, nullptr, &fmtLogged);
        size_t n = std::strlen(out);
        if (n > 0 && out[n - 1] == '.') out[--n] = 0;
        if (n <= 3 && std::strcmp(out, "-0") == 0) std::strcpy(out, "0");
        return;
    }
    switch (dispmode) {
    case DISPMODE_TIME_HH_MM_SS: {
        const int64_t v = disp_roundInt(value), a = v < 0 ? -v : v;
        std::snprintf(t, sizeof t, v < 0 ? "-%02lld:%02lld:%02lld" : "%02lld:%02lld:%02lld",
                      static_cast<long long>(a / 3600), static_cast<long long>(a % 3600 / 60),
                      static_cast<long long>(a % 60));
        break;
    }
    case DISPMODE_TIME_MM_SS_MS: {
        const int64_t v = disp_roundInt(value * 100), a = v < 0 ? -v : v;
        std::snprintf(t, sizeof t, v < 0 ? "-%02lld:%02lld:%02lld" : "%02lld:%02lld:%02lld",
                      static_cast<long long>(a / 6000), static_cast<long long>(a % 6000 / 100),
                      static_cast<long long>(a % 100));
        break;
    }
    case DISPMODE_TIME_U_SSS_MS: {
        const uint32_t u = value >= 0 ? disp_roundUint(value * 100) : 0;
        std::snprintf(t, sizeof t, "%03u:%02u", u / 100, u % 100);
        break;
    }
    case DISPMODE_TIME_S_SSS_MS: {
        const int64_t v = disp_satInt(value * 100), a = v < 0 ? -v : v;
        std::snprintf(t, sizeof t, v < 0 ? "-%03lld:%02lld" : " %03lld:%02lld",
                      static_cast<long long>(a / 100), static_cast<long long>(a % 100));
        break;
    }
    case DISPMODE_VERBAL:
        XmlVTabOutput(vtab, roundPattern(value), t);
        break;
    case DISPMODE_ASCII:
        t[0] = static_cast<char>(roundPattern(value) & 0xFF);
        t[1] = 0;
        break;
    default:
        break;
    }
    disp_formatPieces(out, size, fmt, dispmode, 0.0, t, &fmtLogged);
}

// ---- formats -----------------------------------------------------------------------------

namespace {
// Checks one piece: conversions allowed by the mode, at most one of them.
bool pieceValid(const char* p, size_t n, bool number, bool* hasConversion) {
    int conversions = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] != '%') continue;
        if (++i >= n) return false;
        if (p[i] == '%') continue;
        while (i < n && std::strchr("-+ #0", p[i]))
            ++i;
        size_t digits = 0;
        while (i < n && p[i] >= '0' && p[i] <= '9')
            ++i, ++digits;
        if (digits > 3) return false;
        if (i < n && p[i] == '.') {
            ++i;
            digits = 0;
            while (i < n && p[i] >= '0' && p[i] <= '9')
                ++i, ++digits;
            if (digits > 3) return false;
        }
        if (number && i < n && p[i] == 'l') ++i; // "%lf" is "%f"; other lengths do not take a double
        if (i >= n || !std::strchr(number ? "fFeEgG" : "s", p[i])) return false;
        ++conversions;
    }
    *hasConversion = conversions == 1;
    return conversions <= 1;
}
} // namespace

int disp_formatPieces(char* out, size_t size, const char* fmt, uint32_t dispmode, double value,
                      const char* text, bool* logged) {
    if (!size) return 0;
    size_t pos = 0;
    out[0] = 0;
    const bool number = dispmode == DISPMODE_NORMAL;
    while (*fmt && pos + 1 < size) {
        const char* end = fmt;
        while (*end && static_cast<unsigned char>(*end) != 0x81)
            ++end;
        if (*end) ++end; // the separator stays with its piece
        const size_t n = static_cast<size_t>(end - fmt);
        char piece[256];
        const size_t k = n < sizeof piece - 1 ? n : sizeof piece - 1;
        std::memcpy(piece, fmt, k);
        piece[k] = 0;
        bool conversion = false;
        const size_t room = size - pos;
        if (!pieceValid(piece, k, number, &conversion)) {
            if (logged && !*logged) {
                *logged = true;
                syslogx(LOG_WARN, "Display: format '%s' cannot be printed, shown as it stands", piece);
            }
            std::snprintf(out + pos, room, "%s", piece);
        } else if (!conversion) {
            size_t w = pos;
            for (size_t i = 0; i < k && w + 1 < size; ++i) {
                if (piece[i] == '%') ++i; // "%%"
                out[w++] = piece[i];
            }
            out[w] = 0;
        } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            if (number)
                std::snprintf(out + pos, room, piece, value);
            else
                std::snprintf(out + pos, room, piece, text ? text : "");
#pragma GCC diagnostic pop
        }
        pos += std::strlen(out + pos);
        fmt = end;
    }
    return static_cast<int>(pos);
}

// ---- lists and manager ---------------------------------------------------------------------

namespace {
const DispGatewayOps realGateway = {gw_connect, gw_setup_list, gw_start_all, gw_disconnect};
const DispGatewayOps* gateway = &realGateway;

gw_callbacks_t callbacks() {
    gw_callbacks_t cb{};
    cb.entry[GW_CB_READ] = {c2cpp_readCyclic, 100};
    cb.entry[GW_CB_STOP] = {c2cpp_stopMeas, 100};
    cb.entry[GW_CB_START] = {c2cpp_startMeas, 100};
    return cb;
}

int chainOf(uint32_t type) {
    switch (type) {
    case GWT_S32:
    case GWT_U32:
    case GWT_FLOAT:
        return 0;
    case GWT_S16:
    case GWT_U16:
        return 1;
    case GWT_S8:
    case GWT_U8:
    case GWT_BOOL:
        return 2;
    default:
        return -1;
    }
}

void saturatingIncrement(std::atomic<uint16_t>& c) {
    uint16_t v = c.load();
    while (v != 0xFFFF && !c.compare_exchange_weak(v, static_cast<uint16_t>(v + 1))) {
    }
}
} // namespace

void CDataManager_setGateway(const DispGatewayOps* ops) {
    gateway = ops ? ops : &realGateway;
}

CDataList::CDataList(CDataManager* m, uint16_t p, uint16_t r) : pid(p), raster(r), manager(m) {}

CDataManager::CDataManager() {
    const gw_callbacks_t cb = callbacks();
    mGateway = gateway->connect(&cb);
}

CDataManager::~CDataManager() {
    stopMeasurement();
}

CData* CDataManager::addData(const display_elem_s* e, uint16_t raster, CDataType_t role) {
    const bool wanted = role == CDATA_VALUE ? CData::containsMeasChan(e)
                        : role == CDATA_VIS ? CData::containsVisChan(e)
                                            : false;
    if (!wanted) return nullptr;
    CData* d = new (std::nothrow) CData(e, role);
    if (d) addData(d, raster);
    return d;
}

void CDataManager::addData(CData* d, uint16_t raster) {
    if (!d) return;
    CData* found = mRecords;
    while (found && !found->isEqualData(d))
        found = found->next;
    d->next = mRecords;
    mRecords = d;
    if (found) {
        d->setMeas(found->getMeas());
        return;
    }
    CDataMeas* m = nullptr;
    try {
        m = new CDataMeas(d->adr, d->mask, d->type);
    } catch (const std::bad_alloc&) {
        return; // no holder: the channel stays without value
    }
    m->all = mHolders;
    mHolders = m;
    d->setMeas(m);
    // Device 0 is this unit.
    uint16_t pid = static_cast<uint16_t>(m->adr >> 24);
    if (pid == 0) pid = static_cast<uint16_t>(app_pid & 0xFF);
    CDataList* l = mLists;
    while (l && !(l->pid == pid && l->raster == raster && 4 * l->requestSize < l->requestLimit))
        l = l->next;
    if (!l) {
        l = new (std::nothrow) CDataList(this, pid, raster);
        if (!l) return;
        l->next = mLists;
        mLists = l;
        ++mListCount;
    }
    const int c = chainOf(m->type);
    if (c < 0) return;
    if (!l->chain[c]) l->requestSize = static_cast<uint16_t>(l->requestSize + 2);
    m->next = l->chain[c];
    l->chain[c] = m;
    ++l->count[c];
    ++l->requestSize;
}

void CDataManager::createMeaslists() {
    static const int32_t marker[3] = {-4, -2, -1};
    for (CDataList* l = mLists; l; l = l->next) {
        if (l->pid == 0 || l->request) continue;
        l->dataSize =
            static_cast<uint16_t>(l->dataSize + 4 + 4 * l->count[0] + 2 * l->count[1] + l->count[2]);
        const int words = l->requestSize + 1;
        l->requestSize = static_cast<uint16_t>(4 * words);
        l->request = new (std::nothrow) int32_t[static_cast<size_t>(words)];
        if (!l->request) continue;
        int w = 0;
        for (int c = 0; c < 3; ++c) {
            if (!l->count[c]) continue;
            l->request[w++] = marker[c];
            for (CDataMeas* m = l->chain[c]; m; m = m->next)
                l->request[w++] = static_cast<int32_t>(m->adr & 0xFFFFFF);
            l->request[w++] = 0;
        }
        l->request[w] = 0;
    }
}

void CDataManager::startMeasurement() {
    if (!mGateway) return;
    for (CDataList* l = mLists; l; l = l->next)
        if (l->pid != 0 && l->request)
            l->magic = gateway->setupList(mGateway, l->request, reinterpret_cast<uintptr_t>(l),
                                          l->requestSize, l->raster, l->pid, 0, 0, 1, 4, l->dataSize, 5);
    gateway->startAll(mGateway);
}

void CDataManager::stopMeasurement() {
    for (CDataList* l = mLists; l; l = l->next)
        l->state.store(2);
    // Every list the gateway holds is confirmed inside the disconnect, and no callback of this
    // client runs after it: what follows frees nothing a gateway task still reads.
    if (mGateway) gateway->disconnect(mGateway);
    mGateway = nullptr;
    while (CDataList* l = mLists) {
        mLists = l->next;
        delete[] l->request;
        delete l;
    }
    while (CDataMeas* m = mHolders) {
        mHolders = m->all;
        delete m;
    }
    while (CData* d = mRecords) {
        mRecords = d->next;
        delete d;
    }
}

void CDataManager::readCyclic(uint32_t status, const void* entry, CDataList* l) {
    if (!l || l->state.load() != 1) return;
    auto forAll = [l](auto fn) {
        for (CDataMeas* chain : l->chain)
            for (CDataMeas* m = chain; m; m = m->next)
                fn(m);
    };
    if (status == GW_OK) {
        if (!entry) return;
        l->consecutiveTimeouts.store(0);
        l->online.store(1);
        const uint8_t* p = static_cast<const uint8_t*>(entry) + 4;
        forAll([&p](CDataMeas* m) {
            m->putData(p);
            p += m->width();
        });
    } else if (status == GW_NODATA) {
        saturatingIncrement(mTotalTimeouts);
        saturatingIncrement(l->timeouts);
        const int bit = l->pid < 10 ? 0 : l->pid < 32 ? 1 : l->pid - 30 > 31 ? 31 : l->pid - 30;
        mTimeoutDevices.fetch_or(1u << bit);
        if (l->consecutiveTimeouts.load() < 4) {
            l->consecutiveTimeouts.fetch_add(1);
        } else {
            forAll([](CDataMeas* m) { m->setTimeout(); });
            l->online.store(0);
        }
    } else {
        forAll([](CDataMeas* m) { m->setTimeout(); });
        l->online.store(0);
    }
}

void CDataManager::getStatus(bool* allOnline, bool* anyOnline, uint16_t* least, uint16_t* most,
                             uint32_t* total, uint32_t* devices) const {
    bool all = true, any = false;
    uint16_t lo = 0xFFFF, hi = 0;
    for (CDataList* l = mLists; l; l = l->next) {
        const bool on = l->online.load() != 0;
        all = all && on;
        any = any || on;
        const uint16_t t = l->timeouts.load();
        if (t < lo) lo = t;
        if (t > hi) hi = t;
    }
    if (allOnline) *allOnline = all;
    if (anyOnline) *anyOnline = any;
    if (least) *least = lo;
    if (most) *most = hi;
    if (total) *total = mTotalTimeouts.load();
    if (devices) *devices = mTimeoutDevices.load();
}

int c2cpp_readCyclic(uint32_t status, const void* entry, uintptr_t user) {
    auto* l = reinterpret_cast<CDataList*>(user);
    if (!l || !l->manager) return 0;
    l->manager->readCyclic(status, entry, l);
    return 1;
}

int c2cpp_stopMeas(uint32_t status, const void*, uintptr_t user) {
    auto* l = reinterpret_cast<CDataList*>(user);
    if (l && l->manager && status == GW_OK) {
        uint16_t stopping = 2;
        l->state.compare_exchange_strong(stopping, 3);
    }
    return 0;
}

int c2cpp_startMeas(uint32_t status, const void*, uintptr_t user) {
    auto* l = reinterpret_cast<CDataList*>(user);
    if (l && l->manager && status == GW_OK) {
        uint16_t created = 0;
        l->state.compare_exchange_strong(created, 1);
    }
    return 0;
}
