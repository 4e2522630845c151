// Wiring diagnostic of the analog inputs: each input measured with its pull-up as configured
// and switched the other way, while the normal reads hold their last values.
#include "acquisition/adc/adc.h"
#include "acquisition/adc/adc_private.h"

#include "platform/os/os.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>
#include <ctime>

namespace {

constexpr uint16_t TYPE_ANALOG = 0x100;

struct Entry {
    uint16_t type;
    uint16_t channel;
    uint32_t config;
};
// Set by the channel set-up (start-up, or the restore at the end of a test), read by the task.
Entry entries[ADC_DIAG_ENTRIES];
uint8_t previous = 0; // ADC_DIAGNOSTIC at the last 100 ms cycle
std::atomic<bool> running{false};
std::atomic<void (*)()> restoreHook{nullptr};

int64_t monoMs() {
    timespec ts{};
    osClockGettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int atLeastOne(int ticks) {
    return ticks < 1 ? 1 : ticks;
}

// Mean of ten bypass readings in millivolts, one every 10 ms.
float mean10(uint16_t channel) {
    float sum = 0.0f;
    for (int i = 0; i < 10; ++i) {
        sum += adc_getVoltageBypassUnfilTS(channel) * 1000.0f;
        taskDelay(atLeastOne(sysClkRateGet() / 100));
    }
    return sum * 0.1f;
}

bool near(float mv, float target) {
    return mv >= target - 100.0f && mv <= target + 100.0f;
}

} // namespace

int adc_diagnostic_classify(float on, float off) {
    if (near(on, 0.0f)) return ERROR_MGR_ERR_TYPE_SC_GND;
    if (near(off, 5000.0f)) return ERROR_MGR_ERR_TYPE_SC_BAT;
    if (near(off, 0.0f) && near(on, 5000.0f)) return ERROR_MGR_ERR_TYPE_OPEN_LINE;
    return 0;
}

void adc_diagnostic_ini(uint16_t index, uint16_t type, uint16_t channel, uint32_t config) {
    adc_diagnostic_state = 0;
    if (index >= ADC_DIAG_ENTRIES) return;
    if (type != 0x100 && type != 0x500 && type != 0x600 && type != 0xA00) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_diagnostic_ini: unsupported type 0x%04x", type);
        return;
    }
    // The error path of channel 16 and up would be another input's (or none).
    if (channel >= 16) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_diagnostic_ini: no such channel %u (entry %u)", channel, index);
        return;
    }
    entries[index] = Entry{type, channel, config};
}

void adc_diagnostic_100ms() {
    const uint8_t now = ADC_DIAGNOSTIC;
    if (now == 1 && previous == 0) {
        syslogx(LOG2_INFO, "adc_diagnostic: start diagnostic investigations");
        if (taskSpawn("r_adcDiagTask", 140, VX_FP_TASK, 10000,
                      [](intptr_t, intptr_t, intptr_t, intptr_t) { adc_diagnostic_task(); }) == TASK_ID_NULL)
            syslogx(LOG2_ERR, "adc_diagnostic: start of adcDiagTask task failed!");
    }
    previous = now;
}

void adc_diagnostic_wait4PullUp(int ticks) {
    taskDelay(ticks);
}

void adc_diagnostic_task() {
    if (running.exchange(true)) return;
    const int64_t start = monoMs();
    adc_diagnostic_state = 1;
    adc_setHold(1);
    for (const Entry& e : entries) {
        if (e.type != TYPE_ANALOG) continue;
        const uint8_t bank = e.config >> 15 & 0xFF, pin = e.config >> 23 & 0xFF, configured = e.config >> 31;
        const float v1 = mean10(e.channel);
        adc_pullup_set(bank, pin, configured ? 0 : 1);
        adc_diagnostic_wait4PullUp(atLeastOne(sysClkRateGet() / 20));
        const float v2 = mean10(e.channel);
        const int type = configured ? adc_diagnostic_classify(v1, v2) : adc_diagnostic_classify(v2, v1);
        if (type)
            error_mgr_set(e.channel + 1, type, 0);
        else
            error_mgr_clear(e.channel + 1);
    }
    if (void (*restore)() = restoreHook.load())
        restore();
    else
        for (const Entry& e : entries)
            if (e.type == TYPE_ANALOG)
                adc_pullup_set(e.config >> 15 & 0xFF, e.config >> 23 & 0xFF, e.config >> 31);
    adc_setHold(0);
    adc_diagnostic_state = 0;
    syslogx(LOG2_INFO, "adc_diagnostic: end diagnostic investigations after %d ms",
            static_cast<int>(monoMs() - start));
    running.store(false);
}

void adc_diagnostic_setRestore(void (*restore)()) {
    restoreHook.store(restore);
}

void adc_resetDiagnostic() {
    for (Entry& e : entries)
        e = Entry{};
    previous = 0;
    restoreHook.store(nullptr);
}

void adc_reset() {
    adc_resetDriver();
    adc_resetDiagnostic();
}
