"""The process shell through the client tool: commands typed with `vynctl.py shell` run in the
unit and print their answer, while the unit's log still reaches standard output and vyn.log."""
import os
import subprocess

from conftest import ROOT

VYNCTL = os.path.join(ROOT, "tools", "vynctl.py")


def shell(p, line):
    done = subprocess.run(["/usr/bin/python3", VYNCTL, "-d", p.dir, "shell", line], capture_output=True,
                          text=True, timeout=60)
    return done.returncode, done.stdout


def test_commands_answer_through_the_client_and_the_log_stays_on_standard_output(unit):
    p = unit(["0"])
    p.wait_started()
    assert shell(p, "meas") == shell(p, "meas start stop") == (0, (
        "usage meas <commands>\n"
        "    <start> and <stop> starts and stops measurement respectively;\n"
        "    <state> shows current measurement state;\n"
        "    <create> and <destroy> creates or detroys measurement;\n"
        "    <pidstate> prints pid specific status and error information.\n"))
    assert shell(p, "getvar nosuch") == (0, "variable nosuch not found\n")
    assert shell(p, "setvar nosuch 1.5") == (0, "variable nosuch not found\n")
    assert shell(p, "nosuch")[0] == 1
    rc, out = shell(p, "scrutInfo_RTP0")
    assert rc == 0 and "DataID: 00000000-00000000-00000000-00000000-00000000\n" in out
    report = p.path("c/psts/upload/scrutineering.xml")
    assert subprocess.run(["xmllint", "--noout", report]).returncode == 0
    with open(report) as f:
        assert "<DataID>00000000-00000000-00000000-00000000-00000000</DataID>" in f.read()
    # the command's log line went to the unit's standard output, not into the shell's pipe
    p.wait_for("ScrutInfo: Scrutineering information written successfully")
    with p.control() as ctl:
        ctl.postrun()
    assert p.finish() == 0
    with open(p.path("vyn.log")) as f:
        assert "ScrutInfo: Scrutineering information written successfully" in f.read()
