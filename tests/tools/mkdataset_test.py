#!/usr/bin/python3
"""mkdataset answers --help and -h with its usage and writes nothing; an option it does not know
is an error that writes nothing either; what it writes carries the CRC-16/ARC the store checks."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, "/usr/lib/python3/dist-packages")
import crcmod.predefined  # noqa: E402

MKDATASET = os.environ.get("VYN_MKDATASET", "")


def run(*args):
    """Exit code, standard output and error, and the files left in the working directory."""
    with tempfile.TemporaryDirectory() as cwd:
        done = subprocess.run([MKDATASET, *args], cwd=cwd, capture_output=True, text=True, timeout=60)
        return done.returncode, done.stdout, done.stderr, sorted(os.listdir(cwd))


@unittest.skipUnless(os.path.exists(MKDATASET), "VYN_MKDATASET names no built mkdataset")
class Mkdataset(unittest.TestCase):
    def test_help_prints_the_usage_and_writes_nothing(self):
        for args in (["--help"], ["-h"], ["out.img", "--help"], ["-h", "--lap", "gps"]):
            with self.subTest(args=args):
                code, out, err, files = run(*args)
                self.assertEqual((code, err, files), (0, "", []))
                self.assertTrue(out.startswith("usage: mkdataset OUT"), out)
                self.assertIn("--lap gps", out)

    def test_a_wrong_command_line_is_an_error_and_writes_nothing(self):
        for args in (["--bogus"], ["-x"], ["out.img", "--bogus"], ["out.img", "--lap"], ["out.img", "--lap", "din"],
                     ["a.img", "b.img"], [], ["--lap", "gps"]):
            with self.subTest(args=args):
                code, out, err, files = run(*args)
                self.assertNotEqual(code, 0)
                self.assertEqual((out, files), ("", []))
                self.assertIn("usage: mkdataset OUT", err)

    def test_the_dataset_written_carries_its_crc(self):
        crc = crcmod.predefined.mkCrcFun("crc-16")
        self.assertEqual(crc(b"123456789"), 0xBB3D)  # CRC-16/ARC's check value
        images = []
        for args in (["out.img"], ["out.img", "--lap", "gps"], ["--lap", "gps", "out.img"]):
            with self.subTest(args=args), tempfile.TemporaryDirectory() as cwd:
                done = subprocess.run([MKDATASET, *args], cwd=cwd, capture_output=True, timeout=60)
                self.assertEqual((done.returncode, os.listdir(cwd)), (0, ["out.img"]))
                with open(os.path.join(cwd, "out.img"), "rb") as f:
                    image = f.read()
                self.assertEqual(int.from_bytes(image[-4:-2], "little"), crc(image[:-4]))
                images.append(image)
        self.assertNotEqual(images[0], images[1], "laps by GPS")
        self.assertEqual(images[1], images[2], "the option before the file as after it")


if __name__ == "__main__":
    unittest.main()
