# A small XCP master on UDP (ASAM XCP 1.x on Ethernet), standard library only.
#
# Every packet travels behind a 4-byte little-endian header: LEN of the packet, then CTR. The
# slave answers a command with 0xFF and data, or 0xFE and an error code; it sends events as
# 0xFD and DAQ data (DTOs) with the ODT number first.
import socket
import struct

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

    def close(self):
        self.sock.close()

    def send(self, packet):
        self.sock.sendto(struct.pack("<HH", len(packet), self.ctr) + bytes(packet), self.slave)
        self.ctr = (self.ctr + 1) & 0xFFFF

    def datagram(self, timeout=None):
        if timeout is not None:
            self.sock.settimeout(timeout)
        data, _ = self.sock.recvfrom(65536)
        return data

    def response(self):
        # The next response or event frame (CTR, packet); DTOs on the way are kept.
        while True:
            for ctr, packet in frames(self.datagram()):
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
