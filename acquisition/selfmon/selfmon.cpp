#include "acquisition/selfmon/selfmon.h"

#include "acquisition/board/board.h"
#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "services/fileutil/fileutil.h"
#include "services/nvramst/nvramst.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cmath>

namespace {

// Read by many tasks, written by the 1 ms raster; good from the start, so that errors
// raised while the unit starts are kept.
std::atomic<uint8_t> pwrGood{1};
int32_t onCnt;
uint16_t ubPin = UECU_DEFAULT_PIN;

uint8_t usbApplied[3] = {0xFF, 0xFF, 0xFF};

bool lifeLoaded;
uint32_t lifeSeconds;

bool tempFirst = true;
uint8_t tempFault;

// Unit-temperature sensor: volts (ascending) to degrees Celsius.
constexpr uint16_t TECU_LAST = 19;
constexpr float TECU_VOLTS[TECU_LAST + 1] = {0.133f, 0.16f,  0.194f, 0.238f, 0.294f, 0.366f, 0.464f,
                                             0.582f, 0.739f, 0.938f, 1.196f, 1.514f, 1.899f, 2.339f,
                                             2.819f, 3.309f, 3.766f, 4.148f, 4.438f, 4.645f};
constexpr float TECU_DEGREES[TECU_LAST + 1] = {150, 140, 130, 120, 110, 100, 90,  80,  70,  60,
                                               50,  40,  30,  20,  10,  0,   -10, -20, -30, -40};
constexpr float TECU_MIN_VOLTS = 0.1f, TECU_MAX_VOLTS = 4.9f;
constexpr float TECU_FAULT_DEGREES = 20.0f;

// Truncated toward zero and kept within [0, max]: a reading a little below zero must not
// wrap to the top of the field (a dead supply would then read as a good one).
template <typename T> T saturate(double x, T max) {
    if (!(x > 0.0)) return 0; // also not-a-number
    if (x >= static_cast<double>(max)) return max;
    return static_cast<T>(x);
}

float sensorVolts(uint16_t channel) {
    return channel < 16 ? adc_get_adc_unfil_newest(channel) / 1000.0f : adc_getVoltageTS(channel);
}

void setPwrGood(uint8_t v) {
    pwrGood.store(v, std::memory_order_relaxed);
    b_pwr_good = v;
}

} // namespace

// ---- power good -------------------------------------------------------------------------

void power_vyn_1ms() {
    if (digital_ioIn(DIN_POWER_GOOD) == 0) {
        setPwrGood(0);
        if (onCnt == 0)
            SYSLOGX_RATE_GUARDED(LOG_DEBUG,
                                 "power_vyn_1ms: power false detected (ON >= %dms), reset on_cnt to %d",
                                 POWER_ON_DELAY_MS, POWER_ON_DELAY_MS);
        else if (onCnt != POWER_ON_DELAY_MS)
            SYSLOGX_RATE_GUARDED(
                LOG_DEBUG, "power_vyn_1ms: power false (re-)detected (ON for %dms), set on_cnt from %d to %d",
                POWER_ON_DELAY_MS - onCnt, onCnt, POWER_ON_DELAY_MS);
        onCnt = POWER_ON_DELAY_MS;
        return;
    }
    if (onCnt == 0) {
        setPwrGood(1);
        return;
    }
    if (--onCnt == POWER_ADC_RESTART_AT) {
        // The converter may have lost its state in the drop.
        adc_reInit();
        adc_pullup_reInit();
    }
}

uint8_t power_getPwrGood() {
    return pwrGood.load(std::memory_order_relaxed);
}

// ---- supply, currents, sensor supplies ------------------------------------------------------

void uecu_meas_1ms() {
    ub = saturate<uint8_t>(static_cast<double>(adc_getVoltageTS(ubPin)) * 5.2074 * 10.0, 255);
}

void uecu_override_pin(uint16_t channel) {
    ubPin = channel;
}

void iecu_meas_10ms() {
    iecu_unit = saturate<uint16_t>(static_cast<double>(adc_getVoltageTS(ADC_CH_IECU)) * 200.0, 0xFFFF);
}

void iusb_meas_10ms() {
    const double x = (static_cast<double>(adc_getVoltageTS(ADC_CH_IUSB)) - 2.5) * 500.0;
    if (std::isnan(x))
        iusb = 0;
    else if (x > 125.0)
        iusb = 125;
    else if (x < -125.0)
        iusb = -125;
    else
        iusb = static_cast<int8_t>(x);
}

uint8_t getSensorPwrI(uint16_t channel) {
    return saturate<uint8_t>(static_cast<double>(sensorVolts(channel)) * 40.0 * 0.98039216, 255);
}

uint16_t getSensorPwrUpSeq(uint16_t channel) {
    return saturate<uint16_t>(static_cast<double>(sensorVolts(channel)) * 5538.2, 0xFFFF);
}

uint16_t getSensorPwrU(uint16_t channel) {
    return saturate<uint16_t>(static_cast<double>(sensorVolts(channel)) * 5207.4, 0xFFFF);
}

void sensor_pwr_10ms() {
    digital_ioOut(DOUT_SENS_5V_1, SENS_5V_1_ENABLE ? 1 : 0);
    digital_ioOut(DOUT_SENS_5V_2, SENS_5V_2_ENABLE ? 1 : 0);
    digital_ioOut(DOUT_SENS_10V, SENS_10V_ENABLE ? 1 : 0);
    digital_ioOut(DOUT_SENS_12V, SENS_12V_ENABLE ? 1 : 0);

    const uint8_t usb[3] = {USB_PWR_ENABLE, USB_RESET, USB_REG_RESET};
    for (uint8_t kind = 0; kind < 3; ++kind) {
        if (usb[kind] == usbApplied[kind]) continue;
        usbApplied[kind] = usb[kind];
        usbMon_resetRequest(kind, usb[kind]);
    }

    sens_5V_1_i = getSensorPwrI(ADC_CH_SENS_5V_1_I);
    sens_5V_2_i = getSensorPwrI(ADC_CH_SENS_5V_2_I);
    sens_10V_i = getSensorPwrI(ADC_CH_SENS_10V_I);
    sens_5V_1_u = getSensorPwrUpSeq(ADC_CH_SENS_5V_1_U);
    sens_5V_2_u = getSensorPwrUpSeq(ADC_CH_SENS_5V_2_U);
    sens_10V_u = getSensorPwrUpSeq(ADC_CH_SENS_10V_U);
    sens_12V_u = getSensorPwrU(ADC_CH_SENS_12V_U);

    sens_5V_1_curr = sens_5V_1_u < 4500 || sens_5V_1_i > 50 ? 1 : 0;
    sens_5V_2_curr = sens_5V_2_u < 4500 || sens_5V_2_i > 50 ? 1 : 0;
    sens_10V_curr = sens_10V_u < 9500 || sens_10V_i > 50 ? 1 : 0;
    sens_12V_curr = digital_ioIn(DIN_SUPPLY_12V) == 0 ? 1 : 0;
}

// ---- chip monitor ----------------------------------------------------------------------------

void xadc_meas_100ms() {
    tecu_sys = xadc_getChipTemp();
    tecu_sys_mn = xadc_getChipTemp_mn();
    tecu_sys_mx = xadc_getChipTemp_mx();
    vccint_sys = xadc_getVccint();
    vccint_sys_mn = xadc_getVccint_mn();
    vccint_sys_mx = xadc_getVccint_mx();
    vccpint_sys = xadc_getVccpint();
    vccpint_sys_mn = xadc_getVccpint_mn();
    vccpint_sys_mx = xadc_getVccpint_mx();
    vccaux_sys = xadc_getVccaux();
    vccaux_sys_mn = xadc_getVccaux_mn();
    vccaux_sys_mx = xadc_getVccaux_mx();
    vccpaux_sys = xadc_getVccpaux();
    vccpaux_sys_mn = xadc_getVccpaux_mn();
    vccpaux_sys_mx = xadc_getVccpaux_mx();
    vccmem_sys = xadc_getVccMem();
}

// ---- temperature and life time ---------------------------------------------------------------

void tecu_meas_1s() {
    if (tempFirst) {
        tempFirst = false;
        float stored = 0.0f;
        if (nvramst_get_maxTECU(&stored) != 0) {
            lttecu_max = 0; // a new unit has none: the first reading becomes the maximum
        } else if (!(stored >= -40.0f && stored <= 215.0f)) {
            // A value outside the byte's range would wrap and hide (or fake) every later maximum.
            lttecu_max = 0;
            syslogx(LOG_WARN, "tecu_meas_1s: stored maximum temperature %.1f out of range, ignored",
                    static_cast<double>(stored));
        } else {
            lttecu_max = static_cast<uint8_t>(stored + 40.0f);
        }
    }
    const float volts = adc_getVoltageTS(ADC_CH_TECU);
    float degrees;
    if (volts >= TECU_MIN_VOLTS && volts <= TECU_MAX_VOLTS) {
        degrees = utils_lookup(nullptr, TECU_DEGREES, volts, TECU_VOLTS, TECU_LAST);
        tempFault = 0;
    } else {
        degrees = TECU_FAULT_DEGREES;
        tempFault = 1;
    }
    utecu_core = saturate<uint16_t>(static_cast<double>(volts) * 1000.0, 0xFFFF);
    // The extrapolated ends leave the byte's range (below -40 degC above 4.67 V).
    const uint8_t core = saturate<uint8_t>(static_cast<double>(degrees) + 40.0, 255);
    tecu_core = core;
    if (!tempFault && core > lttecu_max) {
        lttecu_max = core;
        const float maxDegrees = static_cast<float>(core) - 40.0f;
        nvramst_set_maxTECU(&maxDegrees);
    }
}

void ltecu_meas_1s() {
    if (!lifeLoaded) {
        lifeLoaded = true;
        uint32_t stored = 0;
        if (nvramst_get_lifeTime(&stored) == 0) lifeSeconds = stored;
    }
    lifeSeconds++;
    const uint32_t tenths = lifeSeconds / 360;
    ltecu = tenths <= 0xFFFF ? static_cast<uint16_t>(tenths) : 0xFFFF;
    nvramst_set_lifeTime(&lifeSeconds);
}

// ---- interpolation -----------------------------------------------------------------------

void utils_binarysearch(uint16_t* lo, uint16_t* hi, float x, const float* xs, uint16_t n) {
    if (x <= xs[0]) {
        *lo = *hi = 0;
        return;
    }
    if (x >= xs[n]) {
        *lo = *hi = n;
        return;
    }
    uint16_t l = 0, h = n;
    while (h - l >= 2) {
        const uint16_t mid = static_cast<uint16_t>((l + h) / 2);
        if (x < xs[mid])
            h = mid;
        else
            l = mid;
    }
    *lo = l;
    *hi = h;
}

float utils_lookup(float* out, const float* ys, float x, const float* xs, uint16_t n) {
    float y;
    if (n == 0) {
        y = ys[0];
    } else {
        uint16_t lo, hi;
        utils_binarysearch(&lo, &hi, x, xs, n);
        // The segment whose slope applies: the bracket, or the end segment outside the table.
        uint16_t a = lo, b = hi;
        if (lo == hi) {
            a = lo == 0 ? 0 : static_cast<uint16_t>(n - 1);
            b = static_cast<uint16_t>(a + 1);
        }
        if ((lo != hi && hi != lo + 1) || (lo == hi && lo != 0 && lo != n) || !(xs[b] > xs[a])) {
            // Only a table that is not ascending gets here; its slope would divide by zero.
            SYSLOGX_GUARDED(LOG_ERR, "utils_lookup() invalid code path");
            y = ys[lo];
        } else {
            const float slope = (ys[b] - ys[a]) / (xs[b] - xs[a]);
            y = ys[lo] + slope * (x - xs[lo]);
        }
    }
    if (out) *out = y;
    return y;
}

void selfmon_reset() {
    setPwrGood(1);
    onCnt = 0;
    ubPin = UECU_DEFAULT_PIN;
    for (uint8_t& u : usbApplied)
        u = 0xFF;
    lifeLoaded = false;
    lifeSeconds = 0;
    tempFirst = true;
    tempFault = 0;
}
