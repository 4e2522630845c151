#!/usr/bin/python3
"""A small XCP slave on CAN, written from the ASAM XCP command layouts: one line of hex per frame
from the master on stdin, one line of hex per response on stdout (empty: none). "dto" asks for
one cycle of the running DAQ lists: the DTO frames, then the values the master should hold as
'=channel:value' lines after them, ended by an empty line. Its memory holds at address a the
byte (a * 7 + 3) & 0xFF; argument 'be' makes it a big-endian slave, 'hi' one whose PIDs start at
250 (a PID of 0xFC or more is no DTO a master can tell, so its values are not listed)."""
import sys

BE = len(sys.argv) > 1 and sys.argv[1] == "be"
FIRST = 250 if len(sys.argv) > 1 and sys.argv[1] == "hi" else 0
ORDER = "big" if BE else "little"
mem = lambda a: (a * 7 + 3) & 0xFF
daqs, ptr, first_pid, running = [], [0, 0, 0], {}, False


def u16(b):
    return int.from_bytes(b, ORDER)


def out(line):
    print(line, flush=True)


for line in sys.stdin:
    line = line.strip()
    if line == "dto":
        values = []
        for d, odts in enumerate(daqs):
            if d not in first_pid or not running:
                continue
            for o, entries in enumerate(odts):
                data = b""
                for size, addr in entries:
                    raw = bytes(mem(addr + i) for i in range(size))
                    data += raw if not BE else raw  # memory order is the slave's order
                    values.append((first_pid[d] + o < 0xFC, int.from_bytes(raw, ORDER)))
                out(bytes([first_pid[d] + o]).hex() + data.hex())
        for i, (listed, v) in enumerate(values):
            if listed:
                out(f"={i}:{v}")
        out("")
        continue
    c = bytes.fromhex(line)
    r = b"\xff"
    if c[0] == 0xFF:  # CONNECT: resources DAQ, comm mode (byte order), MAX_CTO 8, MAX_DTO 8, versions
        r += bytes([0x04, 0x01 if BE else 0x00, 8]) + (8).to_bytes(2, ORDER) + b"\x01\x01"
    elif c[0] == 0xFD:  # GET_STATUS
        r += b"\x00\x00\x00\x00\x00"
    elif c[0] == 0xD6:  # FREE_DAQ
        daqs, first_pid, running = [], {}, False
    elif c[0] == 0xD5:  # ALLOC_DAQ
        daqs = [[] for _ in range(u16(c[2:4]))]
    elif c[0] == 0xD4:  # ALLOC_ODT
        daqs[u16(c[2:4])] = [[] for _ in range(c[4])]
    elif c[0] == 0xD3:  # ALLOC_ODT_ENTRY: entries are filled by WRITE_DAQ
        pass
    elif c[0] == 0xE2:  # SET_DAQ_PTR
        ptr = [u16(c[2:4]), c[4], c[5]]
    elif c[0] == 0xE1:  # WRITE_DAQ: bit offset, size, extension, address
        daqs[ptr[0]][ptr[1]].append((c[2], int.from_bytes(c[4:8], ORDER)))
        ptr[2] += 1
    elif c[0] == 0xE0:  # SET_DAQ_LIST_MODE
        pass
    elif c[0] == 0xDE:  # START_STOP_DAQ_LIST select: the first PID (absolute ODT numbers)
        d = u16(c[2:4])
        first_pid[d] = FIRST + sum(len(x) for x in daqs[:d])
        r += bytes([first_pid[d]])
    elif c[0] == 0xDD:  # START_STOP_SYNCH
        running = c[1] == 1
    elif c[0] == 0xFE:  # DISCONNECT
        running = False
    else:
        r = b"\xfe\x20"  # ERR_CMD_UNKNOWN
    out(r.hex())
