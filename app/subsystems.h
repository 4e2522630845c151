// Operations of the other subsystems that the process frame (start-up, shutdown, raster
// bodies) calls. Each subsystem's module declares these in its own header once it exists;
// until then they are declared here and defined as link stubs in app/stubs/ (one file per
// subsystem), which succeed and do nothing. A module that lands deletes its stubs and
// moves its declarations out of this file.
#pragma once

#include <cstdint>

#include "services/errmgr/errmgr.h"
#include "services/nvram/nvram.h"
#include "services/nvramst/nvramst.h"
#include "services/timemod/timemod.h"

// ---- subsystem 1: services not built yet -----------------------------------------------
#include "services/applcomm/applcomm.h"
#include "services/selfmon/selfmon.h"
#include "services/sysrole/sysrole.h"

int msd_shell_initialize();
void timeserv_init(int enable, int master);
void timeserv_MeasTime_ini();
void timeserv_MeasTime_1ms();
// Shell command registration (process shell): nonzero when the platform accepted it.
int msd_shellAddCommand(const char* cmdName, int (*callback)(int argc, char** argv));

// ---- subsystem 2: calibration memory and access --------------------------------------------
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "calibration/variables/variables.h"
void meascalinfo_virtchan_ini();
int xcpInitialize();
void xcp_shutdown_now();
void xcpSendDAQ(int event);
void xcp_100ms();
int cmdFuncGetScrutInfo(int argc, char** argv); // the "scrutInfo_RTP<index>" shell command

// ---- subsystem 3: CAN and device network ---------------------------------------------------
void RtpManUsrCan_Init();
// CAN driver client: the bus state of node 0 or 1 as the status block reports it.
void RtpManUsrCan_ReportNodeStatus(int node, uint8_t state);
void canPoll_1ms();
int can_CtrlInit();
void can_vyn_ini();
void CanOut_send_message(int raster);
void CanOut_event_message();
void CanOut_stop();
void CanIn_supervisor_1ms();
void ccpmr_ini();
void ccpmr_10ms();
void xcpmr_ini();
void xcpmr_10ms();
void routing_ini();
void comint_ini();
void meas_man_ini();
void meas_man_10ms();
void meas_man_copy(int raster, uint32_t stamp);
void gw_meas_ini();
void gw_raster(int raster);
void gw_meas_monitoring();
void gw_request_timeout();
void gw_meas_1s();
void gw_stop();
void SerNet_man_ini();
void SerNet_man_1s();
void SerNet_man_sender_online(int raster);
void SerNet_man_sender_offline(int raster);
void SerNet_man_flush_online();
void SerNet_man_flush_offline();
void dynkomm_ini();
void BC2_init();
void BC2_stop();
void msdcom_dbg_10ms();
void msdcom_dbg();
void tele_app_ini();
// Value slot of a CCP/XCP-master channel (slot number in bits 0 to 11), null when none.
void* ccpmr_GetAddr(uint32_t address);
void* xcpmr_GetAddr(uint32_t address);

// ---- subsystem 4: acquisition, channel functions, model ------------------------------------
#include "acquisition/board/board.h"
uint8_t adc_init();
// Analog-input core: volts of a channel's filtered result; the newest unfiltered sample in
// millivolts; converter restart; pull-ups written again.
float adc_getVoltageTS(uint16_t channel);
float adc_get_adc_unfil_newest(uint16_t channel);
uint8_t adc_reInit();
uint8_t adc_pullup_reInit();
uint8_t spi_IOInit();
uint8_t max7301_Init();
uint8_t adc_pullup_init();
uint8_t pwmout_init();
uint8_t ledArray_init();
uint8_t RotationalSpeed_Init();
void adc_fifo_ini();
void adc_fifo_1ms();
void adc_filter_stop();
void adc_rangemon_100ms();
void adc_diagnostic_100ms();
void ana_100ms();
void start_softSched();
void led_init();
void led_display();
void gps_init();
void awm_man_ini();
void awm_man_stop();
// Measurement of a channel-function output (vc_id): a nonzero measurement handle, with the
// output value's address in *valueAddr; null when there is no such output.
void* awm_man_AWM_setupMeasure(uint32_t vcId, uint16_t raster, void** valueAddr);
uint16_t awm_man_AWM_getLatency(void* handle);
int awm_man_AWM_shutdownMeasure(void* handle);
// A download into the volatile adapt page: stores the adjustment records it touched.
void awm_man_dwnl_adj_data(const void* data, const void* physAddr, uint16_t length);
uint8_t simulink_initialize();
void callSimulinkFunc(int rate, int call);
void vyn_data_1ms();
void vyn_data_10ms();
void vyn_data_100ms();
void rev_in_vyn_100ms();
void pwmdiag_100ms();
void pwmout_shutdown();
uint32_t laptrigger_getLapTimeStamp();

// ---- subsystem 5: measurement logging ------------------------------------------------------
#include "logging/eventlog/eventlog.h"
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/measapp/measapp.h"
#include "logging/sblk/sblk.h"

// ---- subsystem 7: display application ------------------------------------------------------
void displayCtrl_ini();
void displayInit();
int displayStart();
void displayJoin();
