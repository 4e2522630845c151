"""The network time: a time master and a slave in network namespaces of their own. The master
exports its time to 239.239.239.15:9830 and distributes it; the slave's clock follows."""
import struct

import netns
from conftest import end, patched_dataset

def settings(pid, host, calendar):
    return (f"[unit]\npid = {pid:#x}\nipv4 = {netns.NET}{host}\nall_pids = 0x21, 0x22\n"
            f"[platform]\ncalendar_start = {calendar}\n")


def test_slave_follows_the_master_and_the_master_exports_its_time(unit, net):
    hosts = {1: net.host(1), 2: net.host(2)}
    frames = net.capture(12)
    # 2023-11-14 22:13:20 UTC on the master (device configuration bit 1); the slave starts three
    # years behind
    master = unit(["0"], settings(0x21, 1, 1700000000), dataset=patched_dataset((0x10004, struct.pack("<I", 2))),
                  name="master", prefix=hosts[1].prefix())
    slave = unit(["0"], settings(0x22, 2, 1600000000), name="slave", prefix=hosts[2].prefix())
    line = slave.wait_for("Sync on timemaster systemtime: ", 30)
    wire = frames()
    assert end(master, slave) == [0, 0]
    assert "14.11.2023  22:13:" in line and line.endswith(", q:1")
    with open(slave.path("nvram/rtc")) as f:
        assert f.read().startswith("2023-11-14 22:13:")
    exported = [(d, port, payload) for s, d, port, payload in netns.udp(wire) if port == 9830]
    assert exported and all(d == "239.239.239.15" and len(p) == 20 for d, _, p in exported)
    first = exported[0][2]
    assert first[:4] == b"\x01\x00\x00\x00"
    assert struct.unpack_from("!4H", first, 8) == (2023, 11, 14, 22)
    assert all(s == f"{netns.NET}1" for s, _, port, _ in netns.udp(wire) if port == 9830)
