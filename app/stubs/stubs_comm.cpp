// Link stubs of CAN and the device network until they are built: they succeed and do nothing.
#include "app/subsystems.h"

void RtpManUsrCan_Init() {}
void RtpManUsrCan_ReportNodeStatus(int, uint8_t) {}
void canPoll_1ms() {}
int can_CtrlInit() {
    return 1;
}
void can_vyn_ini() {}
void CanOut_send_message(int) {}
void CanOut_event_message() {}
void CanOut_stop() {}
void CanIn_supervisor_1ms() {}
void ccpmr_ini() {}
void ccpmr_10ms() {}
void xcpmr_ini() {}
void xcpmr_10ms() {}
void routing_ini() {}
void comint_ini() {}
void meas_man_ini() {}
void meas_man_10ms() {}
void meas_man_copy(int, uint32_t) {}
void gw_meas_ini() {}
void gw_raster(int) {}
void gw_meas_monitoring() {}
void gw_request_timeout() {}
void gw_meas_1s() {}
void gw_stop() {}
void SerNet_man_ini() {}
void SerNet_man_1s() {}
void SerNet_man_sender_online(int) {}
void SerNet_man_sender_offline(int) {}
void SerNet_man_flush_online() {}
void SerNet_man_flush_offline() {}
void dynkomm_ini() {}
void BC2_init() {}
void BC2_stop() {}
void msdcom_dbg_10ms() {}
void msdcom_dbg() {}
void tele_app_ini() {}
// No CCP/XCP-master channel exists yet.
void* ccpmr_GetAddr(uint32_t) {
    return nullptr;
}
void* xcpmr_GetAddr(uint32_t) {
    return nullptr;
}
