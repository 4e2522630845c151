#include "services/time/time_util.h"

#include "support/logcapture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <tuple>

namespace {

// Every day 1970-01-01..2099-12-31 from Python's calendar.timegm: the date, a time of day
// that moves from one date to the next, and the seconds at 00:00:00, at that time and at
// 23:59:59.
struct RefDay {
    int y, m, d, h, mi, s;
    long long start, atTime, last;
};

const std::vector<RefDay>& reference() {
    static const std::vector<RefDay> days = [] {
        std::vector<RefDay> v;
        FILE* p = popen("/usr/bin/python3 -c '"
                        "import calendar, datetime\n"
                        "d = datetime.date(1970, 1, 1); i = 0\n"
                        "while d.year < 2100:\n"
                        "    s = (i * 7919) % 86400; t = (d.year, d.month, d.day); h = (s // 3600, s % 3600 "
                        "// 60, s % 60)\n"
                        "    print(*t, *h, *(calendar.timegm(t + x) for x in ((0, 0, 0), h, (23, 59, 59))))\n"
                        "    d += datetime.timedelta(days=1); i += 1\n'",
                        "r");
        RefDay r;
        while (p && std::fscanf(p, "%d %d %d %d %d %d %lld %lld %lld", &r.y, &r.m, &r.d, &r.h, &r.mi, &r.s,
                                &r.start, &r.atTime, &r.last) == 9)
            v.push_back(r);
        if (p) pclose(p);
        return v;
    }();
    return days;
}

long long dayStart(int y, int m, int d) {
    static const auto index = [] {
        std::map<std::tuple<int, int, int>, long long> ix;
        for (const auto& r : reference())
            ix[{r.y, r.m, r.d}] = r.start;
        return ix;
    }();
    return index.at({y, m, d});
}

date_msd date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return date_msd{static_cast<uint16_t>(y), static_cast<uint16_t>(mo), static_cast<uint16_t>(d),
                    static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s),
                    static_cast<uint16_t>(ms)};
}

std::tuple<int, int, int, int, int, int, int> fields(const date_msd& d) {
    return {d.YEAR, d.MONTH, d.DAY, d.HOUR, d.MIN, d.SEC, d.MS};
}

struct Calendar : ::testing::Test {
    void SetUp() override {
        testsupport::logStart();
        time_util_reset();
    }
};

TEST_F(Calendar, EveryDayBothWaysMatchesPython) {
    const auto& days = reference();
    ASSERT_EQ(days.size(), 47482u) << "the Python reference did not run";
    EXPECT_EQ(days.back().last, 4102444799LL);
    int failures = 0;
    for (size_t i = 0; i < days.size() && failures < 10; ++i) {
        const RefDay& r = days[i];
        const int ms = static_cast<int>(i % 1000);
        for (const auto& [h, mi, s, want] :
             {std::tuple{0, 0, 0, r.start}, std::tuple{r.h, r.mi, r.s, r.atTime},
              std::tuple{23, 59, 59, r.last}}) {
            date_msd d = date(r.y, r.m, r.d, h, mi, s, ms);
            timespec t{};
            date_msd back{};
            timespec in{static_cast<time_t>(want), ms * 1000000L + 999999};
            const bool ok = conv_date_to_time(&d, &t) == 1 && t.tv_sec == want &&
                            t.tv_nsec == ms * 1000000L && conv_time_to_date(&in, &back) == 1 &&
                            fields(back) == fields(date(r.y, r.m, r.d, h, mi, s, ms));
            if (!ok) {
                ADD_FAILURE() << r.y << "-" << r.m << "-" << r.d << " " << h << ":" << mi << ":" << s
                              << " want " << want << ", got " << t.tv_sec << " and back " << back.YEAR << "-"
                              << back.MONTH << "-" << back.DAY;
                ++failures;
            }
        }
    }
}

TEST_F(Calendar, EdgeCases) {
    date_msd d = date(2099, 12, 31, 23, 59, 59);
    for (timespec bad : {timespec{4102444800, 0}, timespec{-1, 0}, timespec{0, 1000000000}, timespec{0, -1}})
        EXPECT_EQ(conv_time_to_date(&bad, &d), 0) << bad.tv_sec << " " << bad.tv_nsec;
    EXPECT_EQ(fields(d), fields(date(2099, 12, 31, 23, 59, 59))) << "left as it was";
    auto lines = testsupport::logDrain();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text,
              "conv_time_to_date(): invalid parameter os_time->tv_sec: 4102444800 or os_time->tv_nsec: 0");

    // Fields past their range carry into the next: a day, milliseconds, every field at its 16-bit
    // maximum (the carries themselves pass 16 bits), and months above twelve into the year.
    const std::tuple<date_msd, long long, long, date_msd> carries[] = {
        {date(2016, 2, 30), dayStart(2016, 3, 1), 0, date(2016, 3, 1)},
        {date(2021, 6, 7, 12, 0, 0, 1500), dayStart(2021, 6, 7) + 12 * 3600 + 1, 500000000L,
         date(2021, 6, 7, 12, 0, 1, 500)},
        {date(2000, 1, 1, 65535, 65535, 65535, 65535),
         dayStart(2000, 1, 1) + 65535LL * 3600 + 65535LL * 60 + 65535 + 65, 535000000L,
         date(2007, 8, 8, 21, 28, 20, 535)},
        {date(2020, 12, 31), dayStart(2020, 12, 31), 0, date(2020, 12, 31)},
        {date(2020, 13, 1), dayStart(2021, 1, 1), 0, date(2021, 1, 1)},
        {date(2020, 24, 15), dayStart(2021, 12, 15), 0, date(2021, 12, 15)},
        {date(2020, 25, 1), dayStart(2022, 1, 1), 0, date(2022, 1, 1)},
        {date(2020, 0, 15), dayStart(2020, 1, 15), 0, date(2020, 1, 15)},
        {date(2020, 0, 40), dayStart(2020, 2, 9), 0, date(2020, 2, 9)},
        {date(2020, 14, 30), dayStart(2021, 3, 2), 0, date(2021, 3, 2)}, // February 2021, then past its end
    };
    for (auto [in, sec, nsec, out] : carries) {
        timespec t{};
        ASSERT_EQ(conv_date_to_time(&in, &t), 1);
        EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec, fields(in)), std::tuple(sec, nsec, fields(out)));
    }
    EXPECT_EQ(std::tuple(check_if_leap_year(1900), check_if_leap_year(2000), check_if_leap_year(2100)),
              std::tuple(0, 1, 0));
}

TEST_F(Calendar, DateErrorsAreReportedOncePerProcess) {
    timespec t{123, 456};
    date_msd d = date(2099, 12, 32, 1, 2, 3, 4);
    ASSERT_EQ(conv_date_to_time(&d, &t), 0);
    EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec), std::tuple(123, 456));
    EXPECT_EQ(fields(d), fields(date(2099, 12, 32, 1, 2, 3, 4)));
    auto lines = testsupport::logDrain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].text,
              "conv_date_to_time(): invalid parameter date_msd->YEAR: 2100, max. year is 2099");
    EXPECT_EQ(lines[1].text,
              "conv_date_to_time(): Year: 2099, month: 12, day: 32, hour: 01, min.: 02, sec.: 03, ms: 004");

    for (date_msd bad : {date(1969, 12, 31), date(2000, 1, 0), date(2100, 1, 1)})
        EXPECT_EQ(conv_date_to_time(&bad, &t), 0);
    EXPECT_EQ(conv_date_to_time(nullptr, &t), 0);
    EXPECT_TRUE(testsupport::logDrain().empty());

    time_util_reset();
    d = date(2000, 1, 0);
    EXPECT_EQ(conv_date_to_time(&d, &t), 0);
    lines = testsupport::logDrain();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "conv_date_to_time(): invalid parameter date_msd->DAY: 00");
    d = date(2000, 1, 0, 24); // the hour carry fills day 0
    EXPECT_EQ(conv_date_to_time(&d, &t), 1);
}

} // namespace
