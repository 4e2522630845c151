// The LED array driver: set_single keeps the colour of each LED and wakes the task, which writes
// what changed to the core, so the channel functions' raster never waits on the bus.
#include "acquisition/led/led.h"

#include "platform/hw/hw.h"
#include "platform/hw/zynq_map.h"
#include "platform/os/os.h"
#include "services/applcomm/applcomm.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cmath>

namespace {

constexpr uint32_t LED_ID = 0x4D6C6564; // "Mled"
constexpr int LEDS = zynq::LED_MODULES * zynq::LED_PER_MODULE;
constexpr int LED_TASK_PRIORITY = 145;

std::atomic<uint32_t> wanted[LEDS];
uint32_t written[LEDS];
SEM_ID wake;
std::atomic<TASK_ID> tid{TASK_ID_NULL};

uint32_t component(float v) {
    if (!(v > 0.0f)) return 0;
    return v >= 255.0f ? 255u : static_cast<uint32_t>(std::lround(v));
}

uintptr_t rgbRegister(int i) {
    return zynq::LED_ARRAY_BASE + zynq::LED_REG_RGB + 4u * static_cast<uintptr_t>(i);
}

void ledTask() {
    for (;;) {
        if (semTake(wake, WAIT_FOREVER) != OK) return;
        for (int i = 0; i < LEDS; ++i) {
            const uint32_t v = wanted[i].load();
            if (v == written[i]) continue;
            hw_write32(rgbRegister(i), v);
            written[i] = v;
        }
    }
}

} // namespace

uint8_t ledArray_init() {
    if (hw_read32(zynq::LED_ARRAY_BASE + zynq::LED_REG_ID) != LED_ID) return 0;
    for (int i = 0; i < LEDS; ++i) {
        wanted[i] = written[i] = 0;
        hw_write32(rgbRegister(i), 0);
    }
    hw_write32(zynq::LED_ARRAY_BASE + zynq::LED_REG_CONTROL, 1);
    if (!wake) wake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (!wake) return 0;
    if (tid.load() == TASK_ID_NULL)
        tid = taskSpawn("r_ledArray", LED_TASK_PRIORITY, VX_FP_TASK, 16384,
                        [](intptr_t, intptr_t, intptr_t, intptr_t) { ledTask(); });
    return tid.load() != TASK_ID_NULL ? 1 : 0;
}

void ledArray_set_single(uint8_t position, uint8_t led, float red, float green, float blue) {
    if (position < 1 || position > zynq::LED_MODULES || led >= zynq::LED_PER_MODULE) {
        SYSLOGX_GUARDED(LOG_ERR, "ledArray_set_single: module %u LED %u does not exist", position, led);
        return;
    }
    const uint32_t v = component(red) << 16 | component(green) << 8 | component(blue);
    if (wanted[zynq::LED_PER_MODULE * (position - 1) + led].exchange(v) != v && wake) semGive(wake);
}

void led_init() {}

void led_display() {
    applComm_setBlink(0, meas_led_status);
}

void ledArray_reset() {
    if (const TASK_ID t = tid.exchange(TASK_ID_NULL); t != TASK_ID_NULL) {
        taskDelete(t);
        taskWaitExit(t, WAIT_FOREVER);
    }
    for (int i = 0; i < LEDS; ++i)
        wanted[i] = written[i] = 0;
}
