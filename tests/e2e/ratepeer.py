"""Scripted peers of the device network (bc2peer.py's Peer) that read or ask at a pace of their own,
or in another's name. Run inside their own network namespaces; each prints one JSON object.

usage: ratepeer.py slowdk TICKS/LISTS/SHARE UNIT_DIR ADDRESS PID UNIT_ADDRESS:PID
           steps the unit in stepped time through the control socket in UNIT_DIR, asks for LISTS queue-mode
           lists by name of 23 values on the 1 ms raster and reads its data channel at SHARE of
           their rate for TICKS, then at full speed for 2 s of the unit's time, and kills them: per
           list the entries that came and those missing between them
       ratepeer.py pipeline COUNT/RATE ADDRESS PID UNIT_ADDRESS:PID
           sends COUNT numbered echoes as fast as its socket takes them while a thread of its own
           reads the answers at RATE bytes a second: how many came back, in order
       ratepeer.py spoof AS/COUNT FILE ADDRESS PID UNIT_ADDRESS:PID
           asks for COUNT lists by name in the name of PID AS on its own command channel, then
           writes FILE
       ratepeer.py lists COUNT FILE ADDRESS PID UNIT_ADDRESS:PID
           once FILE exists, asks for COUNT lists by name: how many were granted
"""
import json
import os
import socket
import struct
import sys
import threading
import time

from bc2peer import Peer, header, messages
from listpeer import Quiet

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "tools"))
import vynctl  # noqa: E402

VALUES = 23  # the most a reply to a request by names describes
ENTRY = 4 + 4 * VALUES  # the stamp, then the values
NAMES = b"ana01\0" * VALUES  # a four-byte variable


def by_names(peer, unit, fifo, raster, queued, source=None):
    request = struct.pack("!HHHHHH", raster, 1, len(NAMES), VALUES, 64, 1 if queued else 0) + NAMES
    return header(len(request), peer.pid if source is None else source, unit, 0x51000000, fifo, 0x0510) + request


def granted(peer, fifos):
    """Of the lists asked for into `fifos`, those the unit granted (their list numbers)."""
    return [struct.unpack_from("!I", p, 0)[0] for _, f, p in peer.replies(0x0511)
            if f[4] in fifos and struct.unpack_from("!I", p, 0)[0]]


class Clock:
    """The unit's time: a unit in stepped time (its directory `ctl`) is stepped here, at most ten
    times as fast as the host's time, so that this peer's presence every 200 ms of the host's keeps
    it heard (it announces a period of 5 s)."""

    def __init__(self, ctl):
        self.unit = vynctl.Unit(ctl, timeout=60, wait=30) if ctl else None

    def tick(self, n):
        if self.unit:
            self.unit.step(n)
        time.sleep(n / 10000)

    def wait(self, cond, ticks):
        for _ in range(ticks // 10):
            if cond():
                return True
            self.tick(10)
        return cond()


def slowdk(peer, unit, clock, ticks, lists, share):
    """Reads the data channel at `share` of the lists' rate for `ticks` of the unit's time, then at
    full speed for 2 s of it, which leaves nothing waiting."""
    fifos = [0x0D000000 + i for i in range(lists)]
    peer.ci[unit].sendall(b"".join(by_names(peer, unit, f, 0, True) for f in fifos))
    clock.wait(lambda: len(peer.replies(0x0511)) >= lists, 20000)
    out = {"granted": len(granted(peer, fifos)), "closed": False}
    dk, buf, stamps = peer.dk[unit], b"", {f: [] for f in fifos}
    dk.settimeout(0.001)
    per_tick = share * lists * (8 + ENTRY)  # bytes
    budget = 0.0
    for t in range(0, ticks + 2000, 10):
        if out["closed"]:
            break
        clock.tick(10)
        budget = budget + 10 * per_tick if t < ticks else float(1 << 30)
        while budget >= 1:
            try:
                chunk = dk.recv(min(int(budget), 1 << 20))
            except socket.timeout:
                break
            except OSError:
                chunk = b""
            if not chunk:
                out["closed"] = True
                break
            budget -= len(chunk)
            buf += chunk
        at = 0
        while len(buf) - at >= 8:
            _, n, to = struct.unpack_from("!HHI", buf, at)
            if len(buf) - at < 8 + n:
                break
            if to in stamps:
                stamps[to].append(struct.unpack_from("!I", buf, at + 8)[0])
            at += 8 + n
        buf = buf[at:]
    peer.ci[unit].sendall(header(0, peer.pid, unit, 0, 0, 0x0504))  # kills them
    clock.tick(2000)  # the unit tells its count of lost entries once a second
    # A list of the 1 ms raster makes an entry every tick, stamped 10 (100 us) after the one before:
    # what did not come between the first and the last was lost.
    out["lists"] = [{"came": len(s), "missing": round(((s[-1] - s[0]) & 0xFFFFFFFF) / 10) + 1 - len(s) if s else 0,
                     "stamps_apart": sorted({(b - a) % 10 for a, b in zip(s, s[1:])})} for s in stamps.values()]
    return out


def pipeline(peer, unit, count, rate):
    """Sends `count` numbered echoes as fast as the socket takes them while a thread of its own
    reads the answers at `rate` bytes a second."""
    s = peer.ci[unit]
    got = {"answered": 0, "in_order": True}

    def chunks():
        start, taken = time.monotonic(), 0
        while True:
            room = int(rate * (time.monotonic() - start)) - taken
            if room <= 0:
                time.sleep(0.005)
                continue
            try:
                chunk = s.recv(min(room, 65536))
            except OSError:
                return
            if not chunk:
                return
            taken += len(chunk)
            yield chunk

    def read():
        buf = b""
        for chunk in chunks():
            buf += chunk
            at = 0
            while len(buf) - at >= 24:
                if struct.unpack_from("!H", buf, at + 16)[0] == 0x0106:
                    got["in_order"] = got["in_order"] and struct.unpack_from("!I", buf, at + 20)[0] == got["answered"]
                    got["answered"] += 1
                at += 20 + struct.unpack_from("!H", buf, at + 2)[0]
            buf = buf[at:]
            if got["answered"] == count:
                return

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    start = time.monotonic()
    batch = 500
    try:
        for first in range(0, count, batch):
            s.sendall(b"".join(header(4, peer.pid, unit, 0, 0, 0x0105) + struct.pack("!I", k)
                               for k in range(first, min(count, first + batch))))
    except OSError as e:
        got["send_failed"] = str(e)
    reader.join(120)
    return {"sent": count, "seconds": round(time.monotonic() - start, 1), **got}


def spoof(peer, unit, source, count, path):
    # only once the unit hears that peer: it is then no unit behind this one
    peer.wait(lambda: peer.heard.get(unit, 0) >> source & 1, 20)
    fifos = [0x0E000000 + i for i in range(count)]
    peer.ci[unit].sendall(b"".join(by_names(peer, unit, f, 9, False, source) for f in fifos))
    time.sleep(2.0)  # the unit has read them
    open(path, "w").close()
    return {"sent": count}


def lists(peer, unit, count, path):
    end = time.monotonic() + 120
    while not os.path.exists(path) and time.monotonic() < end:
        time.sleep(0.05)
    fifos = [0x0F000000 + i for i in range(count)]
    peer.ci[unit].sendall(b"".join(by_names(peer, unit, f, 9, False) for f in fifos))
    peer.wait(lambda: len([1 for _, f, _ in peer.replies(0x0511) if f[4] in fifos]) >= count, 20)
    return {"granted": len(granted(peer, fifos))}


def main():
    mode, arg = sys.argv[1], sys.argv[2]
    path = sys.argv.pop(3) if mode in ("slowdk", "spoof", "lists") else None
    address, pid = sys.argv[3], int(sys.argv[4], 0)
    units = {int(p, 0): a for a, p in (u.split(":") for u in sys.argv[5:])}
    # The pipelining peer reads its command channel itself; the others let Peer collect the replies.
    peer = (Quiet if mode == "pipeline" else Peer)(address, pid, 517, units)
    peer.period = 5000  # a loaded host that holds it up must not get it called offline
    if mode == "pipeline":
        try:
            os.nice(-10)  # nor keep its reader from the socket till the unit calls it stuck
        except OSError:
            pass
    clock = Clock(path if mode == "slowdk" else None)
    threading.Thread(target=peer.listen_presence, daemon=True).start()
    threading.Thread(target=peer.send_presence, daemon=True).start()
    assert clock.wait(lambda: all(peer.hears_me(u) for u in units), 20000), "not heard"
    unit = min(units)
    peer.connect(unit, 0)
    peer.connect(unit, 1)
    clock.tick(1000)  # the unit takes the connections
    if mode == "slowdk":
        ticks, count, share = arg.split("/")
        out = slowdk(peer, unit, clock, int(ticks), int(count), float(share))
    elif mode == "pipeline":
        count, rate = arg.split("/")
        out = pipeline(peer, unit, int(count), float(rate))
    elif mode == "spoof":
        source, count = (int(v, 0) for v in arg.split("/"))
        out = spoof(peer, unit, source, count, path)
    else:
        out = lists(peer, unit, int(arg), path)
    print(json.dumps(out), flush=True)


if __name__ == "__main__":
    main()
