// Reads the records the process sent to "/syslogq" (the platform's collector is not
// running in unit tests, so the test drains the queue itself).
#pragma once

#include "services/syslog/syslog.h"

#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
    int priority;
    std::string task;
    std::string device;
    std::string text;
};

// Sets the log up once (queue + init) and empties the queue.
void logStart();
// Everything logged since the last call.
std::vector<LogLine> logDrain();
// True when some line drained so far contains `needle`; drains first.
bool logContains(std::vector<LogLine>& seen, const std::string& needle);

} // namespace testsupport
