"""Measured values through the gateway in the real binary: a unit's CAN output carries a value of
its own and one of another unit; the values are those of the analog stimuli that drive them."""
import os
import re
import struct
import time

import pytest

import netns
from conftest import STEPPED, end, patched_dataset, scripted_peer, signals, wait_signal

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
    """(host time, two floats) of every frame 0x200 in a pcap file of SocketCAN frames; a record
    the unit is still writing is left for the next read."""
    data, at, out = open(path, "rb").read(), 24, []
    while at + 16 <= len(data):
        sec, usec, size = struct.unpack_from("<III", data, at)
        if at + 16 + size > len(data):
            break
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


def missing(stamps):
    """Entries a list's stream lacks, by their stamps: the server's measurement time (100 us units,
    10 to a tick) when the entry's sample was stored, one entry every 10 ms. A sample stored late
    takes a later stamp, never an earlier one; so the r-th stamp less r times 10 ms rises for good
    by 10 ms with each entry lost and for a while with late samples. Its lowest value in the last
    third of the stream less its lowest of all, in entries: only a last third whose every sample
    was stored late would add to it. A host that holds the unit up (a stall: two stamps more than
    15 ms apart) has it store the samples since late, their stamps closer together than 10 ms until
    it caught up; a stream that ends before it did (its stretch cut by the log's guard, say) is
    measured up to where that stall began. A stream that goes on 10 ms apart after a gap lost it."""
    floor = [s - 100 * r for r, s in enumerate(stamps)]
    stall = max((i for i in range(1, len(stamps)) if stamps[i] - stamps[i - 1] > 150), default=0)
    after = len(stamps) - 1 - stall
    if stall and after and stamps[-1] - stamps[stall] < 95 * after and min(floor[stall:]) > floor[stall - 1]:
        floor = floor[:stall]
    return (min(floor[-max(20, len(floor) // 3):]) - min(floor)) / 100


def skipped(lines):
    """The ring overflows a unit's log reports: when its soft scheduler falls 128 samples behind, it
    goes on with the oldest it still holds, and the 10 ms raster's entries of the samples it skips
    are never made. (stamp of the sample it goes on with, entries skipped at most) of each, and the
    spans of stamps in which the log's guard (three lines in ten seconds) may have held some back:
    from the last sample the scheduler took before the third line's overflow."""
    out, held, window = [], [], []
    for line in lines:
        m = re.search(r" (\d+) r_tAWM_SS: adc_calc_meas\(\) timestamp setback / queue overflow!!! old: (\d+) now: "
                      r"(\d+) .*\(diff (\d+) vs\. Qsz 128\)", line)
        if not m:
            continue
        tick, before, now, behind = map(int, m.groups())
        window = window + [tick] if window and tick - window[0] < 10000 else [tick]
        if len(window) == 3:  # the log's time is in ticks, 10 stamps each
            held.append((before + 1, (window[0] + 10000) * 10))
        if behind >= 128:
            out.append((now, -((127 - behind) // 10)))
    return out, held


def stretches(stamps, held):
    """The stamps cut where they fall into a held span, the spans left out."""
    out = [[]]
    for s in stamps:
        if any(a <= s < b for a, b in held):
            out.append([])
        else:
            out[-1].append(s)
    return [run for run in out if run]


def count(p):
    """How many frames 0x200 a unit's pcap file holds so far."""
    return len(frames(p.path("can.pcap"))) if os.path.exists(p.path("can.pcap")) else 0


def wait_levels(p, since, ticks=60000):
    """Waits until frames after the first `since` show both levels of B's square, within `ticks` of
    the unit's own clock (units that start and connect on a loaded host take their time)."""
    p.wait_until(lambda: count(p) > since and {level(v) for _, (v, _) in frames(p.path("can.pcap"))[since:] if v} ==
                 {1, 4}, ticks, f"two levels after frame {since}")


# On lo the device network runs; an address on no interface leaves the unit without it, and its
# own values still arrive.
@pytest.mark.parametrize("ipv4", ["127.0.0.1", "192.0.2.77"])
def test_own_values_every_raster_in_stepped_time(unit, ipv4):
    settings = (f"[unit]\nipv4 = {ipv4}\npid = 0x25\n[drives]\ncfg = .\n[can]\npcap = can.pcap\n"
                "[platform]\ntime = stepped\n")
    p = unit(["0"], settings, {"CAN.xml": can_xml(0)}, dataset=can_dataset())
    volts = [0.5 * i for i in range(1, 9)]
    with p.control() as ctl:
        # The list's request and reply cross the unit's own socket, at the host's pace: stepped no
        # faster than real time until its values arrive, within 5 s of the unit's time.
        ctl.cmd("adc 3 0.25")
        for _ in range(500):
            if count(p) and 0.25 in [round(v, 2) for _, (v, _) in frames(p.path("can.pcap"))]:
                break
            ctl.step(10)
            time.sleep(0.01)
        for v in volts:  # ana04 is sampled every 100 ms
            ctl.cmd(f"adc 3 {v}")
            ctl.step(100)
    assert p.stop() == 0
    values = [round(v, 2) for _, (v, _) in frames(p.path("can.pcap"))]
    assert 0.25 in values and not any(values[:values.index(0.25)]), values  # nothing before the list ran
    # every frame of the 10 ms raster carries the newest sample: each voltage for 10 frames
    first = values.index(volts[0])
    assert values[first:first + 70] == [v for v in volts[:7] for _ in range(10)], values


def test_two_units_online_offline_resume_and_a_queue_mode_list(unit, net):
    """Unit A shows B's square and its own constant; B stops and starts again, then restarts at
    once; meanwhile a scripted peer reads a queue-mode list of B on the DK channel."""
    image = can_dataset()
    ha, hb, hp = net.host(1), net.host(2), net.host(9)
    wire = net.capture(120)
    # A's diagnostics watch B and A itself: its gateway's count of time-outs of each one's lists
    watching = patched_dataset((0x10800, b"\x05"), (0x10710, bytes([0x22, 0x21])))
    a = unit(["0"], f"[unit]\npid = 0x21\nipv4 = {ha.address}\n[drives]\ncfg = .\n[can]\npcap = can.pcap\n"
             "[board]\nanalog_stimulus = 3 const 2.5\n", {"CAN.xml": can_xml(0x22, 0)}, watching, ha.prefix(), "a")
    settings_b = f"[unit]\npid = 0x22\nipv4 = {hb.address}\n[board]\nanalog_stimulus = {SQUARE}\n"
    b = unit(["0"], settings_b, dataset=image, prefix=hb.prefix(), name="b")
    # The log's lines of A's view of B are guarded against floods, which a loaded host can bring
    # about: what A does is read in its CAN output and its diagnostics instead.
    wait_levels(a, 0)
    queued = scripted_peer(hp, "queue", "3/300", hp.address, "0x29", 516, f"{hb.address}:0x22")
    # B adds up the entries its full FIFOs lost once a second and publishes the sum every 100 ms
    b.wait_ticks(2000)
    lost, = signals(hb, 0x22, "msdcom_dataloss_offline")
    # Frames are counted at each step, so that what follows one was sent after it. A loaded host may
    # hand A what B sent long after B sent it: what A shows is judged by what A's own diagnostics
    # tell it did.
    stopped = count(a)
    assert b.end() == 0
    first_b = list(b.out)
    wait_signal(ha, 0x21, "msdcom_gw_pid_state_1", lambda state: state == 2)  # A calls B offline
    offline = count(a)
    while count(a) < offline + 3:  # and goes on sending
        time.sleep(0.05)
    restarted = count(a)
    b = unit(["0"], settings_b, dataset=image, prefix=hb.prefix(), name="b")
    wait_signal(ha, 0x21, "msdcom_gw_pid_state_run_1", lambda replies: replies >= 2)  # B's reply started the list
    resumed = count(a)
    wait_levels(a, resumed)
    # B killed and at once back, sooner than A can call it offline: A sees the restart
    killed = count(a)
    b.kill()
    b = unit(["0"], settings_b, dataset=image, prefix=hb.prefix(), name="b")
    wait_signal(ha, 0x21, "msdcom_gw_pid_state_run_1", lambda replies: replies >= 3)
    again = count(a)
    wait_levels(a, again)
    # A's counts of time-outs, requests and replies, once published for every frame so far
    shown = frames(a.path("can.pcap"))
    a.wait_ticks(500)
    timeouts, own_timeouts, requests, replies = signals(ha, 0x21, "msdcom_gw_noDataCnt_1", "msdcom_gw_noDataCnt_2",
                                                        "msdcom_gw_pid_state_req_1", "msdcom_gw_pid_state_run_1")
    assert end(a, b) == [0, 0]
    seen = wire()

    # Every frame of A's 10 ms raster, those of a raster catching up in real time too, carries B's
    # square and A's own constant; a row is 0 only while its list has timed out, which a host too
    # loaded to keep the rasters on time brings about: every run of zeros follows a time-out that
    # A's gateway counted.
    first = next(i for i, (_, (v, _)) in enumerate(shown) if v)
    theirs = [v for _, (v, _) in shown[first:killed]]
    owns = [own for _, (_, own) in shown[first:killed]]
    assert {level(v) for v in theirs} <= {0, 1, 4}, theirs
    assert all(abs(own - 2.5) < 0.01 or own == 0 for own in owns), owns
    assert zero_runs(theirs) <= timeouts and zero_runs(owns) <= own_timeouts, (timeouts, own_timeouts, theirs, owns)
    assert {level(v) for _, (v, _) in shown[first:stopped] if v} == {1, 4}
    # B gone: once A called B offline its row carries nothing until B is back (the frame of the
    # raster call that called it may still show what that call read); back, the list is requested
    # again and B's values return, as after the restart
    assert not any(v for _, (v, _) in shown[offline + 1:restarted]), shown[offline:restarted]
    assert {level(v) for _, (v, _) in shown[resumed:killed] if v} == {1, 4}
    assert {level(v) for _, (v, _) in shown[again:] if v} == {1, 4}
    # each of B's three runs was asked for the list and started it
    assert requests >= 3 and replies >= 3, (requests, replies)

    # The queue-mode list: one ana04 of 4 bytes after the stamp, an entry for every 10 ms; none lost
    # but those B counted lost to its full FIFO and those of the samples it reported skipping
    magic, slots, size, kind, raster = struct.unpack_from("!IHHHH", bytes.fromhex(queued["reply"][0]))
    assert magic and (slots, size, kind, raster) == (64, 8, 1, 3)
    stamps = queued["stamps"]
    assert len(stamps) >= 300 and stamps == sorted(stamps), stamps
    skips, held = skipped(first_b)
    for run in stretches(stamps, held):
        allowed = sum(n for at, n in skips if run[0] < at <= run[-1] + 100)
        assert len(run) < 20 or missing(run) <= lost + allowed + 0.5, (lost, skips, held, stamps)

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


def test_a_queue_mode_list_in_stepped_time_carries_every_entry(unit, net):
    """A scripted peer reads a queue-mode list of a unit in stepped time: the unit's time passes
    only as it is stepped, so that however slowly the host lets the peer read, every 10 ms of it
    make one entry, stamped 10 ms after the one before."""
    hb, hp = net.host(2), net.host(9)
    b = unit(["0"], f"[unit]\npid = 0x22\nipv4 = {hb.address}\n[board]\nanalog_stimulus = {SQUARE}\n" + STEPPED,
             prefix=hb.prefix(), name="b")
    b.wait_started()
    with b.control() as ctl:
        # No faster than real time: the peer's presence, every 200 ms of the host's time, must come
        # within 1.5 s of the unit's.
        def step():
            ctl.step(1)
            time.sleep(0.001)

        queued = scripted_peer(hp, "queue", "3/200", hp.address, "0x29", 516, f"{hb.address}:0x22", meanwhile=step)
    assert b.stop() == 0
    stamps = queued["stamps"]
    assert len(stamps) >= 200 and {b - a for a, b in zip(stamps, stamps[1:])} == {100}, stamps


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
