// Controls of the OS layer's file-system devices (platform side): which host directory
// stands behind each drive. The application only names drives (osfs.h).
#pragma once

#include <string>

namespace osfs {

// Platform side: installs (or re-points) the device `prefix` ("cfg:", "usb_meas:"), which
// must end with ':' and hold no separator, onto the host directory `hostDir` (made
// absolute; the host's root is refused). False for a malformed prefix or directory.
bool addDevice(const std::string& prefix, const std::string& hostDir);
bool removeDevice(const std::string& prefix);
// The host directory of an installed device.
bool deviceDir(const std::string& prefix, std::string* hostDir);
// Installs (or re-points) the serial device `name` ("/tyCo/0", "/tyCo/1") onto the host
// device `hostPath` (a terminal, a pseudo-terminal, a FIFO), a terminal set raw; an empty path
// removes it.
bool addSerialDevice(const std::string& name, const std::string& hostPath);
// Forgets every device.
void reset();

} // namespace osfs
