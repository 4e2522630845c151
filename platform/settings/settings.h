// The unit's settings: the file "vyn.ini" in the unit directory. Every key is optional.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct Settings {
    std::string unitDir; // absolute
    std::string file;    // the settings file read (it need not exist)

    // [unit]: what the manager hands to the application in its parameter block
    uint8_t pid = 0x25;
    uint8_t coreAffinity = 2;
    uint32_t baseBootCounter = 0;
    uint32_t ipv4 = 0xC0A80025; // 192.168.0.37, first octet most significant
    uint32_t mask = 0xFFFFFF00;
    uint16_t xcpPort = 5555;
    uint16_t bc2PortOffset = 0;
    uint8_t ccpEnable = 0;
    std::string homeDir;          // default: the unit directory
    std::string nvramDir;         // default: unit directory + "/nvram"
    std::vector<uint8_t> allPids; // default: just pid

    // [drives]: host directories behind "cfg:", "c:", "meas:", "meas2:", "usb_meas:"
    std::string cfgDir, cDir, measDir, meas2Dir, usbMeasDir;

    // [serial]: host paths behind "/tyCo/0" and "/tyCo/1" (empty: no device)
    std::string tyCo0, tyCo1;

    // [platform]
    bool stepped = false;      // time = stepped
    int64_t calendarStart = 0; // seconds since 1970 at tick 0; default: host time when read
    bool watchdogExit = false; // watchdog = exit
    uint32_t watchdogTimeoutMs = 1000;
    bool realtimePriorities = false; // recorded; tasks keep the host's default scheduling
    // Board devices (base addresses) missing from this unit: their board init fails.
    std::vector<uintptr_t> missingDevices;
    // The display as a PNG file after each new frame (empty: none), at most snapshotRate a second.
    std::string snapshot;
    uint32_t snapshotRate = 2;
};

constexpr size_t HOME_DIR_MAX = 127; // the parameter block's fields, less the NUL
constexpr size_t NVRAM_DIR_MAX = 128;

// Reads `unitDir`/vyn.ini (a missing file gives the defaults). Unknown sections and keys
// give one warning line each on `warnings` (stderr when null). A malformed value fails
// with an error naming the file, the line and the key; `out` is then left untouched.
bool loadSettings(const std::string& unitDir, Settings* out, std::string* error,
                  std::vector<std::string>* warnings = nullptr);

// The settings the platform booted with.
const Settings& settings();
void setSettings(const Settings& s);

} // namespace platform
