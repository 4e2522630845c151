// Page and brightness control: the task "r_DispCtrl" samples the page and brightness inputs
// every tick, keeps the selections in the signal page and the non-volatile store and posts the
// page and brightness commands; the brightness curves of the calibration data page.
#include "acquisition/awm/awm_man.h"
#include "acquisition/awm/ledctrl.h"
#include "display/app/disp_main.h"
#include "display/app/display.h"
#include "services/errmgr/errmgr.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {
constexpr int ERR_PATH_DISPLAY = 490;
constexpr int ERR_PAGE_TIMEOUT = 21;
constexpr int ERR_BRIGHTNESS_TIMEOUT = 22;

std::atomic<uint8_t> displayCtrl_state{0};

SEM_ID chanMutex() {
    static SEM_ID m = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return m;
}

// The control task waits on this between cycles: given by a new value of either channel and by
// a start, so that an idle control does not wake on every tick.
SEM_ID ctrlWake() {
    static SEM_ID s = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    return s;
}

// One input of the control: its no-update count, error flag and a post still owed.
struct Input {
    uint32_t noUpdate = 0;
    bool error = false;
    bool owed = false;
};
Input pageIn, brightIn;
uint64_t lastCycle = 0; // the tick of the control's last cycle

uint32_t noUpdateLimit() {
    return static_cast<uint32_t>(sysClkRateGet()) * 60;
}

void watch(CData* chan) {
    if (chan && chan->getMeas()) chan->getMeas()->setWatcher(ctrlWake());
}

// Ticks until the next cycle must run by itself: at once while a post is owed, on the tick its
// time-out comes for a channel that gets no values; else only when woken.
int ticksToNextCycle() {
    int ticks = WAIT_FOREVER;
    disp_chanLock();
    const uint8_t state = displayCtrl_state;
    const std::pair<Input*, bool> ins[] = {{&pageIn, CDispPage::page_chan != nullptr},
                                           {&brightIn, CDispPage::brightness_chan != nullptr}};
    for (auto [in, has] : ins) {
        if (state != 1 && state != 2) break;
        int t = WAIT_FOREVER;
        if (state == 1 || in->owed)
            t = 1;
        else if (has && !in->error)
            t = static_cast<int>(noUpdateLimit() - std::min(in->noUpdate, noUpdateLimit()) + 1);
        if (t != WAIT_FOREVER && (ticks == WAIT_FOREVER || t < ticks)) ticks = t;
    }
    disp_chanUnlock();
    return ticks;
}

int readChan(CData* chan, int* value, int* updated) {
    if (!chan) return 0;
    int fresh = chan->takeNewValue();
    chan->updateData();
    double q = 0;
    chan->getQuantData(q);
    if (std::isnan(q))
        fresh = 0;
    else if (value)
        *value = disp_roundInt(q);
    if (updated) *updated = fresh;
    return 1;
}

// A curve of the data page in use, taken whole point by point: a PC tool may rewrite it meanwhile.
float curve(const seramWord<float>* ys, const seramWord<float>* xs, int last, float x) {
    float y[11], at[11];
    std::copy(ys, ys + last + 1, y);
    std::copy(xs, xs + last + 1, at);
    float out = 0;
    awm_0x02_lookup(&out, y, x, at, static_cast<uint16_t>(last));
    return out;
}

float ledLevel(float factor, float component) {
    const float v = factor * 0.01f * component;
    return std::isnan(v) ? 0.0f : v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
}

// One input's step of a cycle: the value to select and whether to post it.
// `skipped`: cycles without update since the last one that the control did not run.
bool step(Input& in, int has, int updated, int& v, int current, int max, int errType, uint8_t state,
          uint64_t skipped) {
    if (!has) {
        if (state == 1 || in.owed) {
            v = limit1toMax(current, max);
            return true;
        }
        return false;
    }
    if (!updated) {
        v = limit1toMax(current, max);
        in.noUpdate = static_cast<uint32_t>(std::min<uint64_t>(in.noUpdate + skipped, noUpdateLimit()));
        if (in.noUpdate >= noUpdateLimit()) {
            if (!in.error) error_mgr_set(ERR_PATH_DISPLAY, errType, 0);
            in.error = true;
        } else {
            ++in.noUpdate;
        }
    } else {
        v = limit1toMax(v, max);
        in.noUpdate = 0;
        if (in.error) error_mgr_clear(ERR_PATH_DISPLAY);
        in.error = false;
    }
    return v != current || state == 1 || in.owed;
}

void displayCtrl_task(intptr_t, intptr_t, intptr_t, intptr_t) {
    for (;;) {
        displayCtrl_cycle();
        semTake(ctrlWake(), ticksToNextCycle());
    }
}
} // namespace

void disp_chanLock() {
    semTake(chanMutex(), WAIT_FOREVER);
}
void disp_chanUnlock() {
    semGive(chanMutex());
}

int limit1toMax(int v, int max) {
    v = v < 1 ? 1 : v;
    return v > max ? max : v;
}

int displayGetPageChan(int* value, int* updated) {
    return readChan(CDispPage::page_chan, value, updated);
}
int displayGetBrightnessChan(int* value, int* updated) {
    return readChan(CDispPage::brightness_chan, value, updated);
}

float display_brightness_bg(float percent) {
    return curve(CL_DISP_BRIGHT_BG, CL_DISP_BRIGHT_BG_row_, 5, percent);
}

unsigned int display_brightness_colSat(float percent) {
    float v = curve(CL_DISP_BRIGHT_COLSAT, CL_DISP_BRIGHT_COLSAT_row_, 7, percent);
    v = std::isnan(v) ? 0.0f : v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v;
    return static_cast<unsigned int>(v) & 0xFF;
}

float display_brightness_led_red(float component, float percent) {
    return ledLevel(curve(CL_DISP_BRIGHT_LED_RED, CL_DISP_BRIGHT_LED_RED_row_, 10, percent), component);
}
float display_brightness_led_green(float component, float percent) {
    return ledLevel(curve(CL_DISP_BRIGHT_LED_GREEN, CL_DISP_BRIGHT_LED_GREEN_row_, 10, percent), component);
}
float display_brightness_led_blue(float component, float percent) {
    return ledLevel(curve(CL_DISP_BRIGHT_LED_BLUE, CL_DISP_BRIGHT_LED_BLUE_row_, 10, percent), component);
}
const LedBrightnessCurves display_ledCurves{display_brightness_led_red, display_brightness_led_green,
                                            display_brightness_led_blue};

void displayCtrl_ini() {
    displayCtrl_state = 0;
    const TASK_ID tid = taskSpawn("r_DispCtrl", 69, VX_FP_TASK, 10000, displayCtrl_task);
    if (tid == TASK_ID_NULL) {
        syslogx(LOG_ERR, "displayCtrl_ini(): could not start task: %s", std::strerror(errno));
        return;
    }
    if (taskCpuAffinitySet(tid, 1) != OK)
        syslogx(LOG_ERR,
                "displayCtrl_ini() failed to set cpu affinity for DispCtrl, tid %X, cpuset %d, errno %s",
                static_cast<unsigned>(tid), 1, std::strerror(errno));
}

unsigned char displayCtrl_start(unsigned char maxIndex) {
    disp_chanLock();
    if (displayCtrl_state == 0) {
        if (!CDispPage::page_chan)
            syslogx(LOG_INFO, "displayCtrl_start: no page channel configured, no page switching");
        if (!CDispPage::brightness_chan)
            syslogx(LOG_INFO, "displayCtrl_start: no brigntness channel configured, no brightness switching");
        const uint8_t mx = static_cast<uint8_t>(maxIndex + 1);
        display_page_mx = mx;
        auto load = [](uint32_t elem, uint8_t bound, const char* readMsg, auto writeFailed) -> uint8_t {
            uint8_t v = 0;
            bool fix = false;
            if (nvram_dbs_read(elem, 0, &v, 1) != 1) {
                syslogx(LOG_ERR, "%s", readMsg);
                v = 1;
                fix = true;
            }
            if (v == 0 || v > bound) {
                v = v == 0 ? 1 : bound;
                fix = true;
            }
            if (fix && nvram_dbs_write(elem, 0, &v, 1) != 1) writeFailed();
            return v;
        };
        display_page =
            load(nvram_DispPage_Elem.id, mx, "displayCtrl_start: could not read display page from nvram", [] {
                SYSLOGX_GUARDED(LOG_ERR, "displayCtrl_start: could not write display page into nvram");
            });
        display_brightness =
            load(nvram_DispBright_Elem.id, DISPLAY_MAX_BRIGHTNESS,
                 "displayCtrl_start: could not read display brightness from nvram", [] {
                     syslogx(LOG_ERR, "displayCtrl_start: could not write display britghnetss into nvram");
                 });
        pageIn.owed = brightIn.owed = false;
        watch(CDispPage::page_chan);
        watch(CDispPage::brightness_chan);
        lastCycle = tick64Get();
        displayCtrl_state = 1;
        semGive(ctrlWake());
    }
    const unsigned char page = display_page;
    disp_chanUnlock();
    return page;
}

void displayCtrl_stop() {
    disp_chanLock();
    // Also once running: the next start takes the new description's page count.
    if (displayCtrl_state == 1 || displayCtrl_state == 2) {
        display_page = 0;
        display_page_mx = 0;
        display_brightness = 0;
        displayCtrl_state = 0;
    }
    disp_chanUnlock();
}

void displayCtrl_cycle() {
    disp_chanLock();
    const uint8_t state = displayCtrl_state;
    // The cycles a wait left out got no value either (a value wakes the control).
    const uint64_t now = tick64Get();
    const uint64_t skipped = now > lastCycle + 1 ? now - lastCycle - 1 : 0;
    lastCycle = now;
    if (state == 1 || state == 2) {
        bool changed = false;
        int v = display_page, upd = 0;
        int has = displayGetPageChan(&v, &upd);
        if (step(pageIn, has, upd, v, display_page, display_page_mx, ERR_PAGE_TIMEOUT, state, skipped)) {
            display_page = static_cast<uint8_t>(v);
            // A post the queue refused is made again next cycle: shown and stored page stay alike.
            pageIn.owed = displaySwitchPage(static_cast<unsigned>(v - 1)) != 0;
            const uint8_t p = display_page;
            if (has && nvram_dbs_write(nvram_DispPage_Elem.id, 0, &p, 1) != 1)
                syslogx(LOG_ERR, "displayCtrl_task: could not write display page into nvram");
            changed = changed || has;
        }
        v = display_brightness;
        upd = 0;
        has = displayGetBrightnessChan(&v, &upd);
        if (step(brightIn, has, upd, v, display_brightness, DISPLAY_MAX_BRIGHTNESS, ERR_BRIGHTNESS_TIMEOUT,
                 state, skipped)) {
            display_brightness = static_cast<uint8_t>(v);
            brightIn.owed = displayBrightness(static_cast<unsigned>(v - 1)) != 0;
            changed = changed || has;
        }
        displayCtrl_state = 2;
        const uint8_t b = display_brightness;
        if (changed && nvram_dbs_write(nvram_DispBright_Elem.id, 0, &b, 1) != 1)
            syslogx(LOG_ERR, "displayCtrl_task: could not write display brightness into nvram");
    }
    disp_chanUnlock();
}
