"""The demo unit's dash through the shell client: its bar graph follows the analog stimulus,
"display" commands switch pages, and "bmpdump" writes the shown 640 x 480 frame to "c:"."""
import os
import subprocess
import time

from conftest import ROOT

VYNCTL = os.path.join(ROOT, "tools", "vynctl.py")
DEMO_CFG = os.path.join(ROOT, "examples", "unit0", "cfg")


def shell(p, line):
    done = subprocess.run(["/usr/bin/python3", VYNCTL, "-d", p.dir, "shell", line], capture_output=True,
                          text=True, timeout=60)
    return done.returncode, done.stdout


def pixels(path, geometry):
    """The pixels of a region of an image file, as text."""
    return subprocess.run(["convert", path, "-crop", geometry, "+repage", "txt:-"], capture_output=True,
                          text=True, check=True).stdout.split("\n", 1)[1]


def test_the_dash_moves_and_answers_display_commands(unit):
    p = unit(["0"], settings="[drives]\ncfg = %s\n[board]\nanalog_stimulus = 0 sine 2.5 2 2000, "
                              "4 const 1, 5 const 4, 6 const 0, 7 const 0\n" % DEMO_CFG)
    p.wait_for("configuration with 3 pages")
    bar = "560x20+40+190+0"  # inside the rpm bar graph of page 1
    shots = []
    for i in range(2):
        assert shell(p, "display bmpdump c:/shot%d.bmp" % i) == (0, "")
        path = p.path("c/shot%d.bmp" % i)
        out = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, text=True)
        assert out.stdout == "640 480"
        shots.append(pixels(path, bar))
        time.sleep(0.7)
    assert shots[0] != shots[1], "the bar follows the sine on analog input 1"
    rc, out = shell(p, "display Start")
    assert rc == 0 and out.startswith("controls display application\n")
    assert shell(p, "display page x") == (1, "Invalid page number.\n")
    assert shell(p, "display bmpdump nosuch:/a.bmp") == (0, "Error, unable to open file nosuch:/a.bmp.\n")
    with p.control() as ctl:
        ctl.postrun()
    assert p.finish() == 0
