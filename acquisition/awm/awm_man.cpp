// The channel-function manager: reads the dataset list of the data page, creates the
// instances, keeps one call list per raster and runs it for the soft scheduler, starts and ends
// the measurements of channel-function outputs, and sets up the board inputs.
#include "acquisition/awm/awm_private.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/board/board.h"
#include "calibration/memory/seram.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <new>

std::atomic<uint8_t> AWM_sched_STOP{0};
std::atomic<uint32_t> error_toggle{0};
std::atomic<uint32_t> awm_firstTimestamp{0};

namespace {

vc_data_t vc_data_tab[AWM_VC_MAX];
awm_sched_entry* lists[AWM_RASTERS]; // head of each raster's call list
awm_sched_entry* tails[AWM_RASTERS];
// schedSem guards the call lists while a raster runs; ctxSem the contexts' bookkeeping
// (a recursive mutex: a type's setupmeas starts its filter through the manager again).
SEM_ID schedSem;
SEM_ID ctxSem;
std::atomic<bool> firstSeen{false};

constexpr uint16_t RASTER_MS[AWM_RASTERS] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};

void pushFront(awm_sched_entry* e) {
    e->prev = nullptr;
    e->next = lists[e->raster];
    if (e->next)
        e->next->prev = e;
    else
        tails[e->raster] = e;
    lists[e->raster] = e;
    e->queued = true;
}
void pushBack(awm_sched_entry* e) {
    e->next = nullptr;
    e->prev = tails[e->raster];
    if (e->prev)
        e->prev->next = e;
    else
        lists[e->raster] = e;
    tails[e->raster] = e;
    e->queued = true;
}
void unlink(awm_sched_entry* e) {
    if (!e->queued) return;
    (e->prev ? e->prev->next : lists[e->raster]) = e->next;
    (e->next ? e->next->prev : tails[e->raster]) = e->prev;
    e->prev = e->next = nullptr;
    e->queued = false;
}
void ensureSems() {
    if (!schedSem) schedSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    if (!ctxSem) ctxSem = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
}
void lockLists() {
    if (schedSem) semTake(schedSem, WAIT_FOREVER);
}
void unlockLists() {
    if (schedSem) semGive(schedSem);
}

} // namespace

const seramMeasChannelSource awm_man_channelSource{awm_man_AWM_setupMeasure, awm_man_AWM_getLatency,
                                                   awm_man_AWM_shutdownMeasure};
const seramDownloadHooks awm_man_downloadHooks{awm_man_stop, awm_man_dwnl_adj_data};

namespace {

// Walks the dataset list: up to 256 records, ending at the first record without the head tag
// or at the end of the array. False when a record's length is not its type's (nothing may
// start then).
bool readDatasets() {
    const uint8_t* page = seram_memory + VTADDR_CfgMat_VC_config;
    constexpr uint32_t size = 32767;
    uint32_t off = 0;
    for (uint16_t idx = 0; idx < AWM_VC_MAX && off + 6 <= size; ++idx) {
        const uint8_t* ds = page + off;
        if (awm_rd<uint16_t>(ds, 0) != AWM_HEAD_TAG) break;
        const uint16_t len = awm_rd<uint16_t>(ds, 2), type = awm_rd<uint16_t>(ds, 4);
        if (len < 12 || off + len > size) {
            syslogx(LOG_ERR, "awm_man_ini: VC %u: length %u runs past the configuration, list ends", idx,
                    len);
            break;
        }
        off += len;
        const awm_entry_t* t = type == AWM_TYPE_FIR || type == AWM_TYPE_FIR_UNFIL ? nullptr : awm_tab(type);
        if (!t) {
            syslogx(LOG_ERR, "awm_man_ini: VC %u: type 0x%X not supported, ignored", idx, type);
            continue;
        }
        if (t->getCfgLen() != len) {
            syslogx(LOG_ERR,
                    "awm_man_ini: VC %u: length %u is not %u of type 0x%X, no channel function started", idx,
                    len, t->getCfgLen(), type);
            return false;
        }
        if (awm_rd<uint16_t>(ds, len - 2u) != AWM_FOOT_TAG) {
            syslogx(LOG_ERR, "awm_man_ini: VC %u: footer tag missing, ignored", idx);
            continue;
        }
        vc_data_tab[idx].dataset = ds;
    }
    return true;
}

} // namespace

const uint8_t* awm_active_page(const uint8_t* dataset) {
    return dataset + seramActiveOffset;
}
// A PC tool writes the active page meanwhile: the field is loaded whole (on its alignment).
template <class T> T awm_rd_active(const uint8_t* dataset, uint32_t off) {
    T v;
    seram_word::value(&v, awm_active_page(dataset) + off, sizeof v, false);
    return v;
}
template uint16_t awm_rd_active<uint16_t>(const uint8_t*, uint32_t);
template float awm_rd_active<float>(const uint8_t*, uint32_t);

uint16_t awm_raster_ms(uint16_t raster) {
    return raster < AWM_RASTERS ? RASTER_MS[raster] : 0;
}

void awm_man_ini() {
    ensureSems();
    // The types' ini start their inputs' gateway lists.
    awm_gw_connect();
    if (readDatasets()) {
        for (uint16_t idx = 0; idx < AWM_VC_MAX; ++idx) {
            vc_data_t& e = vc_data_tab[idx];
            if (!e.dataset) continue;
            const awm_entry_t* t = awm_tab(awm_rd<uint16_t>(e.dataset, 4));
            uint16_t raster = 3;
            e.instance = t->ini ? t->ini(e.dataset, idx, &raster) : nullptr;
            if (!e.instance || !t->cyclicCall) continue;
            if (raster >= AWM_RASTERS) {
                syslogx(LOG_ERR, "awm_man_ini: VC %u: raster %u invalid, not scheduled", idx, raster);
                continue;
            }
            auto* s = new (std::nothrow) awm_sched_entry{
                t->cyclicCall, e.instance, nullptr, nullptr, nullptr, static_cast<uint8_t>(raster), false};
            if (!s) continue;
            e.sched = s;
            lockLists();
            pushFront(s);
            unlockLists();
        }
    } else {
        for (vc_data_t& e : vc_data_tab)
            e.dataset = nullptr;
    }
    awm_adj_load();
    awm_man_hwt_ini();
}

void awm_man_stop() {
    AWM_sched_STOP = 1;
    // A pass under way ends before the caller goes on.
    lockLists();
    unlockLists();
}

void awm_sched_call(uint16_t raster, uint32_t ts) {
    if (!firstSeen.exchange(true)) awm_firstTimestamp = ts;
    if (AWM_sched_STOP || raster >= AWM_RASTERS || !schedSem) return;
    semTake(schedSem, WAIT_FOREVER);
    if (!AWM_sched_STOP)
        for (awm_sched_entry* e = lists[raster]; e; e = e->next)
            e->fn(e->arg, ts);
    semGive(schedSem);
}

void awm_sched_lock() {
    lockLists();
}
void awm_sched_unlock() {
    unlockLists();
}

vc_data_t* awm_man_get_cfg(uint32_t vcId) {
    return awm_man_get_cfg_by_chan(awm_vc_index(vcId));
}
vc_data_t* awm_man_get_cfg_by_chan(uint16_t index) {
    return index < AWM_VC_MAX ? &vc_data_tab[index] : nullptr;
}
uint16_t awm_man_get_adc_chan(uint16_t index) {
    return index < AWM_VC_MAX ? CfgMat_Board_Channel[index] : 0;
}
uint16_t awm_man_get_adj_idx(uint16_t index) {
    return index < AWM_VC_MAX ? CfgMat_AdjIndex[index] : 0xFFFF;
}
float* awm_man_get_adj_data(uint16_t slot) {
    return slot < AWM_ADJ_SLOTS ? static_cast<float*>(adjust_data_nv_copy) + slot * AWM_ADJ_FLOATS : nullptr;
}

float awm_get_channel(uint16_t boardChannel) {
    const uint16_t ch = static_cast<uint16_t>((boardChannel & 0xFF) - 1);
    if ((boardChannel & 0xFF) == 0) return 0.0f;
    switch (boardChannel >> 8) {
    case 0x01:
        return adc_get_adc_unfil_sync(ch);
    case 0x02:
    case 0x07:
        return adc_get_frqchannel_sync(ch);
    case 0x03:
        return ch < 9 && digital_ioIn(static_cast<uint8_t>(ch)) ? 1.0f : 0.0f;
    case 0x05:
        return adc_get_diff_unfil_sync(ch);
    case 0x06:
        return adc_get_lvdt_unfil_sync(ch);
    case 0x08:
    case 0x09:
        return adc_get_QS_unfil(ch);
    case 0x0A:
        return adc_get_hsl_unfil_sync(ch);
    default:
        return 0.0f;
    }
}
float awm_get_channel_filtered(uint16_t boardChannel) {
    const uint16_t ch = static_cast<uint16_t>((boardChannel & 0xFF) - 1);
    if ((boardChannel & 0xFF) == 0) return 0.0f;
    switch (boardChannel >> 8) {
    case 0x01:
        return adc_get_adcchannel_sync(ch);
    case 0x05:
        return adc_get_diffchannel_sync(ch);
    case 0x06:
        return adc_get_lvdtchannel_sync(ch);
    case 0x08:
    case 0x09:
        return adc_get_QSchannel(ch);
    case 0x0A:
        return adc_get_hslchannel_sync(ch);
    default:
        return awm_get_channel(boardChannel); // speeds and levels have no second path
    }
}
float awm_man_adc_get_raw(uint16_t index) {
    const uint16_t bc = awm_man_get_adc_chan(index);
    return bc ? awm_get_channel(bc) : 0.0f;
}
float awm_man_rev_get_raw(uint16_t index) {
    return awm_man_adc_get_raw(index);
}

// ---- measurements ------------------------------------------------------------------------------

awm_meas_ctx* awm_man_AWM_start(uint32_t vcId, uint16_t raster, uint16_t type, awm_out* out) {
    if (type == 0xFF) return nullptr;
    if (type > AWM_TYPE_MAX) {
        syslogx(LOG_ERR, "awm_man_AWM_start: invalid AWM_Tab[] index 0x%X!", type);
        return nullptr;
    }
    const awm_entry_t* t = awm_tab(type);
    if (!t || !t->setupmeas || !t->meas) return nullptr;
    // The raster comes from the network: only 0 to 9 have call lists.
    if (raster >= AWM_RASTERS) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_man_AWM_start: raster %u of VC 0x%X refused", raster,
                        static_cast<unsigned>(vcId));
        return nullptr;
    }
    const bool filter = type == AWM_TYPE_FIR || type == AWM_TYPE_FIR_UNFIL;
    ensureSems();
    semTake(ctxSem, WAIT_FOREVER);
    if (filter)
        for (awm_sched_entry* e = lists[raster]; e; e = e->next) {
            awm_meas_ctx* c = e->ctx;
            if (c && c->type == type && (c->vcId & 0xFF03FF00u) == (vcId & 0xFF03FF00u)) {
                ++c->users;
                if (out) *out = c->out;
                semGive(ctxSem);
                return c;
            }
        }
    auto* c = new (std::nothrow) awm_meas_ctx{};
    if (!c) {
        semGive(ctxSem);
        syslogx(LOG_ERR, "awm_man_AWM_start: mem alloc fail, raster %u, typ %u, VC 0x%X", raster, type,
                static_cast<unsigned>(vcId));
        return nullptr;
    }
    c->vcId = vcId;
    c->type = type;
    c->raster = raster;
    c->users = 1;
    c->out = awm_object(&error_toggle); // what a refused output reads
    c->handle = t->setupmeas(vcId, raster, &c->out);
    c->entry = {t->meas, c->handle, nullptr, nullptr, c, static_cast<uint8_t>(raster), false};
    if (c->handle) {
        lockLists();
        pushBack(&c->entry);
        unlockLists();
    }
    if (out) *out = c->out;
    semGive(ctxSem);
    return c;
}

void awm_man_AWM_stop(awm_meas_ctx* c) {
    if (!c) return;
    ensureSems();
    semTake(ctxSem, WAIT_FOREVER);
    if (--c->users > 0) {
        semGive(ctxSem);
        return;
    }
    lockLists();
    unlink(&c->entry);
    unlockLists();
    const awm_entry_t* t = awm_tab(c->type);
    if (c->handle && t && t->shutdownMeasure) t->shutdownMeasure(c->handle);
    semGive(ctxSem);
    delete c;
}

void* awm_man_AWM_setupMeasure(uint32_t vcId, uint16_t raster, void** valueAddr, uint32_t* valueSize) {
    if (((vcId >> 18) & 0x3F) != AWM_VC_CLASS) return nullptr;
    const vc_data_t* e = awm_man_get_cfg(vcId);
    if (!e || !e->dataset) return nullptr;
    awm_out out{};
    awm_meas_ctx* c = awm_man_AWM_start(vcId, raster, awm_rd<uint16_t>(e->dataset, 4), &out);
    if (c && valueAddr) *valueAddr = out.at;
    if (c && valueSize) *valueSize = out.size;
    return c;
}

uint16_t awm_man_AWM_getLatency(void* handle) {
    auto* c = static_cast<awm_meas_ctx*>(handle);
    if (!c) return 0;
    const awm_entry_t* t = awm_tab(c->type);
    return t && t->getLatency && c->handle ? t->getLatency(c->handle) : 0;
}

int awm_man_AWM_shutdownMeasure(void* handle) {
    auto* c = static_cast<awm_meas_ctx*>(handle);
    if (!c) return 0;
    if (!awm_tab(c->type)) {
        syslogx(LOG_ERR, "awm_man_AWM_shutdownMeasure: invalid AWM_Tab[] index!");
        return 0;
    }
    awm_man_AWM_stop(c);
    return 1;
}

// ---- board inputs --------------------------------------------------------------------------------

void awm_man_hwt_ini() {
    adc_rangemon_disable();
    for (uint8_t ch = 0; ch < 16; ++ch)
        adc_pullup_set(1, ch, CfgMat_HWTindex[ch] & 1);
    uint16_t used = 0;
    for (uint16_t idx = 0; idx < AWM_VC_MAX; ++idx) {
        const uint16_t bc = vc_data_tab[idx].dataset ? awm_man_get_adc_chan(idx) : 0;
        const uint16_t ch = static_cast<uint16_t>((bc & 0xFF) - 1);
        if (bc >> 8 != 0x01 || ch >= 16 || (used & 1u << ch)) continue;
        used = static_cast<uint16_t>(used | 1u << ch);
        const uint32_t pullup = CfgMat_HWTindex[ch] & 1;
        adc_rangemon_ini(ch, 0x100, ch, awm_to_i32(CfgMat_HWTRangeMonUpper[ch]),
                         awm_to_i32(CfgMat_HWTRangeMonLower[ch]));
        adc_diagnostic_ini(ch, 0x100, ch, 1u << 15 | static_cast<uint32_t>(ch) << 23 | pullup << 31);
    }
    adc_rangemon_enable();
}

void awm_man_reset() {
    // From the tail: a measurement ends the filter queued before it.
    for (int r = 0; r < AWM_RASTERS; ++r)
        while (awm_sched_entry* e = tails[r]) {
            if (!e->ctx) {
                unlink(e);
                continue;
            }
            e->ctx->users = 1;
            awm_man_AWM_stop(e->ctx);
        }
    for (vc_data_t& e : vc_data_tab) {
        const awm_entry_t* t = e.dataset ? awm_tab(awm_rd<uint16_t>(e.dataset, 4)) : nullptr;
        if (e.instance && t && t->shutdown) t->shutdown(e.instance);
        delete e.sched;
        e = {};
    }
    awm_adj_reset();
    awm_gw_reset();
    AWM_sched_STOP = 0;
    error_toggle = 0;
    firstSeen = false;
    awm_firstTimestamp = 0;
}
