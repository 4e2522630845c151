"""A small XCP master on UDP (ASAM XCP 1.x on Ethernet), standard library only.

Every packet travels behind a 4-byte little-endian header: LEN of the packet, then CTR. The
slave answers a command with 0xFF and data, or 0xFE and an error code; it sends events as
0xFD and DAQ data (DTOs) with the ODT number first.
"""
import socket
import struct

ERRORS = {
    "CMD_SYNCH": 0x00, "CMD_BUSY": 0x10, "CMD_UNKNOWN": 0x20, "CMD_SYNTAX": 0x21,
    "OUT_OF_RANGE": 0x22, "WRITE_PROTECTED": 0x23, "ACCESS_DENIED": 0x24, "ACCESS_LOCKED": 0x25,
    "PAGE_NOT_VALID": 0x26, "MODE_NOT_VALID": 0x27, "SEGMENT_NOT_VALID": 0x28, "SEQUENCE": 0x29,
    "MEMORY_OVERFLOW": 0x30, "GENERIC": 0x31,
}


class XcpError(Exception):
    def __init__(self, code):
        super().__init__("XCP error 0x%02X" % code)
        self.code = code


def frames(datagram):
    """(CTR, packet) of every frame in one datagram."""
    out, i = [], 0
    while i + 4 <= len(datagram):
        length, ctr = struct.unpack_from("<HH", datagram, i)
        out.append((ctr, datagram[i + 4:i + 4 + length]))
        i += 4 + length
    return out


class Master:
    def __init__(self, port, host="127.0.0.1", source="127.0.0.1", timeout=5.0):
        self.slave = (host, port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((source, 0))
        self.sock.settimeout(timeout)
        self.ctr = 0
        self.dtos = []  # (ctr, packet) of DTOs seen while waiting for responses

    def close(self):
        self.sock.close()

    def send_raw(self, datagram):
        self.sock.sendto(datagram, self.slave)

    def send(self, packet):
        self.send_raw(struct.pack("<HH", len(packet), self.ctr) + bytes(packet))
        self.ctr = (self.ctr + 1) & 0xFFFF

    def datagram(self, timeout=None):
        if timeout is not None:
            self.sock.settimeout(timeout)
        data, _ = self.sock.recvfrom(65536)
        return data

    def response(self):
        """The next response or event frame (CTR, packet); DTOs on the way are kept."""
        while True:
            for ctr, packet in frames(self.datagram()):
                if packet[0] in (0xFF, 0xFE, 0xFD):
                    return ctr, packet
                self.dtos.append((ctr, packet))

    def cmd(self, *packet):
        """Sends a command; the positive response's bytes after 0xFF, or raises XcpError."""
        self.send(packet)
        _, r = self.response()
        if r[0] == 0xFE:
            raise XcpError(r[1])
        return r[1:]

    def silent(self, *packet, wait=0.3):
        """Sends a command that must stay unanswered."""
        self.send(packet)
        try:
            data = self.datagram(wait)
        except socket.timeout:
            return True
        finally:
            self.sock.settimeout(5.0)
        raise AssertionError("answered: %r" % data)

    # ---- standard commands -------------------------------------------------------------
    def connect(self, mode=0):
        return self.cmd(0xFF, mode)

    def disconnect(self):
        return self.cmd(0xFE)

    def set_mta(self, address, ext=0):
        return self.cmd(0xF6, 0, 0, ext, *struct.pack("<I", address))

    def upload(self, n):
        return self.cmd(0xF5, n)

    def short_upload(self, address, n, ext=0):
        return self.cmd(0xF4, n, 0, ext, *struct.pack("<I", address))

    def download(self, data):
        return self.cmd(0xF0, len(data), *data)

    def short_download(self, address, data, ext=0):
        return self.cmd(0xED, len(data), 0, ext, *struct.pack("<I", address), *data)

    def build_checksum(self, size):
        r = self.cmd(0xF3, 0, 0, 0, *struct.pack("<I", size))
        return r[0], struct.unpack_from("<I", r, 3)[0]

    def set_cal_page(self, mode, segment, page):
        return self.cmd(0xEB, mode, segment, page)

    def get_cal_page(self, mode, segment=0):
        return self.cmd(0xEA, mode, segment)[2]

    def set_segment_mode(self, mode, segment=0):
        return self.cmd(0xE6, mode, segment)

    def user_cmd(self, service):
        return self.cmd(0xF1, 0x20, *struct.pack("<H", service))

    # ---- dynamic DAQ ---------------------------------------------------------------------
    def alloc(self, odts_per_list, entries):
        """FREE_DAQ, ALLOC_DAQ, ALLOC_ODT for each list, ALLOC_ODT_ENTRY for each ODT."""
        self.cmd(0xD6)
        self.cmd(0xD5, 0, *struct.pack("<H", len(odts_per_list)))
        for daq, odts in enumerate(odts_per_list):
            self.cmd(0xD4, 0, *struct.pack("<H", daq), odts)
        for daq, odts in enumerate(odts_per_list):
            for odt in range(odts):
                self.cmd(0xD3, 0, *struct.pack("<H", daq), odt, entries)

    def set_daq_ptr(self, daq, odt, entry):
        return self.cmd(0xE2, 0, *struct.pack("<H", daq), odt, entry)

    def write_daq(self, address, size, bit_offset=0xFF, ext=0):
        return self.cmd(0xE1, bit_offset, size, ext, *struct.pack("<I", address))

    def set_daq_list_mode(self, daq, event, prescaler=1, mode=0x10, priority=0):
        return self.cmd(0xE0, mode, *struct.pack("<HH", daq, event), prescaler, priority)

    def start_stop_daq_list(self, mode, daq):
        return self.cmd(0xDE, mode, *struct.pack("<H", daq))

    def start_stop_synch(self, mode):
        return self.cmd(0xDD, mode)
