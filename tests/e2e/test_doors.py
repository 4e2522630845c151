"""What a second unit, a signal or a misbehaving control client can do to a running unit."""
import os
import resource
import signal
import socket

STEPPED = "[platform]\ntime = stepped\n"


def read(p, name, mode="r"):
    with open(p.path(name), mode) as f:
        return f.read()


def test_a_second_unit_is_refused_and_touches_nothing(unit):
    a = unit(["0"], STEPPED, name="a")
    a.wait_started()
    log, store = read(a, "vyn.log"), read(a, "nvram/nvram.img", "rb")
    same_dir = unit(["0"], None, dataset=False, name="a")
    same_store = unit(["1"], STEPPED + "[unit]\nnvram_dir = %s\n" % a.path("nvram"), name="b")
    for p, reason in ((same_dir, "another unit is running"), (same_store, "in use by another unit")):
        assert p.finish(limit=30) == 70 and reason in "\n".join(p.out)
    assert same_store.shm() == []
    assert read(a, "vyn.log").startswith(log) and read(a, "nvram/nvram.img", "rb") == store
    # the same index in another directory runs beside it, on a frame of its own
    c = unit(["0"], STEPPED, name="c")
    c.wait_started()
    assert c.stop() == 0 and c.shm() == [] and len(a.shm()) == 1
    assert a.stop() == 0 and a.shm() == []


def test_signals_switch_the_ignition_off(unit):
    p, q = unit(["0"], name="realtime"), unit(["0"], STEPPED, name="stepped")
    p.wait_started()
    p.proc.send_signal(signal.SIGINT)
    assert p.finish() == 0 and p.shm() == []
    assert read(p, "vyn.log").rstrip().endswith("Main: Shutdown ended, exiting smoothly")
    # a second one ends the unit at once, here while its shutdown waits for ticks
    q.wait_started()
    for text in ("Startup vyn: took", "rtpShutdown(): starting RTP shutdown routine"):
        q.wait_for(text)
        assert len(q.shm()) == 1
        q.proc.send_signal(signal.SIGTERM)
    assert q.finish(limit=30) == -signal.SIGTERM and q.shm() == []


def test_control_clients_cannot_hold_the_unit(unit):
    p = unit(["0"], STEPPED)
    p.wait_started()
    deaf = socket.socket(socket.AF_UNIX)  # sends commands, never reads a reply
    deaf.connect(p.path("vyn.ctl"))
    deaf.setblocking(False)
    try:
        while True:
            deaf.send(b"ticks\n" * 4096)
    except BlockingIOError:
        pass
    with p.control() as ctl:
        assert [ctl.raw(line)[:6] for line in (" \t", "step 1000000000")] == ["error "] * 2
    # a flood of clients, with few descriptors left
    limits = resource.prlimit(p.proc.pid, resource.RLIMIT_NOFILE)
    used = len(os.listdir(f"/proc/{p.proc.pid}/fd"))
    resource.prlimit(p.proc.pid, resource.RLIMIT_NOFILE, (used + 16, limits[1]))  # below the 16-client cap
    flood, replies = [], []
    for _ in range(40):
        flood.append(p.control())
        replies.append(flood[-1].raw("ticks"))
    assert replies[0].startswith("ok "), replies  # served while descriptors last
    assert all(r.startswith("error too many connections") for r in replies[20:]), replies
    with p.control() as ctl:  # the way to shut it down stays open
        ctl.postrun()
    resource.prlimit(p.proc.pid, resource.RLIMIT_NOFILE, limits)
    for c in flood:
        c.close()
    assert p.stop() == 0 and p.shm() == []
