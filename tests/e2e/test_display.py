"""Two units in network namespaces: one shows a value of the other in a bar graph, read from
captures that "display bmpdump" writes through the shell client; a page-set message restarts a
unit once; the demo's alarm symbol on a page that "display next" brings up, read from the shown
frame of a stepped unit."""
import os
import struct
import subprocess
import time

from conftest import ROOT, STEPPED, end


def pixels(path, geometry):
    """The pixels of a region of an image file, as text."""
    return subprocess.run(["convert", path, "-crop", geometry, "+repage", "txt:-"], capture_output=True,
                          text=True, check=True).stdout.split("\n", 1)[1]


BAR_XML = ('<?xml version="1.0"?><Display version="1.0" x_res="640" y_res="480">'
           '<Brightness><perc value="100"/></Brightness><Pages><Page>'
           '<BGCol red="0" green="0" blue="0"/><DisplayElements>'
           '<BarGraph version="1.0" title="" vis_mode="always" always_on_top="false" prio="1" pos_x="20" '
           'pos_y="140" size_x="600" size_y="90" style="solid" orientation="hori_lr" ticks="false" min="0" max="5">'
           '<ChInput adr="2104001C" type="FLOAT" mask="FFFFFFFF" quant_a="0" quant_b="1" quant_c="0" quant_d="0" '
           'quant_e="0" quant_f="1"/><DecoMiddle><BarGraphDeco style="none"><BGCol red="0" green="0" blue="0"/>'
           '<TitleBGCol red="0" green="0" blue="0"/><TitleFGCol red="0" green="0" blue="0"/>'
           '<BorderBGCol red="0" green="0" blue="0"/><BorderFGCol red="0" green="0" blue="0"/>'
           '<BarBGCol red="20" green="20" blue="20"/><BarFGCol red="0" green="C0" blue="0"/>'
           '<TicksCol red="0" green="0" blue="0"/></BarGraphDeco></DecoMiddle></BarGraph>'
           '</DisplayElements></Page></Pages></Display>')


def bar_row(p, n):
    """The colours of the row through the middle of B's bar graph, from a capture."""
    assert p.shell(f"display bmpdump c:/row{n}.bmp") == (0, "")
    return [line.split()[2] for line in pixels(p.path(f"c/row{n}.bmp"), "600x1+20+185").splitlines()]


def fill(row):
    """The filled part of the bar, "cross" when the red cross is drawn instead, None while neither
    is drawn (B's page not up yet)."""
    if "#FF0000" in row:
        return "cross"
    green, empty = row.count("#00C000"), row.count("#202020")
    return green / (green + empty) if green + empty else None


def shows(p, n, half, ticks=60000):
    """Captures B's bar graph until it shows half of its range (`half`) or the red cross, within
    `ticks` of B's own clock: how long a loaded host takes to bring the value to the screen is not
    the unit's; what it shows is."""
    def wanted(got):
        return got not in (None, "cross") and abs(got - 0.5) < 0.02 if half else got == "cross"

    with p.control() as ctl:
        until = ctl.ticks() + ticks
        while not wanted(got := fill(bar_row(p, n))):
            assert ctl.ticks() < until, f"not within {ticks} ticks of the unit's; shown: {got}"
            time.sleep(0.2)


def test_a_value_of_another_unit_its_red_cross_and_its_return(unit, net):
    """Unit B's bar graph shows ana04 of unit A (2.5 V of 0 to 5 V); A stops and B draws the red
    cross; A starts again and the value returns."""
    ha, hb = net.host(1), net.host(2)
    settings_a = f"[unit]\npid = 0x21\nipv4 = {ha.address}\n[board]\nanalog_stimulus = 3 const 2.5\n"
    a = unit(["0"], settings_a, prefix=ha.prefix(), name="a")
    b = unit(["0"], f"[unit]\npid = 0x22\nipv4 = {hb.address}\n[drives]\ncfg = .\n",
             {"display.xml": BAR_XML}, prefix=hb.prefix(), name="b")
    b.display_started()
    shows(b, 0, True)
    # what takes B there: A's list runs (told once A reports its measurement, which may come after
    # the first value), A goes offline, its list runs again; each awaited in B's own ticks, as a
    # loaded host may bring the values to the screen before B's gateway has said so
    b.wait_seen("MeasGate: Measurement for PID 0x21 is set up and running", 10000)
    assert a.end() == 0
    shows(b, 1, False)
    b.wait_seen("MeasGate: PID 0x21 is detected offline", 10000)
    a = unit(["0"], settings_a, prefix=ha.prefix(), name="a")
    shows(b, 2, True)
    b.wait_seen("MeasGate: Measurement for PID 0x21 is set up and running", 10000, times=2)
    assert end(a, b) == [0, 0]


def send_pageset(host, pid, name):
    """A page-set message (0x1600) to `pid` on the command multicast, from a peer of PID 0x29."""
    code = ("import socket,struct,sys\n"
            "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
            "s.setsockopt(socket.IPPROTO_IP,socket.IP_MULTICAST_IF,socket.inet_aton(sys.argv[1]))\n"
            "m=struct.pack('!HHHHIIHH',0,16,0x29,int(sys.argv[2]),0,0,0x1600,0)\n"
            "s.sendto(m+sys.argv[3].encode().ljust(16,b'\\0'),('239.239.239.201',9870))\n")
    subprocess.run(host.prefix() + ["/usr/bin/python3", "-c", code, host.address, str(pid), name], check=True)


def pageset_heard(p, host, name, text):
    """Sends the page-set message until the unit logs `text`: one sent before the unit joined the
    command multicast goes unheard, and a loaded host may take a while to get it there."""
    for _ in range(60):
        send_pageset(host, 0x22, name)
        try:
            return p.wait_for(text, 0.5)
        except AssertionError:
            if p.proc.poll() is not None:
                raise
    return p.wait_for(text, 0)


def test_a_page_set_name_restarts_the_unit_once(unit, net):
    hu, hp = net.host(2), net.host(9)
    p = unit(["0"], f"[unit]\npid = 0x22\nipv4 = {hu.address}\n", prefix=hu.prefix())
    p.wait_started()
    pageset_heard(p, hp, "race", "display_pageset_cmd(): received pageset 'race")
    assert p.finish(limit=30) == 0, "the post-run ends the process; the manager starts it again"
    p = unit(["0"], None, dataset=False, prefix=hu.prefix())
    p.wait_started()
    pageset_heard(p, hp, "race", "received active pageset 'race")
    time.sleep(1.0)
    assert p.proc.poll() is None, "the same name again: no restart"
    pageset_heard(p, hp, "quali", "received pageset 'quali")
    assert p.finish(limit=30) == 0


def red_captures(p, ctl, count):
    """Of `count` shown frames 100 ms apart (together a slow blink's period), how many show red
    where the demo's alarm symbol lies."""
    frames = 0
    for _ in range(count):
        ctl.step(100)
        with open(p.shm()[0], "rb") as f:
            shown = f.read()
        stride, = struct.unpack_from("<I", shown, 12)
        red = 0
        for y in range(270, 318):
            for x in range(540, 588):
                word, = struct.unpack_from("<I", shown, 64 + y * stride + 4 * x)
                red += word >> 16 & 0xFF > 0xB0 and word >> 8 & 0xFF < 0x60 and word & 0xFF < 0x60
        frames += red > 100
    return frames


def test_next_shows_the_alarm_symbol_only_while_its_input_is_on(unit):
    """The demo's description on a stepped unit: on the page "display next" brings up, the alarm
    symbol (on every page, made visible by analog input 8) stays off at 0 V and blinks at 3 V."""
    files = {}
    for name in ("display.xml", "alarm.png"):
        with open(os.path.join(ROOT, "examples", "unit0", "cfg", name), "rb") as f:
            files[name] = f.read()
    p = unit(["0"], STEPPED + "[drives]\ncfg = .\n[board]\nanalog_stimulus = 4 const 0, 7 const 0\n", files)
    p.wait_started()
    with p.control() as ctl:
        assert red_captures(p, ctl, 8) == 0
        assert ctl.shell("display next") == (0, "")
        assert red_captures(p, ctl, 8) == 0, "the symbol drawn with its input at 0 V"
        ctl.cmd("adcstim 7 const 3")
        assert 2 <= red_captures(p, ctl, 8) <= 6, "the symbol at 3 V, blinking"
        ctl.cmd("adcstim 7 const 0")
        ctl.step(100)
        assert red_captures(p, ctl, 8) == 0
    assert p.stop() == 0
