// Condition evaluation (0x0C) and condition combination (0x0D): cyclic types on the 10 ms
// raster that turn signals into one boolean output, debounced and shaped as steady, blinking,
// pulse or toggle. Times are milliseconds counted down by 10 per cycle.
#include "acquisition/awm/awm_private.h"

#include "services/syslog/syslog.h"

#include <cmath>
#include <new>

namespace {

constexpr uint16_t RASTER_10MS = 3;

// Reads a configuration parameter of data type `code` from its 32-bit word.
double conv2doubleParam(uint32_t w, uint16_t code) {
    switch (code) {
    case 0:
        return static_cast<int32_t>(w & 0x80u ? w | 0xFFFFFF00u : w);
    case 2:
        return w & 0x8000u ? static_cast<double>(static_cast<int32_t>(w | 0xFFFF0000u)) : w;
    case 1:
    case 3:
    case 5:
    case 7:
        return w;
    case 4:
        return static_cast<int32_t>(w);
    case 6:
        return awm_man_conv2double(w, 6);
    default:
        return 0.0;
    }
}

bool evaluate(double a, double b, uint8_t op) {
    switch (op) {
    case 0:
        return a == b;
    case 1:
        return a != b; // true for a value that is not a number
    case 2:
        return a >= b;
    case 3:
        return a <= b;
    case 4:
        return a > b;
    case 5:
        return a < b;
    case 6: {
        const uint32_t ua = awm_to_u32(awm_round(a)), ub = awm_to_u32(awm_round(b));
        return (ua & ub) == ub;
    }
    default:
        return false;
    }
}

// ---- 0x0C condition evaluation ----------------------------------------------------------------

struct CondEval {
    const uint8_t* ds;
    awm_input_buf in[2];
    seramWord<uint32_t> out1, out2;
    uint32_t timer1, blink, hold;
    uint32_t blinkOn, blinkOff; // cycles
    uint32_t shaping;
    uint8_t prevState, state;
    uint32_t t1, tUp, tDown, t2;
    double b, upper;
    uint8_t lastLevel, level;
    uint32_t machine;
};

enum : uint32_t {
    OFF = 0,
    ON = 1,
    ON_DELAY = 2,
    STEP_OFF_DELAY = 3,
    OFF_DELAY = 4,
    HOLD = 5,
    STEP_UP = 6,
    STEP_DOWN = 7
};

uint8_t mode(const CondEval* c) {
    return c->ds[146];
}
uint16_t signalType(const uint8_t* ds) {
    return awm_rd<uint16_t>(ds, 40 + 32);
}
double param(const uint8_t* ds, int k) {
    return conv2doubleParam(awm_rd<uint32_t>(ds, 112 + 4u * static_cast<uint32_t>(k)), signalType(ds));
}
uint32_t word(const uint8_t* ds, int k) {
    return awm_rd<uint32_t>(ds, 112 + 4u * static_cast<uint32_t>(k));
}

void* condevalIni(const uint8_t* ds, uint16_t index, uint16_t* raster) {
    const uint8_t count = ds[144], m = ds[146];
    // The record holds eight parameters; stepped thresholds need at least one level.
    if (count > 8 || (m == 2 && count < 4)) {
        syslogx(LOG_ERR, "awm_0x0C_condeval_ini: VC %u: %u parameters in mode %u, refused", index, count, m);
        return nullptr;
    }
    auto* c = new (std::nothrow) CondEval{};
    if (!c) return nullptr;
    c->ds = ds;
    awm_input_start(ds + 40, &c->in[0], RASTER_10MS);
    c->in[1].value = NAN;
    if (m == 0) awm_input_start(ds + 76, &c->in[1], RASTER_10MS);
    auto given = [&](int k) { return k < count ? word(ds, k) : 0u; };
    switch (m) {
    case 0:
        c->t1 = given(0);
        c->t2 = given(1);
        if (count >= 5)
            c->blinkOn = word(ds, 2) / 10, c->blinkOff = word(ds, 3) / 10, c->shaping = word(ds, 4);
        break;
    case 1:
        if (count >= 2) c->b = param(ds, 1), c->t1 = word(ds, 0);
        if (count >= 3) c->t2 = word(ds, 2);
        if (count >= 6)
            c->blinkOn = word(ds, 3) / 10, c->blinkOff = word(ds, 4) / 10, c->shaping = word(ds, 5);
        break;
    case 2:
        c->t1 = word(ds, 0), c->tUp = word(ds, 1), c->tDown = word(ds, 2);
        c->lastLevel = static_cast<uint8_t>(count - 4);
        c->b = param(ds, 3);
        break;
    case 3:
        c->t1 = given(0);
        c->b = count > 1 ? param(ds, 1) : 0.0;
        c->upper = count > 2 ? param(ds, 2) : 0.0;
        c->t2 = given(3);
        c->blinkOn = given(4) / 10, c->blinkOff = given(5) / 10, c->shaping = given(6);
        break;
    default:
        break;
    }
    *raster = RASTER_10MS;
    return c;
}

void debounce(CondEval* c, bool cond) {
    switch (c->machine) {
    case OFF:
        if (!cond) break;
        if (c->t1 == 0)
            c->machine = ON, c->state = 1;
        else
            c->timer1 = c->t1, c->machine = ON_DELAY;
        break;
    case ON_DELAY:
        if (!cond)
            c->machine = OFF;
        else if (awm_expired(c->timer1))
            c->machine = ON, c->state = 1;
        break;
    case ON:
        if (cond) break;
        if (c->t1 != 0)
            c->timer1 = c->t1, c->hold = c->t2, c->machine = OFF_DELAY;
        else if (c->t2 == 0)
            c->machine = OFF, c->state = 0;
        else
            c->hold = c->t2, c->timer1 = 0, c->machine = HOLD;
        break;
    case OFF_DELAY:
        if (cond)
            c->machine = ON;
        else if (awm_expired(c->timer1)) {
            if (c->t2 == 0)
                c->machine = OFF, c->state = 0;
            else
                c->hold = c->t2, c->timer1 = c->t1, c->machine = HOLD;
        }
        break;
    case HOLD:
        if (cond) {
            if (awm_expired(c->timer1)) {
                c->machine = ON, c->state = 1;
                break;
            }
        } else {
            c->timer1 = c->t1;
        }
        if (awm_expired(c->hold)) c->state = 0, c->machine = cond ? ON_DELAY : OFF;
        break;
    default:
        break;
    }
}

void stepped(CondEval* c, double a, bool cond) {
    const uint8_t op = c->ds[145];
    switch (c->machine) {
    case OFF:
        if (cond) {
            if (c->t1 == 0)
                c->machine = ON, c->state = 1;
            else
                c->timer1 = c->t1, c->machine = ON_DELAY;
        } else if (c->tDown != 0) {
            c->timer1 = c->tDown, c->machine = STEP_DOWN;
        }
        break;
    case ON_DELAY:
        if (!cond)
            c->machine = OFF;
        else if (awm_expired(c->timer1))
            c->machine = ON, c->state = 1;
        break;
    case ON:
        if (!cond) {
            if (c->t1 == 0)
                c->machine = OFF, c->state = 0;
            else
                c->timer1 = c->t1, c->machine = STEP_OFF_DELAY;
        } else if (c->tUp != 0) {
            c->timer1 = c->tUp, c->machine = STEP_UP;
        }
        break;
    case STEP_OFF_DELAY:
        if (cond)
            c->machine = ON;
        else if (awm_expired(c->timer1))
            c->machine = OFF, c->state = 0;
        break;
    case STEP_UP:
        if (cond) {
            if (awm_expired(c->timer1) && c->level < c->lastLevel) {
                c->b = param(c->ds, 3 + ++c->level);
                if (evaluate(a, c->b, op))
                    c->machine = ON;
                else
                    c->machine = OFF, c->state = 0;
            }
        } else if (c->t1 == 0) {
            c->machine = OFF, c->state = 0;
        } else {
            c->timer1 = c->t1, c->machine = STEP_OFF_DELAY;
        }
        break;
    case STEP_DOWN:
        if (!cond) {
            if (awm_expired(c->timer1) && c->level > 0 && !evaluate(a, param(c->ds, 3 + c->level - 1), op))
                c->b = param(c->ds, 3 + --c->level), c->machine = OFF;
        } else if (c->t1 == 0) {
            c->machine = ON, c->state = 1;
        } else {
            c->timer1 = c->t1, c->machine = ON_DELAY;
        }
        break;
    default:
        break;
    }
}

// The output stage of 0x0C: blink and pulse counts in cycles.
void shapeCycles(CondEval* c) {
    const bool rising = c->state && !c->prevState;
    switch (c->shaping) {
    case 1:
        if (!c->state)
            c->out1 = 0;
        else if (rising)
            c->blink = c->blinkOn, c->out1 = 1;
        else if (c->blink == 0) {
            c->blink = c->out1 ? c->blinkOff : c->blinkOn;
            c->out1 = !c->out1;
        } else
            --c->blink;
        break;
    case 2:
        if (!c->state) {
            if (c->blink == 0)
                c->out1 = 0;
            else
                --c->blink;
        } else if (rising) {
            c->blink = c->blinkOn, c->out1 = 1;
        } else if (c->blink == 0) {
            c->out1 = 0;
        } else {
            --c->blink;
        }
        break;
    case 3:
        if (rising) c->out1 = !c->out1;
        break;
    default:
        c->out1 = c->state;
        break;
    }
    c->prevState = c->state;
}

void condevalCyclic(void* inst, uint32_t) {
    auto* c = static_cast<CondEval*>(inst);
    const uint8_t* ds = c->ds;
    if (c->in[0].valid == 1) {
        double a = awm_man_conv2double(c->in[0].raw, c->in[0].type);
        const uint8_t op = ds[145];
        switch (mode(c)) {
        case 0: {
            if (c->in[1].valid != 1) return; // the output stage waits too
            a = awm_rational(ds + 40 + 8, a);
            c->b = awm_rational(ds + 76 + 8, awm_man_conv2double(c->in[1].raw, c->in[1].type));
            debounce(c, evaluate(a, c->b, op));
            break;
        }
        case 1:
            debounce(c, evaluate(a, c->b, op));
            break;
        case 2:
            stepped(c, a, evaluate(a, c->b, op));
            break;
        case 3:
            debounce(c, c->b <= a && a <= c->upper);
            break;
        default:
            break;
        }
    }
    shapeCycles(c);
}

void* condevalSetup(uint32_t vcId, uint16_t, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    auto* c = e ? static_cast<CondEval*>(e->instance) : nullptr;
    const uint8_t o = awm_vc_output(vcId);
    if (o != 1 && o != 2) {
        SYSLOGX_GUARDED(LOG_ERR,
                        "awm_0x0C_condeval_setupmeas: invalid subchannel measurement request (0x%08X)",
                        static_cast<unsigned>(vcId));
        return nullptr;
    }
    if (!c) return nullptr;
    *out = awm_object(o == 1 ? &c->out1 : &c->out2);
    return c;
}

uint8_t condevalShutdown(void* inst) {
    auto* c = static_cast<CondEval*>(inst);
    if (!c) return 0;
    awm_man_stop_gw_meas(&c->in[0]);
    awm_man_stop_gw_meas(&c->in[1]);
    delete c;
    return 1;
}

// ---- 0x0D condition combination -------------------------------------------------------------

constexpr int INPUTS = 16;

struct CondComb {
    const uint8_t* ds;
    awm_input_buf in[INPUTS];
    uint8_t last[INPUTS];
    seramWord<uint32_t> out;
    uint32_t counter, onMs, offMs;
    uint8_t prev;
};

void* condcombIni(const uint8_t* ds, uint16_t, uint16_t* raster) {
    auto* c = new (std::nothrow) CondComb{};
    if (!c) return nullptr;
    c->ds = ds;
    for (uint32_t k = 0; k < INPUTS; ++k) {
        // The input's reference as one record: reference, a word, a to f, data type.
        uint8_t ref[AWM_REF_SIZE] = {};
        std::memcpy(ref, ds + 40 + 4 * k, 4);
        for (uint32_t j = 0; j < 6; ++j)
            std::memcpy(ref + 8 + 4 * j, ds + 104 + 64 * j + 4 * k, 4);
        std::memcpy(ref + 32, ds + 488 + 2 * k, 2);
        awm_input_start(ref, &c->in[k], RASTER_10MS);
    }
    c->onMs = awm_rd<uint16_t>(ds, 522);
    c->offMs = awm_rd<uint16_t>(ds, 524);
    *raster = RASTER_10MS;
    return c;
}

void condcombCyclic(void* inst, uint32_t) {
    auto* c = static_cast<CondComb*>(inst);
    const uint16_t mask = awm_rd<uint16_t>(c->ds, 520);
    bool combined = false;
    for (int g = 0; g < 4; ++g) {
        bool group = true, used = false;
        for (int i = 0; i < 4; ++i) {
            const int k = 4 * g + i;
            const float v = c->in[k].value;
            if (c->in[k].valid == 1) {
                const bool s = (v > 0) != ((mask >> k & 1) != 0);
                c->last[k] = s;
                used = true;
                group = group && s;
            } else if (!std::isnan(v)) {
                used = true; // delivered before, timed out since: its last state stands
                group = group && c->last[k];
            }
        }
        combined = combined || (group && used);
    }
    const bool rising = combined && !c->prev;
    switch (awm_rd<uint8_t>(c->ds, 526)) {
    case 1:
        if (!combined)
            c->out = 0;
        else if (rising)
            c->counter = c->onMs, c->out = 1;
        else if (awm_expired(c->counter)) {
            c->counter = c->out ? c->offMs : c->onMs;
            c->out = !c->out;
        }
        break;
    case 2:
        if (!combined) {
            if (awm_expired(c->counter)) c->out = 0;
        } else if (rising) {
            c->counter = c->onMs, c->out = 1;
        } else if (awm_expired(c->counter)) {
            c->out = 0;
        }
        break;
    case 3:
        if (rising) c->out = !c->out;
        break;
    default:
        c->out = combined;
        break;
    }
    c->prev = combined;
}

void* condcombSetup(uint32_t vcId, uint16_t, awm_out* out) {
    vc_data_t* e = awm_man_get_cfg(vcId);
    auto* c = e ? static_cast<CondComb*>(e->instance) : nullptr;
    if (awm_vc_output(vcId) != 1) {
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x0D_condcomb_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    if (!c) return nullptr;
    *out = awm_object(&c->out);
    return c;
}

uint8_t condcombShutdown(void* inst) {
    auto* c = static_cast<CondComb*>(inst);
    if (!c) return 0;
    for (awm_input_buf& b : c->in)
        awm_man_stop_gw_meas(&b);
    delete c;
    return 1;
}

uint16_t condevalLen() {
    return 152;
}
uint16_t condcombLen() {
    return 532;
}

} // namespace

const awm_entry_t entry_0x0C_condeval{condevalIni,
                                      condevalLen,
                                      condevalCyclic,
                                      condevalSetup,
                                      awm_measNothing,
                                      awm_latencyNone,
                                      awm_shutdownMeasureNone,
                                      nullptr,
                                      nullptr,
                                      condevalShutdown,
                                      nullptr};
const awm_entry_t entry_0x0D_condcomb{condcombIni,
                                      condcombLen,
                                      condcombCyclic,
                                      condcombSetup,
                                      awm_measNothing,
                                      awm_latencyNone,
                                      awm_shutdownMeasureNone,
                                      nullptr,
                                      nullptr,
                                      condcombShutdown,
                                      nullptr};
