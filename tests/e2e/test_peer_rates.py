"""Peers that read slower than their data come, that ask faster than they read, or that ask in
another's name, each party in a network namespace of its own (ratepeer.py): a slow reader keeps its
data channel and each entry the unit made reaches it or is counted lost; a pipelining peer gets every
answer, in order, while another is answered; requests in another peer's name spend none of its
share."""
import json
import os
import re
import subprocess
import sys

from conftest import STEPPED, end, signals

UNIT, PEER, OTHER = 0x21, 0x29, 0x2A
UNIT_ADDRESS = "192.0.2.3"  # net.host(3)
HERE = os.path.dirname(__file__)


def started(net, number, pid, script, mode, *args):
    host = net.host(number)
    return subprocess.Popen(host.prefix() + [sys.executable, os.path.join(HERE, script), mode, *map(str, args),
                                             host.address, str(pid)] + (["517"] if script == "bc2peer.py" else [])
                            + [f"{UNIT_ADDRESS}:{UNIT:#x}"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def seen(p):
    out, err = p.communicate(timeout=300)
    assert p.returncode == 0, err.decode()
    return json.loads(out)


def unit_at(unit, net, settings=""):
    host = net.host(3)
    assert host.address == UNIT_ADDRESS
    u = unit(["0"], f"[unit]\npid = {UNIT:#x}\nipv4 = {host.address}\nall_pids = {UNIT:#x}\n" + settings,
             prefix=host.prefix())
    u.wait_started() if settings else u.wait_for("BC2_eth_ini(): Initialisation finished", 30)
    u.host = host
    return u


def test_a_data_reader_slower_than_its_lists_keeps_its_channel_and_every_entry_comes_or_is_counted(unit, net):
    # Six queue-mode lists of 23 values every 1 ms (624 kB/s), read at 90 % of that for 30 s of the
    # unit's time, then at full speed for 2 s. The peer steps the unit: every tick makes one entry of
    # each list, however slowly the host lets either run.
    u = unit_at(unit, net, STEPPED)
    got = seen(started(net, 9, PEER, "ratepeer.py", "slowdk", "30000/6/0.9", u.dir))
    counted = signals(u.host, UNIT, "msdcom_dataloss_offline")[0]  # each entry a full FIFO refused
    assert u.stop() == 0
    told = [line for line in u.out if "dyncom_send_eth" in line or "Dynkom_flush_eth" in line]
    assert got["granted"] == 6 and not got["closed"] and not told, (got, told)
    came, missing = (sum(s[k] for s in got["lists"]) for k in ("came", "missing"))
    print(f"entries came {came}, missing {missing}, counted lost {counted}")
    assert all(s["stamps_apart"] == [0] for s in got["lists"]), got
    assert missing > 0 and counted == missing, (got, counted)


def test_a_peer_asking_faster_than_it_reads_gets_every_answer_in_order_while_another_is_answered(unit, net):
    # 100,000 echoes sent as fast as the socket takes them, their answers (2.4 MB) read at 400 kB/s
    u = unit_at(unit, net)
    pipelining = started(net, 9, PEER, "ratepeer.py", "pipeline", "100000/400000")
    asker = started(net, 10, OTHER, "bc2peer.py", "ask", 12)
    piped, asked = seen(pipelining), seen(asker)
    assert end(u) == [0]
    told = [line for line in u.out if "Error sending" in line]
    print(f"100000 echoes in {piped['seconds']} s; the asker's longest wait {asked['longest']:.3f} s")
    assert (piped["answered"], piped["in_order"]) == (100000, True) and not told, (piped, told)
    # counted in the unit's presence rounds (200 ms each), as tests/e2e/test_stuck_peer.py does
    assert asked["asked"] > 20 and asked["answered"] == asked["asked"] and asked["longest_rounds"] < 10, asked


def test_requests_in_another_peers_name_spend_none_of_its_share(unit, net):
    # A asks for 1000 lists in B's name, more than B's share of the unit's lists, before B asks for 5.
    u = unit_at(unit, net)
    mark = u.path("mark")
    spoofing = started(net, 9, PEER, "ratepeer.py", "spoof", f"{OTHER:#x}/1000", mark)
    asking = started(net, 10, OTHER, "ratepeer.py", "lists", 5, mark)
    spoofed, own = seen(spoofing), seen(asking)
    assert end(u) == [0]
    assert spoofed["sent"] == 1000 and own["granted"] == 5, (spoofed, own)
    assert any(f"PID 0x{PEER:X} sent cmd 0x510 as PID 0x{OTHER:X}, refused" in line for line in u.out)
