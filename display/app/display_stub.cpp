// Stands in for the display application until it is built. Its start-up only brings up what
// the boot logo needs: the screen driver of this process and the boot-logo show (fetched from
// the manager, drawn, layer 1 on).
#include "display/app/display.h"

#include "services/syslog/syslog.h"

#include "gui/scrndrv/scrndrv.h"
#include "vyn/vartable.h"

void displayCtrl_ini() {}
void displayInit() {
    scrndrvSetRtpIndex(RtpIndex);
    scrndrvInit();
}
int displayStart() {
    return 0;
}
void displayJoin() {}

namespace {
void dropped(const uint8_t* m, size_t len) {
    if (len >= 18)
        SYSLOGX_GUARDED(LOG_DEBUG, "display: command 0x%04X dropped, not built", m[16] << 8 | m[17]);
}
} // namespace

void display_pageset_cmd(const uint8_t* m, size_t len) {
    dropped(m, len);
}

// Registered so that the common commands after it are: the pages cannot be driven yet.
int displayCommandFunc(int, char**) {
    return 0;
}
