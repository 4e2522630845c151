// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/msdcomdbg/msdcom_dbg.h"

void msdcom_dbg_10ms() {}
void msdcom_dbg() {}
