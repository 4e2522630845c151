"""Several units on one machine: each in a network namespace of its own, joined by veth pairs
to a bridge inside an anonymous parent namespace, so that nothing outside the test changes and
nothing needs a named teardown. Needs root (CI runs as root): without it the tests skip; as root a
namespace that cannot be made fails them."""
import os
import shutil
import select
import socket
import struct
import subprocess
import sys
import time

import pytest

NET = "192.0.2."  # documentation addresses (TEST-NET-1): no host of the world has them
TOOLS = ("unshare", "nsenter", "ip")
NOT_ROOT = "network namespaces with veth pairs need root"


class Unavailable(RuntimeError):
    """As root, a namespace cannot be made here."""


def _run(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def available():
    """'' when namespaces can be made here, the reason when not root; as root a missing tool raises
    Unavailable, so that a run as CI runs it cannot pass by skipping every namespace test."""
    if os.geteuid() != 0:
        return NOT_ROOT
    missing = [tool for tool in TOOLS if not shutil.which(tool)]
    if missing:
        raise Unavailable(f"{', '.join(missing)} not installed (scripts/setup installs it): no network namespace")
    return ""


class Holder:
    """A process that keeps one anonymous network namespace alive for as long as its owner runs: it
    waits for the end of a pipe that only this process writes, so it ends with stop(), or with this
    process however that ends, and with nothing else."""

    def __init__(self, parent=None):
        prefix = ["nsenter", "-t", str(parent.pid), "-n"] if parent else []
        self.proc = subprocess.Popen(prefix + ["unshare", "-n", "cat"], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL)
        self.pid = self.proc.pid
        try:
            self._started()
        except BaseException:
            self.stop()
            raise

    def _started(self):
        # unshare execs cat once the namespace is made
        own = os.readlink("/proc/self/ns/net")
        for _ in range(3000):
            try:
                ns = os.readlink(f"/proc/{self.pid}/ns/net")
                with open(f"/proc/{self.pid}/comm") as f:
                    comm = f.read().strip()
            except OSError:
                ns, comm = own, ""
            if ns != own and comm == "cat":
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.01)
        raise Unavailable("namespace holder did not start")

    def run(self, *cmd):
        _run("nsenter", "-t", str(self.pid), "-n", *cmd)

    def prefix(self):
        return ["nsenter", "-t", str(self.pid), "-n"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdin.close()


class Network:
    """The bridge and its hosts; `host(i)` gives host i the address 192.0.2.i."""

    def __init__(self):
        reason = available()
        if reason:
            pytest.skip(reason)
        self.hosts = []
        self.hub = Holder()
        try:
            self.hub.run("ip", "link", "add", "br0", "type", "bridge")
            self.hub.run("ip", "link", "set", "br0", "promisc", "on", "up")
        except BaseException:
            self.hub.stop()
            raise

    def host(self, i):
        h = Holder(self.hub)
        try:
            self.hub.run("ip", "link", "add", f"v{i}", "type", "veth", "peer", "name", "eth0", "netns", str(h.pid))
            self.hub.run("ip", "link", "set", f"v{i}", "master", "br0", "up")
            h.run("ip", "link", "set", "lo", "up")
            h.run("ip", "addr", "add", f"{NET}{i}/24", "dev", "eth0")
            h.run("ip", "link", "set", "eth0", "up")
        except BaseException:
            h.stop()
            raise
        h.address = f"{NET}{i}"
        self.hosts.append(h)
        return h

    def capture(self, seconds):
        """Starts a capture of every frame on the bridge and returns once it listens; the
        returned callable ends it (at the latest after `seconds`) and gives the frames."""
        out = subprocess.Popen(self.hub.prefix() + [sys.executable, __file__, "capture", "br0", str(seconds)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert out.stderr.read(1) == b"R", "the capture did not start"

        def frames():
            out.stdin.close()  # the end of the capture
            data = out.stdout.read()
            out.wait(timeout=30)
            result, at = [], 0
            while at + 4 <= len(data):
                (n,) = struct.unpack_from("!I", data, at)
                result.append(data[at + 4:at + 4 + n])
                at += 4 + n
            return result

        return frames

    def close(self):
        for h in self.hosts + [self.hub]:
            h.stop()


def ipv4_frames(frames):
    """(source, destination, protocol, tos, payload-with-ports) of every IPv4 frame."""
    for f in frames:
        if len(f) < 34 or f[12:14] != b"\x08\x00":
            continue
        ip = f[14:]
        ihl = (ip[0] & 15) * 4
        yield (socket.inet_ntoa(ip[12:16]), socket.inet_ntoa(ip[16:20]), ip[9], ip[1], ip[ihl:])


def udp(frames):
    """(source, destination, destination port, payload) of every UDP datagram."""
    for src, dst, proto, _, rest in ipv4_frames(frames):
        if proto == 17 and len(rest) >= 8:
            sport, dport, length = struct.unpack_from("!HHH", rest)
            yield src, dst, dport, rest[8:length]


def tcp(frames):
    """(source, destination, source port, destination port, tos, payload) of every TCP segment."""
    for src, dst, proto, tos, rest in ipv4_frames(frames):
        if proto == 6 and len(rest) >= 20:
            sport, dport = struct.unpack_from("!HH", rest)
            yield src, dst, sport, dport, tos, rest[(rest[12] >> 4) * 4:]


def tcp_segments(frames):
    """(source, destination, source port, destination port, sequence number, payload) of every TCP
    segment."""
    for src, dst, proto, _, rest in ipv4_frames(frames):
        if proto == 6 and len(rest) >= 20:
            sport, dport, seq = struct.unpack_from("!HHI", rest)
            yield src, dst, sport, dport, seq, rest[(rest[12] >> 4) * 4:]


def _capture(ifname, seconds):
    s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))  # ETH_P_ALL
    s.bind((ifname, 0))
    # room for the frames of a few seconds while a loaded host keeps this reader waiting
    s.setsockopt(socket.SOL_SOCKET, 33, 64 << 20)  # SO_RCVBUFFORCE (root)
    s.settimeout(0.2)
    sys.stderr.buffer.write(b"R")
    sys.stderr.flush()
    end = time.monotonic() + seconds
    out = sys.stdout.buffer
    while time.monotonic() < end and not select.select([sys.stdin], [], [], 0)[0]:
        try:
            frame, addr = s.recvfrom(65536)
        except socket.timeout:
            continue
        if addr[2] == socket.PACKET_OUTGOING:
            continue  # a bridge sees each frame coming in and going out
        out.write(struct.pack("!I", len(frame)) + frame)
    out.flush()


if __name__ == "__main__" and sys.argv[1] == "capture":
    _capture(sys.argv[2], float(sys.argv[3]))
