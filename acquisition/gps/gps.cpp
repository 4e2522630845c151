#include "acquisition/gps/gps.h"
#include "acquisition/gps/gps_private.h"
#include "acquisition/gps/nmea.h"
#include "platform/os/os.h"
#include "platform/os/osfs.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unistd.h>

namespace {

constexpr const char* GPS_DEVICE = "/tyCo/1";
constexpr int GPS_BAUD = 115200; // room for RMC, GGA and VTG at 10 Hz
constexpr int GPS_PRIORITY = 90;
constexpr size_t GPS_STACK = 16384;

// Closes the device when the task ends, also when it is deleted (its stack unwinds).
struct Device {
    int fd;
    ~Device() { close(fd); }
};

// A fix is only as good as its last position: without one for two seconds there is none.
void checkFixAge(uint64_t lastPosition) {
    if (gps_fix != 0 && tick64Get() - lastPosition > static_cast<uint64_t>(2 * sysClkRateGet())) gps_fix = 0;
}

void publish(const NmeaSentence& s, uint64_t* lastPosition) {
    if (s.hasQuality) gps_fix = s.quality;
    if (!s.valid) return;
    if (s.hasPosition) {
        gps_lat = static_cast<int32_t>(std::lround(s.latitude * 1e7));
        gps_long = static_cast<int32_t>(std::lround(s.longitude * 1e7));
        *lastPosition = tick64Get();
    }
    if (s.hasSpeed) gps_speed = static_cast<float>(s.speedKmh);
    if (s.hasCourse) gps_dir = static_cast<float>(s.course);
}

void gpsTask(intptr_t fd, intptr_t, intptr_t, intptr_t) {
    Device dev{static_cast<int>(fd)};
    NmeaReader reader;
    uint64_t lastPosition = tick64Get();
    uint8_t buf[256];
    for (;;) {
        const int ready = osWaitReadable(dev.fd, sysClkRateGet() / 10);
        const ssize_t n = ready > 0 ? read(dev.fd, buf, sizeof buf) : 0;
        if (ready < 0 || (ready > 0 && (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)))) {
            // The far end is gone (a hang-up reads as end of file): look again later.
            SYSLOGX_GUARDED(LOG_WARN, "gpsTask: %s: %s", GPS_DEVICE,
                            n == 0 ? "hung up" : std::strerror(errno));
            taskDelay(sysClkRateGet());
        }
        for (ssize_t i = 0; i < n; ++i) {
            NmeaSentence s;
            NmeaDrop why;
            if (!reader.push(buf[i], &s, &why)) continue;
            if (why == NmeaDrop::None)
                publish(s, &lastPosition);
            else
                SYSLOGX_GUARDED(LOG_WARN, "gpsTask: NMEA sentence dropped: %s", nmeaDropText(why));
        }
        checkFixAge(lastPosition);
    }
}

} // namespace

void gps_init() {
    if (taskNameToId("r_gpsTask") != TASK_ID_NULL) return;
    int fd = osOpen(GPS_DEVICE, O_RDONLY);
    if (fd < 0) {
        syslogx(LOG_WARN, "gps_init(): no GPS receiver, %s: %s", GPS_DEVICE, std::strerror(errno));
        return;
    }
    if (osIoctl(fd, OS_FIOBAUDRATE, GPS_BAUD) != 0 && errno != ENOTTY)
        syslogx(LOG_WARN, "gps_init(): %s: %d baud refused: %s", GPS_DEVICE, GPS_BAUD, std::strerror(errno));
    gps_fix = 0;
    if (taskSpawn("r_gpsTask", GPS_PRIORITY, VX_FP_TASK, GPS_STACK, gpsTask, fd) == TASK_ID_NULL) {
        syslogx(LOG_ERR, "gps_init(): taskSpawn r_gpsTask failed: %s", std::strerror(errno));
        close(fd);
    }
}

void gps_endTask(const char* name) {
    TASK_ID t = taskNameToId(name);
    if (t != TASK_ID_NULL && taskDelete(t) == OK) taskWaitExit(t, WAIT_FOREVER);
}

void gps_reset() {
    gps_endTask("r_gpsTask");
    gps_trackdet_reset();
}
