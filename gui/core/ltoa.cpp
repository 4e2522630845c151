#include "gui/core/util.h"

char* gui_ltoa(long value, char* buffer, int radix) {
    if (!buffer) return buffer;
    if (radix < 2 || radix > 36) {
        buffer[0] = 0;
        return buffer;
    }
    char tmp[72];
    int n = 0;
    bool neg = value < 0 && radix == 10;
    // Other radixes show the two's-complement bit pattern, as unsigned.
    unsigned long u = neg ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        unsigned d = static_cast<unsigned>(u % static_cast<unsigned>(radix));
        tmp[n++] = static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10);
        u /= static_cast<unsigned>(radix);
    } while (u);
    char* p = buffer;
    if (neg) *p++ = '-';
    while (n)
        *p++ = tmp[--n];
    *p = 0;
    return buffer;
}

const char GUISC_OK[] = "OK";
const char GUISC_NO[] = "No";
const char GUISC_YES[] = "Yes";
const char GUISC_ABORT[] = "Abort";
const char GUISC_CANCEL[] = "Cancel";
const char GUISC_RETRY[] = "Retry";
const char GUISC_CLOSE[] = "Close";
const char GUISC_MINIMIZE[] = "Minimize";
const char GUISC_MAXIMIZE[] = "Maximize";
const char GUISC_RESTORE[] = "Restore";
