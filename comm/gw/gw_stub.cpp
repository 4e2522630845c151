// Stands in for the module until it is built: succeeds and does nothing; its commands are
// logged and dropped.
#include "comm/gw/gw.h"

#include "services/syslog/syslog.h"

void gw_meas_ini() {}
void gw_raster(int) {}
void gw_meas_monitoring() {}
void gw_request_timeout() {}
void gw_meas_1s() {}
void gw_stop() {}

namespace {
void dropped(const uint8_t* m, size_t len) {
    if (len >= 18) SYSLOGX_GUARDED(LOG_DEBUG, "gw: command 0x%04X dropped, not built", m[16] << 8 | m[17]);
}
} // namespace

void gw_meascreate_reply(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void gw_meas_timestamp_err(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void gw_meas2_timestamp_err(const uint8_t* m, size_t len) {
    dropped(m, len);
}
