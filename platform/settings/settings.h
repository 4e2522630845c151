// The unit's settings, read from "vyn.ini".
//
// The unit's settings: the file "vyn.ini" in the unit directory. Every key is optional; one
// table in settings.cpp declares each key's type, limits, default and help.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct Settings {
    Settings(); // the table's defaults; the directories are only known to loadSettings

    std::string unitDir; // absolute
    std::string file;    // the settings file read (it need not exist)

    // [unit]: what the manager hands to the application in its parameter block
    uint8_t pid;
    uint8_t coreAffinity;
    uint32_t baseBootCounter;
    uint32_t ipv4; // first octet most significant
    uint32_t mask;
    uint16_t xcpPort;
    uint16_t bc2PortOffset;
    uint8_t ccpEnable;
    std::string homeDir;
    std::string nvramDir;
    std::vector<uint8_t> allPids; // default: just pid

    // [drives]: host directories behind "cfg:", "c:", "meas:", "meas2:", "usb_meas:"
    std::string cfgDir, cDir, measDir, meas2Dir, usbMeasDir;

    // [serial]: host paths behind "/tyCo/0" and "/tyCo/1" (empty: no device)
    std::string tyCo0, tyCo1;

    // [board]: what drives the analog inputs (hwsim::parseStimulusList, relative to unitDir)
    std::string analogStimulus;

    // [can]: the bus behind both CAN controllers
    bool canUdp;                   // bus = udp: python-can's udp_multicast, one group per controller
    uint32_t canGroup0, canGroup1; // multicast groups of controllers 0 and 1
    uint16_t canPort;              // UDP port of both groups
    std::string canPcap;           // every frame on the buses as a pcap file (empty: none)

    // [platform]
    bool stepped;              // time = stepped
    int64_t calendarStart = 0; // seconds since 1970 at tick 0; default: host time when read
    bool watchdogExit;         // watchdog = exit
    uint32_t watchdogTimeoutMs;
    bool realtimePriorities; // real time: tasks under SCHED_FIFO with their priorities, where permitted
    // Board devices (base addresses) missing from this unit: their board init fails.
    std::vector<uintptr_t> missingDevices;
    // The display as a PNG file after each new frame (empty: none), at most snapshotRate a second.
    std::string snapshot;
    uint32_t snapshotRate;
};

constexpr size_t HOME_DIR_MAX = 127; // the parameter block's fields, less the NUL
constexpr size_t NVRAM_DIR_MAX = 128;

// Reads `unitDir`/vyn.ini (a missing file gives the defaults). Unknown sections and keys
// give one warning line each on `warnings` (stderr when null). A malformed value fails
// with an error naming the file, the line, the key and what it takes; `out` is then left
// untouched. Anything but a regular file in place of vyn.ini fails.
bool loadSettings(const std::string& unitDir, Settings* out, std::string* error,
                  std::vector<std::string>* warnings = nullptr);

// How the example settings file documents a key: the two comment lines above it.
struct KeyDoc {
    std::string section, name;
    std::string help;   // what the key is for
    std::string values; // what it takes and its default
};
std::vector<KeyDoc> keyDocs();

// The settings the platform booted with.
const Settings& settings();
void setSettings(const Settings& s);

} // namespace platform
