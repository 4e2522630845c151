// Stands in for the module until it is built: succeeds and does nothing; its commands are
// logged and dropped.
#include "services/timeserv/timeserv.h"

#include "services/syslog/syslog.h"

void timeserv_init(int, int) {}
void timeserv_MeasTime_ini() {}
void timeserv_MeasTime_1ms() {}

namespace {
void dropped(const uint8_t* m, size_t len) {
    if (len >= 18)
        SYSLOGX_GUARDED(LOG_DEBUG, "timeserv: command 0x%04X dropped, not built", m[16] << 8 | m[17]);
}
} // namespace

void timeserv_distributeTime_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void timeserv_newSystemTime_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}
void timeserv_suggestOwnTime_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}

void timeserv_newSystemTime(date_msd d) {
    syslogx(LOG_INFO, "timeserv: new system time %04d-%02d-%02d %02d:%02d:%02d not sent, not built", d.YEAR,
            d.MONTH, d.DAY, d.HOUR, d.MIN, d.SEC);
}
