# A small XCP master on UDP (ASAM XCP 1.x on Ethernet), standard library only.
#
# Every packet travels behind a 4-byte little-endian header: LEN of the packet, then CTR. The
# slave answers a command with 0xFF and data, or 0xFE and an error code; it sends events as
# 0xFD and DAQ data (DTOs) with the ODT number first.
import socket
import struct

# A stock master reads each datagram into a buffer of this size. DTO frames share a datagram up
# to 255 bytes; a single frame (at most 4 + 255 bytes) travels alone.
READ_BUFFER = 512
SHARED_LIMIT = 255
MAX_PACKET = 255


def frames(datagram):
    # (CTR, packet) of every frame in one datagram
    out, i = [], 0
    while i + 4 <= len(datagram):
        length, ctr = struct.unpack_from("<HH", datagram, i)
        out.append((ctr, datagram[i + 4:i + 4 + length]))
        i += 4 + length
    return out


class Master:
    def __init__(self, port, host="127.0.0.1", timeout=5.0):
        self.slave = (host, port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(timeout)
        self.ctr = 0
        self.dtos = []  # (CTR, packet) of DTOs seen while waiting for responses
        self.ctrs = []  # the CTR of every frame received, in order

    def close(self):
        self.sock.close()

    def send(self, packet):
        self.sock.sendto(struct.pack("<HH", len(packet), self.ctr) + bytes(packet), self.slave)
        self.ctr = (self.ctr + 1) & 0xFFFF

    def datagram(self, timeout=None):
        # The next datagram, read as a stock master reads it; one it could not frame fails.
        if timeout is not None:
            self.sock.settimeout(timeout)
        data, _, flags, _ = self.sock.recvmsg(READ_BUFFER)
        assert not flags & socket.MSG_TRUNC, "a datagram longer than %d bytes" % READ_BUFFER
        at, count = 0, 0
        while at < len(data):
            length = struct.unpack_from("<H", data, at)[0] if at + 4 <= len(data) else 0
            assert 0 < length <= MAX_PACKET and at + 4 + length <= len(data), "bad framing: " + data.hex()
            at, count = at + 4 + length, count + 1
        assert len(data) <= SHARED_LIMIT or count == 1, "%d frames in %d bytes" % (count, len(data))
        return data

    def response(self):
        # The next response or event frame (CTR, packet); DTOs on the way are kept.
        while True:
            for ctr, packet in frames(self.datagram()):
                self.ctrs.append(ctr)
                if packet[0] in (0xFF, 0xFE, 0xFD):
                    return ctr, packet
                self.dtos.append((ctr, packet))

    def cmd(self, *packet):
        # Sends a command; the positive response's bytes after 0xFF (an error response fails).
        self.send(packet)
        _, r = self.response()
        assert r[0] != 0xFE, "XCP error 0x%02X" % r[1]
        return r[1:]

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

    def user_cmd(self, service):
        return self.cmd(0xF1, 0x20, *struct.pack("<H", service))
