"""The demo unit, set up as scripts/demo sets it up but in stepped time: its value boxes show what
its analog inputs give through each box's rule. A second copy of the demo, whose boxes show
constants instead, draws the expected text in the unit's own fonts."""
import os
import re
import shutil
import struct
import tempfile

import pytest

from conftest import ROOT, Process, default_dataset

DEMO = os.path.join(ROOT, "examples", "unit0")

# Volts on analog inputs 1 to 4, whole counts of the 12-bit converter over 5 V. Each value box:
# its page, title, rectangle and the value it shows by its rule (value = b x + c); halves round
# away from zero where the box shows a whole number or hundredths.
VOLTS = {0: 2.5, 1: 1.25, 2: 2.5, 3: 0.625}
BOXES = [
    (0, "RPM", (20, 20, 300, 110), 6250),  # 2.5 V x 2500
    (0, "GEAR", (340, 20, 120, 110), 3),  # 2.5 V, the gear table's "3"
    (0, "KM/H", (480, 20, 140, 110), 75),  # 1.25 V x 60
    (0, "LAST LAP", (20, 240, 300, 90), 46.88),  # 0.625 V x 75 s, 00:46:88
    (1, "OIL C", (360, 140, 240, 100), 75),  # 2.5 V x 30, 75.0
]
# Input 5 selects the page, 1-based and rounded: 1 V (the demo's) the first, 2 V the second.
PAGE_VOLTS = [1, 2]


def demo_copy(path, constants=None):
    """A copy of the demo unit with the build's dataset, stepped; `constants` turns the named
    boxes' inputs into constants (value = c)."""
    shutil.copytree(DEMO, path)
    os.makedirs(os.path.join(path, "run", "nvram"))
    shutil.copy(default_dataset(), os.path.join(path, "run", "nvram", "dataset.img"))
    ini = os.path.join(path, "vyn.ini")
    with open(ini) as f:
        text = f.read()
    with open(ini, "w") as f:
        f.write(re.sub(r"(?m)^time = realtime$", "time = stepped", text))
    xml = os.path.join(path, "cfg", "display.xml")
    with open(xml) as f:
        text = f.read()
    for title, value in (constants or {}).items():
        box = re.compile(r'(title="%s".*?<ChInput [^>]*?)quant_b="[^"]*" quant_c="[^"]*"' % re.escape(title), re.S)
        text, n = box.subn(r'\1quant_b="0" quant_c="%r"' % value, text, count=1)
        assert n == 1, title
    with open(xml, "w") as f:
        f.write(text)
    p = Process(path, ["0"], settings=None, dataset=False)
    p.stepped = True  # its own vyn.ini says so, which Process does not read
    return p


def region(p, rect):
    """The pixels of a rectangle of the shown frame."""
    with open(p.shm()[0], "rb") as f:
        shown = f.read()
    stride, = struct.unpack_from("<I", shown, 12)
    x, y, w, h = rect
    return b"".join(shown[64 + row * stride + 4 * x:64 + row * stride + 4 * (x + w)] for row in range(y, y + h))


@pytest.fixture
def scratch():
    """A scratch directory and the units started in it, ended and removed afterwards."""
    root = tempfile.mkdtemp(prefix="vyn-demo-")
    made = []
    yield root, made
    for p in made:
        p.kill()
        for name in p.shm():
            os.unlink(name)
    shutil.rmtree(root)


def with_reference(root, made, demo):
    """`demo` and the reference unit beside it (the boxes' values as constants), both started."""
    made.append(demo)
    ref = demo_copy(os.path.join(root, "ref"), {title: value for _, title, _, value in BOXES})
    made.append(ref)
    for p in (demo, ref):
        p.wait_started()
    return ref


def pages_shown(controls):
    """Each unit's value boxes on each page, its inputs at VOLTS and the page input at PAGE_VOLTS;
    `controls`: (unit, its control channel) each."""
    shown = {p: [] for p, _ in controls}
    for volts in PAGE_VOLTS:
        for p, ctl in controls:
            for channel, v in VOLTS.items():
                ctl.cmd("adc %d %r" % (channel, v))
            ctl.cmd("adc 4 %r" % volts)
            ctl.step(500)
            shown[p].append([region(p, rect) for _, _, rect, _ in BOXES])
    return shown


def test_the_value_boxes_show_what_the_inputs_give(scratch):
    root, made = scratch
    demo = demo_copy(os.path.join(root, "demo"))
    ref = with_reference(root, made, demo)
    with demo.control() as cd, ref.control() as cr:
        shown = pages_shown(((demo, cd), (ref, cr)))
    for i, (page, title, _, _) in enumerate(BOXES):
        # the page switched under the box: the reference frame is the page it belongs to
        assert shown[ref][page][i] != shown[ref][1 - page][i], title
        assert shown[demo][page][i] == shown[ref][page][i], title
    assert [p.stop() for p in (demo, ref)] == [0, 0]
