// Values of the channel functions: conversions by data-type code, the output quantiser, and
// the inputs that come through the measurement gateway.
#include "acquisition/awm/awm_private.h"

#include "calibration/meas/seram_meas.h"
#include "comm/gw/gw.h"
#include "services/rtpman/rtpman.h"
#include "services/syslog/syslog.h"

#include <cmath>
#include <limits>

double awm_round(double q) {
    return q > 0 ? std::trunc(q + 0.5) : std::trunc(q - 0.5);
}

namespace {
template <class T> T saturate(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}
// Outputs are sampled by other tasks while they are written.
template <class T> void put(void* out, T v) {
    seramMeasStoreValue(out, &v, sizeof v);
}
} // namespace

int32_t awm_to_i32(double v) {
    return saturate<int32_t>(v);
}
uint32_t awm_to_u32(double v) {
    return saturate<uint32_t>(v);
}

// Saturated to the field rather than wrapped: a value of 300 in a byte reads 255, not 44.
void awm_store_int(void* out, uint16_t code, double q) {
    const double r = awm_round(q);
    switch (code) {
    case 0:
        put(out, saturate<int8_t>(r));
        break;
    case 1:
    case 7:
        put(out, saturate<uint8_t>(r));
        break;
    case 2:
        put(out, saturate<int16_t>(r));
        break;
    case 3:
        put(out, saturate<uint16_t>(r));
        break;
    case 4:
        put(out, saturate<int32_t>(r));
        break;
    case 5:
        put(out, saturate<uint32_t>(r));
        break;
    default:
        break;
    }
}

void awm_store_linear(void* out, uint16_t code, double p, const awm_quant& q) {
    if (code == 6)
        put(out, static_cast<float>(p));
    else if (code <= 5)
        awm_store_int(out, code, q.offset + q.factor * p);
}

double awm_rational(const uint8_t* k, double x) {
    const double a = awm_rd<float>(k, 0), b = awm_rd<float>(k, 4), c = awm_rd<float>(k, 8),
                 d = awm_rd<float>(k, 12), e = awm_rd<float>(k, 16), f = awm_rd<float>(k, 20);
    return (a * x * x + b * x + c) / (d * x * x + e * x + f);
}

awm_quant awm_linear_quant(const uint8_t* ds, uint16_t index, const char* message) {
    const float a = awm_rd<float>(ds, 16), b = awm_rd<float>(ds, 20), c = awm_rd<float>(ds, 24),
                d = awm_rd<float>(ds, 28), e = awm_rd<float>(ds, 32), f = awm_rd<float>(ds, 36);
    if (f == 0 || a != 0 || d != 0 || e != 0) {
        syslogx(LOG_ERR, message, index);
        return {1.0f, 0.0f, 0};
    }
    return {b / f, c / f, 1};
}

void awm_man_quant2fact_offs(const float* k, awm_quant* q) {
    if (k[5] == 0) {
        SYSLOGX_GUARDED(LOG_WARN, "awm_man_quant2fact_offs: quantisation parameter F is 0.0 !!!");
        *q = {1.0f, 0.0f, 0};
        return;
    }
    *q = {k[1] / k[5], k[2] / k[5], 1};
    if (std::fabs(q->factor - 1.0f) < 1e-7f && std::fabs(q->offset) < 1e-7f) *q = {1.0f, 0.0f, 0};
}

double awm_man_conv2double(uint32_t w, uint16_t code) {
    switch (code) {
    case 0:
        return static_cast<int8_t>(w);
    case 1:
    case 7:
        return static_cast<uint8_t>(w);
    case 2:
        return static_cast<int16_t>(w);
    case 3:
        return static_cast<uint16_t>(w);
    case 4:
        return static_cast<int32_t>(w);
    case 5:
        return w;
    case 6: {
        float f;
        std::memcpy(&f, &w, sizeof f);
        return f;
    }
    default:
        return 0.0;
    }
}

void awm_man_init_data(void* value, uint8_t code) {
    static const uint8_t widths[] = {1, 1, 2, 2, 4, 4, 4, 1};
    if (code < sizeof widths) std::memset(value, 0, widths[code]);
}

// ---- inputs through the gateway ----------------------------------------------------------------

namespace {

gw_client_t* client;

uint32_t valueSize(uint8_t code) {
    return code <= 1 ? 1 : code <= 3 ? 2 : code <= 6 ? 4 : 0;
}

int onRead(uint32_t status, const void* data, uintptr_t user) {
    auto* b = reinterpret_cast<awm_input_buf*>(user);
    if (status != GW_OK || !data) {
        awm_gw_lapse(b);
        return 0;
    }
    const auto* p = static_cast<const uint8_t*>(data) + 4; // behind the timestamp
    uint32_t raw = 0;
    for (uint32_t i = 0; i < valueSize(b->type); ++i)
        raw = raw << 8 | p[i];
    awm_gw_deliver(b, raw);
    return 1;
}
int onStart(uint32_t status, const void* data, uintptr_t user) {
    if (status != GW_OK || !data) return 0;
    // The gateway hands over the latency as a value, already taken from its big-endian field.
    reinterpret_cast<awm_input_buf*>(user)->latency = *static_cast<const uint16_t*>(data);
    return 0;
}
int onTimeout(uint32_t status, const void*, uintptr_t user) {
    auto* b = reinterpret_cast<awm_input_buf*>(user);
    if (status == GW_NODATA) {
        awm_gw_lapse(b);
        SYSLOGX_GUARDED(LOG_WARN, "awm_man_meas_tout: PID:0x%X timeout , errcnt %u", b->pid, ++b->errcnt);
    } else if (status == GW_OK) {
        SYSLOGX_GUARDED(LOG_INFO, "awm_man_meas_tout: PID:0x%X back online", b->pid);
    }
    return 0;
}
int ignore(uint32_t, const void*, uintptr_t) {
    return 0;
}
const gw_callbacks_t callbacks{
    {{nullptr, 0}, {onRead, 0}, {ignore, 0}, {onStart, 0}, {nullptr, 0}, {onTimeout, 0}}};

awm_gw_standin_fn standIn;

} // namespace

void awm_gw_deliver(awm_input_buf* b, uint32_t raw) {
    b->raw = raw;
    b->value = static_cast<float>(awm_man_conv2double(raw, b->type));
    b->valid = 1;
}
void awm_gw_lapse(awm_input_buf* b) {
    b->valid = 0;
    b->value = -1.0f;
}
void awm_gw_setStandIn(awm_gw_standin_fn fn) {
    standIn = fn;
}

void awm_gw_connect() {
    if (!client) client = gw_connect(&callbacks);
}
void awm_gw_reset() {
    if (client) gw_disconnect(client);
    client = nullptr;
}

int awm_man_setup_gw_meas(const uint8_t* ref, awm_input_buf* b, uint16_t raster) {
    const uint32_t r = awm_rd<uint32_t>(ref, 0);
    if (r == 0) return 0;
    b->type = static_cast<uint8_t>(awm_rd<uint16_t>(ref, 32));
    b->valid = 0;
    const uint32_t size = valueSize(b->type);
    // A list of values without a size is no list a server can copy; the input stays invalid.
    if (!size) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "awm_man_setup_gw_meas: input 0x%08X of data type %u has no value size, not measured",
                        r, static_cast<unsigned>(b->type));
        return 0;
    }
    if (standIn) return standIn(ref, b, raster), 0;
    if (!client) return 0;
    b->pid = static_cast<uint16_t>(r >> 24 ? r >> 24 : AppMan_getPID());
    const int32_t list[] = {-static_cast<int32_t>(size), static_cast<int32_t>(r & 0xFFFFFF), 0, 0};
    const uint16_t ms = awm_raster_ms(raster);
    const uint32_t timeout = ms && ms < 10 ? 50u / ms : 5u;
    b->list = gw_setup_list(client, list, reinterpret_cast<uintptr_t>(b), sizeof list, raster, b->pid, 0, 0,
                            1, 0, static_cast<uint16_t>(4 + size), timeout);
    if (b->list) gw_start_list(b->list);
    return 0;
}

void awm_man_stop_gw_meas(awm_input_buf* b) {
    if (b && standIn) standIn(nullptr, b, 0);
    if (!b || !b->list) return;
    gw_kill_list(b->list);
    b->list = 0;
}

uint16_t awm_man_gw_get_latency(const awm_input_buf* b) {
    return b ? b->latency.load() : uint16_t{0};
}
