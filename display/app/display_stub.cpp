// Stands in for the display application until it is built. Its start-up only brings up what
// the boot logo needs: the screen driver of this process and the boot-logo show (fetched from
// the manager, drawn, layer 1 on).
#include "display/app/display.h"

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
