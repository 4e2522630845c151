"""Measured values through the gateway in the real binary: a unit's CAN output carries a value of
its own and one of another unit; the values are those of the analog stimuli that drive them."""
import re
import struct
import time

import pytest

import netns
from conftest import STEPPED, end, patched_dataset, scripted_peer

# Channel 3 (ana04, a 32-bit float of volts at 0x4001C, sampled every 100 ms): 1 V and 4 V for
# 100 ms each.
SQUARE = "3 square 1 4 200"


def can_dataset():
    """The build's dataset with CAN configured by "cfg:/CAN.xml" (CfgMat_CanVersion 5)."""
    return patched_dataset((0x10800, b"\x05"))


def can_xml(*pids):
    """Message 0x200 every 10 ms: ana04 of each PID as a little-endian float, row after row."""
    rows = "".join(f'<CanSignal chIdx="{i}" msgIdx="0" sBit="{32 * i}" len="32" bigEndian="false" RCType="SIG" '
                   f'adrType="meas_by_address" pid="{pid}" adr="4001C" data_type="FLOAT" signed="false" '
                   f'float="true"/>' for i, pid in enumerate(pids))
    return ('<?xml version="1.0"?><Can><CanOut><CanMb idx="0" intf="0" canDlc="8" canId="200" event="R10ms" '
            f'fdf="false" brs="false"/>{rows}</CanOut></Can>')


def frames(path):
    """(host time, two floats) of every frame 0x200 in a pcap file of SocketCAN frames."""
    data, at, out = open(path, "rb").read(), 24, []
    while at < len(data):
        sec, usec, size = struct.unpack_from("<III", data, at)
        if struct.unpack_from(">I", data, at + 16)[0] == 0x200:
            out.append((sec + usec / 1e6, struct.unpack_from("<ff", data, at + 24)))
        at += 16 + size
    return out


def level(v):
    """1 or 4 for a value of the square stimulus, 0 for none."""
    return next((n for n in (0, 1, 4) if abs(v - n) < 0.01), v)


def zero_runs(values):
    """How many runs of zeros the values hold."""
    return sum(1 for a, b in zip([1] + values, values) if a and not b)


def outages(lines, pid):
    """How many times a unit's log reports that a list of `pid` had no data within its time-out,
    from any gateway client: the lines, the repeats folded into a count, and the suppressed lines
    of a flooding report site (counted for every PID, so at most this many)."""
    n, sites, last = 0, set(), ""
    for line in lines:
        repeated = re.search(r"Last message repeated (\d+) times", line)
        flood = re.search(r"Flooding suspicion! Syslogx message (0x[0-9a-f]+)", line)
        suppressed = re.search(r"Syslogx message (0x[0-9a-f]+): (\d+) similar messages suppressed", line)
        timeout = re.search(r"meas_tout: PID:0x([0-9A-F]+) timeout", last)
        if re.search(rf"meas_tout: PID:0x{pid:X} timeout", line):
            n += 1
        elif repeated and timeout and int(timeout.group(1), 16) == pid:
            n += int(repeated.group(1))
        elif flood and timeout:
            sites.add(flood.group(1))
        elif suppressed and suppressed.group(1) in sites:
            n += int(suppressed.group(2))
        if not repeated and not flood:
            last = line
    return n


def runs(values):
    """Lengths of the runs of equal levels, the first and last (cut by the window) left out."""
    out, n = [], 1
    for a, b in zip(values, values[1:]):
        if level(a) == level(b):
            n += 1
        else:
            out.append(n)
            n = 1
    return out[1:]


# On lo the device network runs; an address on no interface leaves the unit without it, and its
# own values still arrive.
@pytest.mark.parametrize("ipv4", ["127.0.0.1", "192.0.2.77"])
def test_own_values_every_raster_in_stepped_time(unit, ipv4):
    settings = (f"[unit]\nipv4 = {ipv4}\npid = 0x25\n[drives]\ncfg = .\n[can]\npcap = can.pcap\n"
                "[platform]\ntime = stepped\n")
    p = unit(["0"], settings, {"CAN.xml": can_xml(0)}, dataset=can_dataset())
    volts = [0.5 * i for i in range(1, 9)]
    with p.control() as ctl:
        ctl.step(200)
        for v in volts:  # ana04 is sampled every 100 ms
            ctl.cmd(f"adc 3 {v}")
            ctl.step(100)
    assert p.stop() == 0
    values = [round(v, 2) for _, (v, _) in frames(p.path("can.pcap"))]
    first = values.index(volts[0])
    assert first <= 30 and not any(values[:first]), values  # running within 200 ms, nothing before
    # every frame of the 10 ms raster carries the newest sample: each voltage for 10 frames
    assert values[first:first + 70] == [v for v in volts[:7] for _ in range(10)], values


def test_two_units_online_offline_resume_and_a_queue_mode_list(unit, net):
    """Unit A shows B's square and its own constant; B stops and starts again, then restarts at
    once; meanwhile a scripted peer reads a queue-mode list of B on the DK channel."""
    image = can_dataset()
    ha, hb, hp = net.host(1), net.host(2), net.host(9)
    wire = net.capture(120)
    a = unit(["0"], f"[unit]\npid = 0x21\nipv4 = {ha.address}\n[drives]\ncfg = .\n[can]\npcap = can.pcap\n"
             "[board]\nanalog_stimulus = 3 const 2.5\n", {"CAN.xml": can_xml(0x22, 0)}, image, ha.prefix(), "a")
    settings_b = f"[unit]\npid = 0x22\nipv4 = {hb.address}\n[board]\nanalog_stimulus = {SQUARE}\n"
    b = unit(["0"], settings_b, dataset=image, prefix=hb.prefix(), name="b")
    running = "MeasGate: Measurement for PID 0x22 is set up and running"
    a.wait_for(running, 30)
    queued = scripted_peer(hp, "queue", 3, hp.address, "0x29", 516, f"{hb.address}:0x22")
    # B adds up the entries its full FIFO lost each second of its time: a second after the peer
    # stopped reading, the count covers all it read
    with b.control() as ctl:
        read = ctl.ticks()
        while ctl.ticks() < read + 1100:
            time.sleep(0.05)
    stopped = time.time()
    assert b.end() == 0
    counts = [int(line.rsplit(":", 1)[1]) for line in b.out if "data loss update: loss count :" in line]
    gone = time.time()
    a.wait_for("MeasGate: PID 0x22 is detected offline", 10)
    restarted = time.time()
    b = unit(["0"], settings_b, dataset=image, prefix=hb.prefix(), name="b")
    a.wait_for(running, 30, times=2)
    resumed = time.time()
    time.sleep(1.0)
    # B killed and at once back, sooner than A can call it offline: A sees the restart
    killed = time.time()
    b.kill()
    b = unit(["0"], settings_b, dataset=image, prefix=hb.prefix(), name="b")
    a.wait_for(running, 30, times=3)
    again = time.time()
    time.sleep(1.0)
    assert end(a, b) == [0, 0]
    seen = wire()

    # A raster that runs late in real time catches up with frames a few µs apart whose lists had no
    # new entry yet: their rows carry 0. Those bursts are left out; what remains must be whole.
    shown, last = [], 0
    for t, v in frames(a.path("can.pcap")):
        if t - last > 0.003:
            shown.append((t, v))
        last = t
    before = [v for t, v in shown if t < stopped]
    offline = [v for t, v in shown if gone + 0.3 < t < restarted]
    after = [v for t, v in shown if resumed + 0.2 < t < killed]
    restart = [v for t, v in shown if t > again + 0.2]
    first = next(i for i, (v, _) in enumerate(before) if v)
    # B's square, a level every 10 frames give or take the raster's jitter in real time, and A's own.
    # A row is 0 only while its list has timed out, which a host too loaded to keep the rasters on
    # time brings about: every run of zeros follows a time-out that A reported.
    theirs = [v for v, _ in before[first:] + after]
    assert {level(v) for v in theirs} <= {0, 1, 4}, theirs
    assert zero_runs([v for v, _ in before[first:]]) + zero_runs([v for v, _ in after]) <= outages(a.out, 0x22)
    assert {level(v) for v, _ in before[first:] if v} == {1, 4}
    lengths = sorted(runs([v for v, _ in before[first:] if v]))
    assert lengths and 9 <= lengths[len(lengths) // 2] <= 11, lengths
    owns = [own for _, own in before[first:] + offline + after]
    assert all(abs(own - 2.5) < 0.01 or own == 0 for own in owns), owns
    assert zero_runs(owns) <= outages(a.out, 0x21), owns
    # B gone: its row carries nothing; B back: the list is requested again and its values return
    assert offline and all(v == 0 for v, _ in offline)
    assert after and {level(v) for v, _ in after if v} == {1, 4}
    assert restart and {level(v) for v, _ in restart if v} == {1, 4}

    # The queue-mode list: one ana04 of 4 bytes after the stamp, an entry for every 10 ms, none lost
    # but those B counted as lost while a loaded host kept the peer from reading (a late raster
    # catches up, its entries then bear the same stamp)
    magic, slots, size, kind, raster = struct.unpack_from("!IHHHH", bytes.fromhex(queued["reply"][0]))
    assert magic and (slots, size, kind, raster) == (64, 8, 1, 3)
    stamps = queued["stamps"]
    assert len(stamps) > 150 and stamps == sorted(stamps), stamps
    # of a run of entries with one stamp only the last is on time: measured from the end of the
    # first run to the end of the run before the last (where the peer may have stopped reading)
    first, last = stamps.index(stamps[0]) + stamps.count(stamps[0]) - 1, stamps.index(stamps[-1]) - 1
    missing = round((stamps[last] - stamps[first]) / 100) - (last - first)
    # the count's line comes at most three times in ten seconds: a third may not be B's last count
    assert 0 <= missing and (missing <= max(counts + [0]) or len(counts) >= 3), (counts, stamps)

    # Online data go by UDP to port 9852 in frames of whole DK records of at most 1472 bytes: 14
    # of the peer's 104-byte records fill one (its fifteen 1 ms lists of 23 floats)
    dk = [(d, p) for s, d, port, p in netns.udp(seen) if s == hb.address and port == 9852]
    assert {d for d, _ in dk} == {ha.address, hp.address}
    assert max(len(p) for _, p in dk) == 14 * 104
    for d, p in dk:
        at = 0
        while at < len(p):
            dest, n = struct.unpack_from("!HH", p, at)
            assert (dest, n) in {(0x21, 8), (0x29, 96)}
            at += 8 + n
        assert at == len(p)


def test_an_input_of_a_data_type_without_a_value_size_gets_no_list(unit):
    """Channel function 4 of the build's dataset reads output 0 of function 0 (its input reference
    at 0x258 + 40 of the data page); its data-type code 9 names no value size: the unit refuses
    that input with a line of its log and runs on."""
    p = unit(["0"], STEPPED, dataset=patched_dataset((0x258 + 40 + 32, struct.pack("<H", 9))))
    p.wait_started()
    with p.control() as ctl:
        ctl.step(300)  # the requests of every list served, the rasters copying
    assert p.stop() == 0
    assert any("awm_man_setup_gw_meas: input 0x007C0000 of data type 9 has no value size, not measured" in line
               for line in p.out)
