#!/usr/bin/python3
"""The module check refuses each way around the declared graph, on a tree made for each case.

Modules: plat (platform; plat/door.h is its door), lo (base; lo/hidden.h declared private),
side (base), hi (services, declares lo and plat). Every module's C files are compiled into the
library the check reads, so each case runs the include and the link check alike.
"""
import os
import subprocess
import sys
import tempfile
import unittest

SRC = os.environ.get("VYN_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(__file__))))
ROWS = ["plat|plat|platform||", "lo|lo|base||hidden.h", "side|side|base||", "hi|hi|services|lo,plat|"]
BASE = {
    "plat/door.h": "", "plat/inner.h": "",
    "lo/lo.h": "int lo_f(void);\n", "lo/lo_private.h": "", "lo/hidden.h": "",
    "lo/lo.c": '#include "lo/lo.h"\n#include "lo_private.h"\n#include "hidden.h"\nint lo_f(void) { return 1; }\n',
    "side/side.c": "int side_g(void) { return 2; }\n",
    "hi/hi.h": "", "hi/hi.c": '#include <lo/lo.h>\n#include "../plat/door.h"\n#include <stdio.h>\n'
                              "int hi_f(void) { return lo_f(); }\n",
}
CASES = [  # (name, extra files, what one report line must name; none: the tree passes)
    ("declared includes and symbols pass", {}, None),
    ("upward include in quotes", {"lo/up.c": '#include "hi/hi.h"\n'}, ("lo/up.c", "hi/hi.h")),
    ("upward include in angle brackets", {"lo/up.c": "#include <hi/hi.h>\n"}, ("lo/up.c", "hi/hi.h")),
    ("upward include through ../", {"lo/up.c": '#include "../hi/hi.h"\n'}, ("lo/up.c", "../hi/hi.h")),
    ("upward include in a subfolder", {"lo/sub/up.h": '#include "hi/hi.h"\n'}, ("lo/sub/up.h", "hi/hi.h")),
    ("another module's *_private.h", {"hi/p.c": '#include "lo/lo_private.h"\n'}, ("hi/p.c", "lo/lo_private.h")),
    ("a header its module lists as private", {"hi/p.c": "#include <lo/hidden.h>\n"}, ("hi/p.c", "lo/hidden.h")),
    ("a platform header beside the door", {"hi/p.c": '#include "plat/inner.h"\n'}, ("hi/p.c", "plat/inner.h")),
    ("a symbol of an undeclared module", {"hi/s.c": "int side_g(void);\nint hi_s(void) { return side_g(); }\n"},
     ("hi", "side_g")),
    ("an upward call through a weak declaration",
     {"lo/w.c": "int hi_f(void) __attribute__((weak));\nint lo_w(void) { return hi_f ? hi_f() : 0; }\n"},
     ("lo", "hi_f")),
    ("a weak default that an upper module replaces",
     {"lo/w.c": "__attribute__((weak)) int lo_hook(void) { return 0; }\nint lo_w(void) { return lo_hook(); }\n",
      "hi/w.c": "int lo_hook(void) { return 1; }\n"}, ("lo takes", "lo_hook")),
    ("an include through a macro", {"lo/up.c": '#define UP "hi/hi.h"\n#include UP\n'}, ("lo/up.c", "UP")),
    ("an include behind comments and a line splice",
     {"lo/up.c": '/* a\n */ # /* b */ include \\\n "hi/hi.h" // c\n'}, ("lo/up.c", "hi/hi.h")),
    ("an include after a string that opens no comment",
     {"lo/up.c": 'const char* lo_s = "/*";\n#include "hi/hi.h"\nconst char* lo_t = "*/";\n'}, ("lo/up.c", "hi/hi.h")),
]


def run_check(files, rows=ROWS, executables=None):
    with tempfile.TemporaryDirectory() as root:
        for path, text in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        build = os.path.join(root, "build")
        for row in rows:
            name, mdir = row.split("|")[:2]
            objs = []
            for c in sorted(f for f in files if f.startswith(mdir + "/") and f.endswith(".c")):
                objs.append(os.path.join(build, c + ".o"))
                os.makedirs(os.path.dirname(objs[-1]), exist_ok=True)
                subprocess.run([os.environ.get("CC", "cc"), "-c", "-I", root, os.path.join(root, c), "-o", objs[-1]],
                               check=True)
            if objs:
                subprocess.run([os.environ.get("AR", "ar"), "rcs", os.path.join(build, mdir, f"libvyn_{name}.a"), *objs],
                               check=True)
        with open(os.path.join(root, "modules.txt"), "w") as f:
            f.write("\n".join(rows) + "\n")
        more = []
        if executables is not None:
            with open(os.path.join(root, "executables.txt"), "w") as f:
                f.write("\n".join(executables) + "\n")
            more = ["--executables", os.path.join(root, "executables.txt")]
        r = subprocess.run([sys.executable, os.path.join(SRC, "scripts/check_modules.py"), root,
                            os.path.join(root, "modules.txt"), "platform,base,services", "plat/door.h",
                            "--build", build, "--nm", os.environ.get("NM", "nm"), *more], capture_output=True, text=True)
        return r.returncode, r.stderr.splitlines()


class CheckModules(unittest.TestCase):
    def verdict(self, rc, lines, names):
        """The tree passes (names None), or is refused with a report line naming all of `names`."""
        if names is None:
            self.assertEqual((rc, lines), (0, []))
        else:
            self.assertEqual(rc, 1, lines)
            self.assertTrue(any(all(n in line for n in names) for line in lines), lines)

    def test_each_way_around_the_graph_is_refused(self):
        for name, extra, names in CASES:
            with self.subTest(name):
                self.verdict(*run_check({**BASE, **extra}), names)

    def test_the_executable_stands_outside_every_module(self):
        # Above every floor it may take the platform's inner headers, but only from its own folder.
        main = '#include "plat/inner.h"\n#include "hi/hi.h"\nint main(void) { return 0; }\n'
        for where, refused in (("prog", False), ("plat/prog", True)):
            with self.subTest(where):
                rc, lines = run_check({**BASE, where + "/main.c": main},
                                      ROWS + [f"prog|{where}|program|plat,lo,side,hi|"])
                if refused:
                    self.assertEqual(rc, 1, lines)
                    self.assertTrue(any("prog" in line and "plat/prog" in line and "module plat" in line
                                        for line in lines), lines)
                else:
                    self.assertEqual((rc, lines), (0, []))

    def test_no_executable_stands_in_a_modules_folder(self):
        # An executable by the folder that declares it and those of its sources: a tool or test of
        # its own folder passes; one in a module's folder, below it or built from a source there
        # would sit on that module's floor.
        for exes, names in ((["tool|tools/gen", "test_lo|tests/lo", "near|lox"], None),
                            (["tool|lo"], ("tool", "lo", "module lo")),
                            (["tool|lo/sub"], ("tool", "lo/sub", "module lo")),
                            (["tool|tools/gen,hi"], ("tool", "hi", "module hi")),
                            (["test_lo|tests/lo", "gen|plat/gen/deep"], ("gen", "plat/gen/deep", "module plat"))):
            with self.subTest(exes):
                self.verdict(*run_check(BASE, executables=exes), names)

    def test_the_build_lists_its_executables_for_the_check(self):
        # The unit in program/, a tool in its own folder.
        build = os.environ.get("VYN_BUILD_DIR")
        if not build:
            self.skipTest("VYN_BUILD_DIR names no build")
        with open(os.path.join(build, "vyn_executables.txt")) as f:
            exes = dict(line.strip().partition("|")[::2] for line in f if line.strip())
        self.assertEqual(exes.get("vyn"), "program")
        self.assertEqual(exes.get("mkdataset"), "tools/mkdataset")


if __name__ == "__main__":
    unittest.main()
