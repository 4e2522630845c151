#!/usr/bin/python3
"""Holds the sources against the module graph that CMake declares.

Fails (exit 1) when a module includes a header of a module it does not declare, declares a
module of a higher floor, when the declared graph has a loop, or when an application module
includes a platform header that is not one of the door headers.

Usage: check_modules.py SOURCE_DIR MODULES_FILE FLOOR,FLOOR,... DOOR_HEADER,DOOR_HEADER,...
MODULES_FILE has one line per module: name|dir|floor|dep,dep,...
"""
import os
import re
import sys

GENERATED_OWNER = "calibration_block"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    root, modules_file, floors, door = sys.argv[1:5]
    floors = floors.split(",")
    door = set(door.split(","))
    mods = {}
    for line in open(modules_file, encoding="utf-8"):
        line = line.strip()
        if not line:
            continue
        name, mdir, floor, deps = line.split("|")
        mods[name] = {"dir": mdir, "floor": floors.index(floor), "deps": [d for d in deps.split(",") if d]}
    by_dir = {m["dir"]: n for n, m in mods.items()}
    errors = []

    def owner(path):
        d = os.path.dirname(path)
        while d:
            if d in by_dir:
                return by_dir[d]
            d = os.path.dirname(d)
        return None

    for name, m in mods.items():
        for dep in m["deps"]:
            if dep not in mods:
                errors.append(f"{name}: declares unknown module {dep}")
            elif mods[dep]["floor"] > m["floor"]:
                errors.append(f"{name} ({floors[m['floor']]}) declares {dep} of the higher floor "
                              f"{floors[mods[dep]['floor']]}")

    # Loops in the declared graph (depth-first, colouring).
    state = {}

    def visit(n, stack):
        state[n] = 1
        for d in mods[n]["deps"]:
            if d not in mods:
                continue
            if state.get(d) == 1:
                errors.append("module loop: " + " -> ".join(stack[stack.index(d):] + [d]))
            elif d not in state:
                visit(d, stack + [d])
        state[n] = 2

    for n in sorted(mods):
        if n not in state:
            visit(n, [n])

    for name, m in sorted(mods.items()):
        base = os.path.join(root, m["dir"])
        for f in sorted(os.listdir(base)):
            if not f.endswith((".cpp", ".h", ".c", ".inc")):
                continue
            rel = os.path.join(m["dir"], f)
            text = open(os.path.join(base, f), encoding="utf-8", errors="replace").read()
            for inc in INCLUDE.findall(text):
                if inc.startswith("vyn/"):
                    o = GENERATED_OWNER  # generated from the variable table of the block
                elif not os.path.exists(os.path.join(root, inc)):
                    continue  # a system header in quotes
                else:
                    o = owner(inc)
                if o is None:
                    errors.append(f"{rel}: includes {inc}, which belongs to no module")
                    continue
                if o == name:
                    continue
                if o not in m["deps"]:
                    errors.append(f"{rel}: includes {inc} of module {o}, which {name} does not declare")
                if m["floor"] != 0 and mods[o]["floor"] == 0 and inc not in door:
                    errors.append(f"{rel}: includes the platform's {inc}; the application sees only "
                                  "the door headers")
    for e in errors:
        print("module check:", e, file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
