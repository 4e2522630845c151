"""A scripted peer of the device network (protocol version 512 to 517) for its tests. Run inside
its own network namespace; prints one JSON object with what it saw.

usage: bc2peer.py ADDRESS PID VERSION[/OFFSET[/passive]] UNIT_ADDRESS:PID ...
       bc2peer.py queue SECONDS[/ENTRIES] ADDRESS PID VERSION UNIT_ADDRESS:PID (a queue-mode list by
                  name, read for SECONDS and on until ENTRIES records came, at most 40 s more)
       bc2peer.py paths ADDRESS PID VERSION UNIT_ADDRESS:PID (paths asked for, before and after an
                  offline spell)
       bc2peer.py lists FILE ADDRESS PID VERSION UNIT_ADDRESS:PID (lists by address, their words in
                  the JSON file: granted or refused, and the entries each sent)
       bc2peer.py stuck SECONDS ADDRESS PID VERSION UNIT_ADDRESS:PID (asks for echoes, reads nothing,
                  connects again once dropped)
       bc2peer.py ask SECONDS ADDRESS PID VERSION UNIT_ADDRESS:PID (asks for a list's state all along)

OFFSET is the peer's port offset (version 514 and up). A passive peer listens and takes the units'
connections (the units' addresses must then be the greater ones); else it connects to them.
"""
import json
import os
import select
import socket
import struct
import sys
import threading
import time

PRESENCE = ("239.239.239.200", 9850)
COMMANDS = ("239.239.239.201", 9870)


def header(length, src, dst, ctx1, ctx2, code):
    return struct.pack("!HHHHIIHH", 0, length, src, dst, ctx1, ctx2, code, 0)


def presence(address, pid, counter, heard, ci, dk, version, offset=0, period=1000):
    # 56 bytes stand for version 512
    packet = struct.pack("!4sIHHI8xQQQII", socket.inet_aton(address), 0, 0, pid, period, heard, ci, dk, 200, counter)
    return packet + struct.pack("!HH", version, offset) if version >= 513 else packet



def messages(s):
    """The command messages of a socket, (header fields, payload) each, until it closes or fails."""
    buf = b""
    while True:
        try:
            chunk = s.recv(65536)
        except OSError:
            return
        if not chunk:
            return
        buf += chunk
        while len(buf) >= 20:
            length = struct.unpack_from("!H", buf, 2)[0]
            if len(buf) < 20 + length:
                break
            yield struct.unpack_from("!HHHHIIHH", buf), buf[20:20 + length]
            buf = buf[20 + length:]


class Peer:
    def __init__(self, address, pid, version, units, offset=0, passive=False):
        self.address, self.pid, self.version = address, pid, version
        self.offset, self.passive = offset, passive
        self.units = units  # pid -> address
        self.counter = 0
        self.heard = {}  # pid -> the last heard set
        self.linked = {}  # pid -> the last set of command channels it holds
        self.rounds = {}  # pid -> the counter of its last presence packet: its own clock, 200 ms a round
        self.ci, self.dk = {}, {}
        self.messages = []  # (unit pid, header fields, payload)
        self.arrived = []  # when each message came: (time, the sender's presence rounds)
        self.closed = set()
        self.silent = False  # no presence packets: the units call it offline
        self.reading = True  # False: what comes on the command channels stays unread
        self.period = 1000  # the period its presence packets announce (they go every 200 ms)
        self.lock = threading.Lock()

    def presence(self):
        ci = (1 << self.pid) | sum(1 << p for p in self.ci)
        dk = (1 << self.pid) | sum(1 << p for p in self.dk)
        return presence(self.address, self.pid, self.counter, sum(1 << p for p in self.heard), ci, dk, self.version,
                        self.offset, self.period)

    def send_presence(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(self.address))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        while True:
            if not self.silent:
                self.counter += 1
                s.sendto(self.presence(), PRESENCE)
            time.sleep(0.2)

    def listen_presence(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", PRESENCE[1]))
        mreq = socket.inet_aton(PRESENCE[0]) + socket.inet_aton(self.address)
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
        while True:
            data = s.recv(1000)
            if len(data) == 60:  # the units send their packets whole
                pid = struct.unpack_from("!H", data, 10)[0]
                with self.lock:
                    self.heard[pid], self.linked[pid] = struct.unpack_from("!QQ", data, 24)
                    self.rounds[pid] = struct.unpack_from("!I", data, 52)[0]

    def connect(self, unit, channel):
        # Below version 517 a peer connects from its fixed port and the unit knows it by that;
        # from 517 on the unit knows it by the listen socket it connects to (offset / 100).
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if not self.reading:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)  # what is not read backs up the sooner
        if self.version < 517:
            s.bind((self.address, 9862 + self.offset + channel))
            s.connect((self.units[unit], 9860 + channel))
        else:
            s.connect((self.units[unit], 9860 + 20 * (self.offset // 100) + channel))
        self.keep(unit, channel, s)

    def keep(self, unit, channel, s):
        (self.dk if channel else self.ci)[unit] = s
        if channel == 0 and self.reading:
            threading.Thread(target=self.read_ci, args=(unit, s), daemon=True).start()

    def accept(self, count):
        """Takes `count` connections of the units on the CI and DK listen ports (units of offset 0)."""
        listeners = []
        for channel in (0, 1):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((self.address, 9860 + self.offset + channel))
            s.listen(8)
            listeners.append(s)
        by_address = {a: p for p, a in self.units.items()}
        end = time.monotonic() + 20
        while len(self.ci) + len(self.dk) < count and time.monotonic() < end:
            ready, _, _ = select.select(listeners, [], [], 1)
            for channel, s in enumerate(listeners):
                if s in ready:
                    conn, (address, _) = s.accept()
                    self.keep(by_address[address], channel, conn)

    def read_ci(self, unit, s):
        for fields, payload in messages(s):
            with self.lock:
                self.messages.append((unit, fields, payload))
                self.arrived.append((time.monotonic(), self.rounds.get(unit, 0)))
        with self.lock:
            self.closed.add(unit)

    def hears_me(self, unit):
        with self.lock:
            return self.heard.get(unit, 0) >> self.pid & 1

    def wait(self, cond, limit):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if cond():
                return True
            time.sleep(0.05)
        return False

    def replies(self, code):
        with self.lock:
            return [(u, f, p) for u, f, p in self.messages if f[6] == code]


def queue(peer, unit, seconds, entries=0):
    """Asks `unit` for ana04 by name in queue mode every 10 ms into FIFO magic 0x0A000001 and
    reads the records on the DK channel: their time stamps. Fifteen online lists of 23 values
    (the most a reply describes) every 1 ms fill the UDP frames sent to port 9852 (not read)."""
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind((peer.address, 9852))
    names, magic, wide = b"ana04\0", 0x0A000001, b"ana01\0" * 23
    lists = [(3, names, 1, 1, magic)] + [(0, wide, 23, 0, magic + i) for i in range(1, 16)]
    for raster, what, count, kind, fifo in lists:
        request = struct.pack("!HHHHHH", raster, 1, len(what), count, 64, kind) + what
        peer.ci[unit].sendall(header(len(request), peer.pid, unit, 0x51000003, fifo, 0x0510) + request)
    dk, buf, stamps, start = peer.dk[unit], b"", [], time.monotonic()
    dk.settimeout(0.1)
    while time.monotonic() < start + seconds or len(stamps) < entries and time.monotonic() < start + seconds + 40:
        try:
            buf += dk.recv(65536)
        except socket.timeout:
            continue
        while len(buf) >= 8:
            dest, n, to = struct.unpack_from("!HHI", buf)
            if len(buf) < 8 + n:
                break
            if (dest, to) == (peer.pid, magic):
                stamps.append(struct.unpack_from("!I", buf, 8)[0])
            buf = buf[8 + n:]
    return {"reply": [p.hex() for _, f, p in peer.replies(0x0511) if f[4] == magic], "stamps": stamps}


def paths(peer, unit):
    """Asks `unit` for paths towards this peer, of one 4-byte slot each, until it refuses one (at
    most 300); goes offline until the unit drops its channels, comes back (its counter going on)
    and asks for 5 more. The paths granted each time."""
    def ask(count):
        granted = 0
        for i in range(count):
            before = len(peer.replies(0x0107))
            request = struct.pack("!HHHHIHH4x", peer.pid, unit, 3, 4, i, 1, 0)
            peer.ci[unit].sendall(header(len(request), peer.pid, unit, 0x30000 + i, 0x40000, 0x0300) + request)
            if not peer.wait(lambda: len(peer.replies(0x0107)) > before, 10):
                break
            if not struct.unpack_from("!I", peer.replies(0x0107)[-1][2], 4)[0]:
                break
            granted += 1
        return granted

    out = {"first": ask(300)}
    peer.silent = True
    out["dropped"] = peer.wait(lambda: unit in peer.closed, 20)
    with peer.lock:
        peer.heard.clear()
        peer.closed.clear()
    peer.silent = False
    out["heard_again"] = peer.wait(lambda: peer.hears_me(unit), 20)
    peer.connect(unit, 0)
    peer.connect(unit, 1)
    out["again"] = ask(5)
    return out


def lists(peer, unit, requests):
    """Asks `unit` for every list of words (by address, 10 ms raster, online), 32 at a time: opens
    the paths it asks for, reads the entries it sends to port 9852 until each list it granted sent
    some (at most 60 s), then stops them. Per list: granted or not, and the entries seen."""
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind((peer.address, 9852))
    sink.settimeout(0.02)
    entries = {}  # per FIFO of ours

    def drain(seconds, fifos=None):
        end = time.monotonic() + seconds
        while time.monotonic() < end and (fifos is None or not all(entries.get(f) for f in fifos)):
            try:
                data, at = sink.recv(65536), 0
            except socket.timeout:
                continue
            while at + 8 <= len(data):
                _, n, to = struct.unpack_from("!HHI", data, at)
                entries[to] = entries.get(to, 0) + 1
                at += 8 + n

    out, opened = {"granted": [], "entries": []}, 0
    for first in range(0, len(requests), 32):
        batch, base = requests[first:first + 32], 0x50000000 + first
        for k, words in enumerate(batch):
            size, block = 0, 4
            for w in words:  # the entry's bytes: each value at the size of its group
                size = -w if w in (-1, -2, -4, -8) else size
                block += size if w not in (0, -1, -2, -4, -8) else 0
            body = struct.pack("!%dI" % len(words), *(w & 0xFFFFFFFF for w in words))
            request = struct.pack("!HHHHHH", 3, 1, block, len(body), 4, 0) + body
            peer.ci[unit].sendall(header(len(request), peer.pid, unit, base + k, 0, 0x0500) + request)
        answers = {}

        def answered():
            nonlocal opened
            for _, f, p in peer.replies(0x0300)[opened:]:  # a path towards us: our FIFO for it
                fifo = 0x0B000000 + opened
                reply = struct.pack("!IIIHH", struct.unpack_from("!I", p, 8)[0], fifo, fifo, peer.pid, 0)
                peer.ci[unit].sendall(header(len(reply), peer.pid, unit, f[4], f[5], 0x0107) + reply)
                opened += 1
            for _, f, p in peer.replies(0x0501):
                if base <= f[5] < base + len(batch):
                    answers[f[5] - base] = (f[4], struct.unpack_from("!I", p)[0])
            return len(answers) == len(batch)

        assert peer.wait(answered, 60), "unanswered lists: %d of %d" % (len(batch) - len(answers), len(batch))
        drain(60, [fifo for _, fifo in answers.values() if fifo])
        for k in range(len(batch)):
            magic, fifo = answers[k]
            out["granted"].append(fifo != 0)
            if fifo:
                peer.ci[unit].sendall(header(0, peer.pid, unit, 0x31, magic, 0x0502))
        drain(0.05)
        out["entries"] += [entries.get(answers[k][1], 0) if answers[k][1] else 0 for k in range(len(batch))]
    return out


def stuck(peer, unit, seconds):
    """Asks `unit` for 160 echoes of 480 bytes at once, more than the unit's socket holds, and reads
    none. Then it waits at most `seconds` for the unit to end the connection (a request that no
    longer goes tells it too) and to show it in its presence packets; then it connects again, reads
    all that comes, and asks for one more echo."""
    s = peer.ci[unit]
    s.settimeout(5)
    request = header(480, peer.pid, unit, 0x5717, 0, 0x0105) + bytes(480)
    watch = select.poll()
    watch.register(s, select.POLLPRI)  # a reset or hang-up is always told
    try:
        for _ in range(160):
            s.sendall(request)
        ended = bool(watch.poll(seconds * 1000))
    except (BrokenPipeError, ConnectionResetError):
        ended = True
    out = {"dropped": ended and peer.wait(lambda: not peer.linked.get(unit, 0) >> peer.pid & 1, 20)}
    if out["dropped"]:
        peer.reading = True
        peer.connect(unit, 0)
        peer.ci[unit].sendall(header(3, peer.pid, unit, 0x5718, 0x5719, 0x0105) + b"abc")
        out["answered_again"] = peer.wait(
            lambda: (unit, 0x5719, 0x5718, b"abc") in [(u, f[4], f[5], p) for u, f, p in peer.replies(0x0106)], 20)
    return out


def ask(peer, unit, seconds):
    """Asks `unit` for the state of a list every 50 ms for `seconds`, then waits up to 20 s for the
    last answers: how many questions went, how many were answered, and the longest wait, in seconds
    and in the unit's presence rounds."""
    asked, end = {}, time.monotonic() + seconds  # context: when asked, in seconds and the unit's rounds
    while time.monotonic() < end:
        context = 0x05050000 + len(asked)
        with peer.lock:
            asked[context] = (time.monotonic(), peer.rounds.get(unit, 0))
        peer.ci[unit].sendall(header(0, peer.pid, unit, context, 0, 0x0505))
        time.sleep(0.05)

    def answers():
        with peer.lock:
            return {f[5]: when for (u, f, _), when in zip(peer.messages, peer.arrived)
                    if u == unit and f[6] in (0x0103, 0x0104) and f[5] in asked}

    peer.wait(lambda: len(answers()) == len(asked), 20)
    came = answers()
    return {"asked": len(asked), "answered": len(came),
            "longest": max((t - asked[c][0] for c, (t, _) in came.items()), default=None),
            "longest_rounds": max((r - asked[c][1] for c, (_, r) in came.items()), default=None)}


def main():
    mode = sys.argv.pop(1) if sys.argv[1] in ("queue", "paths", "lists", "stuck", "ask") else None
    seconds, entries = 0, 0
    if mode in ("queue", "stuck", "ask"):
        seconds, entries = map(float, (sys.argv.pop(1) + "/0").split("/")[:2])
    requests = json.load(open(sys.argv.pop(1))) if mode == "lists" else None
    address, pid = sys.argv[1], int(sys.argv[2], 0)
    version, offset, passive = (sys.argv[3] + "/0/").split("/")[:3]
    units = {int(p, 0): a for a, p in (u.split(":") for u in sys.argv[4:])}
    peer = Peer(address, pid, int(version), units, int(offset), passive == "passive")
    peer.reading = mode != "stuck"
    if mode in ("stuck", "ask"):
        # They measure the unit: a loaded host that holds them up for a second must neither get them
        # called offline nor stretch what they see.
        peer.period = 5000
        try:
            os.nice(-10)
        except OSError:
            pass
    out = {}
    threading.Thread(target=peer.listen_presence, daemon=True).start()
    threading.Thread(target=peer.send_presence, daemon=True).start()
    if peer.passive:
        peer.accept(2 * len(units))
    out["heard_by_all"] = peer.wait(lambda: all(peer.hears_me(u) for u in units), 20)
    if not peer.passive:
        for u in units:
            peer.connect(u, 0)
            peer.connect(u, 1)
    out["ci_ports"] = sorted({s.getsockname()[1] for s in peer.ci.values()})
    time.sleep(1.0)  # the units take the connections and mark them in their presence packets
    if mode:
        modes = {"queue": lambda u: queue(peer, u, seconds, entries), "paths": lambda u: paths(peer, u),
                 "lists": lambda u: lists(peer, u, requests),
                 "stuck": lambda u: stuck(peer, u, seconds), "ask": lambda u: ask(peer, u, seconds)}
        print(json.dumps(modes[mode](min(units))), flush=True)
        return

    # A broadcast version request: each unit answers once.
    cmd = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    cmd.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    cmd.sendto(header(0, pid, 0xFFFE, 7, 8, 0x0F00), COMMANDS)
    first = min(units)
    # An echo and a routing command with an implausible range, on the command channel.
    peer.ci[first].sendall(header(3, pid, first, 0x11111111, 0x22222222, 0x0105) + b"abc")
    peer.ci[first].sendall(header(12, pid, first, 0x33333333, 0, 0x0100) + struct.pack("!HHII", 5, 3, 2, 0))
    # Forged context words and an unknown code are ignored, the channel stays.
    peer.ci[first].sendall(header(16, pid, first, 0x12345678, 0x00010001, 0x0107) + bytes(16))
    peer.ci[first].sendall(header(0, pid, first, 0, 0x00050003, 0x0103) + header(0, pid, first, 0, 0, 0x0507))
    peer.wait(lambda: len(peer.replies(0x0F01)) >= len(units) and peer.replies(0x0106) and peer.replies(0x0104), 5)
    time.sleep(0.5)
    out["version_replies"] = sorted(u for u, _, _ in peer.replies(0x0F01))
    out["echo"] = [[f[2], f[3], f[4], f[5], p.hex()] for _, f, p in peer.replies(0x0106)]
    out["routing"] = [[f[4], f[5]] for _, f, _ in peer.replies(0x0104)]
    out["closed_before_reset"] = sorted(peer.closed)

    # A restart: the counter starts again; the units drop both channels.
    peer.counter = 0
    peer.wait(lambda: len(peer.closed) == len(units), 5)
    out["closed_after_reset"] = sorted(peer.closed)
    print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
