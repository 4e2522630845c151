// The shell command "meas": remote control of the logging and its state.
#include "logging/measapp/measapp.h"

#include "comm/gw/gw.h"

#include <cstdio>
#include <cstring>

int measCommandFunc(int argc, char** argv) {
    const char* cmd = argc == 2 ? argv[1] : "";
    if (std::strcmp(cmd, "start") == 0) {
        meas_app_remotestart();
    } else if (std::strcmp(cmd, "stop") == 0) {
        meas_app_remotestop(0);
    } else if (std::strcmp(cmd, "state") == 0) {
        meas_app_print_measstate();
    } else if (std::strcmp(cmd, "create") == 0) {
        meas_app_remoteinit();
    } else if (std::strcmp(cmd, "destroy") == 0) {
        meas_app_remotedestroy(0);
    } else if (std::strcmp(cmd, "pidstate") == 0) {
        gw_print_pidstate([](const char* line) { std::fputs(line, stdout); });
        meas_app_print_errorPIDS();
    } else {
        std::printf("usage meas <commands>\n");
        std::printf("    <start> and <stop> starts and stops measurement respectively;\n");
        std::printf("    <state> shows current measurement state;\n");
        std::printf("    <create> and <destroy> creates or detroys measurement;\n");
        std::printf("    <pidstate> prints pid specific status and error information.\n");
    }
    return 0;
}
