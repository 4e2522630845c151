// Fuzz target: arbitrary bytes from the receiver through the NMEA reader. What it accepts must
// lie within the ranges it promises.
#include "acquisition/gps/nmea.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NmeaReader reader;
    for (size_t i = 0; i < size; ++i) {
        NmeaSentence s;
        NmeaDrop why;
        if (!reader.push(data[i], &s, &why) || why != NmeaDrop::None) continue;
        if (s.hasPosition && !(std::fabs(s.latitude) <= 90 && std::fabs(s.longitude) <= 180)) abort();
        if (s.hasSpeed && !(s.speedKmh >= 0 && s.speedKmh <= 1852)) abort();
        if (s.hasCourse && !(s.course >= 0 && s.course <= 360)) abort();
        if (s.hasQuality && s.quality > 8) abort();
    }
    return 0;
}
