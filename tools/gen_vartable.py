#!/usr/bin/python3
"""Generates the C++ view of the variable table: accessors, addresses, name-table rows, EPK."""
import hashlib
import sys

TYPES = {  # name: (C++ type, size, type code of the name table)
    "u8": ("uint8_t", 1, "VT_U8"), "s8": ("int8_t", 1, "VT_S8"),
    "u16": ("uint16_t", 2, "VT_U16"), "s16": ("int16_t", 2, "VT_S16"),
    "u32": ("uint32_t", 4, "VT_U32"), "s32": ("int32_t", 4, "VT_S32"),
    "f32": ("float", 4, "VT_F32"), "text": ("char", 1, "VT_U8"),
}
PAGES = {"sig": (0x40000, 0x40000 + 0x181C), "cal": (0x44, 0x1E288)}


def main():
    table, outdir, version = sys.argv[1:4]
    rows, seen = [], set()
    raw = open(table, encoding="utf-8").read()
    for n, line in enumerate(raw.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        f = line.split("\t")
        if len(f) != 8:
            sys.exit(f"{table}:{n}: expected 8 tab-separated fields")
        name, page, addr, typ, count, mask, factor, offset = f
        addr, count, mask = int(addr, 0), int(count, 0), int(mask, 0)
        if typ not in TYPES or page not in PAGES:
            sys.exit(f"{table}:{n}: unknown type or page")
        ctype, size, _ = TYPES[typ]
        lo, hi = PAGES[page]
        if addr % size or not (lo <= addr and addr + size * count <= hi):
            sys.exit(f"{table}:{n}: {name} misaligned or outside its page")
        if name in seen:
            sys.exit(f"{table}:{n}: {name} twice")
        seen.add(name)
        rows.append((name, page, addr, typ, count, mask, float(factor), float(offset)))
    digest = hashlib.sha1(raw.encode()).hexdigest()[:8]
    epk = f"KVX2_VYN_{version}_{digest}"
    assert len(epk) < 32
    h = ["// Generated from calibration/variables.tsv; do not edit.", "#pragma once",
         "#include <cstdint>", "", "extern unsigned char seram_memory[];",
         "extern uint32_t seramActiveOffset;", "",
         f'#define VYN_EPK_TEXT "{epk}"', ""]
    for name, page, addr, typ, count, *_ in rows:
        ctype = TYPES[typ][0]
        h.append(f"constexpr uint32_t VTADDR_{name} = 0x{addr:05X}u;")
        base = f"seram_memory + 0x{addr:05X}u" + (" + seramActiveOffset" if page == "cal" else "")
        const = "const " if page == "cal" else ""
        if count == 1 and typ != "text":
            h.append(f"#define {name} (*reinterpret_cast<{const}{ctype}*>({base}))")
        else:
            h.append(f"#define {name} (reinterpret_cast<{const}{ctype}*>({base}))")
    open(f"{outdir}/vartable.h", "w").write("\n".join(h) + "\n")
    inc = ["// Generated from calibration/variables.tsv; do not edit.",
           "// VT_ROW(name, virtual address, type code, count, mask, factor, offset)"]
    for name, page, addr, typ, count, mask, factor, offset in rows:
        inc.append(f'VT_ROW("{name}", 0x{addr:05X}u, {TYPES[typ][2]}, {count}, 0x{mask:X}u, {factor!r}f, {offset!r}f)')
    open(f"{outdir}/vartable_rows.inc", "w").write("\n".join(inc) + "\n")


if __name__ == "__main__":
    main()
