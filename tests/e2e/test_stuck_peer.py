"""A peer that keeps its command channel open and stops reading, beside one that keeps asking for
state: the unit goes on answering the second and drops the first, telling it once."""
import json
import os
import subprocess
import sys

from conftest import end

UNIT, STUCK, ASKER = 0x21, 0x29, 0x2A
PEER = os.path.join(os.path.dirname(__file__), "bc2peer.py")


def test_a_peer_that_stops_reading_loses_its_channel_while_another_is_still_answered(unit, net):
    host = net.host(3)
    u = unit(["0"], f"[unit]\npid = {UNIT:#x}\nipv4 = {host.address}\nall_pids = {UNIT:#x}\n", prefix=host.prefix())
    u.wait_for("BC2_eth_ini(): Initialisation finished", 30)
    # The peers' addresses rank above the unit's (the fourth octet counts first): they connect to
    # it. The stuck one holds on for up to 60 s, longer than the other asks and waits for answers.
    runs = {}
    for pid, number, mode, seconds in ((STUCK, 9, "stuck", 60), (ASKER, 10, "ask", 10)):
        peer = net.host(number)
        runs[mode] = subprocess.Popen(peer.prefix() + [sys.executable, PEER, mode, str(seconds), peer.address, str(pid),
                                                       "517", f"{host.address}:{UNIT:#x}"],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = {}
    for mode, p in runs.items():
        out, err = p.communicate(timeout=120)
        assert p.returncode == 0, err.decode()
        seen[mode] = json.loads(out)
    assert end(u) == [0]

    # every question was answered while the stuck peer still held its channel
    assert seen["ask"]["asked"] > 20 and seen["ask"]["answered"] == seen["ask"]["asked"], seen
    # the unit ended the stuck peer's connection, which it told once
    assert seen["stuck"]["dropped"], seen
    text = "\n".join(u.out)
    assert text.count(f"Error sending comint cmd to PID 0x{UNIT:X} -> 0x{STUCK:X}") == 1, text
