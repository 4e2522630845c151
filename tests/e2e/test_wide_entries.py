"""The demo unit in stepped time with a value wider than its object in each of the lists it builds for
itself: the lap function's 1-byte flag (0x7C0E44) read as a UINT32 by a CAN output row of the 10 ms
raster, by a value element of the display (mask FF) and, named LAPFLAG by the channel archive, in
telemetry's fast block. Every other value still flows beside it, and the wide row reads the flag
(0 while no best lap is marked)."""
import os
import re
import shutil
import socket
import struct
import subprocess

from conftest import ROOT, Process, default_dataset
from test_demo_dash import BOXES, DEMO, pages_shown, scratch, with_reference  # noqa: F401

FLAG_ROW = """    <CanMb idx="2" intf="0" canDlc="1" canId="102" event="R10ms" fdf="false" brs="false"/>
    <CanSignal chIdx="8" msgIdx="2" sBit="0" len="8" bigEndian="false" RCType="SIG" adrType="meas_by_address"
               adr="7C0E44" data_type="UINT32" signed="false" float="false"/>
  </CanOut>"""
FLAG_INPUT = ('<ChInput adr="007C0E44" type="UINT32" mask="000000FF" quant_a="0" quant_b="1" quant_c="0" '
              'quant_d="0" quant_e="0" quant_f="1"/>')
CAN_VOLTS = {0: 2.1, 1: 2.5, 2: 2.5, 3: 1.2}  # test_can.py's: 0x100 begins 9001f401640c


def edit(path, change):
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(change(text))


def wide_demo(path):
    """The demo unit, stepped, its CAN frames into can.pcap, telemetry to port 5011, with the flag
    in a row of each of its own lists."""
    shutil.copytree(DEMO, path)
    os.makedirs(os.path.join(path, "run", "nvram"))
    shutil.copy(default_dataset(), os.path.join(path, "run", "nvram", "dataset.img"))
    edit(os.path.join(path, "vyn.ini"), lambda t: t.replace("time = realtime", "time = stepped")
         .replace("; pcap = can.pcap", "pcap = can.pcap"))
    cfg = os.path.join(path, "cfg")
    edit(os.path.join(cfg, "CAN.xml"), lambda t: t.replace("  </CanOut>", FLAG_ROW))
    # A copy of the ECU temperature's box, on every page after the alarm symbol (prio 2).
    def flag_box(text):
        box = re.search(r'\s*<AlphaNumeric [^>]*title="ECU C".*?</AlphaNumeric>', text, re.S).group()
        box = re.sub(r"<ChInput [^>]*/>", FLAG_INPUT, box.replace('title="ECU C"', 'title="FLAG"')
                     .replace('prio="1" pos_x="500"', 'prio="3" pos_x="340"'))
        return text.replace("\n    </DisplayElements>\n  </AllPages>", box + "\n    </DisplayElements>\n  </AllPages>")

    edit(os.path.join(cfg, "display.xml"), flag_box)
    edit(os.path.join(cfg, "telemetry.ini"), lambda t: t.replace("ana04\n", "ana04, LAPFLAG\n")
         .replace("port = 5010", "port = 5011"))
    with open(default_dataset(), "rb") as f:
        epk = re.search(rb"KVX2_VYN_[^\0]*", f.read()).group().decode()
    password = subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "channels_password.py"), epk],
                              capture_output=True, text=True, check=True).stdout.strip()
    with open(os.path.join(cfg, "list.xml"), "w") as f:
        f.write('<ChannelList><VYNChannels><Channel name="LAPFLAG" adr="257C0E44" type="UINT32"/>'
                "</VYNChannels></ChannelList>")
    subprocess.run(["7zz", "a", "-tzip", "-mem=AES128", "-mm=Deflate", "-p" + password, "channels.zip", "list.xml"],
                   cwd=cfg, check=True, capture_output=True)
    p = Process(path, ["0"], settings=None, dataset=False)
    p.stepped = True
    return p


def test_a_wide_row_in_the_units_own_lists_leaves_the_other_values_flowing(scratch):  # noqa: F811
    root, made = scratch
    pit = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    pit.bind(("127.0.0.1", 5011))
    pit.settimeout(0.01)
    demo = wide_demo(os.path.join(root, "demo"))
    ref = with_reference(root, made, demo)

    def frames():
        out = []
        while True:
            try:
                out.append(pit.recv(2048))
            except socket.timeout:
                return out

    with demo.control() as cd, ref.control() as cr:
        shown = pages_shown(((demo, cd), (ref, cr)))
        frames()
        for channel, v in CAN_VOLTS.items():
            cd.cmd("adc %d %r" % (channel, v))
        cd.step(500)
    tele = frames()
    assert [p.stop() for p in (demo, ref)] == [0, 0]
    # The display: every value box shows its value, not the no-value cross.
    for i, (page, title, _, _) in enumerate(BOXES):
        assert shown[demo][page][i] == shown[ref][page][i], title
    # Telemetry: the fast block of every frame holds ana01 to ana04 and the flag, the last ones the
    # inputs' volts.
    assert len(tele) > 10 and all(f[4] == 4 + 5 * 4 for f in tele), [f.hex() for f in tele[:3]]
    *ana, flag = struct.unpack_from(">4fI", tele[-1], 10)
    assert [round(v, 2) for v in ana] == list(CAN_VOLTS.values()) and flag == 0, (ana, flag)
    # CAN: 0x100 carries its values beside the flag's own message of the 10 ms raster.
    rows = subprocess.run(["tshark", "-r", demo.path("can.pcap"), "-T", "fields", "-e", "can.id", "-e", "data.data"],
                          capture_output=True, text=True, check=True).stdout.split()
    sent = {}
    for ident, data in zip(rows[0::2], rows[1::2]):
        sent.setdefault(int(ident), []).append(data)
    assert sent[0x100][-1][:12] == "9001f401640c" and sent[0x102][-1] == "00", (sent[0x100][-3:], sent[0x102][-3:])
    assert "0x7C0E44 of PID 0x25 holds 1 bytes, read as 4" in "\n".join(demo.out)
