// Range monitoring: every 100 ms each registered input's newest unfiltered value against its
// window; outside sets "Below threshold" or "Above threshold" on the input's error path (again
// every cycle), the first cycle back inside clears it.
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/adcfifo/adcfifo_private.h"

#include "platform/os/os.h"
#include "services/errmgr/errmgr.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <atomic>

namespace {

struct Entry {
    int32_t upper;
    int32_t lower;
    uint16_t type;
    uint16_t channel;
};
Entry entries[ADC_RANGEMON_ENTRIES];
std::atomic<uint8_t> active{0};

// The set-up may run again (after a wiring test) while the 100 ms raster checks.
SEM_ID entriesLock() {
    static SEM_ID lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    return lock;
}

// One input kind: its reading, error words and first error path.
template <typename Word>
void check(const Entry& e, float (*read)(uint16_t), Word& lowWord, Word& highWord, int path) {
    const int32_t v = static_cast<int32_t>(read(e.channel));
    const auto bit = static_cast<Word>(1u << e.channel);
    Word low = lowWord, high = highWord;
    if (v < e.lower) {
        lowWord = static_cast<Word>(low | bit);
        highWord = static_cast<Word>(high & ~bit);
        error_mgr_set(path + e.channel, ERROR_MGR_ERR_TYPE_BELOW_THRESHOLD, 0);
    } else if (v > e.upper) {
        lowWord = static_cast<Word>(low & ~bit);
        highWord = static_cast<Word>(high | bit);
        error_mgr_set(path + e.channel, ERROR_MGR_ERR_TYPE_ABOVE_THRESHOLD, 0);
    } else if ((low | high) & bit) {
        lowWord = static_cast<Word>(low & ~bit);
        highWord = static_cast<Word>(high & ~bit);
        error_mgr_clear(path + e.channel);
    }
}

} // namespace

void adc_rangemon_ini(uint16_t index, uint16_t type, uint16_t channel, int32_t upper, int32_t lower) {
    if (index >= ADC_RANGEMON_ENTRIES) return;
    if (type != 0x100 && type != 0x500 && type != 0x600 && type != 0x800 && type != 0xA00) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_rangemon_ini: unsupported type 0x%4x", type);
        return;
    }
    // A channel beyond the error word would set another input's bit, or none, and report on
    // another input's error path.
    if ((type == 0x100 && channel >= 16) || ((type == 0x500 || type == 0x600) && channel >= 8)) {
        SYSLOGX_GUARDED(LOG_ERR, "adc_rangemon_ini: no such channel %u (type 0x%04x, entry %u)", channel,
                        type, index);
        return;
    }
    semTake(entriesLock(), WAIT_FOREVER);
    entries[index] = Entry{upper, lower, type, channel};
    semGive(entriesLock());
}

void adc_rangemon_enable() {
    active.store(1);
}

void adc_rangemon_disable() {
    active.store(0);
}

void adc_rangemon_100ms() {
    if (!active.load()) return;
    semTake(entriesLock(), WAIT_FOREVER);
    for (const Entry& e : entries) {
        // The words are read and written back whole: the signal page holds them for PC tools.
        if (e.type == 0x100) {
            uint16_t low = rangemon_adc_low_error_, high = rangemon_adc_high_error_;
            check(e, adc_get_adc_unfil_newest, low, high, ERROR_MGR_PATH_ANA01);
            rangemon_adc_low_error_ = low, rangemon_adc_high_error_ = high;
        } else if (e.type == 0x500) {
            uint8_t low = rangemon_diff_low_error_, high = rangemon_diff_high_error_;
            check(e, adc_get_diff_unfil_newest, low, high, ERROR_MGR_PATH_ANA_DIFF01);
            rangemon_diff_low_error_ = low, rangemon_diff_high_error_ = high;
        } else if (e.type == 0x600) {
            uint8_t low = rangemon_lvdt_low_error_, high = rangemon_lvdt_high_error_;
            check(e, adc_get_lvdt_unfil_newest, low, high, ERROR_MGR_PATH_LVDT01);
            rangemon_lvdt_low_error_ = low, rangemon_lvdt_high_error_ = high;
        }
    }
    semGive(entriesLock());
}

void adc_rangemon_reset() {
    for (Entry& e : entries)
        e = Entry{};
    active.store(0);
    rangemon_adc_low_error_ = 0, rangemon_adc_high_error_ = 0;
    rangemon_diff_low_error_ = 0, rangemon_diff_high_error_ = 0;
    rangemon_lvdt_low_error_ = 0, rangemon_lvdt_high_error_ = 0;
}
