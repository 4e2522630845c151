// What the frame called, per task, through the recording stand-ins of recorder.cpp.
#pragma once

#include "platform/os/os.h"

#include <atomic>
#include <climits>
#include <set>
#include <string>
#include <vector>

namespace frame {

constexpr long NONE = LONG_MIN;
// Appends "name", "name(a)" or "name(a,b)" to the calling task's record.
void rec(const char* name, long a = NONE, long b = NONE);
std::vector<std::string> calls(const std::string& task);

// displayStart refuses this many calls first.
extern std::atomic<int> displayRefusals;
extern std::atomic<uint64_t> firstDisplayTick, lastDisplayTick;
// The command handlers start-up handed in: how many codes, and what serving one calls.
size_t commandCodes();
std::string serveCommand(uint16_t code);
// What rtp_waitPostrun waits on.
extern SEM_ID postrun;
// Starts the unit's clock stepped, "/BASETICK0" given on every tick, the log and the post-run
// semaphore, then runs vyn_main for unit 3 in the task "t_main": its result into *result, then
// *done set.
void startMain(std::atomic<int>* result, std::atomic<bool>* done);
// True while the start-up waits on the post-run semaphore.
bool waitingForPostrun();

// The steps named fail from now on (0, or 1 where 0 is success; the logging drives time out).
void setFailing(std::vector<std::string> steps);
bool fails(const char* step);
// The device-data store's serial number, or none (the store is not there) while null.
extern std::atomic<const char*> serialText;
// Rasters the error manager's stand-in hooks while it initialises, taking slots of the table.
extern std::atomic<int> errorMgrRasters;

} // namespace frame
