// The board-input types: sensor offset (0x01), characteristic curve (0x02), multipoint curve
// (0x03), velocity (0x05), revolution (0x06) and frequency curve (0x12). All are measured
// types: no instance; each measurement of one output has its own handle, and outputs 0 and 2
// read the board input through the FIR filter.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <new>

namespace {

struct Handle {
    vc_data_t* entry;
    uint32_t vcId;
    uint16_t raster;
    uint16_t boardChannel;
    awm_meas_ctx* filter;
    const float* filterOut;
    awm_quant quant;
    awm_input_buf in;
    float lastSignal;
    float* adj; // the channel's adjustment record, null: none
    uint32_t value;
    float lower, upper; // velocity: the output type's range
};

struct Kind {
    uint16_t type;
    bool signalInput;        // may read a signal through its input reference (at offset 40)
    bool adjusts;            // has an adjustment record
    const char* illegalConv; // linear output quantisation; null: the type's own function
    const char* noTypII;     // logged for a signal input the type cannot have
};
constexpr Kind SENS{0x01, true, true, "awm_0x01_sens_offs_setupmeas: illegal conversion channel 0x%02Xh",
                    nullptr};
constexpr Kind CURVE{0x02, true, true, "awm_0x02_curve_setupmeas: illegal conversion channel 0x%02Xh",
                     nullptr};
constexpr Kind MPX{0x03, false, true, "awm_0x03_mpx_setupmeas: illegal conversion channel 0x%02Xh",
                   "awm_0x03_mpx_setupmeas: no TypII AWM possible"};
constexpr Kind VELO{0x05, false, false, "awm_0x05_velocity_setupmeas: illegal conversion channel 0x%02Xh",
                    "awm_0x05_velocity_setupmeas: no TypII AWM possible"};
constexpr Kind REV{0x06, false, false, "awm_0x06_revolution_setupmeas: illegal conversion channel 0x%02Xh",
                   "awm_0x06_revolution_setupmeas: no TypII AWM possible"};
constexpr Kind FREQU{0x12, false, true, nullptr, nullptr};

bool hasRef(const Kind& k, const uint8_t* ds) {
    return k.signalInput && awm_ref_set(ds + 40);
}

Handle* setup(const Kind& k, uint32_t vcId, uint16_t raster, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    auto* h = new (std::nothrow) Handle{};
    if (!h) return nullptr;
    const uint16_t idx = awm_vc_index(vcId);
    const uint8_t* ds = e->dataset;
    h->entry = e;
    h->vcId = vcId;
    h->raster = raster;
    h->boardChannel = awm_man_get_adc_chan(idx);
    if (k.adjusts) h->adj = awm_man_get_adj_data(awm_man_get_adj_idx(idx));
    h->quant = k.illegalConv ? awm_linear_quant(ds, idx, k.illegalConv) : awm_quant{1.0f, 0.0f, 0};
    if (hasRef(k, ds)) {
        awm_man_setup_gw_meas(ds + 40, &h->in, raster);
    } else {
        if (k.noTypII && awm_ref_set(ds + 40)) syslogx(LOG_ERR, "%s", k.noTypII);
        const uint8_t o = awm_vc_output(vcId);
        awm_out fo{};
        if (o == 0 || o == 2) h->filter = awm_man_AWM_start(vcId, raster, AWM_TYPE_FIR, &fo);
        if (h->filter && fo.at != &error_toggle) h->filterOut = static_cast<const float*>(fo.at);
    }
    *out = awm_object(&h->value);
    return h;
}

// The input value of an output 0 to 3.
float input(const Kind& k, Handle* h) {
    const uint8_t* ds = h->entry->dataset;
    if (hasRef(k, ds)) {
        if (h->in.valid != 1) return -1.0f;
        h->lastSignal = static_cast<float>(awm_rational(ds + 40 + 8, h->in.value));
        return h->lastSignal;
    }
    const uint8_t o = awm_vc_output(h->vcId);
    if ((o == 0 || o == 2) && h->filterOut) return *h->filterOut;
    return awm_get_channel(h->boardChannel);
}

// Clamped to the maximum first (a value that is not a number too), then to the minimum.
float clamp(float p, const uint8_t* ds, uint32_t minOff) {
    const float mn = awm_rd<float>(ds, minOff), mx = awm_rd<float>(ds, minOff + 4);
    if (!(p <= mx)) p = mx;
    if (p < mn) p = mn;
    return p;
}

void storeLinear(Handle* h, float p) {
    awm_store_linear(&h->value, awm_rd<uint16_t>(h->entry->dataset, 8), p, h->quant);
}

uint16_t latency(const Kind& k, void* hv) {
    auto* h = static_cast<Handle*>(hv);
    if (!h) return 0;
    if (h->filter) return awm_man_AWM_getLatency(h->filter);
    return hasRef(k, h->entry->dataset) ? awm_man_gw_get_latency(&h->in) : 0;
}
uint8_t shutdownMeasure(void* hv) {
    auto* h = static_cast<Handle*>(hv);
    if (!h) return 0;
    awm_man_stop_gw_meas(&h->in);
    awm_man_AWM_stop(h->filter);
    delete h;
    return 1;
}
uint8_t shutdownInstance(void*) {
    return 1;
}

// The adjustment record of an index that asks for an offset adjustment, or null after the
// type's log line.
float* adjRecord(uint16_t index, uint16_t request, const char* name) {
    if (request != 1) return nullptr;
    float* adj = awm_man_get_adj_data(awm_man_get_adj_idx(index));
    if (!adj) syslogx(LOG_ERR, "%s: adjData NULL", name);
    return adj;
}

// A curve of 1 to 16 breakpoints at dataset offset `at` (count, 2 bytes, x values, y values),
// copied out since dataset floats need not be aligned. False for any other count.
struct Curve {
    uint16_t n;
    float x[16], y[16];
};
bool readCurve(const uint8_t* ds, uint32_t at, Curve* c) {
    c->n = awm_rd<uint16_t>(ds, at);
    if (c->n < 1 || c->n > 16) return false;
    std::memcpy(c->x, ds + at + 4, 4u * c->n);
    std::memcpy(c->y, ds + at + 4 + 4u * c->n, 4u * c->n);
    return true;
}
float lookup(const Curve& c, float x) {
    float r;
    awm_0x02_lookup(&r, c.y, x, c.x, static_cast<uint16_t>(c.n - 1));
    return r;
}

// ---- 0x01 sensor with offset ----------------------------------------------------------------------

void* sensSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    return setup(SENS, vcId, raster, out);
}
void sensMeas(void* hv, uint32_t) {
    auto* h = static_cast<Handle*>(hv);
    const uint8_t* ds = h->entry->dataset;
    const uint8_t o = awm_vc_output(h->vcId);
    if (o > 3) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x01_sens_offs_meas() SC_NUM 0x%X invalid", o);
        return;
    }
    const float x = input(SENS, h);
    if (o >= 2) return awm_store_int(&h->value, 3, x);
    float p = (x - awm_rd<float>(ds, 76)) / awm_rd<float>(ds, 80);
    if (h->adj) p += h->adj[0];
    storeLinear(h, clamp(p, ds, 84));
}
uint8_t sensAdjust(vc_data_t* e, uint16_t index, float mean, uint16_t request) {
    float* adj = adjRecord(index, request, "awm_0x01_sens_offs_adjustment");
    if (!adj) return 0;
    const uint8_t* ds = e->dataset;
    if (awm_ref_set(ds + 40)) {
        syslogx(LOG_ERR, "awm_0x01_sens_offs_adjustment: tried offset adjustment on TypII-AWM");
        return 0;
    }
    adj[0] = awm_rd_active<float>(ds, 12) - (mean - awm_rd<float>(ds, 76)) / awm_rd<float>(ds, 80);
    syslogx(LOG_INFO, "awm_0x01_sens_offs_adjustment: offset adjustment value: %f",
            static_cast<double>(adj[0]));
    return 1;
}
uint16_t sensLatency(void* h) {
    return latency(SENS, h);
}
uint16_t sensLen() {
    return 96;
}

// ---- 0x02 characteristic curve ----------------------------------------------------------------

void* curveSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    const uint16_t n = awm_rd<uint16_t>(e->dataset, 76);
    // The dataset has room for 16 breakpoints: more would be read past it.
    if (n < 1 || n > 16) {
        syslogx(LOG_ERR, "awm_0x02_curve_setupmeas: excessive data table size 'curve.len': %d, MAX: %d", n,
                16);
        return nullptr;
    }
    return setup(CURVE, vcId, raster, out);
}
void curveMeas(void* hv, uint32_t) {
    auto* h = static_cast<Handle*>(hv);
    const uint8_t* ds = h->entry->dataset;
    const uint8_t o = awm_vc_output(h->vcId);
    if (o > 3) return;
    const float x = input(CURVE, h);
    if (o >= 2) return awm_store_int(&h->value, 3, x);
    Curve c;
    readCurve(ds, 76, &c);
    float p = lookup(c, x);
    if (h->adj) p += h->adj[0];
    storeLinear(h, clamp(p, ds, 208));
}
uint8_t curveAdjust(vc_data_t* e, uint16_t index, float mean, uint16_t request) {
    float* adj = adjRecord(index, request, "awm_0x02_curve_adjustment");
    if (!adj) return 0;
    const uint8_t* ds = e->dataset;
    if (awm_ref_set(ds + 40)) {
        syslogx(LOG_ERR, "awm_0x02_curve_adjustment: tried offset adjustment on TypII-AWM");
        return 0;
    }
    Curve c;
    if (!readCurve(ds, 76, &c)) return 0;
    adj[0] = awm_rd_active<float>(ds, 12) - lookup(c, mean);
    syslogx(LOG_INFO, "awm_0x02_curve_adjustment: offset adjustment value: %f", static_cast<double>(adj[0]));
    return 1;
}
uint16_t curveLatency(void* h) {
    return latency(CURVE, h);
}
uint16_t curveLen() {
    return 220;
}

// ---- 0x12 frequency curve -----------------------------------------------------------------------

void* frequSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    const uint16_t n = awm_rd<uint16_t>(e->dataset, 40);
    if (n < 1 || n > 16) {
        syslogx(LOG_ERR, "awm_0x12_curve_setupmeas: excessive data table size 'curve.len': %d, MAX: %d", n,
                16);
        return nullptr;
    }
    return setup(FREQU, vcId, raster, out);
}
void frequMeas(void* hv, uint32_t) {
    auto* h = static_cast<Handle*>(hv);
    const uint8_t* ds = h->entry->dataset;
    const uint8_t o = awm_vc_output(h->vcId);
    if (o > 3) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x12_curve_meas: invalid subchannel 0x%X measurement request", o);
        return;
    }
    float x = input(FREQU, h);
    if (o >= 2) {
        x = x > 32767.0f ? 32767.0f : x < -32768.0f ? -32768.0f : x;
        return awm_store_int(&h->value, 3, x);
    }
    Curve c;
    readCurve(ds, 40, &c);
    float p = lookup(c, x);
    if (h->adj) p += h->adj[0];
    p = clamp(p, ds, 172);
    const uint16_t code = awm_rd<uint16_t>(ds, 8);
    if (code == 6)
        std::memcpy(&h->value, &p, 4);
    else if (code <= 5)
        awm_store_int(&h->value, code, awm_rational(ds + 16, p));
}
uint8_t frequAdjust(vc_data_t* e, uint16_t index, float mean, uint16_t request) {
    float* adj = adjRecord(index, request, "awm_0x12_curve_adjustment");
    Curve c;
    if (!adj || !readCurve(e->dataset, 40, &c)) return 0;
    adj[0] = awm_rd_active<float>(e->dataset, 12) - lookup(c, mean);
    syslogx(LOG_INFO, "awm_0x12_curve_adjustment: offset adjustment value: %f", static_cast<double>(adj[0]));
    return 1;
}
uint16_t frequLatency(void* h) {
    return latency(FREQU, h);
}
uint16_t frequLen() {
    return 184;
}

// ---- 0x03 multipoint curve ----------------------------------------------------------------------

// The set points (x) come from the adjustment record, the physical values (y) from the dataset.
float mpxLookup(const float* xs, const float* ys, uint16_t last, float x) {
    uint16_t lo = 0, up = last;
    if (x <= xs[0]) {
        up = 0;
    } else if (x >= xs[last]) {
        lo = last;
    } else {
        while (up - lo > 1) {
            const uint16_t mid = static_cast<uint16_t>((lo + up) / 2);
            if (x < xs[mid])
                up = mid;
            else
                lo = mid;
        }
    }
    if (xs[up] > xs[lo]) {
        const float t = (x - xs[lo]) / (xs[up] - xs[lo]);
        return t == 0 ? ys[lo] : ys[lo] + t * (ys[up] - ys[lo]);
    }
    if (up == 0) return ys[0] - (xs[0] - x) / (xs[1] - xs[0]) * (ys[1] - ys[0]);
    if (lo == last) return ys[last] + (x - xs[last]) / (xs[last] - xs[last - 1]) * (ys[last] - ys[last - 1]);
    return ys[lo];
}
// The set points of the reference page, or of the active page for an adjustment.
bool mpxPoints(const uint8_t* ds, float* ys, uint16_t* n, bool active = false) {
    *n = active ? awm_rd_active<uint16_t>(ds, 76) : awm_rd<uint16_t>(ds, 76);
    if (*n < 2 || *n > 6) return false;
    for (uint16_t i = 0; i < *n; ++i)
        ys[i] = active ? awm_rd_active<float>(ds, 80 + 4u * i) : awm_rd<float>(ds, 80 + 4u * i);
    return true;
}
void* mpxSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    const uint16_t n = awm_rd<uint16_t>(e->dataset, 76);
    // The record holds six set points.
    if (n < 2 || n > 6) {
        syslogx(LOG_ERR, "awm_0x03_mpx_setupmeas: %d set points, 2 to 6 possible", n);
        return nullptr;
    }
    return setup(MPX, vcId, raster, out);
}
void mpxMeas(void* hv, uint32_t) {
    auto* h = static_cast<Handle*>(hv);
    const uint8_t* ds = h->entry->dataset;
    const uint8_t o = awm_vc_output(h->vcId);
    if (o > 3) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x03_mpx_meas() SC_NUM 0x%X invalid", o);
        return;
    }
    const float x = input(MPX, h);
    if (o >= 2) return awm_store_int(&h->value, 3, x);
    if (!h->adj) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x03_mpx_meas: adjData NULL");
        return;
    }
    float ys[6];
    uint16_t n;
    mpxPoints(ds, ys, &n);
    storeLinear(h, clamp(mpxLookup(h->adj + 1, ys, static_cast<uint16_t>(n - 1), x) + h->adj[0], ds, 104));
}
uint8_t mpxAdjust(vc_data_t* e, uint16_t index, float mean, uint16_t request) {
    float* adj = awm_man_get_adj_data(awm_man_get_adj_idx(index));
    if (!adj) {
        syslogx(LOG_ERR, "awm_0x03_mpx_adjustment: adjData NULL");
        return 0;
    }
    if (request == 1) {
        float ys[6];
        uint16_t n;
        if (!mpxPoints(e->dataset, ys, &n, true)) return 0;
        adj[0] =
            awm_rd_active<float>(e->dataset, 12) - mpxLookup(adj + 1, ys, static_cast<uint16_t>(n - 1), mean);
        syslogx(LOG_INFO, "awm_0x03_mpx_adjustment: offset adjustment value: %f",
                static_cast<double>(adj[0]));
        return 1;
    }
    if (request >= 0x11 && request <= 0x16) {
        adj[request - 0x10] = mean;
        syslogx(LOG_INFO, "awm_0x03_mpx_adjustment: SETPOINT%d adjustment value: %f", request - 0x10,
                static_cast<double>(mean));
    }
    adj[0] = 0;
    return 1;
}
uint16_t mpxLatency(void* h) {
    return latency(MPX, h);
}
uint16_t mpxLen() {
    return 116;
}

// ---- 0x05 velocity, 0x06 revolution -------------------------------------------------------------

void* veloSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    Handle* h = setup(VELO, vcId, raster, out);
    if (!h) return nullptr;
    static const float limits[6][2] = {{-128.0f, 127.0f},
                                       {0.0f, 255.0f},
                                       {-32768.0f, 32767.0f},
                                       {0.0f, 65535.0f},
                                       {-2147483648.0f, 2147483648.0f},
                                       {0.0f, 4294967296.0f}};
    const uint16_t code = awm_rd<uint16_t>(h->entry->dataset, 8);
    const float* l = code <= 5 && code != 4 ? limits[code] : limits[4];
    h->lower = l[0];
    h->upper = l[1];
    return h;
}
float limit16(float x) {
    return x > 32767.0f ? 32767.0f : x < -32768.0f ? -32768.0f : x;
}
void veloMeas(void* hv, uint32_t) {
    auto* h = static_cast<Handle*>(hv);
    const uint8_t* ds = h->entry->dataset;
    const uint8_t o = awm_vc_output(h->vcId);
    if (o > 3) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x05_velocity_meas() SC_NUM 0x%X invalid", o);
        return;
    }
    const float x = input(VELO, h);
    if (o >= 2) return awm_store_int(&h->value, 2, limit16(x));
    const float v = awm_rd<float>(ds, 84) * (x - awm_rd<float>(ds, 80)) / (awm_rd<float>(ds, 76) * 1000.0f);
    const uint16_t code = awm_rd<uint16_t>(ds, 8);
    if (code == 6) return std::memcpy(&h->value, &v, 4), void();
    float q = h->quant.offset + h->quant.factor * v;
    if (q > h->upper) q = h->upper;
    if (q < h->lower) q = h->lower;
    if (code <= 5) awm_store_int(&h->value, code, q);
}
uint16_t veloLatency(void* h) {
    return latency(VELO, h);
}
uint16_t veloLen() {
    return 92;
}

void* revSetup(uint32_t vcId, uint16_t raster, awm_out* out) {
    return setup(REV, vcId, raster, out);
}
void revMeas(void* hv, uint32_t) {
    auto* h = static_cast<Handle*>(hv);
    const uint8_t* ds = h->entry->dataset;
    const uint8_t o = awm_vc_output(h->vcId);
    if (o > 3) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x06_revolution_meas: invalid subchannel 0x%X measurement request", o);
        return;
    }
    const float x = input(REV, h);
    if (o >= 2) return awm_store_int(&h->value, 3, limit16(x));
    storeLinear(h, x / awm_rd<float>(ds, 76));
}
uint16_t revLatency(void* h) {
    return latency(REV, h);
}
uint16_t revLen() {
    return 84;
}

} // namespace

void awm_0x02_binarysearch(uint16_t* lower, uint16_t* upper, float x, const float* xs, uint16_t lastIndex) {
    const uint16_t m = lastIndex > 15 ? 15 : lastIndex;
    *lower = 0;
    *upper = lastIndex;
    // Written as compares that fail for a value that is not a number: such an x bisects up.
    if (x <= xs[0]) {
        *upper = 0;
        return;
    }
    if (x >= xs[m]) {
        *lower = m;
        return;
    }
    while (*upper - *lower > 1) {
        const uint16_t mid = static_cast<uint16_t>((*lower + *upper) / 2);
        if (x < xs[mid])
            *upper = mid;
        else
            *lower = mid;
    }
}

void awm_0x02_lookup(float* result, const float* ys, float x, const float* xs, uint16_t last) {
    if (last == 0) {
        *result = ys[0];
        return;
    }
    uint16_t i, j;
    awm_0x02_binarysearch(&i, &j, x, xs, last);
    if (xs[j] > xs[i])
        *result = ys[i] + (ys[j] - ys[i]) / (xs[j] - xs[i]) * (x - xs[i]);
    else if (j == 0)
        *result = ys[0] + (ys[1] - ys[0]) / (xs[1] - xs[0]) * (x - xs[0]);
    else if (i == last)
        *result = ys[last] + (ys[last] - ys[last - 1]) / (xs[last] - xs[last - 1]) * (x - xs[last]);
    else {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x02_lookup() invalid code path");
        *result = ys[i];
    }
}

const awm_entry_t entry_0x01_sens_offs{
    nullptr,         sensLen, nullptr,    sensSetup,        sensMeas,           sensLatency,
    shutdownMeasure, nullptr, sensAdjust, shutdownInstance, awm_man_adc_get_raw};
const awm_entry_t entry_0x02_curve{
    nullptr,         curveLen, nullptr,     curveSetup,       curveMeas,          curveLatency,
    shutdownMeasure, nullptr,  curveAdjust, shutdownInstance, awm_man_adc_get_raw};
const awm_entry_t entry_0x03_mpx{
    nullptr, mpxLen,    nullptr,          mpxSetup,           mpxMeas, mpxLatency, shutdownMeasure,
    nullptr, mpxAdjust, shutdownInstance, awm_man_adc_get_raw};
const awm_entry_t entry_0x05_velocity{nullptr,  veloLen,          nullptr,         veloSetup,
                                      veloMeas, veloLatency,      shutdownMeasure, nullptr,
                                      nullptr,  shutdownInstance, nullptr};
const awm_entry_t entry_0x06_revolution{nullptr, revLen,           nullptr,         revSetup,
                                        revMeas, revLatency,       shutdownMeasure, nullptr,
                                        nullptr, shutdownInstance, nullptr};
const awm_entry_t entry_0x12_frequ{
    nullptr,         frequLen, nullptr,     frequSetup,       frequMeas,          frequLatency,
    shutdownMeasure, nullptr,  frequAdjust, shutdownInstance, awm_man_rev_get_raw};

const awm_entry_t* awm_tab(uint16_t type) {
    switch (type) {
    case 0x01:
        return &entry_0x01_sens_offs;
    case 0x02:
        return &entry_0x02_curve;
    case 0x03:
        return &entry_0x03_mpx;
    case 0x05:
        return &entry_0x05_velocity;
    case 0x06:
        return &entry_0x06_revolution;
    case 0x12:
        return &entry_0x12_frequ;
    // logic and computed types
    case 0x07:
        return &entry_0x07_systemspeed;
    case 0x09:
        return &entry_0x09_pwmout;
    case 0x0C:
        return &entry_0x0C_condeval;
    case 0x0D:
        return &entry_0x0D_condcomb;
    case 0x0E:
        return &entry_0x0E_gearlookup;
    case 0x0F:
        return &entry_0x0F_hysteresis;
    case 0x10:
        return &entry_0x10_math;
    case 0x11:
        return &entry_0x11_condfunc;
    case 0x13:
        return &entry_0x13_grpadj2;
    case 0x14:
        return &entry_0x14_adjust;
    // Lap function and GPS channel function.
    case 0x08:
        return &entry_0x08_lapfunc;
    case 0x17:
        return &entry_0x17_gps;
    // Fuel consumption and LED control.
    case 0x0A:
        return &entry_0x0A_fuelcons;
    case 0x0B:
        return &entry_0x0B_led;
    case AWM_TYPE_FIR:
        return &entry_0x100_fir;
    case AWM_TYPE_FIR_UNFIL:
        return &entry_0x101_fir;
    default:
        return nullptr;
    }
}
