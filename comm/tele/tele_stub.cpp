// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/tele/tele.h"

void tele_app_ini() {}
