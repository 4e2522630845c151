#!/usr/bin/python3
# Runs the benchmarks that scripts/bench built and prints one table: goal, ours, reference, ratio
# and whether the goal is met, each reference measured in the same run. Every figure is the median
# of its repeats with their minimum and maximum beside it; a goal is met only when its worst
# repeat meets it.
#
# table.py BUILD SECONDS REPEATS: BUILD is the benchmark build of this tree, SECONDS the length of
# each timed run of the demo unit, REPEATS how often every row is measured.
#
# A row is one entry of ROWS (a Google Benchmark of BUILD by its name, and how to read its JSON
# record: ours, the reference and the ratio) or of TIMED (the demo unit's timed runs).
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def us(b):
    # The record's time per iteration in us.
    return b["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3, "s": 1e6}[b["time_unit"]]


def gbs(b, t):
    # The record's bytes moved in time t (us), in GB/s.
    return b["bytes_per_second"] * us(b) / t / 1e9


# (benchmark binary and its arguments, benchmark name prefix, goal, unit, ours, reference, ratio
# counter, goal). ours and reference read the JSON record of one repeat; the goal is (op, limit) on
# the ratio, or on ours where there is no ratio, or None. Every benchmark of the prefix counts; a
# prefix with {} is a row for each name in its place (a picture type and kind, a size), the name
# ending where the rest of the prefix follows (at the next "/" when nothing does). A benchmark
# that reports an error (a picture decoded unlike its reference) fails its row.
ROWS = [
    ("os", "BM_MutexUncontended", "OS mutex uncontended, time vs std::mutex", "ns/pair",
     lambda b: us(b) * 1000 / b["pairs"], lambda b: b["std_mutex_us"] * 1000 / b["pairs"],
     "time_vs_std_mutex", ("<=", 2)),
    ("os", "BM_Mutex16Tasks", "OS mutex, 16 tasks, time vs std::mutex", "ns/pair",
     lambda b: us(b) * 1000 / b["pairs"], lambda b: b["std_mutex_us"] * 1000 / b["pairs"],
     "time_vs_std_mutex", ("<=", 3)),
    ("gui", "BM_RectangleFill", "screen fill, speed vs memset", "us", us, lambda b: b["memset_us"],
     "speed_vs_memset", (">=", 0.8)),
    ("gui", "BM_Redraw640x480With50Objects", "640x480 redraw of 50 objects", "frames/s",
     lambda b: b["frames/s"], None, None, None),
    ("gui", "BM_Png/{}/manual_time", "PNG 640x480 {}, time vs libpng", "ms", lambda b: us(b) / 1000,
     lambda b: b["libpng_us"] / 1000, "time_vs_libpng", ("<=", 1.0)),
    ("xml", "BM_Xml/{}/", "XML layer, {} B like display.xml, speed vs expat", "ms", lambda b: us(b) / 1000,
     lambda b: b["expat_us"] / 1000, "speed_vs_expat", (">=", 0.8)),
    ("display", "BM_PageTick40Elements", "page tick p99, 40 elements and the flush, vs memset of the frame (median)",
     "us", lambda b: b["p99_us"], lambda b: b["memset_us"], "time_vs_memset", ("<=", 10)),
    ("display", "BM_PageSwitchDemoDash", "page switch of the demo dash, p99", "us", lambda b: b["p99_us"],
     None, None, None),
    ("display", "BM_PutDataPerEntry", "putData, entry of 40 floats, per value", "ns",
     lambda b: b["ns_per_value"], None, None, None),
    ("services_crypto", "BM_crc32_bsd/4096/", "CRC-32 4 KB, speed vs zlib", "GB/s", lambda b: gbs(b, us(b)),
     lambda b: gbs(b, b["zlib_us"]), "speed_vs_zlib", (">=", 0.9)),
    ("services_crypto", "BM_crc32_bsd/1048576/", "CRC-32 1 MB, speed vs zlib", "GB/s",
     lambda b: gbs(b, us(b)), lambda b: gbs(b, b["zlib_us"]), "speed_vs_zlib", (">=", 0.9)),
    ("meas --benchmark_filter=BM_MeasManCopy", "BM_MeasManCopy",
     "meas copy 100x117 values: lock hold per 1 ms pass (inf: values lost), ref: memcpy", "us",
     lambda b: b["lock_hold_s"] * 1e6 if b["data_loss"] == 0 else float("inf"), lambda b: b["memcpy_us"],
     None, ("<=", 50)),
]

# The running demo unit's XCP DAQ as bench_xcp reads it: (key of ours, key of the reference, goal,
# goal on ours).
DAQ = [
    ("lost", "ref_lost", "XCP DAQ of the unit, 16 full ODTs at 1 ms: DTOs lost (ref: plain sender)", ("<=", 0)),
    ("gaps", "ref_gaps", "XCP DAQ of the unit, 16 full ODTs at 1 ms: counter gaps (ref: the same)", ("<=", 0)),
]

# The demo unit's timed runs: (key of the measurement, goal, unit, goal on ours/reference).
TIMED = [
    ("late_p99", "1 ms raster lateness p99, vs cyclictest of the same class", "us", ("<=", 2)),
    ("late_ticks", "ticks released later than one period, vs cyclictest's late wakes", "", ("<=", 1)),
    ("late_max", "1 ms raster lateness max, vs cyclictest's", "us", None),
    ("cpu", "idle demo unit: CPU, vs a bare 1 kHz clock_nanosleep loop", "%", ("<=", 4)),
    ("switches", "idle demo unit: context switches (wake-ups), per bare-loop tick", "/s", ("<=", 5.5)),
]
# The same unit on a host that refuses it real-time priorities (default scheduling, as cyclictest
# and the bare loop beside it).
REFUSED = [
    ("late_p99", "refused real-time: 1 ms raster lateness p99, vs cyclictest", "us", ("<=", 3)),
    ("late_max", "refused real-time: 1 ms raster lateness max, vs cyclictest's", "us", None),
    ("cpu", "refused real-time: idle unit's CPU, vs the bare loop", "%", ("<=", 6)),
    ("switches", "refused real-time: idle unit's context switches, vs the bare loop", "/s", None),
]


def run_bench(command, repeats):
    # Every repeat's JSON record, by benchmark name: one process per repeat, so that no repeat
    # inherits another's state. A record with "error_occurred" carries its benchmark's error.
    records = {}
    for _ in range(repeats):
        with tempfile.NamedTemporaryFile(suffix=".json") as out:
            run = subprocess.run([*command, f"--benchmark_out={out.name}", "--benchmark_out_format=json"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            if run.returncode != 0:
                sys.exit(f"{command[0]} failed:\n{run.stderr}")
            for b in json.load(open(out.name))["benchmarks"]:
                if b.get("run_type", "iteration") == "iteration":
                    records.setdefault(b["run_name"], []).append(b)
    return records


def p99(hist, beyond, most):
    # The 99th percentile of cyclictest's histogram (-h): (us, count) pairs, and `beyond` wakes past
    # its last bucket, the latest of them `most`.
    total, seen = sum(c for _, c in hist) + beyond, 0
    for v, c in hist:
        seen += c
        if seen >= 0.99 * total:
            return float(v)
    return float(most)


def sample(pid):
    # Context switches of all the process's threads and their CPU time in seconds.
    switches, ns = 0, 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            status = open(f"/proc/{pid}/task/{tid}/status").read()
            ns += int(open(f"/proc/{pid}/task/{tid}/schedstat").read().split()[0])
        except OSError:
            continue
        switches += sum(int(n) for n in re.findall(r"(?m)^(?:non)?voluntary_ctxt_switches:\s+(\d+)", status))
    return switches, ns / 1e9


class Unit:
    # The demo unit as scripts/demo starts it, in a directory of its own, on ports of its own,
    # without the PNG snapshot that stands in for a viewer where there is no X display.

    def __init__(self, root, build):
        self.dir = os.path.join(root, "unit0")
        self.build = build
        self.binary = os.path.join(build, "vyn")
        shutil.copytree(os.path.join(ROOT, "examples", "unit0"), self.dir)
        os.makedirs(os.path.join(self.dir, "run", "nvram"), exist_ok=True)
        shutil.copy(os.path.join(build, "dataset", "dataset.img"), os.path.join(self.dir, "run", "nvram"))
        ini = open(os.path.join(self.dir, "vyn.ini")).read()
        for key, value in (("xcp_port", "5600"), ("bc2_port_offset", "200")):
            ini = re.sub(rf"(?m)^{key} = .*$", f"{key} = {value}", ini)
        open(os.path.join(self.dir, "vyn.ini"), "w").write(ini)
        self.out = self.dir + ".out"

    def start(self, prefix=(), traced=False):
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen([*prefix, self.binary, "0"], cwd=self.dir, stdout=out,
                                         stderr=subprocess.STDOUT, env=dict(os.environ, VYN_UNIT_DIR=self.dir))
        deadline = time.monotonic() + 60
        while b"Startup vyn: took" not in open(self.out, "rb").read():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"no start-up report, see {self.out}")
            time.sleep(0.1)
        # under strace, the unit is the tracer's child
        self.pid = self.proc.pid if not traced else int(
            open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read().split()[0])

    def erase(self):
        # A first start again: the unit's run directory with the stored dataset only.
        shutil.rmtree(os.path.join(self.dir, "run"))
        os.makedirs(os.path.join(self.dir, "run", "nvram"))
        shutil.copy(os.path.join(self.build, "dataset", "dataset.img"), os.path.join(self.dir, "run", "nvram"))

    def realtime(self):
        asked = re.search(r"(?m)^realtime_priorities = 1", open(os.path.join(self.dir, "vyn.ini")).read())
        return bool(asked) and b"does not permit real-time scheduling" not in open(self.out, "rb").read()

    def control(self, line):
        return subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "vynctl.py"), "-d", self.dir,
                               *line.split()], capture_output=True, text=True).stdout.strip()

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGTERM)  # the ignition off: an orderly shutdown
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.proc.wait()


def first_boot_syncs(unit):
    # Syncs of the start-up thread from a start on an erased store to the start-up report (the
    # tasks after it store their own elements and the life-time counter, not the store's repair).
    unit.erase()
    log = unit.dir + ".strace"
    unit.start(["strace", "-f", "-qq", "--seccomp-bpf", "-o", log, "-e",
                "trace=fsync,fdatasync,syncfs,sync,sync_file_range,msync"], traced=True)
    count = sum(1 for line in open(log) if line.split()[:1] == [str(unit.pid)] and
                re.search(r"\b(fsync|fdatasync|syncfs|sync|sync_file_range|msync)\(", line))
    unit.stop()
    return count


def timed(unit, loop, seconds, repeats, refused=False):
    # Per repeat: the unit's 1 ms raster beside cyclictest of its scheduling class, and the idle
    # unit beside the bare 1 kHz loop, all at the same time. `refused`: the unit may not raise its
    # priorities (no CAP_SYS_NICE, no RLIMIT_RTPRIO), as on a host that refuses them.
    unit.start(["setpriv", "--bounding-set=-sys_nice", "--inh-caps=-sys_nice", "--",
                "prlimit", "--rtprio=0", "--"] if refused else ())
    rt = unit.realtime()
    # r_r1ms's host priority (29 of 0..255 onto 97..1), as the unit's OS layer maps it
    cls = ["chrt", "-f", "87"] if rt else []
    if not rt and not refused:
        print("the unit runs without real-time priorities: default scheduling throughout", file=sys.stderr)
    time.sleep(5)  # past the start-up's own work
    runs = []
    try:
        for _ in range(repeats):
            with tempfile.NamedTemporaryFile("r", suffix=".cyc") as cyc:
                unit.control("late r_r1ms")
                bare = subprocess.Popen([*cls, loop, str(seconds * 1000)], stdout=subprocess.PIPE, text=True)
                tester = subprocess.Popen(["cyclictest", "-q", "-m", *(["-p", "87"] if rt else []), "-t1",
                                           "-i1000", f"-D{seconds}", "-h20000"], stdout=cyc)
                u0, t0 = sample(unit.pid), time.monotonic()
                bare_switches, bare_cpu = map(float, bare.communicate()[0].split())
                u1, dt = sample(unit.pid), time.monotonic() - t0
                tester.wait()
                late = unit.control("late r_r1ms").split()
                cyc.seek(0)  # cyclictest wrote through the same open file
                out = cyc.read()
            hist = [tuple(map(int, ln.split())) for ln in out.splitlines() if re.match(r"^\d+ \d+$", ln)]
            summary = dict(re.findall(r"(?m)^# (Max Latencies|Histogram Overflows): (\d+)", out))
            if late[:1] != ["ok"] or not hist or len(summary) != 2:
                sys.exit(f"no lateness figures: {late} / cyclictest {len(hist)} buckets")
            beyond, most = int(summary["Histogram Overflows"]), int(summary["Max Latencies"])
            runs.append({
                "late_p99": (float(late[3]), p99(hist, beyond, most)),
                "late_ticks": (int(late[5]), sum(c for v, c in hist if v > 1000) + beyond),
                "late_max": (float(late[4]), float(most)),
                "cpu": (100 * (u1[1] - u0[1]) / dt, 100 * bare_cpu / seconds),
                "switches": ((u1[0] - u0[0]) / dt, bare_switches / seconds),
            })
    finally:
        unit.stop()
    return runs


def xcp_daq(unit, master, seconds, repeats):
    # Per repeat: bench_xcp as the unit's XCP tool for SECONDS, one DAQ list of 16 full ODTs on the
    # 1 ms event, beside its plain sender of the same datagrams; the unit idle in between.
    ini = open(os.path.join(unit.dir, "vyn.ini")).read()
    port, pid = (re.search(rf"(?m)^{key} = (\S+)", ini).group(1) for key in ("xcp_port", "pid"))
    unit.start()
    rt = unit.realtime()
    time.sleep(5)  # past the start-up's own work
    # The tool is another machine: it keeps off the processor of the unit's tasks.
    cpus = set(os.sched_getaffinity(0))
    for tid in os.listdir(f"/proc/{unit.pid}/task"):
        if open(f"/proc/{unit.pid}/task/{tid}/comm").read().strip() == "r_r1ms" and len(cpus) > 1:
            cpus -= os.sched_getaffinity(int(tid))
    runs = []
    try:
        for _ in range(repeats):
            run = subprocess.run([master, port, pid, str(seconds), *(["rt"] if rt else [])],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=seconds + 60,
                                 preexec_fn=lambda: os.sched_setaffinity(0, cpus or os.sched_getaffinity(0)))
            if run.returncode != 0:
                sys.exit(f"bench_xcp failed:\n{run.stderr}")
            runs.append(json.loads(run.stdout))
    finally:
        unit.stop()
    return runs


def spread(values, fmt):
    if not values:
        return "-"
    med = statistics.median(values)
    if len(values) == 1 or min(values) == max(values):
        return fmt(med)
    return f"{fmt(med)} [{fmt(min(values))}-{fmt(max(values))}]"


def met(values, goal):
    # The worst repeat against the goal.
    if not goal or not values:
        return "-"
    op, limit = goal
    return "yes" if (max(values) <= limit if op == "<=" else min(values) >= limit) else "NO"


def main():
    build, seconds, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    table = []

    # A row; its goal holds for the ratios, or for ours where it has none.
    def add(goal, unit, ours, refs, ratios, limit):
        num = lambda v: f"{v:.3g}"
        text = f"{goal} {limit[0]} {limit[1]}" if limit else goal
        table.append((text, spread(ours, num) + (f" {unit}" if unit else ""), spread(refs, num),
                      spread(ratios, lambda v: f"{v:.2f}"), met(ratios or ours, limit)))

    print("benchmarks ...", file=sys.stderr)
    cache = {}
    for binary, name, goal, unit, ours, ref, ratio, limit in ROWS:
        if binary not in cache:
            exe, *args = binary.split()
            cache[binary] = run_bench([os.path.join(build, "bench", exe.split("_")[0], f"bench_{exe}"), *args],
                                      repeats)
        head, _, rest = name.partition("{}")
        keys = dict.fromkeys(k[len(head):].partition(rest or "/")[0] for k in cache[binary] if k.startswith(head))
        for key in keys if "{}" in name else [""]:
            recs = [b for k, v in cache[binary].items() if k.startswith(name.format(key)) for b in v]
            errors = dict.fromkeys(b.get("error_message", "error") for b in recs if b.get("error_occurred"))
            if errors:
                table.append((goal.format(key), "; ".join(errors), "-", "-", "NO"))
                continue
            add(goal.format(key), unit, [ours(b) for b in recs], [ref(b) for b in recs] if ref else [],
                [b[ratio] for b in recs] if ratio else [], limit)

    root = tempfile.mkdtemp(prefix="vyn-bench-")
    try:
        unit = Unit(root, build)
        if shutil.which("strace"):
            print(f"first boot of the demo unit, {repeats} x ...", file=sys.stderr)
            add("first boot: syncs", "", [first_boot_syncs(unit) for _ in range(repeats)], [], [], ("<=", 2))
        print(f"the demo unit, {repeats} x {seconds} s ...", file=sys.stderr)
        unit.erase()
        if shutil.which("cyclictest"):
            runs = timed(unit, os.path.join(build, "bench", "raster", "bench_raster"), seconds, repeats)
            refused = timed(unit, os.path.join(build, "bench", "raster", "bench_raster"), seconds, repeats, True)
            for rows, got in ((TIMED, runs), (REFUSED, refused)):
                for key, goal, u, limit in rows:
                    pairs = [r[key] for r in got]
                    ratios = [o / r if r else (1.0 if o == 0 else float("inf")) for o, r in pairs]
                    add(goal, u, [o for o, _ in pairs], [r for _, r in pairs], ratios, limit)
        else:
            add("the demo unit's timed rows (rt-tests not installed)", "", [], [], [], None)
        print(f"the demo unit's XCP DAQ, {repeats} x {seconds} s ...", file=sys.stderr)
        daq = xcp_daq(unit, os.path.join(build, "bench", "xcp", "bench_xcp"), seconds, repeats)
        for ours, ref, goal, limit in DAQ:
            add(goal, "", [r[ours] for r in daq], [r[ref] for r in daq], [], limit)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    head = ("goal", "ours", "reference", "ratio", "met")
    widths = [max(len(r[i]) for r in table + [head]) for i in range(5)]
    line = lambda r: "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
    print(line(head))
    print("  ".join("-" * w for w in widths))
    for r in table:
        print(line(r))


if __name__ == "__main__":
    main()
