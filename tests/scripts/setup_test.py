#!/usr/bin/python3
"""What the suite needs of the machine: scripts/setup installs every tool that the tests of units in
network namespaces and the README's load recipe run (dpkg names the package of each); as root a
namespace that cannot be made fails its test, without root the tests skip and the run says so; a
namespace lives as long as its run, and no holder of one outlives the run, whatever ends it; a run
that is terminated takes its units down."""
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

SRC = os.environ.get("VYN_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
E2E = os.path.join(SRC, "tests", "e2e")
sys.path.insert(0, E2E)

import netns  # noqa: E402

ROOT = os.geteuid() == 0


def package_of(tool):
    """The Debian package that holds `tool`, as dpkg knows it (None when nothing installed it)."""
    done = subprocess.run(["dpkg", "-S", f"*bin/{tool}"], capture_output=True, text=True)
    for line in done.stdout.splitlines():
        name, _, path = line.partition(": ")
        if re.fullmatch(rf"(/usr)?/s?bin/{re.escape(tool)}", path):
            return name.split(":")[0]
    return None


def essential(package):
    done = subprocess.run(["dpkg-query", "-W", "-f=${Essential}", package], capture_output=True, text=True)
    return done.stdout.strip() == "yes"


def stubs(scripts):
    """A directory of executable stand-ins, name: shell text."""
    d = tempfile.mkdtemp(prefix="vyn-stubs-")
    for name, text in scripts.items():
        path = os.path.join(d, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + text)
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    return d


def python(code, env=None):
    """`code` run by a fresh interpreter that imports netns; its output. What it writes to standard
    error goes to a file: a holder it leaves behind would keep a pipe open."""
    with tempfile.TemporaryFile("w+") as err:
        done = subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {E2E!r})\n" + code],
                              stdout=subprocess.PIPE, stderr=err, text=True, env=env, timeout=120)
        err.seek(0)
        done.stderr = err.read()
    return done


def descendants(pid):
    """The processes below `pid`."""
    parent = {}
    for p in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{p}/stat") as f:
                parent[int(p)] = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            pass  # gone meanwhile
    below, todo = [], [pid]
    while todo:
        kids = [p for p, pp in parent.items() if pp == todo[-1]]
        todo.pop()
        below += kids
        todo += kids
    return below


def named(pids, name):
    found = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/comm") as f:
                if f.read().strip() == name:
                    found.append(pid)
        except OSError:
            pass
    return found


def holders(pids):
    """Those of `pids` still running (not gone, not a zombie waiting for a parent)."""
    alive = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] != "Z":
                    alive.append(pid)
        except OSError:
            pass
    return alive


class Setup(unittest.TestCase):
    def test_the_set_up_installs_the_tools_of_the_namespace_tests_and_the_load_recipe(self):
        with open(os.path.join(SRC, "README.md")) as f:
            readme = f.read()
        tools = set(netns.TOOLS) | set(re.findall(r"COMPILER_LAUNCHER=(\w+)", readme))
        self.assertIn("ccache", tools)
        bin_dir = stubs({"dpkg-query": "exit 1\n", "sudo": 'exec "$@"\n',
                         "apt-get": 'echo "$*" >> "$(dirname "$0")/asked"\n'})
        try:
            env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"])
            done = subprocess.run(["bash", os.path.join(SRC, "scripts", "setup")], env=env, capture_output=True,
                                  text=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(bin_dir, "asked")) as f:
                asked = [line.split() for line in f if line.startswith("install ")]
        finally:
            subprocess.run(["rm", "-rf", bin_dir])
        self.assertEqual(len(asked), 1)
        for tool in sorted(tools):
            package = package_of(tool)
            self.assertIsNotNone(package, f"{tool} is not installed here, though the tests run it")
            if not essential(package):
                self.assertIn(package, asked[0], f"the package of {tool}")


@unittest.skipUnless(ROOT, "network namespaces need root")
class Namespaces(unittest.TestCase):
    def pytest(self, env=None, user=None):
        """A namespace test of tests/e2e (the laps reaching another unit) run by pytest, from a copy of
        the end-to-end tests that `user` can read."""
        with tempfile.TemporaryDirectory() as tree:
            shutil.copytree(E2E, os.path.join(tree, "tests", "e2e"), ignore=shutil.ignore_patterns("__pycache__"))
            shutil.copytree(os.path.join(SRC, "tools"), os.path.join(tree, "tools"),
                            ignore=lambda d, names: [n for n in names if n != "vynctl.py"])
            subprocess.run(["chmod", "-R", "a+rX", tree], check=True)
            return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-rs",
                                   os.path.join(tree, "tests", "e2e", "test_laps.py"), "-k", "another_unit"],
                                  capture_output=True, text=True, env=env, user=user, cwd="/", timeout=300)

    def test_as_root_a_namespace_that_cannot_be_made_fails_without_root_the_run_says_it_skipped(self):
        # as root without ip: fails, as the Network and as the test's own namespace
        bin_dir = stubs({})
        for tool in ("unshare", "nsenter"):
            os.symlink(subprocess.run(["which", tool], capture_output=True, text=True).stdout.strip(),
                       os.path.join(bin_dir, tool))
        try:
            env = dict(os.environ, PATH=bin_dir)
            done = python("import netns\ntry:\n    netns.Network()\nexcept BaseException as e:\n"
                          "    print(type(e).__name__, e)\n", env)
            self.assertRegex(done.stdout, r"^Unavailable ip not installed", done.stderr)
            done = self.pytest(env)
            self.assertNotEqual(done.returncode, 0, done.stdout)
            self.assertRegex(done.stdout, r"\b1 error\b")
            self.assertNotIn("skipped", done.stdout)
        finally:
            subprocess.run(["rm", "-rf", bin_dir])
        # without root: skipped, and the run's last lines say so
        done = self.pytest(user=65534)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertRegex(done.stdout, r"!+ 1 tests SKIPPED: " + netns.NOT_ROOT)

    def test_a_namespace_lives_as_long_as_its_run(self):
        # sleep's time runs 1000 times as fast: 2 s here are over half an hour of a run
        fast = stubs({"sleep": 'case "$1" in inf*) exec /bin/sleep "$1";; esac\n'
                               'exec /bin/sleep "$(awk -v s="$1" "BEGIN { print s / 1000 }")"\n'})
        try:
            env = dict(os.environ, PATH=fast + os.pathsep + os.environ["PATH"])
            done = python("import netns, time\nnet = netns.Network()\nh = net.host(1)\ntime.sleep(2)\n"
                          "h.run('ip', 'link', 'show', 'eth0')\nnet.hub.run('ip', 'link', 'show', 'v1')\n"
                          "net.close()\nprint('held')\n", env)
        finally:
            subprocess.run(["rm", "-rf", fast])
        self.assertEqual(done.stdout, "held\n", done.stderr)

    def test_no_holder_outlives_its_run(self):
        # a host that cannot be made (its veth is there already) leaves no holder; a run that is
        # killed leaves none either
        code = textwrap.dedent("""
            import netns, os, time
            def mine():
                found = []
                for p in filter(str.isdigit, os.listdir("/proc")):
                    try:
                        if open(f"/proc/{p}/stat").read().rsplit(")", 1)[1].split()[1] == str(os.getpid()):
                            found.append(p)
                    except OSError:
                        pass  # gone meanwhile
                return found
            net = netns.Network()
            net.host(1)
            try:
                net.host(1)
            except Exception:
                pass
            print(*mine(), flush=True)
            time.sleep(600)
            """)
        run = subprocess.Popen([sys.executable, "-c", f"import sys; sys.path.insert(0, {E2E!r})\n" + code],
                               stdout=subprocess.PIPE, text=True)
        try:
            pids = [int(p) for p in run.stdout.readline().split()]
            self.assertEqual(len(holders(pids)), 2, "the bridge's and one host's")
            run.send_signal(signal.SIGKILL)
            run.wait()
            deadline = time.monotonic() + 30
            while holders(pids) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(holders(pids), [])
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
            run.stdout.close()

    @unittest.skipUnless(os.environ.get("VYN_BIN"), "VYN_BIN names no built unit")
    def test_a_terminated_run_takes_its_units_and_namespaces_down(self):
        run = subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                os.path.join(E2E, "test_laps.py"), "-k", "another_unit"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        left = []
        try:
            deadline = time.monotonic() + 300
            while len(named(descendants(run.pid), "vyn")) < 2:  # both units run
                self.assertLess(time.monotonic(), deadline)
                self.assertIsNone(run.poll())
                time.sleep(0.05)
            left = descendants(run.pid)
            run.terminate()
            run.wait(timeout=300)
            deadline = time.monotonic() + 60
            while holders(left) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(named(holders(left), "vyn") + named(holders(left), "cat"), [])
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
            for pid in holders(left):
                os.kill(pid, signal.SIGKILL)


if __name__ == "__main__":
    unittest.main()
