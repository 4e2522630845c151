// The printout of the error memory and its shell command "err_mgr_vyn".
#include "services/errmgr/errmgr.h"

#include "services/bytes/bytes.h"
#include "services/rtpman/rtpman.h"
#include "services/shell/shell.h"
#include "services/time/time_util.h"

#include <cstdio>
#include <ctime>

namespace {

const char* const BANNER[6] = {
    " _____                      __  __            ",   "| ____|_ __ _ __ ___  _ __ |  \\/  | __ _ _ __ ",
    "|  _| | '__| '__/ _ \\| '__|| |\\/| |/ _` | '__|", "| |___| |  | | | (_) | |   | |  | | (_| | |   ",
    "|_____|_|  |_|  \\___/|_|   |_|  |_|\\__, |_|   ", "                                   |___/      ",
};

void dashes() {
    for (int i = 0; i < 73; ++i)
        std::fputc('-', stdout);
    std::fputs("\n\r", stdout);
}

void stars() {
    for (int i = 0; i < 79; ++i)
        std::fputc('*', stdout);
    std::fputs("\n\r", stdout);
}

} // namespace

void error_mgr_print() {
    std::fputs("\n\r\n\r", stdout);
    for (const char* line : BANNER)
        std::printf("%s\n\r", line);
    std::fputs("\n\r\n\r", stdout);
    std::printf("Source PID:0x%X (Path/Type hexadecimal) \n\r\n\r", static_cast<unsigned>(AppMan_getPID()));
    std::fputs("   Path    Type      Duration(s)  Active  Timestamp              Count \n\r", stdout);
    dashes();
    uint8_t buf[1024];
    const int n = error_mgr_get_data(buf, sizeof buf);
    if (n == 0) {
        std::fputs("   -       -         -            -       -                      -     \n\r", stdout);
        std::fputs("   no errors read                                                    \n\r", stdout);
        std::fflush(stdout);
        return;
    }
    for (int i = 0; i < n; ++i) {
        const uint8_t* p = buf + i * ERROR_MGR_DATA_RECORD;
        const unsigned path = bytes::get_le16(p);
        const unsigned type = bytes::get_le16(p + 2);
        timespec ts{static_cast<time_t>(bytes::get_le32(p + 4)), 0};
        date_msd d{};
        conv_time_to_date(&ts, &d);
        const unsigned duration = bytes::get_le16(p + 8);
        std::printf("   0x%04X  0x%04X     %6.1f      %s   %4d.%02d.%02d %02d:%02d:%02d    %d   \n\r", path,
                    type, duration * 0.1, (p[11] & 1) ? "TRUE " : "FALSE", d.YEAR, d.MONTH, d.DAY, d.HOUR,
                    d.MIN, d.SEC, p[10]);
    }
    std::printf("\n\r    %u error(s) read                                                 \n\r",
                static_cast<unsigned>(n));
    dashes();
    std::fflush(stdout);
}

int cmd_err_mgr_dump(int, char**) {
    std::fputs("\n\n\n\r", stdout);
    stars();
    error_mgr_print();
    std::fputs("\n\r", stdout);
    stars();
    std::fflush(stdout);
    return 0;
}

int error_mgr_registerShell() {
    return msd_shellAddCommand("err_mgr_vyn", cmd_err_mgr_dump);
}
