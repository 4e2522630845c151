// Track detection: which track of "cfg:rtracks.xml" the car is on (docs/gps.md describes the
// file). A track is near when the car is within its radius of its finish point or of one of
// its segment points; the nearest such track is taken, but the current one is kept while the
// car stays within its radius, so that two tracks side by side do not take turns.
#include "acquisition/gps/gps.h"
#include "acquisition/gps/gps_private.h"
#include "services/nvram/nvram.h"
#include "services/syslog/syslog.h"
#include "services/xml/xml.h"

#include <cmath>
#include <cstring>

namespace {

constexpr const char* TRACK_FILE = "cfg:rtracks.xml";
constexpr int TRACKS_MAX = 64;
constexpr int SEGMENTS_MAX = 100; // the lap function's segment count
constexpr float RADIUS_DEFAULT_M = 1000.0f;
constexpr double EARTH_RADIUS_M = 6371008.8; // mean radius (IUGG)
constexpr int32_t NO_TRACK = -1;
constexpr int TRACKDET_PRIORITY = 150;

struct Point {
    float lat = NAN, lon = NAN;
};

struct Track {
    int32_t id;
    char name[32];
    float length;
    float radius;
    Point finish;
    Point segment[SEGMENTS_MAX];
    int segments;
};

// Read by the detection task only (loaded by it before it takes positions).
Track tracks[TRACKS_MAX];
int trackCount;

// The hand-over between the caller of gps_trackdet_get and the task, under `lock`.
struct Exchange {
    SEM_ID lock = nullptr;
    SEM_ID wake = nullptr;
    Point handed; // the last position handed over
    bool pending = false;
    int result = 0; // 1 or 2 until taken
    Point finish;
    float length = 0;
    int32_t id = NO_TRACK;
    int32_t reportedId = NO_TRACK; // the segments below belong to it
    Point segment[SEGMENTS_MAX];
    int segments = 0;
};
Exchange ex;

// Metres between two points; the plane approximation is good to well below a metre over a
// track's few kilometres.
double distanceM(const Point& a, const Point& b) {
    constexpr double RAD = M_PI / 180.0;
    const double x = (static_cast<double>(b.lon) - a.lon) * RAD * std::cos((a.lat + b.lat) * 0.5 * RAD);
    const double y = (static_cast<double>(b.lat) - a.lat) * RAD;
    return std::hypot(x, y) * EARTH_RADIUS_M;
}

double distanceTo(const Track& t, const Point& p) {
    double d = distanceM(t.finish, p);
    for (int i = 0; i < t.segments; ++i)
        d = std::fmin(d, distanceM(t.segment[i], p));
    return d;
}

// ---- the track file ---------------------------------------------------------------------

// Reads up to the end of the element whose start tag was read (its closing bracket too).
void skipContent(XmlScan* scan, XmlTok_t* tok) {
    for (int level = 1; level > 0;) {
        scan->getTok(tok);
        if (tok->type == XmlTokEof) throw XmlError("unexpected end of file", scan);
        level += scan->getNesting(tok);
    }
}

// <finish lat=".." lon=".."/> or <segment .../>
Point readPoint(XmlScan* scan, XmlTok_t* tok) {
    Point p;
    if (tok->type != XmlTokStartAttr) throw XmlError("lat and lon missing", tok->name, scan);
    XmlTagParser attrs(2);
    attrs.addAttribute("lat", &p.lat, sizeof p.lat, xmlTypeFloat, true);
    attrs.addAttribute("lon", &p.lon, sizeof p.lon, xmlTypeFloat, true);
    if (attrs.parse(scan) == XmlTokStartClose) skipContent(scan, tok);
    if (!(std::fabs(p.lat) <= 90 && std::fabs(p.lon) <= 180)) throw XmlError("position out of range", scan);
    return p;
}

void readTrack(XmlScan* scan, XmlTok_t* tok, Track* t) {
    *t = Track{};
    t->radius = RADIUS_DEFAULT_M;
    if (tok->type != XmlTokStartAttr) throw XmlError("track without id and length", scan);
    XmlTagParser attrs(4);
    attrs.addAttribute("id", &t->id, sizeof t->id, xmlTypeInt, true);
    attrs.addAttribute("name", t->name, sizeof t->name - 1, xmlTypeString, false);
    attrs.addAttribute("length", &t->length, sizeof t->length, xmlTypeFloat, true);
    attrs.addAttribute("radius", &t->radius, sizeof t->radius, xmlTypeFloat, false);
    bool open = attrs.parse(scan) == XmlTokStartClose;
    if (t->id < 0) throw XmlError("track id below 0", scan);
    if (!(t->length > 0 && t->length < 1e6f) || !(t->radius > 0 && t->radius < 1e6f))
        throw XmlError("track length or radius out of range", scan);
    for (int i = 0; i < trackCount; ++i)
        if (tracks[i].id == t->id) throw XmlError("track id given twice", scan);
    while (open) {
        scan->getTok(tok);
        if (tok->type == XmlTokEnd) break;
        if (tok->type == XmlTokEof) throw XmlError("unexpected end of file", scan);
        if (std::strcmp(tok->name, "finish") == 0) {
            t->finish = readPoint(scan, tok);
        } else if (std::strcmp(tok->name, "segment") == 0) {
            if (t->segments == SEGMENTS_MAX) throw XmlError("more than 100 segment points", scan);
            t->segment[t->segments++] = readPoint(scan, tok);
        } else {
            throw XmlError("unknown element", tok->name, scan);
        }
    }
    if (std::isnan(t->finish.lat)) throw XmlError("track without finish point", scan);
}

// The whole file or nothing: a track read halfway could be taken for the wrong one.
void loadTracks() {
    trackCount = 0;
    try {
        XmlFile file(TRACK_FILE);
        XmlScan* scan = file.getScanner();
        XmlTok_t tok;
        scan->getTok(&tok);
        if ((tok.type != XmlTokStart && tok.type != XmlTokStartAttr) || std::strcmp(tok.name, "tracks") != 0)
            throw XmlError("root element is not tracks", scan);
        if (tok.type == XmlTokStartAttr && XmlTagParser(0).parse(scan) == XmlTokEmptyClose) return;
        for (scan->getTok(&tok); tok.type != XmlTokEnd; scan->getTok(&tok)) {
            if (tok.type == XmlTokEof) throw XmlError("unexpected end of file", scan);
            if (std::strcmp(tok.name, "track") != 0) throw XmlError("unknown element", tok.name, scan);
            if (trackCount == TRACKS_MAX) throw XmlError("more than 64 tracks", scan);
            readTrack(scan, &tok, &tracks[trackCount]);
            ++trackCount;
        }
    } catch (const char* e) {
        trackCount = 0;
        syslogx(LOG_ERR, "gps_trackdet: %s not used: %s", TRACK_FILE, e);
    }
}

// ---- the task -----------------------------------------------------------------------------

const Track* findTrack(int32_t id) {
    for (int i = 0; i < trackCount; ++i)
        if (tracks[i].id == id) return &tracks[i];
    return nullptr;
}

void report(const Track& t, int result) {
    semTake(ex.lock, WAIT_FOREVER);
    ex.result = result;
    ex.finish = t.finish;
    ex.length = t.length;
    ex.id = t.id;
    ex.reportedId = t.id;
    ex.segments = t.segments;
    std::memcpy(ex.segment, t.segment, sizeof ex.segment);
    semGive(ex.lock);
}

void trackdetTask(intptr_t, intptr_t, intptr_t, intptr_t) {
    int32_t current = NO_TRACK;
    if (nvram_dbs_read(nvram_GpsTrackDet_Elem.id, 0, &current, sizeof current) != sizeof current)
        current = NO_TRACK;
    loadTracks();
    if (const Track* t = findTrack(current)) {
        report(*t, 1);
        syslogx(LOG_INFO, "gps_trackdet: track %d '%s' restored", static_cast<int>(t->id), t->name);
    } else if (current != NO_TRACK) {
        syslogx(LOG_WARN, "gps_trackdet: stored track %d is not in %s", static_cast<int>(current),
                TRACK_FILE);
    }
    for (;;) {
        semTake(ex.wake, WAIT_FOREVER);
        semTake(ex.lock, WAIT_FOREVER);
        const Point p = ex.handed;
        ex.pending = false;
        semGive(ex.lock);

        const Track* here = findTrack(current);
        if (here && distanceTo(*here, p) <= here->radius) continue;
        const Track* best = nullptr;
        double bestDist = 0;
        for (int i = 0; i < trackCount; ++i) {
            const double d = distanceTo(tracks[i], p);
            if (d <= tracks[i].radius && (!best || d < bestDist)) {
                best = &tracks[i];
                bestDist = d;
            }
        }
        if (!best || best->id == current) continue;
        const int result = current == NO_TRACK ? 1 : 2;
        current = best->id;
        if (nvram_dbs_write(nvram_GpsTrackDet_Elem.id, 0, &current, sizeof current) != sizeof current)
            SYSLOGX_RATE_GUARDED(LOG_ERR, "gps_trackdet: track %d not stored", static_cast<int>(current));
        report(*best, result);
        SYSLOGX_RATE_GUARDED(LOG_INFO, "gps_trackdet: track %d '%s' detected", static_cast<int>(best->id),
                             best->name);
    }
}

} // namespace

void gps_trackdet_ini() {
    if (ex.lock) return;
    SEM_ID lock = semMCreate(SEM_Q_PRIORITY | SEM_INVERSION_SAFE);
    SEM_ID wake = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (!lock || !wake) {
        syslogx(LOG_ERR, "gps_trackdet_ini(): semaphore creation failed");
        return;
    }
    ex.wake = wake;
    ex.lock = lock;
    if (taskSpawn("r_gpsTrackDet", TRACKDET_PRIORITY, VX_FP_TASK, 32768, trackdetTask) == TASK_ID_NULL)
        syslogx(LOG_ERR, "gps_trackdet_ini(): taskSpawn r_gpsTrackDet failed: %s", std::strerror(errno));
}

int gps_trackdet_get(float latitude, float longitude, float distance, float* trackLat, float* trackLon,
                     float* trackLength, int32_t* trackId) {
    (void)distance;
    if (!ex.lock || semTake(ex.lock, WAIT_FOREVER) != OK) return 0;
    const int result = ex.result;
    if (result) {
        ex.result = 0;
        if (trackLat) *trackLat = ex.finish.lat;
        if (trackLon) *trackLon = ex.finish.lon;
        if (trackLength) *trackLength = ex.length;
        if (trackId) *trackId = ex.id;
    } else if (!std::isnan(latitude) && !std::isnan(longitude) &&
               (latitude != ex.handed.lat || longitude != ex.handed.lon)) {
        // Only a new position is worth a look; the task takes the latest.
        ex.handed = {latitude, longitude};
        if (!ex.pending) semGive(ex.wake);
        ex.pending = true;
    }
    semGive(ex.lock);
    return result;
}

int gps_trackdet_segments(int32_t known, int32_t* id, float* lat, float* lon, int max) {
    if (!ex.lock || semTake(ex.lock, WAIT_FOREVER) != OK) return 0;
    const int n = ex.segments;
    if (ex.reportedId != known) {
        for (int i = 0; i < n && i < max; ++i) {
            lat[i] = ex.segment[i].lat;
            lon[i] = ex.segment[i].lon;
        }
        *id = ex.reportedId;
    }
    semGive(ex.lock);
    return n;
}

void gps_trackdet_reset() {
    gps_endTask("r_gpsTrackDet");
    if (ex.lock) semDelete(ex.lock);
    if (ex.wake) semDelete(ex.wake);
    ex = Exchange{};
    trackCount = 0;
}
