// GPS lap trigger: the car crosses the trigger line when, between two positions, it passes the
// line through the trigger point square to its way, closer than the trigger distance to the
// point (docs/gps.md, "Lines"). Speed and direction inputs are checked against the positions.
#include "acquisition/gps/gps.h"
#include "services/errmgr/errmgr.h"
#include "platform/os/os.h"

#include <atomic>
#include <cmath>

namespace {

constexpr double EARTH_RADIUS_M = 6371008.8;
constexpr double RAD = M_PI / 180.0;
// Below this the car has not moved: the receiver repeats its last position between fixes.
constexpr double MOVED_M = 0.01;
// The inputs disagree with the positions: speed by more than this share plus 10 km/h, the
// course by more than 45 degrees (only checked while faster than 10 km/h).
constexpr double SPEED_SHARE = 0.5, SPEED_SLACK_KMH = 10.0, COURSE_DEG = 45.0, CHECK_KMH = 10.0;

struct Trigger {
    double lat = NAN, lon = NAN, dist = 0;
    bool speedUsed = false, dirUsed = false;
    double prevLat = NAN, prevLon = NAN;
    uint64_t prevTick = 0;
    bool speedBad = false, dirBad = false;
};
Trigger trig;
// Read by the lap function's outputs in the same task; atomic for the shell and tests.
std::atomic<float> dist2trig{NAN}, longDist2trig{NAN}, vertDist2trig{NAN};

// Metres east and north of (lat0, lon0).
void toPlane(double lat0, double lon0, double lat, double lon, double* x, double* y) {
    *x = (lon - lon0) * RAD * std::cos(lat0 * RAD) * EARTH_RADIUS_M;
    *y = (lat - lat0) * RAD * EARTH_RADIUS_M;
}

void report(bool speedBad, bool dirBad) {
    if (speedBad && !trig.speedBad) error_mgr_set(ERROR_MGR_PATH_GPS, ERROR_MGR_ERR_TYPE_GPS_LT_SPEED, 0);
    if (dirBad && !trig.dirBad) error_mgr_set(ERROR_MGR_PATH_GPS, ERROR_MGR_ERR_TYPE_GPS_LT_DIRECTION, 0);
    if (!speedBad && !dirBad && (trig.speedBad || trig.dirBad)) error_mgr_clear(ERROR_MGR_PATH_GPS);
    trig.speedBad = speedBad;
    trig.dirBad = dirBad;
}

} // namespace

GpsLine gps_line(double pointLat, double pointLon, double prevLat, double prevLon, double lat, double lon) {
    GpsLine r;
    double px, py, cx, cy;
    toPlane(pointLat, pointLon, prevLat, prevLon, &px, &py);
    toPlane(pointLat, pointLon, lat, lon, &cx, &cy);
    r.direct = std::hypot(cx, cy);
    const double mx = cx - px, my = cy - py, m = std::hypot(mx, my);
    if (!(m >= MOVED_M)) return r; // also for a position that is not a number
    const double ux = mx / m, uy = my / m;
    r.moved = true;
    r.along = cx * ux + cy * uy;
    r.across = cx * uy - cy * ux; // positive: the point lies to the left of the way
    r.crossed = px * ux + py * uy < 0 && r.along >= 0;
    r.travelled = m;
    r.course = std::fmod(std::atan2(mx, my) / RAD + 360.0, 360.0);
    return r;
}

void initGpsTrigger(float lon, float lat, float dist, uint8_t speedUsed, uint8_t dirUsed) {
    trig = Trigger{};
    trig.lat = lat;
    trig.lon = lon;
    trig.dist = dist;
    trig.speedUsed = speedUsed != 0;
    trig.dirUsed = dirUsed != 0;
    dist2trig = longDist2trig = vertDist2trig = NAN;
    error_mgr_clear(ERROR_MGR_PATH_GPS);
}

uint8_t getGpsTrigger(float lon, float lat, float speed, float dir) {
    if (std::isnan(lat) || std::isnan(lon) || std::isnan(trig.lat)) return 0;
    const uint64_t now = tick64Get();
    if (std::isnan(trig.prevLat)) {
        trig.prevLat = lat;
        trig.prevLon = lon;
        trig.prevTick = now;
        return 0;
    }
    const GpsLine l = gps_line(trig.lat, trig.lon, trig.prevLat, trig.prevLon, lat, lon);
    dist2trig = static_cast<float>(l.direct);
    if (!l.moved) return 0;
    longDist2trig = static_cast<float>(l.along);
    vertDist2trig = static_cast<float>(l.across);
    const double dt = static_cast<double>(now - trig.prevTick) / sysClkRateGet();
    trig.prevLat = lat;
    trig.prevLon = lon;
    trig.prevTick = now;
    // Signals not used count as plausible.
    const double kmh = dt > 0 ? l.travelled / dt * 3.6 : NAN;
    const bool speedBad = trig.speedUsed && !std::isnan(kmh) &&
                          !(std::fabs(speed - kmh) <= SPEED_SHARE * kmh + SPEED_SLACK_KMH);
    double off = std::fabs(std::fmod(static_cast<double>(dir) - l.course + 540.0, 360.0) - 180.0);
    const bool dirBad = trig.dirUsed && kmh > CHECK_KMH && !(off <= COURSE_DEG);
    report(speedBad, dirBad);
    return l.crossed && std::fabs(l.across) < trig.dist ? 1 : 0;
}

float getGpsActDist2trig() {
    return dist2trig;
}
float getGpsActLongDist2trig() {
    return longDist2trig;
}
float getGpsActVertDist2trig() {
    return vertDist2trig;
}
