#include "logcapture.h"

#include "services/syslog/syslog_private.h"

#include <cstring>

namespace testsupport {

void logStart() {
    syslog_queue_init();
    syslog_init();
    syslog_reset();
    logDrain();
}

std::vector<LogLine> logDrain() {
    std::vector<LogLine> out;
    MSG_Q_ID q = syslog_getQueue();
    if (!q) return out;
    syslog_msg_t rec;
    for (;;) {
        std::memset(&rec, 0, sizeof rec);
        int n = msgQReceive(q, &rec, sizeof rec, NO_WAIT);
        if (n <= 0) break;
        out.push_back({static_cast<int>(rec.priority), rec.task, rec.device, rec.text});
    }
    return out;
}

bool logContains(std::vector<LogLine>& seen, const std::string& needle) {
    for (auto& l : logDrain())
        seen.push_back(l);
    for (auto& l : seen)
        if (l.text.find(needle) != std::string::npos) return true;
    return false;
}

} // namespace testsupport
