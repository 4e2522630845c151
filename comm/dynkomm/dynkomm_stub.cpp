// Stands in for the module until it is built: succeeds and does nothing.
#include "comm/dynkomm/dynkomm.h"

void dynkomm_ini() {}
