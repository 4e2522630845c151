#!/usr/bin/python3
"""The generated documents follow the code, and a change to the code without them fails the check.

A small tree: plat (platform) starts a timer task; lo (base) has a raster hook that passes its name
and priority on to taskCreate; hi (services) spawns by literal and constant, by the rows of a
table, by a snprintf'd name, through lo's hook and at its starter's priority; prog is the
executable. The expected rows are worked out by hand from these sources.
"""
import os
import subprocess
import sys
import tempfile
import unittest

SRC = os.environ.get("VYN_SOURCE_DIR", os.path.dirname(os.path.dirname(os.path.dirname(__file__))))
FLOORS = "platform,base,services"
ROWS = ["plat|plat|platform|||", "lo|lo|base|plat||", "hi|hi|services|lo,plat||hi_main.h",
        "prog|prog|program|plat,lo,hi||"]
ROLES = """[floors]
platform = the platform
base = the base
services = the services
program = the executable

[tasks]
main = the start
tTimer = the timers
r_Tick = the tick
r_a = row a
r_b = row b
r_hi%d = one per instance
r_hi = the high task
r_late = the late task
"""
ARCH = """# Tree

<!-- generated: floors -->
<!-- end -->

Prose that stays.

<!-- generated: widgets -->
<!-- end -->

<!-- generated: tasks -->
old rows
<!-- end -->
"""
HI = """#include "lo/lo.h"
#include <cstdio>

// taskSpawn("r_ghost", 1, 0, 1, entry) in a comment spawns nothing
constexpr int HI_PRIO = 90, HI_STACK = 100;

void entry();
void tick();
int pick();

struct Row {
    const char* name;
    int priority;
};
static const Row rows[] = {{"r_a", 41}, {"r_b", 42}};

void hi_start(int index) {
    taskSpawn("r_hi", HI_PRIO, 0, HI_STACK, entry);
    for (const Row& r : rows)
        taskSpawn(r.name, r.priority, 0, 1, entry);
    char name[16];
    std::snprintf(name, sizeof name, "r_hi%d", index);
    taskSpawn(name, 50, 0, 1, entry);
    lo_hook("Tick", 30, tick);
}

void hi_late() {
    int prio = 100;
    taskPriorityGet(taskIdSelf(), &prio);
    if (taskSpawn("r_late", prio, 0, 1, entry) == 0) return;
}
"""
BASE = {
    "plat/plat.h": "// The platform's door.\n#pragma once\n"
                   "int taskSpawn(const char* name, int priority, int options, int stack, void (*entry)());\n",
    "plat/timer.cpp": '#include "plat/plat.h"\nvoid body();\n'
                      'void plat_start() { taskSpawnFn("tTimer", 10, 0, 100, body); }\n',
    "lo/lo.h": "// Low services: the hook raster.\n//\n// More about it.\n#pragma once\n",
    "lo/hook.cpp": '#include <cstdio>\nint lo_hook(const char* name, int priority, void (*body)()) {\n'
                   '    char taskName[16];\n    std::snprintf(taskName, sizeof taskName, "%s%s", "r_", name);\n'
                   "    return taskCreate(taskName, priority, 0, 4096, body) != 0;\n}\n",
    "hi/hi_main.h": "// High services, spawned every way.\n#pragma once\n",
    "hi/hi_extra.h": "// Not the module's role.\n#pragma once\n",
    "hi/hi.cpp": HI,
    "prog/main.cpp": "// The executable.\nint main() { return 0; }\n",
    "docs/roles.ini": ROLES,
    "docs/architecture.md": ARCH,
}
TASKS = [  # (task, priority, module): by hand from the sources above, highest priority first
    ("main", "–", "prog"), ("tTimer", "10", "plat"), ("r_Tick", "30", "hi"), ("r_a", "41", "hi"),
    ("r_b", "42", "hi"), ("r_hi%d", "50", "hi"), ("r_hi", "90", "hi"), ("r_late", "the starter's", "hi")]


def write(root, files):
    for path, text in files.items():
        os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(root, path), "w") as f:
            f.write(text)


def gen(root, rows=ROWS, *args):
    with open(os.path.join(root, "modules.txt"), "w") as f:
        f.write("\n".join(rows) + "\n")
    r = subprocess.run([sys.executable, os.path.join(SRC, "scripts/gen_docs.py"), root,
                        os.path.join(root, "modules.txt"), FLOORS, "--regen", "REGEN", *args],
                       capture_output=True, text=True)
    return r.returncode, r.stderr


def read(root, path):
    with open(os.path.join(root, path)) as f:
        return f.read()


class GenDocs(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        write(self.root, BASE)

    def tearDown(self):
        self.tmp.cleanup()

    def test_the_written_tables_follow_the_code(self):
        self.assertEqual(gen(self.root, ROWS, "--write"), (0, ""))
        arch = read(self.root, "docs/architecture.md")
        tasks = arch.split("<!-- generated: tasks -->\n")[1].split("<!-- end -->")[0].splitlines()[2:]
        self.assertEqual([tuple(c.strip().strip("`") for c in row.split("|")[1:4]) for row in tasks], TASKS)
        self.assertIn("Prose that stays.", arch)
        self.assertIn("| base | `lo` | the base |", arch)
        index = read(self.root, "docs/modules.md")
        self.assertIn("| `lo` | `lo.h` | Low services: the hook raster. | plat |", index)
        self.assertIn("| `hi` | `hi_main.h` | High services, spawned every way. | lo; plat |", index)
        self.assertIn("| `prog` | `main.cpp` | The executable. | every module |", index)
        self.assertEqual(gen(self.root), (0, ""))

    def test_a_change_without_writing_the_documents_fails(self):
        self.assertEqual(gen(self.root, ROWS, "--write")[0], 0)
        written = {p: read(self.root, p) for p in ("docs/architecture.md", "docs/modules.md")}
        cases = [  # (name, changed files, changed module rows, document, a line of the difference)
            ("a spawn's priority", {"hi/hi.cpp": HI.replace("HI_PRIO = 90", "HI_PRIO = 91")}, ROWS,
             "docs/architecture.md", "+| r_hi | 91 |"),
            ("a row of a spawned table", {"hi/hi.cpp": HI.replace('{"r_b", 42}', '{"r_b", 43}')}, ROWS,
             "docs/architecture.md", "+| r_b | 43 |"),
            ("a module's declared dependencies", {}, ROWS[:2] + ["hi|hi|services|lo||hi_main.h"] + ROWS[3:],
             "docs/modules.md", "+| `hi` | `hi_main.h` | High services, spawned every way. | lo |"),
            ("a module's floor", {}, ["plat|plat|platform|||", "lo|lo|services|plat||"] + ROWS[2:],
             "docs/architecture.md", "+| services | `hi`; `lo` | the services |"),
            ("a header's role", {"lo/lo.h": BASE["lo/lo.h"].replace("hook raster", "hook")}, ROWS,
             "docs/modules.md", "+| `lo` | `lo.h` | Low services: the hook. | plat |"),
        ]
        for name, files, rows, doc, line in cases:
            with self.subTest(name):
                write(self.root, {**BASE, **written, **files})
                rc, err = gen(self.root, rows)
                self.assertEqual(rc, 1, err)
                self.assertTrue(any(row.startswith(line) for row in err.splitlines()), err)
                self.assertIn(f"{doc} differs from the code", err)
                self.assertIn("write it with: REGEN", err)

    def test_what_the_tables_cannot_say_is_named(self):
        cases = [  # (name, changed files, changed module rows, what the report line names)
            ("a task without a role", {"hi/hi.cpp": HI + 'void more() { taskSpawn("r_new", 5, 0, 1, entry); }\n'},
             ROWS, ("r_new", "hi/hi.cpp:32", "no role")),
            ("a role for a task that is gone", {"docs/roles.ini": ROLES + "r_gone = gone\n"}, ROWS,
             ("r_gone", "no module spawns")),
            ("a floor without a line", {"docs/roles.ini": ROLES.replace("base = the base\n", "")}, ROWS,
             ("floor base",)),
            ("a spawn whose name cannot be followed",
             {"hi/hi.cpp": HI + "void other() { taskSpawn(pick() ? \"x\" : \"y\", 5, 0, 1, entry); }\n"}, ROWS,
             ("hi/hi.cpp:32", "task name")),
            ("a spawn whose priority cannot be followed",
             {"hi/hi.cpp": HI + 'void other() { taskSpawn("r_x", pick(), 0, 1, entry); }\n'}, ROWS,
             ("hi/hi.cpp:32", "priority")),
            ("a role over two lines", {"lo/lo.h": "// Low services,\n// on two lines.\n#pragma once\n"}, ROWS,
             ("lo/lo.h", "several lines")),
            ("a header without a first comment", {"lo/lo.h": "#pragma once\n// Low services.\n"}, ROWS,
             ("lo/lo.h", "no comment")),
            ("two public headers and none named", {}, ROWS[:2] + ["hi|hi|services|lo,plat||"] + ROWS[3:],
             ("module hi", "HEADER")),
        ]
        for name, files, rows, names in cases:
            with self.subTest(name):
                write(self.root, {**BASE, **files})
                rc, err = gen(self.root, rows, "--write")
                self.assertEqual(rc, 1, err)
                self.assertTrue(any(all(n in line for n in names) for line in err.splitlines()), err)


if __name__ == "__main__":
    unittest.main()
