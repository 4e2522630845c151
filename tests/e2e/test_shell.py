"""The process shell through the client tool: commands typed with `vynctl.py shell` run in the
unit and print their answer, while the unit's log still reaches standard output and vyn.log."""
import subprocess


def test_commands_answer_through_the_client_and_the_log_stays_on_standard_output(unit):
    p = unit(["0"])
    p.wait_started()
    assert p.shell("meas") == p.shell("meas start stop") == (0, (
        "usage meas <commands>\n"
        "    <start> and <stop> starts and stops measurement respectively;\n"
        "    <state> shows current measurement state;\n"
        "    <create> and <destroy> creates or detroys measurement;\n"
        "    <pidstate> prints pid specific status and error information.\n"))
    assert p.shell("getvar nosuch") == (0, "variable nosuch not found\n")
    assert p.shell("setvar nosuch 1.5") == (0, "variable nosuch not found\n")
    assert p.shell("nosuch")[0] == 1
    rc, out = p.shell("scrutInfo_RTP0")
    assert rc == 0 and "DataID: 00000000-00000000-00000000-00000000-00000000\n" in out
    report = p.path("c/psts/upload/scrutineering.xml")
    assert subprocess.run(["xmllint", "--noout", report]).returncode == 0
    with open(report) as f:
        assert "<DataID>00000000-00000000-00000000-00000000-00000000</DataID>" in f.read()
    # the command's log line went to the unit's standard output, not into the shell's pipe
    p.wait_for("ScrutInfo: Scrutineering information written successfully")
    assert p.end() == 0
    assert p.shell("meas")[0] == 2, "no unit answers"
    with open(p.path("vyn.log")) as f:
        assert "ScrutInfo: Scrutineering information written successfully" in f.read()
