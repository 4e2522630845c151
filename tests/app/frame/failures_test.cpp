// What a failed start-up step does: an essential one ends main at once with its text logged and
// nothing after it called, the board and the double store with their own exit codes; the others
// are logged and the start-up goes on. Each start-up runs in a process of its own (a death
// test's child, started afresh), with the recording stand-ins of recorder.cpp.
#include "recorder.h"

#include "platform/os/sim.h"
#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Line {
    int priority;
    std::string text;
};

struct Failure {
    std::vector<std::string> failing; // the steps that fail
    int exitCode;                     // main's result, as the process ends with it
    std::string lastCall;             // what the start-up called last
    std::vector<Line> logged;         // logged, among other lines
    std::string printed;              // all of standard output
};

// What standard output, sent into f, holds.
std::string printedInto(FILE* f) {
    std::fflush(stdout);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    return text;
}

// The child's side: runs the start-up with the steps failing, ends with main's result when the
// start-up did what `want` says and with 99 (and the differences on standard error) otherwise.
[[noreturn]] void startUp(const Failure& want) {
    frame::setFailing(want.failing);
    std::fflush(stdout);
    FILE* out = std::tmpfile();
    if (!out || dup2(fileno(out), STDOUT_FILENO) < 0) _exit(98);

    static std::atomic<bool> done{false};
    static std::atomic<int> result{0};
    frame::startMain(&result, &done);
    for (int i = 0; i < 4000 && !done && !frame::waitingForPostrun(); ++i)
        sim::step(1);

    std::string wrong;
    const std::vector<std::string> calls = frame::calls("t_main");
    const std::string last = calls.empty() ? "nothing" : calls.back();
    if (last != want.lastCall) wrong += "last call " + last + ", not " + want.lastCall + "\n";
    const std::vector<testsupport::LogLine> log = testsupport::logDrain();
    for (const Line& l : want.logged) {
        bool found = false;
        for (const testsupport::LogLine& got : log)
            found = found || (got.priority == l.priority && got.text == l.text);
        if (!found) wrong += "not logged at " + std::to_string(l.priority) + ": " + l.text + "\n";
    }
    const std::string printed = printedInto(out);
    if (printed != want.printed) wrong += "printed '" + printed + "', not '" + want.printed + "'\n";
    if (!done && want.lastCall != "rtp_waitPostrun") wrong += "main did not return\n";
    if (!wrong.empty()) {
        std::fputs(wrong.c_str(), stderr);
        _exit(99);
    }
    _exit(done ? (result & 0xFF) : 0);
}

TEST(StartUpDeathTest, AnEssentialStepThatFailsEndsMainAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Failure cases[] = {
        {{"AppMan_init"},
         255,
         "AppMan_init",
         {{146, "Failed to initialize Application Parameters for RTP 3"}},
         ""},
        // the store comes before the log's words count: the text goes to standard output alone
        {{"nvram_dbs_init"}, 0, "nvram_dbs_init", {}, "Failed to initialize NVRAM_DBS\n"},
        {{"seramInitialize"}, 255, "seramInitialize", {{147, "Failed to initialize SERAM\n"}}, ""},
        {{"RtpMan_ForwardEPK"}, 255, "RtpMan_ForwardEPK", {{147, "Forwarding EPK failed"}}, ""},
        // the board ends the process with the index of its first failing step
        {{"gpio_ini"},
         6,
         "gpio_ini",
         {{147, "apalInit() failed! (error code: APAL_INIT_GPIO_ERROR)!"}},
         "failed to initialize apal! Return Code: APAL_INIT_GPIO_ERROR\n"},
        {{"RotationalSpeed_Init"},
         16,
         "RotationalSpeed_Init",
         {{147, "apalInit() failed! (error code: APAL_INIT_ROTATIONALSPEED_ERROR)!"}},
         "failed to initialize apal! Return Code: APAL_INIT_ROTATIONALSPEED_ERROR\n"},
        {{"error_mgr_init"}, 255, "error_mgr_init", {{147, "Failed to initialize ERROR MGR"}}, ""},
        // what the model's start stored of the erased store's repair is kept all the same
        {{"simulink_initialize"}, 255, "nvram_dbs_repair_end", {{147, "Failed to initialize Simlink"}}, ""},
        {{"eventlogging_service_init"},
         255,
         "eventlogging_service_init",
         {{147, "Failed to initialize Eventlogging Service"}},
         ""},
        {{"xcpInitialize"}, 255, "xcpInitialize", {{147, "Failed to initialize XCP"}}, ""},
    };
    for (const Failure& f : cases)
        EXPECT_EXIT(startUp(f), ::testing::ExitedWithCode(f.exitCode), "") << f.failing[0];
}

TEST(StartUpDeathTest, TheOtherStepsAreLoggedAndTheStartUpGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Failure all = {{"applComm_ini", "RtpManUsrCan_Init", "meascalinfo_init", "can_CtrlInit",
                          "LapOutFra_init", "nvram_dbs_repair_end", "meas_app_BootPrepareDisks",
                          // results not looked at
                          "msd_shell_initialize", "dynkomm_ini"},
                         0,
                         "rtp_waitPostrun",
                         {{147, "Failed to initialize applcomm"},
                          {147, "RtpManUsrCan_Init() failed!"},
                          {147, "Failed to initialize meascalinfo"},
                          {147, "can_CtrlInit() failed!"},
                          {147, "initec(): Error LapOutFra_init()"},
                          {147, "Failed to store the repaired NVRAM"},
                          {147, "Disks not ready! Setting meas files read only skipped."}},
                         ""};
    EXPECT_EXIT(startUp(all), ::testing::ExitedWithCode(0), "");
}

} // namespace
