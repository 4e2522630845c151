// Bringing up the simulated platform around the application process.
#pragma once

#include <string>

namespace platform {

// Reads the settings of the unit directory ($VYN_UNIT_DIR, else the current directory),
// sets up the clock, creates missing drive and non-volatile directories, installs the
// board and the manager, starts the system process and the control channel.
// 0 on success; -1 with the reason in bootError().
int boot(unsigned index);

// The same for a test fixture: the given unit directory, always stepped time.
int bootForTest(const std::string& unitDir, unsigned index);

const std::string& bootError();

// Stops watching the application, closes the control channel, drains the log and stops
// the clock. The process may then end.
void halt();

} // namespace platform
