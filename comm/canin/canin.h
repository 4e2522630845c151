// CAN input decoding into the signal page.
#pragma once

// Time-outs of the received messages, every millisecond.
void CanIn_supervisor_1ms();
