// Stands in for the module until it is built: succeeds and does nothing.
#include "calibration/xcp/xcp.h"

int xcpInitialize() {
    return 0;
}
void xcp_shutdown_now() {}
void xcpSendDAQ(int) {}
void xcp_100ms() {}
