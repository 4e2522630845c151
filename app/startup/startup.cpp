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
    int64_t t0 = monoMs();
    taskCpuAffinitySet(taskIdSelf(), 2);
    syslog_queue_init();
    syslog_init();

    if (argc != 2) {
        syslogx(LOG_ERR, "Wrong number of arguments for RTP");
        return -1;
    }
    uint32_t index;
    if (!parseIndex(argv[1], &index)) {
        syslogx(LOG_ERR, "Wrong process index '%s' for RTP: a decimal number from 0 to %d", argv[1],
                INT32_MAX);
        return -1;
    }
    RtpManUsr_setIndex(index);

    if (AppMan_init() != 1) {
        syslogx(LOG_CRIT, "Failed to initialize Application Parameters for RTP %d", static_cast<int>(index));
        return -1;
    }
    uint32_t ip = AppMan_getIPv4Addr();
    syslogx(LOG_INFO, "%s", "**************************************************************************");
    syslogx(LOG_INFO, "Start Application Number %d, Application PID %d, IPv4 Address %d.%d.%d.%d",
            static_cast<int>(index), AppMan_getPID(), static_cast<int>(ip >> 24),
            static_cast<int>((ip >> 16) & 0xFF), static_cast<int>((ip >> 8) & 0xFF),
            static_cast<int>(ip & 0xFF));

    wiring_handIn(index);
    rtp_openPostrun(index);

    if (nvram_dbs_init() != 1) {
        std::printf("Failed to initialize NVRAM_DBS\n");
        return 0;
    }
    // An erased store gets all its records during the start-up: stored in one go after the
    // model's start.
    nvram_dbs_repair_begin();
    boot_count_ini();
    syslogx(LOG_INFO, "Boot counter: %d", static_cast<int>(boot_count_get()));

    if (seramInitialize() != 1) {
        syslogx(LOG_ERR, "Failed to initialize SERAM\n");
        return -1;
    }
    if (RtpMan_ForwardEPK() != 1) {
        syslogx(LOG_ERR, "Forwarding EPK failed");
        return -1;
    }
    int apal = apalInit();
    if (apal != 0) return apal;
    syslogx(LOG_INFO, "apalInit() success! EPKID: %s", seramGetEPKPtr());

    readDeviceIdentity();

    if (applComm_ini() != 1) syslogx(LOG_ERR, "Failed to initialize applcomm");
    time_util_ini();
    adc_fifo_ini();

    if (raster_initializeStep0() != 1) {
        syslogx(LOG_ERR, "Failed to initialize STEP0");
        return -1;
    }
    nvram_initialize(); // has nothing to set up and cannot fail
    if (error_mgr_init() != 1) {
        syslogx(LOG_ERR, "Failed to initialize ERROR MGR");
        return -1;
    }

    led_init();
    if (RtpManUsrCan_Init() != 1) syslogx(LOG_ERR, "RtpManUsrCan_Init() failed!");
    cfg_system_ini();
    msd_shell_initialize();
    timeserv_init(1, cfg_system.time_slave == 0 ? 1 : 0);
    gps_init();
    start_softSched();

    if (meascalinfo_init() != 1) syslogx(LOG_ERR, "Failed to initialize meascalinfo");
    meascalinfo_virtchan_ini();
    routing_ini();
    comint_ini();
    meas_man_ini();
    gw_meas_ini();
    SerNet_man_ini();
    dynkomm_ini();
    variables_ini();
    awm_man_ini();

    if (can_CtrlInit() != 1) syslogx(LOG_ERR, "can_CtrlInit() failed!");
    can_vyn_ini();
    ccpmr_ini();
    xcpmr_ini();
    displayCtrl_ini();
    displayInit();
    meas_app_ini();
    tele_app_ini();
    sblk_task_init("r_sblk_task", 130, 0x3000, 0);
    eventChannelsInit();

    if (LapOutFra_init() != 0) syslogx(LOG_ERR, "initec(): Error LapOutFra_init()");
    if (cfg_system.ltm_remote == 0 || OUTINGCTR_MODE == 1) {
        LapOutFraState st{};
        LapOutFra_getState(&st);
        LapOutFra_initLapOutCnt(st.lap, st.outing);
    }
    if (cfg_system.ltm_remote == 1 && cfg_system.logging_active == 1) {
        if (taskSpawn("r_ltmAvail", 161, 0, 100000, [](intptr_t, intptr_t, intptr_t, intptr_t) {
                LapOutFra_queryLapOutCntTask();
            }) == TASK_ID_NULL)
            syslogx(LOG_ERR, "main(): start of t_ltmAvail task failed!");
    }

    int64_t disksStart = monoMs();
    if (meas_app_BootPrepareDisks(1, 2 * sysClkRateGet()) == -1)
        syslogx(LOG_ERR, "Disks not ready! Setting meas files read only skipped.");
    else
        syslogx(LOG_DEBUG, "meas app disks READY, delayed %d ms", static_cast<int>(monoMs() - disksStart));

    const uint8_t model = simulink_initialize();
    // The model's start stores the lap counters of a new outing: on a first boot with the rest.
    if (nvram_dbs_repair_end() != 1) syslogx(LOG_ERR, "Failed to store the repaired NVRAM");
    if (model != 1) {
        syslogx(LOG_ERR, "Failed to initialize Simlink");
        return -1;
    }
    if (framework_initialize() != 1) {
        syslogx(LOG_ERR, "Failed to initialize Framework");
        return -1;
    }
    if (eventlogging_service_init() != 1) {
        syslogx(LOG_ERR, "Failed to initialize Eventlogging Service");
        return -1;
    }
    BC2_init();
    if (raster_initializeStep1() != 1) {
        syslogx(LOG_ERR, "Failed to initialize STEP1");
        return -1;
    }
    timeserv_MeasTime_ini();
    if (xcpInitialize() != 0) {
        syslogx(LOG_ERR, "Failed to initialize XCP");
        return -1;
    }
    startDisplay();

    timespec now{};
    osClockGettime(CLOCK_MONOTONIC, &now);
    long s = static_cast<long>(now.tv_sec);
    syslogx(LOG_INFO, "Startup vyn: took %dms, system time %dh:%dm:%ds:%dms", static_cast<int>(monoMs() - t0),
            static_cast<int>(s / 3600), static_cast<int>((s / 60) % 60), static_cast<int>(s % 60),
            static_cast<int>(now.tv_nsec / 1000000));

    rtp_waitPostrun();
    rtpShutdown();
    syslogx(LOG_INFO, "Main: Shutdown ended, exiting smoothly");
    return 0;
}
