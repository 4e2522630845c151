// Stands in for the module until it is built: succeeds and does nothing; its commands are
// logged and dropped.
#include "acquisition/lap/laptrigger.h"

#include "services/syslog/syslog.h"

uint32_t laptrigger_getLapTimeStamp() {
    return 0;
}

namespace {
void dropped(const uint8_t* m, size_t len) {
    if (len >= 18)
        SYSLOGX_GUARDED(LOG_DEBUG, "laptrigger: command 0x%04X dropped, not built", m[16] << 8 | m[17]);
}
} // namespace

void laptrigger_signal_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_get_info_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_get_info_reply_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_meas(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_check_outctr_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_reset_lap_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_reset_out_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_reset_lapdist_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_reset_best_laptime_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_incr_outing_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_incr_lap_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void laptrigger_reset_segments_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
