// GPS channel function (type 0x17): the unit's own receiver as channel-function outputs, and
// the segment points of the detected track reported to the lap function as the car passes
// them (the same line geometry as the GPS lap trigger, docs/gps.md).
//
// Dataset (20 bytes): common head (type 0x17), u16 not read, f32 at 12: the greatest distance
// in m from a segment point at which passing its line counts (0: 30 m), u16 not read, footer.
// Outputs: 1 latitude, 2 longitude (f32 degrees), 3 speed (f32 km/h), 4 course (f32 degrees),
// 5 fix quality (u8), 6 the last segment point passed (u16, point + 1, 0 none), 7 the number of
// segment points in use (u16).
#include "acquisition/awm/awm_private.h"
#include "acquisition/awm/lapfunc.h"

#include "acquisition/gps/gps.h"
#include "services/syslog/syslog.h"
#include "vyn/vartable.h"

#include <cmath>
#include <new>

namespace {

constexpr uint16_t LEN = 20;
constexpr int POINTS = 100;
constexpr float DEFAULT_DIST_M = 30.0f;

struct Instance {
    float dist;
    seramWord<float> lat, lon, speed, course;
    seramWord<uint8_t> fix;
    seramWord<uint16_t> lastPoint, inUse;
    double prevLat, prevLon;
    int32_t track;
    int points;
    float pointLat[POINTS], pointLon[POINTS];
};
std::atomic<uint32_t> segmentMode{0}; // mode in the low half, count in the high one

void* ini(const uint8_t* ds, uint16_t, uint16_t* raster) {
    *raster = 3;
    auto* in = new (std::nothrow) Instance{};
    if (!in) return nullptr;
    const float d = awm_rd<float>(ds, 12);
    in->dist = d > 0 ? d : DEFAULT_DIST_M;
    in->prevLat = in->prevLon = NAN;
    in->track = -1;
    return in;
}

void cyclicCall(void* p, uint32_t) {
    auto* in = static_cast<Instance*>(p);
    if (!in) return;
    const bool fix = gps_fix != 0;
    in->fix = gps_fix;
    in->lat = static_cast<float>(gps_lat * 1e-7);
    in->lon = static_cast<float>(gps_long * 1e-7);
    in->speed = gps_speed;
    in->course = gps_dir;
    const uint32_t m = segmentMode;
    const uint16_t mode = static_cast<uint16_t>(m), count = static_cast<uint16_t>(m >> 16);
    in->points = gps_trackdet_segments(in->track, &in->track, in->pointLat, in->pointLon, POINTS);
    const auto inUse = static_cast<uint16_t>(mode != 1                     ? 0
                                             : count && count < in->points ? count
                                                                           : in->points);
    in->inUse = inUse > POINTS ? uint16_t{POINTS} : inUse;
    // Positions in full precision: a float's step is a metre at 100 degrees of longitude.
    const double lat = gps_lat * 1e-7, lon = gps_long * 1e-7;
    if (!fix) {
        in->prevLat = in->prevLon = NAN;
        return;
    }
    if (!std::isnan(in->prevLat) && (lat != in->prevLat || lon != in->prevLon)) {
        for (uint16_t n = 0; n < in->inUse; ++n) {
            const GpsLine l = gps_line(in->pointLat[n], in->pointLon[n], in->prevLat, in->prevLon, lat, lon);
            if (l.crossed && std::fabs(l.across) < in->dist) {
                in->lastPoint = static_cast<uint16_t>(n + 1);
                lapfunc_StoreGpsSegmentTrigger(n);
            }
        }
    }
    in->prevLat = lat;
    in->prevLon = lon;
}

void* setupmeas(uint32_t vcId, uint16_t, awm_out* out) {
    const vc_data_t* e = awm_man_get_cfg(vcId);
    auto* in = e ? static_cast<Instance*>(e->instance) : nullptr;
    awm_out addr{};
    if (in) switch (awm_vc_output(vcId)) {
        case 1:
            addr = awm_object(&in->lat);
            break;
        case 2:
            addr = awm_object(&in->lon);
            break;
        case 3:
            addr = awm_object(&in->speed);
            break;
        case 4:
            addr = awm_object(&in->course);
            break;
        case 5:
            addr = awm_object(&in->fix);
            break;
        case 6:
            addr = awm_object(&in->lastPoint);
            break;
        case 7:
            addr = awm_object(&in->inUse);
            break;
        default:
            break;
        }
    if (!addr.at) {
        syslogx(LOG_ERR, "awm_0x17_gps_setupmeas: invalid subchannel measurement request");
        return nullptr;
    }
    *out = addr;
    return in;
}
uint8_t shutdown(void* p) {
    auto* in = static_cast<Instance*>(p);
    if (!in) return 0;
    segmentMode = 0;
    delete in;
    return 1;
}
uint16_t cfgLen() {
    return LEN;
}

} // namespace

const awm_entry_t entry_0x17_gps{
    ini,     cfgLen,  cyclicCall, setupmeas, awm_measNothing, awm_latencyNone, awm_shutdownMeasureNone,
    nullptr, nullptr, shutdown,   nullptr};

void awm_0x17_gpsSetSegmentTriggerMode(uint16_t mode, uint16_t count) {
    segmentMode = static_cast<uint32_t>(count) << 16 | mode;
}
