"""Several units on one machine: two vyn processes and a scripted peer, each in a network
namespace of its own on one bridge, find each other, connect and exchange commands; what they
put on the wire is checked on the bridge."""
import struct

import pytest

import netns
from conftest import end, patched_dataset, scripted_peer, signals, wait_signal

UNITS = {0x21: 3, 0x22: 4}  # PID: host number
PEER_PID = 0x29


def settings(pid, host):
    return f"[unit]\npid = {pid:#x}\nipv4 = {netns.NET}{host}\nall_pids = {pid:#x}\n"


# The peer connects in: 516 is told by its source port, 512 (56-byte packets) by its address
# alone, 517 by the listen socket it connects to (offset 100: the second). One of 517 with
# offset 200 and a lower address than the units' takes their connections on its own ports.
@pytest.mark.parametrize("variant,peer_host", [("516", 9), ("512", 9), ("517/100", 9), ("517/200/passive", 2)])
def test_two_units_and_a_scripted_peer(unit, net, variant, peer_host):
    version, offset = int(variant.split("/")[0]), int((variant + "/0").split("/")[1])
    hosts = {pid: net.host(h) for pid, h in UNITS.items()}
    peer = net.host(peer_host)
    frames = net.capture(120)
    units = {pid: unit(["0"], settings(pid, UNITS[pid]), name=f"u{pid:x}", prefix=hosts[pid].prefix())
             for pid in UNITS}
    for pid, p in units.items():
        for other in UNITS:
            if other != pid:
                for ch in ("CI", "DK"):
                    p.wait_for(f"{ch} channel to PID 0x{other:X} established", 30)
    seen = scripted_peer(peer, peer.address, PEER_PID, variant, *(f"{netns.NET}{h}:{p:#x}" for p, h in UNITS.items()))
    wire = frames()
    assert end(*units.values()) == [0, 0]

    text = {pid: "\n".join(p.out) for pid, p in units.items()}
    assert seen["heard_by_all"]
    # a broadcast is served once by each unit; the echo comes back turned round
    assert seen["version_replies"] == sorted(UNITS)
    assert seen["echo"] == [[0x21, PEER_PID, 0x22222222, 0x11111111, b"abc".hex()]]
    assert seen["routing"] == [[0, 0x33333333]]
    # forged context words and an unknown code cost no channel; a restart costs both
    assert seen["closed_before_reset"] == []
    assert seen["closed_after_reset"] == sorted(UNITS)
    for pid in UNITS:
        assert f"Basecom2: Reset detected on PID 0x{PEER_PID:X}" in text[pid]

    addresses = {f"{netns.NET}{h}" for h in UNITS.values()}
    presence = [(d, p) for s, d, port, p in netns.udp(wire) if s in addresses and port == 9850]
    assert presence and all(d == "239.239.239.200" and len(p) == 60 and p[56:58] == struct.pack("!H", 517)
                            for d, p in presence)
    segments = list(netns.tcp(wire))
    # what the units send carries DSCP 4 (resets the kernel sends for closed sockets do not)
    unit_segments = [s for s in segments if s[0] in addresses and s[5]]
    assert unit_segments and all(tos >> 2 == 4 for _, _, _, _, tos, _ in unit_segments)
    # the one with the greater address connects to the other's CI and DK listen ports: a unit of
    # 517 to the peer's own, the peer of 517 to the unit's socket of its offset
    ua, ub = (f"{netns.NET}{h}" for h in UNITS.values())
    syns = {(s, d, dport) for s, d, _, dport, _, _ in segments}
    assert {(ub, ua, 9860), (ub, ua, 9861)} <= syns
    if "passive" in variant:
        assert {(u, peer.address, port) for u in addresses for port in (9860 + offset, 9861 + offset)} <= syns
    elif version == 517:
        assert {(peer.address, u, port) for u in addresses for port in (9880, 9881)} <= syns
    # the version replies went on the peer's command channel
    assert any(dport in seen["ci_ports"] for s, d, _, dport, _, p in segments if d == peer.address and p)
    mc = [(d, port) for s, d, port, _ in netns.udp(wire) if port == 9870]
    assert mc and all(d == "239.239.239.201" for d, _ in mc)


def test_two_units_on_one_loopback(unit):
    """Two units on 127.0.0.1 and 127.0.0.2 of the test's own loopback: no bridge, no namespace of
    their own; they find each other and make both channels."""
    if netns.available():
        pytest.skip(netns.available())
    ends = {0x21: "127.0.0.1", 0x22: "127.0.0.2"}
    units = {pid: unit(["0"], f"[unit]\npid = {pid:#x}\nipv4 = {a}\nall_pids = {pid:#x}\nxcp_port = {5500 + pid}\n",
                       name=f"u{pid:x}") for pid, a in ends.items()}
    for pid, p in units.items():
        other = 0x21 + 0x22 - pid
        for ch in ("CI", "DK"):
            p.wait_for(f"{ch} channel to PID 0x{other:X} established", 30)
    assert end(*units.values()) == [0, 0]


def pinging_dataset(peer):
    """The default dataset with the diagnostics watching (MSDCOM_DBG_PID_1) and pinging `peer` every
    10 ms (MSDCOM_DBG_PING_PID, MSDCOM_DBG_PING_FREQ)."""
    return patched_dataset((0x10710, bytes([peer])), (0x10712, bytes([peer, 2])))


def messages(segments, src, dst):
    """(time order, code, context words, payload) of the command messages in TCP segments from
    `src` to `dst` that each begin with a message."""
    out = []
    for s, d, _, _, _, p in segments:
        while s == src and d == dst and len(p) >= 20:
            length, = struct.unpack_from("!H", p, 2)
            ctx1, ctx2, code = struct.unpack_from("!IIH", p, 8)
            out.append((code, ctx1, ctx2, p[20:20 + length]))
            p = p[20 + length:]
    return out


def ping(payload):
    """The ping a request or an echo names: its slot and loop as one running number."""
    slot, loop = struct.unpack_from("!HH", payload, 4)
    return slot + 100 * loop


def message_runs(frames, src, dst):
    """The command messages from `src` to `dst` as `messages` gives them, in runs of segments that
    follow one another in their connection's byte stream: a frame the capture missed (a loaded host
    drops some) starts a new run, a retransmission of bytes already seen is left out."""
    runs, ends = [], {}
    for s, d, sport, dport, seq, p in netns.tcp_segments(frames):
        if s != src or d != dst or not p:
            continue
        key = (sport, dport)
        if key in ends and seq != ends[key] and (seq - ends[key]) % 2**32 >= 2**31:
            continue
        if key not in ends or seq != ends[key]:
            runs.append((key, []))
        ends[key] = (seq + len(p)) % 2**32
        next(r for k, r in reversed(runs) if k == key).extend(messages([(s, d, sport, dport, 0, p)], src, dst))
    return [r for _, r in runs]


def whole(frames, src, dst):
    """The command messages from `src` to `dst` as `messages` gives them, when the capture holds
    their one connection's byte stream whole from its first byte (the one after the SYN); else
    None."""
    syns, first = set(), {}
    for s, d, sport, dport, seq, p in netns.tcp_segments(frames):
        if (s, d) == (src, dst) and p:
            first.setdefault((sport, dport), seq)
        elif (s, d) == (src, dst):
            syns.add((sport, dport, (seq + 1) % 2**32))
    runs = message_runs(frames, src, dst)
    if len(first) != 1 or len(runs) != 1:
        return None
    (key, seq), = first.items()
    return runs[0] if (*key, seq) in syns else None


def test_a_unit_pings_another_that_stops_and_starts_again(unit, net):
    hosts = {pid: net.host(h) for pid, h in UNITS.items()}
    frames = net.capture(120)
    start_b = lambda: unit(["0"], settings(0x22, UNITS[0x22]), name="b", prefix=hosts[0x22].prefix())
    a = unit(["0"], settings(0x21, UNITS[0x21]), dataset=pinging_dataset(0x22), name="a", prefix=hosts[0x21].prefix())
    b = start_b()
    # B answers 60 pings, however slowly a loaded host lets A send them (A counts the answers)
    answered = signals(hosts[0x21], 0x21, "msdcom_dbg_ping_cnt")[0]
    wait_signal(hosts[0x21], 0x21, "msdcom_dbg_ping_cnt", lambda n: n >= answered + 60)
    assert b.end() == 0
    first = frames()
    frames = net.capture(120)
    b = start_b()
    answered = signals(hosts[0x21], 0x21, "msdcom_dbg_ping_cnt")[0]
    wait_signal(hosts[0x21], 0x21, "msdcom_dbg_ping_cnt", lambda n: n >= answered + 60)
    assert end(a, b) == [0, 0]
    second = frames()

    ua, ub = (f"{netns.NET}{h}" for h in UNITS.values())
    for wire in (first, second):
        segments = list(netns.tcp(wire))
        pings = [m for m in messages(segments, ua, ub) if m[0] == 0x0105]
        echoes = [m for m in messages(segments, ub, ua) if m[0] == 0x0106]
        # every 10 ms an 8-byte request: send time, slot, loop; the echo returns it with the
        # context words turned round, so the answer routine named in word 1 comes back in word 2
        assert len(pings) > 50 and all(len(p) == 8 and ctx2 == 0 for _, _, ctx2, p in pings)
        # one slot after the other, wherever the capture holds the pings' stream without a gap
        slots = []
        for run in message_runs(wire, ua, ub):
            sent = [struct.unpack_from("!HH", p, 4) for code, *_, p in run if code == 0x0105]
            slots += zip(sent, sent[1:])
        assert len(slots) > 50 and all((s1 + 100 * l1) - (s0 + 100 * l0) == 1 for (s0, l0), (s1, l1) in slots), slots
        # B answers every ping it reads, in turn, until it stops: wherever the capture holds the
        # echoes' stream without a gap, they answer one slot after the other. How many pings were
        # on their way when it stopped is a matter of the host's pace, not of the unit.
        answered = [[ping(p) for code, *_, p in run if code == 0x0106] for run in message_runs(wire, ub, ua)]
        assert all(b - a == 1 for run in answered for a, b in zip(run, run[1:])), answered
        assert sum(answered, []) == sorted(sum(answered, [])), answered
        # each echo of a ping the capture holds returns its payload and its answer routine
        sent = {ping(p): (ctx1, p) for _, ctx1, _, p in pings}
        assert len(echoes) > 50 and all(sent.get(ping(p), (ctx2, p)) == (ctx2, p) for _, _, ctx2, p in echoes)
        # B serves A's commands in turn: once it answered A's n-th state query, it had answered
        # every ping A sent before that query (where the capture holds both streams whole)
        requests, answers = whole(wire, ua, ub), whole(wire, ub, ua)
        if requests is not None and answers is not None:
            served = [i for i, (code, *_) in enumerate(requests) if code == 0x0516][:sum(
                code == 0x0517 for code, *_ in answers)]
            before = {ping(p) for code, *_, p in requests[:served[-1] if served else 0] if code == 0x0105}
            assert before <= {ping(p) for code, *_, p in answers if code == 0x0106}, (before, answers)


def test_a_peer_back_from_offline_is_granted_its_paths_again(unit, net):
    """A peer holds as many paths as the unit grants it and goes offline: what they held is freed,
    and once back it is granted paths again."""
    host, peer = net.host(UNITS[0x21]), net.host(9)
    u = unit(["0"], settings(0x21, UNITS[0x21]), prefix=host.prefix())
    u.wait_for("BC2_eth_ini(): Initialisation finished", 30)
    seen = scripted_peer(peer, "paths", peer.address, PEER_PID, 517, f"{host.address}:0x21")
    assert end(u) == [0]
    assert seen["first"] == 128
    assert seen["dropped"] and seen["heard_again"]
    assert seen["again"] == 5
    assert f"Host PID 0x{PEER_PID:X} is Offline" in "\n".join(u.out)
