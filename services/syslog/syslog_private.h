// Test access to the system log's state.
#pragma once

#include <cstdint>

extern uint8_t gSyslogEnabled;
extern uint8_t gSyslogThreshold;
extern char syslogDeviceNameString[16];

// Count of calls per severity (also the dropped ones).
uint16_t syslog_getMsgCtr(int severity);
// Forgets the repeat state, counters and the queue-full flag (tests only).
void syslog_reset();
