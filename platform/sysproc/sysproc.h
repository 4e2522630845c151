// The platform's system process: status block, log collector, logging queues and the base tick.
//
// The platform's system process, run as tasks of this process: it owns the named objects
// that the application opens (status block, log queue, logging queues, base tick) and
// collects the log.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sysproc {

constexpr const char* SYSLOG_QUEUE = "/syslogq";
constexpr int SYSLOG_QUEUE_MSGS = 1024;
constexpr int SYSLOG_RECORD_SIZE = 264;

constexpr const char* APPLCOMM_SHM = "/shm/ApplComm";
constexpr size_t APPLCOMM_SIZE = 4096;
constexpr const char* APPLCOMM_SEM = "/ApplComSem";

constexpr const char* BASETICK_SEM = "/BASETICK0";

// The logging application's drive-format and remote-control queues; their other ends
// belong to the system process, which does not serve them yet.
constexpr const char* MEASAPP_QUEUES[] = {"/MeasAppFormat", "/MeasAppFormatAck", "/MeasAppRCTRL_RX",
                                          "/MeasAppRCTRL_TX"};
constexpr int MEASAPP_QUEUE_MSGS = 32;
constexpr int MEASAPP_QUEUE_MSG_SIZE = 512;

// Creates the named objects (those that exist are kept), starts the log collector and the
// base tick. The log goes to standard output and to `unitDir`/vyn.log, which is started
// afresh. Calling it again (after stop) moves the log file to the new directory.
bool start(const std::string& unitDir, std::string* error);

// Returns once every record queued before the call has been written (at most ~2 s).
void drainLog();

// A line of the platform itself, written after the records queued before it.
void platformLog(int priority, const char* device, const char* task, const std::string& text);

// Drains the log and closes vyn.log; later records go to standard output only.
void stop();

// The status block as the system process fills it, one field at a time, under the block's
// semaphore. Fields carry the names of the application's signals, array elements a suffix
// ".<index>" ("cpu_load.1"); the error flags and CAN states are "sys_media_err",
// "usb_media_err", "usb_hw_incompatible", "can1_state", "can2_state", "ftp_err"; the masters
// "ltm_pid" and "fcm_pid"; the card "card_size". Values are decimal or 0x-hexadecimal
// integers, numbers for the loads, text for "usb_serial". False with the reason in *error.
bool setStatus(const std::string& field, const std::string& value, std::string* error);
// The field's value as setStatus takes it; the field "blink" is the word the application
// writes back (its LED blink pattern).
bool getStatus(const std::string& field, std::string* value, std::string* error);
std::vector<std::string> statusFields();

// One record (as received, `len` bytes) as its log line, without the newline:
// "<priority> <device> <task>: <text>".
std::string formatRecord(const void* record, size_t len);

} // namespace sysproc
