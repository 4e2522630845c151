"""CAN on python-can's udp_multicast bus in a network namespace as the README sets it up: two
units (can_two_buses.xml, the demo's), python-can as the other nodes, tshark on the pcap files."""
import json
import os
import subprocess

import crcmod
import pytest

import netns

HERE = os.path.dirname(os.path.abspath(__file__))
CRC8 = crcmod.mkCrcFun(0x11D, 0, False, 0xFF)  # CRC-8/SAE-J1850

# One node per group, each hearing only its own group (python-can's bus alone hears every group
# joined in the namespace): 0x110 every 10 ms for 2 s on both, a CAN FD frame once on group 0;
# what each heard of the others.
PEER = """
import can, json, socket, time
buses = [can.Bus(interface="udp_multicast", channel=g) for g in ("239.74.163.2", "239.74.163.3")]
for b in buses:
    b._multicast._socket.setsockopt(socket.IPPROTO_IP, 49, 0)  # IP_MULTICAST_ALL
    while b.recv(0) is not None: pass  # what came before
buses[0].send(can.Message(arbitration_id=0x1ABCDEF, data=bytes(range(12)), is_fd=True, bitrate_switch=True))
heard, sent, end = [[], []], 0, time.monotonic() + 2
while time.monotonic() < end:
    for b, data in zip(buses, (b"\\x34\\x12", b"\\x78\\x56")):
        b.send(can.Message(arbitration_id=0x110, is_extended_id=False, data=data))
    sent += 2
    for b, h in zip(buses, heard):
        while (m := b.recv(0.005)) is not None:
            if m.arbitration_id != 0x110 and m.data != bytes(range(12)):
                h.append([m.arbitration_id, m.data.hex(), m.is_extended_id, m.is_fd, m.bitrate_switch])
print(json.dumps({"sent": sent, "heard": heard}))
"""


def test_two_units_and_python_can_share_the_buses(unit):
    why = netns.available()
    if why:
        pytest.skip(why)
    ns = netns.Holder()
    try:
        for cmd in (("link", "set", "lo", "up"), ("link", "set", "lo", "multicast", "on"),
                    ("route", "add", "224.0.0.0/4", "dev", "lo")):
            ns.run("ip", *cmd)
        # The demo unit with 4 bar, 50 degrees C, 50 % throttle and 12 l of fuel on its inputs.
        units = [unit(["0"], f"[unit]\npid = {0x25 + i}\nxcp_port = {5555 + i}\nbc2_port_offset = {100 * i}\n"
                      f"[drives]\ncfg = .\n[can]\nbus = udp\npcap = can.pcap\n{board}", {"CAN.xml": open(xml).read()},
                      prefix=ns.prefix(), name=str(i))
                 for i, (board, xml) in enumerate((
                     ("", os.path.join(HERE, "can_two_buses.xml")),
                     ("[board]\nanalog_stimulus = 0 const 2.1, 1 const 2.5, 2 const 2.5, 3 const 1.2\n",
                      os.path.join(HERE, "..", "..", "examples", "unit0", "cfg", "CAN.xml"))))]
        units[0].wait_for("CanOut_Init: CanOut configured 6 signals in 4 messages")
        units[1].wait_for("CanOut_Init: CanOut configured 8 signals in 2 messages")
        peer = json.loads(subprocess.run(ns.prefix() + ["/usr/bin/python3", "-c", PEER], capture_output=True,
                                         text=True, timeout=60, check=True).stdout)
        for p in units:
            with p.control() as ctl:
                ctl.postrun()
            assert p.finish() == 0
    finally:
        ns.stop()
    # What carries a value: each controller sends its own controller's value, controller 1 never
    # received the unit's own 0x200 of controller 0 (0x300 stays 0); the demo's pressure and gear
    # (1: no pressure warning).
    g0 = {(m[0], m[1][:2]) for m in peer["heard"][0] if m[1][:2] != "00"}
    g1 = {tuple(m) for m in peer["heard"][1] if int(m[1], 16)}
    assert g0 == {(0x200, "34"), (0x100, "90"), (0x101, "01")}, g0
    assert g1 == {(0x200, "7856", False, False, False), (0x1ABCDEF, "0" * 20 + "7856", True, True, True)}, g1
    assert 0x300 in {m[0] for m in peer["heard"][1]}
    # The counter steps through 0 to 15 beside the CRC; the demo's 0x100 in full (or 0 before its
    # values arrive).
    for ident, head in ((0x200, None), (0x100, "9001f401640c")):
        frames = [bytes.fromhex(m[1]) for m in peer["heard"][0] if m[0] == ident][1:]
        assert all(f[7] == CRC8(f[:7]) and f[:6].hex() in (head or f[:6].hex(), "0" * 12) for f in frames)
        assert any((b[6] - a[6]) % 16 == 1 and a[6] < 16 for a, b in zip(frames, frames[1:]))
    # tshark reads the pcap files: every frame received is in them once, the CAN FD one as sent.
    for p in units:
        fields = subprocess.run(["tshark", "-r", p.path("can.pcap"), "-T", "fields", "-e", "can.id", "-e",
                                 "can.flags.xtd", "-e", "canfd.flags.brs", "-e", "data.data"], capture_output=True,
                                text=True, check=True).stdout.splitlines()
        assert [f.split("\t")[0] for f in fields].count("272") == peer["sent"], peer["sent"]
        assert "28036591\t1\t1\t000102030405060708090a0b" in fields
