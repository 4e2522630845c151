// Fuel consumption (type 0x0A). It does not compute the fuel itself: the model partition does,
// from the parameters set here and the inputs of the getters below; this type keeps fuel total
// and consumption in NV element 6 and publishes the model's results as its outputs.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/fuelcons.h"

#include "acquisition/selfmon/selfmon.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cmath>
#include <new>

float ADAPTION_FACTOR, CORRECTION_FACTOR, TANK_CAPACITY, TARGET_LAP_CONS, FUELTOTAL_INIT, FUELCONS_INIT;
uint8_t FUEL_INPUT_MODE, FUEL_RESET_MODE, LAP_REMAINING_MODE, FC_SIG_ACT_LVL = 1;
uint8_t MACRO_FUELTOTAL_SET, MACRO_FUELCONS_SET;
float *fueltotal_def, *fuelcons_def;
float fuellap, fuellapold, fuelrem, laprem;

namespace {

constexpr uint16_t LEN = 148;
constexpr uint32_t REF_RESET = 40, REF_FUEL = 76, OFF_FACTORS = 112, OFF_THRESH = 128, OFF_ACTLVL = 132,
                   OFF_LAPREM = 134, OFF_RESETMODE = 136, OFF_INPUTMODE = 138, OFF_TOTAL_SET = 140,
                   OFF_CONS_SET = 142;

struct NvFuel { // element 6
    float total, cons;
};

using Input = awm_input_val;
using Instance = awm_fuelcons_inst;

Instance* local_data;
std::atomic<uint8_t> awm_0x0A_init{0};
// Set by the command task, taken by the model's step: an exchange, so no lap is lost between
// reading and clearing.
std::atomic<uint8_t> fuelcons_laptrigger{0};
// The lap's fuel as last published, for the command task.
std::atomic<float> fuellapShared{0.0f};
uint8_t reset = 0xFF;
NvFuel nv, nvShadow;

uint16_t u16(double q) {
    uint16_t v = 0;
    awm_store_int(&v, 3, q);
    return v;
}
int16_t s16(double q) {
    int16_t v = 0;
    awm_store_int(&v, 2, q);
    return v;
}

void loadNv() {
    if (nvram_dbs_read(nvram_fuelcons.id, 0, &nv, sizeof nv) != static_cast<int>(sizeof nv) ||
        std::isnan(nv.total) || std::isnan(nv.cons)) {
        nv = {0.0f, 0.0f};
        nvram_dbs_write(nvram_fuelcons.id, 0, &nv, sizeof nv);
        syslogx(LOG_ERR, "awm_0x0A_fuelcons_ini: repaired nv object");
    }
    nvShadow = nv;
}

// Written when changed; a failing store is logged once until a write succeeds again.
void persist(Instance* in) {
    if (nv.total == nvShadow.total && nv.cons == nvShadow.cons && !in->nvFailing) return;
    if (nvram_dbs_write(nvram_fuelcons.id, 0, &nv, sizeof nv) != static_cast<int>(sizeof nv)) {
        if (!in->nvFailing) syslogx(LOG_ERR, "awm_0x0A_fuelcons_cyclicCall: error nv_write");
        in->nvFailing = true;
        return;
    }
    in->nvFailing = false;
    nvShadow = nv;
}

void startInput(const uint8_t* ds, uint32_t ref, Input* in) {
    in->buf.value = -1.0f;
    awm_man_setup_gw_meas(ds + ref, &in->buf, 3);
}

void* ini(const uint8_t* ds, uint16_t index, uint16_t* raster) {
    if (awm_0x0A_init != 0) {
        syslogx(LOG_ERR, "awm_0x0A_fuelcons_ini called more than one time!");
        return nullptr;
    }
    *raster = 3;
    auto* in = new (std::nothrow) Instance{};
    if (in) {
        in->ds = ds;
        const uint8_t resetMode = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_RESETMODE));
        if (resetMode == 2) {
            if (!awm_ref_set(ds + REF_RESET))
                in->boardChannel = awm_man_get_adc_chan(index);
            else
                startInput(ds, REF_RESET, &in->reset);
        }
        if (awm_ref_set(ds + REF_FUEL)) startInput(ds, REF_FUEL, &in->fuel);
        ADAPTION_FACTOR = awm_rd<float>(ds, OFF_FACTORS);
        CORRECTION_FACTOR = awm_rd<float>(ds, OFF_FACTORS + 4);
        TANK_CAPACITY = awm_rd<float>(ds, OFF_FACTORS + 8);
        TARGET_LAP_CONS = awm_rd<float>(ds, OFF_FACTORS + 12);
        loadNv();
        FC_SIG_ACT_LVL = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_ACTLVL));
        LAP_REMAINING_MODE = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_LAPREM));
        FUEL_RESET_MODE = resetMode;
        if (resetMode == 1) nv.cons = 0.0f;
        FUELCONS_INIT = nv.cons;
        FUELTOTAL_INIT = nv.total;
        fuelcons_def = &nv.cons;
        fueltotal_def = &nv.total;
        FUEL_INPUT_MODE = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_INPUTMODE));
        MACRO_FUELTOTAL_SET = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_TOTAL_SET));
        MACRO_FUELCONS_SET = static_cast<uint8_t>(awm_rd<uint16_t>(ds, OFF_CONS_SET));
        local_data = in;
        awm_0x0A_init = 1;
    }
    sb_fuel_lap_remaining_mode_vyn = awm_rd<uint16_t>(ds, OFF_LAPREM);
    sb_fuel_input_mode_vyn = awm_rd<uint16_t>(ds, OFF_INPUTMODE);
    sb_fuel_target_lap_cons_vyn = awm_rd<float>(ds, OFF_FACTORS + 12);
    sb_fuel_tank_capacity_vyn = awm_rd<float>(ds, OFF_FACTORS + 8);
    sb_fuel_correction_factor_vyn = awm_rd<float>(ds, OFF_FACTORS + 4);
    sb_fuel_adaption_factor_vyn = awm_rd<float>(ds, OFF_FACTORS);
    return in;
}

uint16_t cfgLen() {
    return LEN;
}

void cyclicCall(void* p, uint32_t) {
    auto* in = static_cast<Instance*>(p);
    if (!in || !in->ds) return;
    MACRO_FUELTOTAL_SET = static_cast<uint8_t>(awm_rd_active<uint16_t>(in->ds, OFF_TOTAL_SET));
    MACRO_FUELCONS_SET = static_cast<uint8_t>(awm_rd_active<uint16_t>(in->ds, OFF_CONS_SET));
    in->cons = u16(nv.cons * 100.0);
    in->lap = u16(fuellap * 100.0);
    in->lapOld = u16(fuellapold * 100.0);
    in->rem = s16(fuelrem * 100.0);
    in->total = u16(nv.total * 10.0);
    in->lapRem = u16(laprem * 100.0);
    fuellapShared = fuellap;
    persist(in);
    sb_fuelcons_vyn = in->cons;
    sb_fuellap_vyn = in->lap;
    sb_fuellapold_vyn = in->lapOld;
    sb_fuelrem_vyn = in->rem;
    sb_fueltotal_vyn = in->total;
    sb_fuel_laprem_vyn = in->lapRem;
}

void* setupmeas(uint32_t vcId, uint16_t, awm_out* out) {
    Instance* in = local_data;
    if (!in) return nullptr;
    const awm_out fields[] = {{},
                              awm_object(&in->cons),
                              awm_object(&in->lap),
                              awm_object(&in->lapOld),
                              awm_object(&in->rem),
                              awm_object(&in->total),
                              awm_object(&in->lapRem)};
    const uint8_t s = awm_vc_output(vcId);
    if (s < 1 || s > 6) {
        syslogx(LOG_ERR, "awm_0x0A_fuelcons_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    *out = fields[s];
    return in;
}
uint8_t shutdown(void* p) {
    auto* in = static_cast<Instance*>(p);
    if (!in) return 0;
    awm_man_stop_gw_meas(&in->reset.buf);
    awm_man_stop_gw_meas(&in->fuel.buf);
    if (local_data == in) local_data = nullptr;
    delete in;
    fueltotal_def = fuelcons_def = nullptr;
    fuelcons_laptrigger = 0;
    reset = 0xFF;
    FC_SIG_ACT_LVL = 1;
    fuellap = fuellapold = fuelrem = laprem = 0.0f;
    fuellapShared = 0.0f;
    awm_0x0A_init = 0;
    return 1;
}

bool running() {
    return local_data && !AWM_sched_STOP;
}

// The command task reads the outputs (the laptrigger master's messages) while the 10 ms cycle
// writes them and a shutdown may free them: under the channel functions' lock.
uint8_t get(float* out, float (*value)(const Instance&)) {
    awm_sched_lock();
    const Instance* in = local_data;
    if (in && out) *out = value(*in);
    awm_sched_unlock();
    return in ? 1 : 0;
}

} // namespace

const awm_entry_t entry_0x0A_fuelcons{
    ini,     cfgLen,  cyclicCall, setupmeas, awm_measNothing, awm_latencyNone, awm_shutdownMeasureNone,
    nullptr, nullptr, shutdown,   nullptr};

uint8_t awm_0x0A_fuelcons_getReset() {
    const uint8_t inactive = FC_SIG_ACT_LVL == 0 ? 1 : 0;
    Instance* in = local_data;
    if (!running() || FUEL_RESET_MODE != 2) return inactive;
    uint8_t level;
    if (!awm_ref_set(in->ds + REF_RESET)) {
        level = !power_getPwrGood() ? inactive : awm_get_channel(in->boardChannel) > 0.0f ? 1 : 0;
    } else if (in->reset.buf.valid == 1) {
        in->reset.value = static_cast<float>(awm_rational(in->ds + REF_RESET + 8, in->reset.buf.value));
        level = in->reset.value > awm_rd<float>(in->ds, OFF_THRESH) ? 1 : 0;
    } else {
        level = reset == 0xFF ? inactive : reset;
    }
    reset = level;
    return level;
}

float awm_0x0A_fuelcons_getFuel() {
    Instance* in = local_data;
    if (!running() || !awm_ref_set(in->ds + REF_FUEL) || in->fuel.buf.valid != 1) return 0.0f;
    in->fuel.value = static_cast<float>(awm_rational(in->ds + REF_FUEL + 8, in->fuel.buf.value));
    return in->fuel.value;
}

uint8_t awm_0x0A_fuelcons_getLaptrigger() {
    return fuelcons_laptrigger.exchange(0);
}

float awm_0x0A_fuelcons_setLaptrigger() {
    if (awm_0x0A_init == 0) return 0.0f;
    fuelcons_laptrigger = 1;
    return fuellapShared;
}

uint8_t fuelconsGet_FuelLap(float* out) {
    return get(out, [](const Instance& in) { return in.lap * 0.01f; });
}
uint8_t fuelconsGet_FuelLapOld(float* out) {
    return get(out, [](const Instance& in) { return in.lapOld * 0.01f; });
}
uint8_t fuelconsGet_FuelRem(float* out) {
    return get(out, [](const Instance& in) { return in.rem * 0.01f; });
}
uint8_t fuelconsGet_FuelTotal(float* out) {
    return get(out, [](const Instance& in) { return in.total * 0.1f; });
}
