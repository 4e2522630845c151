// The manager's drive, USB and network-command calls, recorded and never applied.
//
// The manager's drive, USB and network-command calls (platform side): 2694 drive
// availability, 2705 interface and 2706 route commands, 2708 USB requests. Commands are
// recorded, never applied to the host's network.
#pragma once

#include "platform/kmgr/calls.h"

#include <cstdint>
#include <string>
#include <vector>

namespace drives {

// Installs the four handlers and forgets what earlier calls recorded and set. A drive is
// available while its device is installed in the OS layer and its directory exists,
// unless setAvailable says otherwise.
void install();

// Overrides the availability of a drive ("cfg:", "meas:" ...).
void setAvailable(const std::string& drive, bool available);

struct Command {
    unsigned call; // 2705 or 2706
    unsigned rtpIndex;
    std::string text;
};
std::vector<Command> routeLog();

struct UsbRequest {
    int kind; // 0 power, 1 reset line, 2 register reset
    int value;
};
std::vector<UsbRequest> usbLog();

} // namespace drives
