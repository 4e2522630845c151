// LED control (type 0x0B). Every 10 ms each module composes its LEDs: conditions 32 up to 1 paint
// their maps (condition 1 last, so it wins), the shift-light layer paints after the condition at
// its position, an overwrite of the module's position wins over all, then the colours are scaled
// to the display brightness and written to the LED array.
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/ledctrl.h"

#include "acquisition/led/led.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string>

namespace {

constexpr uint16_t LEN = 1968;
constexpr int CONDS = AWM_LED_CONDS, LEDS = AWM_LED_LEDS, COLOURS = AWM_LED_COLOURS, STAGES = 10, GEARS = 8;
constexpr uint8_t KEEP = 15, OVERWRITTEN = 14, ALL_OFF = 10;
constexpr uint32_t INVALID_HOLD = 20; // cycles an invalid condition keeps its last value
constexpr size_t REPORT_LINE = 166;
constexpr uint32_t OFF_WORDS = 40, OFF_COEF = 168, OFF_TYPES = 936, REF_RPM = 1000, REF_GEAR = 1036,
                   OFF_COLOURS = 1072, OFF_MAPS = 1128, OFF_MODES = 1448, OFF_HYST = 1480, OFF_THRESH = 1484,
                   OFF_PATTERN = 1844, OFF_GEARLIST = 1944, OFF_BRIGHT = 1952, OFF_SHIFTPOS = 1958,
                   OFF_POSITION = 1959, OFF_SHIFTFLAG = 1960, OFF_COUNT = 1961;

using Instance = awm_led_inst;

// Overwrite of module position 1 to 3: LED mask in the high word, colour in the low one, so a
// reader never sees the mask of one request with the colour of another.
std::atomic<uint64_t> overwrite[3];
std::atomic<int> instances{0};
std::atomic<uint8_t> awm_0x0B_init{0};
std::atomic<const LedBrightnessCurves*> curves{nullptr};

const char* positionName(uint8_t p) {
    switch (p) {
    case 0:
        return "POS_INVALID";
    case 1:
        return "POS_TOP";
    case 2:
        return "POS_LEFT";
    case 3:
        return "POS_RIGHT";
    default:
        return "UNKNOWN";
    }
}

float threshold(const Instance* in, int table, int stage) {
    return awm_rd<float>(in->ds, OFF_THRESH + 4u * static_cast<uint32_t>(table * STAGES + stage));
}

// What the dataset must hold for the tables to be indexed safely.
bool valid(const uint8_t* ds) {
    const uint8_t count = ds[OFF_COUNT], position = ds[OFF_POSITION];
    if (count < 1 || count > LEDS) {
        syslogx(LOG_ERR, "awm_0x0B_led_ini: LED count %u not 1 to 10, module not driven", count);
        return false;
    }
    if (position < 1 || position > 3) {
        syslogx(LOG_ERR, "awm_0x0B_led_ini: module position %u not 1 to 3, module not driven", position);
        return false;
    }
    for (int i = 0; i < LEDS * STAGES; ++i)
        if (ds[OFF_PATTERN + static_cast<uint32_t>(i)] > KEEP) {
            syslogx(LOG_ERR,
                    "awm_0x0B_led_ini: shift-light pattern byte %d is %u, above 15, module not driven", i,
                    ds[OFF_PATTERN + static_cast<uint32_t>(i)]);
            return false;
        }
    return true;
}

// The 36-byte input reference of condition c from the dataset's columns.
void conditionRef(const uint8_t* ds, int c, uint8_t* ref) {
    std::memset(ref, 0, AWM_REF_SIZE);
    const uint32_t k = 4u * static_cast<uint32_t>(c);
    std::memcpy(ref, ds + OFF_WORDS + k, 4);
    for (uint32_t i = 0; i < 6; ++i)
        std::memcpy(ref + 8 + 4 * i, ds + OFF_COEF + 128 * i + k, 4);
    std::memcpy(ref + 32, ds + OFF_TYPES + 2u * static_cast<uint32_t>(c), 2);
}

void* ini(const uint8_t* ds, uint16_t, uint16_t* raster) {
    *raster = 3;
    if (awm_0x0B_init.exchange(1) == 0)
        for (auto& o : overwrite)
            o = 0;
    auto* in = new (std::nothrow) Instance{};
    if (!in) return nullptr;
    const uint8_t count = ds[OFF_COUNT], position = ds[OFF_POSITION];
    syslogx(LOG_DEBUG, " LED module conf found pos '%s'(%d), shiftled '%s', led# %d ", positionName(position),
            position, ds[OFF_SHIFTFLAG] ? "TRUE" : "FALSE", count);
    if (!valid(ds)) {
        delete in;
        return nullptr;
    }
    in->ds = ds;
    in->count = count;
    in->position = position;
    for (int c = 0; c < CONDS; ++c)
        std::memcpy(in->maps[c], ds + OFF_MAPS + static_cast<uint32_t>(c * count), count);
    for (int c = 0; c < CONDS; ++c) {
        in->cond[c].value = NAN;
        if (awm_rd<uint32_t>(ds, OFF_WORDS + 4u * static_cast<uint32_t>(c)) == 0) continue;
        uint8_t ref[AWM_REF_SIZE];
        conditionRef(ds, c, ref);
        awm_man_setup_gw_meas(ref, &in->cond[c], 3);
    }
    in->rpm.value = NAN;
    if (awm_ref_set(ds + REF_RPM)) {
        in->shiftInputs = 1;
        awm_man_setup_gw_meas(ds + REF_RPM, &in->rpm, 3);
        if (awm_ref_set(ds + REF_GEAR)) {
            in->gear.value = NAN;
            in->shiftInputs = 2;
            awm_man_setup_gw_meas(ds + REF_GEAR, &in->gear, 3);
        }
    }
    in->stage = ALL_OFF;
    for (int i = 1; i < COLOURS; ++i)
        in->colours[i] = awm_rd<uint32_t>(ds, OFF_COLOURS + 4u * static_cast<uint32_t>(i - 1)) << 8;
    ++instances;
    return in;
}

uint16_t cfgLen() {
    return LEN;
}

uint8_t awm_0x0B_led_get_shiftlights(Instance* in, uint8_t* pattern) {
    for (int n = 0; n < LEDS; ++n)
        pattern[n] = KEEP;
    if (in->shiftInputs == 0) {
        in->shiftMask = 0;
        return 0;
    }
    const uint8_t* ds = in->ds;
    uint8_t table = in->table;
    if (in->shiftInputs == 2 && in->gear.valid == 1) {
        const auto gear = static_cast<uint8_t>(awm_to_i32(std::trunc(static_cast<double>(in->gear.value))));
        for (int k = 0; k < GEARS && ds[OFF_GEARLIST + static_cast<uint32_t>(k)] != 0; ++k)
            if (ds[OFF_GEARLIST + static_cast<uint32_t>(k)] == gear) {
                table = static_cast<uint8_t>(k + 1);
                break;
            }
    }
    double r = 0.0;
    if (in->rpm.valid == 1) {
        in->rpmValue = static_cast<float>(awm_rational(ds + REF_RPM + 8, in->rpm.value));
        r = in->rpmValue;
    }
    if (table != in->table) in->stage = ALL_OFF;
    in->table = table;
    uint8_t stage = in->stage;
    while (stage != 0 && threshold(in, table, stage - 1) < r)
        --stage;
    if (stage < ALL_OFF) {
        const double hyst = awm_rd<float>(ds, OFF_HYST);
        while (stage < STAGES - 1 && r < threshold(in, table, stage) - hyst)
            ++stage;
        if (r < threshold(in, table, stage) - hyst) stage = ALL_OFF;
    }
    in->stage = stage;
    if (stage != ALL_OFF && threshold(in, table, stage) != 0.0f)
        for (int n = 0; n < LEDS; ++n)
            pattern[n] = ds[OFF_PATTERN + static_cast<uint32_t>(n * STAGES + stage)];
    // Each output is stored once, whole: a sampling task never sees it half built.
    uint16_t shiftMask = 0;
    for (int n = 0; n < LEDS; ++n)
        if (pattern[n] != KEEP && pattern[n] != 0) shiftMask = static_cast<uint16_t>(shiftMask | 1u << n);
    in->shiftMask = shiftMask;
    return static_cast<uint8_t>(ds[OFF_SHIFTPOS] + 1);
}

// Colour index of one map byte in this cycle.
uint8_t mapColour(const Instance* in, uint8_t mode, uint8_t byte) {
    const uint8_t a = byte & 0x0F, b = byte >> 4;
    switch (mode) {
    case 0:
        return a;
    case 1:
        return in->cycle % 80 < 40 ? a : b;
    case 2:
        return in->cycle % 40 < 20 ? a : b;
    default:
        SYSLOGX_GUARDED(LOG_ERR, "awm_0x0B_led_setLED: unknown mode, using solid");
        return a;
    }
}

void paint(uint8_t* index, const uint8_t* colours, uint8_t count) {
    for (uint8_t i = 0; i < count; ++i)
        if (colours[i] != KEEP) index[i] = colours[i];
}

float linear(float component, float percent) {
    const float v = component * percent / 100.0f;
    return v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
}

// The colour 0xRRGGBB00 at the module's percentage for the display's brightness step.
void awm_0x0B_led_adjust_brightness(const Instance* in, uint32_t colour, float* r, float* g, float* b) {
    const uint8_t step = display_brightness;
    const int s = step == 0 ? 0 : step - 1;
    int percent = in->ds[OFF_BRIGHT + static_cast<uint32_t>(s < 6 ? s : 5)];
    percent = percent < 1 ? 1 : percent > 100 ? 100 : percent;
    const auto p = static_cast<float>(percent);
    const LedBrightnessCurves* c = curves.load();
    const auto red = static_cast<float>(colour >> 24), green = static_cast<float>(colour >> 16 & 0xFF),
               blue = static_cast<float>(colour >> 8 & 0xFF);
    *r = c && c->red ? c->red(red, p) : linear(red, p);
    *g = c && c->green ? c->green(green, p) : linear(green, p);
    *b = c && c->blue ? c->blue(blue, p) : linear(blue, p);
}

void awm_0x0B_led_setLED(Instance* in, const uint8_t* pattern, uint8_t n) {
    const uint8_t* ds = in->ds;
    uint8_t index[LEDS] = {};
    uint8_t layer = 0;
    std::string report;
    for (int k = CONDS; k >= 1; --k) {
        const int c = k - 1;
        const uint8_t number = static_cast<uint8_t>(n != 0 && k >= n ? k + 1 : k);
        const float v = in->cond[c].value;
        if (!std::isnan(v)) {
            const bool ok = in->cond[c].valid == 1;
            if (!ok) {
                if (in->invalidCount[c] != UINT32_MAX) ++in->invalidCount[c];
            } else {
                if (in->invalidCount[c] != 0) {
                    char item[24];
                    std::snprintf(item, sizeof item, " %u:%X", number, in->invalidCount[c]);
                    report += item;
                }
                in->invalidCount[c] = 0;
                in->lastValid[c] = v;
            }
            const bool taken = ok || in->invalidCount[c] < INVALID_HOLD;
            if (taken && awm_to_u32(awm_round(in->lastValid[c])) != 0) {
                layer = number;
                const uint8_t mode = ds[OFF_MODES + static_cast<uint32_t>(c)];
                uint8_t colours[LEDS];
                for (uint8_t i = 0; i < in->count; ++i)
                    colours[i] = mapColour(in, mode, in->maps[c][i]);
                paint(index, colours, in->count);
            }
        }
        if (n != 0 && k == n) {
            paint(index, pattern, in->count);
            layer = n;
        }
    }
    if (!report.empty() && syslogx_rateguard(&in->reportGuard)) {
        syslogx(LOG_DEBUG, "awm_0x0B_led_setLED: cond:hexcnt %s ", report.substr(0, REPORT_LINE).c_str());
        if (report.size() > REPORT_LINE) syslogx(LOG_DEBUG, " %s", report.substr(REPORT_LINE).c_str());
    }
    const uint64_t ow = overwrite[in->position - 1].load();
    const auto owMask = static_cast<uint16_t>(ow >> 32);
    const auto owColour = static_cast<uint32_t>(ow);
    uint16_t litMask = 0;
    uint32_t code = 0;
    for (uint8_t i = 0; i < LEDS; ++i) {
        uint32_t colour = 0;
        uint8_t shown = 0;
        if (i < in->count && (owMask >> i & 1)) {
            colour = owColour;
            shown = owColour ? OVERWRITTEN : 0;
        } else if (i < in->count) {
            colour = in->colours[index[i]];
            shown = index[i];
        }
        in->index[i] = shown;
        if (colour) litMask = static_cast<uint16_t>(litMask | 1u << i);
        in->rgb[i] = colour >> 8;
        const uint32_t bits =
            (colour >> 24 ? 4u : 0u) | (colour >> 16 & 0xFF ? 2u : 0u) | (colour >> 8 & 0xFF ? 1u : 0u);
        code |= bits << (3 * i);
    }
    in->litMask = litMask;
    in->code = code;
    in->layer = layer;
    for (uint8_t i = 0; i < in->count; ++i) {
        float r, g, b;
        awm_0x0B_led_adjust_brightness(in, in->rgb[i] << 8, &r, &g, &b);
        ledArray_set_single(in->position, i, r, g, b);
    }
}

void cyclicCall(void* p, uint32_t) {
    auto* in = static_cast<Instance*>(p);
    if (!in || !in->ds) return;
    uint8_t pattern[LEDS];
    const uint8_t n = awm_0x0B_led_get_shiftlights(in, pattern);
    awm_0x0B_led_setLED(in, pattern, n);
    ++in->cycle;
}

void* setupmeas(uint32_t vcId, uint16_t, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    auto* in = e ? static_cast<Instance*>(e->instance) : nullptr;
    if (!in) return nullptr;
    const uint8_t s = awm_vc_output(vcId);
    awm_out addr{};
    if (s == 1)
        addr = awm_object(&in->layer);
    else if (s == 2)
        addr = awm_object(&in->litMask);
    else if (s == 3)
        addr = awm_object(&in->code);
    else if (s >= 4 && s <= 13)
        addr = awm_object(&in->index[s - 4]);
    else if (s == 24)
        addr = awm_object(&in->shiftMask);
    if (!addr.at) {
        syslogx(LOG_ERR, "awm_0x0B_led_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    *out = addr;
    return in;
}
uint8_t shutdown(void* p) {
    auto* in = static_cast<Instance*>(p);
    if (!in) return 0;
    for (awm_input_buf& b : in->cond)
        awm_man_stop_gw_meas(&b);
    awm_man_stop_gw_meas(&in->rpm);
    awm_man_stop_gw_meas(&in->gear);
    delete in;
    if (--instances == 0) awm_0x0B_init = 0;
    return 1;
}

} // namespace

const awm_entry_t entry_0x0B_led{
    ini,     cfgLen,  cyclicCall, setupmeas, awm_measNothing, awm_latencyNone, awm_shutdownMeasureNone,
    nullptr, nullptr, shutdown,   nullptr};

void awm_0x0B_led_setBrightnessCurves(const LedBrightnessCurves* c) {
    curves = c;
}

void awm_0x0B_led_overwrite(uint8_t modules, uint16_t mask, uint32_t colour) {
    for (uint8_t p = 1; p <= 3; ++p) {
        if (!(modules >> (p - 1) & 1)) continue;
        overwrite[p - 1] = static_cast<uint64_t>(mask) << 32 | colour;
        if (instances.load() != 0) continue;
        for (uint8_t i = 0; i < LEDS; ++i)
            ledArray_set_single(p, i, mask >> i & 1 ? static_cast<float>(colour >> 24) : 0.0f, 0.0f, 0.0f);
    }
}
