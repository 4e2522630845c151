// Link stubs of measurement logging until its least build lands: they succeed at once.
#include "app/subsystems.h"

void meas_app_ini() {}
int meas_app_BootPrepareDisks(int, int) { return 0; }
void meas_app_main() {}
void meas_app_saveblock(int) {}
void meas_app_timeout_close(int) {}
void meas_app_check_measconditions() {}
void meas_app_calc_recording_rates() {}
void meas_app_check_datatimeout() {}
void meas_app_checkFragmentTrigOnUSBEvent() {}
void MeasAppStore_checkForFlush() {}
void meas_fifo_data_syslog() {}
void meas_fifo_data_update_load_vars() {}
uint16_t meas_app_get_flags() { return 0; }
void meas_app_remotefaststop() {}
int meas_app_PreTrigIsOfflineDataFlushed() { return 1; }
void sblk_task_init(const char*, int, int, int) {}
void sblk_task_trigger_fast() {}
void sblk_task_trigger_slow() {}
void sblk_power_down() {}
void eventChannelsInit() {}
void eventChannels_10ms() {}
int eventlogging_service_init() { return 1; }
int LapOutFra_init() { return 0; }
void LapOutFra_getState(LapOutFraState* s) { *s = LapOutFraState{}; }
void LapOutFra_initLapOutCnt(uint16_t, uint16_t) {}
void LapOutFra_queryLapOutCntTask() {}
void LapOutFra_checkExtLaptrgInit() {}
void cfg_meas_formatInfos_1s() {}
