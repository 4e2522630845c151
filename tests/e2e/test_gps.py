"""The GPS receiver of a running unit: "/tyCo/1" is a pseudo-terminal that the test writes into."""
import csv
import os
import pty
import subprocess

import pynmea2
import pytest

from conftest import ROOT


def test_generated_drive_is_nmea_as_pynmea2_reads_it(tmp_path):
    subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "gpsdrive.py"), str(tmp_path),
                    "--track", "3,-33.9,-70.6", "--laps", "0.05", "--nofix", "2"], check=True)
    with open(tmp_path / "drive.csv") as f:
        truth = [row for row in csv.reader(f) if not row[0].startswith("#")]
    with open(tmp_path / "drive.nmea", newline="") as f:
        lines = f.read().split("\r\n")[:-1]
    assert len(lines) == 3 * len(truth)
    for i, (t, fix, lat, lon, kmh, course) in enumerate(truth):
        rmc, gga, vtg = (pynmea2.parse(line, check=True) for line in lines[3 * i:3 * i + 3])
        assert (rmc.status, gga.gps_qual) == (("A", 1) if fix == "1" else ("V", 0))
        if fix == "1":
            assert max(abs(m.latitude - float(lat)) + abs(m.longitude - float(lon)) for m in (rmc, gga)) < 2e-7
            assert abs(float(vtg.spd_over_grnd_kmph) - float(kmh)) + abs(float(rmc.true_course) - float(course)) < 0.01
    assert max(len(line) for line in lines) <= 80  # NMEA's 82 with CR LF


@pytest.mark.parametrize("time", ["stepped", "realtime"])
def test_receiver_behind_tyco1_is_read_until_shutdown(unit, time):
    master, slave = pty.openpty()
    try:
        p = unit(["0"], "[platform]\ntime = %s\n[serial]\ntyCo1 = %s\n" % (time, os.ttyname(slave)))
        p.wait_started()
        with p.control() as ctl:
            assert "r_gpsTask" in ctl.tasks()
            os.write(master, b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*48\r\n"
                             b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*49\r\n")
            if time == "stepped":
                ctl.step(20)
            p.wait_for("NMEA sentence dropped: checksum error")
            ctl.postrun()
            for _ in range(40 if time == "stepped" else 0):
                try:
                    ctl.step(10)
                except Exception:
                    break
        assert p.finish() == 0
        text = "\n".join(p.out)
        assert "gpsTask delete errno" not in text and "did not get tid for gpsTask" not in text
        assert text.rstrip().endswith("Main: Shutdown ended, exiting smoothly")
    finally:
        os.close(master)
        os.close(slave)
