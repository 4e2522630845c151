"""A unit under the load of a car on the desk for a bounded time, in real time, every process in a
network namespace of its own (root): its XCP master starts and stops DAQ lists on the events 0, 1
and 2 and writes the stored dataset into the working page over and over while it switches pages;
a second unit, whose value the first sends on CAN, restarts now and then; a scripted peer asks for
lists and drops its connection; CAN frames both ways, telemetry to a pit, a GPS drive through a
pty, laps on the digital input. scripts/tsan_unit runs it on the ThreadSanitizer build: what the
sanitizer reported, grouped by the places that raced, and exit 1 with any report. Ended early (a
signal, a unit that ended under it), it ends every unit, worker and namespace it started.

usage: unitload.py --seconds N --out DIR        (VYN_BIN and VYN_DATASET name the build)
       unitload.py xcp PORT PID PAYLOAD SECONDS  (the master, in the unit's namespace)
       unitload.py can SECONDS                   (python-can's nodes, in the unit's namespace)
"""
import argparse
import collections
import glob
import json
import os
import pty
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

PID_A, PID_B, PID_PEER = 0x21, 0x22, 0x29
# The third CAN message: ana04 of the second unit and of this one every 10 ms on controller 1.
CAN_B = ('<CanMb idx="2" intf="1" canDlc="8" canId="200" event="R10ms" fdf="false" brs="false"/>' + "".join(
    f'<CanSignal chIdx="{8 + i}" msgIdx="2" sBit="{32 * i}" len="32" bigEndian="false" RCType="SIG" '
    f'adrType="meas_by_address" pid="{pid}" adr="4001C" data_type="FLOAT" signed="false" float="true"/>'
    for i, pid in enumerate((PID_B, 0))))


# ---- the XCP master ------------------------------------------------------------------------------

class Refused(Exception):
    pass


# A response the unit could not queue behind its DTOs is lost, and while DAQ runs the datagrams
# never pause: the master gives a command up after this long.
ANSWER_WITHIN = 10.0


def ask(m, *packet):
    """A command's positive response after 0xFF; events and DTOs on the way are passed over. No
    response within ANSWER_WITHIN seconds is a socket.timeout."""
    from xcpmaster import frames
    m.send(packet)
    deadline = time.monotonic() + ANSWER_WITHIN
    while time.monotonic() < deadline:
        for _, r in frames(m.datagram()):
            if r[0] == 0xFE:
                raise Refused("XCP command 0x%02X: error 0x%02X" % (packet[0], r[1]))
            if r[0] == 0xFF:
                return r[1:]
    raise socket.timeout("XCP command 0x%02X: no response within %g s" % (packet[0], ANSWER_WITHIN))


def start_daq(m, pid):
    """Three lists made afresh, on the events 100 ms, 10 ms and 1 ms: an output of a channel
    function, a signal and a parameter of the working page each."""
    entries = [(pid << 24 | 0x7C0000, 4), (pid << 24 | 0x4001C, 4), (pid << 24 | 0x30000, 4)]
    ask(m, 0xD6)
    ask(m, 0xD5, 0, 3, 0)
    for daq in range(3):
        ask(m, 0xD4, 0, daq, 0, 1)
        ask(m, 0xD3, 0, daq, 0, 0, len(entries))
    for daq in range(3):
        ask(m, 0xE2, 0, daq, 0, 0, 0)
        for address, size in entries:
            ask(m, 0xE1, 0xFF, size, 0, *struct.pack("<I", address))
        ask(m, 0xE0, 0x10, daq, 0, daq, 0, 1, 0)
        ask(m, 0xDE, 2, daq, 0)
    ask(m, 0xDD, 1)


def xcp_load(port, pid, payload, seconds):
    from xcpmaster import Master
    m = Master(port, timeout=10.0)
    counts = collections.Counter()
    ref, work = pid << 24, pid << 24 | 0x20000
    ask(m, 0xFF, 0)
    # The parameters as stored (behind the start marker and the EPK), in pieces of 248 bytes: the
    # writes change nothing the unit does.
    pieces = [bytes(ask(m, 0xF4, min(248, payload - at), 0, 0, *struct.pack("<I", ref | at)))
              for at in range(0x44, payload, 248)]
    end, daq_at, running, page = time.monotonic() + seconds, 0.0, False, 1
    while time.monotonic() < end:
        try:
            ask(m, 0xEB, 0x01, 0, page)
            counts["page switches"] += 1
            page ^= 1
            ask(m, 0xF6, 0, 0, 0, *struct.pack("<I", work | 0x44))
            for piece in pieces:
                ask(m, 0xF0, len(piece), *piece)
                counts["downloads"] += 1
                if time.monotonic() >= daq_at:
                    if running:
                        ask(m, 0xDD, 0)
                    else:
                        start_daq(m, pid)
                        counts["DAQ starts"] += 1
                    running, daq_at = not running, time.monotonic() + 0.7
        except (Refused, socket.timeout) as e:
            counts["errors"] += 1
            print(e, file=sys.stderr)
            running = False
            try:
                ask(m, 0xFF, 0)
            except (Refused, socket.timeout) as again:
                print(again, file=sys.stderr)  # the next round's first command tries again
    try:
        ask(m, 0xFE)
    except (Refused, socket.timeout) as e:
        print(e, file=sys.stderr)
    m.close()
    print(json.dumps(counts))


# ---- CAN --------------------------------------------------------------------------------------

def can_load(seconds):
    import can
    buses = [can.Bus(interface="udp_multicast", channel=g) for g in ("239.74.163.2", "239.74.163.3")]
    counts, n, end = collections.Counter(), 0, time.monotonic() + seconds
    while time.monotonic() < end:
        for b in buses:
            # 0x300 fills the demo's CAN input; the other identifier is read by nobody
            for ident in (0x300, 0x123):
                b.send(can.Message(arbitration_id=ident, is_extended_id=False,
                                   data=struct.pack("<hB", n % 2000 - 1000, n & 0xFF)))
                counts["CAN frames sent"] += 1
            while b.recv(0) is not None:
                counts["CAN frames heard"] += 1
        n += 1
        time.sleep(0.001)
    for b in buses:
        b.shutdown()
    print(json.dumps(counts))


# ---- the units ---------------------------------------------------------------------------------

class Closing(Exception):
    """The run is ending: nothing new is started."""


class Started:
    """The processes and threads of a run, ended together however the run ends (its time over, a
    signal, a unit that ended under it)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.closing = threading.Event()
        self.made, self.threads = [], []

    def process(self, make):
        """`make()`'s process (a Popen, or a unit's Process), kept to be ended with the run."""
        with self.lock:
            if self.closing.is_set():
                raise Closing()
            self.made.append(make())
            return self.made[-1]

    def thread(self, target, *args):
        def body():
            try:
                target(*args)
            except Exception:
                if not self.closing.is_set():
                    raise  # else what it waited for was ended under it
        self.threads.append(threading.Thread(target=body, daemon=True))
        self.threads[-1].start()

    def close(self):
        with self.lock:
            self.closing.set()
        procs = [getattr(m, "proc", m) for m in self.made]
        for p in procs:
            if p.poll() is None:
                p.kill()
        for p in procs:
            p.wait()
        for m in self.made:
            for name in getattr(m, "shm", list)():  # a unit's shown frame, which a killed unit leaves
                os.unlink(name)
        for t in self.threads:
            t.join(timeout=60)


class Unit:
    """A Process whose output is written to a file while it runs (nobody reads it meanwhile)."""

    def __init__(self, started, root, name, settings, dataset, host, files=None):
        from conftest import Process
        path = os.path.join(root, name)
        self.p = started.process(lambda: Process(path, ["0"], settings, files, dataset, host.prefix()))
        self.p.wait_started(120)
        log = open(os.path.join(path, "stdout.txt"), "ab")
        self.drain = threading.Thread(target=self._drain, args=(log,), daemon=True)
        self.drain.start()

    def _drain(self, log):
        fd = self.p.proc.stdout.fileno()
        while chunk := os.read(fd, 65536):
            log.write(chunk)
        log.close()

    def end(self):
        with self.p.control() as ctl:
            ctl.postrun()
        code = self.p.proc.wait(timeout=180)
        self.drain.join()
        return code


def ended(signum, frame):
    raise SystemExit(128 + signum)  # through the run's finally, which ends what it started


def run(args):
    from conftest import patched_dataset
    import netns
    why = netns.available()
    if why:
        sys.exit(why)
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, ended)
    os.makedirs(args.out, exist_ok=True)
    for old in glob.glob(os.path.join(args.out, "tsan.*")):
        os.unlink(old)
    os.environ["TSAN_OPTIONS"] = "halt_on_error=0 log_path=" + os.path.join(os.path.abspath(args.out), "tsan")
    root = os.path.join(args.out, "units")
    shutil.rmtree(root, ignore_errors=True)
    net = netns.Network()
    counts, lock, started = collections.Counter(), threading.Lock(), Started()
    master, slave = pty.openpty()
    try:
        ha, hb, hp = net.host(1), net.host(2), net.host(9)
        # CAN on the loopback's multicast beside the device network on eth0
        for cmd in (("link", "set", "lo", "multicast", "on"), ("route", "add", "224.0.0.0/4", "dev", "lo")):
            ha.run("ip", *cmd)
        image = patched_dataset((0x10800, b"\x05"))  # CAN from cfg:/CAN.xml
        cfg = os.path.join(root, "a")
        shutil.copytree(os.path.join(HERE, "..", "..", "examples", "unit0", "cfg"), cfg)
        subprocess.run([sys.executable, os.path.join(HERE, "..", "..", "tools", "gpsdrive.py"), cfg, "--track",
                        "7,48.3,11.6", "--laps", str(args.seconds / 15 + 1), "--speed", "250"], check=True)
        xml = open(os.path.join(cfg, "CAN.xml")).read().replace("</CanOut>", CAN_B + "</CanOut>")
        stimulus = "0 sine 2.5 2 4000, 1 triangle 0.5 4.5 10000, 2 const 2.5, 3 square 1 4 200"
        settings_a = (f"[unit]\npid = {PID_A:#x}\nipv4 = {ha.address}\n[drives]\ncfg = .\n[can]\nbus = udp\n"
                      f"[serial]\ntyCo1 = {os.ttyname(slave)}\n[board]\nanalog_stimulus = {stimulus}\n")
        settings_b = f"[unit]\npid = {PID_B:#x}\nipv4 = {hb.address}\n[board]\nanalog_stimulus = {stimulus}\n"
        unit_a = Unit(started, root, "a", settings_a, image, ha, {"CAN.xml": xml, "dcp.ini": "[dcp]\nname = load\n"})
        units_b = [Unit(started, root, "b", settings_b, image, hb)]
        end = time.monotonic() + args.seconds

        def worker(prefix, *argv):
            done = started.process(lambda: subprocess.Popen(prefix + [sys.executable, *argv], stdout=subprocess.PIPE,
                                                            stderr=subprocess.PIPE, text=True))
            try:
                out, err = done.communicate(timeout=args.seconds + 300)
            except subprocess.TimeoutExpired as e:
                done.kill()
                done.communicate()
                with lock:
                    counts["failed workers"] += 1
                    print(e, file=sys.stderr)
                return
            if started.closing.is_set():
                return  # ended with the run
            with lock:
                if done.returncode:
                    counts["failed workers"] += 1
                    print(err[-2000:], file=sys.stderr)
                elif argv[0] != os.path.join(HERE, "telepit.py"):
                    counts.update(json.loads(out))
                else:
                    got = json.loads(out)
                    counts.update({"telemetry frames": len(got["frames"]), "JSON status": len(got["json"])})

        def peer():
            while time.monotonic() < end - 5:
                done = started.process(lambda: subprocess.Popen(
                    hp.prefix() + [sys.executable, os.path.join(HERE, "bc2peer.py"), "queue", "3", hp.address,
                                   hex(PID_PEER), "516", f"{ha.address}:{PID_A:#x}"],
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
                try:
                    ok = done.wait(timeout=90) == 0
                except subprocess.TimeoutExpired:
                    done.kill()
                    done.wait()
                    ok = False
                with lock:
                    counts["peer connections" if ok else "peer failures"] += 1

        def gps():
            sentences = open(os.path.join(cfg, "drive.nmea"), newline="").read().split("\r\n")[:-1]
            for k in range(0, len(sentences), 3):  # an epoch each 100 ms
                if time.monotonic() >= end or started.closing.is_set():
                    break
                os.write(master, ("\r\n".join(sentences[k:k + 3]) + "\r\n").encode())
                time.sleep(0.1)

        def second_unit():
            while time.monotonic() < end - 25 and not started.closing.wait(20):
                units_b[-1].end()
                units_b.append(Unit(started, root, "b", settings_b, image, hb))
                with lock:
                    counts["second unit restarts"] += 1

        mine = os.path.abspath(__file__)
        for target, argv in ((worker, (ha.prefix(), mine, "xcp", "5555", str(PID_A), str(len(image) - 4),
                                       str(args.seconds))),
                             (worker, (ha.prefix(), mine, "can", str(args.seconds))),
                             (worker, (ha.prefix(), os.path.join(HERE, "telepit.py"), "5010", str(args.seconds),
                                       "1", ha.address)),
                             (peer, ()), (gps, ()), (second_unit, ())):
            started.thread(target, *argv)
        with unit_a.p.control() as ctl:
            while time.monotonic() < end:
                ctl.cmd("din 0 1")
                time.sleep(0.1)
                ctl.cmd("din 0 0")
                counts["laps"] += 1
                time.sleep(2.9)
        for t in started.threads:
            t.join()
        codes = [unit_a.end(), units_b[-1].end()]
    finally:
        for signum in (signal.SIGTERM, signal.SIGINT):
            signal.signal(signum, signal.SIG_IGN)  # the ending is under way
        started.close()
        os.close(master)
        os.close(slave)
        net.close()
    print("load:", json.dumps(dict(sorted(counts.items()))))
    print("exit codes of the units:", codes)
    return reports(glob.glob(os.path.join(args.out, "tsan.*")))


# ---- the reports -------------------------------------------------------------------------------

TOP = re.compile(r"(?:app|services|calibration|comm|acquisition|model|logging|gui|display|platform|tools|tests|"
                 r"generated)/\S+?:\d+")


def name(function):
    """A function's name without its parameter list."""
    function = function.removesuffix(" const")
    depth = 0
    for i in range(len(function) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(function[i], 0)
        if depth == 0:
            return function[:i] if i and function.endswith(")") else function
    return function


def place(frames):
    """The first three frames of a stack in the tree's sources: function and file:line each."""
    found = []
    for line in frames:
        m = re.match(r"\s+#\d+ (.*) (/\S+?)(?::\d+)? \(", line)
        where = m and TOP.search(os.path.normpath(m.group(2)))
        if where:
            found.append(f"{name(m.group(1))} {where.group(0)}")
    return " < ".join(found[:3]) or (frames[0].strip() if frames else "?")


def reports(paths):
    """Prints every kind of report with the places of its accesses and how often; their count."""
    seen = collections.Counter()
    for path in paths:
        for block in open(path, errors="replace").read().split("==================\n"):
            head = re.search(r"WARNING: ThreadSanitizer: ([^(\n]+)", block)
            if not head:
                continue
            # the stacks of the accesses (of the locks taken, for a lock-order report)
            stacks, current = [], None
            for line in block.splitlines():
                if re.match(r"  (Previous )?(atomic |Atomic )?(read|write|Read|Write) of size|  Mutex \S+ acquired",
                            line):
                    current = []
                    stacks.append(current)
                elif current is not None and line.startswith("    #"):
                    current.append(line)
                else:
                    current = None
            seen[(head.group(1).strip(),) + tuple(sorted({place(s) for s in stacks}))] += 1
    for key, n in sorted(seen.items(), key=lambda kv: -kv[1]):
        print(f"{n:4d} x {key[0]}:")
        for where in key[1:]:
            print("         " + where)
    total = sum(seen.values())
    print(f"{total} reports of ThreadSanitizer in {len(seen)} kinds")
    return 1 if total else 0


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "xcp":
        port, pid, payload, seconds = sys.argv[2:6]
        return xcp_load(int(port), int(pid), int(payload), float(seconds))
    if len(sys.argv) > 1 and sys.argv[1] == "can":
        return can_load(float(sys.argv[2]))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--out", required=True, help="for the units' directories and the reports")
    return run(parser.parse_args())


if __name__ == "__main__":
    sys.exit(main())
