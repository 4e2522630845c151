"""Telemetry of a running unit over UDP (the modem's status goes to the unit's own address): frames with a valid CRC-16/MCRF4XX, the JSON status for jq;
frames only while the enable channel (the modem's band) is not 0; the modem's signals in the
JSON channels, as the name table converts their variables."""
import json
import os
import subprocess
import sys

import crcmod

HERE = os.path.dirname(os.path.abspath(__file__))
TELEMETRY = """[telemetry]
medium = udp
address = 127.0.0.1
port = 5010
data_rate = 10
project_code = 0x4711
software_id = 9
fast = ana01, ana02
slow1 = gps_fix
slow2 = ub
slow7 = serialnum
enable = tele_modem_band
lapdist = tele_modem_plmn
gps_lat = gps_lat
gps_long = tele_modem_rsrp
"""


def test_frames_json_status_and_modem_status(unit):
    files = {"telemetry.ini": TELEMETRY, "dcp.ini": "[dcp]\nname = test\n"}
    p = unit(["0"], "[unit]\nipv4 = 127.0.0.1\n[drives]\ncfg = .\n", files=files)
    p.wait_for("Found a valid configuration for TARVO telemetry.")
    pit = subprocess.run([sys.executable, os.path.join(HERE, "telepit.py"), "5010", "4/11", "1.5"],
                         capture_output=True, timeout=120, check=True)
    got = json.loads(pit.stdout)
    crc = crcmod.mkCrcFun(0x11021, initCrc=0xFFFF, rev=True, xorOut=0)
    assert crc(b"123456789") == 0x6F91
    frames = [bytes.fromhex(h) for h in got["frames"]]
    assert len(frames) > 10 and got["quiet"] == 0, "frames only once the modem reports its band"
    for fr in frames:
        n = fr[3]
        assert len(fr) == n + 2 and fr[:3] == b"\x11\x47\x09"
        assert int.from_bytes(fr[n:], "big") == crc(fr[:n])
    # block 0 (two floats), then one of the slow blocks 1, 2 and 7 in turn (byte 5: the block's
    # number - 1), each as long as its values: gps_fix and ub one byte, serialnum two. A block whose
    # list is not set up (not yet granted, or timed out on a loaded host) is left out whole, and
    # byte 5 then keeps the slow block sent last.
    values = {0: 1, 1: 1, 6: 2}
    shapes = [(fr[4] - 4, fr[3] - 10 - (fr[4] - 4), fr[5]) for fr in frames]
    assert all(fast in (0, 8) and slow in (0, values[slot]) for fast, slow, slot in shapes), shapes
    whole = [(i, slot) for i, (fast, slow, slot) in enumerate(shapes) if fast and slow]
    assert {slot for _, slot in whole} == set(values), shapes
    assert all(b == {0: 1, 1: 6, 6: 0}[a] for (i, a), (j, b) in zip(whole, whole[1:]) if j == i + 1), shapes
    # the JSON text as jq reads it: tests/comm/tele. The modem's status in the signals: plmn "262-01";
    # rsrp -95 stored as 5, shown with the table's offset 100
    status = [json.loads(t) for t in got["json"]]
    assert status and all((s["prjcode"], s["sw_id"]) == (0x4711, 9) for s in status)
    assert {"lapdist": 262001, "gps_lat": 0, "gps_long": 105} in [
        {k: s.get(k) for k in ("lapdist", "gps_lat", "gps_long")} for s in status]
    assert p.end() == 0
