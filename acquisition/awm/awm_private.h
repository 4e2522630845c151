// What the channel-function types and the manager share: the operation table, the manager's
// tables and services, the quantiser. Only the module and its tests include it.
#pragma once

#include "acquisition/awm/awm_man.h"
#include "calibration/block/word.h"
#include "services/syslog/syslog.h"

#include <atomic>
#include <cstdint>
#include <cstring>

constexpr int AWM_VC_MAX = 256;
constexpr int AWM_RASTERS = 10;
constexpr int AWM_ADJ_SLOTS = 256;
constexpr int AWM_ADJ_FLOATS = 7; // offset, set points 1 to 6
constexpr uint16_t AWM_HEAD_TAG = 0x4453;
constexpr uint16_t AWM_FOOT_TAG = 0x4542;
constexpr uint16_t AWM_TYPE_FIR = 0x100;
constexpr uint16_t AWM_TYPE_FIR_UNFIL = 0x101;
constexpr uint16_t AWM_TYPE_MAX = 0x101;
constexpr uint32_t AWM_VC_CLASS = 31;

// Dataset fields are little-endian and need not be aligned.
template <class T> inline T awm_rd(const uint8_t* p, uint32_t off) {
    T v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}
// A field of the dataset as it stands in the active page (request codes, targets).
template <class T> T awm_rd_active(const uint8_t* dataset, uint32_t off);
const uint8_t* awm_active_page(const uint8_t* dataset);

inline uint16_t awm_vc_index(uint32_t vcId) {
    return static_cast<uint16_t>((vcId >> 8) & 0x3FF);
}
inline uint8_t awm_vc_output(uint32_t vcId) {
    return static_cast<uint8_t>(vcId);
}
inline uint32_t awm_vc_id(uint16_t index, uint8_t output) {
    return AWM_VC_CLASS << 18 | static_cast<uint32_t>(index) << 8 | output;
}

// An output that setupmeas hands out: where it lies and its width, which bounds every copy of it.
struct awm_out {
    void* at;
    uint32_t size;
};
template <class T> awm_out awm_object(T* value) {
    return {value, sizeof(T)};
}

// One entry of a raster's call list: fn(arg, timestamp).
struct awm_meas_ctx;
struct awm_sched_entry {
    void (*fn)(void* arg, uint32_t ts);
    void* arg;
    awm_sched_entry* prev;
    awm_sched_entry* next;
    awm_meas_ctx* ctx; // null for an instance's cyclic call
    uint8_t raster;
    bool queued;
};

// vc_data_tab: one per virtual-channel index.
struct vc_data_t {
    void* instance;
    awm_sched_entry* sched;
    const uint8_t* dataset; // reference page; null: no dataset at this index
};

// A started channel-function measurement.
struct awm_meas_ctx {
    awm_sched_entry entry;
    void* handle;
    awm_out out;
    uint32_t vcId;
    uint16_t type;
    uint16_t raster;
    uint16_t users; // filters are shared by the measurements of one channel and raster
};

// The operation table of one type, slots in the contract's order.
struct awm_entry_t {
    void* (*ini)(const uint8_t* dataset, uint16_t index, uint16_t* raster);
    uint16_t (*getCfgLen)();
    void (*cyclicCall)(void* instance, uint32_t ts);
    void* (*setupmeas)(uint32_t vcId, uint16_t raster, awm_out* out);
    void (*meas)(void* handle, uint32_t ts);
    uint16_t (*getLatency)(void* handle);
    uint8_t (*shutdownMeasure)(void* handle);
    void* unused;
    uint8_t (*adjustment)(vc_data_t* entry, uint16_t index, float mean, uint16_t request);
    uint8_t (*shutdown)(void* instance);
    float (*get_raw)(uint16_t index);
};
// Null for a code without a type in this build.
const awm_entry_t* awm_tab(uint16_t type);
extern const awm_entry_t entry_0x01_sens_offs, entry_0x02_curve, entry_0x03_mpx, entry_0x05_velocity,
    entry_0x06_revolution, entry_0x12_frequ, entry_0x100_fir, entry_0x101_fir;
// Lap function and GPS channel function.
extern const awm_entry_t entry_0x08_lapfunc, entry_0x17_gps;
// Fuel consumption and LED control.
extern const awm_entry_t entry_0x0A_fuelcons, entry_0x0B_led;

// ---- manager services ------------------------------------------------------------------------
// Null for an index of 256 or more.
vc_data_t* awm_man_get_cfg(uint32_t vcId);
vc_data_t* awm_man_get_cfg_by_chan(uint16_t index);
uint16_t awm_man_get_adc_chan(uint16_t index);
uint16_t awm_man_get_adj_idx(uint16_t index);
float* awm_man_get_adj_data(uint16_t slot);
// Board channel (class << 8 | channel from 1): the unfiltered sample of the current cycle,
// and the converter's filtered one; 0.0 for a class or channel this unit lacks.
float awm_get_channel(uint16_t boardChannel);
float awm_get_channel_filtered(uint16_t boardChannel);
float awm_man_adc_get_raw(uint16_t index);
float awm_man_rev_get_raw(uint16_t index);
awm_meas_ctx* awm_man_AWM_start(uint32_t vcId, uint16_t raster, uint16_t type, awm_out* out);
void awm_man_AWM_stop(awm_meas_ctx* ctx);
// Raster index 0 to 9 → milliseconds.
uint16_t awm_raster_ms(uint16_t raster);
// What a refused output reads: flips between 0 and 0x7F7F7F7F every second.
extern std::atomic<uint32_t> error_toggle;

// Input reference (36 bytes in a dataset) and its value buffer.
constexpr uint32_t AWM_REF_SIZE = 36;
struct awm_input_buf {
    uint32_t list;             // gateway magic, 0: none
    std::atomic<uint32_t> raw; // written by the gateway's task, read by the cyclic calls
    std::atomic<float> value;
    std::atomic<uint16_t> latency;
    uint16_t pid;
    uint8_t type;
    std::atomic<uint8_t> valid;
    uint32_t errcnt;
};
inline bool awm_ref_set(const uint8_t* ref) {
    return awm_rd<uint32_t>(ref, 0) != 0;
}
// The manager's gateway client (start) and its end (tests).
void awm_gw_connect();
void awm_gw_reset();
int awm_man_setup_gw_meas(const uint8_t* ref, awm_input_buf* buf, uint16_t raster);
void awm_man_stop_gw_meas(awm_input_buf* buf);
uint16_t awm_man_gw_get_latency(const awm_input_buf* buf);
// What the gateway's callbacks do to a buffer: a value in the signal's width, or a time-out.
void awm_gw_deliver(awm_input_buf* buf, uint32_t raw);
void awm_gw_lapse(awm_input_buf* buf);
// Tests: called in place of the gateway for every input list started (ref) and stopped (null).
using awm_gw_standin_fn = void (*)(const uint8_t* ref, awm_input_buf* buf, uint16_t raster);
void awm_gw_setStandIn(awm_gw_standin_fn fn);

// ---- values --------------------------------------------------------------------------------
struct awm_quant {
    float factor;
    float offset;
    uint32_t flag;
};
void awm_man_quant2fact_offs(const float* abcdef, awm_quant* q);
double awm_man_conv2double(uint32_t word, uint16_t code);
void awm_man_init_data(void* value, uint8_t code);
// (a·x² + b·x + c) / (d·x² + e·x + f) over six floats that may be unaligned.
double awm_rational(const uint8_t* abcdef, double x);
// Half away from zero.
double awm_round(double q);
// Conversions that C++ leaves undefined made total: NaN gives 0, the rest saturates.
int32_t awm_to_i32(double v);
uint32_t awm_to_u32(double v);
// The stored integer of a scaled value q: rounded half away from zero, saturated to the field
// of output code 0 to 5 or 7 and stored in its width. Other codes store nothing.
void awm_store_int(void* out, uint16_t code, double q);
// Linear output quantisation of a physical value: code 6 stores p as float, 0 to 5 store
// offset + factor · p as an integer, other codes nothing.
void awm_store_linear(void* out, uint16_t code, double p, const awm_quant& q);
// The linear form of a type's six floats at dataset offset 16: factor b/f, offset c/f; an
// unsupported form logs `message` with the index and gives factor 1, offset 0.
awm_quant awm_linear_quant(const uint8_t* dataset, uint16_t index, const char* message);

// ---- formula engine ------------------------------------------------------------------------
struct awm_upn_mem {
    double last;
    double* cells;
    uint16_t count;
};
uint16_t awm_man_upn_memsize(const uint8_t* tokens, uint16_t size);
void awm_man_upn_init(const uint8_t* tokens, uint16_t size, awm_upn_mem* mem);
double awm_man_upn_calc(const uint8_t* tokens, uint16_t size, uint16_t code, awm_upn_mem* mem,
                        uint32_t prevTs, uint32_t ts, double in1, double in2, double in3, double in4,
                        uint8_t first);

// ---- adjustment ----------------------------------------------------------------------------
// Loads the records of NV element 7 into adjust_data_nv_copy (manager start).
void awm_adj_load();
// Stores slot's record {type code of its channel, seven floats} in NV element 7.
bool awm_adj_store(uint16_t slot);
void awm_adj_reset();
// The first raster timestamp the process saw (the formula engine's time origin).
extern std::atomic<uint32_t> awm_firstTimestamp;
// The measurement of a cyclic type's output reads its instance: nothing to compute, no latency,
// nothing to free.
void awm_measNothing(void*, uint32_t);
uint16_t awm_latencyNone(void*);
uint8_t awm_shutdownMeasureNone(void*);

// ---- logic and computed types: system speed, PWM output, conditions, gear, hysteresis, formulas,
// group adjustment and adjust ------------------------------------------------------------------
extern const awm_entry_t entry_0x07_systemspeed, entry_0x09_pwmout, entry_0x0C_condeval, entry_0x0D_condcomb,
    entry_0x0E_gearlookup, entry_0x0F_hysteresis, entry_0x10_math, entry_0x11_condfunc, entry_0x13_grpadj2,
    entry_0x14_adjust;
// The buffer of an input reference awaits its first value (float value not a number); its list
// is started at `raster` when the reference is set.
void awm_input_start(const uint8_t* ref, awm_input_buf* buf, uint16_t raster);
// The linear scaling of an input reference's six floats (b/f, c/f; flag 0: none).
awm_quant awm_ref_quant(const uint8_t* ref);
// A formula input: the raw value by its data type, scaled when the scaling applies; 0 without
// a reference.
double awm_input_value(const uint8_t* ref, const awm_input_buf& buf, const awm_quant& q);
// 1 when v rounded half away from zero is not 0; a value that is not a number gives 0.
uint8_t awm_flag(double v);
// The full rational output function at `abcdef` applied to p: codes 0 to 5 store the rounded and
// saturated result, 6 stores p itself as float; false for any other code (nothing stored).
bool awm_store_rational(void* out, uint16_t code, const uint8_t* abcdef, double p);
// A millisecond timer counted down by 10 per cycle: expired at 10 or less, else decreased.
template <class T> bool awm_expired(T& timer) {
    if (timer <= 10) return true;
    timer = static_cast<T>(timer - 10);
    return false;
}
// Milliseconds of the application time.
uint32_t awm_appl_ms();
// Tests: the group adjustment's start-up guard anew.
void awm_grpadj_reset();
// ---- fuel consumption and LED control: their instances (the tests deliver inputs there) --------
struct awm_input_val {
    awm_input_buf buf;
    float value; // converted
};
struct awm_fuelcons_inst {
    const uint8_t* ds;
    awm_input_val reset, fuel;
    uint16_t boardChannel;
    seramWord<uint16_t> cons, lap, lapOld; // outputs 1 to 6
    seramWord<int16_t> rem;
    seramWord<uint16_t> total, lapRem;
    bool nvFailing;
};
constexpr int AWM_LED_CONDS = 32, AWM_LED_LEDS = 10, AWM_LED_COLOURS = 15;
struct awm_led_inst {
    const uint8_t* ds;
    uint8_t maps[AWM_LED_CONDS][AWM_LED_LEDS];
    uint32_t cycle;
    awm_input_buf cond[AWM_LED_CONDS];
    awm_input_buf rpm, gear;
    float rpmValue;
    // outputs
    seramWord<uint8_t> layer;
    seramWord<uint16_t> litMask;
    seramWord<uint32_t> code;
    seramWord<uint8_t> index[AWM_LED_LEDS];
    uint32_t rgb[AWM_LED_LEDS];
    seramWord<uint16_t> shiftMask;
    uint32_t shiftInputs;
    uint8_t table, stage;
    // Each module its own colours and its own history of invalid conditions.
    uint32_t colours[AWM_LED_COLOURS];
    float lastValid[AWM_LED_CONDS];
    uint32_t invalidCount[AWM_LED_CONDS];
    uint8_t position, count;
    // An input that keeps dropping out would report at every return.
    SyslogRateGuard reportGuard;
};
