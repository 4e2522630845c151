// Process start-up and shutdown: brings every subsystem up in one fixed order, then waits
// on the post-run semaphore and shuts down in order.
#include "app/startup/startup.h"

#include "acquisition/adc/adc.h"
#include "acquisition/adcfifo/adcfifo.h"
#include "acquisition/awm/awm_man.h"
#include "acquisition/board/board.h"
#include "acquisition/gps/gps.h"
#include "acquisition/led/led.h"
#include "app/raster/bodies.h"
#include "app/startup/wiring.h"
#include "calibration/meascalinfo/meascalinfo.h"
#include "calibration/memory/seram.h"
#include "calibration/variables/variables.h"
#include "calibration/virtchan/virtchan.h"
#include "calibration/xcp/xcp.h"
#include "comm/bc2/bc2.h"
#include "comm/can/can.h"
#include "comm/canio/canio.h"
#include "comm/canout/canout.h"
#include "comm/ccpmr/ccpmr.h"
#include "comm/comint/comint.h"
#include "comm/dynkomm/dynkomm.h"
#include "comm/gw/gw.h"
#include "comm/measman/meas_man.h"
#include "comm/routing/routing.h"
#include "comm/sernet/sernet.h"
#include "comm/tele/tele.h"
#include "comm/xcpmr/xcpmr.h"
#include "display/app/display.h"
#include "logging/eventlog/eventlog.h"
#include "logging/lapoutfra/lapoutfra.h"
#include "logging/measapp/measapp.h"
#include "logging/sblk/sblk.h"
#include "model/model.h"
#include "platform/os/os.h"
#include "services/applcomm/applcomm.h"
#include "services/errmgr/errmgr.h"
#include "services/nvram/nvram.h"
#include "services/nvramst/nvramst.h"
#include "services/raster/raster.h"
#include "services/rtpman/rtpman.h"
#include "services/shell/shell.h"
#include "services/syslog/syslog.h"
#include "services/sysrole/sysrole.h"
#include "services/time/time_util.h"
#include "services/timemod/timemod.h"
#include "services/timeserv/timeserv.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

const char* const apal_err_codes[36] = {
    "APAL_INIT_OK",
    "APAL_INIT_WRONG_VERSION",
    "APAL_INIT_FST_ERROR",
    "APAL_INIT_ADC_ERROR",
    "APAL_INIT_ISR_ERROR",
    "APAL_INIT_POWER_ERROR",
    "APAL_INIT_GPIO_ERROR",
    "APAL_INIT_FPGA_ERROR",
    "APAL_INIT_FPGA_ADR_ERROR",
    "APAL_INIT_PWMOUT_ERROR",
    "APAL_INIT_SPI_ERROR",
    "APAL_INIT_DRIVER11_ERROR",
    "APAL_INIT_DRIVER12_ERROR",
    "APAL_INIT_MAX7301_ERROR",
    "APAL_INIT_DRIVER14_ERROR",
    "APAL_INIT_DRIVER15_ERROR",
    "APAL_INIT_ROTATIONALSPEED_ERROR",
    "APAL_INIT_PSADC_ERROR",
    "APAL_INIT_SCADC_ERROR",
    "APAL_INIT_DRIVER19_ERROR",
    "APAL_INIT_DRIVER20_ERROR",
    "APAL_INIT_TSYN_ERROR",
    "APAL_INIT_TSTP_ERROR",
    "APAL_INIT_WDOG_ERROR",
    "APAL_INIT_DIAGMUX_ERROR",
    "APAL_INIT_NVRAMST_ERROR",
    "APAL_INIT_PULLUP_ERROR",
    "APAL_INIT_UART_ERROR",
    "APAL_INIT_PWMIN_ERROR",
    "APAL_INIT_PCYL_ERROR",
    "APAL_INIT_LIN_ERROR",
    "APAL_INIT_CRASHDUMP_ERROR",
    "APAL_INIT_SYSCALL_ERROR",
    "APAL_INIT_ONEWIRE_ERROR",
    "APAL_INIT_APIX_ERROR",
    "APAL_INIT_SLED_ERROR",
};

namespace {

int64_t monoMs() {
    timespec ts{};
    osClockGettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// "#" followed by four decimal digits gives their value; anything else 0xFFFF.
uint16_t parseSerial(const char* s) {
    if (s[0] != '#') return 0xFFFF;
    uint16_t v = 0;
    for (int i = 1; i <= 4; ++i) {
        if (s[i] < '0' || s[i] > '9') return 0xFFFF;
        v = static_cast<uint16_t>(v * 10 + (s[i] - '0'));
    }
    return v;
}

void readDeviceIdentity() {
    if (!nvramst_init()) return;
    // The items are 16 bytes, terminated only when shorter.
    char part[17] = {}, serial[17] = {};
    nvramst_get_partNumber(part);
    nvramst_get_serialNumber(serial);
    std::memcpy(partnum, part, 16);
    std::memcpy(serialnum_ascii, serial, 16);
    syslogx(LOG_INFO, "Device Partnumber: '%s', Serialnumber: '%s'", part, serial);
    serialnum = parseSerial(serial);
}

void startDisplay() {
    int waits = 0;
    bool started = false;
    for (;;) {
        if (displayStart() == 0) {
            started = true;
            break;
        }
        if (waits == 50) break;
        taskDelay(1);
        waits++;
    }
    if (!started)
        syslogx(LOG_ERR, "display could not be started!");
    else
        syslogx(LOG_DEBUG, "display start took %ums!", static_cast<unsigned>(waits * 1000 / sysClkRateGet()));
}

// Digits only, at most INT32_MAX: the index is printed with %d into the names of the
// process's objects ("/SemPostDrive%d"), which must be the ones the platform opens.
bool parseIndex(const char* s, uint32_t* out) {
    uint64_t v = 0;
    for (const char* p = s; *p; ++p) {
        if (*p < '0' || *p > '9' || (v = v * 10 + static_cast<uint64_t>(*p - '0')) > INT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(v);
    return *s != 0;
}

bool takeIndex(int argc, char** argv, uint32_t* index) {
    if (argc != 2) {
        syslogx(LOG_ERR, "Wrong number of arguments for RTP");
        return false;
    }
    if (!parseIndex(argv[1], index)) {
        syslogx(LOG_ERR, "Wrong process index '%s' for RTP: a decimal number from 0 to %d", argv[1],
                INT32_MAX);
        return false;
    }
    return true;
}

void logBanner(uint32_t index) {
    const uint32_t ip = AppMan_getIPv4Addr();
    syslogx(LOG_INFO, "%s", "**************************************************************************");
    syslogx(LOG_INFO, "Start Application Number %d, Application PID %d, IPv4 Address %d.%d.%d.%d",
            static_cast<int>(index), AppMan_getPID(), static_cast<int>(ip >> 24),
            static_cast<int>((ip >> 16) & 0xFF), static_cast<int>((ip >> 8) & 0xFF),
            static_cast<int>(ip & 0xFF));
}

void logStartUpTime(int64_t t0) {
    timespec now{};
    osClockGettime(CLOCK_MONOTONIC, &now);
    const long s = static_cast<long>(now.tv_sec);
    syslogx(LOG_INFO, "Startup vyn: took %dms, system time %dh:%dm:%ds:%dms", static_cast<int>(monoMs() - t0),
            static_cast<int>(s / 3600), static_cast<int>((s / 60) % 60), static_cast<int>(s % 60),
            static_cast<int>(now.tv_nsec / 1000000));
}

// What a failed step does to the start-up.
enum class Failure : uint8_t {
    Ignored, // its result is not looked at
    Logged,  // its text is logged and the start-up goes on
    Fatal,   // its text is logged and main returns -1 at once, without the shutdown
    Printed, // the double store: its text goes to standard output and main returns 0
    Board,   // main returns the board's result, which apalInit has reported
};

// One step: its call, what its failure does and the failure's text.
struct StartStep {
    int (*call)();
    Failure failure = Failure::Ignored;
    const char* text = nullptr;
    int ok = 1; // what the call returns when it succeeded
};

// The call's result as a step's; 0 for a call without one.
template <auto F> int run() {
    if constexpr (std::is_void_v<decltype(F())>) {
        F();
        return 0;
    } else {
        return static_cast<int>(F());
    }
}

int countBoot() {
    boot_count_ini();
    syslogx(LOG_INFO, "Boot counter: %d", static_cast<int>(boot_count_get()));
    return 1;
}

int logEpk() {
    syslogx(LOG_INFO, "apalInit() success! EPKID: %s", seramGetEPKPtr());
    return 1;
}

int startTimeService() {
    return timeserv_init(1, cfg_system.time_slave == 0 ? 1 : 0);
}

int startStatusBlockTask() {
    sblk_task_init("r_sblk_task", 130, 0x3000, 0);
    return 1;
}

// A unit that counts its own laps, or keeps its outings, goes on from the stored counters.
int restoreLapCounters() {
    if (cfg_system.ltm_remote == 0 || OUTINGCTR_MODE == 1) {
        LapOutFraState st{};
        LapOutFra_getState(&st);
        LapOutFra_initLapOutCnt(st.lap, st.outing);
    }
    return 1;
}

// A logging unit whose laps are counted elsewhere asks the lap-trigger master for the counters.
int askLapMaster() {
    if (cfg_system.ltm_remote != 1 || cfg_system.logging_active != 1) return 1;
    return taskSpawn("r_ltmAvail", 161, 0, 100000, [](intptr_t, intptr_t, intptr_t, intptr_t) {
               LapOutFra_queryLapOutCntTask();
           }) != TASK_ID_NULL;
}

int prepareDisks() {
    const int64_t start = monoMs();
    if (meas_app_BootPrepareDisks(1, 2 * sysClkRateGet()) == -1) return 0;
    syslogx(LOG_DEBUG, "meas app disks READY, delayed %d ms", static_cast<int>(monoMs() - start));
    return 1;
}

// The model's start stores the lap counters of a new outing: on a first boot with the rest of the
// erased store's repair, stored in one go whether the model started or not.
int startModel() {
    const uint8_t model = simulink_initialize();
    if (nvram_dbs_repair_end() != 1) syslogx(LOG_ERR, "Failed to store the repaired NVRAM");
    return model;
}

// Everything after the index and the parameters, in this order.
const StartStep startSteps[] = {
    {run<nvram_dbs_init>, Failure::Printed, "Failed to initialize NVRAM_DBS\n"},
    // An erased store gets all its records during the start-up: stored in one go after the
    // model's start.
    {run<nvram_dbs_repair_begin>},
    {countBoot},
    {run<seramInitialize>, Failure::Fatal, "Failed to initialize SERAM\n"},
    {run<RtpMan_ForwardEPK>, Failure::Fatal, "Forwarding EPK failed"},
    {apalInit, Failure::Board, nullptr, 0},
    {logEpk},
    {run<readDeviceIdentity>},
    {run<applComm_ini>, Failure::Logged, "Failed to initialize applcomm"},
    {run<time_util_ini>},
    {run<adc_fifo_ini>},
    {run<raster_initializeStep0>, Failure::Fatal, "Failed to initialize STEP0"},
    {run<nvram_initialize>, Failure::Fatal, "Failed to initialize NVRAM\n"},
    {run<error_mgr_init>, Failure::Fatal, "Failed to initialize ERROR MGR"},
    {run<led_init>},
    {run<RtpManUsrCan_Init>, Failure::Logged, "RtpManUsrCan_Init() failed!"},
    {run<cfg_system_ini>},
    {run<msd_shell_initialize>},
    {startTimeService},
    {run<gps_init>},
    {run<start_softSched>},
    {run<meascalinfo_init>, Failure::Logged, "Failed to initialize meascalinfo"},
    {run<meascalinfo_virtchan_ini>},
    {run<routing_ini>},
    {run<comint_ini>},
    {run<meas_man_ini>},
    {run<gw_meas_ini>},
    {run<SerNet_man_ini>},
    {run<dynkomm_ini>},
    {run<variables_ini>},
    {run<awm_man_ini>},
    {run<can_CtrlInit>, Failure::Logged, "can_CtrlInit() failed!"},
    {run<can_vyn_ini>},
    {run<ccpmr_ini>},
    {run<xcpmr_ini>},
    {run<displayCtrl_ini>},
    {run<displayInit>},
    {run<meas_app_ini>},
    {run<tele_app_ini>},
    {startStatusBlockTask},
    {run<eventChannelsInit>},
    {run<LapOutFra_init>, Failure::Logged, "initec(): Error LapOutFra_init()", 0},
    {restoreLapCounters},
    {askLapMaster, Failure::Logged, "main(): start of t_ltmAvail task failed!"},
    {prepareDisks, Failure::Logged, "Disks not ready! Setting meas files read only skipped."},
    {startModel, Failure::Fatal, "Failed to initialize Simlink"},
    {run<framework_initialize>, Failure::Fatal, "Failed to initialize Framework"},
    {run<eventlogging_service_init>, Failure::Fatal, "Failed to initialize Eventlogging Service"},
    {run<BC2_init>},
    {run<raster_initializeStep1>, Failure::Fatal, "Failed to initialize STEP1"},
    {run<timeserv_MeasTime_ini>},
    {run<xcpInitialize>, Failure::Fatal, "Failed to initialize XCP", 0},
    {run<startDisplay>},
};

// Reports a failed step as its row says; true when main ends with *exitCode.
bool endsStartUp(const StartStep& step, int result, int* exitCode) {
    if (step.failure == Failure::Ignored || result == step.ok) return false;
    switch (step.failure) {
    case Failure::Logged:
        syslogx(LOG_ERR, "%s", step.text);
        return false;
    case Failure::Fatal:
        syslogx(LOG_ERR, "%s", step.text);
        *exitCode = -1;
        return true;
    case Failure::Printed:
        std::printf("%s", step.text);
        *exitCode = 0;
        return true;
    case Failure::Board:
        *exitCode = result;
        return true;
    case Failure::Ignored:
        break;
    }
    return false;
}

} // namespace

int nvram_initialize() {
    return 1;
}

int apalInitInt() {
    struct Step {
        uint8_t (*init)();
        int code;
    };
    static const Step steps[] = {
        {gpio_ini, 6},         {ecfv_init, 1},
        {time_init, 21},       {adc_init, 3},
        {spi_IOInit, 10},      {max7301_Init, 13},
        {adc_pullup_init, 26}, {pwmout_init, 9},
        {ledArray_init, 35},   {RotationalSpeed_Init, 16},
    };
    for (const Step& s : steps)
        if (s.init() != 1) return s.code;
    return 0;
}

int apalInit() {
    int r = apalInitInt();
    if (r != 0) {
        const char* name = r >= 0 && r < 36 ? apal_err_codes[r] : "unknown";
        std::printf("failed to initialize apal! Return Code: %s\n", name);
        syslogx(LOG_ERR, "apalInit() failed! (error code: %s)!", name);
    }
    return r;
}

void rtpShutdown() {
    syslogx(LOG_INFO, "rtpShutdown(): starting RTP shutdown routine");
    rtp_setShutdownStarted();
    int64_t start = monoMs();

    applComm_setBlink(0, 13);
    taskDelay(1);

    pwmout_shutdown();
    sblk_power_down();
    meas_app_remotefaststop();
    CanOut_stop();
    displayJoin();
    gw_stop();
    xcp_shutdown_now();
    awm_man_stop();
    adc_filter_stop();
    BC2_stop();

    // The GPS task is asked to end and joined; killing it could leave its locks held.
    TASK_ID gps = taskNameToId("r_gpsTask");
    if (gps == TASK_ID_NULL) {
        syslogx(LOG_DEBUG, "rtpShutdown() did not get tid for gpsTask");
    } else if (taskDelete(gps) != OK || taskWaitExit(gps, sysClkRateGet() / 5) != OK) {
        syslogx(LOG_ERR, "rtpShutdown() gpsTask delete errno '%s' \n", std::strerror(errno));
    }

    static uint8_t loggerState = 0;
    for (;;) {
        if (loggerState == 0) {
            if (!(meas_app_get_flags() & 0x20)) loggerState = 1;
        } else if (loggerState == 1) {
            if (meas_app_PreTrigIsOfflineDataFlushed() == 1) loggerState = 2;
        }
        if (monoMs() - start >= 950) {
            syslogx(LOG_ERR, "LoggerShutdown(): timeout occurred (state %i) force shutdown after %dms",
                    loggerState, 950);
            taskDelay(sysClkRateGet() / 5);
            break;
        }
        if (loggerState == 2) {
            taskDelay(sysClkRateGet() / 5);
            break;
        }
        taskDelay(1);
    }

    raster_shutdown();
    error_mgr_shutdown();

    int64_t took = monoMs() - start;
    if (took < 950)
        syslogx(LOG_INFO, "LoggerShutdown(): shutdown finished, took %dms", static_cast<int>(took));
}

int vyn_main(int argc, char** argv) {
    const int64_t t0 = monoMs();
    taskCpuAffinitySet(taskIdSelf(), 2);
    syslog_queue_init();
    syslog_init();

    uint32_t index;
    if (!takeIndex(argc, argv, &index)) return -1;
    RtpManUsr_setIndex(index);
    if (AppMan_init() != 1) {
        syslogx(LOG_CRIT, "Failed to initialize Application Parameters for RTP %d", static_cast<int>(index));
        return -1;
    }
    logBanner(index);
    wiring_handIn(index);
    rtp_openPostrun(index);

    for (const StartStep& step : startSteps) {
        int exitCode;
        if (endsStartUp(step, step.call(), &exitCode)) return exitCode;
    }
    logStartUpTime(t0);

    rtp_waitPostrun();
    rtpShutdown();
    syslogx(LOG_INFO, "Main: Shutdown ended, exiting smoothly");
    return 0;
}
