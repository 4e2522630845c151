"""Peers' measurement lists against the unit's list numbers, each party in a network namespace of its
own (listpeer.py): one peer creating and stopping lists at full speed leaves room for another's,
and a stop naming a number handed out again stops nothing; a requester that restarts leaves no
list running."""
import json
import os
import subprocess
import sys

from conftest import end

UNIT, FIRST, SECOND = 0x21, 0x29, 0x2A
PEER = os.path.join(os.path.dirname(__file__), "listpeer.py")


def started(net, number, pid, *args):
    host = net.host(number)
    return subprocess.Popen(host.prefix() + [sys.executable, PEER, args[0], *map(str, args[1:]), host.address,
                                             str(pid), "517", f"192.0.2.3:{UNIT:#x}"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def seen(*peers):
    """What each peer saw; none is left running when one fails (the other would wait for good)."""
    try:
        got = []
        for p in peers:
            out, err = p.communicate(timeout=600)
            assert p.returncode == 0, err.decode()
            got.append(json.loads(out))
        return got
    finally:
        for p in peers:
            if p.poll() is None:
                p.kill()
                p.wait()


def unit_at(unit, net):
    host = net.host(3)
    u = unit(["0"], f"[unit]\npid = {UNIT:#x}\nipv4 = {host.address}\nall_pids = {UNIT:#x}\n", prefix=host.prefix())
    u.wait_for("BC2_eth_ini(): Initialisation finished", 30)
    return u


def test_a_peer_creating_and_stopping_100000_lists_leaves_room_for_another(unit, net):
    # More lists than the table has numbers, each stopped as soon as it is granted, 16 in flight;
    # the second peer asks once 70,000 were granted. Every 97th stop of a list whose number names
    # an entry an earlier list had is preceded by a stop of that earlier number.
    u = unit_at(unit, net)
    mark = u.path("mark")
    flood = started(net, 9, FIRST, "flood", "100000/16/70000", mark)
    other = started(net, 10, SECOND, "one", mark)
    first, second = seen(flood, other)
    assert end(u) == [0]
    assert (first["granted"], first["refused"], first["closed"], first["unstopped"]) == (100000, 0, 100000, 0), first
    assert first["stale"] > 300 and first["stale_stopped_nothing"] == first["stale"], first
    assert second["granted"]


def test_a_restarted_requesters_lists_stop_and_their_numbers_name_nothing(unit, net):
    u = unit_at(unit, net)
    [got] = seen(started(net, 9, FIRST, "restart"))
    assert end(u) == [0]
    assert (got["granted"], got["dropped"], got["heard_again"]) == (16, True, True) and got["before"] > 0, got
    assert (got["runs_lists"], got["after"], got["stopped"]) == (False, 0, 0), got
    assert f"Reset detected on PID 0x{FIRST:X}" in "\n".join(u.out)
