#!/usr/bin/python3
"""Queue-mode data on the device network: one unit serves LISTS lists of 15 four-byte values
(64-byte entries with the stamp) every 1 ms to a peer in another network namespace, which reads
the records from its data channel. Prints the entries per second that arrived and those lost
(gaps in each list's stamps). Needs root for the namespaces.

usage: dk_bench.py VYN DATASET [SECONDS [LISTS]]   (e.g. build/release/vyn build/release/dataset/dataset.img)
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import bc2peer  # noqa: E402
import netns  # noqa: E402

UNIT, PEER = 0x22, 0x29
MAGIC = 0x0B000000  # the peer's FIFO references, one per list


def peer(address, unit_address, seconds, lists):
    """Runs in the peer's namespace: asks for the lists, reads the data channel, prints the stamps
    of each list."""
    p = bc2peer.Peer(address, PEER, 516, {UNIT: unit_address})
    threading.Thread(target=p.listen_presence, daemon=True).start()
    threading.Thread(target=p.send_presence, daemon=True).start()
    if not p.wait(lambda: p.hears_me(UNIT), 20):
        sys.exit("the unit never heard the peer")
    p.connect(UNIT, 0)
    p.connect(UNIT, 1)
    time.sleep(1.0)
    names = b"".join(b"ana%02d\0" % (i + 1) for i in range(15))
    for i in range(lists):
        request = bc2peer.struct.pack("!HHHHHH", 0, 1, len(names), 15, 64, 1) + names
        p.ci[UNIT].sendall(bc2peer.header(len(request), PEER, UNIT, 0x51000003, MAGIC + i, 0x0510) + request)
    dk, buf, stamps = p.dk[UNIT], b"", {}
    dk.settimeout(0.1)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            buf += dk.recv(1 << 20)
        except socket.timeout:
            continue
        at = 0
        while len(buf) - at >= 8:
            dest, n, to = bc2peer.struct.unpack_from("!HHI", buf, at)
            if len(buf) - at < 8 + n:
                break
            stamps.setdefault(to, []).append(bc2peer.struct.unpack_from("!I", buf, at + 8)[0])
            at += 8 + n
        buf = buf[at:]
    print(json.dumps({str(k): v for k, v in stamps.items()}), flush=True)


def main():
    vyn, dataset = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    lists = int(sys.argv[4]) if len(sys.argv) > 4 else 100
    why = netns.available()
    if why:
        sys.exit(why)
    net, root = netns.Network(), tempfile.mkdtemp(prefix="vyn-dk-")
    try:
        hu, hp = net.host(2), net.host(9)
        os.makedirs(os.path.join(root, "nvram"))
        shutil.copy(dataset, os.path.join(root, "nvram", "dataset.img"))
        with open(os.path.join(root, "vyn.ini"), "w") as f:
            f.write(f"[unit]\npid = {UNIT:#x}\nipv4 = {hu.address}\n")
        with open(os.path.join(root, "out.txt"), "w") as out:
            unit = subprocess.Popen(hu.prefix() + [vyn, "0"], stdout=out, stderr=subprocess.STDOUT,
                                    env=dict(os.environ, VYN_UNIT_DIR=root))
        try:
            run = subprocess.run(hp.prefix() + [sys.executable, __file__, "peer", hp.address, hu.address,
                                                str(seconds), str(lists)], capture_output=True, timeout=seconds + 60)
        finally:
            unit.kill()
            unit.wait()
        if run.returncode:
            sys.exit(run.stderr.decode())
    finally:
        net.close()
        shutil.rmtree(root, ignore_errors=True)
    stamps = json.loads(run.stdout)
    got = sum(len(s) for s in stamps.values())
    # Stamps in 100 µs: a list of raster 0 has an entry every 10; the first ones wait in the
    # FIFO while the path opens, so the span is counted from each list's first entry.
    lost = sum(max(0, round((s[-1] - s[0]) / 10) + 1 - len(s)) for s in stamps.values())
    span = max((s[-1] - s[0] for s in stamps.values()), default=0) / 1e4
    print(f"lists {len(stamps)} of {lists}, entries {got}, entries/s {got / span if span else 0:.0f}, lost {lost}")


if __name__ == "__main__":
    if sys.argv[1] == "peer":
        peer(sys.argv[2], sys.argv[3], float(sys.argv[4]), int(sys.argv[5]))
    else:
        main()
