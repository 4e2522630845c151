#include "comm/chandata/chandata.h"

#include "comm/gw/gw.h"
#include "services/bytes/bytes.h"
#include "services/syslog/syslog.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// Connected by the first set-up; telemetry sets channels up from its start and from its JSON task
// at once, and a client lost to the other would stay connected for good.
std::atomic<gw_client_t*> client{nullptr};

const gw_callbacks_t chan_meas_callbacks = {
    {{nullptr, 0}, {ChanData::readCyclic, 100}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}, {nullptr, 0}}};

gw_client_t* sharedClient() {
    gw_client_t* c = client.load();
    if (c) return c;
    gw_client_t* made = gw_connect(&chan_meas_callbacks);
    if (!made || client.compare_exchange_strong(c, made)) return made;
    gw_disconnect(made);
    return c;
}

uint32_t sizeOf(uint32_t t) {
    return t <= 1 || t == 7 ? 1 : t <= 3 ? 2 : 4;
}

// Truncated toward zero; a delivered value or a quantisation that does not fit (or is not a
// number) gives the nearest limit (0), not what the conversion happens to produce.
template <class I> I truncate(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    if (v >= static_cast<double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    return static_cast<I>(v);
}

} // namespace

ChanData::ChanData(XmlScan* scan, XmlTok_t* tok) {
    XmlVTabParser types(8);
    const char* names[] = {"UINT8", "SINT8", "UINT16", "SINT16", "UINT32", "SINT32", "FLOAT", "BOOL"};
    for (int i = 0; i < 8; ++i)
        types.addPair(names[i], i + 1);
    int32_t fileType = 0;
    uint32_t adr = 0, pid = 0;
    XmlTagParser p(12);
    p.addAttributeVTab("type", &types, &fileType, 4, true);
    p.addAttribute("adr", &adr, 4, xmlTypeHex, true);
    p.addAttribute("mask", &mask, 4, xmlTypeHex, true);
    float* coeff[] = {&a, &b, &c, &d, &e, &f};
    const char* cn[] = {"a", "b", "c", "d", "e", "f"};
    for (int i = 0; i < 6; ++i)
        p.addAttribute(cn[i], coeff[i], 4, xmlTypeFloat, true);
    p.addAttribute("pid", &pid, 4, xmlTypeUInt, false);
    p.addAttribute("name", name, 255, xmlTypeString, false);
    p.addAttribute("vtab", vtab, 255, xmlTypeString, false);
    const int end = p.parse(scan);
    if (end == XmlTokStartClose) {
        // Content is not used: skip to the element's end.
        for (int depth = 0;;) {
            scan->getTok(tok);
            if (tok->type == XmlTokEof) throw XmlError("unexpected token", scan);
            if (tok->type == XmlTokStart || tok->type == XmlTokStartAttr) depth++;
            if (tok->type == XmlTokEmptyClose) depth--;
            if (tok->type == XmlTokEnd && depth-- == 0) break;
        }
    } else if (end != XmlTokEmptyClose) {
        throw XmlError("unexpected token", scan);
    }
    address = adr + (pid << 24);
    shift = 0;
    for (uint32_t m = mask; m && !(m & 1); m >>= 1)
        shift++;
    dataType = convDataType(static_cast<uint32_t>(fileType));
}

ChanData::ChanData(uint32_t measAddress, uint32_t type, uint32_t bits, float factor, float offset)
    : address(measAddress), mask(bits), dataType(type) {
    for (uint32_t m = mask; m && !(m & 1); m >>= 1)
        shift++;
    b = 1, c = -offset, f = factor;
}

ChanData::~ChanData() = default;

uint32_t ChanData::convDataType(uint32_t t) {
    static const uint32_t map[9] = {255, 1, 0, 3, 2, 5, 4, 6, 7};
    return t <= 8 ? map[t] : 255;
}

void ChanData::setup(uint16_t raster, uint32_t timeout) {
    gw_client_t* const c = sharedClient();
    if (!c) return;
    // Set up again (telemetry's enable channel at each start): the list before goes, or each
    // set-up would hold one more of the gateway's numbers for good.
    if (magic) gw_kill_list(magic), magic = 0;
    const int32_t words[4] = {-static_cast<int32_t>(sizeOf(dataType)),
                              static_cast<int32_t>(address & 0xFFFFFF), 0, 0};
    magic = gw_setup_list(c, words, reinterpret_cast<uintptr_t>(this), sizeof words, raster,
                          static_cast<uint16_t>(address >> 24), 0, 0, 1, 4,
                          static_cast<uint16_t>(sizeOf(dataType) + 4), timeout);
    if (magic) gw_start_list(magic);
}

int ChanData::readCyclic(uint32_t st, const void* entry, uintptr_t channel) {
    auto* ch = reinterpret_cast<ChanData*>(channel);
    if (!ch) return 1;
    if (st == GW_OK && entry) {
        ch->status = 0;
        ch->putData(static_cast<const uint8_t*>(entry) + 4);
    } else {
        ch->status = 1;
    }
    return 1;
}

void ChanData::putData(const uint8_t* p) {
    uint32_t w = 0;
    switch (dataType) {
    case 0:
        w = static_cast<uint32_t>(static_cast<int8_t>(p[0]));
        break;
    case 1:
    case 7:
        w = p[0];
        break;
    case 2:
        w = static_cast<uint32_t>(static_cast<int16_t>(bytes::get_be16(p)));
        break;
    case 3:
        w = bytes::get_be16(p);
        break;
    case 4:
    case 5:
    case 6:
        w = bytes::get_be32(p);
        break;
    default:
        break;
    }
    uint64_t bits = w;
    if (dataType == 6) {
        float v;
        std::memcpy(&v, &w, 4);
        const double wide = v;
        std::memcpy(&bits, &wide, 8);
    }
    raw.store(bits, std::memory_order_release);
    newData.store(1, std::memory_order_release);
}

double ChanData::real() const {
    const uint64_t bits = raw.load(std::memory_order_acquire);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

double ChanData::quantised() const {
    double v;
    switch (dataType) {
    case 0:
    case 2:
    case 4:
        v = static_cast<int32_t>(word()) >> shift;
        break;
    case 1:
    case 3:
    case 5:
    case 7:
        v = mask ? (word() & mask) >> shift : word();
        break;
    case 6:
        v = real();
        break;
    default:
        v = 0;
    }
    if (b == 0.0f) {
        // A divisor of 0 would give infinities: the value goes unscaled.
        SYSLOGX_GUARDED(LOG_ERR, "ChanData: quantisation parameter B of %s is 0.0, value unscaled", name);
        return v;
    }
    return (static_cast<double>(f) * v - c) / b;
}

void ChanData::getRawData(uint32_t& v) const {
    if (dataType == 6)
        v = static_cast<uint32_t>(truncate<int64_t>(real()));
    else
        v = dataType == 255 ? 0 : word();
}
void ChanData::getRawData(int32_t& v) const {
    if (dataType == 6)
        v = truncate<int32_t>(real());
    else
        v = dataType == 255 ? 0 : static_cast<int32_t>(word());
}
void ChanData::getRawData(double& v) const {
    if (dataType == 6)
        v = real();
    else if (dataType == 0 || dataType == 2 || dataType == 4)
        v = static_cast<int32_t>(word());
    else
        v = dataType == 255 ? 0 : word();
}
void ChanData::getRawData(void* out, uint32_t size) const {
    const uint32_t n = size < sizeOf(dataType) ? size : sizeOf(dataType);
    const uint32_t w = word();
    std::memcpy(out, &w, n); // the low bytes (little-endian host)
}
void ChanData::getQuantData(uint32_t& v) const {
    v = static_cast<uint32_t>(truncate<int64_t>(quantised()));
}
void ChanData::getQuantData(int32_t& v) const {
    v = truncate<int32_t>(quantised());
}
void ChanData::getQuantData(double& v) const {
    v = quantised();
}

void chan_meas_setup(ChanData* ch, uint32_t timeout, uint16_t raster) {
    if (ch) ch->setup(raster, timeout);
}

int chan_meas_getValue(ChanData* ch, double* value, uint8_t* st) {
    if (!ch) return 0;
    const int n = ch->newData.exchange(0, std::memory_order_acq_rel);
    if (st) *st = ch->status;
    if (value) ch->getQuantData(*value);
    return n;
}

int chan_meas_getRawData(ChanData* ch, void* buffer, uint32_t size, uint8_t* st) {
    if (!ch) return 0;
    const int n = ch->newData.exchange(0, std::memory_order_acq_rel);
    ch->getRawData(buffer, size);
    if (st) *st = ch->status;
    return n;
}
