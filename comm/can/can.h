// CAN driver client and controllers: frames of two controllers registered, received through
// the process's receive queue and transmitted; the configuration from the data page or
// "cfg:/CAN.xml".
#pragma once

#include <cstdint>

void RtpManUsrCan_Init();
// The bus state of node 0 or 1 as the status block reports it.
void RtpManUsrCan_ReportNodeStatus(int node, uint8_t state);
void canPoll_1ms();
// 1 when the controllers are set up.
int can_CtrlInit();
void can_vyn_ini();
