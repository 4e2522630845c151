#!/usr/bin/python3
"""tests/e2e/unitload.py (what scripts/tsan_unit runs) ends what it started however it ends: when it
is terminated, or a unit ends under it, no unit, worker or network namespace of its run is left."""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

from setup_test import E2E, ROOT, holders


def cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def environment(pid):
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            return dict(v.decode(errors="replace").split("=", 1) for v in f.read().split(b"\0") if b"=" in v)
    except OSError:
        return {}


@unittest.skipUnless(ROOT and os.environ.get("VYN_BIN"), "needs root and a built unit (VYN_BIN)")
class Ending(unittest.TestCase):
    # what runs once the load is on: both units and every kind of worker
    LOADED = ("/vyn 0", "unitload.py xcp", "unitload.py can", "telepit.py", "bc2peer.py")

    def setUp(self):
        # what the run started, and nothing else (a process id may be taken again), carries its mark;
        # its namespaces live only while such a process (their holders included) is in them
        self.mark = str(uuid.uuid4())
        self.out = tempfile.mkdtemp(prefix="vyn-unitload-")
        self.load = subprocess.Popen([sys.executable, os.path.join(E2E, "unitload.py"), "--seconds", "600",
                                      "--out", self.out], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=dict(os.environ, VYN_UNITLOAD_TEST=self.mark))
        deadline = time.monotonic() + 300
        while True:
            lines = [cmdline(p) for p in self.left()]
            if sum("/vyn 0" in c for c in lines) == 2 and all(any(w in c for c in lines) for w in self.LOADED):
                break
            self.assertIsNone(self.load.poll(), "the run ended before its load was on")
            self.assertLess(time.monotonic(), deadline, "no load within 300 s")
            time.sleep(0.1)

    def tearDown(self):
        if self.load.poll() is None:
            self.load.kill()
            self.load.wait()
        for pid in self.left():
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(self.out, ignore_errors=True)

    def left(self):
        """The run's processes still running."""
        return holders(p for p in map(int, filter(str.isdigit, os.listdir("/proc")))
                       if environment(p).get("VYN_UNITLOAD_TEST") == self.mark)

    def assert_ended_with_all(self, code):
        ended = self.load.wait(timeout=300)
        deadline = time.monotonic() + 30  # what was killed is reaped by its parent
        while self.left() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([cmdline(p) for p in self.left()], [])
        self.assertEqual(ended, code)
        for unit in ("a", "b"):  # nor their shown frames
            st = os.stat(os.path.join(self.out, "units", unit))
            self.assertEqual(glob.glob("/dev/shm/vyn_fb_*_%x_%x" % (st.st_dev, st.st_ino)), [])

    def test_terminated_it_ends_its_units_workers_and_namespaces(self):
        self.load.terminate()
        self.assert_ended_with_all(128 + signal.SIGTERM)

    def test_a_unit_that_ends_under_it_ends_the_run_and_the_rest(self):
        unit = [p for p in self.left() if environment(p).get("VYN_UNIT_DIR", "").endswith("/units/a")]
        self.assertEqual(len(unit), 1)
        os.kill(unit[0], signal.SIGKILL)
        self.assert_ended_with_all(1)


if __name__ == "__main__":
    unittest.main()
