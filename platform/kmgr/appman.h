// The manager's application side (platform): parameters, EPK, settings, interrupt
// connections, symbols and the application watchdog.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kmgr {

// Installs the handlers of calls 2690, 2691, 2695, 2700, 2703, 2704, 2752 and 2753 and the watchdog's tick
// check; the parameter block and the watchdog's reaction come from platform::settings()
// as it is at this call. Forgets what earlier calls recorded (symbols stay registered).
void installAppManager();

// Fills the parameter block from the platform settings.
void fillAppParam(AppParam* block);

// Symbols the application looks up by name (request 4).
void registerSymbol(const std::string& name, uintptr_t value);
void unregisterSymbol(const std::string& name);

// What the application handed over.
std::string forwardedEpk(); // empty until forwarded
uint64_t epkForwardCount();
struct SettingCall {
    uint32_t setting;
    uint32_t value;
};
std::vector<SettingCall> informedSettings();

struct InterruptConnection {
    std::string queue;
    intptr_t words[4];
};
bool interruptConnection(int irq, InterruptConnection* out);
// Posts `msg` to the queue connected to `irq`, as the manager does for each interrupt.
// False when the interrupt is not connected, its queue does not exist or is full.
bool raiseInterrupt(int irq, const void* msg, size_t len);

// ---- shell commands (2690, 2691) ----
void installShellAndRtc(); // part of installAppManager
// The id the process registered under `name`; false when none.
bool shellCommandId(unsigned index, const std::string& name, uint32_t* id);

// ---- real-time clock (2703) ----
// What the clock holds ("YYYY-MM-DD hh:mm:ss.mmm", kept in the file "rtc" of the
// non-volatile directory); empty before the first write.
std::string rtcText();

// ---- application watchdog ----
struct WatchdogStatus {
    uint64_t feeds = 0;
    uint64_t starves = 0;
    uint64_t shutdowns = 0;
    uint32_t lastPattern = 0;
    bool armed = false;    // fed at least once: the time-out is watched
    bool shutdown = false; // shutdown mode: nothing is watched any more
    bool expired = false;  // reacted; a new feed starts a new watch
    uint64_t lastFeedTick = 0;
    uint64_t expiries = 0;
};
WatchdogStatus watchdogStatus();

// The reaction to a starved or unfed watchdog: the line to log and whether the settings ask
// for the process to end. The default writes the line to the unit's log and, for exit,
// drains the log and ends the process with exit code 70.
using WatchdogReaction = std::function<void(const std::string& line, bool exitProcess)>;
void setWatchdogReaction(WatchdogReaction r); // empty: the default
// One check; the tick hook runs it every tick.
void watchdogCheck(uint64_t tick);
// Stops watching (the process is ending on its own).
void watchdogDisarm();

constexpr int WATCHDOG_EXIT_CODE = 70;

} // namespace kmgr
