#include "gui/scroll/scroll.h"

// Rounded sin(i degrees) x 1024, except that 46, 47, 49, 55, 67, 86 and 87 are one lower: the
// dials and polygons drawn with this table have always used these values.
const int32_t GuiSinCosTable[91] = {
    0,    18,   36,   54,   71,   89,   107,  125,  143,  160,  178,  195, 213, 230, 248,  265,
    282,  299,  316,  333,  350,  367,  384,  400,  416,  433,  449,  465, 481, 496, 512,  527,
    543,  558,  573,  587,  602,  616,  630,  644,  658,  672,  685,  698, 711, 724, 736,  748,
    761,  772,  784,  796,  807,  818,  828,  838,  849,  859,  868,  878, 887, 896, 904,  912,
    920,  928,  935,  942,  949,  956,  962,  968,  974,  979,  984,  989, 994, 998, 1002, 1005,
    1008, 1011, 1014, 1016, 1018, 1020, 1021, 1022, 1023, 1024, 1024,
};

void GuiLookupSinCos(int angle, int* sin, int* cos) {
    // r: the angle folded into 0..90 (90 itself stays 90); a: the angle in 0..359.
    int r = angle;
    if (r > 90)
        r = (r - 1) % 90 + 1;
    else if (r < 0)
        r = r % 90 + (r % 90 < 0 ? 90 : 0);
    int a = angle % 360;
    if (a < 0) a += 360;
    const int32_t* T = GuiSinCosTable;
    int s, c;
    if (a == 0) {
        s = T[0];
        c = T[90];
    } else if (a < 90) {
        s = T[r];
        c = T[90 - r];
    } else if (a == 90) {
        s = T[90];
        c = T[0];
    } else if (a < 180) {
        s = T[90 - r];
        c = -T[r];
    } else if (a == 180) {
        s = T[0];
        c = -T[90];
    } else if (a < 270) {
        s = -T[r];
        c = -T[90 - r];
    } else if (a == 270) {
        s = -T[90];
        c = T[0];
    } else {
        s = -T[90 - r];
        c = T[r];
    }
    if (sin) *sin = s;
    if (cos) *cos = c;
}
