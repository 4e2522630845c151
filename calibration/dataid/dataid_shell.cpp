#include "calibration/dataid/dataid.h"

#include "services/shell/shell.h"
#include "vyn/vartable.h"

#include <cstdio>

int seram_registerShell() {
    char name[32];
    std::snprintf(name, sizeof name, "scrutInfo_RTP%u", static_cast<unsigned>(RtpIndex));
    return msd_shellAddCommand(name, cmdFuncGetScrutInfo) != 0 ? 1 : 0;
}
