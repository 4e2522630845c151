// NMEA 0183 reader: assembles sentences from the receiver's byte stream, checks them and
// decodes the three the unit uses (RMC, GGA, VTG). Everything on the line is outside input:
// a sentence that fails a check is dropped whole, with the reason.
#pragma once

#include <cstddef>
#include <cstdint>

// NMEA's limit: 82 characters from '$' to the line end, CR LF included.
constexpr size_t NMEA_LINE_MAX = 80;

enum class NmeaKind : uint8_t { Other, RMC, GGA, VTG };

enum class NmeaDrop : uint8_t {
    None,
    TooLong, // longer than NMEA_LINE_MAX
    BadChar, // a byte outside printable ASCII
    NoChecksum,
    Checksum, // the checksum does not match
    Fields,   // fewer fields than the sentence has, or an empty field that is needed
    Range,    // a malformed number or a value out of its range
};

// What one sentence says. Only the fields its kind carries are set (has*); `valid` is the
// sentence's own verdict (RMC status A, GGA quality above 0, VTG mode other than N).
struct NmeaSentence {
    NmeaKind kind = NmeaKind::Other;
    bool valid = false;
    bool hasPosition = false, hasSpeed = false, hasCourse = false, hasQuality = false;
    double latitude = 0, longitude = 0; // degrees, north and east positive
    double speedKmh = 0;
    double course = 0; // degrees from true north
    uint8_t quality = 0;
};

// Checks and decodes one sentence: `line` from '$' up to the line end (CR LF not included).
// Sentences of other kinds pass the checks and come back as NmeaKind::Other.
NmeaDrop nmeaDecode(const char* line, size_t len, NmeaSentence* out);

// Text of a drop reason for the log.
const char* nmeaDropText(NmeaDrop why);

// Splits the byte stream into sentences. Bytes outside a sentence (binary protocols of the
// receiver, noise) are skipped; a '$' starts a sentence, CR or LF ends it.
class NmeaReader {
  public:
    // Takes one byte. Returns true when it ended a sentence: `out` and `why` tell the result
    // (why == NmeaDrop::None for a good sentence).
    bool push(uint8_t byte, NmeaSentence* out, NmeaDrop* why);

  private:
    char line_[NMEA_LINE_MAX];
    size_t len_ = 0;
    bool active_ = false;  // inside a sentence
    bool tooLong_ = false; // the current sentence overflowed: dropped at its end
};
