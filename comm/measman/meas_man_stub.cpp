// Stands in for the module until it is built: succeeds and does nothing; its commands are
// logged and dropped.
#include "comm/measman/meas_man.h"

#include "services/syslog/syslog.h"

void meas_man_ini() {}
void meas_man_10ms() {}
void meas_man_copy(int, uint32_t) {}

namespace {
void dropped(const uint8_t* m, size_t len) {
    if (len >= 18)
        SYSLOGX_GUARDED(LOG_DEBUG, "meas_man: command 0x%04X dropped, not built", m[16] << 8 | m[17]);
}
} // namespace

void meas_man_create(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_break(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_speed(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_kill_my_measurements(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_get_measurement_state(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_create2_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_meas2_create_reply(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_break2(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_break2_reply(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_speed2(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_speed2_reply(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_get_measurement_state2(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void meas_man_get_measurement_state2_reply(const uint8_t* m, size_t len) {
    dropped(m, len);
}
