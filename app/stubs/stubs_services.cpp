// Link stubs of the services that are not built yet: they succeed and do nothing.
#include "app/subsystems.h"

#include <cstdio>

int msd_shell_initialize() {
    return 1;
}
void timeserv_init(int, int) {}
void timeserv_MeasTime_ini() {}
void timeserv_MeasTime_1ms() {}
// Until the process shell exists every command is accepted (and never called).
int msd_shellAddCommand(const char* cmdName, int (*callback)(int, char**)) {
    return cmdName && callback ? 1 : 0;
}
