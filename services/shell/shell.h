// The process shell: commands arrive on the queue "/queue/MsdShell_<index>" and answer through
// the pipe "/pipe/MsdShell_<index>"; modules register their own commands.
#pragma once

#include <cstdint>

// Registers the common commands and starts the shell task; 1 when it runs.
int msd_shell_initialize();
// Registers a command; nonzero when the shell accepted it.
int msd_shellAddCommand(const char* cmdName, int (*callback)(int argc, char** argv));
