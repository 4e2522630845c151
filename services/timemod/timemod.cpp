#include "services/timemod/timemod.h"

#include "services/rtpman/rtpman.h"
#include "platform/hw/hw.h"
#include "platform/os/os.h"
#include "services/syslog/syslog.h"
#include "services/timemod/fpgacheck.h"
#include "vyn/vartable.h"

#include <atomic>

namespace {

// Accepted versions: 1.01.0B, 1.02.00, 1.03.00.
constexpr uint32_t ACCEPTED_VERSIONS[] = {fpga_packVersion(1, 0x01, 0x0B), fpga_packVersion(1, 0x02, 0x00),
                                          fpga_packVersion(1, 0x03, 0x00), 0};

constexpr uint8_t NO_STATE_SEEN = 0xFF;
std::atomic<uint8_t> lastXState{NO_STATE_SEEN};

uint32_t rd(uintptr_t reg) {
    return hw_read32(TIME_MODULE_BASE + reg);
}
void wr(uintptr_t reg, uint32_t v) {
    hw_write32(TIME_MODULE_BASE + reg, v);
}

// The control register is changed without a lock: only the time service's start-up and
// its master task write it.
void setControl(uint32_t bits, bool on) {
    uint32_t c = rd(TIME_REG_CONTROL);
    wr(TIME_REG_CONTROL, on ? (c | bits) : (c & ~bits));
}

uint8_t stateOf(uint32_t st) {
    return static_cast<uint8_t>(st & TIME_ST_STATE_MASK);
}
uint8_t xStateOf(uint32_t st) {
    return static_cast<uint8_t>(stateOf(st) + ((st & TIME_ST_EXTSYNC) ? 4 : 0));
}
uint8_t qSyncOf(uint32_t st) {
    return static_cast<uint8_t>((st >> TIME_ST_QSYNC_SHIFT) & 0xF);
}
uint8_t qSignalOf(uint32_t st) {
    return static_cast<uint8_t>((st >> TIME_ST_QSIGNAL_SHIFT) & 0x3F);
}
uint8_t bit(uint32_t w, uint32_t mask) {
    return (w & mask) ? 1 : 0;
}

const char* stateName(uint8_t s) {
    switch (s) {
    case TIME_SYNC_FULL:
        return "FULL_SYNC";
    case TIME_SYNC_SIGNAL:
        return "SYNC_SIGNAL";
    case TIME_SYNC_NO_SIGNAL:
        return "NO_SIGNAL";
    default:
        return "UNKNOWN";
    }
}

} // namespace

uint8_t time_init() {
    if (!fpga_IPCoreCompatibilityCheckMult(time_getID(), TIME_MODULE_ID, time_getVersion(),
                                           ACCEPTED_VERSIONS)) {
        SYSLOGX_GUARDED(LOG_ERR, "time_init: Wrong TIME module");
        return 0;
    }
    return 1;
}

uint32_t time_getID() {
    return rd(TIME_REG_ID);
}
uint32_t time_getVersion() {
    return rd(TIME_REG_VERSION);
}
uint32_t time_getTimestamp() {
    return rd(TIME_REG_TIMESTAMP);
}
uint32_t time_getTimestamp_reg() {
    return rd(TIME_REG_TIMESTAMP_REG);
}
uint32_t time_getTimeSteady() {
    return rd(TIME_REG_TIME_STEADY);
}
uint32_t time_getNextGapTimestamp() {
    return rd(TIME_REG_NEXT_GAP_RD);
}
void time_putNextGapTimestamp(uint32_t value) {
    wr(TIME_REG_NEXT_GAP_WR, value);
}

uint8_t time_getSyncState() {
    const uint32_t st = rd(TIME_REG_STATUS);
    const uint8_t x = xStateOf(st);
    if (lastXState.exchange(x) != x) {
        SYSLOGX_GUARDED(LOG_DEBUG, "syncState %s%s at LocTime %d, q signal %d signal %d q sync %d",
                        (st & TIME_ST_EXTSYNC) ? "EXT_" : "", stateName(stateOf(st)),
                        static_cast<int>(time_getTimestamp()), qSignalOf(st), bit(st, TIME_ST_SIGNAL),
                        qSyncOf(st));
    }
    return stateOf(st);
}

uint8_t time_getSyncState_reg() {
    return stateOf(rd(TIME_REG_STATUS));
}
uint8_t time_getSyncXState() {
    return xStateOf(rd(TIME_REG_STATUS));
}
uint8_t time_getExtSyncFlag() {
    return bit(rd(TIME_REG_STATUS), TIME_ST_EXTSYNC);
}
uint8_t time_getPinLevel() {
    return bit(rd(TIME_REG_STATUS), TIME_ST_PINLEVEL);
}
uint8_t time_getQualitySync() {
    return qSyncOf(rd(TIME_REG_STATUS));
}
uint8_t time_getSignalFlag() {
    return bit(rd(TIME_REG_STATUS), TIME_ST_SIGNAL);
}
uint8_t time_getShortCircuitFlag() {
    return bit(rd(TIME_REG_STATUS), TIME_ST_SHORT);
}
uint8_t time_getQualitySignal() {
    return qSignalOf(rd(TIME_REG_STATUS));
}
uint8_t time_getGapErrorCnt() {
    return static_cast<uint8_t>(rd(TIME_REG_ERRCNT) >> 28);
}
uint32_t time_getGlitchesCnt() {
    return rd(TIME_REG_ERRCNT) & 0x0FFFFFFFu;
}
uint8_t time_getMaster() {
    return bit(rd(TIME_REG_CONTROL), TIME_CTRL_MASTER);
}

void time_MrSetControl(uint8_t on) {
    setControl(TIME_CTRL_MASTER | TIME_CTRL_SWITCH, on != 0);
}
void time_modeTest(uint8_t on) {
    time_MrSetControl(on);
}
void time_setSwitch(uint8_t on) {
    setControl(TIME_CTRL_SWITCH, on != 0);
}
void time_switchIOPin(uint8_t on) {
    setControl(TIME_CTRL_IOPIN, on != 0);
}

void time_spinLockNs(uint32_t ns) {
    const uint32_t start = rd(TIME_REG_FREE_RUN);
    for (;;) {
        const uint64_t done = static_cast<uint64_t>(rd(TIME_REG_FREE_RUN) - start) * 20;
        if (done >= ns) return;
        osBusyWaitNs(ns - done); // lets stepped time advance the counter
    }
}

void time_initTimeModule() {
    const uint32_t c = rd(TIME_REG_CONTROL);
    if (c & TIME_CTRL_MASTER) return;
    wr(TIME_REG_CONTROL, c & ~TIME_CTRL_RUN);
    time_spinLockNs(10000);
    wr(TIME_REG_CONTROL, c | TIME_CTRL_RUN);
    wr(TIME_REG_CONTROL, c | TIME_CTRL_RUN | TIME_CTRL_MASTER);
}

int time_initMrIsr() {
    // The manager acknowledges each interrupt by writing 2 to the acknowledge register.
    if (RtpManUsrIntr_Connect(TIME_INTERRUPT, TIME_ISR_QUEUE, 0,
                              static_cast<intptr_t>(TIME_MODULE_BASE + TIME_REG_IRQ_ACK), 0, 2) != 0) {
        SYSLOGX_GUARDED(LOG_ERR, "time_initMrIsr: connecting interrupt %d to %s failed", TIME_INTERRUPT,
                        TIME_ISR_QUEUE);
        return -1; // an interrupt nobody receives stays disabled
    }
    wr(TIME_REG_IRQ_ENABLE, rd(TIME_REG_IRQ_ENABLE) | TIME_IRQ_ENABLE_BIT);
    return 0;
}

void timedistr_measdata_10ms() {
    const uint32_t st = rd(TIME_REG_STATUS);
    const uint32_t errs = rd(TIME_REG_ERRCNT);
    ts_value = rd(TIME_REG_TIMESTAMP);
    ts_steady = rd(TIME_REG_TIME_STEADY);
    ts_gaperrcnt = static_cast<uint8_t>(errs >> 28);
    ts_glcnt = errs & 0x0FFFFFFFu;
    ts_state = stateOf(st);
    ts_qsignal = qSignalOf(st);
    ts_qsync = qSyncOf(st);
    ts_extsync = bit(st, TIME_ST_EXTSYNC);
    ts_signal = bit(st, TIME_ST_SIGNAL);
    ts_short_circ = bit(st, TIME_ST_SHORT);
    ts_pinlevel = bit(st, TIME_ST_PINLEVEL);
    ts_master = bit(rd(TIME_REG_CONTROL), TIME_CTRL_MASTER);
}

void timemod_reset() {
    lastXState = NO_STATE_SEEN;
    fpga_resetModuleList();
}
