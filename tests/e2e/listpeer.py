"""Scripted peers of the device network that ask a unit for measurement lists (bc2peer.py's Peer).
Run inside their own network namespaces; each prints one JSON object with what it saw.

usage: listpeer.py flood LISTS/INFLIGHT/MARK FILE ADDRESS PID VERSION UNIT_ADDRESS:PID
           creates and stops LISTS one-value lists by address, INFLIGHT at a time, and writes FILE
           once MARK lists were granted (at its end at the latest); before the stop of some list
           whose number names an entry an earlier list had, it stops that earlier number
       listpeer.py one FILE ADDRESS PID VERSION UNIT_ADDRESS:PID
           once FILE exists, asks for one list and stops it
       listpeer.py restart ADDRESS PID VERSION UNIT_ADDRESS:PID
           asks for 16 lists by name, restarts (its presence counter starts anew) without stopping
           them, connects again and asks what still runs
"""
import json
import os
import socket
import struct
import sys
import threading
import time

from bc2peer import Peer, header, messages

RASTER = 9  # the slowest raster index: few entries to read
STALE = 0x80000000  # context of a stop that names a number handed out again


def by_address(peer, unit, context, words):
    body = struct.pack("!%dI" % len(words), *(w & 0xFFFFFFFF for w in words))
    request = struct.pack("!HHHHHH", RASTER, 1, 8, len(body), 2, 0) + body
    return header(len(request), peer.pid, unit, context, 0, 0x0500) + request


def path_reply(peer, unit, fields, payload, fifo):
    reply = struct.pack("!IIIHH", struct.unpack_from("!I", payload, 8)[0], fifo, fifo, peer.pid, 0)
    return header(len(reply), peer.pid, unit, fields[4], fields[5], 0x0107) + reply


def drain(s):
    """Reads what the unit sends on a data channel, so that it never backs up."""
    try:
        while s.recv(65536):
            pass
    except OSError:
        pass


class Quiet(Peer):
    """A peer that reads its command channels itself."""

    def keep(self, unit, channel, s):
        (self.dk if channel else self.ci)[unit] = s
        if channel:
            threading.Thread(target=drain, args=(s,), daemon=True).start()


def flood(peer, unit, lists, inflight, mark, path):
    """Lists k = 1 .. lists: request (context k), path (our FIFO k), grant, stop (context k). A list
    counts in flight from its request to the answer to its stop."""
    s = peer.ci[unit]
    out = {"granted": 0, "refused": 0, "closed": 0, "unstopped": 0, "stale": 0, "stale_stopped_nothing": 0}
    by_index = {}  # entry index of a list number -> the last number seen there
    asked, answered = 0, 0
    pending = []

    def ask():
        nonlocal asked
        while asked < lists and asked - answered < inflight:
            asked += 1
            pending.append(by_address(peer, unit, asked, [-4, 0x40010, 0, 0]))

    ask()
    s.sendall(b"".join(pending))
    pending.clear()
    start = time.monotonic()
    for f, p in messages(s):
        code = f[6]
        if code == 0x0300:  # a path towards us for list `context`: our FIFO k
            pending.append(path_reply(peer, unit, f, p, 0x0B000000 | struct.unpack_from("!I", p, 8)[0] & 0xFFFFFF))
        elif code == 0x0501:
            k, magic = f[5], f[4]
            if not magic:
                out["refused"] += 1
                answered += 1
            else:
                out["granted"] += 1
                old = by_index.get(magic & 0xFFFF)
                if old is not None and old != magic and k % 97 == 0:
                    out["stale"] += 1
                    pending.append(header(0, peer.pid, unit, STALE | k, old, 0x0502))
                by_index[magic & 0xFFFF] = magic
                pending.append(header(0, peer.pid, unit, k, magic, 0x0502))
                if out["granted"] == mark:
                    open(path, "w").close()
        elif code == 0x0301:  # the stop closed the list's path
            out["closed"] += 1
            answered += 1
        elif code == 0x1100:  # a stop that found no list
            if f[5] & STALE:
                out["stale_stopped_nothing"] += 1
            else:
                out["unstopped"] += 1
                answered += 1
        ask()
        if pending:
            s.sendall(b"".join(pending))
            pending.clear()
        if answered == lists:
            break
    out["seconds"] = round(time.monotonic() - start, 1)
    if not os.path.exists(path):
        open(path, "w").close()  # the other asks now at the latest
    return out


def one(peer, unit, path):
    """Waits (at most 10 minutes) for `path`, then asks for one list: granted or not."""
    end = time.monotonic() + 600
    while not os.path.exists(path) and time.monotonic() < end:
        time.sleep(0.05)
    s = peer.ci[unit]
    s.sendall(by_address(peer, unit, 7, [-4, 0x40010, 0, 0]))
    for f, p in messages(s):
        if f[6] == 0x0300:
            s.sendall(path_reply(peer, unit, f, p, 0x0B000001))
        elif f[6] == 0x0501 and f[5] == 7:
            if f[4]:
                s.sendall(header(0, peer.pid, unit, 7, f[4], 0x0502))
            return {"granted": f[4] != 0}


def restart(peer, unit):
    """16 lists by name of ana01 on the 10 ms raster, into our FIFOs 0x0C000000 + i; counts their
    records on UDP port 9852 before the restart and from 1 s after the unit answered the restarted
    peer's first state query on for 2 s. Then stops each old number by name."""
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind((peer.address, 9852))
    sink.settimeout(0.05)
    ours = {0x0C000000 + i for i in range(16)}

    def records(seconds):
        n, end = 0, time.monotonic() + seconds
        while time.monotonic() < end:
            try:
                data, at = sink.recv(65536), 0
            except socket.timeout:
                continue
            while at + 8 <= len(data):
                _, size, to = struct.unpack_from("!HHI", data, at)
                n += to in ours
                at += 8 + size
        return n

    name = b"ana01\0"
    for fifo in sorted(ours):
        request = struct.pack("!HHHHHH", 3, 1, len(name), 1, 4, 0) + name
        peer.ci[unit].sendall(header(len(request), peer.pid, unit, 0x51000000, fifo, 0x0510) + request)
    peer.wait(lambda: len(peer.replies(0x0511)) == 16, 20)
    lists = [struct.unpack_from("!I", p)[0] for _, _, p in peer.replies(0x0511)]
    out = {"granted": sum(1 for m in lists if m), "before": records(1.0)}
    peer.counter = 0
    out["dropped"] = peer.wait(lambda: unit in peer.closed, 20)
    with peer.lock:
        peer.heard.clear()
        peer.closed.clear()
        peer.messages.clear()
    out["heard_again"] = peer.wait(lambda: peer.hears_me(unit), 20)
    peer.connect(unit, 0)
    peer.connect(unit, 1)
    peer.ci[unit].sendall(header(0, peer.pid, unit, 0x0505, peer.pid, 0x0505))
    peer.wait(lambda: peer.replies(0x0103) or peer.replies(0x0104), 20)
    out["runs_lists"] = bool(peer.replies(0x0103))
    records(1.0)  # what the unit sent before it answered
    out["after"] = records(2.0)
    for i, magic in enumerate(lists):
        peer.ci[unit].sendall(header(0, peer.pid, unit, 0xDD00 + i, magic, 0x0512))
    peer.wait(lambda: len(peer.replies(0x0513)) == len(lists), 20)
    out["stopped"] = sum(struct.unpack_from("!I", p)[0] for _, _, p in peer.replies(0x0513))
    return out


def main():
    mode = sys.argv.pop(1)
    lists = inflight = mark = 0
    if mode == "flood":
        lists, inflight, mark = map(int, sys.argv.pop(1).split("/"))
    path = sys.argv.pop(1) if mode in ("flood", "one") else None
    address, pid, version = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3])
    units = {int(p, 0): a for a, p in (u.split(":") for u in sys.argv[4:])}
    peer = (Peer if mode == "restart" else Quiet)(address, pid, version, units)
    if mode != "restart":
        # At full speed on a loaded host its presence thread may be held up for over a second:
        # that must not get it called offline (its channels closed in mid-flood).
        peer.period = 5000
        try:
            os.nice(-10)
        except OSError:
            pass
    threading.Thread(target=peer.listen_presence, daemon=True).start()
    threading.Thread(target=peer.send_presence, daemon=True).start()
    assert peer.wait(lambda: all(peer.hears_me(u) for u in units), 20), "not heard"
    unit = min(units)
    peer.connect(unit, 0)
    peer.connect(unit, 1)
    time.sleep(1.0)  # the unit takes the connections
    runs = {"flood": lambda: flood(peer, unit, lists, inflight, mark, path), "one": lambda: one(peer, unit, path),
            "restart": lambda: restart(peer, unit)}
    print(json.dumps(runs[mode]()), flush=True)


if __name__ == "__main__":
    main()
