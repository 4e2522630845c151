#!/usr/bin/python3
"""mkdataset answers --help and -h with its usage and writes nothing; an option it does not know
is an error that writes nothing either; what it writes carries the CRC-16/ARC the store checks; a
write that fails leaves OUT as it was."""
import os
import resource
import signal
import stat
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

    def test_a_write_that_fails_leaves_out_as_it_was(self):
        """Only what the tool made is removed: a file keeps its content, a link stays a link, a device
        stays a device. The full device is a copy made here (root) or reached through a link that only
        root could change, so no system file is at stake however the tool fails."""
        def small_files():  # writes beyond 4 KiB fail with EFBIG
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        with tempfile.TemporaryDirectory() as cwd:
            with open(os.path.join(cwd, "out.img"), "wb") as f:
                f.write(b"old")
            os.symlink("out.img", os.path.join(cwd, "link.img"))
            full = "/dev/full"
            if os.geteuid() == 0:
                full = os.path.join(cwd, "full")
                os.mknod(full, 0o666 | stat.S_IFCHR, os.makedev(1, 7))
            os.symlink(full, os.path.join(cwd, "tofull"))
            before = sorted(os.listdir(cwd))
            for out, limit, says in (("out.img", small_files, "File too large"),
                                     ("link.img", small_files, "File too large"),
                                     (full, None, "No space left on device"),
                                     ("tofull", None, "No space left on device")):
                with self.subTest(out=out):
                    done = subprocess.run([MKDATASET, out], cwd=cwd, capture_output=True, text=True, timeout=60,
                                          preexec_fn=limit)
                    self.assertNotEqual(done.returncode, 0)
                    self.assertEqual(done.stderr, f"mkdataset: writing {out} failed: {says}\n")
                    self.assertEqual(sorted(os.listdir(cwd)), before)
                    with open(os.path.join(cwd, "out.img"), "rb") as f:
                        self.assertEqual(f.read(), b"old")
                    self.assertEqual(os.readlink(os.path.join(cwd, "link.img")), "out.img")
                    self.assertEqual(os.readlink(os.path.join(cwd, "tofull")), full)
                    self.assertTrue(stat.S_ISCHR(os.stat(full).st_mode))
            # Written whole through a link: the file it names gets the image, the link stays.
            done = subprocess.run([MKDATASET, "link.img"], cwd=cwd, capture_output=True, timeout=60)
            self.assertEqual((done.returncode, sorted(os.listdir(cwd))), (0, before))
            self.assertEqual(os.readlink(os.path.join(cwd, "link.img")), "out.img")
            with open(os.path.join(cwd, "out.img"), "rb") as f:
                image = f.read()
            self.assertEqual(int.from_bytes(image[-4:-2], "little"), crcmod.predefined.mkCrcFun("crc-16")(image[:-4]))


if __name__ == "__main__":
    unittest.main()
