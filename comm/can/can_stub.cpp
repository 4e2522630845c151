// Stands in for the module until it is built: succeeds and does nothing, but tells the
// measurement server that CAN is set up (it answers no state query before).
#include "comm/can/can.h"

#include "comm/measman/meas_man.h"

void RtpManUsrCan_Init() {}
void RtpManUsrCan_ReportNodeStatus(int, uint8_t) {}
void canPoll_1ms() {}
int can_CtrlInit() {
    return 1;
}
void can_vyn_ini() {
    meas_man_CanIO_initialized();
}
