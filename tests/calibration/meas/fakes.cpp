#define FAKES_DEFINE
#include "calibration/fakes.h"
