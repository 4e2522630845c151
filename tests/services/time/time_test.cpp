// Calendar conversions against Python's calendar (every day 1970-2099) and the C library's timegm
// (fields past their range), the time base over the global timer, and time differences.
#include "services/time/time_util.h"
#include "platform/hw/hw_sim.h"
#include "support/pyref.h"
#include "support/stepped.h"

#include <tuple>

namespace {

date_msd date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return date_msd{static_cast<uint16_t>(y), static_cast<uint16_t>(mo), static_cast<uint16_t>(d),
                    static_cast<uint16_t>(h), static_cast<uint16_t>(mi), static_cast<uint16_t>(s),
                    static_cast<uint16_t>(ms)};
}
std::tuple<int, int, int, int, int, int, int> fields(const date_msd& d) {
    return {d.YEAR, d.MONTH, d.DAY, d.HOUR, d.MIN, d.SEC, d.MS};
}

using Calendar = testsupport::SteppedWith<time_util_reset>;

// Every day with a time of day that moves from one date to the next, both ways.
TEST_F(Calendar, EveryDayBothWaysMatchesPython) {
    const pyref::bytes out = pyref::run(
        "/usr/bin/python3 -c '"
        "import calendar, datetime\n"
        "d = datetime.date(1970, 1, 1); i = 0\n"
        "while d.year < 2100:\n"
        "    s = (i * 7919) % 86400; t = (d.year, d.month, d.day, s // 3600, s % 3600 // 60, s % 60)\n"
        "    print(*t, calendar.timegm(t)); d += datetime.timedelta(days=1); i += 1\n'");
    std::istringstream in(std::string(out.begin(), out.end()));
    int y, m, d, h, mi, s, n = 0, failures = 0;
    long long want;
    for (; in >> y >> m >> d >> h >> mi >> s >> want && failures < 10; ++n) {
        const int ms = n % 1000;
        date_msd date_in = date(y, m, d, h, mi, s, ms), back{};
        timespec t{}, stamp{static_cast<time_t>(want), ms * 1000000L + 999999};
        const bool ok = conv_date_to_time(&date_in, &t) == 1 && t.tv_sec == want &&
                        t.tv_nsec == ms * 1000000L && conv_time_to_date(&stamp, &back) == 1 &&
                        fields(back) == fields(date_in);
        failures += !ok;
        EXPECT_TRUE(ok) << y << "-" << m << "-" << d << " " << h << ":" << mi << ":" << s << " want " << want
                        << ", got " << t.tv_sec << " and back " << back.YEAR << "-" << back.MONTH << "-"
                        << back.DAY;
    }
    EXPECT_EQ(n, 47482) << "the Python reference did not run";
}

// Fields past their range carry into the next, as timegm has it (every field at its 16-bit maximum:
// the carries themselves pass 16 bits); month 0 counts as January.
TEST_F(Calendar, FieldsPastTheirRangeCarry) {
    for (date_msd in : {date(2016, 2, 30), date(2021, 6, 7, 12, 0, 0, 1500),
                        date(2000, 1, 1, 65535, 65535, 65535, 65535), date(2020, 13, 1), date(2020, 24, 15),
                        date(2020, 25, 1), date(2020, 14, 30), date(2020, 0, 40), date(2000, 1, 0, 24)}) {
        tm ref{in.SEC + in.MS / 1000, in.MIN, in.HOUR, in.DAY, std::max(in.MONTH, uint16_t(1)) - 1,
               in.YEAR - 1900};
        const time_t sec = timegm(&ref);
        timespec t{};
        ASSERT_EQ(conv_date_to_time(&in, &t), 1);
        EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec, fields(in)),
                  std::tuple(sec, in.MS % 1000 * 1000000L,
                             fields(date(ref.tm_year + 1900, ref.tm_mon + 1, ref.tm_mday, ref.tm_hour,
                                         ref.tm_min, ref.tm_sec, in.MS % 1000))));
    }
}

TEST_F(Calendar, OutOfRangeRefusedUntouchedAndReportedOncePerProcess) {
    date_msd d = date(2099, 12, 31, 23, 59, 59);
    for (timespec bad : {timespec{4102444800, 0}, timespec{-1, 0}, timespec{0, 1000000000}, timespec{0, -1}})
        EXPECT_EQ(conv_time_to_date(&bad, &d), 0) << bad.tv_sec << " " << bad.tv_nsec;
    EXPECT_EQ(fields(d), fields(date(2099, 12, 31, 23, 59, 59))) << "left as it was";
    timespec t{123, 456};
    for (date_msd bad :
         {date(2099, 12, 32, 1, 2, 3, 4), date(1969, 12, 31), date(2000, 1, 0), date(2100, 1, 1)})
        EXPECT_EQ(conv_date_to_time(&bad, &t), 0);
    EXPECT_EQ(conv_date_to_time(nullptr, &t), 0);
    EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec), std::tuple(123, 456));
    const auto lines = testsupport::logDrain();
    ASSERT_EQ(lines.size(), 6u); // four times, then the first date error with its date
    EXPECT_EQ(lines[5].text,
              "conv_date_to_time(): Year: 2099, month: 12, day: 32, hour: 01, min.: 02, sec.: 03, ms: 004");
}

constexpr uintptr_t GTIMER = 0xF8F00200;
std::atomic<uint64_t> count{0}, advancePerRead{0};
std::atomic<int> reads{0};

// A global timer whose count the test sets; each register read can move it on.
TEST(TimeBase, CarryBetweenTheHalvesIsNeverSeenAndUnits) {
    auto half = [](uintptr_t off, uint64_t c) {
        ++reads;
        return off == 0 ? static_cast<uint32_t>(c) : static_cast<uint32_t>(c >> 32);
    };
    hwsim::addDevice(
        GTIMER, 8, [half](uintptr_t off) { return half(off, count.fetch_add(advancePerRead)); }, nullptr);
    count = 0xFFFFFFFFull; // the low word wraps between the first two reads
    advancePerRead = 1;
    const uint64_t v = timecpu_getHWticks();
    EXPECT_TRUE(v >= 0x100000000ull && v < 0x100000008ull) << v;
    EXPECT_EQ(reads.load(), 6) << "one retry";
    advancePerRead = 0;
    count = 0x100000000ull + 333333; // 12 885 901 887 ns
    EXPECT_EQ(std::tuple(time_get_time_us(), time_get_time_100us(), time_get_time_ms()),
              std::tuple(12885901ull, 128859ull, 12885ull));
    hwsim::addDevice(
        GTIMER, 8, [half](uintptr_t off) { return half(off, osHwTimeNs() / 3); }, nullptr);
}

// Stamps of the global timer: elapsed counts, then microseconds and milliseconds of 3 ns counts; only
// an update flag of 1 moves the stamp on.
TEST(TimeBase, ElapsedStampsAndTheElapsedTime) {
    hwsim::addDevice(
        GTIMER, 8,
        [](uintptr_t off) {
            const uint64_t c = count;
            return off == 0 ? static_cast<uint32_t>(c) : static_cast<uint32_t>(c >> 32);
        },
        nullptr);
    count = 0xFFFFFF00ull;
    timeDT stamp = 0;
    EXPECT_EQ(timeDT_Init(&stamp), 0xFFFFFF00ull);
    count = 0xFFFFFF00ull + 333333667; // 1 000 001 001 ns later
    const uint64_t ticks = timeDT_GetElapsed_Ticks(&stamp, 2);
    const uint64_t us = timeDT_GetElapsed_us(&stamp, 0);
    const uint64_t ms = timeDT_GetElapsed_ms(&stamp, 1);
    EXPECT_EQ((std::vector{ticks, us, ms, timeDT_GetElapsed_Ticks(&stamp, 0)}),
              (std::vector<uint64_t>{333333667, 1000001, 1000, 0}));
    timespec t{};
    timecpu_getTimeElapsed(&t); // (2^32 - 256 + 333 333 667) counts of 3 ns
    EXPECT_EQ(std::tuple(t.tv_sec, t.tv_nsec), std::tuple(13, 884902121L));
    hwsim::addDevice(
        GTIMER, 8,
        [](uintptr_t off) {
            const uint64_t c = osHwTimeNs() / 3;
            return off == 0 ? static_cast<uint32_t>(c) : static_cast<uint32_t>(c >> 32);
        },
        nullptr);
}

TEST(TimeBase, RasterPeriodsAndLeapYears) {
    std::vector<int32_t> rates;
    for (int32_t i = -1; i <= 13; ++i)
        rates.push_back(raster2rate(i));
    EXPECT_EQ(rates, (std::vector<int32_t>{-1, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 1, -1, 6000, -1}));
    std::vector<int> leap;
    for (uint16_t y : {1900, 1970, 1972, 2000, 2023, 2024, 2100})
        leap.push_back(check_if_leap_year(y));
    EXPECT_EQ(leap, (std::vector{0, 0, 1, 1, 0, 1, 0}));
}

TEST_F(Calendar, DifferencesAndApplicationTime) {
    testing::internal::CaptureStdout();
    for (auto [a, b, want] : {std::tuple{timespec{5, 100}, timespec{4, 200}, timespec{0, 999999900L}},
                              {{4, 0}, {5, 0}, {0, 0}},
                              {{5, 100}, {5, 200}, {0, 0}}}) { // negative: 0
        timespec out{7, 7};
        clock_difftime(&a, &b, &out);
        EXPECT_EQ(std::tuple(out.tv_sec, out.tv_nsec), std::tuple(want.tv_sec, want.tv_nsec)) << a.tv_sec;
    }
    testing::internal::GetCapturedStdout();
    timespec a{10, 5}, b{3, 7};
    clock_difftime(&a, &b, &a); // the result may replace an operand
    EXPECT_EQ(std::tuple(a.tv_sec, a.tv_nsec), std::tuple(6, 999999998L));
    clock_appltime(&a);
    EXPECT_EQ(std::tuple(a.tv_sec, a.tv_nsec), std::tuple(0, 0)); // start time not set
    time_util_ini();
    sim::step(1500);
    clock_appltime(&a);
    EXPECT_EQ(std::tuple(a.tv_sec, a.tv_nsec), std::tuple(1, 500000000L));
}

} // namespace
