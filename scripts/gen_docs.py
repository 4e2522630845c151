#!/usr/bin/python3
"""Writes the parts of the documents that the code determines, or checks that they match it.

- docs/modules.md, whole: the module index, floor by floor: each module's folder, public header,
  role and declared dependencies. The role is the first line of the public header, a comment of
  one line (an empty `//` line may follow before the rest of the comment). The public header is
  the one the module's declaration names (HEADER), else the one named after its folder, else the
  folder's only header that is not private (for the executable's folder, its only source).
- docs/architecture.md, between "<!-- generated: NAME -->" and "<!-- end -->":
  floors: each floor's modules and what the floor is for ([floors] of docs/roles.ini);
  widgets: the modules of gui/widgets, their roles and the modules they build on;
  tasks: every task the modules spawn, with its priority, its module and its role ([tasks] of
  docs/roles.ini). A spawn is a call of taskSpawn, taskSpawnFn or taskCreate, or of a function
  that passes its own parameters on as the name or the priority of one (the raster hook, say).
  A name is a string literal, a field of the table rows that the call's loop walks, or what
  snprintf wrote into a local buffer (a conversion that is given no string literal stays as
  written: "r_xcpEth%u"); a priority is a number, a constant of the module, a field of a table
  row, or the spawning task's own (taskPriorityGet of taskIdSelf).

Fails (exit 1), naming each fault, on a module without a one-line role, a spawn whose name or
priority it cannot follow, a task or floor without a role in docs/roles.ini, or a role there
for one the code no longer has; without --write also when a document differs from what it
would write, showing the difference and the command that writes it.

Usage: gen_docs.py SOURCE_DIR MODULES_FILE FLOOR,FLOOR,... [--write] [--regen COMMAND]
"""
import argparse
import configparser
import difflib
import os
import re
import sys

from check_modules import COMMENT, PROGRAM, load, module_files, owners

ROLES = "docs/roles.ini"
INDEX = "docs/modules.md"
ARCH = "docs/architecture.md"
WIDGETS = "gui/widgets/"
PRIMITIVES = ("taskSpawn", "taskSpawnFn", "taskCreate")
STARTERS = "the starter's"
LITERAL = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'')
STRINGS = re.compile(r'\s*(?:"(?:\\.|[^"\\\n])*"\s*)+$')
IDENT = re.compile(r"\s*([A-Za-z_]\w*)\s*$")
MEMBER = re.compile(r"\s*([A-Za-z_]\w*)\s*(?:\.|->)\s*([A-Za-z_]\w*)\s*$")
NUMBER = re.compile(r"\s*\(?\s*(-?\d+)\s*\)?\s*$")
CONVERSION = re.compile(r"%(?:%|[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXsc])")
# A definition starts at the left margin: clang-format indents nothing else there but types,
# namespaces and statements at file scope, which the lookahead and the body's brace leave out.
DEFINITION = re.compile(r"^(?![ \t#}])(?!(?:namespace|struct|class|enum|union|using|typedef|template|extern|"
                        r"static_assert|return)\b)[^;{}()\n]*?\b([A-Za-z_]\w*)\s*\(", re.M)
CALL_KEYWORDS = ("return", "else", "do", "throw")


class Unreadable(Exception):
    pass


def strip_comments(text):
    """The text with every comment blanked, its newlines kept, so offsets and lines stay."""
    return COMMENT.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)) if m.group(2) else m.group(0), text)


def bracketed(text, i):
    """The comma-separated items inside the bracket that opens at i, and the offset after its
    closing bracket; literals and nested brackets are passed over whole."""
    depth, items, start, j = 0, [], i + 1, i
    while j < len(text):
        lit = LITERAL.match(text, j)
        if lit:
            j = lit.end()
            continue
        c = text[j]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                items.append(text[start:j].strip())
                return ([] if items == [""] else items), j + 1
        elif c == "," and depth == 1:
            items.append(text[start:j].strip())
            start = j + 1
        j += 1
    return None, j


def param_name(p):
    p = re.sub(r"\[[^\]]*\]\s*$", "", p.split("=")[0].strip()).strip()
    m = re.search(r"([A-Za-z_]\w*)$", p)
    return m.group(1) if m and (len(p.split()) > 1 or "*" in p or "&" in p) else None


class Source:
    """One module file, its comments blanked, with the functions it defines."""

    def __init__(self, root, rel, module):
        self.rel, self.module = rel, module
        self.text = strip_comments(open(os.path.join(root, rel), encoding="utf-8", errors="replace").read())
        self.functions = []  # (offset of the body's brace, name, parameter names)
        for m in DEFINITION.finditer(self.text):
            params, after = bracketed(self.text, m.end() - 1)
            rest = re.match(r"\s*(?:const\s*)?(?:noexcept\s*)?(?:override\s*)?\{", self.text[after:])
            if params is not None and rest:
                self.functions.append((after + rest.end() - 1, m.group(1), [param_name(p) for p in params]))

    def line(self, offset):
        return self.text.count("\n", 0, offset) + 1

    def function_at(self, offset):
        found = (None, None, [])
        for f in self.functions:
            if f[0] < offset:
                found = f
        return found


class Call:
    def __init__(self, src, offset, args):
        self.src, self.offset, self.args = src, offset, args
        self.body, self.function, self.params = src.function_at(offset)

    def where(self):
        return f"{self.src.rel}:{self.src.line(self.offset)}"

    def before(self):
        """The enclosing function's text up to the call."""
        return self.src.text[self.body or 0:self.offset]


class Spawns:
    """Every task the modules spawn: name -> {"priorities", "modules", "sites"}."""

    def __init__(self, sources, by_module):
        self.sources, self.by_module = sources, by_module
        self.tasks, self.errors = {}, []
        # function -> (name parts, priority, arguments it needs); a part or a priority
        # ("param", i) is the function's i-th argument
        self.spawners = {f: ((("param", 0),), ("param", 1), 5) for f in PRIMITIVES}
        todo = list(PRIMITIVES)
        while todo:
            todo += self.follow(todo.pop(0))

    def calls(self, function, nargs):
        pattern = re.compile(r"(?<![\w.>])(?:\w+::)*" + function + r"\s*\(")
        for src in self.sources:
            for m in pattern.finditer(src.text):
                head = src.text[:m.start()].rstrip()
                word = re.search(r"(\w+)$", head)
                if word and word.group(1) not in CALL_KEYWORDS:
                    continue  # a declaration or definition
                if re.search(r"[\w>][*&]$", head):
                    continue
                args, _ = bracketed(src.text, m.end() - 1)
                if args is not None and len(args) >= nargs:
                    yield Call(src, m.start(), args)

    def follow(self, function):
        parts, priority, nargs = self.spawners[function]
        found = []
        for call in self.calls(function, nargs):
            try:
                for env in self.rows(call):
                    name = self.substitute(parts, call, env)
                    prio = self.priority(priority, call, env)
                    if any(isinstance(p, tuple) for p in name) or isinstance(prio, tuple):
                        if env:
                            raise Unreadable(f"{call.where()}: a table row hands a parameter on")
                        if call.function not in self.spawners:
                            used = [p[1] for p in name if isinstance(p, tuple)]
                            used += [prio[1]] if isinstance(prio, tuple) else []
                            self.spawners[call.function] = (name, prio, max(used) + 1)
                            found.append(call.function)
                        continue
                    task = self.tasks.setdefault("".join(name), {"priorities": set(), "modules": set(),
                                                                 "sites": []})
                    task["priorities"].add(prio)
                    task["modules"].add(call.src.module)
                    task["sites"].append(call.where())
            except Unreadable as e:
                self.errors.append(str(e))
        return found

    def substitute(self, parts, call, env):
        out = []
        for p in parts:
            out += self.name(call.args[p[1]], call, env) if isinstance(p, tuple) else [p]
        return out

    def priority(self, priority, call, env):
        return self.prio(call.args[priority[1]], call, env) if isinstance(priority, tuple) else priority

    def name(self, expr, call, env, soft=False):
        if STRINGS.match(expr):
            return ["".join(s[1:-1] for s in LITERAL.findall(expr))]
        ident, member = IDENT.match(expr), MEMBER.match(expr)
        if ident and ident.group(1) in call.params:
            return [("param", call.params.index(ident.group(1)))]
        if ident:
            fmt = list(re.finditer(r"(?<![\w.])(?:std::)?snprintf\s*(\()\s*" + ident.group(1) + r"\s*,",
                                   call.before()))
            if fmt:
                args, _ = bracketed(call.before(), fmt[-1].start(1))
                if args and len(args) > 2 and STRINGS.match(args[2]):
                    return self.format(self.name(args[2], call, env)[0], args[3:], call, env)
        if member and member.group(1) in env:
            return self.name(env[member.group(1)][member.group(2)], call, env, soft)
        if soft:
            return None
        raise Unreadable(f"{call.where()}: cannot follow the task name {expr.strip()!r}; name the task "
                         "with a string literal, a table row or a local snprintf")

    def format(self, fmt, args, call, env):
        out, pos, k = [], 0, 0
        for m in CONVERSION.finditer(fmt):
            out.append(fmt[pos:m.start()])
            pos = m.end()
            if m.group(0) == "%%":
                out.append("%")
                continue
            value = self.name(args[k], call, env, soft=True) if k < len(args) and m.group(0).endswith("s") \
                else None
            k += 1
            out += value if value is not None else [m.group(0)]
        return out + [fmt[pos:]]

    def prio(self, expr, call, env):
        number, ident, member = NUMBER.match(expr), IDENT.match(expr), MEMBER.match(expr)
        if number:
            return int(number.group(1))
        if ident and ident.group(1) in call.params:
            return ("param", call.params.index(ident.group(1)))
        if ident and re.search(r"\btaskPriorityGet\s*\(\s*taskIdSelf\s*\(\s*\)\s*,\s*&\s*" + ident.group(1) +
                               r"\s*\)", call.before()):
            return STARTERS
        if ident:
            value = self.constant(ident.group(1), call.src)
            if value is not None:
                return value
        if member and member.group(1) in env:
            return self.prio(env[member.group(1)][member.group(2)], call, env)
        raise Unreadable(f"{call.where()}: cannot follow the task priority {expr.strip()!r}; give a number, "
                         "a constant of the module or a table row")

    def module_texts(self, src):
        return [src] + [s for s in self.by_module[src.module] if s is not src]

    def constant(self, ident, src):
        for s in self.module_texts(src):
            m = (re.search(r"^\s*#\s*define\s+" + ident + r"\s+\(?(-?\d+)\)?\s*$", s.text, re.M) or
                 re.search(r"\b(?:constexpr|const)\b[^;{}()]*?\b" + ident +
                           r"\s*(?:=\s*|\{\s*)(-?\d+)\s*\}?\s*[,;]", s.text))
            if m:
                return int(m.group(1))
        return None

    def rows(self, call):
        """One environment per row of each table whose rows the call's loop walks
        (`for (const Row& r : TABLE)`): loop variable -> {field: expression}."""
        loops = {m.group(1) for a in call.args for m in [MEMBER.match(a)] if m}
        envs = [{}]
        for var in sorted(loops):
            loop = list(re.finditer(r"\bfor\s*\(\s*(?:const\s+)?([A-Za-z_][\w:]*)\s*&?\s*" + var +
                                    r"\s*:\s*([A-Za-z_]\w*)\s*\)", call.before()))
            if not loop:
                continue
            fields = self.struct_fields(loop[-1].group(1).split("::")[-1], call)
            rows = self.table(loop[-1].group(2), call)
            envs = [{**e, var: dict(zip(fields, row))} for e in envs for row in rows]
        return envs

    def struct_fields(self, struct, call):
        for s in self.module_texts(call.src):
            m = re.search(r"\bstruct\s+" + struct + r"\s*\{", s.text)
            if not m:
                continue
            body = s.text[m.end():bracketed(s.text, m.end() - 1)[1] - 1]
            fields = []
            for member in body.split(";"):
                fn = re.search(r"\(\s*\*\s*([A-Za-z_]\w*)\s*\)\s*\(", member)
                if fn:
                    fields.append(fn.group(1))
                elif "(" not in member and member.strip():
                    fields += [param_name(d) for d in re.sub(r"\{[^}]*\}", "", member).split(",")]
            return fields
        raise Unreadable(f"{call.where()}: no struct {struct} in module {call.src.module}")

    def table(self, table, call):
        for s in self.module_texts(call.src):
            m = re.search(r"\b" + table + r"\s*(?:\[[^\]]*\])?\s*=\s*\{", s.text)
            if m:
                items, _ = bracketed(s.text, m.end() - 1)
                return [bracketed(item, 0)[0] for item in items if item.startswith("{")]
        raise Unreadable(f"{call.where()}: no table {table} in module {call.src.module}")


def public_header(root, m, errors, name):
    d = os.path.join(root, m["dir"])
    if m["header"]:
        if not os.path.isfile(os.path.join(d, m["header"])):
            errors.append(f"module {name}: its HEADER {m['header']} is not in {m['dir']}")
            return None
        return m["header"]
    own = os.path.basename(m["dir"]) + ".h"
    if os.path.isfile(os.path.join(d, own)):
        return own
    files = sorted(os.listdir(d))
    headers = [h for h in files if h.endswith(".h") and not h.endswith("_private.h")
               and os.path.join(m["dir"], h) not in m["private"]]
    if not headers and m["floor_name"] == PROGRAM:
        headers = [f for f in files if f.endswith((".cpp", ".c"))]
    if len(headers) == 1:
        return headers[0]
    errors.append(f"module {name}: {m['dir']} has no {own} and {len(headers)} public headers; name the one "
                  "that says its role with HEADER in its vyn_module")
    return None


def role(root, path, errors):
    lines = open(os.path.join(root, path), encoding="utf-8").read().split("\n") + [""]
    first = re.match(r"//\s?(\S.*?)\s*$", lines[0])
    if not first:
        errors.append(f"{path}: its first line is no comment; it says the module's role in one line")
        return ""
    if lines[1].startswith("//") and lines[1].strip() != "//":
        errors.append(f"{path}: its first comment runs over several lines; its first line alone says the "
                      "module's role, and an empty // line parts it from the rest")
    return first.group(1)


def cell(text):
    return text.replace("|", "\\|")


def grouped(paths):
    """Folders by their first component: [(top, [rest, ...]), ...], both sorted."""
    groups = {}
    for p in sorted(paths):
        top, _, rest = p.partition("/")
        groups.setdefault(top, []).append(rest)
    return sorted(groups.items())


def uses(deps, mods):
    parts = []
    for top, rests in grouped(mods[d]["dir"] for d in deps):
        parts.append(", ".join([f"{top}/{rests[0]}" if rests[0] else top] + rests[1:]))
    return "; ".join(parts)


def floor_modules(names, mods):
    """The folders of one floor's modules, a top folder whose modules are mostly there as
    `top/*` but the others."""
    parts = []
    for top, rests in grouped(mods[n]["dir"] for n in names):
        every = sorted(m["dir"].partition("/")[2] for m in mods.values() if m["dir"].partition("/")[0] == top)
        if rests == [""]:
            parts.append(f"`{top}`")
        elif 2 * (len(every) - len(rests)) <= len(rests):
            others = [r for r in every if r not in rests]
            parts.append(f"`{top}/*`" + (" but " + ", ".join(f"`{r}`" for r in others) if others else ""))
        else:
            parts.append(", ".join([f"`{top}/{rests[0]}`"] + [f"`{r}`" for r in rests[1:]]))
    return "; ".join(parts)


def short_names(mods, names):
    """Widget-table names: a gui module by its last folder where that is unique."""
    last = {}
    for n in names:
        last.setdefault(os.path.basename(mods[n]["dir"]), []).append(n)
    return {n: os.path.basename(mods[n]["dir"]) if len(last[os.path.basename(mods[n]["dir"])]) == 1
            else mods[n]["dir"] for n in names}


def priority_key(p):
    return (0, p, "") if isinstance(p, int) else (1, 0, str(p))


class Tree:
    """What the documents are made of: the modules with their public headers and roles, the
    spawned tasks, and the prose of docs/roles.ini; `errors` names what is missing."""

    def __init__(self, root, modules_file, floors):
        self.errors = []
        self.floors = floors + [PROGRAM]
        self.mods = load(modules_file, floors)
        for m in self.mods.values():
            m["floor_name"] = self.floors[m["floor"]]
        self.by_floor = {f: sorted((n for n, m in self.mods.items() if m["floor_name"] == f),
                                   key=lambda n: self.mods[n]["dir"]) for f in self.floors}
        self.headers, self.roles = {}, {}
        for name, m in self.mods.items():
            h = self.headers[name] = public_header(root, m, self.errors, name)
            self.roles[name] = role(root, os.path.join(m["dir"], h), self.errors) if h else ""
        self.floor_roles, self.task_roles = self.read_roles(root)
        self.tasks = self.spawned(root)
        self.check_roles()

    def read_roles(self, root):
        cfg = configparser.ConfigParser(interpolation=None, delimiters=("=",))
        cfg.optionxform = str
        try:
            cfg.read_string(open(os.path.join(root, ROLES), encoding="utf-8").read(), ROLES)
        except (OSError, configparser.Error) as e:
            self.errors.append(f"{ROLES}: {e}")
        return tuple(dict(cfg[s]) if cfg.has_section(s) else {} for s in ("floors", "tasks"))

    def spawned(self, root):
        files = module_files(root, self.mods, owners(self.mods))
        by_module = {n: [Source(root, f, n) for f in fs] for n, fs in files.items()}
        spawns = Spawns([s for n in sorted(by_module) for s in by_module[n]], by_module)
        self.errors += spawns.errors
        program = next(n for n, m in self.mods.items() if m["floor_name"] == PROGRAM)
        return {"main": {"priorities": {"–"}, "modules": {program}, "sites": []}, **spawns.tasks}

    def check_roles(self):
        for f in self.floors:
            if f not in self.floor_roles:
                self.errors.append(f"{ROLES}: floor {f} has no line in [floors]")
        for f in sorted(set(self.floor_roles) - set(self.floors)):
            self.errors.append(f"{ROLES}: [floors] names {f}, which is no floor")
        for t in sorted(self.tasks):
            if t not in self.task_roles:
                self.errors.append(f"{ROLES}: task {t} (spawned at {', '.join(self.tasks[t]['sites'])}) has no "
                                   "role in [tasks]")
        for t in sorted(set(self.task_roles) - set(self.tasks)):
            self.errors.append(f"{ROLES}: [tasks] gives a role to {t}, which no module spawns")


def floors_table(t):
    rows = ["| Floor | Modules | What they are |", "|---|---|---|"]
    for f in t.floors:
        modules = floor_modules(t.by_floor[f], t.mods) or "–"
        rows.append(f"| {f} | {modules} | {cell(t.floor_roles.get(f, ''))} |")
    return rows


def widgets_table(t):
    gui = [n for n in t.mods if t.mods[n]["dir"].startswith("gui/")]
    short = short_names(t.mods, gui)
    rows = ["| Module | Controls | Builds on |", "|---|---|---|"]
    for n in sorted((n for n in gui if t.mods[n]["dir"].startswith(WIDGETS)), key=lambda n: t.mods[n]["dir"]):
        on = sorted(short.get(d, t.mods[d]["dir"]) for d in t.mods[n]["deps"])
        rows.append(f"| `{short[n]}` | {cell(t.roles[n])} | {', '.join(on)} |")
    return rows


def tasks_table(t):
    rows = ["| Task | Priority | Module | Role |", "|---|---|---|---|"]
    def order(item):
        return item[0] != "main", min(map(priority_key, item[1]["priorities"])), item[0]

    for name, task in sorted(t.tasks.items(), key=order):
        prios = ", ".join(str(p) for p in sorted(task["priorities"], key=priority_key))
        where = ", ".join(f"`{t.mods[n]['dir']}`" for n in sorted(task["modules"]))
        rows.append(f"| {cell(name)} | {prios} | {where} | {cell(t.task_roles.get(name, ''))} |")
    return rows


def module_index(t):
    lines = ["# Modules", "",
             "<!-- Generated by scripts/gen_docs.py; the build fails while it differs from the code. -->", "",
             "Every module of the tree, floor by floor from the lowest (`docs/architecture.md`, \"Floors\", says",
             "what a floor may use). A module is the folder its `CMakeLists.txt` declares with `vyn_module`;",
             "its role is the first line of its public header, \"Uses\" the modules it declares (`DEPS`)."]
    for f in t.floors:
        what = t.floor_roles.get(f, "")
        lines += ["", f"## {f}", "", what[:1].upper() + what[1:] + ".", "", "| Module | Header | Role | Uses |",
                  "|---|---|---|---|"]
        for n in t.by_floor[f]:
            m = t.mods[n]
            used = "every module" if set(m["deps"]) == set(t.mods) - {n} else uses(m["deps"], t.mods) or "–"
            lines.append(f"| `{m['dir']}` | `{t.headers[n] or ''}` | {cell(t.roles[n])} | {used} |")
    return "\n".join(lines) + "\n"


def splice(text, regions, errors):
    """The architecture document with each generated region's lines put in."""
    for region, lines in regions.items():
        pattern = re.compile(r"(<!-- generated: " + region + r" -->\n).*?(<!-- end -->)", re.S)
        if not pattern.search(text):
            errors.append(f"{ARCH}: no region <!-- generated: {region} --> ... <!-- end -->")
            continue
        text = pattern.sub(lambda m: m.group(1) + "\n".join(lines) + "\n" + m.group(2), text)
    return text


def generate(root, modules_file, floors):
    """(documents: path -> text, errors)."""
    t = Tree(root, modules_file, floors)
    try:
        arch = open(os.path.join(root, ARCH), encoding="utf-8").read()
    except OSError as e:
        t.errors.append(f"{ARCH}: {e}")
        arch = ""
    regions = {"floors": floors_table(t), "widgets": widgets_table(t), "tasks": tasks_table(t)}
    return {INDEX: module_index(t), ARCH: splice(arch, regions, t.errors)}, t.errors


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("root")
    ap.add_argument("modules_file")
    ap.add_argument("floors")
    ap.add_argument("--write", action="store_true")
    ap.add_argument("--regen")
    a = ap.parse_args()
    docs, errors = generate(a.root, a.modules_file, a.floors.split(","))
    for e in errors:
        print("docs:", e, file=sys.stderr)
    regen = a.regen or " ".join([sys.argv[0], a.root, a.modules_file, a.floors, "--write"])
    stale = []
    for path, text in docs.items():
        full = os.path.join(a.root, path)
        old = open(full, encoding="utf-8").read() if os.path.isfile(full) else ""
        if old == text:
            continue
        if a.write:
            with open(full, "w", encoding="utf-8") as f:
                f.write(text)
            print(f"docs: wrote {path}")
        else:
            sys.stderr.writelines(difflib.unified_diff(old.splitlines(True), text.splitlines(True),
                                                       "a/" + path, "b/" + path, n=1))
            stale.append(path)
    for path in stale:
        print(f"docs: {path} differs from the code (the lines above); write it with: {regen}", file=sys.stderr)
    return 1 if errors or stale else 0


if __name__ == "__main__":
    sys.exit(main())
