#include "services/nvramst/onewire.h"

#include "platform/kmgr/kmgr.h"
#include "services/syslog/syslog.h"

#include <cstring>

int onewire_init() {
    return 1;
}

void ow_readRomID(uint8_t* romId) {
    if (kmgr_syscall(KCALL_ROMID, reinterpret_cast<intptr_t>(romId)) != 0) {
        // Callers derive ids from it (the time master id): zeros, never stale bytes.
        syslogx(LOG_ERR, "Reading OWID failed");
        std::memset(romId, 0, DEVDATA_ROMID_SIZE);
    }
}
