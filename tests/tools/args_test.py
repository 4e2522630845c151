#!/usr/bin/python3
"""The helper tools answer a command line they cannot follow with their usage and a nonzero exit,
and write nothing: channels_password.py, gpsdrive.py and the viewer vyn_fbview; the viewer does not
wait for good in a directory that holds no unit, and gpsdrive.py writes whole files and whole laps."""
import os
import pathlib
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

TOOLS = os.path.join(os.environ.get("VYN_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")), "tools")
FBVIEW = os.environ.get("VYN_FBVIEW", "")


def run(args, env=None):
    """Exit code, standard output and error, and what the run left in a directory of its own."""
    with tempfile.TemporaryDirectory() as cwd:
        done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=60,
                              env=None if env is None else {**os.environ, **env})
        return done.returncode, done.stdout, done.stderr, sorted(os.listdir(cwd))


class ChannelsPassword(unittest.TestCase):
    TOOL = [sys.executable, os.path.join(TOOLS, "channels_password.py")]

    def test_help_and_wrong_lines_print_the_usage_and_no_password(self):
        for args in (["--help"], ["-h"]):
            with self.subTest(args=args):
                code, out, err, _ = run(self.TOOL + args)
                self.assertEqual((code, err), (0, ""))
                self.assertTrue(out.startswith("usage: channels_password.py"), out)
        for args in ([], ["-x"], ["--epk", "KVX2"], ["KVX2", "KVX3"], [""]):
            with self.subTest(args=args):
                code, out, err, _ = run(self.TOOL + args)
                self.assertEqual((code, out), (2, ""))
                self.assertIn("usage: channels_password.py", err)
        # An EPK that starts with a dash, after "--".
        code, out, _, _ = run(self.TOOL + ["--", "-KVX2"])
        self.assertEqual(code, 0)
        self.assertRegex(out, r"^[A-Za-z0-9_-]{16}\n$")


class GpsDrive(unittest.TestCase):
    TOOL = [sys.executable, os.path.join(TOOLS, "gpsdrive.py"), "out"]

    def test_a_drive_it_cannot_make_is_refused_and_nothing_is_written(self):
        for args in (["--laps", "-1"], ["--laps", "0"], ["--laps", "nan"], ["--laps", "1e9"], ["--speed", "-100"],
                     ["--speed", "0"], ["--speed", "inf"], ["--nofix", "-1"], ["--drive", "99"],
                     ["--track", "7,abc"], ["--track", "7,48.3,11.6,1"], ["--track", "x,48.3,11.6"],
                     ["--track", "-1,48.3,11.6"], ["--track", "2147483648,48.3,11.6"], ["--track", "7,90,11.6"],
                     ["--track", "7,48.3,180"], ["--track", "7,48.3,11.6", "--track", "7,-33.9,151.2"]):
            with self.subTest(args=args):
                code, out, err, files = run(self.TOOL + args)
                self.assertEqual((code, out, files), (2, "", []))
                self.assertIn("usage: gpsdrive.py", err)
                self.assertNotIn("Traceback", err)
        for outdir in ("/dev/null/out", "missing/out"):  # only the last level is made
            code, out, err, files = run(self.TOOL[:2] + [outdir])
            self.assertEqual((code, out, files), (2, "", []))
            self.assertIn("usage: gpsdrive.py", err)
            self.assertIn("OUTDIR %s: " % outdir, err)

    def test_a_write_that_fails_leaves_the_old_files_as_they_were(self):
        def small_files():  # writes beyond 4 KiB fail (EFBIG) as on a full file system
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        with tempfile.TemporaryDirectory() as out:
            old = {name: name for name in ("drive.nmea", "drive.csv", "rtracks.xml")}
            for name in old:
                pathlib.Path(out, name).write_text(name)
            done = subprocess.run(self.TOOL[:2] + [out], capture_output=True, text=True, timeout=60,
                                  preexec_fn=small_files)
            self.assertEqual((done.returncode, done.stderr),
                             (1, "gpsdrive.py: writing %s/drive.nmea failed: File too large\n" % out))
            self.assertEqual({name: pathlib.Path(out, name).read_text() for name in os.listdir(out)}, old)

    def test_the_drive_crosses_the_finish_line_once_a_lap_and_help_says_so(self):
        # A lap counts where a fix lies on or beyond the line through the finish point square to the
        # way, the fix before it before the line (docs/gps.md): the oval leaves the point due east.
        self.assertRegex(run(self.TOOL[:2] + ["--help"])[1], r"--laps N\s+\w")
        for laps, crossings in (("1", 1), ("2", 2), ("2.5", 2)):
            with tempfile.TemporaryDirectory() as out:
                subprocess.run(self.TOOL[:2] + [out, "--laps", laps, "--speed", "250"], check=True, timeout=60)
                head, *rows = pathlib.Path(out, "drive.csv").read_text().splitlines()
                lon0 = float(head.split()[-1])
                east = [float(row.split(",")[3]) - lon0 for row in rows if row.split(",")[1] == "1"]
                self.assertEqual(sum(a < 0 <= b for a, b in zip(east, east[1:])), crossings, laps)

    def test_a_drive_it_can_make_is_written(self):
        code, out, err, files = run(self.TOOL + ["--track", "2147483647,-89,-179.9", "--laps", "0.01"])
        self.assertEqual((code, out, err, files), (0, "", "", ["out"]))


@unittest.skipUnless(os.path.exists(FBVIEW), "VYN_FBVIEW names no built viewer")
class Fbview(unittest.TestCase):
    def test_a_unit_directory_that_is_none_is_refused_at_once(self):
        with tempfile.NamedTemporaryFile() as f:
            for args, env in (([FBVIEW, "-d", "/nonexistent/unit", "0"], None), ([FBVIEW, "-d", f.name], None),
                              ([FBVIEW, "0"], {"VYN_UNIT_DIR": "/nonexistent/unit"})):
                with self.subTest(args=args, env=env):
                    code, out, err, files = run(args, env)
                    self.assertEqual((code, out, files), (2, "", []))
                    self.assertIn("usage: vyn_fbview", err)

    def test_a_directory_that_holds_no_unit_ends_the_wait_and_one_set_up_for_a_unit_keeps_it(self):
        with tempfile.TemporaryDirectory() as unit:
            code, out, err, _ = run([FBVIEW, "-d", unit, "0"])
            self.assertEqual((code, out), (1, ""))
            self.assertIn("fbview: no unit in %s" % unit, err)
            pathlib.Path(unit, "vyn.ini").touch()  # scripts/demo starts the viewer before the unit
            with subprocess.Popen([FBVIEW, "-d", unit, "0"], stderr=subprocess.PIPE, text=True) as viewer:
                self.assertIn("fbview: waiting for /vyn_fb_0_", viewer.stderr.readline())
                viewer.kill()


if __name__ == "__main__":
    unittest.main()
