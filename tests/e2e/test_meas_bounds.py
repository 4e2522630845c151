"""Every address the unit resolves, measured at every size, from an XCP master (ODT entries of 1 to
248 bytes, those that fit sampled on the 100 ms event) and from a peer of the device network (lists
by address at the group sizes 1, 2, 4 and 8). A value is read only within the object its address
names: an ODT entry that runs past it is refused, a list's value wider than it carries the object's
bytes, then zeros, beside the list's other values; and the unit, built with the address sanitizer
or without, runs on and ends cleanly."""
import json
import os
import socket
import struct
import subprocess
import sys
import time

from conftest import end
from xcpmaster import Master, frames

PID, PEER = 0x25, 0x29
UNIT_ADDRESS, PEER_ADDRESS = "127.0.0.1", "127.0.0.2"
BLOCK = 0x60000  # the calibration memory, as its memory map gives it
CHANNEL = 31 << 18  # a channel function's output: index in bits 8 to 17, output number below
SIZES = (1, 2, 4, 8, 16, 64, 248)  # 248: the most ODT 0 carries
OUT_OF_RANGE = 0x22
FIRST_ENTRY = bytes([0xE2, 0, 0, 0, 0, 0])  # SET_DAQ_PTR: list 0, ODT 0, entry 0


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(m, packets, window=32):
    """The slave's answers to `packets`, sent `window` at a time (it takes them in order): None for
    a positive response, else the error code."""
    out = []
    for at in range(0, len(packets), window):
        chunk = packets[at:at + window]
        for p in chunk:
            m.send(p)
        for _ in chunk:
            r = m.response()[1]
            out.append(None if r[0] == 0xFF else r[1])
    return out


def write_daq(size, address):
    return bytes([0xE1, 0xFF, size, 0]) + struct.pack("<I", PID << 24 | address)


def grants(m, addresses):
    """Per address, the sizes of SIZES an ODT entry is granted at (entry 0 written again each time);
    every refusal is OUT_OF_RANGE."""
    packets = [p for a in addresses for n in SIZES for p in (FIRST_ENTRY, write_daq(n, a))]
    codes = answers(m, packets)
    assert set(codes[0::2]) == {None} and set(codes[1::2]) <= {None, OUT_OF_RANGE}
    per = len(SIZES)
    return {a: [n for n, c in zip(SIZES, codes[2 * per * i + 1:2 * per * (i + 1):2]) if c is None]
            for i, a in enumerate(addresses)}


def sample(m, entries):
    """One DAQ list of the entries (address, size) on the 100 ms event, in ODTs as full as they may
    be, run until every ODT came twice; the ODTs' DTOs all came."""
    odts, payload = [[]], 0
    for a, n in entries:
        limit = 248 if len(odts) == 1 else 252
        if payload + n > limit or len(odts[-1]) == 255:
            odts.append([])
            payload = 0
        odts[-1].append((a, n))
        payload += n
    assert len(odts) <= 255
    m.cmd(0xD6)
    m.cmd(0xD5, 0, 1, 0)
    m.cmd(0xD4, 0, 0, 0, len(odts))
    for i, odt in enumerate(odts):
        m.cmd(0xD3, 0, 0, 0, i, len(odt))
    packets = [p for i, odt in enumerate(odts)
               for p in [bytes([0xE2, 0, 0, 0, i, 0])] + [write_daq(n, a) for a, n in odt]]
    assert set(answers(m, packets)) == {None}
    m.cmd(0xE0, 0x10, 0, 0, 0, 0, 1, 0)
    m.cmd(0xDE, 2, 0, 0)
    m.cmd(0xDD, 1)
    seen, deadline = {}, time.monotonic() + 120
    while min(seen.get(i, 0) for i in range(len(odts))) < 2 and time.monotonic() < deadline:
        for _, packet in frames(m.datagram(30)):
            if packet[0] < 0xFD:
                seen[packet[0]] = seen.get(packet[0], 0) + 1
                header = 7 if packet[0] == 0 else 3
                assert len(packet) == header + sum(n for _, n in odts[packet[0]])
    m.cmd(0xDD, 0)
    assert min(seen.get(i, 0) for i in range(len(odts))) >= 2, seen
    m.cmd(0xD6)


def lists_of(addresses, size, count=100):
    return [[-size] + addresses[i:i + count] + [0, 0] for i in range(0, len(addresses), count)]


def test_every_resolvable_address_at_every_size_from_a_master_and_a_peer(unit):
    port = free_port()
    p = unit(["0"], f"[unit]\nipv4 = {UNIT_ADDRESS}\npid = {PID:#x}\nxcp_port = {port}\n")
    p.display_started()
    p.wait_for("Set Task r_xcpEthDTO0 to Core#1")  # the slave's socket is bound
    m = Master(port, timeout=30)
    m.cmd(0xFF, 0)
    m.cmd(0xD5, 0, 1, 0)
    m.cmd(0xD4, 0, 0, 0, 1)
    m.cmd(0xD3, 0, 0, 0, 0, 1)
    # 8 bytes of the pressure condition's output 0 (it has 1 and 2; 0 reads the 4-byte error
    # value) and 64 bytes of the pressure sensor's 4-byte output are out of range.
    assert answers(m, [FIRST_ENTRY, write_daq(8, CHANNEL | 4 << 8), FIRST_ENTRY, write_daq(64, CHANNEL)]) == \
        [None, OUT_OF_RANGE, None, OUT_OF_RANGE]

    # An index with a channel function has outputs of at most 4 bytes; one without reads the
    # 256-byte error pattern.
    indexes = grants(m, [CHANNEL | i << 8 for i in range(256)])
    functions = [i for i in range(256) if 8 not in indexes[CHANNEL | i << 8]]
    beyond = next(i for i in range(256) if i not in functions)
    assert functions, "the dataset's channel functions"
    outputs = [CHANNEL | i << 8 | o for i in functions + [beyond] for o in range(256)]
    memory = [0x100, 0x40000, 0x427FC, 0x427FF, BLOCK - 8, BLOCK - 7, BLOCK - 4, BLOCK - 1, BLOCK, BLOCK + 1]
    masters = [28 << 18 | n for n in [*range(1001), 4095]] + [29 << 18 | n for n in [*range(201), 4095]]
    conversions = [0x800000 | page << 20 | i for page in range(8) for i in [*range(32), 0xFFFFF]]
    addresses = outputs + memory + masters + conversions
    granted = grants(m, addresses)

    # The memory's end bounds its values; beyond it lies the error pattern.
    assert [granted[a] for a in (BLOCK - 8, BLOCK - 4, BLOCK - 1, BLOCK, BLOCK + 1, 0x100)] == \
        [[1, 2, 4, 8], [1, 2, 4], [1], [], list(SIZES), list(SIZES)]
    # Outputs are of data types of at most 32 bits; a master's slot is one 32-bit word.
    assert all(max(granted[a], default=0) <= 4 for a in outputs if (a >> 8 & 0x3FF) in functions)
    assert all(max(granted[a], default=0) <= 4 or granted[a] == list(SIZES) for a in masters)

    # What fits is sampled: each address at its largest size up to 8, some at 248.
    entries = [(a, max(n for n in granted[a] if n <= 8)) for a in addresses if granted[a]]
    entries += [(a, 248) for a in addresses if 248 in granted[a]][:16]
    sample(m, entries)

    # The peer asks for the same addresses in lists: every list is granted and delivers, those of
    # values wider than their objects too, alone or among values that fit.
    requests = []
    for n in (1, 2, 4, 8):
        fit = [a for a in addresses if n in granted[a]]
        wide = [a for a in addresses if n not in granted[a]]
        requests += lists_of(fit, n) + lists_of(wide, n)
        if wide:
            requests.append([-n] + fit[:10] + wide[:1] + [0, 0])
    requests.append([-8, CHANNEL | 4 << 8, 0, 0])
    with open(p.path("lists.json"), "w") as f:
        json.dump(requests, f)
    done = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "bc2peer.py"), "lists",
                           p.path("lists.json"), PEER_ADDRESS, hex(PEER), "516", f"{UNIT_ADDRESS}:{PID:#x}"],
                          capture_output=True, timeout=600)
    assert done.returncode == 0, done.stderr.decode()
    seen = json.loads(done.stdout)
    assert seen["granted"] == [True] * len(requests)
    assert all(n > 0 for n in seen["entries"]), seen["entries"]

    m.cmd(0xFD)  # the slave still answers
    m.close()
    assert end(p) == [0]
    log = "\n".join(p.out)
    assert "AddressSanitizer" not in log and "runtime error" not in log
