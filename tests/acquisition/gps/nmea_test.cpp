// NMEA reader: decoding against Debian's pynmea2, and the sentences the rules of NMEA 0183 refuse.
#include "acquisition/gps/nmea.h"
#include "support/pyref.h"

#include <gtest/gtest.h>

namespace {

// "$body*hh" with the body's checksum, for sentences that are to fail a later check.
std::string nmea(const std::string& body) {
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail;
}

// How each sentence of a byte stream ended.
std::vector<NmeaDrop> feed(const std::string& bytes) {
    NmeaReader reader;
    std::vector<NmeaDrop> out;
    NmeaSentence s;
    NmeaDrop why;
    for (char c : bytes)
        if (reader.push(static_cast<uint8_t>(c), &s, &why)) out.push_back(why);
    return out;
}

std::string shown(bool has, double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.7f", v);
    return has ? buf : "-";
}

} // namespace

TEST(Nmea, DecodesAsPynmea2) {
    const std::vector<std::string> lines = {
        "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A",
        "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47",
        "$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48",
        "$GNRMC,001031.00,A,3352.12345,S,15112.54321,W,0.004,,010124,,,D*64",
        "$GNGGA,001031.00,3352.12345,S,15112.54321,W,4,12,0.6,10.0,M,20.0,M,1.0,0000*63",
        "$GPVTG,359.99,T,,M,0.500,N,,K,A*19",
        "$GPRMC,235959.99,V,,,,,,,311299,,,N*7D",
        "$GPRMC,120000,A,0000.0000,N,00000.0000,E,0.0,0.0,010100,,,N*7C",
        "$GPRMC,120000,A,9000.000,S,18000.000,W,1000,360,010100,,*25",
        "$GPGGA,120000,,,,,0,00,99.9,,M,,M,,*72",
        "$GPVTG,,T,,M,,N,,K,N*2C",
    };
    // pynmea2 reads the numbers; which sentences carry a fix is the standard's rule.
    const std::string ref = R"(
import pynmea2
def f(line):
    m = pynmea2.parse(line.decode(), check=True)
    def n(v, k=1): return '-' if v in (None, '') else '%.7f' % (float(v) * k)
    t, d = m.sentence_type, m.data + ['']
    if t == 'RMC' and (m.status != 'A' or d[11] == 'N') or t == 'VTG' and d[8] == 'N':
        return '- - - - -'
    if t == 'RMC':
        return ' '.join([n(m.latitude), n(m.longitude), n(m.spd_over_grnd, 1.852), n(m.true_course), '-'])
    if t == 'GGA':
        q = int(m.gps_qual)
        return ' '.join([n(m.latitude) if q else '-', n(m.longitude) if q else '-', '-', '-', str(q)])
    kmh = n(m.spd_over_grnd_kmph) if m.spd_over_grnd_kmph is not None else n(m.spd_over_grnd_kts, 1.852)
    return ' '.join(['-', '-', kmh, n(m.true_track), '-'])
)";
    std::vector<std::vector<pyref::bytes>> cases;
    for (const auto& l : lines)
        cases.push_back({pyref::bytes(l.begin(), l.end())});
    const std::vector<std::string> want = pyref::map(ref, cases);
    for (size_t i = 0; i < lines.size(); ++i) {
        NmeaSentence s;
        EXPECT_EQ(NmeaDrop::None, nmeaDecode(lines[i].data(), lines[i].size(), &s)) << lines[i];
        EXPECT_EQ(want[i], shown(s.hasPosition, s.latitude) + " " + shown(s.hasPosition, s.longitude) + " " +
                               shown(s.hasSpeed, s.speedKmh) + " " + shown(s.hasCourse, s.course) + " " +
                               (s.hasQuality ? std::to_string(s.quality) : "-"))
            << lines[i];
    }
}

TEST(Nmea, DropsWhatTheRulesRefuse) {
    const std::string rmc = "GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W";
    const struct {
        std::string line;
        NmeaDrop why;
    } cases[] = {
        {"$" + rmc + "*6B", NmeaDrop::Checksum},
        {"$" + rmc, NmeaDrop::NoChecksum},
        {"$" + rmc + "*G1", NmeaDrop::NoChecksum},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4\x01,230394,003.1,W"), NmeaDrop::BadChar},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,022.4\xB0,084.4,230394,003.1,W"), NmeaDrop::BadChar},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1"), NmeaDrop::Fields},
        {nmea("GPRMC,123519,A,,N,01131.000,E,022.4,084.4,230394,003.1,W"), NmeaDrop::Fields},
        {nmea("GPGGA,123519,4807.038,N,01131.000,E,,08,0.9,545.4,M,46.9,M,,"), NmeaDrop::Fields},
        {nmea("GPVTG,054.7,T,034.4,M,005.5,N,010.2"), NmeaDrop::Fields},
        {nmea("GPRMC,123519,X,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,9000.001,N,01131.000,E,022.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4860.000,N,01131.000,E,022.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,04807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,18000.001,E,022.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,-22.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,nan,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,1e3,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,1000.1,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E, 22.4,084.4,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,360.1,230394,003.1,W"), NmeaDrop::Range},
        {nmea("GPGGA,123519,4807.038,N,01131.000,E,9,08,0.9,545.4,M,46.9,M,,"), NmeaDrop::Range},
        {nmea("GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W,A,V,,,"), NmeaDrop::None},
        {nmea("PUBX,00,123519,4807.038,N"), NmeaDrop::None},
    };
    for (const auto& c : cases) {
        NmeaSentence s;
        EXPECT_EQ(c.why, nmeaDecode(c.line.data(), c.line.size(), &s)) << c.line;
    }
}

// NMEA allows 82 characters from '$' to LF; longer lines are cut off, never read on.
TEST(Nmea, ReaderFramesTheStream) {
    const std::string good = nmea("GPVTG,054.7,T,034.4,M,005.5,N,010.2,K");
    const std::string longest = nmea("GPZDA," + std::string(70, '0')); // 80 characters
    const struct {
        std::string stream;
        std::vector<NmeaDrop> want;
    } cases[] = {
        {"\xb5\x62\x01\x07garbage" + good + "\r\n", {NmeaDrop::None}},
        {good + "\r" + good + "\n" + good + "\r\n\r\n", {NmeaDrop::None, NmeaDrop::None, NmeaDrop::None}},
        {good.substr(0, 20) + good + "\r\n", {NmeaDrop::BadChar, NmeaDrop::None}},
        {longest + "\r\n", {NmeaDrop::None}},
        {nmea("GPZDA," + std::string(71, '0')) + "\r\n" + good + "\n", {NmeaDrop::TooLong, NmeaDrop::None}},
        {"$" + std::string(5000, 'A') + "\n", {NmeaDrop::TooLong}},
        {good, {}},
    };
    ASSERT_EQ(80u, longest.size());
    for (const auto& c : cases)
        EXPECT_EQ(c.want, feed(c.stream)) << c.stream.substr(0, 90);
}
