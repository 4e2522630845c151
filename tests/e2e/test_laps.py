"""Laps of a running unit: counted from the demo's digital input on stepped time and kept across
a restart, counted by GPS over a drive written into "/tyCo/1" (the drive as pynmea2 reads it),
and sent by the laptrigger master to a second unit, which asks it for its counters and gets them
again when it restarts."""
import csv
import os
import pty
import re
import struct
import subprocess

import pynmea2
import pytest

import netns
from conftest import ROOT, STEPPED, built, end, patched_dataset, wait_signal

LAP = re.compile(r"^\d+ KVX2_VYN (\d+) \S+ laptrigger: lap (\d+) of outing (\d+), lap time (\d+\.\d\d) s")


def laps(p):
    """(tick, lap, outing, lap time) of every lap the unit counted itself."""
    return [(int(t), int(lap), int(out), float(s)) for t, lap, out, s in
            (m.groups() for m in map(LAP.match, p.out) if m)]


def counters(p):
    """(lap, outing, absolute lap) as the unit's logging holds them: each lap it took counts once."""
    code, text = p.shell("lof_get")
    assert code == 0, text
    return tuple(map(int, re.search(r"lap (\d+), outing (\d+), abs lap (\d+)", text).groups()))


def pulse(ctl, ms):
    ctl.cmd("din 0 1")
    ctl.step(ms)
    ctl.cmd("din 0 0")


def test_digital_input_laps_and_their_counters_across_a_restart(unit):
    p = unit(["0"], STEPPED)
    p.wait_started()
    with p.control() as ctl:
        ctl.step(200)
        pulse(ctl, 20)
        ctl.step(3030)
        pulse(ctl, 20)
    assert p.stop() == 0
    got = laps(p)
    assert [(lap, out) for _, lap, out, _ in got] == [(1, 1), (2, 1)] and got[1][3] == 3.05  # the ticks between

    # without a speed input every start begins a new outing from the stored counters
    again = unit(["0"], STEPPED, dataset=False)
    again.wait_started()
    with again.control() as ctl:
        ctl.step(100)
        pulse(ctl, 20)
    assert again.stop() == 0
    text = "\n".join(again.out)
    assert "awm_0x08_lapfunc_ini: repaired" not in text
    assert "awm_0x08_lapfunc_ini_lof: Out/Lap/AbsLap/Frag: 1/2/2/" in text
    assert "awm_0x08_lapfunc_ini_lof: New outing 2 bc invalid speed" in text
    assert [(lap, out) for _, lap, out, _ in laps(again)] == [(1, 2)]


def test_generated_drive_is_nmea_as_pynmea2_reads_it(tmp_path):
    """The drive the GPS tests feed: every epoch's RMC, GGA and VTG as pynmea2 reads them, with the
    position, speed and course of the drive's table, and no fix while the receiver has none."""
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


@pytest.fixture
def mkdataset():
    return built("VYN_MKDATASET", "the built mkdataset")


def test_gps_laps_over_a_drive_through_a_pty(unit, mkdataset, tmp_path):
    kmh, nofix = 250.0, 5
    subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "gpsdrive.py"), str(tmp_path),
                    "--track", "7,48.3,11.6", "--laps", "2", "--speed", str(kmh), "--nofix", str(nofix)],
                   check=True)
    with open(tmp_path / "drive.csv") as f:
        length = float(f.readline().split()[4])
    image = tmp_path / "gps.img"
    subprocess.run([mkdataset, str(image), "--lap", "gps"], check=True)
    with open(tmp_path / "drive.nmea", newline="") as f:
        sentences = f.read().split("\r\n")[:-1]
    master, slave = pty.openpty()
    try:
        p = unit(["0"], STEPPED + "[drives]\ncfg = %s\n[serial]\ntyCo1 = %s\n" % (tmp_path, os.ttyname(slave)),
                 dataset=image.read_bytes())
        p.wait_started()
        with p.control() as ctl:
            assert "r_gpsTask" in ctl.tasks()
            # a sentence whose checksum is off by one is dropped; the drive after it is read
            os.write(master, b"$GPVTG,054.7,T,034.4,M,005.5,N,010.2,K*49\r\n")
            ctl.step(20)
            p.wait_for("gpsTask: NMEA sentence dropped: checksum error", 10)
            start = ctl.ticks()
            for k in range(0, len(sentences), 3):  # one epoch each 100 ms
                os.write(master, ("\r\n".join(sentences[k:k + 3]) + "\r\n").encode())
                ctl.step(100)
        assert p.stop() == 0  # the task reading the receiver ends with the unit
    finally:
        os.close(master)
        os.close(slave)
    text = "\n".join(p.out)
    assert "gps_trackdet: track 7 'oval 7' detected" in text
    assert "gpsTask delete errno" not in text and "did not get tid for gpsTask" not in text
    lap_s = length / (kmh / 3.6)
    got = laps(p)
    assert [(lap, out) for _, lap, out, _ in got] == [(1, 1), (2, 1)]
    for n, (tick, *_rest) in enumerate(got, 1):
        # the fix after the crossing was written at this tick; the receiver, looked at once a
        # tick after the rasters, reads it on the next. On the first 10 ms tick after that the soft
        # scheduler copies the position into its list, on the second the gateway hands the copy to
        # the lap function, and on the third the model counts the lap: its step comes first on
        # each tick, as its raster outranks the soft scheduler and comes before the gateway's call
        crossed = start + 100 * int((nofix * 0.1 + n * lap_s) / 0.1 + 1)
        read = crossed + 1
        assert read < tick - 20 <= read + 10, (n, tick, crossed)
    assert abs(got[1][3] - lap_s) <= 0.1


def test_the_masters_laps_reach_another_unit_once(unit, net):
    # Each wait is a span of the waiting unit's own time, however slowly a loaded host lets it pass.
    units, hosts = {}, {}
    for pid, host in {0x21: 1, 0x22: 2}.items():  # the laptrigger master is PID 0x21
        hosts[pid] = net.host(host)
        units[pid] = unit(["0"], f"[unit]\npid = {pid:#x}\nipv4 = {netns.NET}{host}\nall_pids = {pid:#x}\n",
                          dataset=patched_dataset((0x10004, struct.pack("<I", 0x21 << 8))), name=f"u{pid:x}",
                          prefix=hosts[pid].prefix())
    for pid, other in ((0x21, 0x22), (0x22, 0x21)):
        units[pid].wait_seen(f"CI channel to PID 0x{other:X} established", 30000)
    master, other = units[0x21], units[0x22]
    # the master's counters of its start reach the unit once its channel is up, and the unit
    # asks the master for them until it answers
    update = other.wait_seen("laptrigger: update of PID 0x21: lap ", 10000).split("update of PID 0x21: ")[1]
    other.wait_seen("LapOutFra: laptrigger master answered: " + update, 10000)
    taken = counters(other)[2]
    # the trigger held until the lap is counted, then low from when the master read it so for
    # longer than the shortest lap (2 s)
    with master.control() as ctl:
        for n in (1, 2):
            ctl.cmd("din 0 1")
            master.wait_seen(f"laptrigger: lap {n} of outing", 30000)
            ctl.cmd("din 0 0")
            wait_signal(hosts[0x21], 0x21, "B_Laptriggerpin", lambda pin: pin & 1 == 0, limit=600)
            master.wait_ticks(2200)
    # What the unit took is in its counters (its lines of the master's messages are guarded against
    # a flood). Each lap is counted there once, as the master's lap message; one the master counted
    # while a loaded host had their channel down reaches the unit as the master's update once it is
    # back, and is no lap there.
    outing = laps(master)[0][2]
    other.wait_until(lambda: counters(other)[:2] == (2, outing), 30000, "lap 2 on the other unit")
    other.wait_ticks(500)
    lap, out, counted = counters(other)
    assert end(other) == [0]
    comebacks = sum("CI channel to PID 0x21 established" in line for line in other.out) - 1
    assert (lap, out) == (2, outing) and counted - taken in ((0, 1, 2) if comebacks else (2,)), comebacks
    # the unit restarts: its channel drops, and once it is back the master's counters reach it again
    # (both tell the channel is back, the master however many of its channels told theirs before)
    again = unit(["0"], None, dataset=False, name="u22", prefix=hosts[0x22].prefix())
    again.wait_seen("CI channel to PID 0x21 established", 30000)
    master.wait_seen("CI channel to PID 0x22 established", 30000, times=2)
    again.wait_seen("laptrigger: update of PID 0x21: lap 2 of outing ", 10000)
    assert counters(again) == (2, outing, counted)
    assert end(master, again) == [0, 0]
    assert {line.split("laptrigger: ")[1] for line in again.out if "laptrigger: update of PID" in line} == {
        f"update of PID 0x21: lap 2 of outing {outing}"}
    assert update == f"lap 0 of outing {outing}"
    assert laps(other) == [] and [(lap, out) for _, lap, out, _ in laps(master)] == [(1, outing), (2, outing)]
