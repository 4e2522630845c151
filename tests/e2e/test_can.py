"""CAN on python-can's udp_multicast bus, inside a network namespace of the test's own: the
units' output frames, recorded by python-can, carry their configured rows with counter and
checksum; the frames python-can sends and unit A's output reach the units' buses (pcap)."""
import json
import struct
import subprocess

import crcmod
import pytest

import netns

GROUP, PORT = "239.74.163.2", 43113
# CfgMat_CanVersion in the dataset image: 5 reads "cfg:/CAN.xml"
CAN_VERSION_AT, DATASET_SIZE = 0x10800, 0x1E288


def can_xml(in_id, out_id):
    """Row 0 of the input is the 16-bit value at byte 0 of `in_id`; `out_id` carries 0x1234 every
    10 ms with a counter (byte 6, 0 to 15) and a CRC-8/SAE-J1850 over bytes 0 to 6 (byte 7)."""
    return f"""<?xml version="1.0"?>
<Can>
  <CanIn>
    <CanMb idx="0" intf="0" canId="{in_id:X}" fdf="false"/>
    <CanSignal chIdx="0" msgIdx="0" sBit="0" len="16" bigEndian="false" outType="UINT16" RCType="SIG"/>
  </CanIn>
  <CanOut>
    <CanMb idx="0" intf="0" canDlc="8" canId="{out_id:X}" event="R10ms" fdf="false" brs="false"/>
    <CanConstant chIdx="0" msgIdx="0" sBit="0" len="16" bigEndian="false" RCType="SIG" value="4660"/>
    <CanCounter chIdx="1" msgIdx="0" sBit="48" len="8" bigEndian="false" start="0" end="15"/>
    <CanChecksum chIdx="2" msgIdx="0" sBit="56" len="8" bigEndian="false" type="20" chkSumByteMask="255"/>
  </CanOut>
</Can>
"""


def file_dataset(path):
    """The build's dataset with CAN configured by the file, its CRC-16/ARC renewed."""
    import os
    image = bytearray(open(os.environ["VYN_DATASET"], "rb").read())
    image[CAN_VERSION_AT] = 5
    crc = crcmod.predefined.mkCrcFun("crc-16")(bytes(image[:DATASET_SIZE]))
    image[DATASET_SIZE:DATASET_SIZE + 2] = struct.pack("<H", crc)
    open(path, "wb").write(image)


# Sends 0x100 every 20 ms and records what comes back, for at most 30 s.
TOOL = f"""
import can, json, time
bus = can.Bus(interface="udp_multicast", channel="{GROUP}", port={PORT})
seen, end, nxt = {{}}, time.monotonic() + 30, 0
while time.monotonic() < end and not (len(seen.get(0x300, [])) >= 3 and len(seen.get(0x200, [])) >= 20):
    if time.monotonic() >= nxt:
        bus.send(can.Message(arbitration_id=0x100, is_extended_id=False, data=b"\\x34\\x12"))
        nxt = time.monotonic() + 0.02
    m = bus.recv(0.02)
    if m is not None and m.arbitration_id in (0x200, 0x300) and m.data[:2] == b"\\x34\\x12" or (m is not None and m.arbitration_id == 0x200 and seen.setdefault("any", []).append(round(time.monotonic() - end + 30, 2)) and seen["any"].append(m.data.hex())) or (m is not None and m.arbitration_id == 0x200 and seen["any"].append(m.data.hex())):
        seen.setdefault(m.arbitration_id, []).append(m.data.hex())
bus.shutdown()
print(json.dumps(seen))
"""


@pytest.fixture
def lo_namespace():
    why = netns.available()
    if why:
        pytest.skip(why)
    ns = netns.Holder()
    try:
        ns.run("ip", "link", "set", "lo", "up")
        ns.run("ip", "link", "set", "lo", "multicast", "on")
        ns.run("ip", "route", "add", "224.0.0.0/4", "dev", "lo")
        yield ns
    finally:
        ns.stop()


def test_python_can_frames_pass_through_two_units(unit, lo_namespace, tmp_path, monkeypatch):
    settings = ("[unit]\nipv4 = 127.0.0.1\npid = %d\nxcp_port = %d\nbc2_port_offset = %d\n[drives]\ncfg = .\n"
                "[can]\nbus = udp\npcap = can.pcap\n")
    image = tmp_path / "dataset.img"
    file_dataset(image)
    monkeypatch.setenv("VYN_DATASET", str(image))
    units = []
    for name, pid, xcp, off, ids in (("a", 0x25, 5555, 0, (0x100, 0x200)), ("b", 0x26, 5556, 100, (0x200, 0x300))):
        units.append(unit(["0"], settings % (pid, xcp, off), {"CAN.xml": can_xml(*ids)},
                          prefix=lo_namespace.prefix(), name=name))
    for p in units:
        p.wait_for("CanOut_Init: CanOut configured 3 signals in 1 messages")
    out = subprocess.run(lo_namespace.prefix() + ["/usr/bin/python3", "-c", TOOL], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    assert len(seen.get("768", [])) >= 3, (seen.get("any", [])[-12:], len(seen.get("any", [])), [l for l in units[0].out if "Can" in l or "gw" in l or "eas" in l][:40])  # 0x300: through unit A and unit B
    frames = [bytes.fromhex(h) for h in seen["512"]]
    crc = crcmod.mkCrcFun(0x11D, 0, False, 0xFF)  # CRC-8/SAE-J1850
    assert all(f[7] == crc(f[:7]) for f in frames)
    counters = [f[6] for f in frames]
    assert all(c < 16 for c in counters) and any((b - a) % 16 == 1 for a, b in zip(counters, counters[1:]))
    for p in units:
        with p.control() as ctl:
            ctl.postrun()
        assert p.finish() == 0
    for p, heard in zip(units, (0x100, 0x200)):
        pcap = open(p.path("can.pcap"), "rb").read()
        assert struct.unpack("<IHHiIII", pcap[:24]) == (0xA1B2C3D4, 2, 4, 0, 0, 65535, 227)
        ids, at = set(), 24
        while at < len(pcap):
            size = struct.unpack_from("<I", pcap, at + 8)[0]
            ids.add(struct.unpack_from(">I", pcap, at + 16)[0])
            at += 16 + size
        assert heard in ids, (hex(heard), ids)
