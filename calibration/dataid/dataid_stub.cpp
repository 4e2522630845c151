// Stands in for the report until it is built: the command succeeds and does nothing.
#include "calibration/dataid/dataid.h"

int cmdFuncGetScrutInfo(int, char**) {
    return 0;
}
