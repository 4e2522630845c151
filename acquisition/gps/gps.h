// GPS reception from "/tyCo/1" and track detection.
#pragma once

#include <cstdint>

// Starts reception (task "r_gpsTask"): the receiver's NMEA sentences become the signals
// gps_lat, gps_long, gps_speed, gps_dir and gps_fix. Without the device nothing starts.
void gps_init();

// Starts track detection over the tracks of "cfg:rtracks.xml" (task "r_gpsTrackDet"). The
// track last detected is kept in non-volatile element 18 and reported again after a restart.
void gps_trackdet_ini();
// Hands the car's position to the detection (a position that is not a number is ignored; the
// distance driven is not needed). 0 while there is no new result; otherwise fills the non-null
// outputs with the detected track's finish point, length and id and returns the result once:
// 1 a track was detected (or restored at start), 2 a different track than before.
int gps_trackdet_get(float latitude, float longitude, float distance, float* trackLat, float* trackLon,
                     float* trackLength, int32_t* trackId);

// The segment points of the track detection reported last: their count (0: none, or no track
// yet) and, when its id differs from `known`, the points (up to `max`) and the id.
int gps_trackdet_segments(int32_t known, int32_t* id, float* lat, float* lon, int max);

// Where the car stands against the line through a point, square to the car's way from the
// previous position to this one (docs/gps.md, "Lines"); metres.
struct GpsLine {
    bool moved = false;   // the positions differ (else only `direct` is set)
    bool crossed = false; // the way passed the line in this step
    double direct = 0;    // to the point
    double along = 0;     // along the way: negative before the line
    double across = 0;    // square to the way: positive with the point on the left
    double travelled = 0; // length of the way
    double course = 0;    // of the way, degrees from north
};
GpsLine gps_line(double pointLat, double pointLon, double prevLat, double prevLon, double lat, double lon);

// GPS lap trigger. Starts again with the trigger point, the greatest distance from it at which
// a crossing counts, and whether the speed (km/h) and direction (degrees) inputs are given
// (inputs not given count as plausible).
void initGpsTrigger(float lon, float lat, float dist, uint8_t speedUsed, uint8_t dirUsed);
// 1 when the car crossed the trigger line since the last position. Speed and direction that
// disagree with the positions raise error path 456 (types 23 and 24), cleared once both agree.
uint8_t getGpsTrigger(float lon, float lat, float speed, float dir);
// Distance to the trigger point, along and across the way to the line (m; not a number before
// the first position).
float getGpsActDist2trig();
float getGpsActLongDist2trig();
float getGpsActVertDist2trig();

// Tests: ends both tasks and forgets the module's state, as a new start of the process would.
void gps_reset();
