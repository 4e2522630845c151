"""The XCP slave against a master of our own written from the ASAM XCP description
(xcpmaster.py): the unit runs in stepped time, the master talks UDP on loopback."""
import socket
import struct

import crcmod.predefined
import pytest
import vynctl

from xcpmaster import ERRORS, Master, XcpError, frames

PID = 0x25
REF, WORK = PID << 24, (PID << 24) | 0x20000
crc_ccitt_false = crcmod.predefined.mkCrcFun("crc-ccitt-false")


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(unit, port, settings=True):
    """A unit whose slave listens on `port`; settings False: the directory's as they are."""
    text = "[unit]\nipv4 = 127.0.0.1\npid = %d\nxcp_port = %d\n[platform]\ntime = stepped\n" % (PID, port)
    p = unit(["0"], text if settings else None, {"devdata.ini": 'serial_number = "0123 45"\n'}, settings)
    p.wait_for("Set Task r_xcpEthDTO0 to Core#1")
    return p


@pytest.fixture
def tool(unit):
    port = free_port()
    p = start(unit, port)
    m = Master(port)
    yield p, m
    m.close()


def test_connect_memory_pages_checksum_diagnostics_and_shutdown(tool):
    p, m = tool
    m.send([0xFF, 0])
    assert m.response() == (1, bytes.fromhex("FF0580FFFF000101"))
    # Reference page active: its window is write-protected; the working page is written directly.
    with pytest.raises(XcpError) as e:
        m.short_download(REF | 0x100, b"\x01")
    assert e.value.code == ERRORS["ACCESS_DENIED"]
    m.short_download(WORK | 0x100, bytes(range(1, 9)))
    m.set_mta(0x0A020104)  # PID 10 is heard as well as the own
    m.download(b"\xAA\xBB")
    assert m.short_upload(WORK | 0x100, 8) == bytes([1, 2, 3, 4, 0xAA, 0xBB, 7, 8])
    # The working page for ECU access: the reference window reaches it.
    m.set_cal_page(0x01, 0, 1)
    assert (m.get_cal_page(1), m.get_cal_page(2)) == (1, 0)
    assert m.short_upload(REF | 0x100, 4) == bytes([1, 2, 3, 4])
    m.set_cal_page(0x83, 0, 0)
    # The checksum against an independent CRC over the same bytes read in 254-byte uploads.
    m.set_mta(WORK)
    data = b"".join(m.upload(0xFE) for _ in range(8))
    assert len(data) == 8 * 254
    m.set_mta(WORK)
    assert m.build_checksum(len(data)) == (0x08, crc_ccitt_false(data))
    # COPY_CAL_PAGE makes the working page the reference page again.
    m.cmd(0xE4, 0, 0, 0, 1)
    assert m.short_upload(WORK | 0x100, 4) == m.short_upload(REF | 0x100, 4)

    # Diagnostic services: prepared in the upload buffer, read at the MTA they leave.
    with pytest.raises(XcpError) as e:
        m.user_cmd(0x8020)  # nothing pending
    assert e.value.code == ERRORS["CMD_SYNTAX"]
    assert m.user_cmd(0x8001) == b"\x05\x00" and m.upload(5) == b"KVX2\x00"
    assert m.user_cmd(0x8000) == b"\x04\x00" and m.upload(4) == b"1.8\x00"
    epk = m.cmd(0xFA, 1)
    length = struct.unpack_from("<I", epk, 3)[0]
    epk = epk[7:7 + length].decode()
    n = m.user_cmd(0x8008)[0]
    assert m.upload(n).decode() == epk + "\nKVX2_0123"
    # the buffer's last byte is reachable with the PID byte, one beyond is not
    assert m.short_upload(REF | 0x600000 + 1023, 1) == b"\x00"
    with pytest.raises(XcpError):
        m.short_upload(REF | 0x600000 + 1023, 2)
    assert m.user_cmd(0x808C) == b"\x04\x00"
    m.download(b"\x60\x00\x00\x00")
    m.user_cmd(0x8020)
    p.wait_for("DIAG_SERVICE_SET_DATE_TIME: RTC set to 14.01.2021 08:25:36.000")

    # Shutdown tells the connected tool (event SESSION_TERMINATED) and the unit ends cleanly.
    assert p.stop() == 0
    assert m.response()[1] == b"\xFD\x07RESET"


BAD = [
    # unknown, and served commands too short for their parameters
    ([0xDB], "CMD_UNKNOWN"), ([0xC8], "CMD_UNKNOWN"), ([0xF6, 0, 0], "CMD_SYNTAX"),
    ([0xED, 4, 0, 0, 0, 1, 2, PID], "CMD_SYNTAX"), ([0xED, 4, 0, 0, 0, 1, 2, PID, 9], "CMD_SYNTAX"),
    ([0xF0, 3, 9], "CMD_SYNTAX"), ([0xE1, 0xFF, 4], "CMD_SYNTAX"),
    # addresses, sizes, pages, modes
    ([0xFA, 9], "OUT_OF_RANGE"), ([0xF6, 0, 0, 1, 0, 1, 0, PID], "OUT_OF_RANGE"),
    ([0xF6, 0, 0, 0, 0, 1, 0, 11], "OUT_OF_RANGE"), ([0xF5, 0xFF], "OUT_OF_RANGE"),
    ([0xF4, 0xFF, 0, 0, 0, 1, 0, PID], "OUT_OF_RANGE"), ([0xF4, 4, 0, 0, 0, 0, 0x70, PID], "ACCESS_LOCKED"),
    ([0xED, 0xF8, 0, 0, 0, 1, 2, PID], "OUT_OF_RANGE"), ([0xF0, 0xFE], "OUT_OF_RANGE"),
    ([0xF1, 0x21, 1, 0x80], "CMD_SYNTAX"), ([0xF1, 0x20, 0x34, 0x12], "CMD_SYNTAX"),
    ([0xEB, 1, 1, 0], "SEGMENT_NOT_VALID"), ([0xEB, 1, 0, 2], "PAGE_NOT_VALID"), ([0xEA, 3, 0], "MODE_NOT_VALID"),
    ([0xE8, 2, 0, 0], "OUT_OF_RANGE"), ([0xE7, 0, 0, 2], "PAGE_NOT_VALID"),
    ([0xE4, 0, 1, 0, 0], "WRITE_PROTECTED"), ([0xE4, 1, 0, 0, 1], "SEGMENT_NOT_VALID"),
    ([0xE4, 0, 2, 0, 1], "PAGE_NOT_VALID"), ([0xF9, 2, 0, 0], "OUT_OF_RANGE"),
    ([0xF9, 1, 0, 0], "OUT_OF_RANGE"),  # no freeze mode set
    # DAQ
    ([0xD4, 0, 0, 0, 1], "SEQUENCE"), ([0xD5, 0, 5, 0], "OUT_OF_RANGE"), ([0xD8, 0, 4, 0], "OUT_OF_RANGE"),
    ([0xD7, 0, 4, 0], "OUT_OF_RANGE"), ([0xDD, 3], "OUT_OF_RANGE"), ([0xE1, 0xFF, 4, 0, 0, 0, 4, PID], "OUT_OF_RANGE"),
]


def test_bad_commands_answer_their_error_codes_and_bad_frames_none(tool):
    p, m = tool
    m.connect()
    for packet, error in BAD:
        with pytest.raises(XcpError) as e:
            m.cmd(*packet)
        assert e.value.code == ERRORS[error], (packet, error)
    # A block size that would wrap past the memory's end.
    m.set_mta(REF | 0x100)
    with pytest.raises(XcpError) as e:
        m.build_checksum(0xFFFFFF00)
    assert e.value.code == ERRORS["OUT_OF_RANGE"]
    # DAQ sequence, ranges and sizes.
    m.alloc([1], 2)
    for packet, error in [([0xD5, 0, 1, 0], "SEQUENCE"), ([0xDE, 3, 0, 0], "MODE_NOT_VALID"),
                          ([0xE2, 0, 0, 0, 0, 2], "OUT_OF_RANGE"), ([0xE1, 0, 4, 0, 0, 0, 4, PID], "OUT_OF_RANGE")]:
        with pytest.raises(XcpError) as e:
            m.cmd(*packet)
        assert e.value.code == ERRORS[error], packet
    # An entry written again gives back its bytes: 248 fits ODT 0 (7 header bytes) twice, 249 never.
    m.set_daq_ptr(0, 0, 0)
    m.write_daq(REF | 0x40000, 248)
    m.set_daq_ptr(0, 0, 0)
    m.write_daq(REF | 0x40000, 248)
    m.set_daq_ptr(0, 0, 0)
    with pytest.raises(XcpError) as e:
        m.write_daq(REF | 0x40000, 249)
    assert e.value.code == ERRORS["MEMORY_OVERFLOW"]
    # Writes past the allocated entries, and after FREE_DAQ, are refused.
    m.set_daq_ptr(0, 0, 0)
    m.write_daq(REF | 0x40000, 4)
    m.write_daq(REF | 0x40000, 4)
    for _ in range(2):
        with pytest.raises(XcpError) as e:
            m.write_daq(REF | 0x40000, 1)
        assert e.value.code == ERRORS["OUT_OF_RANGE"]
        m.cmd(0xD6)
    # ALLOC_ODT again after the entries: the old ones go (the exit's leak check would tell).
    m.alloc([2], 1)
    m.cmd(0xD4, 0, 0, 0, 1)

    # Frames whose LEN does not fit what arrived are dropped; a longer datagram is cut to its
    # first packet.
    m.send_raw(struct.pack("<HH", 0, 0))
    m.send_raw(struct.pack("<HH", 2, 0) + b"\xFD")
    with pytest.raises(socket.timeout):
        m.datagram(0.3)
    m.sock.settimeout(5.0)
    m.send_raw(struct.pack("<HH", 1, 0) + b"\xFD" + bytes(295))
    assert m.response()[1][0] == 0xFF
    assert p.stop() == 0


def test_only_the_connected_tool_is_heard_until_another_connects(tool):
    p, m = tool
    m.connect()
    other = Master(m.slave[1], source="127.0.0.2")
    try:
        other.silent(0xFD)
        other.silent(0xFE)  # no DISCONNECT of someone else's session
        assert m.cmd(0xFD)[0] == 0
        assert other.connect()[0] == 0x05  # a CONNECT takes the session over
        m.silent(0xFD)
        assert other.cmd(0xFD)[0] == 0
    finally:
        other.close()
    assert p.stop() == 0


def daq_setup(m, event, sizes=(93, 97)):
    """List 0: one entry per ODT on the working page (a 100-byte DTO each with the defaults)."""
    m.alloc([len(sizes)], 1)
    for odt, size in enumerate(sizes):
        m.set_daq_ptr(0, odt, 0)
        m.write_daq(WORK | 0x100, size)
    m.set_daq_list_mode(0, event)
    m.start_stop_daq_list(2, 0)
    m.start_stop_synch(1)


def test_daq_packs_dtos_stamps_them_and_follows_its_event(tool):
    p, m = tool
    m.connect()
    m.short_download(WORK | 0x100, bytes(range(100, 200)))
    daq_setup(m, 2)
    with p.control() as ctl:
        ctl.step(3)
        # three 1 ms events, six DTOs of 100 bytes: two datagrams of two, two still packed
        got = [m.datagram() for _ in range(2)]
        assert [len(d) for d in got] == [208, 208]
        dtos = [f for d in got for f in frames(d)]
        assert [ctr for ctr, _ in dtos] == [1, 2, 3, 4]
        assert [pkt[:3] for _, pkt in dtos] == [b"\x00\x00\x00", b"\x01\x00\x00"] * 2
        assert dtos[0][1][7:] == bytes(range(100, 193)) and dtos[1][1][3:] == bytes(range(100, 197))
        stamps = [struct.unpack_from("<I", pkt, 3)[0] for _, pkt in dtos[::2]]
        assert stamps[1] - stamps[0] == 10  # 100 us units, one event per millisecond
        # Stopping flushes the packed ones at once (ahead of its response).
        m.start_stop_synch(0)
        assert [ctr for ctr, _ in m.dtos] == [5, 6]
        # Bound anew to the 10 ms event it runs there only: two events in 20 ms.
        m.set_daq_list_mode(0, 1)
        m.start_stop_daq_list(2, 0)
        m.start_stop_synch(1)
        ctl.step(20)
        m.start_stop_synch(0)
        assert len(m.dtos) == 2 + 4
        with pytest.raises(socket.timeout):
            m.datagram(0.3)
    assert p.stop() == 0


def test_master_present_times_out_after_four_seconds_of_commands(tool):
    p, m = tool
    m.connect()
    m.cmd(0xFD)
    with p.control() as ctl:
        ctl.step(2000)
        with pytest.raises(XcpError):
            m.cmd(0xDB)  # unknown commands do not count
        ctl.step(2000)
    p.wait_for("XCP: TIMEOUT on instance number 0")
    assert m.cmd(0xFD)[0] == 0  # without the force switch the session stays
    assert p.stop() == 0


def test_store_request_keeps_the_working_page_across_the_restart(unit):
    port = free_port()
    p = start(unit, port)
    m = Master(port)
    try:
        m.connect()
        m.short_download(WORK | 0x1000, b"\x5A\xA5\x01\x02")
        m.set_segment_mode(1)
        m.cmd(0xF9, 1, 0x34, 0x12)
        assert m.cmd(0xFD)[3:5] == b"\x34\x12"
        m.silent(0xFF, 0)  # no reconnect until the restart
        p.wait_for("xcpStoreCalReqCallback called, result is 0x00000000")
        with p.control() as ctl:  # a second later the unit asks for its orderly end
            for _ in range(150):
                try:
                    ctl.step(10)
                except vynctl.UnitGone:
                    break
        assert p.finish() == 0
        assert m.response()[1] == b"\xFD\x07RESET"
        p = start(unit, port, settings=False)  # the stored dataset stays
        m.connect()
        assert m.short_upload(REF | 0x1000, 4) == b"\x5A\xA5\x01\x02"
        assert p.stop() == 0
    finally:
        m.close()
