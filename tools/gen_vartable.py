#!/usr/bin/python3
"""Generates the C++ view of the variable table: the memory map, accessors, addresses, name-table
rows, image defaults, EPK."""
import hashlib
import sys

TYPES = {  # name: (C++ type, size, type code of the name table)
    "u8": ("uint8_t", 1, "VT_U8"), "s8": ("int8_t", 1, "VT_S8"),
    "u16": ("uint16_t", 2, "VT_U16"), "s16": ("int16_t", 2, "VT_S16"),
    "u32": ("uint32_t", 4, "VT_U32"), "s32": ("int32_t", 4, "VT_S32"),
    "f32": ("float", 4, "VT_F32"), "text": ("char", 1, "VT_U8"),
}
INT_RANGES = {"u8": (0, 0xFF), "s8": (-0x80, 0x7F), "u16": (0, 0xFFFF), "s16": (-0x8000, 0x7FFF),
              "u32": (0, 0xFFFFFFFF), "s32": (-0x80000000, 0x7FFFFFFF)}

PROXIES = """// An accessor is an empty constant whose type carries the address: an access is one load or
// store, nothing needs initialising at run time, and no name leaks as a macro. Signals are
// written by one task and sampled by others: each element moves in one relaxed atomic access
// (calibration/block/word.h). Data-page parameters are read through the active page and cannot
// be written by the application; XCP rewrites them meanwhile, so an element is loaded whole too.
namespace vartable {
template <class T, uint32_t A> struct Signal {
    operator T() const { return seram_word::load<T>(seram_memory + A); }
    const Signal& operator=(T v) const {
        seram_word::store(seram_memory + A, v);
        return *this;
    }
};
// One element of a signal array; its address is the element's.
template <class T> struct SignalElement {
    T* at;
    operator T() const { return seram_word::load<T>(at); }
    const SignalElement& operator=(T v) const {
        seram_word::store(at, v);
        return *this;
    }
    const SignalElement& operator=(const SignalElement& o) const { return *this = static_cast<T>(o); }
    T operator++(int) const {
        const T v = *this;
        *this = static_cast<T>(v + 1);
        return v;
    }
    T* operator&() const { return at; }
};
template <class T, uint32_t A> struct SignalArray {
    operator T*() const { return reinterpret_cast<T*>(seram_memory + A); }
    template <class I> SignalElement<T> operator[](I i) const { return {static_cast<T*>(*this) + i}; }
};
template <class T, uint32_t A> struct Param {
    operator T() const { return seram_word::load<T>(seram_memory + A + seramActiveOffset); }
};
// As a pointer, the active page's array of published words: an element read through it loads
// whole too.
template <class T, uint32_t A> struct ParamArray {
    operator const seramWord<T>*() const {
        return reinterpret_cast<const seramWord<T>*>(seram_memory + A + seramActiveOffset);
    }
    template <class I> T operator[](I i) const { return static_cast<const seramWord<T>*>(*this)[i]; }
};
"""


def fail(where, why):
    sys.exit(f"{where}: {why}")


def parse_defaults(where, typ, count, text):
    values = [v.strip() for v in text.split(",")]
    if len(values) == 1 and "*" in values[0]:  # "v*n": n times v
        v, n = values[0].split("*", 1)
        values = [v.strip()] * int(n, 0)
    if len(values) != count:
        fail(where, f"{len(values)} default values for {count} elements")
    out = []
    for v in values:
        try:
            if typ == "f32":
                out.append(repr(float(v)) + "f")
            else:
                n = int(v, 0)
                lo, hi = INT_RANGES[typ]
                if not lo <= n <= hi:
                    fail(where, f"default {v} does not fit {typ}")
                out.append(str(n) + ("u" if typ.startswith("u") else ""))
        except ValueError:
            fail(where, f"default {v!r} is not a number")
    return out


def parse_area(where, f, areas, pages):
    """@ NAME start size [page]: one area of the memory map."""
    if len(f) not in (4, 5) or not f[1].isupper() or f[1] in areas:
        fail(where, "an area is @, an unused upper-case name, start, size and optionally a page")
    try:
        start, size = int(f[2], 0), int(f[3], 0)
    except ValueError:
        fail(where, "area start or size is not a number")
    block = areas.get("BLOCK")
    if block is None and f[1] != "BLOCK":
        fail(where, "the first area is BLOCK, the whole memory")
    if size < 0 or (block and not (block[0] <= start and start + size <= block[0] + block[1])):
        fail(where, f"area {f[1]} outside the block")
    areas[f[1]] = (start, size)
    if len(f) == 5:
        if f[4] in pages:
            fail(where, f"page {f[4]} twice")
        pages[f[4]] = (start, start + size)


def main():
    table, outdir, version = sys.argv[1:4]
    rows, seen, areas, pages = [], set(), {}, {}
    raw = open(table, encoding="utf-8").read()
    digest = hashlib.sha1(raw.encode()).hexdigest()[:8]
    epk = f"KVX2_VYN_{version}_{digest}"
    for n, line in enumerate(raw.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        where = f"{table}:{n}"
        f = line.split("\t")
        if f[0] == "@":
            parse_area(where, f, areas, pages)
            continue
        if len(f) not in (8, 9):
            fail(where, "expected 8 tab-separated fields (9 with image defaults)")
        name, page, addr, typ, count, mask, factor, offset = f[:8]
        if typ not in TYPES or page not in pages:
            fail(where, "unknown type or page")
        addr, mask = int(addr, 0), int(mask, 0)
        # The EPK row's length is the EPK text's, which only the build knows.
        count = len(epk) if count == "epk" else int(count, 0)
        ctype, size, _ = TYPES[typ]
        lo, hi = pages[page]
        if count < 1 or addr % size or not (lo <= addr and addr + size * count <= hi):
            fail(where, f"{name} misaligned, empty or outside its page")
        if name in seen:
            fail(where, f"{name} twice")
        seen.add(name)
        defaults = None
        if len(f) == 9 and f[8].strip():
            if page != "cal" or typ == "text":
                fail(where, "image defaults are for numeric rows of the calibration data page")
            defaults = parse_defaults(where, typ, count, f[8])
        rows.append((name, page, addr, typ, count, mask, float(factor), float(offset), defaults, where))
    if "EPK" not in areas or len(epk) >= areas["EPK"][1]:
        fail(table, "no EPK area, or the EPK text leaves no room for its NUL")

    # epk rows describe the EPK text itself and may share bytes; every other page holds each byte
    # in at most one row.
    spans = sorted((addr, addr + TYPES[typ][1] * count, name, where)
                   for name, page, addr, typ, count, *_rest, where in rows if page != "epk")
    for (a0, e0, n0, _), (a1, _e1, n1, w1) in zip(spans, spans[1:]):
        if a1 < e0:
            fail(w1, f"{n1} at 0x{a1:05X} overlaps {n0} (0x{a0:05X} to 0x{e0:05X})")

    m = ["// Generated from calibration/variables.tsv; do not edit.", "#pragma once",
         "#include <cstdint>", ""]
    for area, (start, size) in areas.items():
        m.append(f"constexpr uint32_t SERAM_{area} = 0x{start:05X}u;")
        m.append(f"constexpr uint32_t SERAM_{area}_SIZE = 0x{size:05X}u;")
    open(f"{outdir}/memmap.h", "w").write("\n".join(m) + "\n")

    h = ["// Generated from calibration/variables.tsv; do not edit.", "#pragma once",
         "#include <cstdint>", "#include <cstring>", "", '#include "calibration/block/word.h"', "",
         "extern unsigned char seram_memory[];",
         "extern seramWord<uint32_t> seramActiveOffset;", "", f'#define VYN_EPK_TEXT "{epk}"', "", PROXIES]
    names = []
    for name, page, addr, typ, count, *_ in rows:
        if page == "epk":
            continue  # read through seramGetEPKPtr
        kind = "Param" if page == "cal" else "Signal"
        if count > 1 or typ == "text":
            kind += "Array"
        h.append(f"inline constexpr {kind}<{TYPES[typ][0]}, 0x{addr:05X}u> {name}{{}};")
        names.append(name)
    h += ["} // namespace vartable", ""] + [f"using vartable::{name};" for name in names] + [""]
    h += [f"constexpr uint32_t VTADDR_{name} = 0x{addr:05X}u;" for name, _p, addr, *_ in rows]
    open(f"{outdir}/vartable.h", "w").write("\n".join(h) + "\n")

    inc = ["// Generated from calibration/variables.tsv; do not edit.",
           "// VT_ROW(name, virtual address, type code, count, mask, factor, offset)",
           "// VT_DEFAULT(virtual address, C++ type, values...): image defaults of the data page",
           "#ifdef VT_ROW"]
    for name, page, addr, typ, count, mask, factor, offset, *_ in rows:
        inc.append(f'VT_ROW("{name}", 0x{addr:05X}u, {TYPES[typ][2]}, {count}, 0x{mask:X}u, {factor!r}f, {offset!r}f)')
    inc += ["#endif", "#ifdef VT_DEFAULT"]
    for name, page, addr, typ, count, mask, factor, offset, defaults, _ in rows:
        if defaults:
            inc.append(f"VT_DEFAULT(0x{addr:05X}u, {TYPES[typ][0]}, {', '.join(defaults)})")
    inc.append("#endif")
    open(f"{outdir}/vartable_rows.inc", "w").write("\n".join(inc) + "\n")


if __name__ == "__main__":
    main()
