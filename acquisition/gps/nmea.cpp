#include "acquisition/gps/nmea.h"

#include <cstring>

namespace {

constexpr size_t FIELDS_MAX = 24;
constexpr double KMH_PER_KNOT = 1.852;
// No civil receiver reports beyond 1000 knots (export rule); more is a corrupted value.
constexpr double SPEED_MAX_KNOTS = 1000.0;

struct Field {
    const char* p;
    size_t n;
    bool empty() const { return n == 0; }
    bool is(char c) const { return n == 1 && p[0] == c; }
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Unsigned decimal "ddd[.ddd]" with `intDigits` digits before the point (0: one or more).
// No sign, exponent, blank or other spelling that a general number parser would take.
bool parseDecimal(Field f, size_t intDigits, double* out) {
    size_t i = 0;
    double v = 0;
    while (i < f.n && isDigit(f.p[i]))
        v = v * 10 + (f.p[i++] - '0');
    if (i == 0 || (intDigits && i != intDigits) || i > 12) return false;
    if (i < f.n) {
        if (f.p[i++] != '.') return false;
        double scale = 0.1;
        size_t frac = 0;
        for (; i < f.n; ++i, ++frac, scale *= 0.1) {
            if (!isDigit(f.p[i]) || frac >= 12) return false;
            v += (f.p[i] - '0') * scale;
        }
    }
    *out = v;
    return true;
}

// "ddmm.mmm" / "dddmm.mmm" and its hemisphere letter.
NmeaDrop parseAngle(Field value, Field hemi, size_t degDigits, double limit, char pos, char neg,
                    double* out) {
    if (value.empty() || hemi.empty()) return NmeaDrop::Fields;
    double v;
    if (!parseDecimal(value, degDigits + 2, &v)) return NmeaDrop::Range;
    const double deg = static_cast<double>(static_cast<int>(v / 100));
    const double min = v - deg * 100;
    const double angle = deg + min / 60;
    if (min >= 60 || angle > limit || !(hemi.is(pos) || hemi.is(neg))) return NmeaDrop::Range;
    *out = hemi.is(neg) ? -angle : angle;
    return NmeaDrop::None;
}

NmeaDrop parsePosition(const Field* f, NmeaSentence* out) {
    NmeaDrop d = parseAngle(f[0], f[1], 2, 90, 'N', 'S', &out->latitude);
    if (d == NmeaDrop::None) d = parseAngle(f[2], f[3], 3, 180, 'E', 'W', &out->longitude);
    out->hasPosition = d == NmeaDrop::None;
    return d;
}

// Speed in knots or km/h into km/h; an empty field leaves it unset.
NmeaDrop parseSpeed(Field f, double factor, NmeaSentence* out) {
    if (f.empty()) return NmeaDrop::None;
    double v;
    if (!parseDecimal(f, 0, &v) || v * factor > SPEED_MAX_KNOTS * KMH_PER_KNOT) return NmeaDrop::Range;
    out->speedKmh = v * factor;
    out->hasSpeed = true;
    return NmeaDrop::None;
}

NmeaDrop parseCourse(Field f, NmeaSentence* out) {
    if (f.empty()) return NmeaDrop::None; // no course while standing
    double v;
    if (!parseDecimal(f, 0, &v) || v > 360) return NmeaDrop::Range;
    out->course = v;
    out->hasCourse = true;
    return NmeaDrop::None;
}

// Mode indicator of NMEA 2.3 and later (absent before): N = not valid.
bool modeValid(const Field* f, size_t count, size_t at) {
    return at >= count || !f[at].is('N');
}

// $--RMC,time,status,lat,N,lon,E,knots,course,date,magvar,E[,mode[,navstatus]]
NmeaDrop decodeRmc(const Field* f, size_t count, NmeaSentence* out) {
    if (count < 12) return NmeaDrop::Fields;
    if (!f[2].is('A') && !f[2].is('V')) return f[2].empty() ? NmeaDrop::Fields : NmeaDrop::Range;
    out->valid = f[2].is('A') && modeValid(f, count, 12);
    if (!out->valid) return NmeaDrop::None;
    NmeaDrop d = parsePosition(f + 3, out);
    if (d == NmeaDrop::None) d = parseSpeed(f[7], KMH_PER_KNOT, out);
    if (d == NmeaDrop::None) d = parseCourse(f[8], out);
    return d;
}

// $--GGA,time,lat,N,lon,E,quality,sats,hdop,alt,M,sep,M,age,station
NmeaDrop decodeGga(const Field* f, size_t count, NmeaSentence* out) {
    if (count < 15) return NmeaDrop::Fields;
    if (f[6].empty()) return NmeaDrop::Fields;
    if (f[6].n != 1 || f[6].p[0] < '0' || f[6].p[0] > '8') return NmeaDrop::Range;
    out->quality = static_cast<uint8_t>(f[6].p[0] - '0');
    out->hasQuality = true;
    out->valid = out->quality > 0;
    return out->valid ? parsePosition(f + 2, out) : NmeaDrop::None;
}

// $--VTG,course,T,magcourse,M,knots,N,kmh,K[,mode]
NmeaDrop decodeVtg(const Field* f, size_t count, NmeaSentence* out) {
    if (count < 9) return NmeaDrop::Fields;
    out->valid = modeValid(f, count, 9);
    if (!out->valid) return NmeaDrop::None;
    NmeaDrop d = parseCourse(f[1], out);
    if (d == NmeaDrop::None)
        d = f[7].empty() ? parseSpeed(f[5], KMH_PER_KNOT, out) : parseSpeed(f[7], 1, out);
    return d;
}

} // namespace

NmeaDrop nmeaDecode(const char* line, size_t len, NmeaSentence* out) {
    *out = NmeaSentence{};
    if (len > NMEA_LINE_MAX) return NmeaDrop::TooLong;
    if (len < 1 || line[0] != '$') return NmeaDrop::BadChar;
    for (size_t i = 1; i < len; ++i)
        if (line[i] < 0x20 || line[i] > 0x7E || line[i] == '$') return NmeaDrop::BadChar;
    // "*hh" closes the sentence; the checksum is the XOR of everything between '$' and '*'.
    const char* star = static_cast<const char*>(std::memchr(line, '*', len));
    if (!star) return NmeaDrop::NoChecksum;
    const size_t body = static_cast<size_t>(star - line);
    if (len - body != 3) return NmeaDrop::NoChecksum;
    const int hi = hexDigit(star[1]), lo = hexDigit(star[2]);
    if (hi < 0 || lo < 0) return NmeaDrop::NoChecksum;
    uint8_t sum = 0;
    for (size_t i = 1; i < body; ++i)
        sum ^= static_cast<uint8_t>(line[i]);
    if (sum != (hi << 4 | lo)) return NmeaDrop::Checksum;

    Field f[FIELDS_MAX];
    size_t count = 0;
    for (size_t start = 1;;) {
        const char* comma = static_cast<const char*>(std::memchr(line + start, ',', body - start));
        const size_t end = comma ? static_cast<size_t>(comma - line) : body;
        if (count < FIELDS_MAX) f[count++] = {line + start, end - start};
        if (!comma) break;
        start = end + 1;
    }
    // Address: two letters of the talker, three of the sentence; 'P' starts a maker's own.
    if (f[0].n != 5 || f[0].p[0] == 'P') return NmeaDrop::None;
    const char* type = f[0].p + 2;
    if (std::memcmp(type, "RMC", 3) == 0) {
        out->kind = NmeaKind::RMC;
        return decodeRmc(f, count, out);
    }
    if (std::memcmp(type, "GGA", 3) == 0) {
        out->kind = NmeaKind::GGA;
        return decodeGga(f, count, out);
    }
    if (std::memcmp(type, "VTG", 3) == 0) {
        out->kind = NmeaKind::VTG;
        return decodeVtg(f, count, out);
    }
    return NmeaDrop::None;
}

const char* nmeaDropText(NmeaDrop why) {
    switch (why) {
    case NmeaDrop::None:
        return "none";
    case NmeaDrop::TooLong:
        return "line too long";
    case NmeaDrop::BadChar:
        return "invalid character";
    case NmeaDrop::NoChecksum:
        return "no checksum";
    case NmeaDrop::Checksum:
        return "checksum error";
    case NmeaDrop::Fields:
        return "missing field";
    case NmeaDrop::Range:
        return "value out of range";
    }
    return "?";
}

bool NmeaReader::push(uint8_t byte, NmeaSentence* out, NmeaDrop* why) {
    if (byte == '$') {
        const bool cut = active_; // the previous sentence never ended
        active_ = true;
        tooLong_ = false;
        line_[0] = '$';
        len_ = 1;
        if (cut) {
            *out = NmeaSentence{};
            *why = NmeaDrop::BadChar;
        }
        return cut;
    }
    if (!active_) return false;
    if (byte == '\r' || byte == '\n') {
        active_ = false;
        if (tooLong_) {
            *out = NmeaSentence{};
            *why = NmeaDrop::TooLong;
        } else {
            *why = nmeaDecode(line_, len_, out);
        }
        return true;
    }
    if (len_ < NMEA_LINE_MAX)
        line_[len_++] = static_cast<char>(byte);
    else
        tooLong_ = true;
    return false;
}
