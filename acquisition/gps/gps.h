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

// Tests: ends both tasks and forgets the module's state, as a new start of the process would.
void gps_reset();
