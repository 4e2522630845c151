#!/usr/bin/python3
"""The helper tools answer a command line they cannot follow with their usage and a nonzero exit,
and write nothing: channels_password.py, gpsdrive.py and the viewer vyn_fbview; the viewer does not
wait for good in a directory that holds no unit."""
import os
import pathlib
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
        code, out, err, files = run(self.TOOL[:2] + ["/dev/null/out"])
        self.assertEqual((code, out, files), (2, "", []))
        self.assertIn("usage: gpsdrive.py", err)

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
