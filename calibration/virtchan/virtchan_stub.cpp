// Stands in for the module until it is built: succeeds and does nothing.
#include "calibration/virtchan/virtchan.h"

void meascalinfo_virtchan_ini() {}
