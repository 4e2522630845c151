// The adjustment cycle (every 10 ms in the soft scheduler): a request code that a PC tool
// writes into a dataset's head and holds for more than 49 ms makes the channel sample its input
// ten times and adjust; the adjustment records live in adjust_data_nv_copy and, record by
// record, in non-volatile element 7 as {u32 type code of the channel, seven floats}.
#include "acquisition/awm/awm_private.h"

#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

namespace {

enum State : uint8_t { IDLE, HOLD, SAMPLE, WAIT_RELEASE };

struct Adjusting {
    State state;
    bool triggered; // started by awm_man_trigger_adjust: no code to wait for
    uint16_t code;
    uint16_t heldMs;
    uint8_t samples;
    float sum;
    uint32_t elapsedMs; // since the request was seen
};
Adjusting adj[AWM_VC_MAX];
uint16_t toggleMs;

constexpr uint32_t CYCLE_MS = 10;
constexpr float DEFAULT_RECORD[AWM_ADJ_FLOATS] = {0, 0, 1000, 2000, 3000, 4000, 5000};

struct NvRecord {
    uint32_t type;
    float values[AWM_ADJ_FLOATS];
};
static_assert(sizeof(NvRecord) == 32, "element 7 holds 32-byte records");

// The type code of the first channel that uses the slot, 0 when none does.
uint32_t slotOwnerType(uint16_t slot) {
    for (uint16_t idx = 0; idx < AWM_VC_MAX; ++idx) {
        const vc_data_t* e = awm_man_get_cfg_by_chan(idx);
        if (e->dataset && awm_man_get_adj_idx(idx) == slot) return awm_rd<uint16_t>(e->dataset, 4);
    }
    return 0;
}

int seconds(uint16_t idx) {
    return static_cast<int>(adj[idx].elapsedMs / 1000);
}
int millis(uint16_t idx) {
    return static_cast<int>(adj[idx].elapsedMs % 1000);
}

void adjustNow(uint16_t idx, vc_data_t* e, const awm_entry_t* t, float mean, uint16_t code) {
    if (t->adjustment(e, idx, mean, code) == 1) {
        const uint16_t slot = awm_man_get_adj_idx(idx);
        if (!awm_adj_store(slot)) syslogx(LOG_ERR, "awm_man_adjust: error writing adjustment data");
        syslogx(LOG_INFO, "awm_man_adjust: calibration for ch #%d finished after:  %d,%03d s", idx,
                seconds(idx), millis(idx));
    }
    adj[idx].state = adj[idx].triggered ? IDLE : WAIT_RELEASE;
    adj[idx].triggered = false;
}

void step(uint16_t idx, vc_data_t* e) {
    Adjusting& a = adj[idx];
    const uint16_t type = awm_rd<uint16_t>(e->dataset, 4);
    const awm_entry_t* t = awm_tab(type);
    // Most types cannot adjust: nothing to call.
    if (!t || !t->adjustment) return;
    const uint16_t code = a.triggered ? a.code : awm_rd_active<uint16_t>(e->dataset, 6);
    a.elapsedMs += CYCLE_MS;
    switch (a.state) {
    case IDLE:
        if (code == 0) return;
        a = {HOLD, false, code, 0, 0, 0.0f, 0};
        return;
    case HOLD:
        if (code != a.code) {
            a = {code ? HOLD : IDLE, false, code, 0, 0, 0.0f, 0};
            return;
        }
        a.heldMs = static_cast<uint16_t>(a.heldMs + CYCLE_MS);
        if (a.heldMs <= 49) return;
        if (type == 0x13) return adjustNow(idx, e, t, 0.0f, 0);
        a.state = SAMPLE;
        a.samples = 0;
        a.sum = 0;
        [[fallthrough]];
    case SAMPLE:
        if (code != a.code) {
            a = {code ? HOLD : IDLE, false, code, 0, 0, 0.0f, 0};
            return;
        }
        a.sum += t->get_raw ? t->get_raw(idx) : awm_man_adc_get_raw(idx);
        if (++a.samples == 10) adjustNow(idx, e, t, a.sum / 10.0f, a.code);
        return;
    case WAIT_RELEASE:
        if (code != 0) return;
        syslogx(LOG_INFO, "awm_man_adjust: calibration cycle for ch #%d ended after:  %d,%03d s", idx,
                seconds(idx), millis(idx));
        a.state = IDLE;
        return;
    }
}

} // namespace

void awm_man_adjust() {
    toggleMs = static_cast<uint16_t>(toggleMs + CYCLE_MS);
    if (toggleMs >= 1000) {
        toggleMs = 0;
        error_toggle = error_toggle ? 0u : 0x7F7F7F7Fu;
    }
    if (AWM_sched_STOP) return;
    for (uint16_t idx = 0; idx < AWM_VC_MAX; ++idx) {
        vc_data_t* e = awm_man_get_cfg_by_chan(idx);
        if (e->dataset) step(idx, e);
    }
}

void awm_man_trigger_adjust(uint16_t idx) {
    const vc_data_t* e = awm_man_get_cfg_by_chan(idx);
    if (!e || !e->dataset || adj[idx].state != IDLE) return;
    adj[idx] = {SAMPLE, true, 1, 0, 0, 0.0f, 0};
}

bool awm_adj_store(uint16_t slot) {
    const float* values = awm_man_get_adj_data(slot);
    if (!values) return false;
    NvRecord r{slotOwnerType(slot), {}};
    std::memcpy(r.values, values, sizeof r.values);
    return nvram_dbs_write(nvram_awmadj.id, slot, &r, sizeof r) == static_cast<int>(sizeof r);
}

// A record written for another type of channel means another meaning: such a slot starts anew.
void awm_adj_load() {
    for (uint16_t slot = 0; slot < AWM_ADJ_SLOTS; ++slot) {
        NvRecord r{};
        const uint32_t owner = slotOwnerType(slot);
        const bool ok = owner &&
                        nvram_dbs_read(nvram_awmadj.id, slot, &r, sizeof r) == static_cast<int>(sizeof r) &&
                        r.type == owner;
        std::memcpy(awm_man_get_adj_data(slot), ok ? r.values : DEFAULT_RECORD, sizeof r.values);
    }
}

// Records are 28 bytes in the adapt page; each touched one is stored whole, as 32 bytes.
void awm_man_dwnl_adj_data(const void*, const void* physAddr, uint16_t length) {
    const auto* base = reinterpret_cast<const uint8_t*>(awm_man_get_adj_data(0));
    const auto* p = static_cast<const uint8_t*>(physAddr);
    constexpr ptrdiff_t recordBytes = AWM_ADJ_FLOATS * 4, total = AWM_ADJ_SLOTS * recordBytes;
    if (length == 0 || p + length <= base || p >= base + total) return;
    const ptrdiff_t first = p < base ? 0 : (p - base) / recordBytes;
    const ptrdiff_t end = p + length - base;
    const ptrdiff_t last = (end > total ? total : end) - 1;
    for (ptrdiff_t slot = first; slot <= last / recordBytes; ++slot)
        if (!awm_adj_store(static_cast<uint16_t>(slot)))
            SYSLOGX_GUARDED(LOG_ERR, "awm_man_dwnl_adj_data: error writing adjustment data");
}

void awm_adj_reset() {
    for (Adjusting& a : adj)
        a = {};
    toggleMs = 0;
}
