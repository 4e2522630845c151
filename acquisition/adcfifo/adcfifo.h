// ADC FIFO and soft scheduler: the inputs' sample rings and the channel functions run from them.
//
// ADC FIFO and soft scheduler: every millisecond the input task "r_vynInput" stores the 16
// analog inputs (filtered and unfiltered, millivolts) and the 4 rotational speeds with the
// measurement time in 128-slot rings; the soft scheduler "r_tAWM_SS" takes the slots one by
// one and runs, for each raster 0 to 9 whose period divides the tick count, the channel
// functions' call list and then the measurement copy. Range monitoring of the inputs.
#pragma once

#include <cstdint>

constexpr int ADC_FIFO_SLOTS = 128;
constexpr int ADC_FIFO_ANALOG = 16;
constexpr int ADC_FIFO_REV = 4;

// Channel maps, the input trigger and the input task.
void adc_fifo_ini();
// Wakes the input task (1 ms raster).
void adc_fifo_1ms();
// The input task stores no more slots (shutdown).
void adc_filter_stop();
void start_softSched();
// Re-phases the tick count to measurement time `ts` (100 us units) at the next pass.
void softSchedSyncTo100ms(uint32_t ts);

// What the scheduler calls per raster pass: the channel functions' call list, the
// measurement copy, and after raster 3 the adjustment cycle. Wired by the start-up.
struct SoftSchedCallees {
    void (*schedCall)(uint16_t raster, uint32_t ts);
    void (*measCopy)(int raster, uint32_t ts);
    void (*adjust)();
};
void softSched_setCallees(const SoftSchedCallees& callees);

// Getters: channel number (0-based) → the value of the slot the scheduler processes (_sync),
// of the newest slot, or the mean of the scheduler's slot and the 9 before it. Analog in
// millivolts, rotational speed as the core gives it; 0.0 for a channel of 16 (4) or more or
// one that is not enabled. This unit has no differential, LVDT, QS or HSL inputs: 0.0.
float adc_get_adcchannel_sync(uint16_t channel);
float adc_get_adcchannel_newest(uint16_t channel);
float adc_get_adc_unfil_sync(uint16_t channel);
float adc_get_adc_unfil_newest(uint16_t channel);
float adc_get_adc_unfil_avg10(uint16_t channel);
float adc_get_frqchannel_sync(uint16_t channel);
float adc_get_frqchannel_newest(uint16_t channel);
float adc_get_diffchannel_sync(uint16_t channel);
float adc_get_diffchannel_newest(uint16_t channel);
float adc_get_diff_unfil_sync(uint16_t channel);
float adc_get_diff_unfil_newest(uint16_t channel);
float adc_get_diff_unfil_avg10(uint16_t channel);
float adc_get_lvdtchannel_sync(uint16_t channel);
float adc_get_lvdtchannel_newest(uint16_t channel);
float adc_get_lvdt_unfil_sync(uint16_t channel);
float adc_get_lvdt_unfil_newest(uint16_t channel);
float adc_get_lvdt_unfil_avg10(uint16_t channel);
float adc_get_QSchannel(uint16_t channel);
float adc_get_QS_unfil(uint16_t channel);
float adc_get_QS_unfil_avg10(uint16_t channel);
float adc_get_hslchannel_sync(uint16_t channel);
float adc_get_hslchannel_newest(uint16_t channel);
float adc_get_hsl_unfil_sync(uint16_t channel);
float adc_get_hsl_unfil_newest(uint16_t channel);
float adc_get_hsl_unfil_avg10(uint16_t channel);
void adc_get_highspeed_values();

// Range monitoring: entry `index` (0 to 33) watches `channel` of `type` (0x100 analog, 0x500
// differential, 0x600 LVDT; 0x800 and 0xA00 kept, not checked) against the limits in mV;
// an analog channel of 16 or more (differential or LVDT 8 or more) is refused.
constexpr int ADC_RANGEMON_ENTRIES = 34;
void adc_rangemon_ini(uint16_t index, uint16_t type, uint16_t channel, int32_t upper, int32_t lower);
void adc_rangemon_enable();
void adc_rangemon_disable();
void adc_rangemon_100ms();

// Single-threaded tests: one pass of the input task after its wake; one pass of the
// scheduler after a wait that succeeded (a slot taken without waiting; false when none was
// stored) or failed.
void adc_fifo_inputPass();
bool softSched_step();
void softSched_failedWait();
// Tests: tasks ended, rings, counts, maps, callees and range monitoring cleared; with
// `stepped` the maps are filled and the slot semaphore exists as if the scheduler had started.
void adc_fifo_reset(bool stepped);
