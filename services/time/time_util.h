// Time base (the processor's global timer), application time, calendar conversion, raster periods.
#pragma once

#include <cstdint>
#include <ctime>

// Calendar record of the unit: years 1970 to 2099.
struct date_msd {
    uint16_t YEAR;  // 1970..2099
    uint16_t MONTH; // 1..12
    uint16_t DAY;   // 1..31
    uint16_t HOUR;  // 0..23
    uint16_t MIN;   // 0..59
    uint16_t SEC;   // 0..59
    uint16_t MS;    // 0..999
};

// Elapsed-time stamp: a global-timer count owned by the caller.
using timeDT = uint64_t;

constexpr uint16_t TIME_FIRST_YEAR = 1970;
constexpr uint16_t TIME_LAST_YEAR = 2099;
constexpr int64_t TIME_END_SEC = 4102444800; // 2100-01-01 00:00:00, first second refused

// ---- time base: global timer, one count per 3 ns ---------------------------------------
uint64_t timecpu_getHWticks();
uint64_t time_get_time_ns_u64();
uint64_t time_get_time_us();
uint64_t time_get_time_100us();
uint64_t time_get_time_ms();
void timecpu_getTimeElapsed(timespec* out);

uint64_t timeDT_Init(timeDT* stamp);
uint64_t timeDT_GetElapsed_Ticks(timeDT* stamp, uint8_t update);
uint64_t timeDT_GetElapsed_us(timeDT* stamp, uint8_t update);
uint64_t timeDT_GetElapsed_ms(timeDT* stamp, uint8_t update);

// ---- application time ----------------------------------------------------------------
void time_util_ini();
void clock_appltime(timespec* out);
// out = a - b; a negative difference prints a warning and gives zero.
void clock_difftime(const timespec* a, const timespec* b, timespec* out);

// ---- calendar -----------------------------------------------------------------------
uint8_t check_if_leap_year(uint16_t year);
uint8_t conv_time_to_date(const timespec* osTime, date_msd* date);
// Normalises the record in place (carries of every field); on failure the record and
// osTime are left as they were.
uint8_t conv_date_to_time(date_msd* date, timespec* osTime);

// Period in ms of a raster index (0..9 the 1..1000 ms rasters, 10 the second 1 ms slot,
// 12 the lap status-block period), -1 for every other index.
int32_t raster2rate(int32_t rasterIndex);

// Tests: forget the application start time and the once-only calendar error flag.
void time_util_reset();
