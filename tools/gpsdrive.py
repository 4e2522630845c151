#!/usr/bin/python3
"""Writes a drive around a track as a GPS receiver reports it, and the track file that goes with it.

    gpsdrive.py OUTDIR [--track ID,LAT,LON]... [--drive ID] [--laps N] [--speed KMH] [--nofix N]

Every track has the same shape (an oval of about 1.1 km), placed with its finish point at LAT, LON
(ID 0 to 2147483647, each once; the oval must lie within -90 to 90 and -180 to 180 degrees). The car
stands at the finish point of the driven track for --nofix epochs without a fix, then drives --laps
laps (above 0, a fraction is fine) at --speed (above 0), and its last fix lies at least half a fix's
way beyond: a unit counting laps by GPS counts one at each whole lap (the start, on the finish
line, is no crossing of it). The receiver's clock starts at noon: the drive ends before midnight.
OUTDIR is made when it does not exist (its parent must); the files are written whole or not at all:
a write that fails (a full file system) leaves those there as they were. Written to OUTDIR:

- drive.nmea: per epoch (10 Hz) an RMC, a GGA and a VTG sentence, CR LF ended;
- drive.csv: what the receiver saw per epoch: time s, fix quality, latitude and longitude in
  degrees, speed in km/h, course in degrees; its first line, a comment, gives the driven track:
  "# track ID length M finish LAT LON";
- rtracks.xml: the tracks in the unit's format (docs/gps.md): id, length, finish point and a
  segment point at every tenth of the lap.
"""

import argparse
import math
import os
import sys
import tempfile

EARTH_RADIUS_M = 6371008.8
KMH_PER_KNOT = 1.852
EPOCH_S = 0.1


def oval(straight=400.0, radius=75.0, step=10.0):
    """Corner points (x east, y north, metres) of a closed oval, starting on the main straight."""
    pts = []
    for i in range(int(straight / step)):
        pts.append((i * step, 0.0))
    for k in range(int(math.pi * radius / step)):
        a = -math.pi / 2 + math.pi * k / int(math.pi * radius / step)
        pts.append((straight + radius * math.cos(a), radius + radius * math.sin(a)))
    for i in range(int(straight / step)):
        pts.append((straight - i * step, 2 * radius))
    for k in range(int(math.pi * radius / step)):
        a = math.pi / 2 + math.pi * k / int(math.pi * radius / step)
        pts.append((radius * math.cos(a), radius + radius * math.sin(a)))
    return pts


class Track:
    def __init__(self, ident, lat, lon):
        self.id, self.lat0, self.lon0 = ident, lat, lon
        self.pts = oval()
        self.cum = [0.0]
        for a, b in zip(self.pts, self.pts[1:] + self.pts[:1]):
            self.cum.append(self.cum[-1] + math.dist(a, b))
        self.length = self.cum[-1]

    def latlon(self, x, y):
        lat = self.lat0 + math.degrees(y / EARTH_RADIUS_M)
        lon = self.lon0 + math.degrees(x / (EARTH_RADIUS_M * math.cos(math.radians(self.lat0))))
        return lat, lon

    def at(self, s):
        """Latitude, longitude and course (degrees) at distance s along the lap."""
        s %= self.length
        i = max(k for k in range(len(self.pts)) if self.cum[k] <= s)
        (x0, y0), (x1, y1) = self.pts[i], self.pts[(i + 1) % len(self.pts)]
        f = (s - self.cum[i]) / (self.cum[i + 1] - self.cum[i])
        lat, lon = self.latlon(x0 + f * (x1 - x0), y0 + f * (y1 - y0))
        return lat, lon, math.degrees(math.atan2(x1 - x0, y1 - y0)) % 360.0


def sentence(body):
    check = 0
    for c in body.encode("ascii"):
        check ^= c
    return "$%s*%02X\r\n" % (body, check)


def angle(value, hemis, deg_digits):
    a = abs(value)
    deg = int(a)
    minutes = (a - deg) * 60.0
    if round(minutes, 5) >= 60.0:
        deg, minutes = deg + 1, 0.0
    return "%0*d%08.5f" % (deg_digits, deg, minutes), hemis[0] if value >= 0 else hemis[1]


def epoch(t, fix, lat, lon, kmh, course):
    hms = "%02d%02d%05.2f" % (12 + int(t // 3600), int(t // 60) % 60, t % 60)
    if not fix:
        return (sentence("GPRMC,%s,V,,,,,,,230394,,,N" % hms) + sentence("GPGGA,%s,,,,,0,00,99.9,,M,,M,," % hms)
                + sentence("GPVTG,,T,,M,,N,,K,N"))
    la, ns = angle(lat, "NS", 2)
    lo, ew = angle(lon, "EW", 3)
    kn = kmh / KMH_PER_KNOT
    return (sentence("GPRMC,%s,A,%s,%s,%s,%s,%.3f,%.2f,230394,,,A" % (hms, la, ns, lo, ew, kn, course))
            + sentence("GPGGA,%s,%s,%s,%s,%s,1,09,0.9,520.0,M,47.0,M,," % (hms, la, ns, lo, ew))
            + sentence("GPVTG,%.2f,T,,M,%.3f,N,%.2f,K,A" % (course, kn, kmh)))


def track_file(tracks):
    out = ['<?xml version="1.0" encoding="UTF-8"?>', "<!-- written by tools/gpsdrive.py -->", "<tracks>"]
    for t in tracks:
        out.append('  <track id="%d" name="oval %d" length="%.1f">' % (t.id, t.id, t.length))
        lat, lon, _ = t.at(0)
        out.append('    <finish lat="%.7f" lon="%.7f"/>' % (lat, lon))
        for k in range(1, 10):
            lat, lon, _ = t.at(t.length * k / 10)
            out.append('    <segment lat="%.7f" lon="%.7f"/>' % (lat, lon))
        out.append("  </track>")
    out.append("</tracks>")
    return "\n".join(out) + "\n"


def write_files(outdir, files):
    """Writes each (name, bytes) beside the file it replaces and renames them all into place once
    all are written. A write that fails leaves OUTDIR as it was: returns the file and why, else None."""
    mask = os.umask(0)
    os.umask(mask)
    temps = []
    shown = None
    try:
        for name, data in files:
            shown = os.path.join(outdir, name)
            target = os.path.realpath(shown)  # through a link: the file it names; the link stays
            mode = os.stat(target).st_mode & 0o7777 if os.path.exists(target) else 0o666 & ~mask
            fd, temp = tempfile.mkstemp(prefix="." + os.path.basename(target) + ".", dir=os.path.dirname(target))
            temps.append((temp, target, shown))
            with os.fdopen(fd, "wb") as f:
                os.fchmod(fd, mode)
                f.write(data)
                f.flush()
                os.fsync(fd)
        for temp, target, shown in temps:
            os.replace(temp, target)
        return None
    except OSError as e:
        for temp, _, _ in temps:
            try:
                os.unlink(temp)
            except OSError:
                pass
        return shown, e.strerror or str(e)


def positive(text):
    value = float(text)
    if not 0 < value < math.inf:
        raise ValueError(text)
    return value


def count(text):
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def track(text):
    """A Track of "ID,LAT,LON" whose points all lie on the globe's grid."""
    ident, lat, lon = text.split(",")
    t = Track(int(ident), float(lat), float(lon))
    if not 0 <= t.id <= 0x7FFFFFFF:
        raise ValueError(text)
    for s in range(0, int(t.length) + 1):
        la, lo, _ = t.at(s)
        if not (-90 < la < 90 and -180 <= lo <= 180):
            raise ValueError(text)
    return t


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--track", action="append", default=[], type=track, metavar="ID,LAT,LON")
    ap.add_argument("--drive", type=int, help="id of the driven track (default: the first)")
    ap.add_argument("--laps", type=positive, default=1.0, metavar="N",
                    help="laps to drive from the finish line (above 0, a fraction is fine; default 1); the "
                         "last fix lies just past them, so that a unit counting laps by GPS counts one at each "
                         "crossing of the finish line: the whole laps of N")
    ap.add_argument("--speed", type=positive, default=120.0, help="km/h")
    ap.add_argument("--nofix", type=count, default=5, help="epochs without a fix before the start")
    args = ap.parse_args()
    tracks = args.track or [track("7,48.3,11.6")]
    if len({t.id for t in tracks}) != len(tracks):
        ap.error("a track id given twice")
    driven = next((t for t in tracks if args.drive in (None, t.id)), None)
    if driven is None:
        ap.error("no track has the id %d" % args.drive)
    # The fixes of the moving car: the last one at least half a fix's way past N laps, so that the
    # line at the end of the last whole lap is crossed whatever the rounding of the way.
    moving = math.ceil(args.laps * driven.length / (args.speed / 3.6) / EPOCH_S + 0.5) + 1
    if not args.nofix + moving <= 12 * 3600 / EPOCH_S:
        ap.error("the drive does not end before midnight: fewer laps, more speed or fewer epochs without a fix")
    made = not os.path.isdir(args.outdir)
    if made:
        try:
            os.mkdir(args.outdir)
        except OSError as e:
            ap.error("OUTDIR %s: %s" % (args.outdir, "its parent directory does not exist"
                                        if isinstance(e, FileNotFoundError) else e.strerror))
    lat0, lon0, _ = driven.at(0)
    csv = ["# track %d length %.1f finish %.7f %.7f" % (driven.id, driven.length, lat0, lon0)]
    nmea = []
    for k in range(args.nofix + moving):
        t = k * EPOCH_S
        fix = k >= args.nofix
        s = (k - args.nofix) * EPOCH_S * args.speed / 3.6 if fix else 0.0
        lat, lon, course = driven.at(s)
        kmh = args.speed if fix else 0.0
        nmea.append(epoch(t, fix, lat, lon, kmh, course))
        csv.append("%.1f,%d,%.9f,%.9f,%.3f,%.2f" % (t, 1 if fix else 0, lat, lon, kmh, course))
    failed = write_files(args.outdir, [("drive.nmea", "".join(nmea).encode()),
                                       ("drive.csv", ("\n".join(csv) + "\n").encode()),
                                       ("rtracks.xml", track_file(tracks).encode())])
    if failed:
        if made:
            os.rmdir(args.outdir)
        print("gpsdrive.py: writing %s failed: %s" % failed, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
