#!/usr/bin/python3
"""Runs the benchmarks that scripts/bench built and prints one table: goal, ours, reference, ratio
and whether the goal is met, each reference measured in the same run.

table.py BUILD BASE SECONDS: BUILD is the benchmark build of this tree, BASE the folder with the
unit built from the commit before the performance work (vyn, dataset.img, unit0/), SECONDS the
length of each timed run (ticks, idle units).
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_bench(exe, *args):
    """The benchmark's runs by name, from its JSON output."""
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        run = subprocess.run([exe, f"--benchmark_out={out.name}", "--benchmark_out_format=json", *args],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if run.returncode != 0:
            sys.exit(f"{exe} failed:\n{run.stderr}")
        return {b["name"]: b for b in json.load(open(out.name))["benchmarks"]}


def find(runs, prefix):
    return next(v for k, v in runs.items() if k.startswith(prefix))


def us(run):
    """The run's time per iteration in µs."""
    return run["real_time"] * {"ns": 1e-3, "us": 1, "ms": 1e3, "s": 1e6}[run["time_unit"]]


def cyclictest_p99(seconds):
    """p99 of cyclictest's 1 ms loop in µs (default scheduling, as the unit's), or None."""
    if not shutil.which("cyclictest"):
        return None
    out = subprocess.run(["cyclictest", "-q", "-t1", "-i1000", f"-D{seconds}", "-h20000"],
                         capture_output=True, text=True).stdout
    hist = [tuple(map(int, line.split())) for line in out.splitlines() if re.match(r"^\d+ \d+$", line)]
    total = sum(c for _, c in hist)
    if not total:
        return None
    seen = 0
    for us, c in hist:
        seen += c
        if seen >= 0.99 * total:
            return float(us)
    return None


class Unit:
    """One unit in a directory of its own, on 127.0.0.1 with ports of its own."""

    def __init__(self, root, name, binary, dataset, example, port):
        self.dir = os.path.join(root, name)
        self.binary = binary
        shutil.copytree(example, self.dir)
        os.makedirs(os.path.join(self.dir, "run", "nvram"), exist_ok=True)
        shutil.copy(dataset, os.path.join(self.dir, "run", "nvram", "dataset.img"))
        ini = open(os.path.join(self.dir, "vyn.ini")).read()
        for key, value in (("ipv4", "127.0.0.1"), ("xcp_port", str(5600 + port)),
                           ("bc2_port_offset", str(200 + 100 * port)), ("time", "realtime")):
            ini = re.sub(rf"(?m)^{key} = .*$", f"{key} = {value}", ini)
        open(os.path.join(self.dir, "vyn.ini"), "w").write(ini)
        self.proc = None

    def start(self, prefix=()):
        self.traced = bool(prefix)
        self.out = self.dir + ".out"
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen([*prefix, self.binary, "0"], cwd=self.dir, stdout=out,
                                         stderr=subprocess.STDOUT, env=dict(os.environ, VYN_UNIT_DIR=self.dir))

    def wait_started(self, limit=60):
        deadline = time.monotonic() + limit
        while b"Startup vyn: took" not in open(self.out, "rb").read():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"{self.dir}: no start-up report, see {self.out}")
            time.sleep(0.1)
        self.upid = self.pid()

    def pid(self):
        """The unit's process: the started one, or its child when it runs under strace."""
        if not self.traced:
            return self.proc.pid
        return int(open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children").read().split()[0])

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.upid, signal.SIGTERM)  # the ignition off: an orderly shutdown
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                os.kill(self.upid, signal.SIGKILL)
                self.proc.wait()


def sample(pid):
    """Context switches of all the process's threads and its CPU time in seconds."""
    switches = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            status = open(f"/proc/{pid}/task/{tid}/status").read()
        except OSError:
            continue
        switches += sum(int(n) for n in re.findall(r"(?m)^(?:non)?voluntary_ctxt_switches:\s+(\d+)", status))
    stat = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return switches, (int(stat[11]) + int(stat[12])) / os.sysconf("SC_CLK_TCK")


def first_boot_syncs(unit):
    """Syncs the unit makes from its start on an erased store to its start-up report."""
    log = unit.dir + ".strace"
    unit.start(["strace", "-f", "-qq", "--seccomp-bpf", "-o", log, "-e",
                "trace=fsync,fdatasync,syncfs,sync,sync_file_range,msync"])
    unit.wait_started()
    # Only the start-up thread's (the process's main thread): the tasks that run after it store
    # their own elements and the life-time counter every second, which is not the store's repair.
    main = str(unit.upid)
    count = sum(1 for line in open(log) if line.split()[:1] == [main] and
                re.search(r"\b(fsync|fdatasync|syncfs|sync|sync_file_range|msync)\(", line))
    unit.stop()
    return count


def idle(units, seconds):
    """CPU use (% of one CPU) and context switches per 1 ms tick of units running side by side."""
    for u in units:
        u.start()
    for u in units:
        u.wait_started()
    time.sleep(5)  # past the start-up's own work
    pids = [u.upid for u in units]
    before = [sample(p) for p in pids]
    t0 = time.monotonic()
    time.sleep(seconds)
    after = [sample(p) for p in pids]
    dt = time.monotonic() - t0
    for u in units:
        u.stop()
    return [(100 * (a[1] - b[1]) / dt, (a[0] - b[0]) / (dt * 1000)) for a, b in zip(after, before)]


def main():
    build, base, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rows = []

    def row(goal, ours, ref, ratio, met, unit=""):
        fmt = lambda v: "-" if v is None else (f"{v:.3g}{unit}" if isinstance(v, float) else f"{v}{unit}")
        rows.append((goal, fmt(ours), fmt(ref), "-" if ratio is None else f"{ratio:.2f}",
                     "-" if met is None else ("yes" if met else "NO")))

    bench = lambda name, folder=None: os.path.join(build, "bench", folder or name, f"bench_{name}")
    print(f"ticks: {seconds} s of real time per measurement ...", file=sys.stderr)
    r = run_bench(bench("raster"), f"--duration={seconds}")
    tick, host = find(r, "BM_BaseTickToR1msBody"), find(r, "BM_HostTimer1ms")
    cyc = cyclictest_p99(seconds)
    p99 = tick["p99_us"]
    row("ticks: r1ms p99 late vs host 1 ms loop <= 1.5x", p99, host["p99_us"], p99 / host["p99_us"],
        p99 <= 1.5 * host["p99_us"], " us")
    if cyc:
        row("ticks: r1ms p99 late vs cyclictest <= 1.5x", p99, cyc, p99 / cyc, p99 <= 1.5 * cyc, " us")
    else:
        row("ticks: vs cyclictest (rt-tests not installed)", None, None, None, None)
    row(f"ticks lost in {seconds} s = 0", int(tick["ticks_lost"]), 0, None, tick["ticks_lost"] == 0)

    print("OS-layer mutex, screen, PNG, CRC-32 ...", file=sys.stderr)
    r = run_bench(bench("os"))
    for name, goal, limit in (("BM_MutexUncontended", "mutex uncontended vs std::mutex <= 2x", 2),
                              ("BM_Mutex16Tasks", "mutex 16 tasks vs std::mutex <= 3x", 3)):
        b = find(r, name)
        ns = 1000 / b["pairs"]
        row(goal, us(b) * ns, b["std_mutex_us"] * ns, b["time_vs_std_mutex"], b["time_vs_std_mutex"] <= limit,
            " ns/pair")
    r = run_bench(bench("gui"))
    b = find(r, "BM_RectangleFill")
    row("screen fill vs memset >= 0.8x speed", us(b), b["memset_us"], b["speed_vs_memset"],
        b["speed_vs_memset"] >= 0.8, " us")
    b = find(r, "BM_Redraw640x480With50Objects")
    row("640x480 redraw of 50 objects (frames/s)", round(b["frames/s"]), None, None, None)
    for kind in dict.fromkeys(k.split("/")[1] for k in r if k.startswith("BM_Png/")):  # the slower picture
        b = max((v for k, v in r.items() if k.startswith(f"BM_Png/{kind}/")), key=lambda v: v["time_vs_libpng"])
        row(f"PNG 640x480 {kind} vs libpng <= 1.0x time", us(b) / 1000, b["libpng_us"] / 1000,
            b["time_vs_libpng"], b["time_vs_libpng"] <= 1.0, " ms")
    for b in (v for k, v in run_bench(bench("xml")).items() if k.startswith("BM_Xml/")):
        row(f"XML layer, {b['name'].split('/')[1]} B like display.xml, vs expat >= 0.8x speed", us(b) / 1000,
            b["expat_us"] / 1000, b["speed_vs_expat"], b["speed_vs_expat"] >= 0.8, " ms")
    r = run_bench(bench("display"))
    b = find(r, "BM_PageTick40Elements")
    row("page tick p99, 40 elements, of 50 ms <= 0.1 (ref: memset)", b["p99_us"], b["memset_p99_us"],
        b["p99_of_tick"], b["p99_of_tick"] <= 0.1, " us")
    b = find(r, "BM_PageSwitchDemoDash")
    row("page switch of the demo dash, p99", b["p99_us"], None, b["p99_of_tick"], None, " us")
    b = find(r, "BM_PutDataPerEntry")
    row("putData, entry of 40 floats, vs memcpy", us(b), b["copy_us"], b["time_vs_copy"], None, " us")
    r = run_bench(bench("services_crypto", "services"))
    for size, label in ((4096, "4 KB"), (1 << 20, "1 MB")):
        b = find(r, f"BM_crc32_bsd/{size}/")
        gbs = lambda t: b["bytes_per_second"] / 1e9 * us(b) / t  # the same bytes in time t
        row(f"CRC-32 {label} vs zlib >= 0.5x speed", gbs(us(b)), gbs(b["zlib_us"]), b["speed_vs_zlib"],
            b["speed_vs_zlib"] >= 0.5, " GB/s")

    r = run_bench(bench("meas"), "--benchmark_filter=BM_MeasManCopy")
    b = find(r, "BM_MeasManCopy")
    hold = b["lock_hold_s"] * 1e6
    row("meas copy 100x117 values: lock <= 5% of 1 ms, 0 lost (ref: memcpy)", hold, b["memcpy_us"],
        hold / b["memcpy_us"], hold <= 50 and b["data_loss"] == 0, " us")

    print(f"XCP DAQ for {seconds} s ...", file=sys.stderr)
    os.environ["VYN_XCP_BENCH_SECONDS"] = str(seconds)
    b = find(run_bench(bench("xcp")), "BM_Daq1ms16FullOdts")
    row("XCP DAQ 1 ms, 16 full ODTs: DTOs lost = 0 (ref: same sends)", int(b["DTOs_lost"]),
        int(b["ref_DTOs_lost"]), None, b["DTOs_lost"] == 0)

    root = tempfile.mkdtemp(prefix="vyn-bench-")
    try:
        ours = Unit(root, "ours", os.path.join(build, "vyn"), os.path.join(build, "dataset", "dataset.img"),
                    os.path.join(ROOT, "examples", "unit0"), 0)
        before = Unit(root, "base", os.path.join(base, "vyn"), os.path.join(base, "dataset.img"),
                      os.path.join(base, "unit0"), 1)
        if shutil.which("strace"):
            print("first boot of both units ...", file=sys.stderr)
            s_ours, s_base = first_boot_syncs(ours), first_boot_syncs(before)
            row("first boot: syncs (counted) <= 2", s_ours, s_base, s_ours / s_base if s_base else None, s_ours <= 2)
        else:
            row("first boot: syncs (strace not installed)", None, None, None, None)
        print(f"idle units side by side for {seconds} s ...", file=sys.stderr)
        (cpu, cs), (cpu0, cs0) = idle([ours, before], seconds)
        row("idle unit: CPU use <= 0.5x", cpu, cpu0, cpu / cpu0, cpu <= 0.5 * cpu0, "%")
        row("idle unit: context switches per tick <= 0.5x", cs, cs0, cs / cs0, cs <= 0.5 * cs0)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    head = ("goal", "ours", "reference", "ratio", "met")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(5)]
    line = lambda r: "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
    print(line(head))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


if __name__ == "__main__":
    main()
