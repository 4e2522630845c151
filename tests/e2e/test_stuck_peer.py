"""Peers that keep their command channels open and stop reading, beside one that keeps asking for
state: the unit goes on answering the asker, drops each stuck peer, telling it once, and answers
each again once it connects anew."""
import json
import os
import subprocess
import sys

from conftest import end

UNIT, ASKER = 0x21, 0x2A
STUCK = list(range(0x30, 0x38))
PEER = os.path.join(os.path.dirname(__file__), "bc2peer.py")


def test_peers_that_stop_reading_lose_their_channels_while_another_is_still_answered(unit, net):
    host = net.host(3)
    u = unit(["0"], f"[unit]\npid = {UNIT:#x}\nipv4 = {host.address}\nall_pids = {UNIT:#x}\n", prefix=host.prefix())
    u.wait_for("BC2_eth_ini(): Initialisation finished", 30)
    # The peers' addresses rank above the unit's (the fourth octet counts first): they connect to
    # it. The stuck ones hold on for up to 60 s, longer than the asker asks and waits for answers.
    runs = {}
    for number, (pid, mode, seconds) in enumerate([(p, "stuck", 60) for p in STUCK] + [(ASKER, "ask", 12)], 9):
        peer = net.host(number)
        runs[pid] = subprocess.Popen(peer.prefix() + [sys.executable, PEER, mode, str(seconds), peer.address, str(pid),
                                                      "517", f"{host.address}:{UNIT:#x}"],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = {}
    for pid, p in runs.items():
        out, err = p.communicate(timeout=150)
        assert p.returncode == 0, err.decode()
        seen[pid] = json.loads(out)
    assert end(u) == [0]

    asker, stuck = seen[ASKER], [seen[p] for p in STUCK]
    # every question was answered while the stuck peers still held their channels
    assert asker["asked"] > 20 and asker["answered"] == asker["asked"], seen
    # the unit ended each stuck peer's connection, told it once, and answered it once back
    assert all(s["dropped"] and s["answered_again"] for s in stuck), seen
    text = "\n".join(u.out)
    for p in STUCK:
        assert text.count(f"Error sending comint cmd to PID 0x{UNIT:X} -> 0x{p:X}") == 1, text
    # A stuck peer costs the asker no wait: its longest stays within 0.6 s, counted against the
    # half second the unit gives a stuck peer's replies, as long as that took in this run however
    # loaded the host (a stuck peer's connection lasts at least that long after its requests).
    limit = min(s["lasted"] for s in stuck)
    print(f"asker's longest wait {asker['longest']:.3f} s; stuck peers dropped {limit:.3f} s after their requests")
    assert asker["longest"] < 1.2 * limit, seen
