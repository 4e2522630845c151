// The process frame as wired: what start-up, the raster bodies and shutdown call, in which
// order, with which arguments and phases. The expectations are the process's published
// sequences, written out here; the subsystems are recording stand-ins (recorder.cpp).
#include "recorder.h"

#include "app/raster/bodies.h"
#include "app/startup/startup.h"
#include "calibration/block/block.h"
#include "platform/os/sim.h"
#include "services/raster/raster_private.h"
#include "services/sysrole/sysrole.h"
#include "support/logcapture.h"
#include "vyn/vartable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

// The calls of a text, separated by blanks.
Calls words(const std::string& text) {
    std::istringstream in(text);
    return Calls(std::istream_iterator<std::string>(in), {});
}

std::atomic<bool> mainDone{false};
std::atomic<int> mainResult{99};
Calls startup, shutdown;
std::vector<testsupport::LogLine> logged;

// Runs the whole process once: start-up, two seconds of rasters, both lap events, shutdown.
class Frame : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        frame::displayRefusals = 1000; // a display that never starts
        cfg_system.logging_active = 1; // with the laptrigger master here: no one to wait for
        frame::startMain(&mainResult, &mainDone);
        for (int i = 0; i < 200 && !frame::waitingForPostrun(); ++i)
            sim::step(1);
        startup = frame::calls("t_main");
        sim::step(2000);
        raster_triggerTask(RASTER_EVENT_LAP);
        raster_triggerTask(RASTER_EVENT_LAP_SB_PER);
        sim::step(1);
        semGive(frame::postrun);
        for (int i = 0; i < 2000 && !mainDone; ++i)
            sim::step(1);
        const Calls all = frame::calls("t_main");
        shutdown.assign(all.begin() + static_cast<long>(startup.size()), all.end());
        logged = testsupport::logDrain();
    }

    static bool logContains(const std::string& text) { return testsupport::logContains(logged, text); }
    // The raster task's record must be its one run, repeated.
    static void expectRuns(const std::string& task, const Calls& run) {
        const Calls rec = frame::calls(task);
        ASSERT_GE(rec.size(), run.size()) << task;
        for (size_t i = 0; i < rec.size(); ++i)
            ASSERT_EQ(rec[i], run[i % run.size()]) << task << " call " << i;
        EXPECT_EQ(rec.size() % run.size(), 0u) << task;
    }
};

TEST_F(Frame, StartUpBringsTheSubsystemsUpInTheirOrder) {
    ASSERT_FALSE(startup.empty());
    const Calls expected = words(
        "RtpManUsr_setIndex(3) AppMan_init "
        // every hand-in, before any service starts: each setter, then what calling what it was handed
        // reached (a wrapper of the start-up's reaches the module above through it), or the table
        "applComm_setCanStateSink RtpManUsrCan_ReportNodeStatus error_mgr_setEventSink eventlogging_send "
        "error_mgr_setPowerGoodSource power_getPwrGood timeserv_setSoftSchedSync softSchedSyncTo100ms "
        "timeserv_setCommandInterface comint_put_cmd comint_status "
        "msd_shell_setCommonCmds=meas,display,reset_vyn,lof_*,setvar,getvar LapOutFra_cmds_init "
        "lof_registered adc_setPowerGoodSource power_getPwrGood adc_diagnostic_setRestore awm_man_hwt_ini "
        "seramSetDownloadHooks awm_man_downloadHooks seramMeasSetChannelSource awm_man_channelSource "
        "seramMeasSetMasterSource class(29) ccpmr_GetAddr seramMeasSetMasterSource class(28) xcpmr_GetAddr "
        "meascalinfo_virtchan_setLoadedSink meas_man_virtChan_registered xcpSetAppHooks awm_man_stop "
        "meas_app_set_remotectrl_remoteinit_lock meas_maxFileCnt_part1 meas_maxFileCnt_part2 "
        "meas_maxFileCnt_usb BC2_setCommandSink comint_queue_from comint_forward_from comint_wait_room "
        "BC2_setResetSink meas_man_requesterReset meas_man_setGatewaySink "
        "gw_measGatewaySink meas_man_setMaster master(0) ccpmr_measMaster meas_man_setMaster master(1) "
        "xcpmr_measMaster softSched_setCallees awm_sched_call meas_man_copy(0,0) awm_man_adjust "
        "LapOutFra_getState lapfunc_setHooks(12,3) LapOutFra_initLapOutCnt(0,0) laptrigger_init "
        "laptrigger_update laptrigger_setHooks LapOutFra_lapTrigger(7,3) awm_0x0A_fuelcons_setLaptrigger "
        "LapOutFra_initLapOutCnt(0,0) LapOutFra_laptriggerAnswer awm_0x0B_led_setBrightnessCurves "
        "display_ledCurves GuiSetAppHooks display_guiHooks "
        // the services
        "rtp_openPostrun(3) nvram_dbs_init nvram_dbs_repair_begin boot_count_ini seramInitialize "
        "RtpMan_ForwardEPK "
        // board initialisation
        "gpio_ini ecfv_init time_init adc_init spi_IOInit max7301_Init adc_pullup_init pwmout_init "
        "ledArray_init RotationalSpeed_Init nvramst_init applComm_ini adc_fifo_ini error_mgr_init led_init "
        "RtpManUsrCan_Init cfg_system_ini msd_shell_initialize timeserv_init(1,1) gps_init start_softSched "
        "meascalinfo_init meascalinfo_virtchan_ini routing_ini comint_ini meas_man_ini gw_meas_ini "
        "SerNet_man_ini dynkomm_ini variables_ini awm_man_ini can_CtrlInit can_vyn_ini ccpmr_ini xcpmr_ini "
        "displayCtrl_ini displayInit meas_app_ini tele_app_ini r_sblk_task(130,12288) eventChannelsInit "
        "LapOutFra_init LapOutFra_getState LapOutFra_initLapOutCnt(12,3) "
        // an erased store's repair holds until the model's start has stored its lap counters
        "meas_app_BootPrepareDisks(1,2000) simulink_initialize nvram_dbs_repair_end "
        "eventlogging_service_init BC2_init "
        "timeserv_MeasTime_ini xcpInitialize");
    Calls steps(startup.begin(), startup.end() - 1);
    int displayStarts = 0;
    while (!steps.empty() && steps.back() == "displayStart") {
        steps.pop_back();
        ++displayStarts;
    }
    EXPECT_EQ(steps, expected);
    // A display that never starts: 51 attempts one tick apart, then the unit runs on.
    EXPECT_EQ(displayStarts, 51);
    EXPECT_EQ(frame::lastDisplayTick - frame::firstDisplayTick, 50u);
    EXPECT_TRUE(logContains("display could not be started!"));
    EXPECT_TRUE(logContains("Startup vyn: took "));
    EXPECT_EQ(logged.back().device, "KVX2_VYN@frame") << "the log's origin: the location's stand-in";
}

TEST_F(Frame, ShutdownStopsTheProducersThenTheRastersThenSavesTheErrors) {
    ASSERT_TRUE(mainDone);
    EXPECT_EQ(mainResult, 0);
    const Calls expected =
        words("rtp_setShutdownStarted applComm_setBlink(0,13) pwmout_shutdown sblk_power_down "
              "meas_app_remotefaststop CanOut_stop displayJoin gw_stop xcp_shutdown_now "
              "awm_man_stop adc_filter_stop BC2_stop wdogapp_EnterShutDown error_mgr_shutdown");
    EXPECT_EQ(shutdown, expected);
    EXPECT_TRUE(logContains("Main: Shutdown ended, exiting smoothly"));
}

TEST_F(Frame, ApplicationRastersAreHookedAsPublished) {
    // name, priority, period (ms) or event (negative), stack, watchdog limit
    const std::tuple<std::string, int, int32_t, size_t, int32_t> rows[] = {
        {"r1ms", 29, 1, 0x80000, 30},
        {"r2ms", 65, 2, 0x80000, 30},
        {"r5ms", 66, 5, 0x80000, 30},
        {"r10ms", 67, 10, 0x80000, 30},
        {"r20ms", 70, 20, 0x80000, 30},
        {"r50ms", 71, 50, 0x80000, 30},
        {"r100ms", 72, 100, 0x80000, 30},
        {"r200ms", 87, 200, 0x80000, 30},
        {"r500ms", 88, 500, 0x80000, 30},
        {"r1000ms", 89, 1000, 0x80000, 30},
        {"rEthSend_online", 83, 10, 0x80000, 5000},
        {"rEthSend_offline", 84, 10, 0x80000, 5000},
        {"rMeas", 132, 1, 0x100000, 6000},
        {"sbLapPer", 82, -7, 0x80000, -1},
        {"Lap", 85, -4, 0x80000, -1},
    };
    ASSERT_EQ(APP_RASTER_COUNT, std::size(rows));
    for (size_t i = 0; i < APP_RASTER_COUNT; ++i) {
        const AppRaster& r = APP_RASTERS[i];
        EXPECT_EQ(std::tuple(std::string(r.name), r.priority, r.periodOrEvent, r.stack, r.watchdogLimit),
                  rows[i]);
    }
}

// The model's two calls of rate r are "callSimulinkFunc(r,0) callSimulinkFunc(r,1)".
TEST_F(Frame, EachRasterRunsItsCallListInOrder) {
    expectRuns("r_r1ms",
               words("timeserv_MeasTime_1ms power_vyn_1ms adc_fifo_1ms uecu_meas_1ms vyn_data_1ms "
                     "canPoll_1ms callSimulinkFunc(0,0) callSimulinkFunc(0,1) gw_raster(0) gw_raster(10) "
                     "xcpSendDAQ(2) CanOut_send_message(0) CanIn_supervisor_1ms"));
    for (auto [task, i] :
         {std::pair{"r_r2ms", 1}, {"r_r20ms", 4}, {"r_r50ms", 5}, {"r_r200ms", 7}, {"r_r500ms", 8}}) {
        const std::string r = std::to_string(i);
        expectRuns(task, words("callSimulinkFunc(" + r + ",0) callSimulinkFunc(" + r + ",1) gw_raster(" + r +
                               ") CanOut_send_message(" + r + ")"));
    }
    expectRuns("r_r5ms",
               words("callSimulinkFunc(2,0) callSimulinkFunc(2,1) sblk_task_trigger_fast gw_raster(2) "
                     "CanOut_send_message(2)"));
    expectRuns("r_r10ms",
               words("callSimulinkFunc(3,0) callSimulinkFunc(3,1) timedistr_measdata_10ms gw_raster(3) "
                     "iecu_meas_10ms iusb_meas_10ms sensor_pwr_10ms msdcom_dbg_10ms vyn_data_10ms "
                     "eventChannels_10ms xcpSendDAQ(1) xcp_10ms ccpmr_10ms xcpmr_10ms gw_meas_monitoring "
                     "gw_request_timeout meas_man_10ms meas_app_check_measconditions CanOut_event_message "
                     "CanOut_send_message(3) applComm_10ms"));
    expectRuns(
        "r_r100ms",
        words("led_display vyn_data_100ms rev_in_vyn_100ms callSimulinkFunc(6,0) callSimulinkFunc(6,1) "
              "msdcom_dbg meas_fifo_data_update_load_vars pwmdiag_100ms adc_rangemon_100ms ana_100ms "
              "xadc_meas_100ms gw_raster(6) gw_raster(11) gw_raster(12) CanOut_send_message(6) "
              "adc_diagnostic_100ms xcpSendDAQ(0)"));
    expectRuns("r_r1000ms",
               words("callSimulinkFunc(9,0) callSimulinkFunc(9,1) gw_raster(9) CanOut_send_message(9) "
                     "sblk_task_trigger_slow gw_meas_1s SerNet_man_1s dynkomm_1s seram_1s mem_usage_1s "
                     "tecu_meas_1s ltecu_meas_1s cfg_meas_formatInfos_1s"));
    expectRuns("r_Lap", words("laptrigger_getLapTimeStamp callSimulinkFunc(16,0) callSimulinkFunc(16,1) "
                              "meas_man_copy(11,4711) meas_man_copy(12,4711)"));
    expectRuns("r_sbLapPer", Calls{"meas_man_copy(12,0)"});
    EXPECT_EQ(frame::calls("r_r1000ms").size(), 2u * 13u) << "two seconds: two runs";
}

TEST_F(Frame, MeasurementRasterSavesEachBlockAtItsPhase) {
    Calls expected;
    for (uint32_t c = 0; expected.size() < frame::calls("r_rMeas").size(); ++c) {
        auto add = [&](const std::string& text) {
            for (const std::string& w : words(text))
                expected.push_back(w);
        };
        auto save = [&](int r) { add("meas_app_saveblock(" + std::to_string(r) + ")"); };
        add("meas_app_main");
        save(0);
        if (c % 2 == 1) save(1), save(10);
        if (c % 5 == 2) save(2);
        if (c % 10 == 3) save(3), add("LapOutFra_checkExtLaptrgInit");
        if (c % 20 == 11) save(4);
        if (c % 50 == 16) save(5);
        if (c % 100 == 33)
            save(6), save(11), save(12), add("meas_app_timeout_close(11) meas_app_timeout_close(12)");
        if (c % 200 == 111) save(7);
        if (c % 500 == 123) save(8);
        if (c % 1000 == 187)
            save(9), add("MeasAppStore_checkForFlush meas_app_calc_recording_rates meas_fifo_data_syslog "
                         "meas_app_check_datatimeout meas_app_checkFragmentTrigOnUSBEvent");
    }
    EXPECT_GT(expected.size(), 4000u);
    EXPECT_EQ(frame::calls("r_rMeas"), expected);
}

TEST_F(Frame, NetworkSendersServeTheRastersAtTheirPhases) {
    for (std::string kind : {"online", "offline"}) {
        const Calls rec = frame::calls("r_rEthSend_" + kind);
        Calls expected;
        for (uint32_t c = 0; expected.size() < rec.size(); ++c) {
            auto send = [&](int r) {
                expected.push_back("SerNet_man_sender_" + kind + "(" + std::to_string(r) + ")");
            };
            for (int r : {10, 0, 1, 2, 3})
                send(r);
            if (c % 2 == 1) send(4);
            if (c % 5 == 1) send(5);
            if (c % 10 == 3) send(6), send(11), send(12);
            if (c % 20 == 11) send(7);
            if (c % 50 == 12) send(8);
            if (c % 100 == 18) send(9);
            expected.push_back("SerNet_man_flush_" + kind);
        }
        EXPECT_EQ(rec, expected) << kind;
        EXPECT_GT(rec.size(), 1000u);
    }
}

// Every command code served by a module above the command interface reaches its handler.
TEST_F(Frame, CommandHandlersAreHandedInByCode) {
    std::istringstream wired(
        "0500 meas_man_create 0501 gw_meascreate_reply 0502 meas_man_break 0503 meas_man_speed 0504 "
        "meas_man_kill_my_measurements 0505 meas_man_get_measurement_state 0506 gw_meas_timestamp_err 0510 "
        "meas_man_create2_cmd 0511 meas_man_meas2_create_reply 0512 meas_man_break2 0513 "
        "meas_man_break2_reply 0514 meas_man_speed2 0515 meas_man_speed2_reply 0516 "
        "meas_man_get_measurement_state2 0517 meas_man_get_measurement_state2_reply 0518 "
        "gw_meas2_timestamp_err 0300 SerNet_man_openpath 0301 SerNet_man_closepath 0F00 "
        "ci_get_version_info_req 0F01 ci_get_version_info_reply 0F04 "
        "ci_get_lapstack_info 1200 laptrigger_signal_cmd 1201 laptrigger_get_info_cmd 1202 "
        "laptrigger_get_info_reply_cmd 1203 laptrigger_meas 1204 laptrigger_check_outctr_cmd 1205 "
        "laptrigger_reset_lap_cmd 1206 laptrigger_reset_out_cmd 1207 laptrigger_reset_lapdist_cmd 1208 "
        "laptrigger_reset_best_laptime_cmd 1209 laptrigger_incr_outing_cmd 120A laptrigger_incr_lap_cmd 120B "
        "laptrigger_reset_segments_cmd 1500 eventlogging_cmd 1600 display_pageset_cmd");
    size_t n = 0;
    std::string name;
    for (unsigned code; wired >> std::hex >> code >> name; ++n)
        EXPECT_EQ(frame::serveCommand(static_cast<uint16_t>(code)), name) << std::hex << code;
    EXPECT_EQ(frame::commandCodes(), n);
}

// Runs fn on a task of its own and tells what it returned.
int onTask(const std::string& name, const std::function<int()>& fn) {
    std::atomic<int> result{99};
    const TASK_ID t = taskSpawnFn(name.c_str(), 100, 0, 0, [&] { result = fn(); });
    EXPECT_EQ(taskWaitExit(t, WAIT_FOREVER), OK) << name;
    return result;
}

// The process's main once more, on a task of its own with the rasters of the run before taken
// down, stepped until it ended or waits for the post-run. calls(task) then holds what it did.
struct Run {
    std::atomic<bool> done{false};
    std::atomic<int> result{99};
};
std::shared_ptr<Run> startMain(const std::string& task) {
    raster_reset();
    auto run = std::make_shared<Run>();
    taskSpawnFn(task.c_str(), 100, 0, 0, [run] {
        static char arg0[] = "vyn", arg1[] = "3";
        char* argv[] = {arg0, arg1, nullptr};
        run->result = vyn_main(2, argv);
        run->done = true;
    });
    auto waiting = [&task] {
        const Calls c = frame::calls(task);
        return !c.empty() && c.back() == "rtp_waitPostrun";
    };
    for (int i = 0; i < 200 && !run->done && !waiting(); ++i)
        sim::step(1);
    return run;
}

// Main's exit code, after the post-run was given to a main that waits for it.
int endMain(Run& run) {
    if (!run.done) semGive(frame::postrun);
    for (int i = 0; i < 2000 && !run.done; ++i)
        sim::step(1);
    EXPECT_TRUE(run.done);
    return run.result;
}

std::string capturedStdout() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST_F(Frame, BoardInitialisationEndsAtTheFirstFailingDriverWithItsCode) {
    const std::tuple<const char*, int, std::string> drivers[] = {
        {"gpio_ini", 6, "APAL_INIT_GPIO_ERROR"},
        {"ecfv_init", 1, "APAL_INIT_WRONG_VERSION"},
        {"time_init", 21, "APAL_INIT_TSYN_ERROR"},
        {"adc_init", 3, "APAL_INIT_ADC_ERROR"},
        {"spi_IOInit", 10, "APAL_INIT_SPI_ERROR"},
        {"max7301_Init", 13, "APAL_INIT_MAX7301_ERROR"},
        {"adc_pullup_init", 26, "APAL_INIT_PULLUP_ERROR"},
        {"pwmout_init", 9, "APAL_INIT_PWMOUT_ERROR"},
        {"ledArray_init", 35, "APAL_INIT_SLED_ERROR"},
        {"RotationalSpeed_Init", 16, "APAL_INIT_ROTATIONALSPEED_ERROR"},
    };
    Calls upTo;
    for (const auto& [driver, code, name] : drivers) {
        upTo.push_back(driver);
        const std::string task = std::string("t_apal_") + driver;
        frame::setFailing({driver});
        testing::internal::CaptureStdout();
        EXPECT_EQ(onTask(task, apalInit), code) << driver;
        EXPECT_EQ(capturedStdout(), "failed to initialize apal! Return Code: " + name + "\n");
        EXPECT_TRUE(logContains("apalInit() failed! (error code: " + name + ")!")) << driver;
        EXPECT_EQ(frame::calls(task), upTo) << "nothing after the failing driver";
    }
    frame::setFailing({});
    testing::internal::CaptureStdout();
    EXPECT_EQ(onTask("t_apal", apalInit), 0);
    EXPECT_EQ(capturedStdout(), "");
    EXPECT_EQ(frame::calls("t_apal"), upTo);
}

// The raster tasks as hooked (the table is checked above): their priorities, bound to no processor.
TEST_F(Frame, RasterTasksRunAtTheirPrioritiesOnAnyProcessor) {
    const std::pair<const char*, int> tasks[] = {
        {"r_r1ms", 29},
        {"r_r2ms", 65},
        {"r_r5ms", 66},
        {"r_r10ms", 67},
        {"r_r20ms", 70},
        {"r_r50ms", 71},
        {"r_r100ms", 72},
        {"r_r200ms", 87},
        {"r_r500ms", 88},
        {"r_r1000ms", 89},
        {"r_rEthSend_online", 83},
        {"r_rEthSend_offline", 84},
        {"r_rMeas", 132},
        {"r_sbLapPer", 82},
        {"r_Lap", 85},
    };
    for (const auto& [name, priority] : tasks) {
        const TASK_ID t = taskNameToId(name);
        int p = -1;
        uint32_t cpus = 0xFF;
        ASSERT_EQ(taskPriorityGet(t, &p) | taskCpuAffinityGet(t, &cpus), OK) << name;
        EXPECT_EQ(std::pair(p, cpus), std::pair(priority, 0u)) << name;
    }
}

// An essential step that fails ends the start-up with its text at once: nothing after it runs.
TEST_F(Frame, EssentialStepThatFailsEndsTheStartUpWithItsText) {
    ASSERT_TRUE(mainDone);
    // the step made to fail, the last step that ran, the exit code, what was logged
    const std::tuple<const char*, const char*, int, const char*> fatal[] = {
        {"AppMan_init", "AppMan_init", -1, "Failed to initialize Application Parameters for RTP 3"},
        {"seramInitialize", "seramInitialize", -1, "Failed to initialize SERAM"},
        {"RtpMan_ForwardEPK", "RtpMan_ForwardEPK", -1, "Forwarding EPK failed"},
        {"ecfv_init", "ecfv_init", 1, "apalInit() failed! (error code: APAL_INIT_WRONG_VERSION)!"},
        {"error_mgr_init", "error_mgr_init", -1, "Failed to initialize ERROR MGR"},
        // the repair is stored after the model's start, whether it started or not
        {"simulink_initialize", "nvram_dbs_repair_end", -1, "Failed to initialize Simlink"},
        // the error manager took all but four slots of the raster table
        {"", "nvram_dbs_repair_end", -1, "Failed to initialize Framework"},
        {"eventlogging_service_init", "eventlogging_service_init", -1,
         "Failed to initialize Eventlogging Service"},
        {"xcpInitialize", "xcpInitialize", -1, "Failed to initialize XCP"},
    };
    int n = 0;
    for (const auto& [step, last, code, text] : fatal) {
        const std::string task = "t_fatal" + std::to_string(n++);
        frame::setFailing({step});
        frame::errorMgrRasters = *step ? 0 : 60;
        testsupport::logDrain();
        testing::internal::CaptureStdout(); // the board's failure is printed too
        const auto run = startMain(task);
        capturedStdout();
        EXPECT_TRUE(run->done) << task << " went on";
        EXPECT_EQ(endMain(*run), code) << task;
        const Calls calls = frame::calls(task);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), last) << task;
        std::vector<testsupport::LogLine> lines = testsupport::logDrain();
        EXPECT_TRUE(testsupport::logContains(lines, text)) << text;
        EXPECT_FALSE(testsupport::logContains(lines, "Startup vyn"));
    }
    frame::errorMgrRasters = 0;
    // Without its non-volatile store the process ends at once with 0, printing why.
    frame::setFailing({"nvram_dbs_init"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(endMain(*startMain("t_fatal_nvram")), 0);
    EXPECT_EQ(capturedStdout(), "Failed to initialize NVRAM_DBS\n");
    EXPECT_EQ(frame::calls("t_fatal_nvram").back(), "nvram_dbs_init");

    // The device identity before: the serial number is "#" and four digits, else 0xFFFF, and
    // without the device-data store it keeps what it was.
    const std::pair<const char*, uint16_t> serials[] = {{"#9081", 9081},   {"X0815", 0xFFFF},
                                                        {"#9O81", 0xFFFF}, {"#908", 0xFFFF},
                                                        {"", 0xFFFF},      {nullptr, 1234}};
    frame::setFailing({"simulink_initialize"});
    for (const auto& [text, value] : serials) {
        serialnum = 1234;
        frame::serialText = text;
        testsupport::logDrain();
        endMain(*startMain("t_serial"));
        std::vector<testsupport::LogLine> lines = testsupport::logDrain();
        EXPECT_EQ(uint16_t{serialnum}, value) << (text ? text : "no store");
        EXPECT_EQ(testsupport::logContains(lines, "Device Partnumber: '4000-115-021', Serialnumber: '" +
                                                      std::string(text ? text : "") + "'"),
                  text != nullptr);
    }
    frame::serialText = nullptr;
    frame::setFailing({});
    raster_reset();
}

// With the outing counter mode 1, lap and outing come from the store at the start though the
// laptrigger master is another unit.
TEST_F(Frame, OutingCounterModeOneTakesLapAndOutingFromTheStore) {
    cfg_system.ltm_remote = 1, cfg_system.logging_active = 0; // not logging: the master is not asked
    seram_memory[VTADDR_OUTINGCTR_MODE + seramActiveOffset] = 1;
    frame::setFailing({"simulink_initialize"});
    endMain(*startMain("t_outing"));
    const Calls calls = frame::calls("t_outing");
    const auto lof = std::find(calls.begin(), calls.end(), "LapOutFra_init");
    ASSERT_LT(lof + 2, calls.end());
    EXPECT_EQ(Calls(lof + 1, lof + 3), (Calls{"LapOutFra_getState", "LapOutFra_initLapOutCnt(12,3)"}));
    seram_memory[VTADDR_OUTINGCTR_MODE + seramActiveOffset] = 0;
    cfg_system = cfg_system_t{};
    frame::setFailing({});
    raster_reset();
}

// Other failures are logged and the start-up goes on. Here too: this unit is the time slave,
// the laptrigger master is another unit and the display starts at the fourth attempt.
TEST_F(Frame, OtherFailuresAreLoggedAndTheUnitRunsOn) {
    const std::string texts[] = {"Failed to initialize applcomm", "Failed to initialize meascalinfo",
                                 "can_CtrlInit() failed!", "initec(): Error LapOutFra_init()",
                                 "Disks not ready! Setting meas files read only skipped."};
    // The first run failed none of them and waited for no laptrigger master.
    for (const std::string& text : texts)
        EXPECT_FALSE(logContains(text)) << text;
    EXPECT_TRUE(logContains("meas app disks READY, delayed "));
    EXPECT_TRUE(frame::calls("r_ltmAvail").empty());

    raster_reset();
    testsupport::logDrain();
    frame::setFailing(
        {"applComm_ini", "meascalinfo_init", "can_CtrlInit", "LapOutFra_init", "meas_app_BootPrepareDisks"});
    cfg_system.time_slave = cfg_system.ltm_remote = cfg_system.logging_active = 1;
    frame::displayRefusals = 3;
    const auto run = startMain("t_again");
    const Calls calls = frame::calls("t_again");
    std::vector<testsupport::LogLine> lines = testsupport::logDrain();
    for (const std::string& text : texts)
        EXPECT_TRUE(testsupport::logContains(lines, text)) << text;
    EXPECT_TRUE(testsupport::logContains(lines, "display start took 3ms!"));
    EXPECT_TRUE(testsupport::logContains(lines, "Startup vyn: took 3ms, system time "));
    uint32_t cpus = 0;
    ASSERT_EQ(taskCpuAffinityGet(taskNameToId("t_again"), &cpus), OK);
    EXPECT_EQ(cpus, 2u) << "the second processor";
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "displayStart"), 4);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "timeserv_init(1,0)"), calls.end());
    // Lap and outing wait for the master, who is asked for them after 30 s.
    const auto lof = std::find(calls.begin(), calls.end(), "LapOutFra_init");
    ASSERT_NE(lof, calls.end());
    EXPECT_EQ(lof[1], "meas_app_BootPrepareDisks(1,2000)");
    EXPECT_EQ(frame::calls("r_ltmAvail"), Calls{"LapOutFra_queryLapOutCntTask(161)"});

    EXPECT_EQ(endMain(*run), 0);
    EXPECT_EQ(taskNameToId("r_gpsTask"), TASK_ID_NULL) << "deleted by the shutdown";
    EXPECT_FALSE(testsupport::logContains(lines, "rtpShutdown() did not get tid for gpsTask"));
    cfg_system = cfg_system_t{};
    frame::setFailing({});
    raster_reset();
}

} // namespace
