#include "services/time/calendar_private.h"
#include "services/time/time_util.h"

#include "services/syslog/syslog.h"

#include <algorithm>
#include <array>
#include <atomic>

namespace {

constexpr uint32_t SEC_PER_DAY = 86400;
constexpr uint32_t SENTINEL = 0xFFFFFFFF;
constexpr int YEARS = TIME_LAST_YEAR - TIME_FIRST_YEAR + 1; // 130

constexpr bool leap(uint32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr uint8_t daysInMonth[2][13] = {
    {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

// Seconds from 1970-01-01 to the first second of each year, then the sentinel.
constexpr std::array<uint32_t, YEARS + 1> yearStart = [] {
    std::array<uint32_t, YEARS + 1> t{};
    uint32_t s = 0;
    for (int i = 0; i < YEARS; ++i) {
        t[i] = s;
        s += (leap(TIME_FIRST_YEAR + i) ? 366u : 365u) * SEC_PER_DAY;
    }
    t[YEARS] = SENTINEL;
    return t;
}();

// Seconds from the start of the year to the start of January..December, then the sentinel;
// row 1 for leap years.
constexpr std::array<std::array<uint32_t, 13>, 2> monthStart = [] {
    std::array<std::array<uint32_t, 13>, 2> t{};
    for (int row = 0; row < 2; ++row) {
        uint32_t s = 0;
        for (int m = 0; m < 12; ++m) {
            t[row][m] = s;
            s += daysInMonth[row][m + 1] * SEC_PER_DAY;
        }
        t[row][12] = SENTINEL;
    }
    return t;
}();

static_assert(yearStart[1] == 31536000);
static_assert(yearStart[30] == 946684800);   // 2000-01-01
static_assert(yearStart[129] == 4070908800); // 2099-01-01
static_assert(monthStart[0][1] == 2678400 && monthStart[0][2] == 5097600 && monthStart[1][2] == 5184000);

// conv_date_to_time reports only its first failure in the life of the process.
std::atomic<bool> dateErrorLogged{false};

bool firstDateError() {
    return !dateErrorLogged.exchange(true);
}

void logDateEntry(const date_msd& in) {
    SYSLOGX_GUARDED(
        LOG_ERR,
        "conv_date_to_time(): Year: %.4d, month: %.2d, day: %.2d, hour: %.2d, min.: %.2d, sec.: %.2d, "
        "ms: %.3d",
        in.YEAR, in.MONTH, in.DAY, in.HOUR, in.MIN, in.SEC, in.MS);
}

// Month 13 is January of the next year, month 24 December of the next year.
void carryMonth(uint32_t& month, uint32_t& year) {
    if (month > 12) {
        year += (month - 1) / 12;
        month = (month - 1) % 12 + 1;
    }
}

} // namespace

void calendar_reset() {
    dateErrorLogged = false;
}

uint8_t check_if_leap_year(uint16_t year) {
    return leap(year) ? 1 : 0;
}

uint8_t conv_time_to_date(const timespec* osTime, date_msd* date) {
    if (!osTime || !date) {
        SYSLOGX_GUARDED(LOG_ERR, "conv_time_to_date(): invalid parameter (NULL-)pointer");
        return 0;
    }
    if (osTime->tv_sec < 0 || osTime->tv_sec >= TIME_END_SEC || osTime->tv_nsec < 0 ||
        osTime->tv_nsec > 999999999) {
        SYSLOGX_GUARDED(
            LOG_ERR,
            "conv_time_to_date(): invalid parameter os_time->tv_sec: %.2lld or os_time->tv_nsec: %ld",
            static_cast<long long>(osTime->tv_sec), static_cast<long>(osTime->tv_nsec));
        return 0;
    }
    const auto sec = static_cast<uint32_t>(osTime->tv_sec);
    // First year whose successor starts after sec; the sentinel bounds the search.
    const auto y =
        static_cast<int>(std::upper_bound(yearStart.begin(), yearStart.end(), sec) - yearStart.begin()) - 1;
    uint32_t rest = sec - yearStart[y];
    const auto& months = monthStart[leap(TIME_FIRST_YEAR + y) ? 1 : 0];
    const auto m =
        static_cast<int>(std::upper_bound(months.begin() + 1, months.end(), rest) - months.begin());
    rest -= months[m - 1];

    date->YEAR = static_cast<uint16_t>(TIME_FIRST_YEAR + y);
    date->MONTH = static_cast<uint16_t>(m);
    date->DAY = static_cast<uint16_t>(rest / SEC_PER_DAY + 1);
    rest %= SEC_PER_DAY;
    date->HOUR = static_cast<uint16_t>(rest / 3600);
    date->MIN = static_cast<uint16_t>(rest % 3600 / 60);
    date->SEC = static_cast<uint16_t>(rest % 60);
    date->MS = static_cast<uint16_t>(osTime->tv_nsec / 1000000);
    return 1;
}

uint8_t conv_date_to_time(date_msd* date, timespec* osTime) {
    if (!date || !osTime) {
        if (firstDateError())
            SYSLOGX_GUARDED(LOG_ERR, "conv_date_to_time(): invalid parameter (NULL-)pointer");
        return 0;
    }
    const date_msd in = *date;
    // 32-bit working copies: the carries of 16-bit fields can exceed 16 bits.
    uint32_t ms = in.MS, sec = in.SEC, min = in.MIN, hour = in.HOUR, day = in.DAY, month = in.MONTH,
             year = in.YEAR;

    sec += ms / 1000;
    ms %= 1000;
    min += sec / 60;
    sec %= 60;
    hour += min / 60;
    min %= 60;
    day += hour / 24;
    hour %= 24;

    if (day == 0) {
        if (firstDateError()) {
            SYSLOGX_GUARDED(LOG_ERR, "conv_date_to_time(): invalid parameter date_msd->DAY: %.2d",
                            static_cast<int>(day));
            logDateEntry(in);
        }
        return 0;
    }
    carryMonth(month, year);
    if (year < TIME_FIRST_YEAR) {
        if (firstDateError()) {
            SYSLOGX_GUARDED(
                LOG_ERR,
                "conv_date_to_time(): invalid parameter date_msd->YEAR: %d, first possible year is: %d.",
                static_cast<int>(year), TIME_FIRST_YEAR);
            logDateEntry(in);
        }
        return 0;
    }
    // Month 0 has no days and so becomes January. Past 2099 the result is refused anyway.
    while (year <= TIME_LAST_YEAR && day > daysInMonth[leap(year) ? 1 : 0][month]) {
        day -= daysInMonth[leap(year) ? 1 : 0][month];
        ++month;
        carryMonth(month, year);
    }
    if (year > TIME_LAST_YEAR) {
        if (firstDateError()) {
            SYSLOGX_GUARDED(LOG_ERR,
                            "conv_date_to_time(): invalid parameter date_msd->YEAR: %d, max. year is %d",
                            static_cast<int>(year), TIME_LAST_YEAR);
            logDateEntry(in);
        }
        return 0;
    }
    const int leapRow = leap(year) ? 1 : 0;
    osTime->tv_sec = static_cast<time_t>(yearStart[year - TIME_FIRST_YEAR]) + monthStart[leapRow][month - 1] +
                     (day - 1) * SEC_PER_DAY + hour * 3600 + min * 60 + sec;
    osTime->tv_nsec = static_cast<long>(ms) * 1000000L;
    *date = date_msd{static_cast<uint16_t>(year), static_cast<uint16_t>(month), static_cast<uint16_t>(day),
                     static_cast<uint16_t>(hour), static_cast<uint16_t>(min),   static_cast<uint16_t>(sec),
                     static_cast<uint16_t>(ms)};
    return 1;
}
