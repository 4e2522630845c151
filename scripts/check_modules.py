#!/usr/bin/python3
"""Holds the sources and the module libraries against the module graph that CMake declares.

Fails (exit 1) when
- the declared graph names an unknown module, declares a module of a higher floor or has a loop;
- a module's file (in its folder or any subfolder that is no module of its own) includes a
  header of a module it does not declare, another module's private header (`*_private.h` or
  one the module lists as private), or, in an application module, a platform header that is not
  one of the door headers; includes are resolved as the compiler does ("…" beside the file
  first, then the include path; <…> on the include path), so `../` and angle brackets count;
  comments and line splices are read as the preprocessor reads them;
- a module's file includes a macro: what it names is not checked;
- an executable's folder lies inside a module's folder, where it would sit on that module's floor:
  the program's, and with --executables any other's (a test, a tool), by the folder that declares
  it and those of its sources;
- with --build: a module library (lib<name>.a) takes a symbol that another module's library
  defines, when it neither declares that module nor sees its headers through the headers it
  includes (a base class's members, say): a function declared by hand around the graph. A weak
  reference takes the symbol as well, and so does a weak default that another module defines
  outright.

Usage: check_modules.py SOURCE_DIR MODULES_FILE FLOOR,FLOOR,... DOOR_HEADER,...
                        [--build BUILD_DIR] [--nm NM] [--executables EXECUTABLES_FILE]
MODULES_FILE has one line per module: name|dir|floor|dep,dep,...|private,private,...[|header]
EXECUTABLES_FILE one line per executable of the build: name|dir,dir,...
The floor `program` is an executable's own folder, outside every module's folder: above every
floor, it may include any public header, the platform's too.
"""
import argparse
import os
import re
import subprocess
import sys

GENERATED_OWNER = "calibration_block"  # vyn/*: generated from the block's variable table
PROGRAM = "program"
SOURCES = (".cpp", ".cc", ".c", ".h", ".hpp", ".inc")
INCLUDE = re.compile(r'^[ \t]*#[ \t]*(?:include|include_next|import)\b[ \t]*(.*)$', re.M)
NAMED = re.compile(r'([<"])([^">]+)[">]')
# Comments become one blank, as the preprocessor sees them; literals are matched only so that
# what they hold opens no comment.
COMMENT = re.compile(r'''(?:u8|[uUL])?R"([^()\\ ]{0,16})\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])*'|'''
                     r'''(//[^\n]*|/\*.*?\*/)''', re.S)


def includes(text):
    """(quote, header) of each include directive; quote None for one that names no header itself
    (a macro), which hides its header from the check."""
    text = COMMENT.sub(lambda m: " " if m.group(2) else m.group(0), text.replace("\\\n", ""))
    for operand in INCLUDE.findall(text):
        named = NAMED.match(operand)
        yield (named.group(1), named.group(2)) if named else (None, operand.strip())


def load(modules_file, floors):
    mods = {}
    for line in open(modules_file, encoding="utf-8"):
        line = line.strip()
        if not line:
            continue
        name, mdir, floor, deps, *rest = line.split("|")
        private = {os.path.join(mdir, p) for p in (rest[0].split(",") if rest else []) if p}
        mods[name] = {"dir": mdir, "floor": len(floors) if floor == PROGRAM else floors.index(floor),
                      "deps": [d for d in deps.split(",") if d], "private": private,
                      "header": rest[1] if len(rest) > 1 else ""}
    return mods


def check_graph(mods, floors, errors):
    for name, m in sorted(mods.items()):
        for dep in m["deps"]:
            if dep not in mods:
                errors.append(f"{name}: declares unknown module {dep}")
            elif mods[dep]["floor"] > m["floor"]:
                errors.append(f"{name} ({floors[m['floor']]}) declares {dep} of the higher floor "
                              f"{floors[mods[dep]['floor']]}")
    for name, m in sorted(mods.items()):
        if floors[m["floor"]] != PROGRAM:
            continue
        for other, o in sorted(mods.items()):
            if other != name and m["dir"].startswith(o["dir"] + "/"):
                errors.append(f"{name}: the executable's folder {m['dir']} lies inside the folder of "
                              f"module {other}")
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


def check_executables(path, mods, top, errors):
    owner = owners({n: m for n, m in mods.items() if m["floor"] < top})
    for line in open(path, encoding="utf-8"):
        name, _, dirs = line.strip().partition("|")
        for d in filter(None, dirs.split(",")):
            o = owner(os.path.join(d, "-"))  # the module of the folder or of one above it
            if o:
                errors.append(f"executable {name}: its folder {d} lies in the folder of module {o}")


def owners(mods):
    """The function that names the module owning a root-relative path (None: no module's)."""
    by_dir = {m["dir"]: n for n, m in mods.items()}

    def owner(path):
        d = os.path.dirname(path)
        while d:
            if d in by_dir:
                return by_dir[d]
            d = os.path.dirname(d)
        return None
    return owner


def module_files(root, mods, owner):
    """Each module's C and C++ files, root-relative: those of its folder and of its subfolders
    that are no module of their own."""
    files = {}
    for name, m in sorted(mods.items()):
        files[name] = []
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, m["dir"])):
            dirnames.sort()
            for f in sorted(filenames):
                rel = os.path.relpath(os.path.join(dirpath, f), root)
                if f.endswith(SOURCES) and owner(rel) == name:
                    files[name].append(rel)
    return files


def check_includes(root, mods, top, door, errors):
    owner = owners(mods)

    def resolve(rel, quoted, inc):
        """The root-relative path the compiler would open, "vyn/…" for a generated header, or
        None for a header outside the tree (the system's)."""
        bases = ([os.path.dirname(rel)] if quoted else []) + [""]
        for base in bases:
            p = os.path.normpath(os.path.join(base, inc))
            if p.startswith(".."):
                continue
            if os.path.isfile(os.path.join(root, p)):
                return p
            if base == "" and p.startswith("vyn/"):
                return p
        return None

    edges, files = {}, module_files(root, mods, owner)
    for name, m in sorted(mods.items()):
        for rel in files[name]:
            text = open(os.path.join(root, rel), encoding="utf-8", errors="replace").read()
            edges[rel] = []
            for quote, inc in includes(text):
                if quote is None:
                    errors.append(f"{rel}: includes {inc}, a macro; name the header itself")
                    continue
                p = resolve(rel, quote == '"', inc)
                if p is None:
                    continue
                edges[rel].append(p)
                o = GENERATED_OWNER if p.startswith("vyn/") else owner(p)
                if o is None:
                    errors.append(f"{rel}: includes {inc}, which belongs to no module")
                    continue
                if o == name:
                    continue
                if p.endswith("_private.h") or p in mods[o]["private"]:
                    errors.append(f"{rel}: includes {inc}, a private header of module {o}")
                if o not in m["deps"]:
                    errors.append(f"{rel}: includes {inc} of module {o}, which {name} does not declare")
                if 0 < m["floor"] < top and mods[o]["floor"] == 0 and p not in door:
                    errors.append(f"{rel}: includes the platform's {inc}; the application sees only "
                                  "the door headers")
    # The modules whose headers each module sees, itself or through the headers it includes.
    seen = {}
    for name in mods:
        todo, done = list(files[name]), set()
        while todo:
            f = todo.pop()
            if f not in done:
                done.add(f)
                todo += edges.get(f, [])
        seen[name] = {GENERATED_OWNER if f.startswith("vyn/") else owner(f) for f in done} - {None, name}
    return seen


def check_links(build, mods, allowed, nm, errors):
    archives = {}
    for name, m in mods.items():
        a = os.path.join(build, m["dir"], f"libvyn_{name}.a")
        if os.path.isfile(a):
            archives[os.path.normpath(a)] = name
    if not archives:
        return
    out = subprocess.run([nm, "-A", "-g", "--format=posix", *sorted(archives)], check=True,
                         capture_output=True, text=True).stdout
    defined, weak, taken = {}, {}, {}
    for line in out.splitlines():
        head, sep, rest = line.partition("]: ")
        if not sep:
            continue
        fields = rest.split()
        if len(fields) < 2:
            continue
        sym, kind = fields[0], fields[1]
        mod = archives.get(os.path.normpath(head.rpartition("[")[0]))
        if mod is None:
            continue
        if kind in "Uwv":  # a weak reference calls the symbol as soon as some module defines it
            taken.setdefault(mod, set()).add(sym)
        elif kind in "WVu":  # weak, or unique (static locals of inline functions)
            weak.setdefault(sym, set()).add(mod)
        else:
            defined.setdefault(sym, set()).add(mod)
    # A weak default that another module defines outright calls that module's definition.
    for sym, holders in weak.items():
        for mod in holders - defined.get(sym, holders):
            taken.setdefault(mod, set()).add(sym)
    for mod in sorted(taken):
        for sym in sorted(taken[mod]):
            # A symbol only defined weakly (inline, template) is everyone's; one defined by
            # the module itself is its own.
            by = defined.get(sym, set())
            if not by or mod in by or by & allowed[mod]:
                continue
            errors.append(f"{mod} takes {demangle(sym)} from {', '.join(sorted(by))}, "
                          f"which it does not declare")


def demangle(sym):
    try:
        return subprocess.run(["c++filt", sym], capture_output=True, text=True).stdout.strip() or sym
    except OSError:
        return sym


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("modules_file")
    ap.add_argument("floors")
    ap.add_argument("door")
    ap.add_argument("--build")
    ap.add_argument("--nm", default="nm")
    ap.add_argument("--executables")
    a = ap.parse_args()
    floors = a.floors.split(",")
    mods = load(a.modules_file, floors)
    errors = []
    check_graph(mods, floors + [PROGRAM], errors)
    if a.executables:
        check_executables(a.executables, mods, len(floors), errors)
    seen = check_includes(a.root, mods, len(floors), set(a.door.split(",")), errors)
    if a.build:
        allowed = {n: set(m["deps"]) | seen[n] for n, m in mods.items()}
        check_links(a.build, mods, allowed, a.nm, errors)
    for e in errors:
        print("module check:", e, file=sys.stderr)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
