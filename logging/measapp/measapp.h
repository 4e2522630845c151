// The logging application as far as this build has it: remote-control and shutdown requests.
//
// The logging application (measurements m01 logging, m02 telemetry, m03 second logging) as far
// as this build has it: the request flags of remote control and shutdown, acted on by the 1 ms
// step, and the preparation of the logging drives. Measurement configuration, blocks, frames
// and the file store are not built: no measurement is ever configured, nothing is written,
// and the housekeeping calls of the rasters have nothing to do.
#pragma once

#include <cstdint>

// Request and status flags (meas_app_get_flags).
constexpr uint16_t MEAS_APP_REQ_START = 0x001;
constexpr uint16_t MEAS_APP_REQ_STOP = 0x002;
constexpr uint16_t MEAS_APP_REQ_REINIT = 0x004;
constexpr uint16_t MEAS_APP_REQ_DESTROY = 0x008;
constexpr uint16_t MEAS_APP_REQ_BLOCKSTOP = 0x010;
constexpr uint16_t MEAS_APP_REQ_FASTSTOP = 0x020;
constexpr uint16_t MEAS_APP_REQ_STARTCOND = 0x040; // a start condition is being met
constexpr uint16_t MEAS_APP_RUNNING = 0x100;
constexpr uint16_t MEAS_APP_REMOTEINIT_LOCK = 0x200;

// Maximum file counts of logging partition 1, partition 2 and the USB drive (0: no limit
// known, nothing is configured).
extern uint32_t meas_maxFileCnt_part1;
extern uint32_t meas_maxFileCnt_part2;
extern uint32_t meas_maxFileCnt_usb;

void meas_app_ini();
// Waits up to timeoutTicks for the logging drives "meas:" and "meas2:". 0 when both are
// available, -1 after the time-out. mode 1 would also set the existing measurement files
// read-only, which needs the file store.
int meas_app_BootPrepareDisks(int mode, int timeoutTicks);
// 1 ms step: acts on the pending requests.
void meas_app_main();
uint16_t meas_app_get_flags();
// 1 when the pretrigger back ends have flushed their writer data (there are none: always 1).
int meas_app_PreTrigIsOfflineDataFlushed();

// Remote control (shell "meas", XCP, the remote-control queues). Results as the requests
// allow: 1 accepted, 0 refused while another request is pending.
int meas_app_remotestart();
int meas_app_remotestop(uint32_t requester);
int meas_app_remoteinit();
int meas_app_remotedestroy(uint32_t requester);
// Asks for a fast stop (at shutdown) when this unit logs.
void meas_app_remotefaststop();
void meas_app_set_remotectrl_remoteinit_lock();

void meas_app_print_measstate();
void meas_app_print_errorPIDS();
// The shell command "meas <start|stop|state|create|destroy|pidstate>".
int measCommandFunc(int argc, char** argv);

// Housekeeping of the rasters: no measurement blocks, FIFOs or files exist to work on.
void meas_app_saveblock(int raster);
void meas_app_timeout_close(int raster);
void meas_app_check_measconditions();
void meas_app_calc_recording_rates();
void meas_app_check_datatimeout();
void meas_app_checkFragmentTrigOnUSBEvent();
void MeasAppStore_checkForFlush();
void meas_fifo_data_syslog();
void meas_fifo_data_update_load_vars();
void cfg_meas_formatInfos_1s();

// Tests: flags back to 0, the lock deleted.
void meas_app_reset();
