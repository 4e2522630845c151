# The XCP slave in the unit against a master of our own written from the ASAM XCP description
# (xcpmaster.py): what needs the whole unit (device data, the clock, a store and the restart, DAQ
# on the rasters' events). The unit runs in stepped time, the master talks UDP on loopback.
import socket
import struct

import pytest
import vynctl

from xcpmaster import Master, frames

PID = 0x25
REF, WORK = PID << 24, (PID << 24) | 0x20000


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(unit, port, settings=True):
    # A unit whose slave listens on `port`; settings False: the directory's as they are.
    text = "[unit]\nipv4 = 127.0.0.1\npid = %d\nxcp_port = %d\n[platform]\ntime = stepped\n" % (PID, port)
    p = unit(["0"], text if settings else None, {"devdata.ini": 'serial_number = "0123 45"\n'}, settings)
    p.wait_for("Set Task r_xcpEthDTO0 to Core#1")
    return p


def test_memory_diagnostics_and_a_store_kept_across_the_restart(unit):
    port = free_port()
    p, m = start(unit, port), Master(port)
    m.send([0xFF, 0])
    assert m.response() == (1, bytes.fromhex("FF0580FFFF000101"))
    m.short_download(WORK | 0x100, bytes(range(1, 9)))
    m.set_mta(WORK | 0x100 - 250)
    assert m.upload(0xFE)[250:] == bytes(range(1, 5))  # 254 bytes, the most an answer holds

    # Diagnostic services: the EPK and the unit's serial number of its device data; the clock set;
    # the version of the service interface.
    epk = m.cmd(0xFA, 1)
    epk = epk[7:7 + struct.unpack_from("<I", epk, 3)[0]].decode()
    assert m.upload(m.user_cmd(0x8008)[0]).decode() == epk + "\nKVX2_0123"
    assert m.user_cmd(0x808C) == b"\x04\x00"
    m.download(b"\x60\x00\x00\x00")
    m.user_cmd(0x8020)
    p.wait_for("DIAG_SERVICE_SET_DATE_TIME: RTC set to 14.01.2021 08:25:36.000")
    assert m.user_cmd(0x8000) == b"\x04\x00" and m.upload(4) == b"1.8\x00"

    # A store (in freeze mode) ends the unit a second later: the tool hears of it, the slave's
    # socket is closed, and the unit starts again with the working page as its dataset.
    m.cmd(0xE6, 1, 0)  # SET_SEGMENT_MODE
    m.cmd(0xF9, 1, 0x34, 0x12)
    assert m.cmd(0xFD)[3:5] == b"\x34\x12"
    m.send([0xFF, 0])  # no reconnect until the restart
    with pytest.raises(socket.timeout):
        m.datagram(0.3)
    m.sock.settimeout(5.0)
    p.wait_for("xcpStoreCalReqCallback called, result is 0x00000000")
    with p.control() as ctl:
        for _ in range(150):
            try:
                ctl.step(10)
            except vynctl.UnitGone:
                break
    assert p.finish() == 0
    assert m.response()[1] == b"\xFD\x07RESET"
    assert any("xcpSocket shutdown - closing 1 pending sockets" in line for line in p.out)
    p = start(unit, port, settings=False)
    m.cmd(0xFF, 0)  # CONNECT
    assert m.short_upload(REF | 0x100, 8) == bytes(range(1, 9))
    assert p.stop() == 0
    m.close()


def test_daq_on_the_1_ms_and_10_ms_events_reaches_a_stock_master_whole(unit):
    """List 0 alone first: on the 1 ms event its 100-byte DTOs share datagrams of 208 bytes two by
    two, across events, and the stop sends what waits ahead of its answer; they carry the working
    page's bytes and a time stamp a millisecond apart; bound anew to the 10 ms event it runs there
    only. Then
    lists on the 1 ms and the 10 ms event for two stepped seconds: the master reads every datagram
    into 512 bytes and refuses one over 255 bytes that is not a single frame; every counter comes
    once and in order, every event's DTOs arrive with the event's time stamp."""
    port = free_port()
    p, m = start(unit, port), Master(port)
    m.cmd(0xFF, 0)
    m.short_download(WORK | 0x100, bytes(range(100, 200)))
    # Value bytes per ODT: three DTOs of 100 bytes each millisecond; frames of 255, 8, 247, 8
    # and 248 bytes every 10 ms.
    lists = ((2, (93, 97, 97)), (1, (244, 1, 240, 1, 241)))
    m.cmd(0xD6)
    m.cmd(0xD5, 0, len(lists), 0)
    for daq, (_, sizes) in enumerate(lists):
        m.cmd(0xD4, 0, daq, 0, len(sizes))
    for daq, (_, sizes) in enumerate(lists):
        for odt in range(len(sizes)):
            m.cmd(0xD3, 0, daq, 0, odt, 1)
    for daq, (event, sizes) in enumerate(lists):
        for odt, size in enumerate(sizes):
            m.cmd(0xE2, 0, daq, 0, odt, 0)
            m.cmd(0xE1, 0xFF, size, 0, *struct.pack("<I", WORK | 0x100))
        m.cmd(0xE0, 0x10, daq, 0, event, 0, 1, 0)

    def stamp(dto):
        return struct.unpack_from("<I", dto, 3)[0]

    with p.control() as ctl:
        # Three events of list 0: nine frames of 104 bytes, two to a datagram, the last one alone
        # (with the stop, or with a 10 ms tick between the events, after which the pairs shift).
        assert m.cmd(0xDE, 2, 0, 0) == b"\x00"
        m.cmd(0xDD, 1)
        ctl.step(3)
        m.send([0xDD, 0])
        got = []
        while frames(d := m.datagram())[-1][1][0] < 0xFD:
            got.append(d)
        assert frames(d)[-1][1] == b"\xFF"
        assert sorted(len(d) for d in got) == [104] + [208] * 4
        dtos = [dto for d in got for _, dto in frames(d)]
        # ODT number, then list 0
        assert [dto[:3] for dto in dtos] == [bytes([odt, 0, 0]) for odt in (0, 1, 2) * 3]
        assert dtos[0][7:] == bytes(range(100, 193)) and dtos[1][3:] == dtos[2][3:] == bytes(range(100, 197))
        assert all(abs(stamp(b) - stamp(a) - 10) <= 1 for a, b in zip(dtos[::3], dtos[3::3]))
        # Bound anew to the 10 ms event it runs there only: two events in 20 ms, a stamp 10 ms apart.
        m.cmd(0xE0, 0x10, 0, 0, 1, 0, 1, 0)
        assert m.cmd(0xDE, 2, 0, 0) == b"\x00"
        m.cmd(0xDD, 1)
        ctl.step(20)
        before = len(m.dtos)
        m.cmd(0xDD, 0)
        dtos = [dto for _, dto in m.dtos[before:]]
        assert [dto[0] for dto in dtos] == [0, 1, 2] * 2
        assert abs(stamp(dtos[3]) - stamp(dtos[0]) - 100) <= 1

        # An event drives one list: list 1 left the 10 ms event to list 0, both are bound again.
        for daq, (event, _) in enumerate(lists):
            m.cmd(0xE0, 0x10, daq, 0, event, 0, 1, 0)
            assert m.cmd(0xDE, 2, daq, 0) == b"\x00"
        first, seen = len(m.ctrs), len(m.dtos)
        m.cmd(0xDD, 1)
        for _ in range(200):
            ctl.step(10)
            m.cmd(0xFD)  # the answer after the step's DTOs
    m.cmd(0xDD, 0)

    ctrs = m.ctrs[first - 1:]
    assert [(b - a) & 0xFFFF for a, b in zip(ctrs, ctrs[1:])] == [1] * (len(ctrs) - 1)
    for daq, (event, sizes) in enumerate(lists):
        dtos = [d for _, d in m.dtos[seen:] if struct.unpack_from("<H", d, 1)[0] == daq]
        assert [d[0] for d in dtos] == list(range(len(sizes))) * (len(dtos) // len(sizes))
        assert [len(d) for d in dtos[:len(sizes)]] == [7 + sizes[0]] + [3 + n for n in sizes[1:]]
        stamps = [stamp(d) for d in dtos if d[0] == 0]
        step = 10 if event == 2 else 100  # in 100 us
        assert len(stamps) >= 2000 // step * 9 // 10
        # the clock's 100 us counts round down now and then: each gap within one, none lost
        assert {(b - a) & 0xFFFFFFFF for a, b in zip(stamps, stamps[1:])} <= {step - 1, step, step + 1}
        assert abs((stamps[-1] - stamps[0]) - step * (len(stamps) - 1)) <= 1
    assert p.stop() == 0
    m.close()


def test_a_dto_of_a_slow_event_leaves_in_the_tick_that_made_it(unit):
    """12 bytes on the 100 ms event, alone for 250 stepped milliseconds (nothing else wakes the
    sender), then beside 4 bytes on the 10 ms event for 250 more, the master reading what has
    arrived after each millisecond: every DTO has arrived in the tick that made it (its time stamp
    that tick's, within the clock's rounding), none waits for the 10 ms raster's next tick. The
    stepped unit is held between steps: whatever the host's load, what left in a tick is there
    when the step returns."""
    port = free_port()
    p, m = start(unit, port), Master(port)
    m.cmd(0xFF, 0)
    m.cmd(0xD6)
    m.cmd(0xD5, 0, 2, 0)
    for daq in (0, 1):
        m.cmd(0xD4, 0, daq, 0, 1)
        m.cmd(0xD3, 0, daq, 0, 0, 1)
    for daq, (size, event) in enumerate(((12, 0), (4, 1))):
        m.cmd(0xE2, 0, daq, 0, 0, 0)
        m.cmd(0xE1, 0xFF, size, 0, *struct.pack("<I", WORK | 0x100))
        m.cmd(0xE0, 0x10, daq, 0, event, 0, 1, 0)
    late = {0: [], 1: []}  # per list: the unit's clock when each DTO had arrived less its stamp, 100 us
    with p.control() as ctl:
        for daq in (0, 1):
            assert m.cmd(0xDE, 2, daq, 0) == b"\x00"
            clock, tick = struct.unpack_from("<I", m.cmd(0xDC), 3)[0], ctl.ticks()
            m.cmd(0xDD, 1)
            m.sock.settimeout(0)
            for _ in range(250):
                now = clock + 10 * (ctl.step(1) - tick)
                while True:
                    try:
                        d = m.datagram()
                    except BlockingIOError:
                        break
                    for _, dto in frames(d):
                        late[dto[1]].append(now - struct.unpack_from("<I", dto, 3)[0])
            m.sock.settimeout(5)
        m.cmd(0xDD, 0)
    assert len(late[0]) >= 4 and len(late[1]) >= 24
    assert all(abs(t) <= 2 for t in late[0] + late[1]), late
    assert p.stop() == 0
    m.close()
