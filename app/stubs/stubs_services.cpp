// Link stubs of the services that are not built yet: they succeed and do nothing.
#include "app/subsystems.h"

#include <cstdio>

cfg_system_t cfg_system = {1, 0, 0, 0xFFFF, 0xFFFF, 0, 0};

uint32_t boot_count_ini() { return 0; }
uint32_t boot_count_get() { return 0; }
void cfg_system_ini() {}
void mem_usage_1s() {}
int applComm_ini() { return 1; }
void applComm_10ms() {}
void applComm_setBlink(int, uint32_t) {}
int error_mgr_init() { return 1; }
void error_mgr_shutdown() {}
int msd_shell_initialize() { return 1; }
void timeserv_init(int, int) {}
void timeserv_MeasTime_ini() {}
void timeserv_MeasTime_1ms() {}
void power_vyn_1ms() {}
void uecu_meas_1ms() {}
void iecu_meas_10ms() {}
void iusb_meas_10ms() {}
void sensor_pwr_10ms() {}
void xadc_meas_100ms() {}
void tecu_meas_1s() {}
void ltecu_meas_1s() {}
// Until the process shell exists every command is accepted (and never called).
int msd_shellAddCommand(const char* cmdName, int (*callback)(int, char**)) {
    return cmdName && callback ? 1 : 0;
}
int error_mgr_set(int, int, uint8_t) { return 1; }
