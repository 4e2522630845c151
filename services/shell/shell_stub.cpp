// Stands in for the module until it is built: succeeds and does nothing.
#include "services/shell/shell.h"

int msd_shell_initialize() {
    return 1;
}
// Every command is accepted (and never called).
int msd_shellAddCommand(const char* cmdName, int (*callback)(int, char**)) {
    return cmdName && callback ? 1 : 0;
}
