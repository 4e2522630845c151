#!/usr/bin/python3
"""Client of a running unit's control channel (the socket "vyn.ctl" in its unit directory).

As a library:

    from vynctl import Unit
    with Unit(unit_dir) as u:
        u.cmd("step 10")          # -> "11" (the text after "ok")
        u.step(10); u.ticks(); u.postrun(); u.tasks()
        u.shell("getvar x")       # -> (result, printed text) of the process shell's command

As a command: vynctl.py [-d UNIT_DIR] [--wait SECONDS] COMMAND [ARGS...]
prints the reply; exit code 0 for "ok", 1 for "error", 2 when the unit cannot be reached.
`vynctl.py shell "COMMAND LINE"` prints what the shell command printed; exit code 0 when its
result is 0, else 1.
"""

import argparse
import os
import socket
import sys
import time

SOCKET_NAME = "vyn.ctl"
SUN_PATH_MAX = 107  # sockaddr_un.sun_path less the NUL


class UnitError(Exception):
    """The unit answered "error ..."."""


class UnitGone(Exception):
    """The unit cannot be reached, or closed the channel (it ended)."""


def unescape(text):
    """The shell's printed text from the control line ("\\n", "\\\\", "\\xHH")."""
    out = bytearray()
    i = 0
    raw = text.encode()
    while i < len(raw):
        c = raw[i:i + 1]
        if c == b"\\" and raw[i + 1:i + 2] == b"n":
            out += b"\n"
            i += 2
        elif c == b"\\" and raw[i + 1:i + 2] == b"x":
            out.append(int(raw[i + 2:i + 4], 16))
            i += 4
        elif c == b"\\":
            out += raw[i + 1:i + 2]
            i += 2
        else:
            out += c
            i += 1
    return out.decode(errors="replace")


class Unit:
    def __init__(self, unit_dir, timeout=120.0, wait=0.0):
        """Connects to the unit in `unit_dir`. `timeout`: seconds for one reply;
        `wait`: seconds to keep trying while the unit is still starting."""
        self.unit_dir = os.path.abspath(unit_dir)
        self.timeout = timeout
        self._sock = None
        self._buf = b""
        self._connect(wait)

    def _connect(self, wait):
        deadline = time.monotonic() + wait
        path = os.path.join(self.unit_dir, SOCKET_NAME)
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            dir_fd = None
            try:
                target = path
                if len(path.encode()) > SUN_PATH_MAX:
                    # a long directory is reached through a descriptor of it
                    dir_fd = os.open(self.unit_dir, os.O_PATH | os.O_DIRECTORY)
                    target = "/proc/self/fd/%d/%s" % (dir_fd, SOCKET_NAME)
                sock.connect(target)
                sock.settimeout(self.timeout)
                self._sock = sock
                return
            except OSError as e:
                sock.close()
                if time.monotonic() >= deadline:
                    raise UnitGone("no unit answers at %s: %s" % (path, e)) from e
                time.sleep(0.05)
            finally:
                if dir_fd is not None:
                    os.close(dir_fd)

    def close(self):
        if self._sock:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def raw(self, line):
        """Sends one command line and returns the whole reply line."""
        if self._sock is None:
            raise UnitGone("connection closed")
        if "\n" in line:
            raise ValueError("one command per call")
        try:
            self._sock.sendall(line.encode() + b"\n")
            while b"\n" not in self._buf:
                chunk = self._sock.recv(4096)
                if not chunk:
                    self.close()
                    raise UnitGone("the unit closed the channel during '%s'" % line)
                self._buf += chunk
        except OSError as e:
            self.close()
            raise UnitGone("channel failed during '%s': %s" % (line, e)) from e
        reply, self._buf = self._buf.split(b"\n", 1)
        return reply.decode(errors="replace")

    def cmd(self, line):
        """Runs one command; returns the text after "ok" or raises UnitError."""
        reply = self.raw(line)
        if reply == "ok" or reply.startswith("ok "):
            return reply[3:]
        if reply.startswith("error"):
            raise UnitError(reply[6:])
        raise UnitError("unexpected reply: %r" % reply)

    def step(self, n):
        return int(self.cmd("step %d" % n))

    def ticks(self):
        return int(self.cmd("ticks"))

    def postrun(self):
        self.cmd("postrun")

    def fault(self, call, result, count=1):
        self.cmd("fault %d %d %d" % (call, result, count))

    def hwremove(self, address):
        self.cmd("hwremove 0x%X" % address)

    def shell(self, line):
        """Types a command line into the process shell: (result, printed text)."""
        result, _, text = self.cmd("shell " + line).partition(" ")
        return int(result), unescape(text)

    def tasks(self):
        return self.cmd("tasks").split()

    def quit(self):
        try:
            self.cmd("quit")
        finally:
            self.close()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Drive a running vyn unit through its control channel.")
    ap.add_argument("-d", "--dir", default=os.environ.get("VYN_UNIT_DIR", "."),
                    help="unit directory (default: $VYN_UNIT_DIR or the current directory)")
    ap.add_argument("--wait", type=float, default=0.0, help="seconds to wait for the unit to come up")
    ap.add_argument("command", nargs="+", help="e.g. step 100, ticks, postrun, tasks")
    args = ap.parse_args(argv)
    try:
        with Unit(args.dir, wait=args.wait) as u:
            if args.command[0] == "shell" and len(args.command) > 1:
                result, text = u.shell(" ".join(args.command[1:]))
                sys.stdout.write(text)
                return 0 if result == 0 else 1
            reply = u.raw(" ".join(args.command))
    except UnitError as e:
        print("vynctl: %s" % e, file=sys.stderr)
        return 1
    except UnitGone as e:
        print("vynctl: %s" % e, file=sys.stderr)
        return 2
    print(reply)
    return 0 if reply == "ok" or reply.startswith("ok ") else 1


if __name__ == "__main__":
    sys.exit(main())
