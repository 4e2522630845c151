#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/adcfifo/adcfifo_private.h"

#include "acquisition/adc/adc.h"
#include "acquisition/board/board.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "services/timeserv/timeserv.h"
#include "vyn/vartable.h"

#include <atomic>
#include <cerrno>

namespace {

constexpr uint32_t NOT_ENABLED = 32;
constexpr uint32_t SLOT_MASK = ADC_FIFO_SLOTS - 1;
constexpr uint32_t RASTER_PERIOD[10] = {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000};
constexpr uint64_t SYNC_PENDING = 1ull << 32;

// The rings: slot i of every ring belongs to timestamp i. The input task fills the slot at
// the write index before it publishes it (write index, then the slot semaphore).
// Readers can still be at a slot when the writer comes round to it again (a scheduler 127
// behind, the mean of ten, the newest slot's readers in other tasks): every value moves in
// one relaxed access (slotLoad, slotStore), which keeps the 1 ms path plain moves.
struct Fifo {
    uint32_t timestamp[ADC_FIFO_SLOTS];
    float adc[ADC_FIFO_ANALOG][ADC_FIFO_SLOTS];
    float adcUnfil[ADC_FIFO_ANALOG][ADC_FIFO_SLOTS];
    uint32_t adcMap[ADC_FIFO_ANALOG];
    float frq[ADC_FIFO_REV][ADC_FIFO_SLOTS];
    uint32_t frqMap[ADC_FIFO_REV];
};
Fifo fifo;
std::atomic<uint16_t> readIndex{0};  // the scheduler's slot
std::atomic<uint16_t> writeIndex{0}; // the slot stored next
std::atomic<uint32_t> globalWritep{0};
std::atomic<uint32_t> globalReadp{0};

SEM_ID trigger = nullptr;
std::atomic<SEM_ID> adcSem{nullptr};
std::atomic<bool> stopped{false};
// A re-phasing request: SYNC_PENDING with the time in the low word, flag and time in one word.
std::atomic<uint64_t> syncRequest{0};
std::atomic<TASK_ID> schedTid{TASK_ID_NULL};
TASK_ID inputTid = TASK_ID_NULL;

// The scheduler's own state.
uint32_t n = 0; // tick count of the slot being processed
uint32_t oldTimestamp = 0;
uint32_t syncToTS = 0;
uint32_t rephasedUntil = 0; // a setback before this slot count follows a re-phasing
SoftSchedCallees callees{};

template <typename T> T slotLoad(T& v) {
    return std::atomic_ref<T>(v).load(std::memory_order_relaxed);
}
template <typename T> void slotStore(T& v, T x) {
    std::atomic_ref<T>(v).store(x, std::memory_order_relaxed);
}

float clampMv(float volts) {
    const float v = volts * 1000.0f;
    return v > 5000.0f ? 5000.0f : v < 0.0f ? 0.0f : v;
}

void inputTask() {
    taskCpuAffinitySet(taskIdSelf(), 1);
    for (;;) {
        if (semTake(trigger, WAIT_FOREVER) != OK) {
            if (taskDeleteRequested()) return;
            continue;
        }
        adc_fifo_inputPass();
    }
}

void schedPass(bool taken, int error) {
    SEM_ID sem = adcSem.load(std::memory_order_acquire);
    if (!taken) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_calc_meas: semTake 'adc_sem' failed. ID: %u. Errorcode: %d",
                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(sem)), error);
        return;
    }
    uint32_t readp = globalReadp.load(std::memory_order_relaxed);
    const uint32_t writep = globalWritep.load(std::memory_order_acquire);
    const uint32_t lag = writep - readp;
    // Left over from a skip whose counts were not all taken yet: no slot behind it.
    if (lag == 0 || lag > 0x80000000u) return;
    // 128 or more behind: the ring has overwritten the slot (the writer may be at it now).
    // Go on with the oldest intact one, keeping the raster phase.
    const bool overflow = lag >= ADC_FIFO_SLOTS;
    if (overflow) {
        const uint32_t skipped = lag - (ADC_FIFO_SLOTS - 1);
        for (uint32_t i = 0; i < skipped && semTake(sem, NO_WAIT) == OK; ++i) {
        }
        readp += skipped;
        n += skipped;
    }
    const uint16_t idx = static_cast<uint16_t>(readp & SLOT_MASK);
    readIndex.store(idx, std::memory_order_relaxed);
    const uint32_t ts = slotLoad(fifo.timestamp[idx]);
    const uint64_t request = syncRequest.exchange(0, std::memory_order_acquire);
    if (request & SYNC_PENDING) {
        syncToTS = static_cast<uint32_t>(request);
        n = syncToTS / 10;
        rephasedUntil = readp + ADC_FIFO_SLOTS;
        syslogx(LOG_DEBUG, "SoftSched: jumping to full sync... at %d sync to %d, cnt %d",
                static_cast<int>(ts), static_cast<int>(syncToTS), static_cast<int>(n));
    }
    if (overflow) {
        SYSLOGX_RATE_GUARDED(
            LOG_ERR,
            "adc_calc_meas() timestamp setback / queue overflow!!! old: %d now: %d sync: %d, "
            "read %d write %d (diff %d vs. Qsz %d)",
            static_cast<int>(oldTimestamp), static_cast<int>(ts), static_cast<int>(syncToTS),
            static_cast<int>(readp - (lag - (ADC_FIFO_SLOTS - 1))), static_cast<int>(writep),
            static_cast<int>(lag), ADC_FIFO_SLOTS);
    } else if (ts < oldTimestamp) {
        if (static_cast<int32_t>(rephasedUntil - readp) > 0)
            syslogx(
                LOG_DEBUG,
                "adc_calc_meas() timestamp setback on sync; old: %d now: %d, read %d write %d (diff %d vs. "
                "Qsz %d)",
                static_cast<int>(oldTimestamp), static_cast<int>(ts), static_cast<int>(readp),
                static_cast<int>(writep), static_cast<int>(lag), ADC_FIFO_SLOTS);
        else
            SYSLOGX_RATE_GUARDED(
                LOG_ERR,
                "adc_calc_meas() timestamp setback / queue overflow!!! old: %d now: %d sync: %d, "
                "read %d write %d (diff %d vs. Qsz %d)",
                static_cast<int>(oldTimestamp), static_cast<int>(ts), static_cast<int>(syncToTS),
                static_cast<int>(readp), static_cast<int>(writep), static_cast<int>(lag), ADC_FIFO_SLOTS);
    }
    oldTimestamp = ts;
    for (uint16_t r = 0; r < 10; ++r) {
        if (n % RASTER_PERIOD[r]) continue;
        if (callees.schedCall) callees.schedCall(r, ts);
        if (callees.measCopy) callees.measCopy(r, ts);
        if (r == 3 && callees.adjust) callees.adjust();
    }
    globalReadp.store(readp + 1, std::memory_order_release);
    ++n;
}

void schedTask() {
    SEM_ID sem = semCCreate(SEM_Q_PRIORITY, 0);
    if (!sem) {
        syslogx(LOG2_ERR, "adc_calc_meas(): semCCreate failed");
        return;
    }
    adcSem.store(sem, std::memory_order_release);
    for (;;) {
        const bool taken = semTake(sem, WAIT_FOREVER) == OK;
        const int error = errno;
        if (taskDeleteRequested()) return;
        schedPass(taken, error);
    }
}

float ring(float (*rings)[ADC_FIFO_SLOTS], const uint32_t* map, int count, uint16_t channel, uint32_t slot) {
    if (channel >= count || map[channel] >= static_cast<uint32_t>(count)) return 0.0f;
    return slotLoad(rings[map[channel]][slot & SLOT_MASK]);
}

uint32_t syncSlot() {
    return readIndex.load(std::memory_order_relaxed);
}

uint32_t newestSlot() {
    return writeIndex.load(std::memory_order_acquire) + SLOT_MASK;
}

float avg10(float (*rings)[ADC_FIFO_SLOTS], const uint32_t* map, int count, uint16_t channel) {
    float sum = 0.0f;
    const uint32_t slot = syncSlot();
    for (uint32_t k = 0; k < 10; ++k)
        sum += ring(rings, map, count, channel, slot + ADC_FIFO_SLOTS - k);
    return sum * 0.1f;
}

void endTask(TASK_ID tid) {
    if (tid != TASK_ID_NULL && taskDelete(tid) == OK) taskWaitExit(tid, WAIT_FOREVER);
}

void fillMaps() {
    for (uint32_t ch = 0; ch < ADC_FIFO_ANALOG; ++ch)
        fifo.adcMap[ch] = pinConfig_getAnaEnabled() ? ch : NOT_ENABLED;
    for (uint32_t ch = 0; ch < ADC_FIFO_REV; ++ch)
        fifo.frqMap[ch] = pinConfig_getRevEnabled() ? ch : NOT_ENABLED;
}

} // namespace

void adc_fifo_ini() {
    fillMaps();
    trigger = semCCreate(SEM_Q_FIFO, 0);
    if (trigger)
        inputTid = taskSpawn("r_vynInput", 29, VX_FP_TASK, 100000,
                             [](intptr_t, intptr_t, intptr_t, intptr_t) { inputTask(); });
}

void start_softSched() {
    const TASK_ID tid = taskSpawn("r_tAWM_SS", 81, VX_FP_TASK, 100000,
                                  [](intptr_t, intptr_t, intptr_t, intptr_t) { schedTask(); });
    if (tid == TASK_ID_NULL) syslogx(LOG_ERR, "start_softSched(): start of t_tAWM_SS task failed!");
    schedTid.store(tid);
}

void adc_fifo_1ms() {
    if (!trigger || semGive(trigger) != OK)
        SYSLOGX_GUARDED(LOG_ERR, "adc_fifo_1ms(): could not give semaphore");
}

void adc_filter_stop() {
    stopped.store(true);
}

void softSchedSyncTo100ms(uint32_t ts) {
    SEM_ID sem = adcSem.load(std::memory_order_acquire);
    SEM_INFO info{};
    uint64_t back = 0;
    if (sem && semInfoGet(sem, &info) == OK) {
        // Ready: not waiting for a slot (it has one to process before the request's slot).
        const bool ready = schedTid.load() != TASK_ID_NULL && info.numWaiting == 0;
        back = 10ull * (static_cast<uint64_t>(info.count) + (ready ? 1 : 0));
    }
    // Right after start the time can be smaller than the slots still pending: not below 0.
    const uint32_t to = back > ts ? 0 : static_cast<uint32_t>(ts - back);
    syncRequest.store(SYNC_PENDING | to, std::memory_order_release);
}

void softSched_setCallees(const SoftSchedCallees& c) {
    callees = c;
}

void adc_fifo_inputPass() {
    const uint32_t writep = globalWritep.load(std::memory_order_relaxed);
    ss_delay = static_cast<uint16_t>(writep - globalReadp.load(std::memory_order_relaxed));
    SEM_ID sem = adcSem.load(std::memory_order_acquire);
    if (!sem || stopped.load()) return;
    const uint32_t ts = timeserv_getMeasTime();
    const uint16_t w = writeIndex.load(std::memory_order_relaxed);
    for (uint16_t ch = 0; ch < ADC_FIFO_ANALOG; ++ch) {
        slotStore(fifo.adc[ch][w], clampMv(adc_getVoltageTS(ch)));
        slotStore(fifo.adcUnfil[ch][w], clampMv(adc_getVoltageUnfilTS(ch)));
    }
    for (uint8_t ch = 0; ch < ADC_FIFO_REV; ++ch)
        slotStore(fifo.frq[ch][w], RotationalSpeed_GetSpeed(ch));
    slotStore(fifo.timestamp[w], ts);
    writeIndex.store(static_cast<uint16_t>((w + 1) & SLOT_MASK), std::memory_order_release);
    globalWritep.store(writep + 1, std::memory_order_release);
    semGive(sem);
}

bool softSched_step() {
    SEM_ID sem = adcSem.load(std::memory_order_acquire);
    if (!sem || semTake(sem, NO_WAIT) != OK) return false;
    schedPass(true, 0);
    return true;
}

void softSched_failedWait() {
    schedPass(false, ETIMEDOUT);
}

void adc_fifo_reset(bool stepped) {
    endTask(inputTid);
    endTask(schedTid.exchange(TASK_ID_NULL));
    inputTid = TASK_ID_NULL;
    if (trigger) semDelete(trigger);
    trigger = nullptr;
    if (SEM_ID sem = adcSem.exchange(nullptr)) semDelete(sem);
    fifo = Fifo{};
    readIndex = 0;
    writeIndex = 0;
    globalWritep = 0;
    globalReadp = 0;
    stopped = false;
    syncRequest = 0;
    n = oldTimestamp = syncToTS = rephasedUntil = 0;
    callees = SoftSchedCallees{};
    adc_rangemon_reset();
    if (!stepped) return;
    fillMaps();
    adcSem.store(semCCreate(SEM_Q_PRIORITY, 0));
}

float adc_get_adcchannel_sync(uint16_t channel) {
    return ring(fifo.adc, fifo.adcMap, ADC_FIFO_ANALOG, channel, syncSlot());
}
float adc_get_adcchannel_newest(uint16_t channel) {
    return ring(fifo.adc, fifo.adcMap, ADC_FIFO_ANALOG, channel, newestSlot());
}
float adc_get_adc_unfil_sync(uint16_t channel) {
    return ring(fifo.adcUnfil, fifo.adcMap, ADC_FIFO_ANALOG, channel, syncSlot());
}
float adc_get_adc_unfil_newest(uint16_t channel) {
    return ring(fifo.adcUnfil, fifo.adcMap, ADC_FIFO_ANALOG, channel, newestSlot());
}
float adc_get_adc_unfil_avg10(uint16_t channel) {
    return avg10(fifo.adcUnfil, fifo.adcMap, ADC_FIFO_ANALOG, channel);
}
float adc_get_frqchannel_sync(uint16_t channel) {
    return ring(fifo.frq, fifo.frqMap, ADC_FIFO_REV, channel, syncSlot());
}
float adc_get_frqchannel_newest(uint16_t channel) {
    return ring(fifo.frq, fifo.frqMap, ADC_FIFO_REV, channel, newestSlot());
}

// No differential, LVDT, QS or HSL inputs on this unit.
#define ADC_NO_INPUT(name)                                                                                   \
    float name(uint16_t) {                                                                                   \
        return 0.0f;                                                                                         \
    }
ADC_NO_INPUT(adc_get_diffchannel_sync)
ADC_NO_INPUT(adc_get_diffchannel_newest)
ADC_NO_INPUT(adc_get_diff_unfil_sync)
ADC_NO_INPUT(adc_get_diff_unfil_newest)
ADC_NO_INPUT(adc_get_diff_unfil_avg10)
ADC_NO_INPUT(adc_get_lvdtchannel_sync)
ADC_NO_INPUT(adc_get_lvdtchannel_newest)
ADC_NO_INPUT(adc_get_lvdt_unfil_sync)
ADC_NO_INPUT(adc_get_lvdt_unfil_newest)
ADC_NO_INPUT(adc_get_lvdt_unfil_avg10)
ADC_NO_INPUT(adc_get_QSchannel)
ADC_NO_INPUT(adc_get_QS_unfil)
ADC_NO_INPUT(adc_get_QS_unfil_avg10)
ADC_NO_INPUT(adc_get_hslchannel_sync)
ADC_NO_INPUT(adc_get_hslchannel_newest)
ADC_NO_INPUT(adc_get_hsl_unfil_sync)
ADC_NO_INPUT(adc_get_hsl_unfil_newest)
ADC_NO_INPUT(adc_get_hsl_unfil_avg10)

void adc_get_highspeed_values() {}
