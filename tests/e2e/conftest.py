"""Runs the vyn executable as a process in a unit directory of its own; each test in a network
namespace of its own where it can (as root)."""
import ctypes
import glob
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import crcmod.predefined
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import netns  # noqa: E402
import vynctl  # noqa: E402

CLONE_NEWNET = 0x40000000
STEPPED = "[platform]\ntime = stepped\n"
VYNCTL = os.path.join(ROOT, "tools", "vynctl.py")


@pytest.fixture(autouse=True)
def own_network():
    """A fresh network namespace for the test and what it starts, its loopback up and carrying
    multicast: a unit on the host's network takes the presence and commands of every other unit
    on the machine (a page-set command restarts it). Without root the test runs on the host's
    network; as root a namespace that cannot be made fails it."""
    if not netns.available():
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(CLONE_NEWNET) != 0:
            raise netns.Unavailable(f"no network namespace for the test: {os.strerror(ctypes.get_errno())}")
        for cmd in (["link", "set", "lo", "up"], ["link", "set", "lo", "multicast", "on"],
                    ["route", "add", "224.0.0.0/4", "dev", "lo"]):
            subprocess.run(["ip"] + cmd, check=True)
    yield


def pytest_configure(config):
    """A run that is terminated (a time-out, a stopped job) ends as one interrupted at the keyboard:
    its tests' units and namespaces are taken down, not left running."""
    def interrupted(signum, frame):
        raise KeyboardInterrupt(f"signal {signum}")
    signal.signal(signal.SIGTERM, interrupted)


STARTED = []  # the units of the running test, in the order started
TAIL = 60


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    STARTED.clear()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed test shows the last lines each of its units printed (its log, a sanitizer's report),
    so that a failure on CI can be traced without a rerun."""
    report = (yield).get_result()
    if report.failed:
        for p in STARTED:
            state = "running" if p.proc.poll() is None else f"exit code {p.proc.returncode}"
            report.sections.append((f"unit {p.dir} ({state}), its last {TAIL} lines", "\n".join(p.tail(TAIL))))
        STARTED.clear()  # told once, though its teardown fails too


def pytest_terminal_summary(terminalreporter):
    """A run without root skips every namespace test: said where nobody can miss it."""
    skipped = [r for r in terminalreporter.stats.get("skipped", []) if netns.NOT_ROOT in str(r.longrepr)]
    if skipped:
        terminalreporter.write_sep("!", f"{len(skipped)} tests SKIPPED: {netns.NOT_ROOT} (CI runs them as root)",
                                   red=True, bold=True)


def built(variable, what):
    path = os.environ.get(variable, "")
    if not os.path.exists(path):
        pytest.skip(f"{variable} does not name {what}")
    return path


def default_dataset():
    return built("VYN_DATASET", "a built dataset image")


def patched_dataset(*changes):
    """The build's dataset with bytes replaced, (offset, bytes) each, its CRC-16/ARC renewed as the
    store checks it."""
    with open(default_dataset(), "rb") as f:
        image = bytearray(f.read())
    for at, data in changes:
        image[at:at + len(data)] = data
    struct.pack_into("<H", image, len(image) - 4, crcmod.predefined.mkCrcFun("crc-16")(bytes(image[:-4])))
    return bytes(image)


class Process:
    """One unit: its directory, the running process and everything it printed."""

    def __init__(self, unit_dir, args, settings="", files=None, dataset=True, prefix=()):
        """`settings` None leaves vyn.ini as it is (a unit may already run there)."""
        self.dir = unit_dir
        os.makedirs(unit_dir, exist_ok=True)
        if dataset:
            os.makedirs(os.path.join(unit_dir, "nvram"), exist_ok=True)
        if isinstance(dataset, bytes):
            with open(os.path.join(unit_dir, "nvram", "dataset.img"), "wb") as f:
                f.write(dataset)
        elif dataset:
            # The default dataset of the build, as a freshly programmed unit holds it.
            shutil.copy(default_dataset(), os.path.join(unit_dir, "nvram", "dataset.img"))
        if settings is not None:
            if "ipv4" not in settings:
                # an address on an interface of this machine, so that the device network can bind
                settings = "[unit]\nipv4 = 127.0.0.1\n" + settings
            with open(os.path.join(unit_dir, "vyn.ini"), "w") as f:
                f.write(settings)
        for name, text in (files or {}).items():
            with open(os.path.join(unit_dir, name), "wb" if isinstance(text, bytes) else "w") as f:
                f.write(text)
        env = dict(os.environ, VYN_UNIT_DIR=str(unit_dir))
        self.proc = subprocess.Popen(list(prefix) + [built("VYN_BIN", "a built vyn")] + args, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, env=env)
        self.out = []
        self.pending = b""
        self.stepped = bool(settings) and "time = stepped" in settings
        STARTED.append(self)

    def wait_started(self, limit=60.0):
        """Waits for the start-up report; a stepped unit is given ticks meanwhile (its start-up
        waits for the display, one tick at a time)."""
        if not self.stepped:
            return self.wait_for("Startup vyn: took", limit)
        deadline = time.monotonic() + limit
        with self.control() as ctl:
            while True:
                try:
                    return self.wait_for("Startup vyn: took", 0.05)
                except AssertionError:
                    if time.monotonic() > deadline or self.proc.poll() is not None:
                        raise
                ctl.step(1)

    def display_started(self, limit=60.0):
        """Waits for the start-up report of a unit in real time. The start-up gives the display 50
        ticks to come up, which the GUI task may not get on a loaded host; then it is started as a
        person at the unit would, with the shell command."""
        self.wait_for("Startup vyn: took", limit)
        if any("display could not be started!" in line for line in self.out):
            assert self.shell("display start") == (0, "")

    def _take(self, timeout):
        """Reads what the unit printed within `timeout` s into `out`; False once its output ended."""
        fd = self.proc.stdout.fileno()
        ready, _, _ = select.select([fd], [], [], timeout)
        if not ready:
            return True
        # Raw reads: a buffered reader would hide lines from select().
        chunk = os.read(fd, 65536)
        if not chunk:
            return False
        self.pending += chunk
        *lines, self.pending = self.pending.split(b"\n")
        self.out += [line.decode(errors="replace") for line in lines]
        return True

    def _found(self, text, times):
        found = [line for line in self.out if text in line]
        return found[times - 1] if len(found) >= times else None

    def wait_for(self, text, limit=60.0, times=1):
        """Reads output until `times` lines contain `text` (a pipe read, bounded in wall time)."""
        deadline = time.monotonic() + limit
        while (line := self._found(text, times)) is None:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no line with {text!r}; output:\n" + "\n".join(self.out))
            if not self._take(left):
                raise AssertionError(f"exited before {text!r}; output:\n" + "\n".join(self.out))
        return line

    def wait_seen(self, text, ticks, times=1, guard=600.0):
        """Reads output until `times` lines contain `text`, within `ticks` ticks of the unit's own
        clock however slowly a loaded host lets them pass; `guard` host seconds only end the wait
        on a unit that hangs."""
        deadline = time.monotonic() + guard
        with self.control() as ctl:
            until = ctl.ticks() + ticks
            while (line := self._found(text, times)) is None:
                if ctl.ticks() >= until or time.monotonic() > deadline:
                    # what it printed before then counts, however late it is read
                    while select.select([self.proc.stdout.fileno()], [], [], 0)[0] and self._take(0):
                        pass
                    if (line := self._found(text, times)) is not None:
                        break
                    raise AssertionError(f"no line with {text!r} in {ticks} ticks of the unit's (or "
                                         f"{guard} s of the host's); output:\n" + "\n".join(self.out))
                if not self._take(0.05):
                    raise AssertionError(f"exited before {text!r}; output:\n" + "\n".join(self.out))
        return line

    def tail(self, count):
        """The last `count` lines it printed, what waits in the pipe read without waiting."""
        if not self.proc.stdout.closed:
            while select.select([self.proc.stdout.fileno()], [], [], 0)[0] and self._take(0):
                pass
        return (self.out + ([self.pending.decode(errors="replace")] if self.pending else []))[-count:]

    def finish(self, limit=60.0):
        rest, _ = self.proc.communicate(timeout=limit)
        self.out += (self.pending + rest).decode(errors="replace").splitlines()
        self.pending = b""
        return self.proc.returncode

    def control(self):
        return vynctl.Unit(str(self.dir), timeout=30, wait=30)

    def wait_until(self, holds, ticks, what, guard=600.0):
        """Asks `holds` until it is true, within `ticks` ticks of the unit's own clock (`guard` host
        seconds only end the wait on a unit that hangs)."""
        deadline = time.monotonic() + guard
        with self.control() as ctl:
            until = ctl.ticks() + ticks
            while not holds():
                assert ctl.ticks() < until and time.monotonic() < deadline, f"{what} not within {ticks} ticks"
                time.sleep(0.05)

    def wait_ticks(self, count, limit=600.0):
        """Waits until a unit in real time has made `count` more ticks: a span of its own time,
        however slowly a loaded host lets it pass (`limit` host seconds only guard a hang)."""
        deadline = time.monotonic() + limit
        with self.control() as ctl:
            until = ctl.ticks() + count
            while ctl.ticks() < until:
                assert time.monotonic() < deadline, f"{count} ticks took longer than {limit} s"
                time.sleep(0.02)

    def path(self, name):
        return os.path.join(self.dir, name)

    def shell(self, line):
        """A line for the process shell through the client tool: its exit code and output."""
        done = subprocess.run(["/usr/bin/python3", VYNCTL, "-d", self.dir, "shell", line], capture_output=True,
                              text=True, timeout=60)
        return done.returncode, done.stdout

    def shm(self):
        """The unit's shown frames in /dev/shm, named by its directory's device and inode."""
        st = os.stat(self.dir)
        return glob.glob("/dev/shm/vyn_fb_*_%x_%x" % (st.st_dev, st.st_ino))

    def stop(self, guard=300.0):
        """The post-run semaphore, then ticks until the unit ends, however many its shutdown takes
        while a loaded host keeps its tasks waiting (`guard` host seconds only end the wait on a
        unit that hangs); its exit code."""
        deadline = time.monotonic() + guard
        with self.control() as ctl:
            ctl.postrun()
            while self.proc.poll() is None and time.monotonic() < deadline:
                try:
                    ctl.step(10)
                except vynctl.UnitGone:
                    break
        return self.finish(limit=max(deadline - time.monotonic(), 30))

    def end(self):
        """The post-run semaphore of a unit in real time; its exit code once it ended."""
        return end(self)[0]

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def scripted_peer(host, *args, meanwhile=None):
    # What tests/e2e/bc2peer.py saw, run in the network namespace of `host`; `meanwhile` is called
    # over and over while it runs (to step a unit in stepped time, say). Its output goes to files,
    # which take all of it while nobody reads.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        peer = subprocess.Popen(host.prefix() + [sys.executable, os.path.join(os.path.dirname(__file__), "bc2peer.py"),
                                                 *map(str, args)], stdout=out, stderr=err)
        try:
            deadline = time.monotonic() + 90
            while meanwhile and peer.poll() is None and time.monotonic() < deadline:
                meanwhile()
            peer.wait(timeout=max(deadline - time.monotonic(), 0.1))
        finally:
            if peer.poll() is None:
                peer.kill()
                peer.wait()
        out.seek(0)
        err.seek(0)
        assert peer.returncode == 0, err.read().decode()
        return json.loads(out.read())


def signals(host, pid, *names):
    """Integer variables of the signal page of the unit at `host` (PID `pid`), read over XCP by a
    master in the unit's network namespace: what the unit's own counters hold."""
    rows = {}
    for line in open(os.path.join(ROOT, "calibration", "variables.tsv")):
        f = line.split("\t")
        if len(f) > 4 and f[1] == "sig" and f[3] in ("u8", "u16", "u32"):
            rows[f[0]] = (int(f[2], 16), int(f[3][1:]) // 8)
    asked = [rows[n] for n in names]
    code = (f"import sys\nsys.path.insert(0, {HERE!r})\nfrom xcpmaster import Master\n"
            f"m = Master(5555, {host.address!r}, timeout=2.0)\nm.cmd(0xFF, 0)\n"
            f"print(*(m.short_upload({pid << 24} | a, n).hex() for a, n in {asked!r}))\nm.cmd(0xFE)\n")
    # a datagram is lost to a slave not listening yet, or while a loaded host keeps it from its
    # socket: asked again, as a master asks again
    deadline = time.monotonic() + 60
    while True:
        done = subprocess.run(host.prefix() + [sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        if done.returncode == 0 or time.monotonic() > deadline or "TimeoutError" not in done.stderr:
            break
    assert done.returncode == 0, done.stderr
    return [int.from_bytes(bytes.fromhex(h), "little") for h in done.stdout.split()]


def wait_signal(host, pid, name, holds, limit=60.0):
    """Reads a variable of a unit's signal page until `holds` says it holds what is awaited."""
    deadline = time.monotonic() + limit
    while not holds(*signals(host, pid, name)):
        assert time.monotonic() < deadline, f"{name} not as awaited"
        time.sleep(0.1)


def end(*units):
    """The post-run semaphore to every unit, then their exit codes once they ended."""
    for p in units:
        with p.control() as ctl:
            ctl.postrun()
    return [p.finish() for p in units]


@pytest.fixture
def net():
    """Hosts in network namespaces of their own on one bridge (root only, else skipped)."""
    network = netns.Network()
    yield network
    network.close()


@pytest.fixture
def unit():
    """Starts units in directories of one temporary root; removes everything they left."""
    root = tempfile.mkdtemp(prefix="vyn-e2e-")
    made = []

    def start(args, settings="", files=None, dataset=True, prefix=(), name="unit"):
        p = Process(os.path.join(root, name), args, settings, files, dataset, prefix)
        made.append(p)
        return p

    yield start
    for p in made:
        p.kill()
        for name in p.shm():
            os.unlink(name)
    shutil.rmtree(root)
